// The "config" loader over arbitrary file contents, through a real file in a temporary
// support folder: whole records load, the rest is ignored, strings come back terminated.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/log_file_manager.h"
#include "util/debug_log.h"

namespace {
std::string g_folder;
std::string g_config;

// Leaves /tmp as it was when the fuzzer ends.
void RemoveFolder() {
  for (const char* name : {"/ScanLog/config", "/ScanLog/config.tmp", "/Log.txt"}) ::unlink((g_folder + name).c_str());
  ::rmdir((g_folder + "/ScanLog").c_str());
  ::rmdir(g_folder.c_str());
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char pattern[] = "/tmp/vorlenta-fuzz-config-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) std::abort();
  ::setenv("VORLENTA_SUPPORT_DIR", pattern, 1);
  vorlenta::SetDebugLogPath(std::string(pattern) + "/Log.txt");
  g_folder = pattern;
  g_config = g_folder + "/ScanLog/config";
  std::atexit(RemoveFolder);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vorlenta;
  // The file-backed loader, as a start-up sees it.
  CLogFileManager manager;  // creates ScanLog/ and an empty config on the first run
  FILE* f = std::fopen(g_config.c_str(), "wb");
  if (f == nullptr) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, f) != size) std::abort();
  std::fclose(f);
  const int status = manager.Init();
  const size_t whole = size >= kLogConfigHeaderSize ? (size - kLogConfigHeaderSize) / kLogFileInfoSize : 0;
  if (manager.GetLogList().size() != whole) std::abort();
  if (size == 0 && status != 87) std::abort();
  if (size > 0 && size < kLogConfigHeaderSize && status != 30) std::abort();
  for (const _LOG_FILE_INFO_& e : manager.GetLogList()) {
    if (std::memchr(e.Folder, 0, sizeof e.Folder) == nullptr) std::abort();
    if (std::memchr(e.SourcePath, 0, sizeof e.SourcePath) == nullptr) std::abort();
  }
  (void)manager.GetLogFileDirPath();

  // The in-memory parser: what it loads is written back byte for byte, strings aside.
  uint64_t number = 0;
  std::vector<_LOG_FILE_INFO_> list;
  if (ParseLogConfig(data, size, number, list) != 0) return 0;
  const std::vector<uint8_t> bytes = SerializeLogConfig(number, list);
  uint64_t numberAgain = 0;
  std::vector<_LOG_FILE_INFO_> again;
  if (ParseLogConfig(bytes.data(), bytes.size(), numberAgain, again) != 0) std::abort();
  if (numberAgain != number || again.size() != list.size()) std::abort();
  for (size_t i = 0; i < list.size(); ++i) {
    if (std::memcmp(&list[i], &again[i], sizeof list[i]) != 0) std::abort();
  }
  return 0;
}
