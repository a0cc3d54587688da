// The fast FAT scan over a small fuzzed volume image, and everything done with its results:
// listing, search, paths, saves and previews.
#include <cstddef>
#include <cstdint>

#include "fat/fast_fat_recovery.h"
#include "fuzz/fuzz_support.h"
#include "util/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vorlenta;
  // Saves stop at the volume's end anyway; the bound keeps a run quick.
  constexpr uint64_t kMaxSavedBytes = 1 << 20;
  static const fuzz::FuzzWorkspace work("fast-fat");
  work.WriteImage(data, size);
  {
    CFastFatRecovery engine;
    if (engine.Init(Utf8ToUtf16(work.Image().c_str()).c_str(), u'C') == 0) fuzz::ExerciseEngine(engine, work, kMaxSavedBytes);
  }
  work.Clear();
  return 0;
}
