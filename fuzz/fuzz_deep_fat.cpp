// The deep FAT harvesting over a small fuzzed image, every sector offered as the deep pass
// offers it, then the final pass and everything done with its results.
#include <cstddef>
#include <cstdint>

#include "fat/professional_fat_recovery.h"
#include "fuzz/fuzz_support.h"
#include "tests/support/deep_fat_driver.h"
#include "util/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vorlenta;
  constexpr uint64_t kMaxSavedBytes = 1 << 20;
  static const fuzz::FuzzWorkspace work("deep-fat");
  work.WriteImage(data, size);
  {
    CProfessionalFatRecovery engine;
    if (engine.Init(Utf8ToUtf16(work.Image().c_str()).c_str(), u'C') == 0 && engine.ClearProfessionalVec(nullptr) == 0) {
      engine.InitVirtualDbrInfo();
      test::RunDeepFatPass(engine, work.Image());
      fuzz::ExerciseEngine(engine, work, kMaxSavedBytes);
    }
  }
  work.Clear();
  return 0;
}
