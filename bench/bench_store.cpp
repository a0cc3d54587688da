// The scan result store at the size of a large card after a deep scan: nodes written as a
// directory walk produces them, flushed, reloaded, one 10,000-file directory listed, the tree
// counted and a category searched, with the peak memory of the process.
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench.h"
#include "engine/categories.h"
#include "engine/log_file_manager.h"
#include "engine/scan_result_store.h"
#include "util/debug_log.h"
#include "util/text.h"

namespace vorlenta::bench {
namespace {

constexpr uint32_t kBigDirectoryFiles = 10000;
constexpr uint32_t kOtherDirectoryFiles = 1000;
constexpr uint32_t kRootKey = 2;
constexpr uint32_t kFirstDirKey = 100;

double PeakMiB() {
  rusage usage;
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;  // KiB on Linux
}

// A camera-card mix: mostly photos, some music, video and documents, a few unknown files.
const char* Extension(uint32_t i) {
  static const char* const kMix[] = {".JPG", ".jpg", ".jpg", ".mp3", ".mov", ".pdf", ".dat", ""};
  return kMix[i % (sizeof kMix / sizeof kMix[0])];
}

off_t FileBytes(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return -1;
  std::fseek(f, 0, SEEK_END);
  const off_t size = static_cast<off_t>(std::ftell(f));
  std::fclose(f);
  return size;
}

}  // namespace

int RunStoreBench(const Args& args) {
  const uint32_t total = args.empty() ? 1000000u : static_cast<uint32_t>(std::stoul(args[0]));
  if (total < kBigDirectoryFiles + 1) {
    std::fprintf(stderr, "store: need at least %u nodes\n", kBigDirectoryFiles + 1);
    return 2;
  }
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/vorlenta-bench-store-XXXXXX";
  if (::mkdtemp(&pattern[0]) == nullptr) {
    std::perror("store: mkdtemp");
    return 1;
  }
  ::setenv("VORLENTA_SUPPORT_DIR", pattern.c_str(), 1);
  SetDebugLogPath(pattern + "/Log.txt");
  CLogFileManager& logs = CLogFileManager::GetInstance();
  logs.Init();
  logs.AddDirIndex();
  const std::u16string resultName = u"Pro_Fat_bench";

  // Write: directories in root order, each followed by its files, as a FAT walk finds them.
  double start = NowSeconds();
  uint32_t directories = 0;
  uint64_t relationWrites = 0;
  {
    CScanResultFileManager store;
    if (store.Init(resultName.c_str()) != 0) {
      std::fprintf(stderr, "store: cannot open the store in %s\n", pattern.c_str());
      return 1;
    }
    uint32_t created = 0;
    char name[64];
    while (created < total) {
      const uint32_t dirKey = kFirstDirKey + directories;
      _FILE_NODE_ dir;
      std::memset(&dir, 0, sizeof dir);
      dir.IsDirectory = 1;
      dir.IsHealthy = 1;
      dir.DirKey = dirKey;
      std::snprintf(name, sizeof name, "DCIM%05u", directories);
      SetFileNodeName(dir, name);
      const uint32_t dirIndex = store.AppendFileNode(dir);
      store.AddChildren(kRootKey, 0, dirIndex, dirKey, name);
      ++created;
      ++directories;
      const uint32_t files = directories == 1 ? kBigDirectoryFiles : kOtherDirectoryFiles;
      for (uint32_t f = 0; f < files && created < total; ++f, ++created) {
        _FILE_NODE_ node;
        std::memset(&node, 0, sizeof node);
        node.IsHealthy = (created % 50 == 0) ? 0 : 1;
        node.DirKey = 1000000 + created;
        node.FileSize = 100000 + created;
        node.RecordSector = created;
        std::snprintf(name, sizeof name, "IMG_%07u%s", created, Extension(created));
        SetFileNodeName(node, name);
        store.AddChildren(dirKey, 1, store.AppendFileNode(node), 0, nullptr);
      }
    }
    const double written = NowSeconds() - start;
    std::printf("store: write %u nodes in %u directories: %.2f s (%.0f nodes/s)\n", total, directories, written,
                total / written);
    start = NowSeconds();
    if (store.FlushBufToFile() != 0) {
      std::fprintf(stderr, "store: flush failed\n");
      return 1;
    }
    relationWrites = store.GetRelationWriteCount();
    std::printf("store: flush: %.3f s; relation file %lld bytes, rewritten %llu time(s) during the whole scan\n",
                NowSeconds() - start, static_cast<long long>(FileBytes(store.GetRelationFilePath())),
                static_cast<unsigned long long>(relationWrites));
  }

  double storePeak = 0;
  {
    start = NowSeconds();
    CScanResultFileManager store;
    if (store.Init(resultName.c_str()) != 0) {
      std::fprintf(stderr, "store: reload failed\n");
      return 1;
    }
    std::printf("store: reload: %.3f s (%zu relation entries, %zu named directories)\n", NowSeconds() - start,
                store.GetRelationMap().size(), store.GetDirInfoList().size());

    start = NowSeconds();
    std::vector<_FILE_NODE_> children;
    store.GetChildrenFileNode(MakeRelationKey(1, kFirstDirKey), children);
    std::printf("store: list the children of a %u-file directory: %.1f ms (%zu shown)\n", kBigDirectoryFiles,
                (NowSeconds() - start) * 1000.0, children.size());

    start = NowSeconds();
    char16_t path[512] = {0};
    const int pathStatus = children.empty() ? 87 : store.GetParentDirPath(&children.back(), path, 512);
    std::printf("store: parent path of one file: %.3f ms (status %d, \"%s\")\n", (NowSeconds() - start) * 1000.0,
                pathStatus, Utf16ToUtf8(path).c_str());

    start = NowSeconds();
    unsigned int count = 0;
    store.GetChildrenFileCount(0, count);
    std::printf("store: count the files below the root: %.2f s (%u files)\n", NowSeconds() - start, count);
    storePeak = PeakMiB();

    start = NowSeconds();
    std::vector<__SEARCH_FILE_INFO__> hits;
    const std::string key = kPhotoExtensionList;
    store.SearchFileNodeInfo(std::u16string(key.begin(), key.end()).c_str(), hits);
    const double searched = NowSeconds() - start;
    std::printf("store: search the photo category: %zu hits in %.2f s (%.0f nodes/s)\n", hits.size(), searched,
                total / searched);
    std::printf("store: peak memory with the %zu hits held: %.1f MiB\n", hits.size(), PeakMiB());
    std::printf("store: relation file rewritten %llu time(s) by the read-only session\n",
                static_cast<unsigned long long>(store.GetRelationWriteCount()));
  }

  const std::string folder = logs.GetLogFileDirPath();
  logs.DeleteLogFileDir(folder.c_str());
  for (const char* name : {"/ScanLog/config", "/ScanLog/config.tmp", "/Log.txt"}) {
    ::unlink((pattern + name).c_str());
  }
  ::rmdir((pattern + "/ScanLog").c_str());
  ::rmdir(pattern.c_str());
  SetDebugLogPath("");
  std::printf("store: peak memory of %u nodes written, flushed, reloaded, listed and counted: %.1f MiB\n", total,
              storePeak);
  return 0;
}

}  // namespace vorlenta::bench
