// The fast exFAT scan over a small fuzzed volume image, and everything done with its results:
// unused runs, listing, search, paths, saves and previews.
#include <cstddef>
#include <cstdint>

#include "exfat/fast_exfat_recovery.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return vorlenta::fuzz::RunEngineOnImage<vorlenta::CFastExfatRecovery>("fast-exfat", data, size, u'C',
                                                                         vorlenta::fuzz::NothingToPrepare);
}
