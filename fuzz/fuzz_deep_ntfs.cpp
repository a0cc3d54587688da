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

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vorlenta;
  constexpr size_t kRecord = 1024;
  return fuzz::RunEngineOnImage<CProfessionalNtfsRecovery>(
      "deep-ntfs", data, size, u'F', [&](CProfessionalNtfsRecovery& engine, const std::string& image) {
        (void)test::DriveDeepNtfs(engine, image);
        if (size >= kRecord) {
          for (uint64_t sector : {uint64_t{0}, uint64_t{1}, UINT64_MAX / 2, UINT64_MAX - 1, UINT64_MAX}) {
            (void)engine.ParseNtfsFileRecord(data, kRecord, sector);
          }
          (void)engine.ParseProfessionalRecordVec();
        }
        CategorySelection all;
        ParseCategoryList("all", all);
        std::vector<__SEARCH_FILE_INFO__> hits;
        engine.SearchFileNode(BuildSearchKey(all).c_str(), hits);
        for (const _FILE_NODE_& hit : hits) {
          std::vector<__RUNLIST__> runs;
          (void)engine.GetRunListInfo(hit.RecordSector, 0x80, runs);
        }
        return true;
      });
}
