// File-system probes on boot sectors made by the real formatting tools, and the same sectors
// changed one field at a time.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "device/boot_probe.h"
#include "support/test_support.h"
#include "util/endian.h"

namespace vorlenta {
namespace {

using Bytes = std::vector<uint8_t>;

// The first 16 KiB of a fresh volume made by `command` (which gets the image path appended).
Bytes FormatAndRead(const std::string& command, size_t megabytes) {
  test::TempDir dir;
  const std::string image = test::ShellQuote(dir / "vol.img");
  EXPECT_EQ(test::RunCommand("truncate -s " + std::to_string(megabytes) + "M " + image + " && " + command + " " +
                             image + " >/dev/null 2>&1"),
            0)
      << command;
  Bytes bytes = test::ReadFileBytes(dir / "vol.img", 16384);
  bytes.resize(16384);
  return bytes;
}

enum Kind { kFat12, kFat16, kFat32, kNtfs, kExt4, kExt2Small };

const Bytes& Volume(Kind kind) {
  static const std::vector<Bytes> volumes = {
      FormatAndRead("mkfs.fat -F 12", 2),           FormatAndRead("mkfs.fat -F 16", 16),
      FormatAndRead("mkfs.fat -F 32", 64),          FormatAndRead("mkntfs -F -f -q", 16),
      FormatAndRead("mkfs.ext4 -q -F -b 4096", 16), FormatAndRead("mkfs.ext2 -q -F -b 1024", 8)};
  return volumes[kind];
}

class BootProbe : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {"mkfs.fat", "mkntfs", "mkfs.ext4", "mkfs.ext2"}) VORLENTA_REQUIRE_TOOL(tool);
  }
};

TEST_F(BootProbe, RealVolumesAreRecognisedByTheirOwnProbeOnlyAndNeverPastTheBuffer) {
  const struct {
    const char* name;
    Kind kind;
    bool ntfs, fat, ext;
  } cases[] = {
      {"FAT12", kFat12, false, true, false}, {"FAT16", kFat16, false, true, false},
      {"FAT32", kFat32, false, true, false}, {"NTFS", kNtfs, true, false, false},
      {"ext4", kExt4, false, false, true},   {"ext2 1K blocks", kExt2Small, false, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const uint8_t* b = Volume(c.kind).data();
    EXPECT_EQ(IsNtfs(b, 16384), c.ntfs);
    EXPECT_EQ(IsFat(b, 16384), c.fat);
    EXPECT_EQ(IsExt(b, kExtProbeBytes), c.ext);
    EXPECT_FALSE(IsNtfs(b, 511) || IsFat(b, 511) || IsExt(b, kExtProbeBytes - 1));
  }
  EXPECT_FALSE(IsNtfs(nullptr, 512) || IsFat(nullptr, 512) || IsFullValidFAT16DBR(Volume(kFat16).data(), 100));
}

// Each case changes one field (or one coherent set) of a real boot sector.
TEST_F(BootProbe, FieldRules) {
  using Probe = bool (*)(const uint8_t*, size_t);
  auto set = [](size_t offset, uint8_t value) { return [=](Bytes& b) { b[offset] = value; }; };
  auto none = [](Bytes&) {};
  // A FAT16 record whose 16-bit total moved to the 32-bit field.
  auto total32 = [](Bytes& b) {
    WriteU32LE(b.data(), boot::kTotalSectors32, ReadU16LE(b.data(), b.size(), boot::kTotalSectors16));
    WriteU16LE(b.data(), boot::kTotalSectors16, 0);
  };
  auto fveName = [](Bytes& b) { std::memcpy(b.data() + boot::kOemName, "-FVE-FS-", 8); };
  auto fveArea = [](Bytes& b) {
    std::memset(b.data() + 480, 0x78, 8);
    std::memset(b.data() + 488, 0xFF, 19);
    std::memcpy(b.data() + 507, "\x00\x1F\x2C", 3);
  };
  // More than 0xFFFFFEF clusters, though both record tests pass.
  auto huge = [](Bytes& b) {
    b[boot::kSectorsPerCluster] = 1;
    WriteU32LE(b.data(), boot::kTotalSectors32, 0xFFFFFFF0u);
    WriteU16LE(b.data(), boot::kReservedSectors, 1);
    WriteU32LE(b.data(), boot::kSectorsPerFat32, 1);
  };
  constexpr size_t kExtFirstDataBlock = 1024 + 20;
  const struct {
    const char* what;
    Kind kind;
    std::function<void(Bytes&)> change;
    Probe probe;
    bool expected;
  } cases[] = {
      {"NTFS bytes per sector 0", kNtfs, [](Bytes& b) { WriteU16LE(b.data(), boot::kBytesPerSector, 0); }, IsNtfs,
       true},
      {"NTFS bytes per sector 0x300", kNtfs, [](Bytes& b) { WriteU16LE(b.data(), boot::kBytesPerSector, 0x300); },
       IsNtfs, false},
      {"NTFS media 0xF0", kNtfs, set(boot::kMediaDescriptor, 0xF0), IsNtfs, true},
      {"NTFS byte 24", kNtfs, set(24, 0x3F), IsNtfs, true},
      {"NTFS with two FATs", kNtfs, set(boot::kNumberOfFats, 2), IsNtfs, false},
      {"NTFS 128 sectors per cluster", kNtfs, set(boot::kSectorsPerCluster, 128), IsNtfs, false},
      {"NTFS 3 sectors per cluster", kNtfs, set(boot::kSectorsPerCluster, 3), IsNtfs, false},
      {"NTFS byte 35", kNtfs, set(35, 1), IsNtfs, false},
      {"NTFS signature", kNtfs, set(511, 0), IsNtfs, false},
      {"NTFS total 0", kNtfs, [](Bytes& b) { WriteU64LE(b.data(), boot::kNtfsTotalSectors, 0); }, IsNtfs, false},
      {"FAT16 record", kFat16, none, IsFullValidFAT16DBR, true},
      {"FAT16 is no FAT32 record", kFat16, none, IsFullValidFAT32DBR, false},
      {"FAT32 record", kFat32, none, IsFullValidFAT32DBR, true},
      {"FAT32 is no FAT16 record", kFat32, none, IsFullValidFAT16DBR, false},
      {"FAT16 total in the 32-bit field", kFat16, total32, IsFullValidFAT16DBR, true},
      {"FAT16 total in the 32-bit field", kFat16, total32, IsFat, true},
      {"FAT32 128 sectors per cluster", kFat32, set(boot::kSectorsPerCluster, 128), IsFullValidFAT32DBR, false},
      {"FAT32 128 sectors per cluster", kFat32, set(boot::kSectorsPerCluster, 128), IsFat, false},
      {"BitLocker name", kFat32, fveName, IsBitlockerDBR, true},
      {"BitLocker name", kFat32, fveName, IsFat, false},
      {"BitLocker signature area", kFat16, fveArea, IsBitlockerDBR, true},
      {"BitLocker signature area", kFat16, fveArea, IsFat, false},
      {"too many clusters", kFat32, huge, IsFullValidFAT32DBR, true},
      {"too many clusters", kFat32, huge, IsFat, false},
      {"no FATs", kFat16, set(boot::kNumberOfFats, 0), IsFat, false},
      {"ext 1K blocks, first data block 0", kExt2Small, set(kExtFirstDataBlock, 0), IsExt, false},
      {"ext 4K blocks, first data block 1", kExt4, set(kExtFirstDataBlock, 1), IsExt, false},
      {"ext magic", kExt4, set(1024 + 56, 0), IsExt, false},
  };
  for (const auto& c : cases) {
    Bytes b = Volume(c.kind);
    c.change(b);
    EXPECT_EQ(c.probe(b.data(), b.size()), c.expected) << c.what;
  }
}

}  // namespace
}  // namespace vorlenta
