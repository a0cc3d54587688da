// FAT directory entries: dates, the entry validity rules and the directory-sector tests, on
// sectors of a card made by mkfs.fat and mtools changed one field at a time, and on short
// entries built byte by byte where no tool writes such an entry.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "format/fat_record.h"
#include "support/fat_image.h"
#include "support/test_support.h"

namespace vorlenta {
namespace {

using Bytes = std::vector<uint8_t>;
using test::ShellQuote;

// UTC midnight the C library makes of a date word: an out-of-range month leaves month and day
// zero (so December 31 of the year before), and days outside the month run on into the next.
int64_t ModelUtcMidnight(uint16_t word) {
  const int month = (word >> 5) & 0x0F;
  const bool monthValid = month >= 1 && month <= 12;
  std::tm t{};
  t.tm_year = 80 + (word >> 9);
  t.tm_mon = monthValid ? month - 1 : 0;
  t.tm_mday = monthValid ? word & 0x1F : 0;
  return static_cast<int64_t>(timegm(&t));
}

TEST(FatDates, LocalStandardMidnightForEveryDateWordAndFollowsTz) {
  // UTC minus local standard time; alternating zones checks that the cache is rebuilt.
  const std::pair<const char*, int64_t> zones[] = {
      {"UTC0", 0}, {"CST-8", -8 * 3600}, {"UTC0", 0}, {"XXX11", 11 * 3600}, {"EST5EDT,M3.2.0,M11.1.0", 5 * 3600},
  };
  for (const auto& [tz, offset] : zones) {
    test::ScopedEnv env("TZ", tz);
    int mismatches = 0;
    for (uint32_t w = 0; w < 65536; ++w) {
      const uint16_t word = static_cast<uint16_t>(w);
      const int64_t expected = ModelUtcMidnight(word) + offset;
      if ((FatDateToTime(word) != expected || FatDateToTimeUncached(word) != expected) && ++mismatches == 1) {
        ADD_FAILURE() << "TZ=" << tz << " word 0x" << std::hex << w << std::dec << ": cached " << FatDateToTime(word)
                      << ", direct " << FatDateToTimeUncached(word) << ", expected " << expected;
      }
    }
    EXPECT_EQ(mismatches, 0) << "TZ=" << tz;
  }
}

uint16_t FatDate(int year, int month, int day) {
  return static_cast<uint16_t>(((year - 1980) << 9) | (month << 5) | day);
}

// Every test runs under an explicit time zone, on the root's first sector and SubDir's head of a
// FAT16 card filled by mtools. Root entries: 0 the label, 1-2 the long name of 3 ("LONGFI~1TXT",
// dated 2015-06-15), 4-5 SubDir, and at 6 the deleted "gone.txt", which has no long name.
class FatRecordTest : public ::testing::Test {
 protected:
  void SetUp() override {
    VORLENTA_REQUIRE_TOOL("mkfs.fat");
    VORLENTA_REQUIRE_TOOL("mcopy");
    const std::string img = dir_ / "card.img", a = dir_ / "a.txt";
    test::WriteFileBytes(a, {'h', 'e', 'l', 'l', 'o'});
    auto put = [&](const std::string& target) {
      return test::Mtools(img, "mcopy", "-m " + ShellQuote(a) + " " + ShellQuote("::" + target));
    };
    ASSERT_TRUE(test::RunCommand("touch -d '2015-06-15 13:45:00' " + ShellQuote(a)) == 0 &&
                test::MakeFatVolume(img, 8192, "-F 16 -s 2 -n TESTVOL") && put("Long File Name Example.txt") &&
                test::Mtools(img, "mmd", "::SubDir") && put("gone.txt") && put("SubDir/Inner.txt") &&
                test::Mtools(img, "mdel", "::gone.txt"));
    const Bytes image = test::ReadFileBytes(img);
    for (size_t at = 0; at + 512 <= image.size(); at += 512) {
      if (std::memcmp(&image[at], "TESTVOL    \x08", 12) == 0) root_.assign(&image[at], &image[at + 512]);
      if (std::memcmp(&image[at], ".          \x10", 12) == 0) head_.assign(&image[at], &image[at + 512]);
    }
    ASSERT_EQ(root_.size(), 512u);
    ASSERT_EQ(head_.size(), 512u);
    ASSERT_EQ(root_[32 + kFatAttrOffset], kFatAttrLongName);
    ASSERT_EQ(root_[64 + kFatAttrOffset], kFatAttrLongName);
    ASSERT_EQ(std::memcmp(&root_[96], "LONGFI~1TXT\x20", 12), 0);
    ASSERT_EQ(std::memcmp(&root_[160], "SUBDIR     \x10", 12), 0);
    ASSERT_EQ(std::memcmp(&root_[192], "\xE5ONE    TXT", 11), 0) << "mdel leaves the entry with its marker";
  }

  test::ScopedEnv tz_{"TZ", "UTC0"};
  test::TempDir dir_;
  Bytes root_, head_;
};

TEST_F(FatRecordTest, EntryValidityRules) {
  // The label, the first long-name, the file and the folder entries of the root, changed a field
  // at a time.
  enum : size_t { kLabel = 0, kLongName = 32, kFile = 96, kFolder = 160 };
  using Change = std::function<void(Bytes&)>;
  auto u8 = [](size_t at, uint8_t v) -> Change { return [=](Bytes& e) { e[at] = v; }; };
  auto u16 = [](size_t at, uint16_t v) -> Change { return [=](Bytes& e) { WriteU16LE(e.data(), at, v); }; };
  auto u32 = [](size_t at, uint32_t v) -> Change { return [=](Bytes& e) { WriteU32LE(e.data(), at, v); }; };
  auto both = [](Change x, Change y) -> Change {
    return [=](Bytes& e) {
      x(e);
      y(e);
    };
  };
  const Change none = [](Bytes&) {}, deleted = u8(0, kFatDeletedMarker);
  const uint16_t d1990 = FatDate(1990, 1, 1);
  const Change in1990 =
      both(u16(kFatCreateDateOffset, d1990), both(u16(kFatAccessDateOffset, d1990), u16(kFatWriteDateOffset, d1990)));
  const struct {
    const char* what;
    size_t entry;
    Change change;
    int expected;
  } cases[] = {
      {"file with archive bit", kFile, none, 1},
      {"read-only file with archive bit", kFile, u8(kFatAttrOffset, 0x21), 1},
      {"file without archive bit", kFile, u8(kFatAttrOffset, 0x00), 0},
      {"hidden system archive file", kFile, u8(kFatAttrOffset, 0x26), 1},
      {"attribute bit 0x40", kFile, u8(kFatAttrOffset, 0x60), 0},
      {"live file dated 1990", kFile, in1990, 0},
      {"deleted file dated 1990", kFile, both(deleted, in1990), 1},
      {"directory dated 1990", kFolder, in1990, 1},
      {"only the creation date out of range", kFile, u16(kFatCreateDateOffset, 0), 0},
      {"only the write date out of range", kFile, u16(kFatWriteDateOffset, d1990), 0},
      {"day before the earliest date", kFile, u16(kFatCreateDateOffset, FatDate(1991, 5, 3)), 0},
      {"earliest whole day", kFile, u16(kFatCreateDateOffset, FatDate(1991, 5, 4)), 1},
      {"latest day", kFile, u16(kFatAccessDateOffset, FatDate(2080, 1, 23)), 1},
      {"day after the latest day", kFile, u16(kFatAccessDateOffset, FatDate(2080, 1, 24)), 0},
      {"empty file owning a cluster", kFile, u32(kFatFileSizeOffset, 0), 0},
      {"empty file without a cluster", kFile, both(u32(kFatFileSizeOffset, 0), u16(kFatClusterLowOffset, 0)), 1},
      {"volume label", kLabel, none, 1},
      {"volume label owning a cluster", kLabel, u16(kFatClusterLowOffset, 3), 0},
      {"volume label with a size", kLabel, u32(kFatFileSizeOffset, 10), 0},
      {"label bit on a directory", kFolder, u8(kFatAttrOffset, 0x18), 0},
      {"read-only directory", kFolder, u8(kFatAttrOffset, 0x11), 0},
      {"live directory with a size", kFolder, u32(kFatFileSizeOffset, 4096), 0},
      {"deleted directory with a size", kFolder, both(deleted, u32(kFatFileSizeOffset, 4096)), 1},
      {"lower case in a live name", kFile, u8(1, 'o'), 0},
      {"lower case in an extension", kFile, u8(9, 'x'), 0},
      {"double-byte name", kFile, both(u16(0, 0xD5D5), u16(2, 0xACC6)), 1},
      {"long name, first of one", kLongName, u8(kLfnSequenceOffset, 0x41), 1},
      {"long name, eighteenth, last", kLongName, u8(kLfnSequenceOffset, 0x40 + 18), 1},
      {"long name, nineteenth, last", kLongName, u8(kLfnSequenceOffset, 0x40 + 19), 0},
      {"long name, eighteenth, not last", kLongName, u8(kLfnSequenceOffset, 18), 1},
      {"long name, nineteenth, not last", kLongName, u8(kLfnSequenceOffset, 19), 0},
      {"long name, deleted", kLongName, deleted, 1},
      {"long name with a cluster", kLongName, u16(kLfnClusterOffset, 2), 0},
      {"deleted long name with a cluster", kLongName, both(deleted, u16(kLfnClusterOffset, 2)), 0},
  };
  for (const auto& c : cases) {
    Bytes e(&root_[c.entry], &root_[c.entry + kFatEntrySize]);
    c.change(e);
    EXPECT_EQ(IsFatEntyValid(FAT32_Entry(e.data(), e.size())), c.expected) << c.what;
  }

  // Every forbidden character, in any of the 11 positions, invalidates a live or deleted name.
  for (char bad : {'\\', ':', '*', '?', '"', '<', '>', '|', '.', '\x1F', '\0'}) {
    for (size_t pos = 1; pos < kFatShortNameLength; ++pos) {
      Bytes e(&root_[96], &root_[128]);
      e[pos] = static_cast<uint8_t>(bad);
      EXPECT_EQ(IsFatEntyValid(FAT32_Entry(e.data(), e.size())), 0) << "byte " << int(bad) << " at " << pos;
      EXPECT_EQ(IsInvalidShortFileName(e.data()), 1);
    }
  }
}

TEST_F(FatRecordTest, DirectorySectorAndHeadRules) {
  ASSERT_EQ(IsFatFDTRecord(root_.data(), 512), 1);
  ASSERT_EQ(IsFatFileRecord(head_.data(), 512), 1);

  // Edits of the root's first sector, or of SubDir's head where `head`.
  const struct {
    const char* what;
    size_t offset;
    Bytes bytes;
    int expected;
    bool head = false;
  } edits[] = {
      {"garbage after the end marker", 500, {0x01}, 0},
      {"long-name checksum differing from its short entry", 32 + kLfnChecksumOffset, {0x00}, 0},
      {"second long-name entry with another checksum than the first", 64 + kLfnChecksumOffset, {0x00}, 0},
      {"blank inside the name", 192 + 2, {' '}, 0},
      {"blank inside the extension", 192 + 9, {' '}, 0},
      {"dot in the name", 192 + 7, {'.'}, 0},
      {"control byte in the name", 192 + 3, {0x05}, 0},
      {"lone high-bit byte", 192 + 4, {0xD5}, 0},
      {"high-bit pair", 192 + 4, {0xD5, 0xD5}, 1},
      {"high-bit pair opened at the tenth byte", 192 + 9, {0xC1, 0xC1}, 1},
      {"high-bit byte at the tenth byte followed by a plain byte", 192 + 9, {0xC1}, 0},
      {"deleted short entry: its checksum is not compared", 96, {kFatDeletedMarker}, 1},
      // The pair scan of a deleted name starts at byte 1.
      {"deleted short entry opening with a high-bit pair",
       96,
       {kFatDeletedMarker, 0xB0, 0xA1, 'A', ' ', ' ', ' ', ' '},
       1},
      {"head's first entry not a dot", 0, {'A'}, 0, true},
      {"head's first entry not a directory", kFatAttrOffset, {0x20}, 0, true},
      {"head's first entry with a size", kFatFileSizeOffset, {1}, 0, true},
      {"head's second entry not dot-dot", 33, {' '}, 0, true},
      {"head's second entry not a directory", 32 + kFatAttrOffset, {0x20}, 0, true},
      {"head's second entry with a size", 32 + kFatFileSizeOffset + 3, {1}, 0, true},
  };
  for (const auto& edit : edits) {
    Bytes sector = edit.head ? head_ : root_;
    std::memcpy(&sector[edit.offset], edit.bytes.data(), edit.bytes.size());
    EXPECT_EQ(edit.head ? IsFatFileRecord(sector.data(), 512) : IsFatFDTRecord(sector.data(), 512), edit.expected)
        << edit.what;
  }

  // The first entry alone, then zeros, is a directory sector; zeros alone are not.
  Bytes single(512, 0);
  std::memcpy(single.data(), root_.data(), 32);
  EXPECT_EQ(IsFatFDTRecord(single.data(), 512), 1);
  const Bytes zeros(512, 0);
  EXPECT_EQ(IsFatFDTRecord(zeros.data(), 512), 0);

  // A valid entry whose bytes 1-14 recur at 17-30, as in a sector filled with a 16-byte pattern:
  // attribute 0x20 doubles as the cluster's high byte, the name letters as dates.
  Bytes pattern(512, 0);
  const uint8_t head[] = {'P', 'H', 'O', 'T', 'O', '1', '2', ' ', 'T', 'X', 'T', 0x20, 0x00, 0x05, 0x00, 0x00, 0x21};
  std::memcpy(pattern.data(), head, sizeof head);
  std::memcpy(&pattern[17], &pattern[1], 14);
  ASSERT_EQ(IsFatEntyValid(FAT32_Entry(pattern.data(), 512)), 1);
  EXPECT_EQ(IsFatFDTRecord(pattern.data(), 512), 0);
  pattern[30] = 0x01;  // the size's third byte: the halves differ now
  ASSERT_EQ(IsFatEntyValid(FAT32_Entry(pattern.data(), 512)), 1);
  EXPECT_EQ(IsFatFDTRecord(pattern.data(), 512), 1);
}

// Each parser over its real input cut at every length, in exact-size copies that the sanitizers
// watch: a head needs both its entries (the "." entry alone is no valid last entry); a run of
// entries needs no end marker, and a long name whose short entry lies beyond the end still counts.
TEST_F(FatRecordTest, CutBuffersAreJudgedByWhatTheyHoldAndNeverReadPastTheirEnd) {
  for (size_t n = 0; n <= 512; ++n) {
    const Bytes head(head_.begin(), head_.begin() + n), root(root_.begin(), root_.begin() + n);
    EXPECT_EQ(IsFatFileRecord(head.data(), n), n >= 64 ? 1 : 0) << n;
    EXPECT_EQ(IsFatEntyValid(FAT32_Entry(head.data(), n)), n >= 64 ? 1 : 0) << n;
    EXPECT_EQ(IsFatFDTRecord(root.data(), static_cast<int>(n)), n >= 32 ? 1 : 0) << n;
  }
  EXPECT_EQ(IsFatFileRecord(nullptr, 512), 0);
  // Heads are told apart from runs of entries.
  EXPECT_EQ(IsFatFDTRecord(head_.data(), 512), 0);
}

}  // namespace
}  // namespace vorlenta
