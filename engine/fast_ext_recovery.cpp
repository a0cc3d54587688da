#include "engine/fast_ext_recovery.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "util/platform.h"

namespace vorlenta {

CFastExtRecovery::~CFastExtRecovery() {
  if (m_fd != -1) ::close(m_fd);
}

int CFastExtRecovery::Init(int diskNumber, long long startSector, long long sectorCount, char16_t /*volumeTag*/) {
  std::string path;
  const int status = GetDiskPath(diskNumber, path);
  if (status != 0) return status;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  if (m_fd != -1) ::close(m_fd);
  m_fd = fd;
  m_startSector = startSector;
  m_sectorCount = sectorCount;
  return 0;
}

int CFastExtRecovery::Init(const char16_t* /*path*/, char16_t /*volumeTag*/) { return 0; }

}  // namespace vorlenta
