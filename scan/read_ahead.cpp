#include "scan/read_ahead.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "engine/status.h"

namespace vorlenta {

CReadAhead::~CReadAhead() { Stop(); }

int CReadAhead::Start(int fd, int bytesPerSector, uint64_t sectorLimit) {
  Stop();
  if (fd < 0 || bytesPerSector <= 0) return kStatusInvalidParameter;
  m_fd = ::dup(fd);
  if (m_fd < 0) return errno;
  m_bytesPerSector = bytesPerSector;
  m_windowSectors = static_cast<unsigned>(kReadAheadWindowBytes / static_cast<size_t>(bytesPerSector));
  m_sectorLimit = sectorLimit;
  m_front = Window{};
  m_back = Window{};
  m_front.data.assign(kReadAheadWindowBytes, 0);
  m_back.data.assign(kReadAheadWindowBytes, 0);
  m_quit = false;
  m_pending = false;
  m_thread = std::thread(&CReadAhead::Loop, this);
  return 0;
}

void CReadAhead::Stop() {
  if (m_thread.joinable()) {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_quit = true;
    }
    m_changed.notify_all();
    m_thread.join();
  }
  if (m_fd >= 0) ::close(m_fd);
  m_fd = -1;
}

bool CReadAhead::Serve(uint64_t sector, unsigned count, uint8_t* out, unsigned& got) const {
  if (!m_front.valid || sector < m_front.sector || sector + count > m_front.sector + m_front.got) return false;
  const size_t b = static_cast<size_t>(m_bytesPerSector);
  std::memcpy(out, m_front.data.data() + (sector - m_front.sector) * b, static_cast<size_t>(count) * b);
  got = count;
  return true;
}

void CReadAhead::Prefetch(uint64_t sector) {
  if (sector >= m_sectorLimit) return;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_back.sector = sector;
    m_back.got = static_cast<unsigned>(std::min<uint64_t>(m_windowSectors, m_sectorLimit - sector));
    m_back.valid = false;
    m_pending = true;
  }
  m_changed.notify_all();
}

int CReadAhead::Take(uint64_t sector, unsigned count, uint8_t* out, unsigned& got) {
  got = 0;
  if (!Running()) return ReadNow(sector, count, out, got);
  if (!Serve(sector, count, out, got)) {
    {
      std::unique_lock<std::mutex> lock(m_mutex);
      m_changed.wait(lock, [this] { return !m_pending; });
      if (m_back.valid) {
        std::swap(m_front, m_back);
        m_back.valid = false;
      }
    }
    if (!Serve(sector, count, out, got)) {
      // A jump, or a window that came back short: read exactly what was asked for.
      const int status = ReadNow(sector, count, out, got);
      Prefetch(sector + count);
      return status;
    }
  }
  // The window in hand is whole: ask for the one after it while it is used.
  bool idle = false;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    idle = !m_pending && !m_back.valid;
  }
  if (idle && m_front.got == m_windowSectors) Prefetch(m_front.sector + m_front.got);
  return 0;
}

void CReadAhead::Loop() {
  std::unique_lock<std::mutex> lock(m_mutex);
  for (;;) {
    m_changed.wait(lock, [this] { return m_quit || m_pending; });
    if (m_quit) return;
    const uint64_t sector = m_back.sector;
    const unsigned count = m_back.got;
    uint8_t* data = m_back.data.data();
    lock.unlock();
    unsigned got = 0;
    const int status = ReadNow(sector, count, data, got);
    lock.lock();
    m_back.got = got;
    m_back.status = status;
    m_back.valid = true;
    m_pending = false;
    m_changed.notify_all();
  }
}

int CReadAhead::ReadNow(uint64_t sector, unsigned count, uint8_t* out, unsigned& got) const {
  got = 0;
  if (m_fd < 0 || sector >= m_sectorLimit || count > m_sectorLimit - sector) return kStatusInvalidParameter;
  const size_t want = static_cast<size_t>(count) * m_bytesPerSector;
  size_t done = 0;
  int status = 0;
  while (done < want) {
    const ssize_t n = ::pread(m_fd, out + done, want - done, static_cast<off_t>(sector * m_bytesPerSector + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      status = errno;
      break;
    }
    if (n == 0) {
      status = kStatusReadFault;
      break;
    }
    done += static_cast<size_t>(n);
  }
  got = static_cast<unsigned>(done / m_bytesPerSector);
  return status;
}

}  // namespace vorlenta
