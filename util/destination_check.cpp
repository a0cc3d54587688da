#include "util/destination_check.h"

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/sysmacros.h>
#endif

#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "util/os_helpers.h"

namespace vorlenta {
namespace {

// One way of naming the bytes of a medium: a block device, or a file (an image).
struct Identity {
  bool block = false;
  dev_t device = 0;  // the block device, or the file system holding the file
  ino_t inode = 0;   // the file, when not a block device
  bool operator==(const Identity& o) const {
    return block == o.block && device == o.device && (block || inode == o.inode);
  }
};

std::string NearestExistingPath(std::string path) {
  if (path.empty() || path[0] != '/') {
    char cwd[PATH_MAX];
    if (::getcwd(cwd, sizeof cwd) == nullptr) return "/";
    path = std::string(cwd) + "/" + path;
  }
  struct stat st;
  while (::stat(path.c_str(), &st) != 0) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos || slash == 0) return "/";
    path.resize(slash);
  }
  return path;
}

#ifdef __linux__
std::string SysBlockDir(dev_t device) {
  return "/sys/dev/block/" + std::to_string(major(device)) + ":" + std::to_string(minor(device));
}

std::string ReadLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

// The whole disk a partition belongs to.
bool WholeDisk(dev_t partition, dev_t& disk) {
  const std::string dir = SysBlockDir(partition);
  if (::access((dir + "/partition").c_str(), F_OK) != 0) return false;
  unsigned maj = 0, min = 0;
  if (std::sscanf(ReadLine(dir + "/../dev").c_str(), "%u:%u", &maj, &min) != 2) return false;
  disk = makedev(maj, min);
  return true;
}

std::string LoopBackingFile(dev_t device) { return ReadLine(SysBlockDir(device) + "/loop/backing_file"); }

// The mount sources of the file systems whose device number is `device`.
std::vector<std::string> MountSources(dev_t device) {
  std::vector<std::string> sources;
  std::ifstream in("/proc/self/mountinfo");
  const std::string wanted = std::to_string(major(device)) + ":" + std::to_string(minor(device));
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string id, parent, numbers;
    fields >> id >> parent >> numbers;
    if (numbers != wanted) continue;
    const size_t dash = line.find(" - ");
    if (dash == std::string::npos) continue;
    std::istringstream tail(line.substr(dash + 3));
    std::string type, source;
    tail >> type >> source;
    if (!source.empty()) sources.push_back(source);
  }
  return sources;
}
#endif

// What a path names: a block device (and, for a loop device, the file behind it) or a file.
void AddPathIdentities(const std::string& path, std::vector<Identity>& out) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return;
  if (S_ISBLK(st.st_mode)) {
    out.push_back({true, st.st_rdev, 0});
#ifdef __linux__
    const std::string backing = LoopBackingFile(st.st_rdev);
    struct stat file;
    if (!backing.empty() && ::stat(backing.c_str(), &file) == 0) out.push_back({false, file.st_dev, file.st_ino});
#endif
  } else if (S_ISREG(st.st_mode)) {
    out.push_back({false, st.st_dev, st.st_ino});
  }
}

// Everything the file system holding `path` is stored on.
std::vector<Identity> DestinationIdentities(const std::string& path) {
  std::vector<Identity> out;
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return out;
#ifdef __linux__
  // FUSE and other anonymous devices have major 0: only their mount source tells.
  if (major(st.st_dev) != 0) {
    out.push_back({true, st.st_dev, 0});
    const std::string backing = LoopBackingFile(st.st_dev);
    struct stat file;
    if (!backing.empty() && ::stat(backing.c_str(), &file) == 0) out.push_back({false, file.st_dev, file.st_ino});
    dev_t disk = 0;
    if (WholeDisk(st.st_dev, disk)) out.push_back({true, disk, 0});
  }
  for (const std::string& source : MountSources(st.st_dev)) {
    if (source.empty() || source[0] != '/') continue;
    AddPathIdentities(source, out);
    struct stat src;
    dev_t disk = 0;
    if (::stat(source.c_str(), &src) == 0 && S_ISBLK(src.st_mode) && WholeDisk(src.st_rdev, disk)) {
      out.push_back({true, disk, 0});
    }
  }
#else
  out.push_back({true, st.st_dev, 0});
#endif
  return out;
}

}  // namespace

DestinationVerdict CheckDestination(const std::string& destination, const std::string& source, uint64_t bytesNeeded,
                                    std::string& sentence) {
  sentence.clear();
  const std::string existing = NearestExistingPath(destination);
  std::vector<Identity> sourceIds;
  AddPathIdentities(source, sourceIds);
  for (const Identity& d : DestinationIdentities(existing)) {
    for (const Identity& s : sourceIds) {
      if (d == s) {
        sentence = destination + " is on the medium being recovered; choose a folder on another disk";
        return DestinationVerdict::kOnSource;
      }
    }
  }
  unsigned high = 0, low = 0;
  if (rsb_getFreeSpace(existing.c_str(), static_cast<int>(existing.size()), &high, &low) == 0) {
    const uint64_t free = (static_cast<uint64_t>(high) << 32) | low;
    if (bytesNeeded > free) {
      sentence = destination + " has " + GetFileSizeString(static_cast<long long>(free)) + " free but the files need " +
                 GetFileSizeString(static_cast<long long>(bytesNeeded));
      return DestinationVerdict::kTooSmall;
    }
  }
  return DestinationVerdict::kFine;
}

}  // namespace vorlenta
