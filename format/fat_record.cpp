#include "format/fat_record.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

namespace vorlenta {

namespace {

// Where each group of a long-name entry's 13 UTF-16 units lies.
struct LfnUnitRun {
  size_t offset;
  int units;
};
constexpr LfnUnitRun kLfnUnitRuns[] = {{1, 5}, {14, 6}, {28, 2}};

// Dates of live files outside this window (1991-05-03 00:38:05 UTC to 2080-01-23 10:24:45 UTC)
// are taken for random bytes rather than a real entry.
constexpr int64_t kFatEarliestTime = 673231085;
constexpr int64_t kFatLatestTime = 3473231085;

constexpr uint8_t kHighBit = 0x80;
constexpr uint8_t kBlank = 0x20;
constexpr uint8_t kDot = '.';
// Bytes 1-14 compared with bytes 17-30: equal halves mean a repeating 16-byte fill pattern.
constexpr size_t kPatternFirstOffset = 1;
constexpr size_t kPatternSecondOffset = 17;
constexpr size_t kPatternLength = 14;
// Double-byte pairs are looked for in the first ten of the 11 name bytes.
constexpr int kPairScanEnd = 10;

// FAT date word fields.
constexpr int kFatYearBase = 1980;
constexpr unsigned kFatYearShift = 9;
constexpr unsigned kFatMonthShift = 5;
constexpr unsigned kFatMonthMask = 0x0F;
constexpr unsigned kFatDayMask = 0x1F;
constexpr size_t kDateWordCount = 65536;
constexpr int64_t kNotConverted = INT64_MIN;

// mktime depends on TZ, so the table is rebuilt whenever TZ has another value than the one
// it was filled under. Each thread has its own table: no locks on the scan's hot path.
class FatDateCache {
 public:
  int64_t Convert(uint16_t word) {
    int64_t& slot = m_table[word];
    if (slot == kNotConverted) slot = FatDateToTimeUncached(word);
    return slot;
  }

  // Makes the table match the current TZ; cheap when it already does.
  FatDateCache& Current() {
    const char* tz = std::getenv("TZ");
    const bool tzSet = tz != nullptr;
    if (m_table == nullptr || tzSet != m_tzSet || (tzSet && m_tz != tz)) {
      if (m_table == nullptr) m_table.reset(new int64_t[kDateWordCount]);
      for (size_t i = 0; i < kDateWordCount; ++i) m_table[i] = kNotConverted;
      m_tzSet = tzSet;
      m_tz = tzSet ? tz : "";
    }
    return *this;
  }

 private:
  std::unique_ptr<int64_t[]> m_table;
  bool m_tzSet = false;
  std::string m_tz;
};

FatDateCache& DateCache() {
  thread_local FatDateCache cache;
  return cache.Current();
}

void StoreFileTime(int64_t seconds, _FILETIME* out) {
  if (out == nullptr) return;
  const uint64_t bits = static_cast<uint64_t>(seconds);
  out->dwLowDateTime = static_cast<uint32_t>(bits);
  out->dwHighDateTime = static_cast<uint32_t>(bits >> 32);
}

bool IsDateInRange(int64_t t) { return t >= 0 && t >= kFatEarliestTime && t <= kFatLatestTime; }

// Both entries of a head must be directories of size 0.
bool IsEmptyDirectoryEntry(const unsigned char* entry, size_t length) {
  return (ReadU8(entry, length, kFatAttrOffset) & kFatAttrDirectory) != 0 &&
         ReadU32LE(entry, length, kFatFileSizeOffset) == 0;
}

// The extra rules a short entry must meet inside a run of directory entries.
bool IsPlausibleShortEntryName(const uint8_t* e) {
  for (size_t i = 0; i < kFatShortNameLength; ++i) {
    if (e[i] < kBlank || e[i] == kDot) return false;
  }
  // Names and extensions are blank-padded: nothing but blanks after the first blank.
  bool blank = false;
  for (size_t i = 0; i < kFatNameLength; ++i) {
    if (e[kFatNameOffset + i] == kBlank) {
      blank = true;
    } else if (blank) {
      return false;
    }
  }
  blank = false;
  for (size_t i = 0; i < kFatExtLength; ++i) {
    if (e[kFatExtOffset + i] == kBlank) {
      blank = true;
    } else if (blank) {
      return false;
    }
  }
  // Double-byte characters come as two high-bit bytes; a deleted entry's marker is no lead byte.
  for (int i = e[0] == kFatDeletedMarker ? 1 : 0; i < kPairScanEnd; ++i) {
    if ((e[i] & kHighBit) != 0) {
      if ((e[i + 1] & kHighBit) == 0) return false;
      ++i;
    }
  }
  return true;
}

// The entries after a long-name entry must carry its checksum up to the short entry they name.
bool IsLongNameChainConsistent(const unsigned char* buffer, size_t length, size_t index) {
  const size_t count = length / kFatEntrySize;
  const uint8_t checksum = buffer[index * kFatEntrySize + kLfnChecksumOffset];
  for (size_t j = index + 1; j < count && j <= index + kLfnMaxSequence; ++j) {
    const FAT32_Entry next = FAT32_Entry::At(buffer, length, j);
    if (!IsFatEntyValid(next)) return false;
    if (next.IsLongName()) {
      if (next.LongNameChecksum() != checksum) return false;
      continue;
    }
    if (!next.IsDeleted() && GetShortNameCheckSum(next.Bytes()) != checksum) return false;
    return true;
  }
  return true;
}

}  // namespace

int FAT32_Entry::LongNameUnits(char16_t out[kLfnUnitsPerEntry]) const {
  int count = 0;
  for (const LfnUnitRun& run : kLfnUnitRuns) {
    for (int i = 0; i < run.units; ++i) {
      const uint16_t unit = ReadU16LE(m_data, m_available, run.offset + 2 * static_cast<size_t>(i));
      if (unit == 0) return count;
      out[count++] = static_cast<char16_t>(unit);
    }
  }
  return count;
}

unsigned GetShortNameCheckSum(const uint8_t* name11) {
  if (name11 == nullptr) return 0;
  uint8_t sum = 0;
  for (size_t i = 0; i < kFatShortNameLength; ++i) {
    sum = static_cast<uint8_t>(((sum & 1) << 7) + (sum >> 1) + name11[i]);
  }
  return sum;
}

bool IsValidShortNameByte(uint8_t c) {
  if (c < kBlank) return false;
  if (c >= 'a' && c <= 'z') return false;
  switch (c) {
    case '\\':
    case ':':
    case '*':
    case '?':
    case '"':
    case '<':
    case '>':
    case '|':
    case '.':
      return false;
    default:
      return true;
  }
}

int IsInvalidShortFileName(const uint8_t* name11) {
  if (name11 == nullptr) return 1;
  for (size_t i = 0; i < kFatShortNameLength; ++i) {
    if (!IsValidShortNameByte(name11[i])) return 1;
  }
  return 0;
}

int64_t FatDateToTimeUncached(uint16_t dateWord) {
  struct tm calendar;
  std::memset(&calendar, 0, sizeof calendar);
  char text[16];
  std::snprintf(text, sizeof text, "%04u%02u%02u", kFatYearBase + (dateWord >> kFatYearShift),
                (dateWord >> kFatMonthShift) & kFatMonthMask, dateWord & kFatDayMask);
  // A field out of range stops the parse and stays zero; mktime then normalises it.
  (void)strptime(text, "%Y%m%d", &calendar);
  calendar.tm_isdst = 0;
  return static_cast<int64_t>(std::mktime(&calendar));
}

int64_t FatDateToTime(uint16_t dateWord) { return DateCache().Convert(dateWord); }

void Fat32GetFileCreateTime(const FAT32_Entry& entry, _FILETIME* out) {
  StoreFileTime(FatDateToTime(entry.CreateDate()), out);
}

void Fat32GetFileLastAccessTime(const FAT32_Entry& entry, _FILETIME* out) {
  StoreFileTime(FatDateToTime(entry.AccessDate()), out);
}

void Fat32GetFileLastChangeTime(const FAT32_Entry& entry, _FILETIME* out) {
  StoreFileTime(FatDateToTime(entry.WriteDate()), out);
}

int IsFatFileRecord(const unsigned char* p, size_t length) {
  if (p == nullptr || length < 2 * kFatEntrySize) return 0;
  if (p[0] != kDot || !IsEmptyDirectoryEntry(p, length)) return 0;
  const unsigned char* parent = p + kFatEntrySize;
  if (parent[0] != kDot || parent[1] != kDot) return 0;
  return IsEmptyDirectoryEntry(parent, length - kFatEntrySize) ? 1 : 0;
}

int IsFatEntyValid(const FAT32_Entry& entry) {
  if (!entry.IsComplete()) return 0;
  const uint8_t* e = entry.Bytes();
  // 1. A directory head is valid as a whole.
  if (IsFatFileRecord(e, entry.Available())) return 1;

  const uint8_t attr = entry.Attribute();
  const uint32_t size = entry.FileSize();
  const bool noCluster = entry.ClusterHigh() == 0 && entry.ClusterLow() == 0;
  const bool directory = (attr & kFatAttrDirectory) != 0;
  const bool longName = attr == kFatAttrLongName;
  const bool deleted = entry.IsDeleted();

  // 2. An empty file owns no cluster.
  if (!directory && size == 0 && !noCluster) return 0;
  // 3. A volume label owns nothing; no other entry carries the label bit.
  if (!longName) {
    if (attr == kFatAttrVolumeLabel) {
      if (size != 0 || !noCluster) return 0;
    } else if ((attr & kFatAttrVolumeLabel) != 0) {
      return 0;
    }
  }
  // 4. A read-only directory does not occur.
  if (directory && (attr & kFatAttrReadOnly) != 0) return 0;
  // 5. The two top attribute bits are never set.
  if ((attr & kFatAttrUnused) != 0) return 0;
  // 6. Dates of live files, and the short-name characters.
  if (!longName) {
    if (!deleted && !directory) {
      FatDateCache& dates = DateCache();
      if (!IsDateInRange(dates.Convert(entry.CreateDate())) || !IsDateInRange(dates.Convert(entry.AccessDate())) ||
          !IsDateInRange(dates.Convert(entry.WriteDate()))) {
        return 0;
      }
    }
    if (attr != kFatAttrVolumeLabel && IsInvalidShortFileName(e + kFatNameOffset) != 0) return 0;
  }
  // 7. A live long-name entry's sequence number is small.
  if (longName && !deleted && entry.Sequence() > kLfnMaxSequence) return 0;
  // 8. A live directory has no size.
  if (directory && !deleted && size != 0) return 0;
  // 9. A long-name entry's cluster field is always zero.
  if (longName && entry.ClusterLow() != 0) return 0;
  // 10. A plain file carries the archive bit.
  if (attr == kFatAttrVolumeLabel || longName || directory) return 1;
  return (attr & kFatAttrArchive) != 0 ? 1 : 0;
}

int IsFatFDTRecord(const unsigned char* buffer, int length) {
  if (buffer == nullptr || length < static_cast<int>(kFatEntrySize)) return 0;
  const size_t total = static_cast<size_t>(length);
  const size_t count = total / kFatEntrySize;
  for (size_t i = 0; i < count; ++i) {
    const size_t offset = i * kFatEntrySize;
    const uint8_t* e = buffer + offset;
    // 1. The end marker: an empty sector is no directory; after it everything is zero.
    if (e[0] == kFatEndMarker) {
      if (i == 0) return 0;
      for (size_t k = offset; k < total; ++k) {
        if (buffer[k] != 0) return 0;
      }
      return 1;
    }
    const FAT32_Entry entry(e, total - offset);
    // 2.
    if (!IsFatEntyValid(entry)) return 0;
    // 3. A repeating 16-byte fill pattern is no entry.
    if (std::memcmp(e + kPatternFirstOffset, e + kPatternSecondOffset, kPatternLength) == 0) return 0;
    if (!entry.IsLongName()) {
      // 4. "." and ".." fail here: heads are found by IsFatFileRecord.
      if (!IsPlausibleShortEntryName(e)) return 0;
    } else if (!IsLongNameChainConsistent(buffer, total, i)) {
      // 5.
      return 0;
    }
  }
  // 6.
  return 1;
}

}  // namespace vorlenta
