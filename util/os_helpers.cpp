#include "util/os_helpers.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/time.h>
#include <sys/times.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "util/debug_log.h"
#include "util/platform.h"
#include "util/text.h"

namespace vorlenta {
namespace {

constexpr double kKiB = 1024.0;
constexpr double kMiB = kKiB * 1024.0;
constexpr double kGiB = kMiB * 1024.0;
constexpr double kTiB = kGiB * 1024.0;

std::string Format(const char* fmt, double value, const char* unit) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, fmt, value);
  return std::string(buffer) + unit;
}

void FillSystemTime(const tm& broken, long microseconds, SYSTEMTIME* t) {
  t->wYear = static_cast<uint16_t>(broken.tm_year + 1900);
  t->wMonth = static_cast<uint16_t>(broken.tm_mon + 1);
  t->wDay = static_cast<uint16_t>(broken.tm_mday);
  t->wDayOfWeek = static_cast<uint16_t>(broken.tm_wday);
  t->wHour = static_cast<uint16_t>(broken.tm_hour);
  t->wMinute = static_cast<uint16_t>(broken.tm_min);
  t->wSecond = static_cast<uint16_t>(broken.tm_sec);
  t->wMilliseconds = static_cast<uint16_t>(microseconds / 1000);
}

constexpr int kTimeUnavailable = 34;

int GetTime(SYSTEMTIME* t, bool local) {
  if (t == nullptr) return 87;
  timeval now;
  if (::gettimeofday(&now, nullptr) != 0) return kTimeUnavailable;
  tm broken;
  const time_t seconds = now.tv_sec;
  if ((local ? ::localtime_r(&seconds, &broken) : ::gmtime_r(&seconds, &broken)) == nullptr) return kTimeUnavailable;
  FillSystemTime(broken, static_cast<long>(now.tv_usec), t);
  return 0;
}

}  // namespace

std::string GetFileSizeString(long long bytes) {
  const double value = static_cast<double>(bytes);
  if (value >= kTiB) return Format("%.2f", value / kTiB, " TB");
  if (value >= kGiB) return Format("%.2f", value / kGiB, " GB");
  if (value >= kMiB) return Format("%.2f", value / kMiB, " MB");
  if (bytes < 1024) return std::to_string(bytes) + " Bytes";
  return Format("%.2f", value / kKiB, " KB");
}

std::string GetTimeString(long long seconds) {
  char buffer[64];
  if (seconds >= 3600) {
    std::snprintf(buffer, sizeof buffer, "%lld Hour %lld Min", seconds / 3600, (seconds % 3600) / 60);
  } else if (seconds < 60) {
    std::snprintf(buffer, sizeof buffer, "%lld Sec", seconds);
  } else {
    std::snprintf(buffer, sizeof buffer, "%lld Min %lld Sec", seconds / 60, seconds % 60);
  }
  return buffer;
}

unsigned rsb_getTickCount() {
  tms unused;
  const clock_t ticks = ::times(&unused);
  const long perSecond = ::sysconf(_SC_CLK_TCK);
  if (perSecond <= 0) return static_cast<unsigned>(ticks) * 10u;
  return static_cast<unsigned>(static_cast<unsigned long long>(ticks) * 1000ull / static_cast<unsigned long long>(perSecond));
}

int rsb_msleep(int milliseconds) {
  if (milliseconds < 0) return -1;
  timespec delay;
  delay.tv_sec = milliseconds / 1000;
  delay.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
  return ::nanosleep(&delay, nullptr) == 0 ? 0 : -1;
}

int rsb_getLocalTime(SYSTEMTIME* t) { return GetTime(t, true); }

int rsb_getSystemTime(SYSTEMTIME* t) { return GetTime(t, false); }

int rsb_statH(int fd, STRUCT_RSB_FILE_ATTR* attr) {
  if (fd == -1) return -1;
  struct stat st;
  if (::fstat(fd, &st) != 0) return -1;
  if (attr == nullptr) return 0;
  std::memset(attr, 0, sizeof *attr);
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  attr->mode = st.st_mode;
  attr->uid = st.st_uid;
  attr->gid = st.st_gid;
  attr->sizeHigh = static_cast<uint32_t>(size >> 32);
  attr->sizeLow = static_cast<uint32_t>(size);
  attr->accessTime = st.st_atime;
  attr->modifyTime = st.st_mtime;
  attr->changeTime = st.st_ctime;
  attr->device = st.st_dev;
  attr->serial = st.st_ino;
  attr->linkCount = st.st_nlink;
  return 0;
}

int rsb_getFileSizeH(int fd, int* low, int* high) {
  STRUCT_RSB_FILE_ATTR attr;
  if (rsb_statH(fd, &attr) != 0) return -1;
  if (low != nullptr) *low = static_cast<int>(attr.sizeLow);
  if (high != nullptr) *high = static_cast<int>(attr.sizeHigh);
  return 0;
}

int rsb_getFreeSpace(const char* path, int /*pathLength*/, unsigned* high, unsigned* low) {
  if (high != nullptr) *high = 0;
  if (low != nullptr) *low = 0;
  if (path == nullptr || path[0] != '/') return 0;
  // Walk up on a copy: the caller's path stays as it was.
  std::string current = path;
  for (;;) {
    struct statvfs info;
    if (::statvfs(current.c_str(), &info) == 0) {
      const uint64_t freeBytes = static_cast<uint64_t>(info.f_bavail) * static_cast<uint64_t>(info.f_frsize);
      if (high != nullptr) *high = static_cast<unsigned>(freeBytes >> 32);
      if (low != nullptr) *low = static_cast<unsigned>(freeBytes);
      return 0;
    }
    if (current.size() < 2) return -1;
    const size_t slash = current.rfind('/');
    current.resize(slash == 0 ? 1 : slash);
  }
}

int ReadData(int fd, unsigned char* buffer, int length, unsigned* got) {
  if (buffer == nullptr || length < 0) return 87;
  int done = 0;
  while (done < length) {
    const int request = length - done < kMaxIoChunk ? length - done : kMaxIoChunk;
    const ssize_t n = ::read(fd, buffer + done, static_cast<size_t>(request));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (got != nullptr) *got = static_cast<unsigned>(done);
      return 30;
    }
    done += static_cast<int>(n);
  }
  if (got != nullptr) *got = static_cast<unsigned>(length);
  return 0;
}

int WriteAll(int fd, const void* buffer, size_t length) {
  const char* p = static_cast<const char*>(buffer);
  while (length > 0) {
    const size_t request = length < static_cast<size_t>(kMaxIoChunk) ? length : static_cast<size_t>(kMaxIoChunk);
    const ssize_t n = ::write(fd, p, request);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return EIO;
    p += n;
    length -= static_cast<size_t>(n);
  }
  return 0;
}

bool GetInvokingUser(uid_t& uid, gid_t& gid) {
  if (::geteuid() != 0) return false;
  for (const char* name : {"PKEXEC_UID", "SUDO_UID"}) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') continue;
    char* end = nullptr;
    const unsigned long id = std::strtoul(value, &end, 10);
    if (*end != '\0' || id == 0) return false;
    uid = static_cast<uid_t>(id);
    const char* group = std::getenv("SUDO_GID");
    gid = group != nullptr && *group != '\0' ? static_cast<gid_t>(std::strtoul(group, nullptr, 10)) : static_cast<gid_t>(-1);
    return true;
  }
  return false;
}

void HandToInvokingUser(int fd) {
  uid_t uid;
  gid_t gid;
  if (fd >= 0 && GetInvokingUser(uid, gid)) (void)::fchown(fd, uid, gid);
}

int OpenNewFile(const std::string& path, std::string& actual) {
  if (path.empty()) return -87;
  std::vector<char> drive(path.size() + 1), dir(path.size() + 1), fname(path.size() + 1), ext(path.size() + 1);
  _splitpath(path.c_str(), drive.data(), dir.data(), fname.data(), ext.data());
  // Try the name, then name(1).ext, name(2).ext …; O_EXCL makes the open itself refuse a name
  // that exists, so even a name taken after a check is never overwritten.
  for (unsigned n = 0;; ++n) {
    const std::string candidate =
        n == 0 ? path : std::string(dir.data()) + fname.data() + "(" + std::to_string(n) + ")" + ext.data();
    const int fd = ::open(candidate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, kFileMode);
    if (fd >= 0) {
      HandToInvokingUser(fd);
      actual = candidate;
      return fd;
    }
    if (errno != EEXIST || n == 100000) return -errno;
  }
}

int MakeRecoveryFolder(const std::string& path) {
  struct stat st;
  const bool existed = ::stat(path.c_str(), &st) == 0;
  const int status = MakeDirectories(path, kFolderMode);
  if (status == 0 && !existed) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
      HandToInvokingUser(fd);
      ::close(fd);
    }
  }
  return status;
}

int DeleteTmpFile(const char* folder) {
  if (folder == nullptr) return 0;
  DIR* dir = ::opendir(folder);
  if (dir == nullptr) {
    DebugPrint("open dir failed\n");
    return 0;
  }
  // Collect first: removing entries while readdir walks the folder may skip some.
  std::vector<std::string> doomed;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (name.find("tmp.") != std::string::npos) doomed.push_back(name);
  }
  ::closedir(dir);
  std::string base = folder;
  if (!base.empty() && base.back() != '/') base.push_back('/');
  for (const std::string& name : doomed) ::remove((base + name).c_str());
  return 1;
}

}  // namespace vorlenta
