// The fast exFAT scan over a small fuzzed volume image, and everything done with its results:
// unused runs, listing, search, paths, saves and previews.
#include <cstddef>
#include <cstdint>

#include "exfat/fast_exfat_recovery.h"
#include "fuzz/fuzz_support.h"
#include "util/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vorlenta;
  constexpr uint64_t kMaxSavedBytes = 1 << 20;
  static const fuzz::FuzzWorkspace work("fast-exfat");
  work.WriteImage(data, size);
  {
    CFastExfatRecovery engine;
    if (engine.Init(Utf8ToUtf16(work.Image().c_str()).c_str(), u'C') == 0)
      fuzz::ExerciseEngine(engine, work, kMaxSavedBytes);
  }
  work.Clear();
  return 0;
}
