// Start-up of the window program: the relaunch with administrator rights, the debug channel,
// the capture of standard error and the clean-up at exit.
#pragma once

#include <QtGlobal>

#include <string>
#include <vector>

namespace vorlenta::app {

// Only debug messages are written, each as one line "Debug: <message>".
void customMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message);

// The launcher's work: starts the privileged copy with the single argument "start" (directly
// when already root, else through pkexec) and waits for it. Returns the process's exit status.
int RelaunchPrivileged();

// The argument vector of the pkexec launch for `self` (the program's own path): through `env`
// with the display variables when no installed policy names the program.
std::vector<std::string> PkexecArguments(const std::string& self, bool installed);

// Runs the privileged copy: window, event loop, clean-up. Returns the exit status.
int RunWindow(int& argc, char** argv);

}  // namespace vorlenta::app
