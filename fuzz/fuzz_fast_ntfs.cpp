// The fast NTFS scan over a fuzzed volume image, and everything done with its results:
// listing, search, paths, saves and previews.
#include <cstddef>
#include <cstdint>

#include "ntfs/fast_ntfs_recovery.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return vorlenta::fuzz::RunEngineOnImage<vorlenta::CFastNtfsRecovery>("fast-ntfs", data, size, u'F',
                                                                        vorlenta::fuzz::NothingToPrepare);
}
