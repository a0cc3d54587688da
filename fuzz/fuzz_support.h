// What the fuzz targets share: the input presented as a device or as a volume image, a
// private working folder, and one pass over everything an engine offers.
#pragma once

#include <fcntl.h>
#include <ftw.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/log_file_manager.h"
#include "engine/recovery_driver.h"
#include "engine/recovery_parse.h"
#include "util/debug_log.h"
#include "util/os_helpers.h"
#include "util/platform.h"
#include "util/text.h"

namespace vorlenta::fuzz {

inline std::string TempPattern(const char* tag) {
  const char* base = std::getenv("TMPDIR");
  return std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/fuzz-" + tag + "-XXXXXX";
}

// Replaces the content of `path` by the input.
inline void WriteInput(const std::string& path, const uint8_t* data, size_t size) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0 || WriteAll(fd, data, size) != 0) std::abort();
  ::close(fd);
}

// The input as a device: one temporary file per process, opened read-only by the target.
class FuzzDevice {
 public:
  explicit FuzzDevice(const char* tag) {
    std::string pattern = TempPattern(tag);
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0) std::abort();
    ::close(fd);
    path_ = pattern;
    // Short reads at the end of the input would log a line on every run.
    SetDebugLogPath("/dev/null");
  }
  ~FuzzDevice() { ::unlink(path_.c_str()); }
  FuzzDevice(const FuzzDevice&) = delete;
  FuzzDevice& operator=(const FuzzDevice&) = delete;

  const std::string& Path() const { return path_; }
  void Write(const uint8_t* data, size_t size) const { WriteInput(path_, data, size); }

 private:
  std::string path_;
};

// A private folder holding the volume image, the support folder and what the engine saves;
// removed with everything in it when the process ends.
class FuzzWorkspace {
 public:
  explicit FuzzWorkspace(const char* tag) {
    std::string pattern = TempPattern(tag);
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    root_ = pattern;
    image_ = root_ + "/volume.img";
    output_ = root_ + "/out";
    ::setenv("VORLENTA_SUPPORT_DIR", (root_ + "/support").c_str(), 1);
    SetDebugLogPath("/dev/null");
    MakeDirectories(output_, kFolderMode);
    CLogFileManager::GetInstance().Init();
    CLogFileManager::GetInstance().AddDirIndex();
  }
  ~FuzzWorkspace() { RemoveTree(root_); }
  FuzzWorkspace(const FuzzWorkspace&) = delete;
  FuzzWorkspace& operator=(const FuzzWorkspace&) = delete;

  const std::string& Image() const { return image_; }
  const std::string& Output() const { return output_; }
  void WriteImage(const uint8_t* data, size_t size) const { WriteInput(image_, data, size); }

  // Empties the output, the current scan folder and the preview files after a run.
  void Clear() const {
    RemoveTree(output_);
    MakeDirectories(output_, kFolderMode);
    RemoveTree(CLogFileManager::GetInstance().GetLogFileDirPath());
    DeleteTmpFile(GetScanLogDir().c_str());
  }

  static void RemoveTree(const std::string& path) {
    ::nftw(
        path.c_str(),
        [](const char* p, const struct stat*, int, struct FTW*) { return ::remove(p); }, 16, FTW_DEPTH | FTW_PHYS);
  }

 private:
  std::string root_;
  std::string image_;
  std::string output_;
};

// Everything a person can do with a scanned volume, bounded: the unused runs, the search of
// every category, the root and its directories, and for a few hits the path, a save of at
// most `maxSavedBytes` and a preview.
inline void ExerciseEngine(IFileRecoveryParse& engine, const FuzzWorkspace& work, uint64_t maxSavedBytes) {
  constexpr size_t kMaxSavedFiles = 8;
  constexpr int kMaxUnusedRuns = 16;
  (void)engine.ScanDevice(nullptr);
  if (engine.BuildBitMapInfo() == 0) {
    unsigned long long sector = 0;
    for (int i = 0; i < kMaxUnusedRuns; ++i) {
      unsigned long long count = 0;
      engine.GetUnUsedSectorCount(sector, count);
      if (count == 0) break;
      sector += count;
    }
  }
  CategorySelection all;
  ParseCategoryList("all", all);
  std::vector<__SEARCH_FILE_INFO__> hits;
  engine.SearchFileNode(BuildSearchKey(all).c_str(), hits);
  std::vector<_FILE_NODE_> root;
  engine.GetChildrenFileNode(nullptr, 0, root);
  for (_FILE_NODE_& dir : root) {
    std::vector<_FILE_NODE_> inside;
    if (dir.IsDirectory != 0) engine.GetChildrenFileNode(&dir, 1, inside);
  }
  size_t saved = 0;
  for (_FILE_NODE_& hit : hits) {
    char16_t path[1024];
    engine.GetFileNodeParentDirPath(&hit, path, 1024);
    if (hit.FileSize > maxSavedBytes || saved == kMaxSavedFiles) continue;
    ++saved;
    const std::string target = work.Output() + "/file" + std::to_string(saved);
    engine.SaveFileData(&hit, Utf8ToUtf16(target.c_str()).c_str(), 0);
    char16_t temp[512] = {};
    unsigned char buffer[kPreviewBufferBytes];
    int length = sizeof buffer;
    engine.PreView(&hit, temp, buffer, length, nullptr, nullptr);
    if (length < 0 || length > static_cast<int>(sizeof buffer)) __builtin_trap();
  }
}

// One run of an engine over the input as a volume image: Init by path, `prepare` (the deep
// engines' pass; false ends the run), then everything above. Saves stay small, so that a
// fuzzed size cannot fill the disk; everything written is removed again.
template <typename Engine, typename Prepare>
int RunEngineOnImage(const char* tag, const uint8_t* data, size_t size, char16_t volume, Prepare prepare) {
  constexpr uint64_t kMaxSavedBytes = 1 << 20;
  static const FuzzWorkspace work(tag);
  work.WriteImage(data, size);
  {
    Engine engine;
    if (engine.Init(Utf8ToUtf16(work.Image().c_str()).c_str(), volume) == 0 && prepare(engine, work.Image())) {
      ExerciseEngine(engine, work, kMaxSavedBytes);
    }
  }
  work.Clear();
  return 0;
}

inline bool NothingToPrepare(IFileRecoveryParse&, const std::string&) { return true; }

}  // namespace vorlenta::fuzz
