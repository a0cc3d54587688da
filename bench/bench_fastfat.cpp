// Fast FAT scan of a card with many files: scan, listing, search and recovery speed.
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench.h"
#include "engine/log_file_manager.h"
#include "engine/recovery_driver.h"
#include "fat/fast_fat_recovery.h"
#include "util/os_helpers.h"
#include "util/text.h"

namespace vorlenta::bench {
namespace {

int Shell(const std::string& command) { return std::system(command.c_str()); }

// A FAT32 card of 20,000 files in 200 folders, 2,000 of them deleted.
constexpr FatCardSpec kCard = {"fastfat", 384, "-F 32 -n BENCH", 200, 100, 10, "::/Folder %03d",
                               "Field notes %03d-%03d.txt", 2048, 10240, 12345};

}  // namespace

int RunFastFatBench(const Args& args) {
  char pattern[] = "/tmp/vorlenta-bench-fastfat-XXXXXX";
  const char* made = mkdtemp(pattern);
  if (made == nullptr) return 1;
  const std::string work = made;
  setenv("VORLENTA_SUPPORT_DIR", (work + "/support").c_str(), 1);
  std::string image = args.empty() ? work + "/card.img" : args[0];
  if (args.empty() && !MakeFatCard(kCard, work, image)) {
    std::fprintf(stderr, "fastfat: cannot make the card image (mkfs.fat and mtools needed)\n");
    return 1;
  }
  CLogFileManager::GetInstance().Init();
  CLogFileManager::GetInstance().AddDirIndex();

  CFastFatRecovery engine;
  double t0 = NowSeconds();
  if (engine.Init(Utf8ToUtf16(image.c_str()).c_str(), u'C') != 0 || engine.ScanDevice(nullptr) != 0) {
    std::fprintf(stderr, "fastfat: %s is not a FAT volume the fast scan can read\n", image.c_str());
    return 1;
  }
  const double scanSeconds = NowSeconds() - t0;

  t0 = NowSeconds();
  std::vector<_FILE_NODE_> root;
  engine.GetChildrenFileNode(nullptr, 0, root);
  size_t listed = root.size();
  for (_FILE_NODE_& dir : root) {
    if (dir.IsDirectory == 0) continue;
    std::vector<_FILE_NODE_> children;
    engine.GetChildrenFileNode(&dir, 1, children);
    listed += children.size();
  }
  const double listSeconds = NowSeconds() - t0;

  t0 = NowSeconds();
  CategorySelection all;
  ParseCategoryList("all", all);
  std::vector<__SEARCH_FILE_INFO__> hits;
  engine.SearchFileNode(BuildSearchKey(all).c_str(), hits);
  const double searchSeconds = NowSeconds() - t0;

  unsigned long long bytes = 0;
  for (const _FILE_NODE_& hit : hits) bytes += hit.FileSize;
  CCrashGuard guard("recvSignal");
  t0 = NowSeconds();
  const RecoveryTotals totals =
      RecoverNodes(engine, hits, work + "/recovered", guard, nullptr, nullptr, nullptr, nullptr, nullptr);
  const double recoverSeconds = NowSeconds() - t0;

  std::printf("fastfat: listing of the root and every folder: %zu nodes in %.3f s\n", listed, listSeconds);
  std::printf("fastfat: search of all categories: %zu hits in %.3f s\n", hits.size(), searchSeconds);
  std::printf("fastfat: recovery: %u files, %u failed, %.1f MB in %.3f s = %.1f MB/s\n", totals.saved, totals.failed,
              bytes / 1e6, recoverSeconds, bytes / 1e6 / recoverSeconds);
  Shell("rm -rf '" + work + "'");
  std::printf("fastfat: scan %.3f s, %zu deleted files found\n", scanSeconds, hits.size());
  return 0;
}

}  // namespace vorlenta::bench
