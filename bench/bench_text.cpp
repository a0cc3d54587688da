// Throughput of the 8-bit <-> wide conversions that every listing and search goes through.
#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench.h"
#include "util/text.h"

namespace vorlenta::bench {

int RunTextBench(const Args& args) {
  const int rounds = args.empty() ? 200000 : std::stoi(args[0]);
  // A mix of ASCII and GB2312 names, as a Chinese camera card holds them.
  const std::vector<std::u16string> names = {u"IMG_20240101_120000.JPG", u"\u4E2D\u6587\u6587\u4EF6\u540D.docx",
                                             u"Holiday photos \u00E9t\u00E9 2023.png", u"\u97F3\u4E50/track01.mp3"};
  size_t bytes = 0;
  const double start = NowSeconds();
  for (int i = 0; i < rounds; ++i) {
    const std::u16string& name = names[static_cast<size_t>(i) % names.size()];
    const std::string ansi = Unicode2Ansi(name.c_str());
    const std::u16string back = Ansi2Unicode(ansi.c_str());
    bytes += ansi.size() + back.size() * 2;
  }
  const double seconds = NowSeconds() - start;
  std::printf("text: %d round trips in %.3f s\n", rounds, seconds);
  std::printf("text: %.0f conversions/s (%.1f MB/s)\n", 2.0 * rounds / seconds, bytes / seconds / 1e6);
  return 0;
}

}  // namespace vorlenta::bench
