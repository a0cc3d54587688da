#include "util/platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vorlenta {
namespace {

// lstat: sysfs "device" entries are links, and only their presence matters.
bool PathExists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

bool StartsWith(const std::string& s, const char* prefix) {
  return s.compare(0, std::strlen(prefix), prefix) == 0;
}

std::string WithTrailingSlash(std::string path) {
  if (path.empty() || path.back() != '/') path.push_back('/');
  return path;
}

}  // namespace

std::vector<std::string> ListBlockDisks(const std::string& sysRoot) {
  std::vector<std::string> disks;
  const std::string blockDir = sysRoot + "/block";
  DIR* dir = ::opendir(blockDir.c_str());
  if (dir == nullptr) return disks;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    // RAM disks are never media a user brings for recovery.
    if (StartsWith(name, "ram") || StartsWith(name, "zram")) continue;
    const std::string base = blockDir + "/" + name;
    // A partition has a "partition" attribute; /sys/block normally lists none, but be sure.
    if (PathExists(base + "/partition")) continue;
    const bool isLoop = StartsWith(name, "loop");
    if (isLoop ? PathExists(base + "/loop/backing_file") : PathExists(base + "/device")) {
      disks.push_back(name);
    }
  }
  ::closedir(dir);
  std::sort(disks.begin(), disks.end());
  return disks;
}

int GetDiskPath(int diskNumber, std::string& path) {
  if (diskNumber < 0 || diskNumber > kMaxDiskNumber) return 87;
#ifdef __APPLE__
  path = "/dev/disk" + std::to_string(diskNumber);
  return 0;
#else
  if (const char* diskDir = std::getenv("VORLENTA_DISK_DIR"); diskDir != nullptr && *diskDir != '\0') {
    path = WithTrailingSlash(diskDir) + "disk" + std::to_string(diskNumber);
    return 0;
  }
  const std::vector<std::string> disks = ListBlockDisks("/sys");
  if (static_cast<size_t>(diskNumber) >= disks.size()) return 87;
  path = "/dev/" + disks[static_cast<size_t>(diskNumber)];
  return 0;
#endif
}

std::vector<std::string> GetDiskPaths() {
  std::vector<std::string> paths(kMaxDiskNumber + 1);
#ifndef __APPLE__
  const char* diskDir = std::getenv("VORLENTA_DISK_DIR");
  if (diskDir == nullptr || *diskDir == '\0') {
    const std::vector<std::string> disks = ListBlockDisks("/sys");
    for (size_t n = 0; n < disks.size() && n < paths.size(); ++n) paths[n] = "/dev/" + disks[n];
    return paths;
  }
#endif
  for (int n = 0; n <= kMaxDiskNumber; ++n) GetDiskPath(n, paths[static_cast<size_t>(n)]);
  return paths;
}

unsigned SupportFolderMode() { return ::geteuid() == 0 ? kRootSupportFolderMode : kSupportFolderMode; }

int MakeSupportFolder(const std::string& path) {
  const int status = MakeDirectories(path, SupportFolderMode());
  if (status != 0 || ::geteuid() != 0) return status;
  std::string folder = path;
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  struct stat st;
  if (::lstat(folder.c_str(), &st) != 0) return errno;
  if (!S_ISDIR(st.st_mode) || st.st_uid != 0) return EPERM;
  if ((st.st_mode & 07777) != kRootSupportFolderMode && ::chmod(folder.c_str(), kRootSupportFolderMode) != 0) {
    return errno;
  }
  return 0;
}

std::string GetDiskModel(const std::string& path) {
#ifdef __APPLE__
  (void)path;
  return "";
#else
  const size_t slash = path.rfind('/');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.empty() || path.compare(0, 5, "/dev/") != 0) return "";
  FILE* file = std::fopen(("/sys/block/" + name + "/device/model").c_str(), "re");
  if (file == nullptr) return "";
  char line[128] = {};
  const bool got = std::fgets(line, sizeof line, file) != nullptr;
  std::fclose(file);
  std::string model = got ? line : "";
  while (!model.empty() && (model.back() == '\n' || model.back() == ' ')) model.pop_back();
  return model;
#endif
}

int64_t GetDeviceSize(int fd) {
  const off_t end = ::lseek(fd, 0, SEEK_END);
  return end < 0 ? -1 : static_cast<int64_t>(end);
}

std::string GetSupportDir() {
  if (const char* dir = std::getenv("VORLENTA_SUPPORT_DIR"); dir != nullptr && *dir != '\0') {
    return WithTrailingSlash(dir);
  }
#ifdef __APPLE__
  return "/Library/Application Support/Tarnivel/";
#else
  if (::geteuid() == 0) return "/var/lib/tarnivel/";
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg != nullptr && *xdg == '/') {
    return WithTrailingSlash(xdg) + "tarnivel/";
  }
  const char* home = std::getenv("HOME");
  return std::string(home != nullptr ? home : "") + "/.local/share/tarnivel/";
#endif
}

std::string GetScanLogDir() { return GetSupportDir() + "ScanLog/"; }

int MakeDirectories(const std::string& path, unsigned mode) {
  if (path.empty()) return 87;
  std::string partial;
  size_t pos = 0;
  while (pos <= path.size()) {
    size_t next = path.find('/', pos);
    if (next == std::string::npos) next = path.size();
    partial = path.substr(0, next);
    pos = next + 1;
    if (partial.empty()) continue;  // the leading "/"
    if (::mkdir(partial.c_str(), static_cast<mode_t>(mode)) != 0) {
      const int err = errno;
      struct stat st;
      if (err != EEXIST) return err;
      if (::stat(partial.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return ENOTDIR;
    }
  }
  return 0;
}

}  // namespace vorlenta
