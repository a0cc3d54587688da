// Partition enumeration and vorlenta-cli partitions over disks made by sfdisk, mkfs.fat and
// mkntfs, Apple maps built from the published layout, and damaged tables no tool makes; the
// file-system probes on boot sectors made by the formatting tools, changed one field at a time.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>

#include "device/boot_probe.h"
#include "device/exfat_boot.h"
#include "device/partition_manager.h"
#include "scan/recovery_factory.h"
#include "support/test_support.h"
#include "util/endian.h"
#include "util/image_disks.h"
#include "util/platform.h"

namespace vorlenta {
namespace {

using Bytes = std::vector<uint8_t>;
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

// "a-b c-d" as Describe gives numbered items: "a-b Partition 1; c-d Partition 2; ".
std::string Numbered(const std::string& ranges) {
  std::istringstream in(ranges);
  std::string text;
  int number = 0;
  for (std::string range; in >> range;) text += range + " Partition " + std::to_string(++number) + "; ";
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
const char kLogicalsItems[] = "2048-4095 4096-6143 8192-10239 12288-13311 18432-20479";

class PartitionTest : public ::testing::Test {
 protected:
  std::string Disk(int n) const { return disks_ / ("disk" + std::to_string(n)); }

  // The items of disk 0, the only disk.
  std::string Disk0() {
    test::ScopedEnv env("VORLENTA_DISK_DIR", disks_.path());
    CPartitionManager manager;
    PartitionMap map;
    EXPECT_EQ(manager.GetPartitionItems(map), 1);
    EXPECT_LE(map.size(), 1u);
    return map.count(0) != 0 ? Describe(map.at(0), 0) : "";
  }

  test::TempDir disks_;
};

// One entry of the kMbrWithLogicals disk (16 MiB: 32768 sectors) changed: impossible entries are
// skipped without using up a number, an empty one ends the table, and extended links that loop
// back end the walk.
TEST_F(PartitionTest, DamagedMbrTablesKeepWhatIsPossibleAndLoopingChainsEnd) {
  constexpr uint64_t kSecondEntry = kMbrEntry0 + kMbrEntrySize;
  // Where sfdisk puts the extended boot records: at the extended start, and for the second
  // logical partition, linked relative to the extended start.
  constexpr uint64_t kFirstEbr = 6144 * kSector, kSecondEbr = 10240 * kSector;
  const char kWithoutSecond[] = "2048-4095 8192-10239 12288-13311 18432-20479";
  // An extended link to `first`, relative to the outermost extended partition.
  auto link = [](uint32_t first) {
    std::vector<uint8_t> entry = LE(uint64_t{0x05} << 32, 8);  // type 05 at byte 4
    const std::vector<uint8_t> range = LE(first | uint64_t{2048} << 32, 8);
    entry.insert(entry.end(), range.begin(), range.end());
    return entry;
  };
  const struct {
    const char* what;
    uint64_t offset;
    std::vector<uint8_t> bytes;
    std::string ranges;
  } cases[] = {
      {"start past the end of the device", kSecondEntry + 8, LE(40000, 4), kWithoutSecond},
      {"start one past the last sector", kSecondEntry + 8, LE(32768, 4), kWithoutSecond},
      {"start on the last sector", kSecondEntry + 8, LE(32767, 4),
       "2048-4095 32767-34814 8192-10239 12288-13311 18432-20479"},
      {"sector count 0", kSecondEntry + 12, LE(0, 4), "2048-4095 4096-4095 8192-10239 12288-13311 18432-20479"},
      {"type 0 with non-zero fields", kSecondEntry + 4, LE(0, 1), kLogicalsItems},
      {"all-zero entry", kSecondEntry, LE(0, 16), "2048-4095"},
      {"last record linking back to the first", kSecondEbr + kSecondEntry, link(0), kLogicalsItems},
      {"first record linking to itself", kFirstEbr + kSecondEntry, link(0),
       "2048-4095 4096-6143 8192-10239 18432-20479"},
      {"last record linking back to the second", kSecondEbr + kSecondEntry, link(4096), kLogicalsItems},
      {"extended entry of the MBR pointing at the MBR", kMbrEntry0 + 2 * kMbrEntrySize, link(0),
       "2048-4095 4096-6143 18432-20479"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_NO_FATAL_FAILURE(Sfdisk(Disk(0), 16 * kMiB, kMbrWithLogicals));
    // The entry must change, or the case would test nothing.
    const std::vector<uint8_t> before = test::ReadFileBytes(Disk(0), c.offset + c.bytes.size());
    ASSERT_FALSE(std::equal(c.bytes.begin(), c.bytes.end(), before.end() - c.bytes.size()));
    ASSERT_NO_FATAL_FAILURE(Patch(Disk(0), c.offset, c.bytes));
    EXPECT_EQ(Disk0(), Numbered(c.ranges));
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
    WriteU16LE(image.data(), sector * kSector + 510, 0xAA55);
  };
  entry(0, 0, 0x0F, kBase, 2 * kRecords);
  for (uint32_t k = 0; k < kRecords; ++k) {
    entry(kBase + 2 * k, 0, 0x83, 1, 1);
    entry(kBase + 2 * k, 1, 0x05, 2 * (k + 1), 2);
  }
  test::WriteFileBytes(Disk(0), image);
  std::string ranges;
  for (int i = 0; i < kMaxExtendedDepth; ++i) {
    const std::string sector = std::to_string(kBase + 2 * i + 1);
    ranges += sector + "-" + sector + " ";
  }
  EXPECT_EQ(Disk0(), Numbered(ranges));
}

// vorlenta-cli partitions over images presented as numbered disks: MBRs with logical partitions,
// each with its own extended base and the numbering running across disks; GPTs with names as
// stored, whose walk ends at the first empty entry or the 24th; Apple maps with every entry,
// the map and free space included; superfloppies; disks without items.
TEST_F(PartitionTest, CliListsImagesAsNumberedDisksAndReportsWhatItCannotRead) {
  VORLENTA_REQUIRE_TOOL("mkfs.fat");
  ASSERT_NO_FATAL_FAILURE(Sfdisk(disks_ / "mbr.img", 16 * kMiB, kMbrWithLogicals));
  // The fourth name fills the field.
  const std::string gpt =
      "start=2048, size=8, name=\"EFI system\"\n"
      "start=4096, size=2048, name=\"Фото\"\n"
      "start=6144, size=8, name=tab\n"
      "start=8192, size=8, name=ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789\n"
      "/dev/x6 : start=10240, size=8, name=\"after the gap\"\n";
  ASSERT_NO_FATAL_FAILURE(Sfdisk(disks_ / "gpt.img", 8 * kMiB, gpt, "gpt"));
  // A tab inside a stored name must not split the row: "t<TAB>b" in UTF-16LE.
  ASSERT_NO_FATAL_FAILURE(Patch(disks_ / "gpt.img", kGptEntries + 2 * kGptEntrySize + 56, {'t', 0, '\t', 0, 'b', 0}));
  std::string lines, rows;
  for (int i = 1, row = 0; i <= 26; ++i) {
    const std::string start = std::to_string(2048 + (i - 1) * 16), end = std::to_string(2048 + (i - 1) * 16 + 7);
    lines += "start=" + start + ", size=8, name=part" + std::to_string(i) + "\n";
    if (i <= 24 && i != 2 && i != 3)
      rows += "2\t" + std::to_string(++row) + "\t" + start + "\t" + end + "\t4096\tpart" + std::to_string(i) + "\n";
  }
  ASSERT_NO_FATAL_FAILURE(Sfdisk(disks_ / "gpt26.img", 8 * kMiB, lines, "gpt"));
  // Impossible entries are skipped: the second ends before it starts, the third starts past the
  // end of the 16384-sector device.
  ASSERT_NO_FATAL_FAILURE(Patch(disks_ / "gpt26.img", kGptEntries + kGptEntrySize + 40, LE(2000, 8)));
  ASSERT_NO_FATAL_FAILURE(Patch(disks_ / "gpt26.img", kGptEntries + 2 * kGptEntrySize + 32, LE(16384, 8)));
  ASSERT_NO_FATAL_FAILURE(Patch(disks_ / "gpt26.img", kGptEntries + 2 * kGptEntrySize + 40, LE(16390, 8)));
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
  WriteU16LE(signature.data(), 510, 0xAA55);
  test::WriteFileBytes(disks_ / "signature.img", signature);
  test::WriteFileBytes(disks_ / "random.img", test::RandomBytes(8192, 4));
  // Apple Partition Maps of 8192 blocks: "ER" in block 0, then one "PM" entry per block with the
  // map's entry count, its physical start, name, and data start and count. The last entry starts
  // past the end of the device; a map claiming more than 128 entries gives nothing, even though
  // its entries are readable.
  const struct {
    uint32_t physicalStart, dataStart, dataCount;
    std::string name;
  } entries[] = {{1, 0, 63, "Apple"},
                 {64, 0, 32, "Macintosh"},
                 {96, 8, 3992, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdef"},
                 {4096, 0, 100, "Extra"},
                 {200000, 0, 16, "Gone"}};
  for (const uint32_t mapCount : {5u, 129u}) {
    std::vector<uint8_t> map(8192 * kSector, 0);
    std::memcpy(map.data(), "ER\x02\x00", 4);  // block size 512, big-endian
    for (size_t i = 0; i < 5; ++i) {
      uint8_t* e = map.data() + (i + 1) * kSector;
      std::memcpy(e, "PM", 2);
      WriteU32BE(e, 4, mapCount);
      WriteU32BE(e, 8, entries[i].physicalStart);
      std::memcpy(e + 16, entries[i].name.data(), entries[i].name.size());  // 32 bytes fill it, no NUL
      WriteU32BE(e, 80, entries[i].dataStart);
      WriteU32BE(e, 84, entries[i].dataCount);
    }
    test::WriteFileBytes(disks_ / ("apple" + std::to_string(mapCount) + ".img"), map);
  }
  // The table recognisers over real first sectors cut at every length, in exact-size copies.
  const Bytes gpt0 = test::ReadFileBytes(disks_ / "gpt.img", 1024),
              apm0 = test::ReadFileBytes(disks_ / "apple5.img", 512);
  for (size_t n = 0; n <= 512; ++n) {
    const Bytes mbr(gpt0.begin(), gpt0.begin() + n), efi(gpt0.begin() + 512, gpt0.begin() + 512 + n);
    const Bytes er(apm0.begin(), apm0.begin() + n);
    EXPECT_TRUE(IsMBR(mbr.data(), n) == (n == 512) && IsEFI(efi.data(), n) == (n >= 8) &&
                IsAPM(er.data(), n) == (n >= 2))
        << n;
  }
  EXPECT_FALSE(IsMBR(nullptr, 512) || IsEFI(nullptr, 512) || IsAPM(nullptr, 512));
  std::vector<std::string> images = {"mbr.img",       "gpt.img",    "gpt26.img",  "blank.img",   "other.img",
                                     "signature.img", "random.img", "apple5.img", "apple129.img"};
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
            "1\t4\t8192\t8199\t4096\tABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789\n" +
                rows +
                "4\t1\t2048\t6143\t2097152\tPartition 6\n"
                "4\t2\t14336\t15359\t524288\tPartition 7\n"
                "4\t3\t20480\t22527\t1048576\tPartition 8\n"
                "7\t1\t1\t63\t32256\tApple\n"
                "7\t2\t64\t95\t16384\tMacintosh\n"
                "7\t3\t104\t4095\t2043904\tABCDEFGHIJKLMNOPQRSTUVWXYZabcdef\n"
                "7\t4\t4096\t4195\t51200\tExtra\n" +
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

enum Kind { kFat12, kFat16, kFat32, kNtfs, kExt4, kExt2Small, kExfat };

const Bytes& Volume(Kind kind) {
  static const std::vector<Bytes> volumes = {FormatAndRead("mkfs.fat -F 12", 2),
                                             FormatAndRead("mkfs.fat -F 16", 16),
                                             FormatAndRead("mkfs.fat -F 32", 64),
                                             FormatAndRead("mkntfs -F -f -q", 16),
                                             FormatAndRead("mkfs.ext4 -q -F -b 4096", 16),
                                             FormatAndRead("mkfs.ext2 -q -F -b 1024", 8),
                                             FormatAndRead("mkfs.exfat", 32)};
  return volumes[kind];
}

class BootProbe : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {"mkfs.fat", "mkntfs", "mkfs.ext4", "mkfs.ext2", "mkfs.exfat"}) VORLENTA_REQUIRE_TOOL(tool);
  }
};

TEST_F(BootProbe, RealVolumesAreRecognisedByTheirOwnProbeOnlyAndNeverPastTheBuffer) {
  for (const Kind kind : {kFat12, kFat16, kFat32, kNtfs, kExt4, kExt2Small, kExfat}) {
    SCOPED_TRACE(kind);
    const Bytes& v = Volume(kind);
    EXPECT_EQ(IsNtfs(v.data(), v.size()), kind == kNtfs);
    EXPECT_EQ(IsFat(v.data(), v.size()), kind == kFat12 || kind == kFat16 || kind == kFat32);
    EXPECT_EQ(IsExt(v.data(), v.size()), kind == kExt4 || kind == kExt2Small);
    EXPECT_EQ(IsExfat(v.data(), v.size()), kind == kExfat);
    // Copies cut short, so that the sanitizers see any read past their end.
    const Bytes sector(v.begin(), v.begin() + 511), ext(v.begin(), v.begin() + kExtProbeBytes - 1);
    EXPECT_FALSE(IsNtfs(sector.data(), 511) || IsFat(sector.data(), 511) || IsExfat(sector.data(), 511) ||
                 IsFullValidFAT16DBR(sector.data(), 100) || IsExt(ext.data(), ext.size()));
  }
  EXPECT_FALSE(IsNtfs(nullptr, 512) || IsFat(nullptr, 512));
}

// Each case changes one field (or one coherent set) of a real boot sector.
TEST_F(BootProbe, FieldRules) {
  using Probe = bool (*)(const uint8_t*, size_t);
  // `value` little-endian in `width` bytes at `offset`.
  auto set = [](size_t offset, uint64_t value, size_t width = 1) {
    return [=](Bytes& b) {
      for (size_t i = 0; i < width; ++i) b[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    };
  };
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
  // One exFAT field changed and the boot region's checksum made to match, so that the field check
  // alone must catch the damage.
  ExfatBoot exfat;
  ASSERT_TRUE(IsExfatBootRegion(Volume(kExfat).data(), kProbeBytes, &exfat));
  auto exfatSet = [set](size_t offset, uint32_t value, size_t width) {
    return [=](Bytes& b) {
      set(offset, value, width)(b);
      const uint32_t sum = ExfatBootChecksum(b.data(), b.size(), 512);
      for (size_t at = 11 * 512; at < 12 * 512 && offset < 512; at += 4) WriteU32LE(b.data(), at, sum);
    };
  };
  constexpr size_t kExtFirstDataBlock = 1024 + 20;
  const struct {
    const char* what;
    Kind kind;
    std::function<void(Bytes&)> change;
    Probe probe;
    bool expected;
  } cases[] = {
      {"NTFS bytes per sector 0", kNtfs, set(boot::kBytesPerSector, 0, 2), IsNtfs, true},
      {"NTFS bytes per sector 0x300", kNtfs, set(boot::kBytesPerSector, 0x300, 2), IsNtfs, false},
      {"NTFS media 0xF0", kNtfs, set(boot::kMediaDescriptor, 0xF0), IsNtfs, true},
      {"NTFS byte 24", kNtfs, set(24, 0x3F), IsNtfs, true},
      {"NTFS with two FATs", kNtfs, set(boot::kNumberOfFats, 2), IsNtfs, false},
      {"NTFS 128 sectors per cluster", kNtfs, set(boot::kSectorsPerCluster, 128), IsNtfs, false},
      {"NTFS 3 sectors per cluster", kNtfs, set(boot::kSectorsPerCluster, 3), IsNtfs, false},
      {"NTFS byte 35", kNtfs, set(35, 1), IsNtfs, false},
      {"NTFS signature", kNtfs, set(511, 0), IsNtfs, false},
      {"NTFS total 0", kNtfs, set(boot::kNtfsTotalSectors, 0, 8), IsNtfs, false},
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
      {"exFAT record", kExfat, none, IsExfat, true},
      {"exFAT name", kExfat, exfatSet(3, 'X', 1), IsExfat, false},
      {"exFAT FAT field", kExfat, exfatSet(22, 1, 2), IsExfat, false},
      {"exFAT sector shift", kExfat, exfatSet(108, 8, 1), IsExfat, false},
      {"exFAT cluster shift", kExfat, exfatSet(109, 25 - 9 + 1, 1), IsExfat, false},
      {"exFAT FAT inside the boot regions", kExfat, exfatSet(80, 23, 4), IsExfat, false},
      {"exFAT FATs past the heap", kExfat, exfatSet(84, exfat.clusterHeapOffset, 4), IsExfat, false},
      {"exFAT heap past the volume", kExfat, exfatSet(92, static_cast<uint32_t>(exfat.volumeLength), 4), IsExfat,
       false},
      {"exFAT root outside the heap", kExfat, exfatSet(96, 1, 4), IsExfat, false},
      {"exFAT checksummed byte", kExfat, set(1000, 0xA5), IsExfat, false},
  };
  for (const auto& c : cases) {
    Bytes b = Volume(c.kind);
    c.change(b);
    EXPECT_EQ(c.probe(b.data(), b.size()), c.expected) << c.what;
  }
  // A damaged main exFAT region: the backup 12 sectors in still tells, until it goes too.
  Bytes b = Volume(kExfat);
  EXPECT_EQ(ProbeVolume(b.data(), b.size()), VolumeKind::kExfat);
  exfatSet(109, 25 - 9 + 1, 1)(b);
  EXPECT_EQ(ProbeVolume(b.data(), b.size()), VolumeKind::kExfat);
  std::fill(b.begin() + kExfatBackupBootSector * 512, b.begin() + 2 * kExfatBackupBootSector * 512, 0);
  EXPECT_EQ(ProbeVolume(b.data(), b.size()), VolumeKind::kUnknown);
}

TEST(ImageDisks, SourcesBecomeDiskNumbers) {
  test::TempDir dir;
  for (const char* disk : {"disk0", "disk1"}) test::WriteFileBytes(dir / disk, test::RandomBytes(1024, disk[4]));
  test::ScopedEnv diskDir("VORLENTA_DISK_DIR", dir.path());
  const struct {
    std::string source;
    int status;
    int disk;
    const char* file;  // what the disk number leads to
  } cases[] = {{"disk:1", 0, 1, "disk1"},      {"disk:0", 0, 0, "disk0"},
               {"disk:2", ENOENT, -1, ""},     {"disk:", 87, -1, ""},
               {"disk:1x", 87, -1, ""},        {"disk:999", 87, -1, ""},
               {dir / "disk1", 0, 0, "disk1"}, {dir / "missing.img", ENOENT, -1, ""}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.source);
    CImageDisks images;
    int disk = -1;
    EXPECT_EQ(PresentSource(c.source, images, disk), c.status);
    EXPECT_EQ(disk, c.disk);
    std::string path;
    if (c.status == 0 && GetDiskPath(disk, path) == 0) {
      EXPECT_EQ(test::ReadFileBytes(path), test::ReadFileBytes(dir / c.file));
    }
    EXPECT_EQ(c.status == 0, !path.empty());
  }
  EXPECT_STREQ(std::getenv("VORLENTA_DISK_DIR"), dir.path().c_str());
}

}  // namespace
}  // namespace vorlenta
