// FAT directory entries: dates, checksum, the entry validity rules and the directory-sector
// tests, on entries built byte by byte and on directory sectors of images made by mkfs.fat
// and mtools.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "format/fat_record.h"
#include "support/fat_image.h"
#include "support/test_support.h"

namespace vorlenta {
namespace {

using test::ReadFileBytes;
using test::RunCommand;
using test::ScopedEnv;
using test::ShellQuote;
using test::TempDir;

constexpr int64_t kDay = 86400;

// Days from 1970-01-01 to a proleptic Gregorian date (month 1-12, any day), an independent model
// of the calendar for the expected values.
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2 ? 1 : 0;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

uint16_t FatDate(int year, int month, int day) {
  return static_cast<uint16_t>(((year - 1980) << 9) | (month << 5) | day);
}

// UTC midnight the C library makes of a date word: an out-of-range month leaves month and day
// zero (so December 31 of the year before), a day 0 is the last day of the month before, and
// days past the month's end run on into the next month.
int64_t ModelUtcMidnight(uint16_t word) {
  const int year = 1980 + (word >> 9);
  const int month = (word >> 5) & 0x0F;
  const int day = word & 0x1F;
  const bool monthValid = month >= 1 && month <= 12;
  return (DaysFromCivil(year, monthValid ? month : 1, 1) + (monthValid ? day : 0) - 1) * kDay;
}

// Fixture: every test here runs under an explicit time zone.
class FatRecordTest : public ::testing::Test {
 protected:
  ScopedEnv tz_{"TZ", "UTC0"};
};

struct TzCase {
  const char* tz;
  int64_t offsetSeconds;  // UTC minus local standard time
};

TEST_F(FatRecordTest, DateConversionIsLocalStandardMidnightForEveryDateWordAndFollowsTz) {
  // Alternating zones checks that the cached conversion is rebuilt when TZ changes.
  const TzCase zones[] = {
      {"UTC0", 0}, {"CST-8", -8 * 3600}, {"UTC0", 0}, {"XXX11", 11 * 3600}, {"EST5EDT,M3.2.0,M11.1.0", 5 * 3600},
  };
  for (const TzCase& zone : zones) {
    ScopedEnv tz("TZ", zone.tz);
    int mismatches = 0;
    for (uint32_t w = 0; w < 65536; ++w) {
      const uint16_t word = static_cast<uint16_t>(w);
      const int64_t expected = ModelUtcMidnight(word) + zone.offsetSeconds;
      if (FatDateToTime(word) != expected || FatDateToTimeUncached(word) != expected) {
        if (++mismatches <= 5) {
          ADD_FAILURE() << "TZ=" << zone.tz << " word 0x" << std::hex << w << std::dec << ": cached "
                        << FatDateToTime(word) << ", direct " << FatDateToTimeUncached(word) << ", expected "
                        << expected;
        }
      }
    }
    EXPECT_EQ(mismatches, 0) << "TZ=" << zone.tz;
  }
}

// One short entry, byte by byte.
struct EntryFields {
  const char* name11;
  uint8_t attr;
  uint32_t size;
  uint16_t clusterHigh;
  uint16_t clusterLow;
  uint16_t createDate;
  uint16_t accessDate;
  uint16_t writeDate;
};

std::vector<uint8_t> MakeEntry(const EntryFields& s) {
  std::vector<uint8_t> e(kFatEntrySize, 0);
  std::memcpy(e.data(), s.name11, kFatShortNameLength);
  e[kFatAttrOffset] = s.attr;
  WriteU16LE(e.data(), kFatCreateDateOffset, s.createDate);
  WriteU16LE(e.data(), kFatAccessDateOffset, s.accessDate);
  WriteU16LE(e.data(), kFatClusterHighOffset, s.clusterHigh);
  WriteU16LE(e.data(), kFatWriteDateOffset, s.writeDate);
  WriteU16LE(e.data(), kFatClusterLowOffset, s.clusterLow);
  WriteU32LE(e.data(), kFatFileSizeOffset, s.size);
  return e;
}

// A long-name entry holding `units` (up to 13, terminated and padded as real tools do).
std::vector<uint8_t> MakeLongNameEntry(uint8_t sequence, uint8_t checksum, const std::u16string& units) {
  std::vector<uint8_t> e(kFatEntrySize, 0);
  e[kLfnSequenceOffset] = sequence;
  e[kFatAttrOffset] = kFatAttrLongName;
  e[kLfnChecksumOffset] = checksum;
  const size_t slots[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
  for (size_t i = 0; i < 13; ++i) {
    const uint16_t unit = i < units.size() ? units[i] : (i == units.size() ? 0x0000 : 0xFFFF);
    WriteU16LE(e.data(), slots[i], unit);
  }
  return e;
}

TEST_F(FatRecordTest, EntryValidityRules) {
  const uint16_t d2015 = FatDate(2015, 6, 15);
  const uint16_t d1990 = FatDate(1990, 1, 1);
  struct Case {
    const char* what;
    EntryFields fields;
    int expected;
  };
  const Case cases[] = {
      {"file with archive bit", {"PHOTO   JPG", 0x20, 1000, 0, 5, d2015, d2015, d2015}, 1},
      {"read-only file with archive bit", {"PHOTO   JPG", 0x21, 1000, 0, 5, d2015, d2015, d2015}, 1},
      {"file without archive bit", {"PHOTO   JPG", 0x00, 1000, 0, 5, d2015, d2015, d2015}, 0},
      {"hidden system archive file", {"IO      SYS", 0x26, 1000, 0, 5, d2015, d2015, d2015}, 1},
      {"live file dated 1990", {"PHOTO   JPG", 0x20, 1000, 0, 5, d1990, d1990, d1990}, 0},
      {"deleted file dated 1990", {"\xE5HOTO   JPG", 0x20, 1000, 0, 5, d1990, d1990, d1990}, 1},
      {"directory dated 1990", {"DCIM       ", 0x10, 0, 0, 5, d1990, d1990, d1990}, 1},
      {"only the creation date out of range", {"PHOTO   JPG", 0x20, 1000, 0, 5, 0, d2015, d2015}, 0},
      {"only the write date out of range", {"PHOTO   JPG", 0x20, 1000, 0, 5, d2015, d2015, d1990}, 0},
      {"day before the earliest date", {"PHOTO   JPG", 0x20, 1, 0, 5, FatDate(1991, 5, 3), d2015, d2015}, 0},
      {"earliest whole day", {"PHOTO   JPG", 0x20, 1, 0, 5, FatDate(1991, 5, 4), d2015, d2015}, 1},
      {"latest day", {"PHOTO   JPG", 0x20, 1, 0, 5, d2015, FatDate(2080, 1, 23), d2015}, 1},
      {"day after the latest day", {"PHOTO   JPG", 0x20, 1, 0, 5, d2015, FatDate(2080, 1, 24), d2015}, 0},
      {"empty file owning a cluster", {"EMPTY   TXT", 0x20, 0, 0, 7, d2015, d2015, d2015}, 0},
      {"empty file without a cluster", {"EMPTY   TXT", 0x20, 0, 0, 0, d2015, d2015, d2015}, 1},
      {"volume label", {"MY CARD    ", 0x08, 0, 0, 0, d2015, d2015, d2015}, 1},
      {"volume label owning a cluster", {"MY CARD    ", 0x08, 0, 0, 3, d2015, d2015, d2015}, 0},
      {"volume label with a size", {"MY CARD    ", 0x08, 10, 0, 0, d2015, d2015, d2015}, 0},
      {"label bit on a directory", {"DCIM       ", 0x18, 0, 0, 5, d2015, d2015, d2015}, 0},
      {"read-only directory", {"DCIM       ", 0x11, 0, 0, 5, d2015, d2015, d2015}, 0},
      {"attribute bit 0x40", {"PHOTO   JPG", 0x60, 10, 0, 5, d2015, d2015, d2015}, 0},
      {"live directory with a size", {"DCIM       ", 0x10, 4096, 0, 5, d2015, d2015, d2015}, 0},
      {"deleted directory with a size", {"\xE5" "CIM       ", 0x10, 4096, 0, 5, d2015, d2015, d2015}, 1},
      {"lower case in a live name", {"Photo   JPG", 0x20, 10, 0, 5, d2015, d2015, d2015}, 0},
      {"lower case in an extension", {"PHOTO   jpg", 0x20, 10, 0, 5, d2015, d2015, d2015}, 0},
      {"double-byte name", {"\xD5\xD5\xC6\xAC    JPG", 0x20, 10, 0, 5, d2015, d2015, d2015}, 1},
  };
  for (const Case& c : cases) {
    const std::vector<uint8_t> e = MakeEntry(c.fields);
    EXPECT_EQ(IsFatEntyValid(FAT32_Entry(e.data(), e.size())), c.expected) << c.what;
  }

  // Every forbidden character, in any of the 11 positions, invalidates a live or deleted name.
  const char forbidden[] = {'\\', ':', '*', '?', '"', '<', '>', '|', '.', 0x1F, 0x00};
  for (char bad : forbidden) {
    for (size_t pos = 1; pos < kFatShortNameLength; ++pos) {
      std::vector<uint8_t> e = MakeEntry({"PHOTO   JPG", 0x20, 10, 0, 5, d2015, d2015, d2015});
      e[pos] = static_cast<uint8_t>(bad);
      EXPECT_EQ(IsFatEntyValid(FAT32_Entry(e.data(), e.size())), 0) << "byte " << int(bad) << " at " << pos;
      EXPECT_EQ(IsInvalidShortFileName(e.data()), 1);
    }
  }
}

TEST_F(FatRecordTest, LongNameEntryRules) {
  struct Case {
    const char* what;
    uint8_t sequence;
    uint16_t cluster;
    int expected;
  };
  const Case cases[] = {
      {"first of one", 0x41, 0, 1},
      {"eighteenth, last", 0x40 + 18, 0, 1},
      {"nineteenth, last", 0x40 + 19, 0, 0},
      {"eighteenth, not last", 18, 0, 1},
      {"nineteenth, not last", 19, 0, 0},
      {"deleted", kFatDeletedMarker, 0, 1},
      {"with a cluster", 0x41, 2, 0},
      {"deleted with a cluster", kFatDeletedMarker, 2, 0},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> e = MakeLongNameEntry(c.sequence, 0x5A, u"holiday.jpg");
    WriteU16LE(e.data(), kLfnClusterOffset, c.cluster);
    EXPECT_EQ(IsFatEntyValid(FAT32_Entry(e.data(), e.size())), c.expected) << c.what;
  }
}

// A card made by mkfs.fat and filled by mtools: a long name, a subdirectory that spans several
// sectors, a deleted short name and a deleted long name, every date 2015-06-15.
std::vector<uint8_t> MakeFilledCard(const TempDir& dir, const std::string& options, unsigned kib) {
  const std::string img = dir / "card.img";
  const std::string a = dir / "a.txt";
  test::WriteFileBytes(a, {'h', 'e', 'l', 'l', 'o'});
  bool ok = RunCommand("touch -d '2015-06-15 13:45:00' " + ShellQuote(a)) == 0 &&
            test::MakeFatVolume(img, kib, options + " -n TESTVOL");
  auto put = [&](const std::string& target) {
    ok = ok && test::Mtools(img, "mcopy", "-m " + ShellQuote(a) + " " + ShellQuote("::" + target));
  };
  put("Long File Name Example.txt");
  ok = ok && test::Mtools(img, "mmd", "::SubDir");
  for (int n = 1; n <= 12; ++n) put("SubDir/Holiday picture number " + std::to_string(n) + ".jpg");
  put("gone.txt");
  put("SubDir/Removed long name document.txt");
  ok = ok && test::Mtools(img, "mdel", "::gone.txt") &&
       test::Mtools(img, "mdel", ShellQuote("::SubDir/Removed long name document.txt"));
  EXPECT_TRUE(ok);
  return ReadFileBytes(img);
}

std::vector<uint8_t> SectorOf(const std::vector<uint8_t>& image, size_t offset) {
  const size_t start = offset / 512 * 512;
  return std::vector<uint8_t>(image.begin() + static_cast<long>(start), image.begin() + static_cast<long>(start + 512));
}

// Offsets of 32-byte-aligned entries whose first bytes equal `prefix`.
std::vector<size_t> FindEntries(const std::vector<uint8_t>& image, const std::string& prefix) {
  std::vector<size_t> found;
  for (size_t off = 0; off + kFatEntrySize <= image.size(); off += kFatEntrySize) {
    if (std::memcmp(&image[off], prefix.data(), prefix.size()) == 0) found.push_back(off);
  }
  return found;
}

// Offsets of long-name entries (attribute 0x0F) whose text contains `text`.
std::vector<size_t> FindLongNameEntries(const std::vector<uint8_t>& image, const std::u16string& text) {
  std::vector<size_t> found;
  for (size_t off = 0; off + kFatEntrySize <= image.size(); off += kFatEntrySize) {
    const FAT32_Entry e(&image[off], kFatEntrySize);
    if (!e.IsLongName()) continue;
    char16_t units[kLfnUnitsPerEntry];
    const int n = e.LongNameUnits(units);
    if (std::u16string(units, static_cast<size_t>(n)).find(text) != std::u16string::npos) found.push_back(off);
  }
  return found;
}

struct FatVariant {
  const char* mkfsOptions;
  unsigned kib;
};
const FatVariant kFatVariants[] = {{"-F 12", 2048}, {"-F 16 -s 2", 8192}, {"-F 32 -s 1", 40960}};

TEST_F(FatRecordTest, DirectorySectorsOfRealImages) {
  VORLENTA_REQUIRE_TOOL("mkfs.fat");
  VORLENTA_REQUIRE_TOOL("mcopy");
  for (const FatVariant& v : kFatVariants) {
    SCOPED_TRACE(v.mkfsOptions);
    TempDir dir;
    const std::vector<uint8_t> image = MakeFilledCard(dir, v.mkfsOptions, v.kib);
    ASSERT_FALSE(image.empty());

    // The root directory: volume label, a long name, a directory, a deleted entry.
    std::vector<size_t> label;
    for (size_t off : FindEntries(image, "TESTVOL    ")) {
      if (image[off + kFatAttrOffset] == kFatAttrVolumeLabel) label.push_back(off);
    }
    ASSERT_EQ(label.size(), 1u);
    const size_t rootSector = label[0] / 512;
    const std::vector<uint8_t> root = SectorOf(image, label[0]);
    EXPECT_EQ(FindEntries(root, "\xE5ONE    TXT").size(), 1u) << "mdel leaves the entry with its marker";

    // The subdirectory spans several sectors; its first is the head.
    const std::vector<size_t> holidays = FindLongNameEntries(image, u"Holiday");
    ASSERT_EQ(holidays.size(), 12u);
    std::vector<size_t> subdirSectors;
    for (size_t off : holidays) {
      if (subdirSectors.empty() || subdirSectors.back() != off / 512) subdirSectors.push_back(off / 512);
    }
    ASSERT_GE(subdirSectors.size(), 2u) << "the subdirectory must span several sectors";
    const std::vector<size_t> heads = FindEntries(image, ".          \x10");
    ASSERT_EQ(heads.size(), 1u);
    const size_t headSector = heads[0] / 512;
    ASSERT_EQ(heads[0] % 512, 0u);
    ASSERT_EQ(headSector, subdirSectors.front());

    // The deleted long name keeps its chain of deleted entries inside the subdirectory.
    const std::vector<size_t> removed = FindLongNameEntries(image, u"document");
    ASSERT_EQ(removed.size(), 1u);
    EXPECT_EQ(image[removed[0]], kFatDeletedMarker);
    const size_t removedSector = removed[0] / 512;

    // Over the whole image, exactly the directory sectors are runs of entries and exactly the
    // subdirectory's first sector is a head: not the boot sector, the FATs, the file data.
    for (size_t s = 0; s < image.size() / 512; ++s) {
      const uint8_t* sector = &image[s * 512];
      const bool inSubdir = s == removedSector ||
                            std::find(subdirSectors.begin(), subdirSectors.end(), s) != subdirSectors.end();
      const bool isRun = s == rootSector || (inSubdir && s != headSector);
      EXPECT_EQ(IsFatFDTRecord(sector, 512), isRun ? 1 : 0) << "sector " << s;
      EXPECT_EQ(IsFatFileRecord(sector, 512), s == headSector ? 1 : 0) << "sector " << s;
    }
  }
}

// Sectors edited from a real root directory, one rule at a time.
TEST_F(FatRecordTest, DirectorySectorRules) {
  VORLENTA_REQUIRE_TOOL("mkfs.fat");
  TempDir dir;
  const std::vector<uint8_t> image = MakeFilledCard(dir, "-F 16 -s 2", 8192);
  std::vector<size_t> label;
  for (size_t off : FindEntries(image, "TESTVOL    ")) {
    if (image[off + kFatAttrOffset] == kFatAttrVolumeLabel) label.push_back(off);
  }
  ASSERT_EQ(label.size(), 1u);
  const std::vector<uint8_t> root = SectorOf(image, label[0]);
  ASSERT_EQ(IsFatFDTRecord(root.data(), 512), 1);
  // Entries 1 and 2 are the long name of entry 3 ("LONGFI~1TXT"); entry 6 is the deleted
  // "gone.txt", which has no long name, so its name can be edited alone.
  ASSERT_EQ(root[32 + kFatAttrOffset], kFatAttrLongName);
  ASSERT_EQ(root[64 + kFatAttrOffset], kFatAttrLongName);
  ASSERT_NE(root[96 + kFatAttrOffset], kFatAttrLongName);
  ASSERT_EQ(std::memcmp(&root[192], "\xE5ONE    TXT", 11), 0);
  size_t used = 0;
  while (used < 16 && root[used * 32] != 0) ++used;
  ASSERT_LT(used, 16u);

  struct Edit {
    const char* what;
    size_t offset;
    std::vector<uint8_t> bytes;
    int expected;
  };
  const Edit edits[] = {
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
  };
  for (const Edit& edit : edits) {
    std::vector<uint8_t> sector = root;
    std::memcpy(&sector[edit.offset], edit.bytes.data(), edit.bytes.size());
    EXPECT_EQ(IsFatFDTRecord(sector.data(), 512), edit.expected) << edit.what;
  }

  // The first entry alone, then zeros, is a directory sector; zeros alone are not.
  std::vector<uint8_t> single(512, 0);
  std::memcpy(single.data(), root.data(), 32);
  EXPECT_EQ(IsFatFDTRecord(single.data(), 512), 1);
  const std::vector<uint8_t> zeros(512, 0);
  EXPECT_EQ(IsFatFDTRecord(zeros.data(), 512), 0);

  // A long name whose short entry lies beyond the buffer is accepted.
  EXPECT_EQ(IsFatFDTRecord(root.data(), 96), 1);
  EXPECT_EQ(IsFatFDTRecord(root.data(), 64), 1);
  // A run that fills the whole buffer needs no end marker.
  EXPECT_EQ(IsFatFDTRecord(root.data(), static_cast<int>(used * 32)), 1);

  // A valid entry whose bytes 1-14 recur at 17-30, as in a sector filled with a 16-byte pattern:
  // attribute 0x20 doubles as the cluster's high byte, the name letters as dates.
  std::vector<uint8_t> pattern(512, 0);
  const uint8_t head[] = {'P', 'H', 'O', 'T', 'O', '1', '2', ' ', 'T', 'X', 'T', 0x20, 0x00, 0x05, 0x00, 0x00, 0x21};
  std::memcpy(pattern.data(), head, sizeof head);
  std::memcpy(&pattern[17], &pattern[1], 14);
  ASSERT_EQ(IsFatEntyValid(FAT32_Entry(pattern.data(), 512)), 1);
  EXPECT_EQ(IsFatFDTRecord(pattern.data(), 512), 0);
  pattern[30] = 0x01;  // the size's third byte: the halves differ now
  ASSERT_EQ(IsFatEntyValid(FAT32_Entry(pattern.data(), 512)), 1);
  EXPECT_EQ(IsFatFDTRecord(pattern.data(), 512), 1);

  // A short entry whose name starts with a blank run, deleted: the pair scan starts at byte 1.
  std::vector<uint8_t> deletedPair = root;
  const uint8_t name[] = {kFatDeletedMarker, 0xB0, 0xA1, 'A', ' ', ' ', ' ', ' ', 'T', 'X', 'T'};
  std::memcpy(&deletedPair[96], name, sizeof name);
  EXPECT_EQ(IsFatFDTRecord(deletedPair.data(), 512), 1);
}

TEST_F(FatRecordTest, HeadNeedsBothEntriesInTheBuffer) {
  const uint16_t d = FatDate(2020, 2, 2);
  std::vector<uint8_t> head = MakeEntry({".          ", 0x10, 0, 0, 5, d, d, d});
  const std::vector<uint8_t> parent = MakeEntry({"..         ", 0x10, 0, 0, 0, d, d, d});
  head.insert(head.end(), parent.begin(), parent.end());
  head.resize(512, 0);
  EXPECT_EQ(IsFatFileRecord(head.data(), 512), 1);
  EXPECT_EQ(IsFatFileRecord(head.data(), 64), 1);
  EXPECT_EQ(IsFatFileRecord(head.data(), 63), 0);
  EXPECT_EQ(IsFatFileRecord(nullptr, 512), 0);
  // The "." entry is valid as a head, but not as the last entry of a buffer.
  EXPECT_EQ(IsFatEntyValid(FAT32_Entry(head.data(), 512)), 1);
  EXPECT_EQ(IsFatEntyValid(FAT32_Entry(head.data(), 32)), 0);
  EXPECT_EQ(IsFatEntyValid(FAT32_Entry(head.data(), 31)), 0);
  // Heads are told apart from runs of entries.
  EXPECT_EQ(IsFatFDTRecord(head.data(), 512), 0);

  struct Spoil {
    const char* what;
    size_t offset;
    uint8_t value;
  };
  const Spoil spoils[] = {
      {"first entry not a dot", 0, 'A'},
      {"first entry not a directory", kFatAttrOffset, 0x20},
      {"first entry with a size", kFatFileSizeOffset, 1},
      {"second entry not dot-dot", 33, ' '},
      {"second entry not a directory", 32 + kFatAttrOffset, 0x20},
      {"second entry with a size", 32 + kFatFileSizeOffset + 3, 1},
  };
  for (const Spoil& s : spoils) {
    std::vector<uint8_t> spoiled = head;
    spoiled[s.offset] = s.value;
    EXPECT_EQ(IsFatFileRecord(spoiled.data(), 512), 0) << s.what;
  }
}

}  // namespace
}  // namespace vorlenta
