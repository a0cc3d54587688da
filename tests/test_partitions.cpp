// Partition enumeration and vorlenta-cli partitions over disks made by sfdisk, mkfs.fat and
// mkntfs, Apple maps built from the published layout, and damaged tables no tool makes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>

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
constexpr uint64_t kGptEntries = 1024;
constexpr uint64_t kGptEntrySize = 128;

// Writes a new image of `bytes` with a table made by sfdisk; `label` is "dos" or "gpt".
void Sfdisk(const std::string& path, uint64_t bytes, const std::string& lines, const char* label = "dos") {
  VORLENTA_REQUIRE_TOOL("sfdisk");
  const std::string script = std::string("label: ") + label + "\nunit: sectors\n" + lines;
  ASSERT_EQ(RunCommand("rm -f " + ShellQuote(path) + " && truncate -s " + std::to_string(bytes) + " " +
                       ShellQuote(path) + " && printf %s " + ShellQuote(script) +
                       " | sfdisk -q --no-reread --no-tell-kernel " + ShellQuote(path) + " >/dev/null 2>&1"),
            0)
      << script;
}

void Patch(const std::string& path, uint64_t offset, const std::vector<uint8_t>& bytes) {
  std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
  file.seekp(static_cast<std::streamoff>(offset));
  file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(file.good()) << path;
}

// `value` little-endian in `width` bytes (zeros past the eighth).
std::vector<uint8_t> LE(uint64_t value, size_t width) {
  std::vector<uint8_t> bytes(std::max<size_t>(width, 8), 0);
  WriteU64LE(bytes.data(), 0, value);
  bytes.resize(width);
  return bytes;
}

// "start-end name; " per item; an item that does not belong to `disk` says so.
std::string Describe(const std::vector<_PARTITION_ITEM_>& items, int disk) {
  std::string text;
  for (const _PARTITION_ITEM_& item : items) {
    text += std::to_string(item.u64StartSector) + "-" + std::to_string(item.u64EndSector) + " " +
            PartitionNameUtf8(item) + "; ";
    if (item.nDiskNumber != disk || std::string(item.szDiskName) != "disk" + std::to_string(disk))
      text += "(elsewhere) ";
  }
  return text;
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

// The items of that layout that start at `starts`, in that order, numbered from 1.
std::string LogicalsItems(const std::vector<uint64_t>& starts = {2048, 4096, 8192, 12288, 18432}) {
  const std::map<uint64_t, uint64_t> ends = {{2048, 4095}, {4096, 6143}, {8192, 10239}, {12288, 13311}, {18432, 20479}};
  std::string text;
  int number = 1;
  for (uint64_t start : starts) {
    text +=
        std::to_string(start) + "-" + std::to_string(ends.at(start)) + " Partition " + std::to_string(number++) + "; ";
  }
  return text;
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

  // The items of disk 0, the only disk.
  std::string Disk0() {
    const PartitionMap map = Enumerate();
    EXPECT_LE(map.size(), 1u);
    return map.count(0) != 0 ? Describe(map.at(0), 0) : "";
  }

  test::TempDir disks_;
};

TEST(PartitionTableRecognisers, SignaturesAndShortBuffers) {
  std::vector<uint8_t> sector(512, 0);
  EXPECT_FALSE(IsMBR(sector.data(), sector.size()));
  sector[510] = 0x55;
  sector[511] = 0xAA;
  std::memcpy(sector.data(), "EFI PART", 8);
  EXPECT_TRUE(IsMBR(sector.data(), sector.size()));
  EXPECT_TRUE(IsEFI(sector.data(), sector.size()));
  EXPECT_FALSE(IsMBR(sector.data(), 511) || IsMBR(nullptr, 512) || IsEFI(sector.data(), 7));
  sector[7] = 'S';
  EXPECT_FALSE(IsEFI(sector.data(), sector.size()));
  std::memcpy(sector.data(), "ER", 2);
  EXPECT_TRUE(IsAPM(sector.data(), sector.size()));
  EXPECT_FALSE(IsAPM(sector.data(), 1));
  sector[1] = 'X';
  EXPECT_FALSE(IsAPM(sector.data(), sector.size()));
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
  std::memcpy(image.data(), "ER\x02\x00", 4);  // block size 512, big-endian
  WriteU32BE(image.data(), 4, deviceBlocks);
  for (size_t i = 0; i < entries.size(); ++i) {
    uint8_t* e = image.data() + (i + 1) * kSector;
    std::memcpy(e, "PM", 2);
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
      {1, 63, "Apple", "Apple_partition_map", 0, 63}, {64, 32, "Macintosh", "Apple_Driver43", 0, 32},
      {96, 4000, fullName, "Apple_HFS", 8, 3992},     {4096, 100, "Extra", "Apple_Free", 0, 100},
      {200000, 16, "Gone", "Apple_HFS", 0, 16},  // starts past the end of the device
  };
  // A map claiming more than 128 entries gives nothing, even though its entries are readable.
  std::vector<uint8_t> huge = BuildApm(entries, 8192, 129);
  huge.resize(130 * kSector, 0);
  for (const auto& [map, expected] : std::vector<std::pair<std::vector<uint8_t>, std::string>>{
           {BuildApm(entries, 8192, static_cast<uint32_t>(entries.size())),
            "1-63 Apple; 64-95 Macintosh; 104-4095 " + fullName + "; 4096-4195 Extra; "},
           {huge, ""}}) {
    test::WriteFileBytes(Disk(0), map);
    ASSERT_EQ(::truncate(Disk(0).c_str(), 8192 * kSector), 0);
    EXPECT_EQ(Disk0(), expected);
  }
}

// The second of three primaries at 2048, 4096 and 6144 (2048 sectors each) on a 32768-sector
// device, changed in one field.
TEST_F(PartitionTest, ImpossibleMbrEntriesAreSkippedAndEmptyOnesEndTheTable) {
  const std::string first = "2048-4095 Partition 1; ", third = "6144-8191 Partition ";
  const struct {
    const char* what;
    size_t offset;
    uint64_t value;
    size_t width;
    std::string expected;
  } cases[] = {
      {"start past the end of the device", 8, 40000, 4, first + third + "2; "},
      {"start one past the last sector", 8, 32768, 4, first + third + "2; "},
      {"start on the last sector", 8, 32767, 4, first + "32767-34814 Partition 2; " + third + "3; "},
      {"sector count 0", 12, 0, 4, first + "4096-4095 Partition 2; " + third + "3; "},
      {"type 0 with non-zero fields", 4, 0, 1, first + "4096-6143 Partition 2; " + third + "3; "},
      {"all-zero entry", 0, 0, 16, first},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_NO_FATAL_FAILURE(Sfdisk(Disk(0), 16 * kMiB,
                                   "start=2048, size=2048, type=83\n"
                                   "start=4096, size=2048, type=83\n"
                                   "start=6144, size=2048, type=83\n"));
    ASSERT_NO_FATAL_FAILURE(Patch(Disk(0), kMbrEntry0 + kMbrEntrySize + c.offset, LE(c.value, c.width)));
    EXPECT_EQ(Disk0(), c.expected);
  }
}

TEST_F(PartitionTest, ImpossibleGptEntriesAreSkipped) {
  ASSERT_NO_FATAL_FAILURE(Sfdisk(Disk(0), 8 * kMiB,
                                 "start=2048, size=8, name=one\nstart=4096, size=8, name=two\n"
                                 "start=6144, size=8, name=three\nstart=8192, size=8, name=four\n",
                                 "gpt"));
  // Entry 2 ends before it starts; entry 3 starts past the end of the 16384-sector device.
  ASSERT_NO_FATAL_FAILURE(Patch(Disk(0), kGptEntries + kGptEntrySize + 40, LE(4090, 8)));
  ASSERT_NO_FATAL_FAILURE(Patch(Disk(0), kGptEntries + 2 * kGptEntrySize + 32, LE(16384, 8)));
  ASSERT_NO_FATAL_FAILURE(Patch(Disk(0), kGptEntries + 2 * kGptEntrySize + 40, LE(16390, 8)));
  EXPECT_EQ(Disk0(), "2048-2055 one; 8192-8199 four; ");
}

// One entry of a table of kMbrWithLogicals rewritten into an extended link.
TEST_F(PartitionTest, LoopingExtendedChainsEnd) {
  const struct {
    const char* what;
    uint64_t tableSector;
    size_t entry;
    uint32_t firstSector;          // relative to the outermost extended partition inside the chain
    std::vector<uint64_t> starts;  // of the items that remain, in order
  } cases[] = {
      {"last record linking back to the first", kSecondEbr, 1, 0, {2048, 4096, 8192, 12288, 18432}},
      {"first record linking to itself", kFirstEbr, 1, 0, {2048, 4096, 8192, 18432}},
      {"last record linking back to the second",
       kSecondEbr,
       1,
       kSecondEbr - kFirstEbr,
       {2048, 4096, 8192, 12288, 18432}},
      {"extended entry of the MBR pointing at the MBR", 0, 2, 0, {2048, 4096, 18432}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_NO_FATAL_FAILURE(Sfdisk(Disk(0), 16 * kMiB, kMbrWithLogicals));
    const uint64_t entry = c.tableSector * kSector + kMbrEntry0 + c.entry * kMbrEntrySize;
    std::vector<uint8_t> link = LE(uint64_t{0x05} << 32, 8);  // type 05 at byte 4
    const std::vector<uint8_t> range = LE(c.firstSector | uint64_t{2048} << 32, 8);
    link.insert(link.end(), range.begin(), range.end());
    // The entry must change, or the case would test nothing.
    const std::vector<uint8_t> before = test::ReadFileBytes(Disk(0), entry + kMbrEntrySize);
    ASSERT_FALSE(std::equal(link.begin(), link.end(), before.end() - kMbrEntrySize));
    ASSERT_NO_FATAL_FAILURE(Patch(Disk(0), entry, link));
    EXPECT_EQ(Disk0(), LogicalsItems(c.starts));
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
  std::string expected;
  for (int i = 0; i < kMaxExtendedDepth; ++i) {
    const std::string sector = std::to_string(kBase + 2 * i + 1);
    expected += sector + "-" + sector + " Partition " + std::to_string(i + 1) + "; ";
  }
  EXPECT_EQ(Disk0(), expected);
}

// vorlenta-cli partitions over images presented as numbered disks: MBRs with logical partitions,
// each with its own extended base and the numbering running across disks; GPTs with names as
// stored, whose walk ends at the first empty entry or the 24th; a superfloppy; disks without items.
TEST_F(PartitionTest, CliListsImagesAsNumberedDisksAndReportsWhatItCannotRead) {
  VORLENTA_REQUIRE_TOOL("mkfs.fat");
  const std::string longName = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";  // fills the field
  ASSERT_NO_FATAL_FAILURE(Sfdisk(disks_ / "mbr.img", 16 * kMiB, kMbrWithLogicals));
  ASSERT_NO_FATAL_FAILURE(Sfdisk(disks_ / "gpt.img", 8 * kMiB,
                                 "start=2048, size=8, name=\"EFI system\"\n"
                                 "start=4096, size=2048, name=\"Фото\"\n"
                                 "start=6144, size=8, name=tab\n"
                                 "start=8192, size=8, name=\"" +
                                     longName +
                                     "\"\n"
                                     "/dev/x6 : start=10240, size=8, name=\"after the gap\"\n",
                                 "gpt"));
  // A tab inside a stored name must not split the row: "t<TAB>b" in UTF-16LE.
  ASSERT_NO_FATAL_FAILURE(Patch(disks_ / "gpt.img", kGptEntries + 2 * kGptEntrySize + 56, {'t', 0, '\t', 0, 'b', 0}));
  std::string lines, rows;
  for (int i = 1; i <= 26; ++i) {
    const std::string start = std::to_string(2048 + (i - 1) * 16), end = std::to_string(2048 + (i - 1) * 16 + 7);
    lines += "start=" + start + ", size=8, name=part" + std::to_string(i) + "\n";
    if (i <= 24)
      rows += "2\t" + std::to_string(i) + "\t" + start + "\t" + end + "\t4096\tpart" + std::to_string(i) + "\n";
  }
  ASSERT_NO_FATAL_FAILURE(Sfdisk(disks_ / "gpt26.img", 8 * kMiB, lines, "gpt"));
  test::WriteFileBytes(disks_ / "blank.img", std::vector<uint8_t>(64 * 1024, 0));
  // The extended partition elsewhere, and an old volume's BIOS parameter block left in the boot
  // code area of the MBR: it stays an MBR disk.
  ASSERT_NO_FATAL_FAILURE(Sfdisk(disks_ / "other.img", 16 * kMiB,
                                 "start=2048, size=4096, type=83\n"
                                 "start=10240, size=16384, type=f\n"
                                 "start=14336, size=1024, type=83\n"
                                 "start=20480, size=2048, type=7\n"));
  const std::string old = ShellQuote(disks_ / "old.img");
  ASSERT_EQ(RunCommand("mkfs.fat -C -F 16 -n OLD " + old + " 32768 >/dev/null && dd if=" + old + " of=" +
                       ShellQuote(disks_ / "other.img") + " bs=1 skip=3 seek=3 count=59 conv=notrunc status=none"),
            0);
  const std::vector<uint8_t> sector0 = test::ReadFileBytes(disks_ / "other.img", 512);
  ASSERT_TRUE(IsFat(sector0.data(), sector0.size()));
  // An MBR signature in front of an empty table, and random bytes only.
  std::vector<uint8_t> signature(64 * 1024, 0);
  signature[510] = 0x55;
  signature[511] = 0xAA;
  test::WriteFileBytes(disks_ / "signature.img", signature);
  test::WriteFileBytes(disks_ / "random.img", test::RandomBytes(8192, 4));
  std::vector<std::string> images = {"mbr.img",   "gpt.img",       "gpt26.img", "blank.img",
                                     "other.img", "signature.img", "random.img"};
  // Cards formatted without a table: one whole-device item, named by the volume's label, else
  // numbered on.
  VORLENTA_REQUIRE_TOOL("mkntfs");
  const std::string ntfs = "truncate -s 16M IMG && mkntfs -F -Q -q -s 512 -p 0 -H 0 -S 0 ";
  const struct {
    std::string make;  // shell command; IMG stands for the image path
    uint64_t bytes;
    std::string name;
  } cards[] = {
      {"mkfs.fat -C -F 32 -n CAMERA --mbr=n IMG 40960", 40 * kMiB, "CAMERA"},
      {"mkfs.fat -C -F 32 --mbr=n IMG 40960", 40 * kMiB, "Partition 9"},
      {"mkfs.fat -C -F 32 -n FAKEMBR --mbr=y IMG 40960", 40 * kMiB, "FAKEMBR"},  // mkfs.fat's whole-disk table
      {"mkfs.fat -C -F 32 -n BIGCARD --mbr=n IMG 40960 && truncate -s 48M IMG", 48 * kMiB, "BIGCARD"},
      {"mkfs.fat -C -F 16 -n PHOTOS IMG 32768", 32 * kMiB, "PHOTOS"},
      {"mkfs.fat -C -F 12 IMG 1440", 1440 * 1024, "Partition 10"},
      {ntfs + "-L 'Мой диск' IMG", 16 * kMiB, "Мой диск"},
      {ntfs + "IMG", 16 * kMiB, "Partition 11"},
  };
  std::string cardRows;
  for (const auto& card : cards) {
    std::string command = card.make;
    const std::string image = "card" + std::to_string(images.size()) + ".img";
    for (size_t at; (at = command.find("IMG")) != std::string::npos;)
      command.replace(at, 3, ShellQuote(disks_ / image));
    ASSERT_EQ(RunCommand(command + " >/dev/null 2>&1"), 0) << command;
    cardRows += std::to_string(images.size()) + "\t1\t0\t" + std::to_string(card.bytes / kSector - 1) + "\t" +
                std::to_string(card.bytes) + "\t" + card.name + "\n";
    images.push_back(image);
  }
  std::string arguments;
  std::vector<std::string> hashes;
  for (const auto& image : images) {
    hashes.push_back(test::Sha256OfFile(disks_ / image));
    // Relative and absolute paths alike.
    arguments += " " + (image == "gpt.img" ? ShellQuote(disks_ / image) : image);
  }

  // From the image folder, with a fresh support and temporary folder.
  test::TempDir tmp;
  std::string out, err;
  auto run = [&](const std::string& arguments) {
    out.clear();
    const int status = RunCommand("cd " + ShellQuote(disks_.path()) +
                                      " && mkdir -p support && env -u VORLENTA_DISK_DIR VORLENTA_SUPPORT_DIR=" +
                                      ShellQuote(disks_ / "support") + " TMPDIR=" + ShellQuote(tmp.path()) + " " +
                                      ShellQuote(VORLENTA_CLI_PATH) + " partitions " + arguments + " 2>stderr",
                                  &out);
    const std::vector<uint8_t> bytes = test::ReadFileBytes(disks_ / "stderr");
    err.assign(bytes.begin(), bytes.end());
    return status;
  };
  ASSERT_EQ(run(arguments), 0) << err;
  EXPECT_EQ(out,
            "disk\tpartition\tstart\tend\tsize\tname\n"
            "0\t1\t2048\t4095\t1048576\tPartition 1\n"
            "0\t2\t4096\t6143\t1048576\tPartition 2\n"
            "0\t3\t8192\t10239\t1048576\tPartition 3\n"
            "0\t4\t12288\t13311\t524288\tPartition 4\n"
            "0\t5\t18432\t20479\t1048576\tPartition 5\n"
            "1\t1\t2048\t2055\t4096\tEFI system\n"
            "1\t2\t4096\t6143\t1048576\tФото\n"
            "1\t3\t6144\t6151\t4096\tt?b\n"
            "1\t4\t8192\t8199\t4096\t" +
                longName + "\n" + rows +
                "4\t1\t2048\t6143\t2097152\tPartition 6\n"
                "4\t2\t14336\t15359\t524288\tPartition 7\n"
                "4\t3\t20480\t22527\t1048576\tPartition 8\n" +
                cardRows);
  EXPECT_EQ(err, "");
  for (size_t i = 0; i < images.size(); ++i) EXPECT_EQ(test::Sha256OfFile(disks_ / images[i]), hashes[i]) << images[i];
  std::string left;
  ASSERT_EQ(RunCommand("ls -A " + ShellQuote(tmp.path()), &left), 0);
  EXPECT_EQ(left, "") << "the folder of disk links is removed";

  const struct {
    std::string arguments;
    int status;
    std::string error;
  } failures[] = {
      {"mbr.img missing.img", 3, "vorlenta-cli: cannot open missing.img: No such file or directory\n"},
      {"support", 3, "vorlenta-cli: cannot read support: Is a directory\n"},
      {"--json mbr.img", 2, "vorlenta-cli: unknown option --json for partitions\n"},
  };
  for (const auto& c : failures) {
    SCOPED_TRACE(c.arguments);
    EXPECT_EQ(run(c.arguments), c.status);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, c.error);
  }
}

TEST(ImageDisks, SourcesBecomeDiskNumbers) {
  test::TempDir dir;
  test::WriteFileBytes(dir / "disk0", test::RandomBytes(1024, 3));
  test::WriteFileBytes(dir / "disk1", test::RandomBytes(1024, 4));
  test::ScopedEnv diskDir("VORLENTA_DISK_DIR", dir.path());
  const struct {
    std::string source;
    int status;
    int disk;
    std::string file;  // what the disk number leads to
  } cases[] = {
      {"disk:1", 0, 1, dir / "disk1"},
      {"disk:0", 0, 0, dir / "disk0"},
      {"disk:2", ENOENT, -1, ""},
      {"disk:", 87, -1, ""},
      {"disk:1x", 87, -1, ""},
      {"disk:999", 87, -1, ""},
      {dir / "disk1", 0, 0, dir / "disk1"},
      {dir / "missing.img", ENOENT, -1, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.source);
    CImageDisks images;
    int disk = -1;
    EXPECT_EQ(PresentSource(c.source, images, disk), c.status);
    EXPECT_EQ(disk, c.disk);
    std::string path;
    if (c.status == 0 && GetDiskPath(disk, path) == 0) {
      EXPECT_EQ(test::ReadFileBytes(path), test::ReadFileBytes(c.file));
    }
    EXPECT_EQ(c.status == 0, !path.empty());
  }
  EXPECT_STREQ(std::getenv("VORLENTA_DISK_DIR"), dir.path().c_str());
}

}  // namespace
}  // namespace vorlenta
