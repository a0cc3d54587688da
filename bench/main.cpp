#include <chrono>
#include <cstdio>
#include <cstring>

#include "bench/bench.h"

namespace vorlenta::bench {

int RunTextBench(const Args& args);
int RunStoreBench(const Args& args);
int RunClassifyBench(const Args& args);
int RunFastNtfsBench(const Args& args);
int RunDeepNtfsBench(const Args& args);
int RunFastFatBench(const Args& args);
int RunExfatBench(const Args& args);
int RunCarveBench(const Args& args);
int RunDeepBench(const Args& args);
int RunDeepFatBench(const Args& args);
#ifdef VORLENTA_BENCH_WINDOW
int RunWindowBench(const Args& args);
#endif

const std::vector<Subcommand>& Subcommands() {
  static const std::vector<Subcommand> table = {
      {"text", "text                 code-page conversion of node names", &RunTextBench},
      {"classify", "classify [IMAGE]     per-sector record tests and signature walk", &RunClassifyBench},
      {"carve", "carve IMAGE | --make IMAGE SIZE_MB  carving pass over an image (64 KiB reads, skip rule)", &RunCarveBench},
      {"fastfat", "fastfat [IMAGE]      fast FAT scan, listing, search and recovery of a large card", &RunFastFatBench},
      {"exfat", "exfat [IMAGE]        fast exFAT scan and deep scan of a card of 20,000 files", &RunExfatBench},
      {"deepfat", "deepfat [IMAGE]      deep FAT pass over every sector of a 256 MiB card with its boot wiped", &RunDeepFatBench},
      {"store", "store [NODES]        scan result store: write, flush, reload, list, search", &RunStoreBench},
      {"fastntfs", "fastntfs [IMAGE]     fast NTFS scan of a master file table of 50,000+ records", &RunFastNtfsBench},
      {"deepntfs", "deepntfs [IMAGE]     deep NTFS pass over every sector of a volume of 50,000+ old records", &RunDeepNtfsBench},
      {"deep", "deep IMAGE | --make IMAGE SIZE_MB   the whole deep scan, without and with read-ahead", &RunDeepBench},
#ifdef VORLENTA_BENCH_WINDOW
      {"window", "window               the result page with 100,000 files; one extension's table of 50,000", &RunWindowBench},
#endif
  };
  return table;
}

double NowSeconds() {
  using Clock = std::chrono::steady_clock;
  return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

}  // namespace vorlenta::bench

int main(int argc, char** argv) {
  using vorlenta::bench::Subcommands;
  if (argc < 2 || std::strcmp(argv[1], "--help") == 0) {
    std::fputs("usage: vorlenta-bench SUBCOMMAND [ARGS]\n", argc < 2 ? stderr : stdout);
    for (const auto& sub : Subcommands()) std::printf("  %s\n", sub.usage);
    return argc < 2 ? 2 : 0;
  }
  for (const auto& sub : Subcommands()) {
    if (std::strcmp(argv[1], sub.name) == 0) return sub.run(vorlenta::bench::Args(argv + 2, argv + argc));
  }
  std::fprintf(stderr, "vorlenta-bench: unknown subcommand %s\n", argv[1]);
  return 2;
}
