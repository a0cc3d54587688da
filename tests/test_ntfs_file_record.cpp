// The FILE record test on the master file table of a volume made by mkntfs and ntfscp, and on
// those records edited one field at a time.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "format/ntfs_record.h"
#include "support/ntfs_image.h"
#include "support/test_support.h"
#include "util/endian.h"

namespace vorlenta {
namespace {

constexpr size_t kUpdateSequenceArrayOffset = 50;

TEST(NtfsFileRecord, RecordsOfARealMasterFileTableAndEditedOnes) {
  VORLENTA_REQUIRE_TOOL("mkntfs");
  VORLENTA_REQUIRE_TOOL("ntfscp");
  test::TempDir dir;
  const std::string img = dir / "ntfs.img";
  ASSERT_TRUE(test::MakeNtfsVolume(img, 16));
  ASSERT_TRUE(test::NtfsCopy(img, test::TextFile(dir / "note.txt", 14), "Holiday notes.txt"));
  std::vector<std::vector<uint8_t>> records;
  {
    test::NtfsImage volume(img);
    for (uint32_t n = 0;; ++n) {
      std::vector<uint8_t> raw = volume.ReadRawRecord(n);
      if (std::memcmp(raw.data(), "FILE", 4) != 0) break;
      records.push_back(raw);
    }
  }
  // The system files take records 0-15; the copied file comes after them.
  ASSERT_GT(records.size(), 16u);
  for (size_t i = 0; i < records.size(); ++i) {
    const std::vector<uint8_t>& record = records[i];
    SCOPED_TRACE("record " + std::to_string(i));
    EXPECT_TRUE(IsNtfsFileRecord(record.data(), record.size(), kNtfsFileRecordSize));
    // The deep pass may hold only the record's first sector.
    EXPECT_TRUE(IsNtfsFileRecord(record.data(), 512, kNtfsFileRecordSize));
    // Records are 1024 bytes here, never 4096, and less than the first sector is not enough.
    EXPECT_FALSE(IsNtfsFileRecord(record.data(), record.size(), 4096));
    EXPECT_FALSE(IsNtfsFileRecord(record.data(), 511, kNtfsFileRecordSize));
  }
  // Nothing else of the volume is a FILE record: the boot sector, the index buffers, the data.
  const std::vector<uint8_t> bytes = test::ReadFileBytes(img);
  size_t found = 0;
  for (size_t off = 0; off + 512 <= bytes.size(); off += 512) {
    if (IsNtfsFileRecord(&bytes[off], bytes.size() - off, kNtfsFileRecordSize)) {
      ++found;
      EXPECT_EQ(std::memcmp(&bytes[off], "FILE", 4), 0);
    }
  }
  // The $MFT records plus the first four again in $MFTMirr.
  EXPECT_GE(found, records.size() + 4);

  const std::vector<uint8_t>& original = records[5];  // the root directory
  const uint32_t inUse = ReadU32LE(original.data(), original.size(), kNtfsBytesInUseOffset);
  const struct {
    const char* what;
    size_t offset;
    uint32_t value;
    int width;
    bool expected;
  } edits[] = {
      {"magic BAAD", kNtfsMagicOffset, 0x44414142, 4, false},
      {"bytes in use equal to the record size", kNtfsBytesInUseOffset, 1024, 4, true},
      {"bytes in use above the record size", kNtfsBytesInUseOffset, 1025, 4, false},
      {"bytes in use well inside", kNtfsBytesInUseOffset, inUse / 2, 4, true},
      {"bytes allocated 4096", kNtfsBytesAllocatedOffset, 4096, 4, false},
      {"bytes allocated 512", kNtfsBytesAllocatedOffset, 512, 4, false},
      {"update sequence number changed", kNtfsUpdateSequenceOffset, 0xBEEF, 2, false},
      {"first sector fixed up", 510, ReadU16LE(original.data(), original.size(), kUpdateSequenceArrayOffset), 2,
       false},
      {"second sector's end is not looked at", 1022, 0xFFFF, 2, true},
  };
  for (const auto& edit : edits) {
    std::vector<uint8_t> record = original;
    if (edit.width == 4) {
      WriteU32LE(record.data(), edit.offset, edit.value);
    } else {
      WriteU16LE(record.data(), edit.offset, static_cast<uint16_t>(edit.value));
    }
    EXPECT_EQ(IsNtfsFileRecord(record.data(), record.size(), kNtfsFileRecordSize), edit.expected) << edit.what;
  }
  EXPECT_FALSE(IsNtfsFileRecord(nullptr, 1024, kNtfsFileRecordSize));
  EXPECT_FALSE(IsNtfsFileRecord(original.data(), original.size(), 0));
  const std::vector<uint8_t> zeros(1024, 0);
  EXPECT_FALSE(IsNtfsFileRecord(zeros.data(), zeros.size(), kNtfsFileRecordSize));
}

}  // namespace
}  // namespace vorlenta
