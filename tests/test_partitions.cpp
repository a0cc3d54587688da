// Partition enumeration over disks made by sfdisk, mkfs.fat and mkntfs, Apple maps
// built from the published layout, and damaged extended chains.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

#include "device/boot_probe.h"
#include "device/partition_manager.h"
#include "support/test_support.h"
#include "util/endian.h"
#include "util/image_disks.h"
#include "util/platform.h"

namespace vorlenta {
namespace {

using test::RunCommand;
using test::ShellQuote;

constexpr uint64_t kMiB = 1024 * 1024;
constexpr uint64_t kSector = 512;
constexpr uint64_t kMbrEntry0 = 446;
constexpr uint64_t kMbrEntrySize = 16;
constexpr size_t kGptEntries = 1024;
constexpr size_t kGptEntrySize = 128;

struct Expected {
  uint64_t start;
  uint64_t end;
  std::string name;
};

void MakeSparse(const std::string& path, uint64_t bytes) {
  ASSERT_EQ(RunCommand("truncate -s " + std::to_string(bytes) + " " + ShellQuote(path)), 0);
}

// Writes a table with sfdisk; `label` is "dos" or "gpt".
void Sfdisk(const std::string& path, uint64_t bytes, const std::string& lines, const char* label = "dos") {
  VORLENTA_REQUIRE_TOOL("sfdisk");
  ASSERT_NO_FATAL_FAILURE(MakeSparse(path, bytes));
  const std::string script = std::string("label: ") + label + "\nunit: sectors\n" + lines;
  ASSERT_EQ(RunCommand("printf %s " + ShellQuote(script) + " | sfdisk -q --no-reread --no-tell-kernel " +
                       ShellQuote(path) + " >/dev/null 2>&1"),
            0)
      << script;
}

void Patch(const std::string& path, uint64_t offset, const std::vector<uint8_t>& bytes) {
  std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
  ASSERT_TRUE(file.is_open()) << path;
  file.seekp(static_cast<std::streamoff>(offset));
  file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(file.good());
}

std::vector<uint8_t> U32LE(uint32_t v) {
  std::vector<uint8_t> b(4);
  WriteU32LE(b.data(), 0, v);
  return b;
}

std::vector<uint8_t> U64LE(uint64_t v) {
  std::vector<uint8_t> b(8);
  WriteU64LE(b.data(), 0, v);
  return b;
}

std::vector<uint8_t> ReadBytesAt(const std::string& path, uint64_t offset, size_t count) {
  std::ifstream file(path, std::ios::binary);
  file.seekg(static_cast<std::streamoff>(offset));
  std::vector<uint8_t> bytes(count);
  file.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(count));
  if (!file) return {};
  return bytes;
}

// Two primaries, an extended partition with two logical ones, and a fourth primary.
const char kMbrWithLogicals[] =
    "start=2048, size=2048, type=83\n"
    "start=4096, size=2048, type=7\n"
    "start=6144, size=10240, type=5\n"
    "start=18432, size=2048, type=c\n"
    "start=8192, size=2048, type=83\n"
    "start=12288, size=1024, type=7\n";
// Where sfdisk puts the extended boot records of that layout: one at the extended start and
// one for the second logical partition, linked relative to the extended start.
constexpr uint64_t kFirstEbr = 6144;
constexpr uint64_t kSecondEbr = 10240;

std::vector<Expected> MbrWithLogicalsItems(int firstNumber) {
  const uint64_t ranges[][2] = {{2048, 4095}, {4096, 6143}, {8192, 10239}, {12288, 13311}, {18432, 20479}};
  std::vector<Expected> expected;
  for (const auto& r : ranges) expected.push_back({r[0], r[1], "Partition " + std::to_string(firstNumber++)});
  return expected;
}

void ExpectItems(const std::vector<_PARTITION_ITEM_>& items, int disk, const std::vector<Expected>& expected) {
  ASSERT_EQ(items.size(), expected.size());
  for (size_t i = 0; i < items.size(); ++i) {
    SCOPED_TRACE("item " + std::to_string(i));
    EXPECT_EQ(items[i].u64StartSector, expected[i].start);
    EXPECT_EQ(items[i].u64EndSector, expected[i].end);
    EXPECT_EQ(PartitionNameUtf8(items[i]), expected[i].name);
    EXPECT_EQ(items[i].nDiskNumber, disk);
    EXPECT_STREQ(items[i].szDiskName, ("disk" + std::to_string(disk)).c_str());
  }
}

class PartitionTest : public ::testing::Test {
 protected:
  std::string Disk(int n) const { return disks_ / ("disk" + std::to_string(n)); }

  PartitionMap Enumerate() {
    test::ScopedEnv env("VORLENTA_DISK_DIR", disks_.path());
    CPartitionManager manager;
    PartitionMap map;
    EXPECT_EQ(manager.GetPartitionItems(map), 1);
    return map;
  }

  std::vector<_PARTITION_ITEM_> EnumerateDisk0() {
    PartitionMap map = Enumerate();
    if (map.empty()) return {};
    EXPECT_EQ(map.size(), 1u);
    EXPECT_EQ(map.begin()->first, 0);
    return map.begin()->second;
  }

  test::TempDir disks_;
};

TEST(PartitionTableRecognisers, SignaturesAndShortBuffers) {
  std::vector<uint8_t> sector(512, 0);
  EXPECT_FALSE(IsMBR(sector.data(), sector.size()));
  sector[510] = 0x55;
  sector[511] = 0xAA;
  EXPECT_TRUE(IsMBR(sector.data(), sector.size()));
  EXPECT_FALSE(IsMBR(sector.data(), 511)) << "the signature does not fit";
  EXPECT_FALSE(IsMBR(nullptr, 512));

  std::memcpy(sector.data(), "ER", 2);
  EXPECT_TRUE(IsAPM(sector.data(), sector.size()));
  EXPECT_FALSE(IsAPM(sector.data(), 1));
  sector[1] = 'X';
  EXPECT_FALSE(IsAPM(sector.data(), sector.size()));

  std::memcpy(sector.data(), "EFI PART", 8);
  EXPECT_TRUE(IsEFI(sector.data(), sector.size()));
  EXPECT_FALSE(IsEFI(sector.data(), 7));
  sector[7] = 'S';
  EXPECT_FALSE(IsEFI(sector.data(), sector.size()));
}

TEST_F(PartitionTest, NumberingRunsAcrossDisksAndEachDiskHasItsOwnExtendedBase) {
  ASSERT_NO_FATAL_FAILURE(Sfdisk(Disk(0), 16 * kMiB, kMbrWithLogicals));
  // Disk 1 has no table at all; disk 2 has its extended partition somewhere else.
  test::WriteFileBytes(Disk(1), std::vector<uint8_t>(64 * 1024, 0));
  ASSERT_NO_FATAL_FAILURE(Sfdisk(Disk(2), 16 * kMiB,
                                 "start=2048, size=4096, type=83\n"
                                 "start=10240, size=16384, type=f\n"
                                 "start=14336, size=1024, type=83\n"
                                 "start=20480, size=2048, type=7\n"));
  // Disk 3 has an MBR signature in front of an empty table, disk 4 random bytes only.
  std::vector<uint8_t> empty(64 * 1024, 0);
  empty[510] = 0x55;
  empty[511] = 0xAA;
  test::WriteFileBytes(Disk(3), empty);
  test::WriteFileBytes(Disk(4), test::RandomBytes(8192, 4));
  ASSERT_NO_FATAL_FAILURE(Sfdisk(Disk(5), 8 * kMiB, "start=2048, size=2048, type=83\n"));

  const PartitionMap map = Enumerate();
  ASSERT_EQ(map.size(), 3u) << "disks without items are absent";
  ASSERT_EQ(map.count(0), 1u);
  ASSERT_EQ(map.count(2), 1u);
  ASSERT_EQ(map.count(5), 1u);
  ExpectItems(map.at(0), 0, MbrWithLogicalsItems(1));
  ExpectItems(map.at(2), 2, {{2048, 6143, "Partition 6"}, {14336, 15359, "Partition 7"}, {20480, 22527, "Partition 8"}});
  ExpectItems(map.at(5), 5, {{2048, 4095, "Partition 9"}});

  // Nothing survives between enumerations: a second one gives the same records byte for byte.
  const PartitionMap again = Enumerate();
  ASSERT_EQ(again.size(), map.size());
  for (const auto& disk : map) {
    const auto& other = again.at(disk.first);
    ASSERT_EQ(other.size(), disk.second.size());
    EXPECT_EQ(std::memcmp(other.data(), disk.second.data(), other.size() * sizeof(_PARTITION_ITEM_)), 0);
  }
}

// Names as stored; the walk ends at the first empty entry and reads no more than the 24 entries
// in the first 4096 bytes.
TEST_F(PartitionTest, GptGivesStoredNamesAndEndsAtTheFirstEmptyEntryOrTheTwentyFourth) {
  const std::string longName = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  ASSERT_NO_FATAL_FAILURE(Sfdisk(Disk(0), 8 * kMiB,
                                 "start=2048, size=8, name=\"EFI system\"\n"
                                 "start=4096, size=8, name=\"" + longName + "\"\n"
                                 "start=6144, size=8, name=\"Фото\"\n"
                                 "/dev/x5 : start=8192, size=8, name=\"after the gap\"\n",
                                 "gpt"));
  std::string lines;
  std::vector<Expected> full;
  for (int i = 1; i <= 26; ++i) {
    const uint64_t start = 2048 + static_cast<uint64_t>(i - 1) * 16;
    lines += "start=" + std::to_string(start) + ", size=8, name=part" + std::to_string(i) + "\n";
    if (i <= 24) full.push_back({start, start + 7, "part" + std::to_string(i)});
  }
  ASSERT_NO_FATAL_FAILURE(Sfdisk(Disk(1), 8 * kMiB, lines, "gpt"));
  const PartitionMap map = Enumerate();
  ASSERT_EQ(map.size(), 2u);
  ExpectItems(map.at(0), 0, {{2048, 2055, "EFI system"}, {4096, 4103, longName}, {6144, 6151, "Фото"}});
  // A name that fills the field has no terminator in it.
  for (char16_t unit : map.at(0)[1].szPartitionName) EXPECT_NE(unit, 0);
  ExpectItems(map.at(1), 1, full);
}

// An Apple Partition Map as Inside Macintosh: Devices lays it out: the driver descriptor
// ("ER", block size, block count) in block 0 and one "PM" entry per block from block 1.
struct ApmEntry {
  uint32_t physicalStart;
  uint32_t blocks;
  std::string name;
  std::string type;
  uint32_t dataStart;
  uint32_t dataCount;
};

std::vector<uint8_t> BuildApm(const std::vector<ApmEntry>& entries, uint32_t deviceBlocks, uint32_t mapCount) {
  std::vector<uint8_t> image((entries.size() + 1) * kSector, 0);
  image[0] = 'E';
  image[1] = 'R';
  image[2] = 0x02;  // block size 512, big-endian
  image[3] = 0x00;
  WriteU32BE(image.data(), 4, deviceBlocks);
  for (size_t i = 0; i < entries.size(); ++i) {
    uint8_t* e = image.data() + (i + 1) * kSector;
    e[0] = 'P';
    e[1] = 'M';
    WriteU32BE(e, 4, mapCount);
    WriteU32BE(e, 8, entries[i].physicalStart);
    WriteU32BE(e, 12, entries[i].blocks);
    std::memcpy(e + 16, entries[i].name.data(), std::min<size_t>(entries[i].name.size(), 32));
    std::memcpy(e + 48, entries[i].type.data(), std::min<size_t>(entries[i].type.size(), 32));
    WriteU32BE(e, 80, entries[i].dataStart);
    WriteU32BE(e, 84, entries[i].dataCount);
    WriteU32BE(e, 88, 0x37);  // valid, allocated, in use, readable, writable
  }
  return image;
}

TEST_F(PartitionTest, AppleMapGivesEveryEntryIncludingTheMapAndFreeSpace) {
  const std::string fullName = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdef";  // 32 bytes, no NUL
  const std::vector<ApmEntry> entries = {
      {1, 63, "Apple", "Apple_partition_map", 0, 63},
      {64, 32, "Macintosh", "Apple_Driver43", 0, 32},
      {96, 4000, fullName, "Apple_HFS", 8, 3992},
      {4096, 100, "Extra", "Apple_Free", 0, 100},
      {200000, 16, "Gone", "Apple_HFS", 0, 16},  // starts past the end of the device
  };
  test::WriteFileBytes(Disk(0), BuildApm(entries, 8192, static_cast<uint32_t>(entries.size())));
  ASSERT_NO_FATAL_FAILURE(MakeSparse(Disk(0), 8192 * kSector));
  ExpectItems(EnumerateDisk0(), 0,
              {{1, 63, "Apple"}, {64, 95, "Macintosh"}, {104, 4095, fullName}, {4096, 4195, "Extra"}});

  // A map claiming more than 128 entries gives nothing, even though its entries are readable.
  std::vector<uint8_t> huge = BuildApm(entries, 8192, 129);
  huge.resize(130 * kSector, 0);
  test::WriteFileBytes(Disk(0), huge);
  ASSERT_NO_FATAL_FAILURE(MakeSparse(Disk(0), 8192 * kSector));
  EXPECT_TRUE(Enumerate().empty());
}

// One whole-device item for a card formatted without a table.
struct CardCase {
  const char* what;
  std::string make;  // shell command; IMG stands for the image path
  uint64_t deviceBytes;
  std::string name;
};

TEST_F(PartitionTest, SuperfloppyGetsOneItemCoveringTheWholeDevice) {
  VORLENTA_REQUIRE_TOOL("mkfs.fat");
  VORLENTA_REQUIRE_TOOL("mkntfs");
  const std::string ntfs = "truncate -s 16M IMG && mkntfs -F -Q -q -s 512 -p 0 -H 0 -S 0 ";
  const std::vector<CardCase> cases = {
      {"FAT32 with a label", "mkfs.fat -C -F 32 -n CAMERA --mbr=n IMG 40960", 40 * kMiB, "CAMERA"},
      {"FAT32 without a label", "mkfs.fat -C -F 32 --mbr=n IMG 40960", 40 * kMiB, "Partition 1"},
      {"FAT32 with mkfs.fat's whole-disk table", "mkfs.fat -C -F 32 -n FAKEMBR --mbr=y IMG 40960", 40 * kMiB,
       "FAKEMBR"},
      {"FAT32 card larger than its volume", "mkfs.fat -C -F 32 -n BIGCARD --mbr=n IMG 40960 && truncate -s 48M IMG",
       48 * kMiB, "BIGCARD"},
      {"FAT16 with a label", "mkfs.fat -C -F 16 -n PHOTOS IMG 32768", 32 * kMiB, "PHOTOS"},
      {"FAT12 without a label", "mkfs.fat -C -F 12 IMG 1440", 1440 * 1024, "Partition 1"},
      {"NTFS with a label", ntfs + "-L 'Мой диск' IMG", 16 * kMiB, "Мой диск"},
      {"NTFS without a label", ntfs + "IMG", 16 * kMiB, "Partition 1"},
  };
  for (const CardCase& c : cases) {
    SCOPED_TRACE(c.what);
    ::unlink(Disk(0).c_str());
    std::string command = c.make;
    for (size_t at; (at = command.find("IMG")) != std::string::npos;) command.replace(at, 3, ShellQuote(Disk(0)));
    ASSERT_EQ(RunCommand(command + " >/dev/null 2>&1"), 0) << command;
    const std::vector<uint8_t> boot = ReadBytesAt(Disk(0), 0, 512);
    ASSERT_TRUE(IsFat(boot.data(), boot.size()) || IsNtfs(boot.data(), boot.size()));
    ExpectItems(EnumerateDisk0(), 0, {{0, c.deviceBytes / kSector - 1, c.name}});
  }
}

TEST_F(PartitionTest, PartitionedDiskWithLeftoverBootRecordFieldsStaysAnMbrDisk) {
  VORLENTA_REQUIRE_TOOL("mkfs.fat");
  const std::string card = disks_ / "card.img";
  ASSERT_EQ(RunCommand("mkfs.fat -C -F 16 -n OLD " + ShellQuote(card) + " 32768 >/dev/null 2>&1"), 0);
  ASSERT_NO_FATAL_FAILURE(Sfdisk(Disk(0), 16 * kMiB, kMbrWithLogicals));
  // The BIOS parameter block of the old volume survives in the boot code area of the MBR.
  const std::vector<uint8_t> bpb = ReadBytesAt(card, 3, 59);
  ASSERT_NO_FATAL_FAILURE(Patch(Disk(0), 3, bpb));
  const std::vector<uint8_t> sector0 = ReadBytesAt(Disk(0), 0, 512);
  ASSERT_TRUE(IsFat(sector0.data(), sector0.size()));
  ExpectItems(EnumerateDisk0(), 0, MbrWithLogicalsItems(1));
}

// Each case rewrites bytes of a disk made by sfdisk with three primaries at 2048, 4096, 6144
// (2048 sectors each) on a 32768-sector device.
struct EntryPatch {
  const char* what;
  size_t offset;  // within the second entry
  std::vector<uint8_t> bytes;
  std::vector<Expected> expected;
};

TEST_F(PartitionTest, ImpossibleMbrEntriesAreSkippedAndEmptyOnesEndTheTable) {
  const std::vector<EntryPatch> cases = {
      {"start past the end of the device", 8, U32LE(40000),
       {{2048, 4095, "Partition 1"}, {6144, 8191, "Partition 2"}}},
      {"start one past the last sector", 8, U32LE(32768),
       {{2048, 4095, "Partition 1"}, {6144, 8191, "Partition 2"}}},
      {"start on the last sector", 8, U32LE(32767),
       {{2048, 4095, "Partition 1"}, {32767, 34814, "Partition 2"}, {6144, 8191, "Partition 3"}}},
      {"sector count 0", 12, U32LE(0),
       {{2048, 4095, "Partition 1"}, {4096, 4095, "Partition 2"}, {6144, 8191, "Partition 3"}}},
      {"type 0 with non-zero fields", 4, {0},
       {{2048, 4095, "Partition 1"}, {4096, 6143, "Partition 2"}, {6144, 8191, "Partition 3"}}},
      {"all-zero entry", 0, std::vector<uint8_t>(16, 0), {{2048, 4095, "Partition 1"}}},
  };
  for (const EntryPatch& c : cases) {
    SCOPED_TRACE(c.what);
    ::unlink(Disk(0).c_str());
    ASSERT_NO_FATAL_FAILURE(Sfdisk(Disk(0), 16 * kMiB,
                                   "start=2048, size=2048, type=83\n"
                                   "start=4096, size=2048, type=83\n"
                                   "start=6144, size=2048, type=83\n"));
    ASSERT_NO_FATAL_FAILURE(Patch(Disk(0), kMbrEntry0 + kMbrEntrySize + c.offset, c.bytes));
    ExpectItems(EnumerateDisk0(), 0, c.expected);
  }
}

TEST_F(PartitionTest, ImpossibleGptEntriesAreSkipped) {
  ASSERT_NO_FATAL_FAILURE(Sfdisk(Disk(0), 8 * kMiB,
                                 "start=2048, size=8, name=one\nstart=4096, size=8, name=two\n"
                                 "start=6144, size=8, name=three\nstart=8192, size=8, name=four\n",
                                 "gpt"));
  // Entry 2 ends before it starts; entry 3 starts past the end of the 16384-sector device.
  ASSERT_NO_FATAL_FAILURE(Patch(Disk(0), kGptEntries + kGptEntrySize + 40, U64LE(4090)));
  ASSERT_NO_FATAL_FAILURE(Patch(Disk(0), kGptEntries + 2 * kGptEntrySize + 32, U64LE(16384)));
  ASSERT_NO_FATAL_FAILURE(Patch(Disk(0), kGptEntries + 2 * kGptEntrySize + 40, U64LE(16390)));
  ExpectItems(EnumerateDisk0(), 0, {{2048, 2055, "one"}, {8192, 8199, "four"}});
}

// Rewrites one entry of a table of the sfdisk layout above into an extended link.
struct ChainPatch {
  const char* what;
  uint64_t tableSector;
  size_t entry;
  uint32_t firstSector;  // relative to the outermost extended partition inside the chain
  std::vector<uint64_t> starts;  // of the items that remain, in order
};

TEST_F(PartitionTest, LoopingExtendedChainsEnd) {
  const std::vector<ChainPatch> cases = {
      {"last record linking back to the first", kSecondEbr, 1, 0, {2048, 4096, 8192, 12288, 18432}},
      {"first record linking to itself", kFirstEbr, 1, 0, {2048, 4096, 8192, 18432}},
      {"last record linking back to the second", kSecondEbr, 1, kSecondEbr - kFirstEbr, {2048, 4096, 8192, 12288, 18432}},
      {"extended entry of the MBR pointing at the MBR", 0, 2, 0, {2048, 4096, 18432}},
  };
  for (const ChainPatch& c : cases) {
    SCOPED_TRACE(c.what);
    ::unlink(Disk(0).c_str());
    ASSERT_NO_FATAL_FAILURE(Sfdisk(Disk(0), 16 * kMiB, kMbrWithLogicals));
    const uint64_t entry = c.tableSector * kSector + kMbrEntry0 + c.entry * kMbrEntrySize;
    std::vector<uint8_t> link(kMbrEntrySize, 0);
    link[4] = 0x05;
    WriteU32LE(link.data(), 8, c.firstSector);
    WriteU32LE(link.data(), 12, 2048);
    // The entry must change, or the case would test nothing.
    ASSERT_NE(ReadBytesAt(Disk(0), entry, kMbrEntrySize), link);
    ASSERT_NO_FATAL_FAILURE(Patch(Disk(0), entry, link));
    const std::vector<_PARTITION_ITEM_> items = EnumerateDisk0();
    ASSERT_EQ(items.size(), c.starts.size());
    for (size_t i = 0; i < items.size(); ++i) {
      EXPECT_EQ(items[i].u64StartSector, c.starts[i]);
      EXPECT_EQ(PartitionNameUtf8(items[i]), "Partition " + std::to_string(i + 1));
    }
  }
}

TEST_F(PartitionTest, EndlessChainOfDistinctRecordsStopsAtTheDepthBound) {
  // MBR -> extended partition at 64; record k at 64 + 2k holds one logical sector and links on.
  constexpr uint32_t kBase = 64;
  constexpr uint32_t kRecords = 300;
  std::vector<uint8_t> image((kBase + 2 * kRecords + 16) * kSector, 0);
  auto entry = [&](uint64_t sector, int index, uint8_t type, uint32_t first, uint32_t count) {
    uint8_t* e = image.data() + sector * kSector + kMbrEntry0 + static_cast<size_t>(index) * kMbrEntrySize;
    e[4] = type;
    WriteU32LE(e, 8, first);
    WriteU32LE(e, 12, count);
    image[sector * kSector + 510] = 0x55;
    image[sector * kSector + 511] = 0xAA;
  };
  entry(0, 0, 0x0F, kBase, 2 * kRecords);
  for (uint32_t k = 0; k < kRecords; ++k) {
    entry(kBase + 2 * k, 0, 0x83, 1, 1);
    entry(kBase + 2 * k, 1, 0x05, 2 * (k + 1), 2);
  }
  test::WriteFileBytes(Disk(0), image);
  const std::vector<_PARTITION_ITEM_> items = EnumerateDisk0();
  ASSERT_EQ(items.size(), static_cast<size_t>(kMaxExtendedDepth));
  for (size_t i = 0; i < items.size(); ++i) ASSERT_EQ(items[i].u64StartSector, kBase + 2 * i + 1);
}

_PARTITION_ITEM_ Item(int disk, uint64_t start) {
  _PARTITION_ITEM_ item;
  std::memset(&item, 0, sizeof item);
  item.nDiskNumber = disk;
  item.u64StartSector = start;
  item.u64EndSector = start + 9;
  return item;
}

TEST(PartitionCache, CursorWalksSortedDisksInOrder) {
  CPartitionManager manager;
  _PARTITION_ITEM_ out;
  EXPECT_EQ(manager.GetPartitionItem(&out), 0) << "nothing fills the cache by itself";
  manager.LoadPartitionTable({{3, {Item(3, 500), Item(3, 20)}}, {1, {Item(1, 0x100000000ull), Item(1, 7)}}, {2, {}}});
  const std::vector<std::pair<int, uint64_t>> order = {{1, 7}, {1, 0x100000000ull}, {3, 20}, {3, 500}};
  for (const auto& want : order) {
    ASSERT_EQ(manager.GetPartitionItem(&out), 1);
    EXPECT_EQ(out.nDiskNumber, want.first);
    EXPECT_EQ(out.u64StartSector, want.second);
  }
  EXPECT_EQ(manager.GetPartitionItem(&out), 0);
  std::vector<_PARTITION_ITEM_> all(3, Item(9, 9));
  EXPECT_EQ(manager.GetPartitionItems(all), 1);
  ASSERT_EQ(all.size(), order.size());
  for (size_t i = 0; i < all.size(); ++i) EXPECT_EQ(all[i].u64StartSector, order[i].second);

  EXPECT_EQ(manager.Init(), 1);
  EXPECT_EQ(manager.GetPartitionItems(all), 1);
  EXPECT_TRUE(all.empty()) << "Init empties the cache";
}

TEST(ImageDisks, SourcesBecomeDiskNumbers) {
  test::TempDir dir;
  test::WriteFileBytes(dir / "disk0", test::RandomBytes(1024, 3));
  test::WriteFileBytes(dir / "disk1", test::RandomBytes(1024, 4));
  test::ScopedEnv diskDir("VORLENTA_DISK_DIR", dir.path());
  struct Case {
    std::string source;
    int status;
    int disk;
  };
  const std::vector<Case> cases = {
      {"disk:1", 0, 1}, {"disk:0", 0, 0}, {"disk:2", ENOENT, -1}, {"disk:", 87, -1},
      {"disk:1x", 87, -1}, {"disk:999", 87, -1}, {dir / "disk1", 0, 0}, {dir / "missing.img", ENOENT, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source);
    CImageDisks images;
    int disk = -1;
    EXPECT_EQ(PresentSource(c.source, images, disk), c.status);
    EXPECT_EQ(disk, c.disk);
    if (c.status == 0) {
      std::string path;
      ASSERT_EQ(GetDiskPath(disk, path), 0);
      EXPECT_EQ(test::ReadFileBytes(path), test::ReadFileBytes(c.source.rfind("disk:", 0) == 0
                                                                    ? dir / ("disk" + std::to_string(c.disk))
                                                                    : c.source));
    }
  }
  EXPECT_STREQ(std::getenv("VORLENTA_DISK_DIR"), dir.path().c_str());
}

}  // namespace
}  // namespace vorlenta
