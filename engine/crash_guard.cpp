#include "engine/crash_guard.h"

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>

#include "util/debug_log.h"

namespace vorlenta {
namespace {

// The innermost guarded section of this thread; faults are synchronous, so the handler runs
// on the faulting thread and finds its own section here.
thread_local CCrashGuard* t_activeGuard = nullptr;

constexpr int kGuardedSignals[] = {SIGSEGV, SIGBUS};

void ExitQuietly(int signal) { _exit(128 + signal); }

void InstallHandler(void (*handler)(int)) {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  // The handler leaves by siglongjmp, which restores the mask saved by sigsetjmp.
  action.sa_flags = SA_NODEFER;
  for (int signal : kGuardedSignals) sigaction(signal, &action, nullptr);
}

}  // namespace

CCrashGuard::CCrashGuard(const char* debugLine) {
  std::snprintf(m_logLine, sizeof m_logLine, "Debug: %s\n", debugLine != nullptr ? debugLine : "recvSignal");
  m_logLineLength = std::strlen(m_logLine);
}

void CCrashGuard::Enter() {
  std::snprintf(m_logPath, sizeof m_logPath, "%s", GetDebugLogPath().c_str());
  m_previous = t_activeGuard;
  t_activeGuard = this;
  InstallHandler(&CCrashGuard::OnGuardedSignal);
}

void CCrashGuard::Leave() {
  t_activeGuard = m_previous;
  m_previous = nullptr;
  if (t_activeGuard == nullptr) InstallHandler(&ExitQuietly);
}

void CCrashGuard::OnGuardedSignal(int signal) {
  CCrashGuard* guard = t_activeGuard;
  if (guard == nullptr) ExitQuietly(signal);
  const int fd = ::open(guard->m_logPath, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd >= 0) {
    ssize_t ignored = ::write(fd, guard->m_logLine, guard->m_logLineLength);
    (void)ignored;
    ::close(fd);
  }
  guard->m_faults = guard->m_faults + 1;
  siglongjmp(guard->m_jump, 1);
}

}  // namespace vorlenta
