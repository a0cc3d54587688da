#include "app/start_up.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QMessageBox>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ui/drui.h"
#include "util/debug_log.h"
#include "util/os_helpers.h"
#include "util/platform.h"
#include "util/text.h"

namespace vorlenta::app {
namespace {

constexpr const char* kStartArgument = "start";
constexpr const char* kOutFileName = "Out.txt";
// Where `cmake --install` puts the program, the path the polkit policy names.
constexpr const char* kInstalledSuffix = "/bin/vorlenta";
// pkexec's statuses for "not authorised" and "dismissed / not found".
constexpr int kPkexecRefused = 126;
constexpr int kPkexecMissing = 127;
constexpr const char* kHowToRun =
    "Vorlenta reads raw devices and needs administrator rights. Run it with rights, for example:\n"
    "  sudo vorlenta start";

std::string SelfPath() {
  char buffer[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return "";
  buffer[n] = '\0';
  return buffer;
}

bool HaveDisplay() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return true;
  }
  return false;
}

// Runs `args` (no shell) and returns its exit status, or -errno when it could not start.
int RunAndWait(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t child = ::fork();
  if (child < 0) return -errno;
  if (child == 0) {
    ::execvp(argv[0], argv.data());
    _exit(kPkexecMissing);
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return -errno;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void SayHowToRun() {
  if (HaveDisplay()) {
    int argc = 1;
    char name[] = "vorlenta";
    char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    QMessageBox::information(nullptr, "Vorlenta", kHowToRun);
    return;
  }
  std::fprintf(stderr, "%s\n", kHowToRun);
}

}  // namespace

void customMessageHandler(QtMsgType type, const QMessageLogContext&, const QString& message) {
  if (type != QtDebugMsg) return;
  DebugMessage(message.toUtf8().constData());
}

std::vector<std::string> PkexecArguments(const std::string& self, bool installed) {
  if (installed) return {"pkexec", self, kStartArgument};
  std::vector<std::string> args = {"pkexec", "env"};
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "XAUTHORITY", "XDG_RUNTIME_DIR"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') args.push_back(std::string(name) + "=" + value);
  }
  args.push_back(self);
  args.push_back(kStartArgument);
  return args;
}

int RelaunchPrivileged() {
  const std::string self = SelfPath();
  if (self.empty()) return 0;
  if (::geteuid() == 0) {
    RunAndWait({self, kStartArgument});
    return 0;
  }
  const bool installed =
      self.size() > std::strlen(kInstalledSuffix) &&
      self.compare(self.size() - std::strlen(kInstalledSuffix), std::string::npos, kInstalledSuffix) == 0;
  const int status = RunAndWait(PkexecArguments(self, installed));
  if (status < 0 || status == kPkexecRefused || status == kPkexecMissing) SayHowToRun();
  return 0;
}

int RunWindow(int& argc, char** argv) {
  QApplication app(argc, argv);
  qInstallMessageHandler(customMessageHandler);
  const std::string support = GetSupportDir();
  if (MakeSupportFolder(support) == 0) SetDebugLogPath(support + kDefaultDebugLogName);
  const std::string outPath = support + kOutFileName;
  const int outFd = ::open(outPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, kFileMode);
  if (outFd >= 0) ::dup2(outFd, STDERR_FILENO);
  if (inner_initUnicodeMap("UTF-8") != 0) DebugPrint("inner_initUnicodeMap failed\n");

  int status = 0;
  {
    DRUI window;
    window.Init();
    window.show();
    status = app.exec();
  }
  DeleteTmpFile(GetScanLogDir().c_str());
  if (outFd >= 0) {
    ::close(outFd);
    ::unlink(outPath.c_str());
  }
  return status;
}

}  // namespace vorlenta::app
