// Sizes and durations for display, clock and sleep shims, file status and free space,
// chunked reads, and the removal of preview files.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace vorlenta {

struct SYSTEMTIME {
  uint16_t wYear;
  uint16_t wMonth;
  uint16_t wDay;
  uint16_t wDayOfWeek;  // 0 = Sunday
  uint16_t wHour;
  uint16_t wMinute;
  uint16_t wSecond;
  uint16_t wMilliseconds;
};

struct STRUCT_RSB_FILE_ATTR {
  uint32_t mode;
  uint32_t uid;
  uint32_t gid;
  uint32_t sizeHigh;
  uint32_t sizeLow;
  int64_t accessTime;
  int64_t modifyTime;
  int64_t changeTime;
  uint64_t device;
  uint64_t serial;
  uint64_t linkCount;
};

std::string GetFileSizeString(long long bytes);
std::string GetTimeString(long long seconds);

unsigned rsb_getTickCount();
int rsb_msleep(int milliseconds);
int rsb_getLocalTime(SYSTEMTIME* t);
int rsb_getSystemTime(SYSTEMTIME* t);
int rsb_statH(int fd, STRUCT_RSB_FILE_ATTR* attr);
int rsb_getFileSizeH(int fd, int* low, int* high);
// Bytes available to the user on the volume of `path`, or of its nearest existing parent.
int rsb_getFreeSpace(const char* path, int pathLength, unsigned* high, unsigned* low);

// Largest single read or write handed to the operating system.
constexpr int kMaxIoChunk = 65536;

// Reads `length` bytes from the current position in calls of at most kMaxIoChunk bytes.
// Returns 0, or 30 when the file ends or a read fails; `got` receives the bytes read.
int ReadData(int fd, unsigned char* buffer, int length, unsigned* got);
// Writes all `length` bytes, retrying short writes. Returns 0 or the errno of the failure.
int WriteAll(int fd, const void* buffer, size_t length);

// Creates a new file at the UTF-8 `path`, or at the first free "name(N).ext" beside it when
// that name is taken: an existing file is never opened, so nothing is overwritten and no stale
// tail survives. Returns a read-write descriptor, or -errno; `actual` receives the path used.
int OpenNewFile(const std::string& path, std::string& actual);
// Creates the folder `path` and its parents (enterable; an existing folder is fine) and hands
// new ones to the user who started the program through sudo or pkexec. 0 or errno.
int MakeRecoveryFolder(const std::string& path);
// The user behind sudo or pkexec (PKEXEC_UID or SUDO_UID) while running as root; false when
// there is none or the process is not root. `gid` is (gid_t)-1 when unknown.
bool GetInvokingUser(uid_t& uid, gid_t& gid);
// Gives a file this privileged process created to the user who asked for it (the uid in
// PKEXEC_UID or SUDO_UID), so that the user can open, move and delete it. No-op otherwise.
void HandToInvokingUser(int fd);

// Removes every entry of `folder` whose name contains "tmp.". Non-zero if it could be listed.
int DeleteTmpFile(const char* folder);

}  // namespace vorlenta
