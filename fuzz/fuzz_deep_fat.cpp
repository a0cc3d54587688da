// The deep FAT harvesting over a small fuzzed image, every sector offered as the deep pass
// offers it, then the final pass and everything done with its results.
#include <cstddef>
#include <cstdint>

#include "fat/professional_fat_recovery.h"
#include "tests/support/deep_fat_driver.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vorlenta;
  return fuzz::RunEngineOnImage<CProfessionalFatRecovery>(
      "deep-fat", data, size, u'C', [](CProfessionalFatRecovery& engine, const std::string& image) {
        if (engine.ClearProfessionalVec(nullptr) != 0) return false;
        engine.InitVirtualDbrInfo();
        test::RunDeepFatPass(engine, image);
        return true;
      });
}
