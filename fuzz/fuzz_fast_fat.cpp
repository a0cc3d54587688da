// The fast FAT scan, search, preview and save over a small fuzzed volume image.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "engine/categories.h"
#include "engine/log_file_manager.h"
#include "engine/recovery_driver.h"
#include "fat/fast_fat_recovery.h"
#include "util/os_helpers.h"
#include "util/text.h"

namespace {

std::string& WorkDir() {
  static std::string dir = [] {
    char pattern[] = "/tmp/vorlenta-fuzz-fat-XXXXXX";
    const char* made = mkdtemp(pattern);
    std::string d = made != nullptr ? made : "/tmp";
    setenv("VORLENTA_SUPPORT_DIR", (d + "/support").c_str(), 1);
    return d;
  }();
  return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vorlenta;
  const std::string image = WorkDir() + "/image";
  const int fd = open(image.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0 || WriteAll(fd, data, size) != 0) std::abort();
  close(fd);

  CLogFileManager& logs = CLogFileManager::GetInstance();
  logs.AddDirIndex();
  {
    CFastFatRecovery engine;
    if (engine.Init(Utf8ToUtf16(image.c_str()).c_str(), u'C') == 0) {
      engine.ScanDevice(nullptr);
      engine.BuildBitMapInfo();
      unsigned long long sector = 0, count = 0;
      for (int i = 0; i < 4 && engine.GetUnUsedSectorCount(sector, count) == 1 && count != 0; ++i) sector += count;
      CategorySelection all;
      ParseCategoryList("all", all);
      std::vector<__SEARCH_FILE_INFO__> hits;
      engine.SearchFileNode(BuildSearchKey(all).c_str(), hits);
      std::vector<_FILE_NODE_> root;
      engine.GetChildrenFileNode(nullptr, 0, root);
      for (size_t i = 0; i < hits.size() && i < 4; ++i) {
        std::vector<unsigned char> buffer(kPreviewBufferBytes);
        int length = kPreviewBufferBytes;
        char16_t temp[512] = u"";
        engine.PreView(&hits[i], temp, buffer.data(), length, nullptr, nullptr);
        char16_t dir[512];
        engine.GetFileNodeParentDirPath(&hits[i], dir, 512);
        const std::string target = WorkDir() + "/saved";
        engine.SaveFileData(&hits[i], Utf8ToUtf16(target.c_str()).c_str(), 0);
        unlink(target.c_str());
      }
    }
  }
  logs.DeleteLogFileDir(logs.GetLogFileDirPath().c_str());
  return 0;
}
