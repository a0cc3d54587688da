// The FILE record test on the master file table of a volume made by mkntfs, and on those
// records edited one field at a time.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "format/ntfs_record.h"
#include "support/test_support.h"
#include "util/endian.h"

namespace vorlenta {
namespace {

using test::ReadFileBytes;
using test::RunCommand;
using test::ShellQuote;
using test::TempDir;

// Boot sector fields used to find the master file table.
constexpr size_t kBootBytesPerSectorOffset = 0x0B;
constexpr size_t kBootSectorsPerClusterOffset = 0x0D;
constexpr size_t kBootMftClusterOffset = 0x30;
constexpr size_t kUpdateSequenceArrayOffset = 50;

struct NtfsVolume {
  std::vector<uint8_t> bytes;
  size_t mftOffset = 0;
  std::vector<std::vector<uint8_t>> records;  // the leading FILE records of the $MFT, as stored
};

// A 16 MiB volume made by mkntfs with one file copied in by ntfscp, and its MFT records.
NtfsVolume MakeNtfsVolume(const TempDir& dir) {
  NtfsVolume volume;
  const std::string image = dir / "ntfs.img";
  const std::string command = "cd " + ShellQuote(dir.path()) + " && truncate -s 16M ntfs.img && " +
                              "mkntfs -F -f -q ntfs.img && printf 'recovered text' > note.txt && " +
                              "ntfscp -f ntfs.img note.txt 'Holiday notes.txt'";
  EXPECT_EQ(RunCommand("(" + command + ") >/dev/null 2>&1"), 0) << command;
  volume.bytes = ReadFileBytes(image);
  if (volume.bytes.size() < 512) return volume;
  const size_t bytesPerSector = ReadU16LE(volume.bytes.data(), volume.bytes.size(), kBootBytesPerSectorOffset);
  const size_t sectorsPerCluster = ReadU8(volume.bytes.data(), volume.bytes.size(), kBootSectorsPerClusterOffset);
  const uint64_t mftCluster = ReadU64LE(volume.bytes.data(), volume.bytes.size(), kBootMftClusterOffset);
  volume.mftOffset = static_cast<size_t>(mftCluster * bytesPerSector * sectorsPerCluster);
  for (size_t off = volume.mftOffset; off + kNtfsFileRecordSize <= volume.bytes.size(); off += kNtfsFileRecordSize) {
    if (std::memcmp(&volume.bytes[off], "FILE", 4) != 0) break;
    volume.records.emplace_back(volume.bytes.begin() + static_cast<long>(off),
                                volume.bytes.begin() + static_cast<long>(off + kNtfsFileRecordSize));
  }
  return volume;
}

bool HoldsWideName(const std::vector<uint8_t>& record, const std::u16string& name) {
  std::vector<uint8_t> wide;
  for (char16_t c : name) {
    wide.push_back(static_cast<uint8_t>(c));
    wide.push_back(static_cast<uint8_t>(c >> 8));
  }
  return std::search(record.begin(), record.end(), wide.begin(), wide.end()) != record.end();
}

TEST(NtfsFileRecord, RecordsOfARealMasterFileTable) {
  VORLENTA_REQUIRE_TOOL("mkntfs");
  VORLENTA_REQUIRE_TOOL("ntfscp");
  TempDir dir;
  const NtfsVolume volume = MakeNtfsVolume(dir);
  // The system files take records 0-15; the copied file comes after them.
  ASSERT_GT(volume.records.size(), 16u);
  bool sawCopiedFile = false;
  for (size_t i = 0; i < volume.records.size(); ++i) {
    const std::vector<uint8_t>& record = volume.records[i];
    SCOPED_TRACE("record " + std::to_string(i));
    EXPECT_TRUE(IsNtfsFileRecord(record.data(), record.size(), kNtfsFileRecordSize));
    // The deep pass may hold only the record's first sector.
    EXPECT_TRUE(IsNtfsFileRecord(record.data(), 512, kNtfsFileRecordSize));
    // Records are 1024 bytes here, never 4096, and the first sector alone is not enough.
    EXPECT_FALSE(IsNtfsFileRecord(record.data(), record.size(), 4096));
    EXPECT_FALSE(IsNtfsFileRecord(record.data(), 511, kNtfsFileRecordSize));
    sawCopiedFile = sawCopiedFile || HoldsWideName(record, u"Holiday notes.txt");
  }
  EXPECT_TRUE(sawCopiedFile);
  EXPECT_TRUE(HoldsWideName(volume.records[0], u"$MFT"));

  // Nothing else of the volume is a FILE record: the boot sector, the index buffers, the data.
  size_t found = 0;
  for (size_t off = 0; off + 512 <= volume.bytes.size(); off += 512) {
    if (IsNtfsFileRecord(&volume.bytes[off], volume.bytes.size() - off, kNtfsFileRecordSize)) {
      ++found;
      EXPECT_EQ(std::memcmp(&volume.bytes[off], "FILE", 4), 0);
      EXPECT_EQ(off % kNtfsFileRecordSize, 0u);
    }
  }
  // The $MFT records plus the first four again in $MFTMirr.
  EXPECT_GE(found, volume.records.size() + 4);
}

TEST(NtfsFileRecord, EditedRecordsAreRejected) {
  VORLENTA_REQUIRE_TOOL("mkntfs");
  TempDir dir;
  const NtfsVolume volume = MakeNtfsVolume(dir);
  ASSERT_GT(volume.records.size(), 5u);
  const std::vector<uint8_t>& original = volume.records[5];  // the root directory
  ASSERT_TRUE(IsNtfsFileRecord(original.data(), original.size(), kNtfsFileRecordSize));
  const uint32_t inUse = ReadU32LE(original.data(), original.size(), kNtfsBytesInUseOffset);

  struct Edit {
    const char* what;
    size_t offset;
    uint32_t value;
    int width;
    bool expected;
  };
  const Edit edits[] = {
      {"magic BAAD", kNtfsMagicOffset, 0x44414142, 4, false},
      {"bytes in use equal to the record size", kNtfsBytesInUseOffset, 1024, 4, true},
      {"bytes in use above the record size", kNtfsBytesInUseOffset, 1025, 4, false},
      {"bytes in use well inside", kNtfsBytesInUseOffset, inUse / 2, 4, true},
      {"bytes allocated 4096", kNtfsBytesAllocatedOffset, 4096, 4, false},
      {"bytes allocated 512", kNtfsBytesAllocatedOffset, 512, 4, false},
      {"update sequence number changed", kNtfsUpdateSequenceOffset, 0xBEEF, 2, false},
  };
  for (const Edit& edit : edits) {
    std::vector<uint8_t> record = original;
    if (edit.width == 4) {
      WriteU32LE(record.data(), edit.offset, edit.value);
    } else {
      WriteU16LE(record.data(), edit.offset, static_cast<uint16_t>(edit.value));
    }
    EXPECT_EQ(IsNtfsFileRecord(record.data(), record.size(), kNtfsFileRecordSize), edit.expected) << edit.what;
  }

  // Fixed up (the saved bytes put back at the sector end), the record no longer carries the
  // update sequence number there.
  std::vector<uint8_t> fixed = original;
  fixed[510] = fixed[kUpdateSequenceArrayOffset];
  fixed[511] = fixed[kUpdateSequenceArrayOffset + 1];
  ASSERT_NE(ReadU16LE(fixed.data(), fixed.size(), 510), ReadU16LE(fixed.data(), fixed.size(), 48));
  EXPECT_FALSE(IsNtfsFileRecord(fixed.data(), fixed.size(), kNtfsFileRecordSize));
  // The second sector's end is not looked at.
  std::vector<uint8_t> secondFixed = original;
  secondFixed[1022] ^= 0xFF;
  EXPECT_TRUE(IsNtfsFileRecord(secondFixed.data(), secondFixed.size(), kNtfsFileRecordSize));

  EXPECT_FALSE(IsNtfsFileRecord(nullptr, 1024, kNtfsFileRecordSize));
  EXPECT_FALSE(IsNtfsFileRecord(original.data(), original.size(), 0));
  const std::vector<uint8_t> zeros(1024, 0);
  EXPECT_FALSE(IsNtfsFileRecord(zeros.data(), zeros.size(), kNtfsFileRecordSize));
}

}  // namespace
}  // namespace vorlenta
