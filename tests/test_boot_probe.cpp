// File-system probes on boot sectors made by the real formatting tools, and on crafted ones.
#include <gtest/gtest.h>

#include <cstring>

#include "device/boot_probe.h"
#include "support/test_support.h"
#include "util/endian.h"

namespace vorlenta {
namespace {

// The first 16 KiB of a fresh volume made by `command` (which gets the image path appended).
std::vector<uint8_t> FormatAndRead(const std::string& tool, const std::string& command, size_t megabytes) {
  test::TempDir dir;
  const std::string image = dir / "vol.img";
  EXPECT_EQ(test::RunCommand("truncate -s " + std::to_string(megabytes) + "M " + test::ShellQuote(image)), 0);
  EXPECT_EQ(test::RunCommand(command + " " + test::ShellQuote(image) + " >/dev/null 2>&1"), 0) << tool;
  std::vector<uint8_t> bytes = test::ReadFileBytes(image, 16384);
  bytes.resize(16384);
  return bytes;
}

struct Volumes {
  std::vector<uint8_t> fat12, fat16, fat32, ntfs, ext4, ext2small;
};

const Volumes& RealVolumes() {
  static const Volumes volumes = [] {
    Volumes v;
    v.fat12 = FormatAndRead("mkfs.fat", "mkfs.fat -F 12", 2);
    v.fat16 = FormatAndRead("mkfs.fat", "mkfs.fat -F 16", 16);
    v.fat32 = FormatAndRead("mkfs.fat", "mkfs.fat -F 32", 64);
    v.ntfs = FormatAndRead("mkntfs", "mkntfs -F -f -q", 16);
    v.ext4 = FormatAndRead("mkfs.ext4", "mkfs.ext4 -q -F -b 4096", 16);
    v.ext2small = FormatAndRead("mkfs.ext2", "mkfs.ext2 -q -F -b 1024", 8);
    return v;
  }();
  return volumes;
}

TEST(BootProbe, RealVolumesAreRecognisedByTheirOwnProbeOnly) {
  for (const char* tool : {"mkfs.fat", "mkntfs", "mkfs.ext4"}) VORLENTA_REQUIRE_TOOL(tool);
  const Volumes& v = RealVolumes();
  struct Case {
    const char* name;
    const std::vector<uint8_t>* bytes;
    bool ntfs, fat, ext;
  };
  const Case cases[] = {
      {"FAT12", &v.fat12, false, true, false},  {"FAT16", &v.fat16, false, true, false},
      {"FAT32", &v.fat32, false, true, false},  {"NTFS", &v.ntfs, true, false, false},
      {"ext4", &v.ext4, false, false, true},    {"ext2 1K blocks", &v.ext2small, false, false, true},
  };
  for (const Case& c : cases) {
    const uint8_t* b = c.bytes->data();
    const size_t n = c.bytes->size();
    EXPECT_EQ(IsNtfs(b, n), c.ntfs) << c.name;
    EXPECT_EQ(IsFat(b, n), c.fat) << c.name;
    EXPECT_EQ(IsExt(b, n), c.ext) << c.name;
  }
  EXPECT_TRUE(IsFullValidFAT16DBR(v.fat16.data(), v.fat16.size()));
  EXPECT_FALSE(IsFullValidFAT32DBR(v.fat16.data(), v.fat16.size()));
  EXPECT_TRUE(IsFullValidFAT32DBR(v.fat32.data(), v.fat32.size()));
  EXPECT_FALSE(IsFullValidFAT16DBR(v.fat32.data(), v.fat32.size()));
}

TEST(BootProbe, ShortBuffersAreRefused) {
  VORLENTA_REQUIRE_TOOL("mkfs.ext4");
  const Volumes& v = RealVolumes();
  EXPECT_FALSE(IsNtfs(v.ntfs.data(), 511));
  EXPECT_FALSE(IsFat(v.fat32.data(), 511));
  EXPECT_FALSE(IsFullValidFAT16DBR(v.fat16.data(), 100));
  EXPECT_FALSE(IsExt(v.ext4.data(), kExtProbeBytes - 1));
  EXPECT_TRUE(IsExt(v.ext4.data(), kExtProbeBytes));
  EXPECT_FALSE(IsNtfs(nullptr, 512));
  EXPECT_FALSE(IsFat(nullptr, 512));
}

TEST(BootProbe, NtfsFieldRules) {
  VORLENTA_REQUIRE_TOOL("mkntfs");
  std::vector<uint8_t> s = RealVolumes().ntfs;
  s.resize(512);
  auto probe = [](std::vector<uint8_t> b) { return IsNtfs(b.data(), b.size()); };
  auto with = [&s](size_t offset, uint8_t value) {
    std::vector<uint8_t> b = s;
    b[offset] = value;
    return b;
  };
  ASSERT_TRUE(probe(s));
  // Bytes per sector 0 still passes; 0x300 does not (not a multiple of 512).
  std::vector<uint8_t> zeroBps = s;
  WriteU16LE(zeroBps.data(), boot::kBytesPerSector, 0);
  EXPECT_TRUE(probe(zeroBps));
  std::vector<uint8_t> oddBps = s;
  WriteU16LE(oddBps.data(), boot::kBytesPerSector, 0x300);
  EXPECT_FALSE(probe(oddBps));
  EXPECT_TRUE(probe(with(boot::kMediaDescriptor, 0xF0)));
  EXPECT_TRUE(probe(with(24, 0x3F)));
  EXPECT_FALSE(probe(with(boot::kNumberOfFats, 2)));
  EXPECT_FALSE(probe(with(boot::kSectorsPerCluster, 128)));
  EXPECT_FALSE(probe(with(boot::kSectorsPerCluster, 3)));
  EXPECT_FALSE(probe(with(35, 1)));
  EXPECT_FALSE(probe(with(511, 0)));
  std::vector<uint8_t> noTotal = s;
  WriteU64LE(noTotal.data(), boot::kNtfsTotalSectors, 0);
  EXPECT_FALSE(probe(noTotal));
}

TEST(BootProbe, FatFieldRules) {
  VORLENTA_REQUIRE_TOOL("mkfs.fat");
  std::vector<uint8_t> f16 = RealVolumes().fat16;
  std::vector<uint8_t> f32 = RealVolumes().fat32;
  f16.resize(512);
  f32.resize(512);
  auto isFat = [](const std::vector<uint8_t>& b) { return IsFat(b.data(), b.size()); };

  // A FAT16 record whose 16-bit total is 0 and 32-bit total set.
  std::vector<uint8_t> big16 = f16;
  const uint16_t total16 = ReadU16LE(big16.data(), 512, boot::kTotalSectors16);
  ASSERT_NE(total16, 0);
  WriteU16LE(big16.data(), boot::kTotalSectors16, 0);
  WriteU32LE(big16.data(), boot::kTotalSectors32, total16);
  EXPECT_TRUE(IsFullValidFAT16DBR(big16.data(), 512));
  EXPECT_TRUE(isFat(big16));

  // 128 sectors per cluster is outside the allowed set for every probe.
  std::vector<uint8_t> spc128 = f32;
  spc128[boot::kSectorsPerCluster] = 128;
  EXPECT_FALSE(IsFullValidFAT32DBR(spc128.data(), 512));
  EXPECT_FALSE(isFat(spc128));

  // A BitLocker name or signature area is never FAT.
  std::vector<uint8_t> fve = f32;
  std::memcpy(fve.data() + boot::kOemName, "-FVE-FS-", 8);
  EXPECT_TRUE(IsBitlockerDBR(fve.data(), 512));
  EXPECT_FALSE(isFat(fve));
  std::vector<uint8_t> fveArea = f16;
  std::memset(fveArea.data() + 480, 0x78, 8);
  std::memset(fveArea.data() + 488, 0xFF, 19);
  fveArea[507] = 0x00;
  fveArea[508] = 0x1F;
  fveArea[509] = 0x2C;
  EXPECT_TRUE(IsBitlockerDBR(fveArea.data(), 512));
  EXPECT_FALSE(isFat(fveArea));

  // mkfs.fat's 64 MiB FAT32 volume has fewer than 65525 clusters and still passes.
  EXPECT_TRUE(isFat(f32));

  // A cluster count above 0xFFFFFEF fails even though both record tests would pass.
  std::vector<uint8_t> huge = f32;
  huge[boot::kSectorsPerCluster] = 1;
  WriteU32LE(huge.data(), boot::kTotalSectors32, 0xFFFFFFF0u);
  WriteU16LE(huge.data(), boot::kReservedSectors, 1);
  WriteU32LE(huge.data(), boot::kSectorsPerFat32, 1);
  EXPECT_TRUE(IsFullValidFAT32DBR(huge.data(), 512));
  EXPECT_FALSE(isFat(huge));

  std::vector<uint8_t> noFats = f16;
  noFats[boot::kNumberOfFats] = 0;
  EXPECT_FALSE(isFat(noFats));
}

TEST(BootProbe, ExtBlockSizeAndFirstDataBlockMustAgree) {
  VORLENTA_REQUIRE_TOOL("mkfs.ext2");
  const Volumes& v = RealVolumes();
  constexpr size_t kFirstDataBlock = 1024 + 20;
  std::vector<uint8_t> small = v.ext2small;
  ASSERT_EQ(ReadU32LE(small.data(), small.size(), kFirstDataBlock), 1u);
  WriteU32LE(small.data(), kFirstDataBlock, 0);
  EXPECT_FALSE(IsExt(small.data(), small.size()));
  std::vector<uint8_t> large = v.ext4;
  WriteU32LE(large.data(), kFirstDataBlock, 1);
  EXPECT_FALSE(IsExt(large.data(), large.size()));
  std::vector<uint8_t> badMagic = v.ext4;
  badMagic[1024 + 56] = 0;
  EXPECT_FALSE(IsExt(badMagic.data(), badMagic.size()));
}

}  // namespace
}  // namespace vorlenta
