// The deep NTFS pass over every sector of a volume whose table holds 60,000 records but whose
// boot sector is gone, as after a format: every FILE record is handed to the engine in sector
// order, parents are resolved, and the directories built. Without an IMAGE the volume is the
// one the fastntfs bench makes, with its boot sector zeroed.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/bench.h"
#include "engine/log_file_manager.h"
#include "ntfs/professional_ntfs_recovery.h"
#include "tests/support/deep_ntfs_driver.h"
#include "util/text.h"

namespace vorlenta::bench {

int RunDeepNtfsBench(const Args& args) {
  const char* tmp = std::getenv("TMPDIR");
  std::string work = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/vorlenta-bench-deepntfs-XXXXXX";
  if (::mkdtemp(&work[0]) == nullptr) {
    std::perror("deepntfs: mkdtemp");
    return 1;
  }
  ::setenv("VORLENTA_SUPPORT_DIR", (work + "/support").c_str(), 1);
  CLogFileManager::GetInstance().Init();
  CLogFileManager::GetInstance().AddDirIndex();
  const std::string image = args.empty() ? work + "/volume.img" : args[0];
  if (args.empty()) {
    const long deleted = MakeNtfsBenchVolume(image);
    const std::vector<uint8_t> zeros(kSectorSize, 0);
    const int fd = deleted < 0 ? -1 : ::open(image.c_str(), O_WRONLY | O_CLOEXEC);
    const bool ok = fd >= 0 && ::pwrite(fd, zeros.data(), zeros.size(), 0) == static_cast<ssize_t>(zeros.size());
    if (fd >= 0) ::close(fd);
    if (!ok) {
      std::fprintf(stderr, "deepntfs: cannot write %s\n", image.c_str());
      std::filesystem::remove_all(work);
      return 1;
    }
    std::printf("volume made: 60000 records, %ld deleted files, boot sector zeroed\n", deleted);
  }
  CProfessionalNtfsRecovery engine;
  int status = engine.Init(Utf8ToUtf16(image.c_str()).c_str(), u'D');
  const double start = NowSeconds();
  test::DeepNtfsPass pass;
  if (status == 0) {
    pass = test::DriveDeepNtfs(engine, image);
    status = pass.status;
  }
  const double seconds = NowSeconds() - start;
  if (status != 0) {
    std::fprintf(stderr, "deepntfs: pass over %s failed with status %d\n", image.c_str(), status);
    std::filesystem::remove_all(work);
    return 1;
  }
  std::printf("FILE records handed to the engine: %llu\n", static_cast<unsigned long long>(pass.records));
  std::printf("nodes made: %u (directories met: %zu, volumes: %zu)\n", engine.GetLostFileCount(),
              engine.PendingDirectoryCount(), engine.VolumeCount());
  std::printf("pass time (sector walk, parsing, parents, directories): %.3f s\n", seconds);
  std::printf("records per second: %.0f\n", seconds > 0 ? static_cast<double>(pass.records) / seconds : 0.0);
  std::filesystem::remove_all(work);
  return 0;
}

}  // namespace vorlenta::bench
