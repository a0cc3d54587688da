// The debug channel: every message becomes one line "Debug: <message>" appended to a log
// file ("Log.txt" in the current directory unless redirected), opened and closed per message
// so that the log survives a crash.
#pragma once

#include <string>

namespace vorlenta {

constexpr const char* kDefaultDebugLogName = "Log.txt";

// Redirects the channel; an empty path restores "Log.txt" in the current directory.
// Call before worker threads start.
void SetDebugLogPath(const std::string& path);
std::string GetDebugLogPath();

// Appends one line for an already formatted message (one trailing end-of-line is dropped,
// since the line gets its own).
void DebugMessage(const char* message);
// printf-style form of DebugMessage.
void DebugPrint(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace vorlenta
