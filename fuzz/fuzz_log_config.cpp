// The "config" loader over arbitrary file contents, through a real file in a temporary
// support folder: whole records load, the rest is ignored, strings come back terminated.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/log_file_manager.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vorlenta;
  static const fuzz::FuzzWorkspace work("config");
  static const std::string config = GetScanLogDir() + "config";
  // The file-backed loader, as a start-up sees it.
  CLogFileManager manager;  // creates ScanLog/ and an empty config on the first run
  FILE* f = std::fopen(config.c_str(), "wb");
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
