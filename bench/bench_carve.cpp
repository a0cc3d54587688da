// Throughput of carving as the deep pass runs it: every sector of an image offered to the
// carving engine in 64 KiB reads, carved files jumped over by the skip rule. With --make the
// benchmark first builds its image: real files made by ffmpeg, ImageMagick, sox, zip, 7z,
// gzip, sqlite3 and groff, laid on sector boundaries, each after a stretch of random data of
// about its own size, so that half the image is files and half is noise.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "bench/bench.h"
#include "bench/sample_image.h"
#include "carving/carve_pass.h"
#include "carving/file_type_recovery.h"
#include "engine/categories.h"
#include "engine/log_file_manager.h"
#include "util/debug_log.h"
#include "util/os_helpers.h"
#include "util/platform.h"
#include "util/text.h"

namespace vorlenta::bench {
namespace {

constexpr int kSector = 512;
constexpr double kMegabyte = 1e6;

}  // namespace

int RunCarveBench(const Args& args) {
  std::string image;
  if (args.size() == 3 && args[0] == "--make") {
    image = args[1];
    const uint64_t megabytes = std::strtoull(args[2].c_str(), nullptr, 10);
    if (megabytes == 0) {
      std::fprintf(stderr, "usage: vorlenta-bench carve [--make IMAGE SIZE_MB | IMAGE]\n");
      return 2;
    }
    const int made = MakeSampleImage(image, megabytes, 0, "carve");
    if (made != 0) return made;
  } else if (args.size() == 1) {
    image = args[0];
  } else {
    std::fprintf(stderr, "usage: vorlenta-bench carve [--make IMAGE SIZE_MB | IMAGE]\n");
    return 2;
  }

  const std::string support = MakeScratchFolder("carve");
  if (support.empty()) {
    std::perror("carve: mkdtemp");
    return 1;
  }
  ::setenv("VORLENTA_SUPPORT_DIR", support.c_str(), 1);
  SetDebugLogPath(support + "/Log.txt");
  CLogFileManager& logs = CLogFileManager::GetInstance();
  logs.Init();
  logs.AddDirIndex();

  CFileTypeRecovery engine;
  const int opened = engine.Init(Utf8ToUtf16(image.c_str()).c_str(), u'B');
  CDiskReader reader;
  const int readerOpened = reader.InitPath(image, 0);
  struct stat st;
  if (opened != 0 || readerOpened != 0 || ::stat(image.c_str(), &st) != 0) {
    std::fprintf(stderr, "carve: cannot open %s\n", image.c_str());
    return 3;
  }
  const uint64_t sectors = static_cast<uint64_t>(st.st_size) / kSector;
  reader.InitPath(image, sectors);
  WarmPageCache(image);

  const double start = NowSeconds();
  const CarvePassResult pass = RunCarvingPass(engine, reader, 0, sectors, kSector);
  const double seconds = NowSeconds() - start;

  std::vector<_FILE_NODE_> nodes;
  engine.GetChildrenFileNode(nullptr, 0, nodes);
  std::map<std::string, std::pair<uint64_t, uint64_t>> byExtension;  // count, bytes
  for (const _FILE_NODE_& node : nodes) {
    std::string ext;
    GetLowerExtension(node.FileName, ext);
    auto& entry = byExtension[ext];
    ++entry.first;
    entry.second += node.FileSize;
  }
  for (const auto& [ext, entry] : byExtension) {
    std::printf("carve: %-5s %6llu files, %10.1f MB\n", ext.c_str(), static_cast<unsigned long long>(entry.first),
                static_cast<double>(entry.second) / kMegabyte);
  }
  const double bytes = static_cast<double>(sectors) * kSector;
  std::printf("carve: image %.0f MB, %llu sectors offered to the carver, %llu read by the pass, %.3f s\n",
              bytes / kMegabyte, static_cast<unsigned long long>(pass.sectorsOffered),
              static_cast<unsigned long long>(pass.sectorsRead), seconds);
  if (std::system(("rm -rf '" + support + "'").c_str()) != 0)
    std::fprintf(stderr, "carve: %s left behind\n", support.c_str());
  std::printf("carve: %llu files, %.0f MB/s\n", static_cast<unsigned long long>(pass.files),
              seconds > 0 ? bytes / kMegabyte / seconds : 0.0);
  return pass.status == 0 ? 0 : 1;
}

}  // namespace vorlenta::bench
