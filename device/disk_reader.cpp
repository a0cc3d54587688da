#include "device/disk_reader.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "util/debug_log.h"
#include "util/os_helpers.h"
#include "util/platform.h"
#include "util/text.h"

namespace vorlenta {

CDiskReader::~CDiskReader() { Close(); }

void CDiskReader::Close() {
  if (m_fd != -1) {
    ::close(m_fd);
    m_fd = -1;
  }
}

int CDiskReader::InitPath(const std::string& path, unsigned long long sectorLimit) {
  if (path.empty()) return 87;
  // The device is only ever read: never ask for write access.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    const int err = errno;
    Close();
    return err;
  }
  Close();
  m_fd = fd;
  m_sectorLimit = sectorLimit;
  return 0;
}

int CDiskReader::Init(int diskNumber, unsigned long long sectorLimit) {
  std::string path;
  const int status = GetDiskPath(diskNumber, path);
  if (status != 0) return status;
  return InitPath(path, sectorLimit);
}

int CDiskReader::Init(const char16_t* path, unsigned long long sectorLimit) {
  if (path == nullptr) return 87;
  return InitPath(Utf16ToUtf8(path), sectorLimit);
}

int CDiskReader::ReadData(unsigned char* buffer, int sectorCount, long long startSector, int sectorSize,
                          unsigned int* sectorsRead) {
  if (buffer == nullptr || sectorCount < 0 || startSector < 0 || sectorSize <= 0 || m_fd == -1) return 87;
  const unsigned long long end = static_cast<unsigned long long>(sectorCount) + static_cast<unsigned long long>(startSector);
  if (end > m_sectorLimit || end < static_cast<unsigned long long>(startSector)) return 87;
  const unsigned long long totalBytes = static_cast<unsigned long long>(sectorCount) * static_cast<unsigned long long>(sectorSize);
  if (totalBytes > 0x7FFFFFFFull) return 87;

  const long long offset = static_cast<long long>(static_cast<unsigned long long>(startSector) * static_cast<unsigned long long>(sectorSize));
  if (offset / sectorSize != startSector || ::lseek(m_fd, static_cast<off_t>(offset), SEEK_SET) < 0) {
    const int err = errno != 0 ? errno : EINVAL;
    DebugPrint("lseek failed %lld\n", offset);
    return err;
  }
  size_t done = 0;
  while (done < totalBytes) {
    const size_t remaining = static_cast<size_t>(totalBytes) - done;
    const size_t request = remaining < static_cast<size_t>(kMaxIoChunk) ? remaining : static_cast<size_t>(kMaxIoChunk);
    const ssize_t n = ::read(m_fd, buffer + done, request);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      DebugPrint("read %lld\n", static_cast<long long>(n < 0 ? errno : 0));
      if (sectorsRead != nullptr) *sectorsRead = static_cast<unsigned>(done / static_cast<size_t>(sectorSize));
      return 30;
    }
    done += static_cast<size_t>(n);
  }
  if (sectorsRead != nullptr) *sectorsRead = static_cast<unsigned>(done / static_cast<size_t>(sectorSize));
  return 0;
}

}  // namespace vorlenta
