#include "util/debug_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "util/os_helpers.h"
#include "util/platform.h"

namespace vorlenta {
namespace {

constexpr const char* kLinePrefix = "Debug: ";

std::mutex& PathMutex() {
  static std::mutex mutex;
  return mutex;
}

std::string& LogPath() {
  static std::string path = kDefaultDebugLogName;
  return path;
}

}  // namespace

void SetDebugLogPath(const std::string& path) {
  std::lock_guard<std::mutex> lock(PathMutex());
  LogPath() = path.empty() ? kDefaultDebugLogName : path;
}

std::string GetDebugLogPath() {
  std::lock_guard<std::mutex> lock(PathMutex());
  return LogPath();
}

void DebugMessage(const char* message) {
  if (message == nullptr) return;
  size_t length = std::strlen(message);
  if (length > 0 && message[length - 1] == '\n') --length;
  std::string line = kLinePrefix;
  line.append(message, length);
  line.push_back('\n');
  const std::string path = GetDebugLogPath();
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, kFileMode);
  if (fd < 0) return;  // a lost debug line must never disturb the work
  // One write call per line keeps lines of different threads from interleaving mid-line.
  (void)WriteAll(fd, line.data(), line.size());
  ::close(fd);
}

void DebugPrint(const char* format, ...) {
  char buffer[2048];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  DebugMessage(buffer);
}

}  // namespace vorlenta
