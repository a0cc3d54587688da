// Runs the fast NTFS scan over a fuzzed volume image: the input is written to a temporary file
// and opened by path, then scanned, listed, searched, previewed and saved from. Small saves
// only, so that a fuzzed size cannot fill the disk; everything written is removed again.
#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/categories.h"
#include "engine/log_file_manager.h"
#include "engine/recovery_driver.h"
#include "ntfs/fast_ntfs_recovery.h"
#include "util/os_helpers.h"
#include "util/platform.h"
#include "util/text.h"

namespace {

constexpr uint64_t kMaxSavedBytes = 1 << 20;
constexpr size_t kMaxSavedFiles = 8;

struct Workspace {
  std::string root;
  std::string image;
  std::string output;
};

const Workspace& Work() {
  static const Workspace work = [] {
    Workspace w;
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/fuzz-fast-ntfs-XXXXXX";
    if (::mkdtemp(&pattern[0]) == nullptr) std::abort();
    w.root = pattern;
    w.image = w.root + "/volume.img";
    w.output = w.root + "/out";
    ::setenv("VORLENTA_SUPPORT_DIR", (w.root + "/support").c_str(), 1);
    vorlenta::MakeDirectories(w.output, vorlenta::kFolderMode);
    vorlenta::CLogFileManager::GetInstance().Init();
    vorlenta::CLogFileManager::GetInstance().AddDirIndex();
    return w;
  }();
  return work;
}

// Removes the files (and one level of folders) below `folder`.
void EmptyFolder(const std::string& folder) {
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return;
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(folder + "/" + name);
  }
  ::closedir(dir);
  for (const std::string& path : names) {
    if (::unlink(path.c_str()) != 0) {
      EmptyFolder(path);
      ::rmdir(path.c_str());
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vorlenta;
  const Workspace& work = Work();
  {
    const int fd = ::open(work.image.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return 0;
    const int status = WriteAll(fd, data, size);
    ::close(fd);
    if (status != 0) return 0;
  }
  {
    CFastNtfsRecovery engine;
    if (engine.Init(Utf8ToUtf16(work.image.c_str()).c_str(), u'F') == 0) {
      (void)engine.ScanDevice(nullptr);
      if (engine.BuildBitMapInfo() == 0) {
        unsigned long long sector = 0;
        for (int i = 0; i < 16; ++i) {
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
        if (hit.FileSize > kMaxSavedBytes || saved == kMaxSavedFiles) continue;
        ++saved;
        const std::string target = work.output + "/file" + std::to_string(saved);
        engine.SaveFileData(&hit, Utf8ToUtf16(target.c_str()).c_str(), 0);
        char16_t temp[512] = {};
        unsigned char buffer[kPreviewBufferBytes];
        int length = sizeof buffer;
        engine.PreView(&hit, temp, buffer, length, nullptr, nullptr);
        if (length < 0 || length > static_cast<int>(sizeof buffer)) __builtin_trap();
      }
    }
  }
  EmptyFolder(work.output);
  EmptyFolder(CLogFileManager::GetInstance().GetLogFileDirPath());
  DeleteTmpFile(GetScanLogDir().c_str());
  return 0;
}
