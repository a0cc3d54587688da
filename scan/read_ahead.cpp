#include "scan/read_ahead.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "engine/status.h"

namespace vorlenta {

CReadAhead::~CReadAhead() { Stop(); }

int CReadAhead::Start(int fd, int bytesPerSector, uint64_t sectorLimit, size_t maxBytes) {
  Stop();
  if (fd < 0 || bytesPerSector <= 0) return kStatusInvalidParameter;
  m_fd = ::dup(fd);
  if (m_fd < 0) return errno;
  m_bytesPerSector = bytesPerSector;
  m_sectorLimit = sectorLimit;
  m_buffer.assign(maxBytes, 0);
  m_quit = false;
  m_pending = false;
  m_ready = false;
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

void CReadAhead::Request(uint64_t sector, unsigned count) {
  if (!Running() || static_cast<size_t>(count) * m_bytesPerSector > m_buffer.size()) return;
  std::unique_lock<std::mutex> lock(m_mutex);
  // One read at a time: an unanswered request is left to finish first.
  m_changed.wait(lock, [this] { return !m_pending; });
  m_sector = sector;
  m_count = count;
  m_ready = false;
  m_pending = true;
  lock.unlock();
  m_changed.notify_all();
}

int CReadAhead::Take(uint64_t sector, unsigned count, uint8_t* out, unsigned& got) {
  if (Running()) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return !m_pending; });
    if (m_ready && m_sector == sector && m_count == count) {
      m_ready = false;
      got = m_got;
      std::memcpy(out, m_buffer.data(), static_cast<size_t>(m_got) * m_bytesPerSector);
      return m_status;
    }
    m_ready = false;
  }
  return ReadNow(sector, count, out, got);
}

void CReadAhead::Loop() {
  std::unique_lock<std::mutex> lock(m_mutex);
  for (;;) {
    m_changed.wait(lock, [this] { return m_quit || m_pending; });
    if (m_quit) return;
    const uint64_t sector = m_sector;
    const unsigned count = m_count;
    lock.unlock();
    unsigned got = 0;
    const int status = ReadNow(sector, count, m_buffer.data(), got);
    lock.lock();
    m_status = status;
    m_got = got;
    m_ready = true;
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
