// The whole deep scan of an image, as vorlenta-cli runs it: the image presented as a disk, the
// factory's deep-scan coordinator, its fast phase and its one pass. Run once without and once
// with the read-ahead thread; both must find the same files. With --make the benchmark first
// builds an image that is about a third real files of many formats, a fifth zero runs and the
// rest random data.
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench.h"
#include "bench/sample_image.h"
#include "engine/log_file_manager.h"
#include "engine/recovery_driver.h"
#include "scan/professional_recovery.h"
#include "scan/recovery_factory.h"
#include "util/debug_log.h"
#include "util/image_disks.h"
#include "util/text.h"

namespace vorlenta::bench {
namespace {

constexpr double kMegabyte = 1e6;
constexpr unsigned kZeroPercent = 20;
constexpr int kSector = 512;

struct DeepRun {
  int status = 0;
  unsigned files = 0;
  unsigned long long bytesFound = 0;
  unsigned long long unreadable = 0;
  double seconds = 0;
};

DeepRun RunOnce(int disk, long long sectors, bool readAhead) {
  DeepRun run;
  std::unique_ptr<IFileRecoveryParse> engine =
      CFileRecoveryFactory::GetInstance().CreateFileRecoveryInstance(disk, 0, sectors, u'B', kRecoveryProfessional);
  auto* deep = dynamic_cast<CProfessionalRecovery*>(engine.get());
  if (deep == nullptr) {
    run.status = 3;
    return run;
  }
  deep->SetNotLoadLogFile();
  deep->SetReadAhead(readAhead);
  const double start = NowSeconds();
  run.status = deep->ScanDevice(nullptr);
  run.seconds = NowSeconds() - start;
  CategorySelection all;
  ParseCategoryList("all", all);
  std::vector<__SEARCH_FILE_INFO__> hits;
  deep->SearchFileNode(BuildSearchKey(all).c_str(), hits);
  run.files = static_cast<unsigned>(hits.size());
  for (const __SEARCH_FILE_INFO__& hit : hits) run.bytesFound += hit.FileSize;
  run.unreadable = deep->UnreadableSectors();
  return run;
}

}  // namespace

int RunDeepBench(const Args& args) {
  std::string image;
  if (args.size() == 3 && args[0] == "--make") {
    image = args[1];
    const uint64_t megabytes = std::strtoull(args[2].c_str(), nullptr, 10);
    if (megabytes == 0) {
      std::fprintf(stderr, "usage: vorlenta-bench deep [--make IMAGE SIZE_MB | IMAGE]\n");
      return 2;
    }
    const int made = MakeSampleImage(image, megabytes, kZeroPercent, "deep");
    if (made != 0) return made;
  } else if (args.size() == 1) {
    image = args[0];
  } else {
    std::fprintf(stderr, "usage: vorlenta-bench deep [--make IMAGE SIZE_MB | IMAGE]\n");
    return 2;
  }
  struct stat st;
  if (::stat(image.c_str(), &st) != 0) {
    std::perror(image.c_str());
    return 3;
  }
  const std::string support = MakeScratchFolder("deep");
  if (support.empty()) {
    std::perror("deep: mkdtemp");
    return 1;
  }
  ::setenv("VORLENTA_SUPPORT_DIR", support.c_str(), 1);
  SetDebugLogPath(support + "/Log.txt");
  CLogFileManager::GetInstance().Init();
  CImageDisks images;
  int disk = -1;
  if (PresentSource(image, images, disk) != 0) {
    std::fprintf(stderr, "deep: cannot open %s\n", image.c_str());
    return 3;
  }
  const long long sectors = static_cast<long long>(st.st_size / kSector);
  WarmPageCache(image);

  const DeepRun plain = RunOnce(disk, sectors, false);
  const DeepRun overlapped = RunOnce(disk, sectors, true);
  const double bytes = static_cast<double>(sectors) * kSector;
  auto rate = [&](const DeepRun& r) { return r.seconds > 0 ? bytes / kMegabyte / r.seconds : 0.0; };
  std::printf("deep: image %.0f MB, without read-ahead: %u files (%.1f MB), %.3f s, %.0f MB/s\n", bytes / kMegabyte,
              plain.files, static_cast<double>(plain.bytesFound) / kMegabyte, plain.seconds, rate(plain));
  std::printf("deep: with read-ahead: %u files (%.1f MB), %.3f s, %.0f MB/s\n", overlapped.files,
              static_cast<double>(overlapped.bytesFound) / kMegabyte, overlapped.seconds, rate(overlapped));
  const bool same = plain.files == overlapped.files && plain.bytesFound == overlapped.bytesFound;
  if (!same) std::printf("deep: the two runs found different files\n");
  if (std::system(("rm -rf '" + support + "'").c_str()) != 0) std::fprintf(stderr, "deep: %s left behind\n", support.c_str());
  std::printf("deep: %u files, %.0f MB/s\n", overlapped.files, rate(overlapped));
  return plain.status == 0 && overlapped.status == 0 && same ? 0 : 1;
}

}  // namespace vorlenta::bench
