// Runs the deep NTFS engine over a small fuzzed image as the deep pass does: every sector that
// starts a FILE record is parsed, the directories are built, then the tree is listed,
// searched, previewed and saved from, and the run lists of the hits looked up. The first
// record of the input is also handed in at every sector number a record can claim, so the
// volume and parent arithmetic meets extreme positions.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_support.h"
#include "ntfs/professional_ntfs_recovery.h"
#include "tests/support/deep_ntfs_driver.h"
#include "util/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vorlenta;
  constexpr uint64_t kMaxSavedBytes = 1 << 20;
  constexpr size_t kRecord = 1024;
  static const fuzz::FuzzWorkspace work("deep-ntfs");
  work.WriteImage(data, size);
  {
    CProfessionalNtfsRecovery engine;
    if (engine.Init(Utf8ToUtf16(work.Image().c_str()).c_str(), u'F') == 0) {
      (void)test::DriveDeepNtfs(engine, work.Image());
      if (size >= kRecord) {
        for (uint64_t sector : {uint64_t{0}, uint64_t{1}, UINT64_MAX / 2, UINT64_MAX - 1, UINT64_MAX}) {
          (void)engine.ParseNtfsFileRecord(data, kRecord, sector);
        }
        (void)engine.ParseProfessionalRecordVec();
      }
      std::vector<__SEARCH_FILE_INFO__> hits;
      CategorySelection all;
      ParseCategoryList("all", all);
      engine.SearchFileNode(BuildSearchKey(all).c_str(), hits);
      for (const _FILE_NODE_& hit : hits) {
        std::vector<__RUNLIST__> runs;
        (void)engine.GetRunListInfo(hit.RecordSector, 0x80, runs);
      }
      fuzz::ExerciseEngine(engine, work, kMaxSavedBytes);
    }
  }
  work.Clear();
  return 0;
}
