// Overlaps the deep pass's reading with its classification: while the worker classifies one
// 64 KiB buffer, a second thread reads the next one with pread on a descriptor of its own.
// A request that does not match what was read ahead is read on the spot, so the pass sees
// exactly the bytes it would see without read-ahead.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace vorlenta {

class CReadAhead {
 public:
  CReadAhead() = default;
  ~CReadAhead();
  CReadAhead(const CReadAhead&) = delete;
  CReadAhead& operator=(const CReadAhead&) = delete;

  // Starts the thread on a duplicate of `fd`. Reads never reach `sectorLimit`. 0 or an errno.
  int Start(int fd, int bytesPerSector, uint64_t sectorLimit, size_t maxBytes);
  void Stop();
  bool Running() const { return m_thread.joinable(); }

  // Asks for `count` sectors from absolute `sector` in the background.
  void Request(uint64_t sector, unsigned count);
  // The sectors from `sector`: the background read when it was for these, else a read now.
  // `got` is the whole sectors that arrived; the status is 0, 30 for a short read, or the errno.
  int Take(uint64_t sector, unsigned count, uint8_t* out, unsigned& got);

 private:
  void Loop();
  int ReadNow(uint64_t sector, unsigned count, uint8_t* out, unsigned& got) const;

  int m_fd = -1;
  int m_bytesPerSector = 512;
  uint64_t m_sectorLimit = 0;
  std::thread m_thread;
  std::mutex m_mutex;
  std::condition_variable m_changed;
  bool m_quit = false;
  bool m_pending = false;  // a request waits for the thread
  bool m_ready = false;    // the thread's answer is in m_buffer
  uint64_t m_sector = 0;
  unsigned m_count = 0;
  int m_status = 0;
  unsigned m_got = 0;
  std::vector<uint8_t> m_buffer;
};

}  // namespace vorlenta
