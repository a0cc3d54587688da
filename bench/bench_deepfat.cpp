// Deep FAT pass over a 256 MiB card whose boot record and FATs are wiped: every sector goes
// through the pass as the coordinator will drive it; sectors per second and peak memory.
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench.h"
#include "engine/log_file_manager.h"
#include "engine/recovery_driver.h"
#include "fat/fat_geometry.h"
#include "fat/professional_fat_recovery.h"
#include "tests/support/deep_fat_driver.h"
#include "util/text.h"

namespace vorlenta::bench {
namespace {

int Shell(const std::string& command) { return std::system(command.c_str()); }

// A FAT32 card of 7,680 files in 64 folders, 768 of them deleted.
constexpr FatCardSpec kCard = {"deepfat", 256, "-F 32 -s 4", 64, 120, 12, "::/Camera roll %03d",
                               "Holiday notes %03d-%03d.txt", 4096, 20480, 4242};

long PeakKilobytes() {
  struct rusage usage {};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// The card with its boot records and FATs zeroed, so that the geometry has to come from the
// directory heads.
bool MakeWipedCard(const std::string& work, const std::string& image) {
  if (!MakeFatCard(kCard, work, image)) return false;
  FILE* f = std::fopen(image.c_str(), "r+b");
  if (f == nullptr) return false;
  std::vector<uint8_t> boot(512);
  FatGeometry g;
  if (std::fread(boot.data(), 1, boot.size(), f) != boot.size() || ParseFatGeometry(boot.data(), boot.size(), g) != 0) {
    std::fclose(f);
    return false;
  }
  const std::vector<uint8_t> zero(static_cast<size_t>(g.firstDataSector) * 512, 0);
  std::fseek(f, 0, SEEK_SET);
  const bool wiped = std::fwrite(zero.data(), 1, zero.size(), f) == zero.size();
  std::fclose(f);
  return wiped;
}

}  // namespace

int RunDeepFatBench(const Args& args) {
  char pattern[] = "/tmp/vorlenta-bench-deepfat-XXXXXX";
  const char* made = mkdtemp(pattern);
  if (made == nullptr) return 1;
  const std::string work = made;
  setenv("VORLENTA_SUPPORT_DIR", (work + "/support").c_str(), 1);
  const std::string image = args.empty() ? work + "/card.img" : args[0];
  if (args.empty() && !MakeWipedCard(work, image)) {
    std::fprintf(stderr, "deepfat: cannot make the card image (mkfs.fat and mtools needed)\n");
    return 1;
  }
  CLogFileManager::GetInstance().Init();
  CLogFileManager::GetInstance().AddDirIndex();

  const long before = PeakKilobytes();
  CProfessionalFatRecovery engine;
  if (engine.Init(Utf8ToUtf16(image.c_str()).c_str(), u'C') != 0 || engine.ClearProfessionalVec(nullptr) != 0 ||
      engine.InitVirtualDbrInfo() != 0) {
    std::fprintf(stderr, "deepfat: cannot open %s\n", image.c_str());
    return 1;
  }
  test::DeepFatPassFigures figures;
  const double t0 = NowSeconds();
  const int status = test::RunDeepFatPass(engine, image, &figures);
  const double seconds = NowSeconds() - t0;
  if (status != 0) {
    std::fprintf(stderr, "deepfat: the pass failed with status %d\n", status);
    return 1;
  }
  CategorySelection all;
  ParseCategoryList("all", all);
  std::vector<__SEARCH_FILE_INFO__> hits;
  engine.SearchFileNode(BuildSearchKey(all).c_str(), hits);
  std::vector<_FILE_NODE_> root;
  engine.GetChildrenFileNode(nullptr, 0, root);

  std::printf("deepfat: %llu heads, %llu other directory sectors, %zu geometries, %llu sectors waited\n",
              static_cast<unsigned long long>(figures.heads), static_cast<unsigned long long>(figures.directorySectors),
              engine.GeometryCount(), static_cast<unsigned long long>(engine.WaitingSectorCount()));
  std::printf("deepfat: %zu files found, %zu folders under the root\n", hits.size(), root.size());
  std::printf("deepfat: peak memory %.1f MiB (%.1f MiB before the pass)\n", PeakKilobytes() / 1024.0, before / 1024.0);
  Shell("rm -rf '" + work + "'");
  std::printf("deepfat: %llu sectors in %.3f s = %.0f sectors/s\n", static_cast<unsigned long long>(figures.sectors),
              seconds, figures.sectors / seconds);
  return 0;
}

}  // namespace vorlenta::bench
