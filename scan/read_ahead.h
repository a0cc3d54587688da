// Overlaps the deep pass's reading with its classification: while the worker classifies, a
// second thread reads the next window (1 MiB) with pread on a descriptor of its own, and the
// pass's 64 KiB reads are served from it. A read the window does not hold (after a jump, or
// where the window came back short) is read on the spot, so the pass sees exactly the bytes
// and statuses it would see without read-ahead.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace vorlenta {

// Bytes the read-ahead thread reads at a time.
constexpr size_t kReadAheadWindowBytes = 1u << 20;

class CReadAhead {
 public:
  CReadAhead() = default;
  ~CReadAhead();
  CReadAhead(const CReadAhead&) = delete;
  CReadAhead& operator=(const CReadAhead&) = delete;

  // Starts the thread on a duplicate of `fd`. Reads never reach `sectorLimit`. 0 or an errno.
  int Start(int fd, int bytesPerSector, uint64_t sectorLimit);
  void Stop();
  bool Running() const { return m_thread.joinable(); }

  // `count` sectors from absolute `sector`, and the window after them asked for in the
  // background. `got` is the whole sectors that arrived; the status is 0, 30 for a short read,
  // 87 past the limit, or the errno.
  int Take(uint64_t sector, unsigned count, uint8_t* out, unsigned& got);

 private:
  struct Window {
    uint64_t sector = 0;
    unsigned got = 0;
    int status = 0;
    bool valid = false;
    std::vector<uint8_t> data;
  };
  void Loop();
  void Prefetch(uint64_t sector);
  bool Serve(uint64_t sector, unsigned count, uint8_t* out, unsigned& got) const;
  int ReadNow(uint64_t sector, unsigned count, uint8_t* out, unsigned& got) const;

  int m_fd = -1;
  int m_bytesPerSector = 512;
  unsigned m_windowSectors = 0;
  uint64_t m_sectorLimit = 0;
  std::thread m_thread;
  std::mutex m_mutex;
  std::condition_variable m_changed;
  bool m_quit = false;
  bool m_pending = false;  // the thread is filling m_back
  Window m_front;          // the worker's
  Window m_back;           // the thread's while m_pending
};

}  // namespace vorlenta
