// Runs the fast NTFS scan over a fuzzed volume image: the input is written to a temporary file
// and opened by path, then scanned, listed, searched, previewed and saved from. Small saves
// only, so that a fuzzed size cannot fill the disk; everything written is removed again.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_support.h"
#include "ntfs/fast_ntfs_recovery.h"
#include "util/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vorlenta;
  // Small saves only, so that a fuzzed size cannot fill the disk.
  constexpr uint64_t kMaxSavedBytes = 1 << 20;
  static const fuzz::FuzzWorkspace work("fast-ntfs");
  work.WriteImage(data, size);
  {
    CFastNtfsRecovery engine;
    if (engine.Init(Utf8ToUtf16(work.Image().c_str()).c_str(), u'F') == 0) fuzz::ExerciseEngine(engine, work, kMaxSavedBytes);
  }
  work.Clear();
  return 0;
}
