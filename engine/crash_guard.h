// Last line of defence while parsing damaged media: a memory fault inside a guarded section
// skips that one item (with one debug line) instead of killing the process. The parsers are
// bounds-checked and fuzzed; the guard only catches what slipped through.
#pragma once

#include <csetjmp>
#include <cstddef>

namespace vorlenta {

class CCrashGuard {
 public:
  // `debugLine` is written to the debug channel for every caught fault, e.g.
  // "CFastFatRecovery recvSignal". Each unit (driver or engine) owns one guard.
  explicit CCrashGuard(const char* debugLine);
  CCrashGuard(const CCrashGuard&) = delete;
  CCrashGuard& operator=(const CCrashGuard&) = delete;

  // Runs `work` guarded. True when it completed; false when it faulted and was abandoned
  // (nothing it allocated is freed, nothing it changed is undone). Once the outermost section
  // is over, a fault anywhere ends the process at once, quietly, with status 128 + signal.
  template <class Work>
  bool Run(Work&& work) {
    Enter();
    // volatile: it must not be cached across the non-local return.
    volatile bool completed = false;
    if (sigsetjmp(m_jump, 1) == 0) {
      work();
      completed = true;
    }
    Leave();
    return completed;
  }

  // Number of faults this guard has caught.
  unsigned long Faults() const { return m_faults; }

 private:
  static void OnGuardedSignal(int signal);
  void Enter();
  void Leave();

  sigjmp_buf m_jump;
  CCrashGuard* m_previous = nullptr;
  volatile unsigned long m_faults = 0;
  // Prepared before the section so the signal handler only needs open, write and close.
  char m_logPath[4096] = {};
  char m_logLine[256] = {};
  size_t m_logLineLength = 0;
};

}  // namespace vorlenta
