// The fast FAT scan over a small fuzzed volume image, and everything done with its results:
// listing, search, paths, saves and previews.
#include <cstddef>
#include <cstdint>

#include "fat/fast_fat_recovery.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return vorlenta::fuzz::RunEngineOnImage<vorlenta::CFastFatRecovery>("fast-fat", data, size, u'C',
                                                                       vorlenta::fuzz::NothingToPrepare);
}
