// Raw FAT directory entries: the short (8.3) and long-name forms, their checksum and dates,
// and the plausibility tests that every FAT engine and the deep-scan classifier apply to
// entries that may be stale, half overwritten or not directory data at all.
#pragma once

#include <cstddef>
#include <cstdint>

#include "util/endian.h"

namespace vorlenta {

// Layout of one 32-byte short directory entry.
constexpr size_t kFatEntrySize = 32;
constexpr size_t kFatNameOffset = 0;
constexpr size_t kFatNameLength = 8;
constexpr size_t kFatExtOffset = 8;
constexpr size_t kFatExtLength = 3;
constexpr size_t kFatShortNameLength = 11;
constexpr size_t kFatAttrOffset = 11;
constexpr size_t kFatReservedOffset = 12;
// Byte 12 keeps how the writer cased a short name that needed no long one.
constexpr size_t kFatCaseOffset = kFatReservedOffset;
constexpr uint8_t kFatCaseLowerBase = 0x08;
constexpr uint8_t kFatCaseLowerExt = 0x10;
constexpr size_t kFatCreateTenthsOffset = 13;
constexpr size_t kFatCreateTimeOffset = 14;
constexpr size_t kFatCreateDateOffset = 16;
constexpr size_t kFatAccessDateOffset = 18;
constexpr size_t kFatClusterHighOffset = 20;
constexpr size_t kFatWriteTimeOffset = 22;
constexpr size_t kFatWriteDateOffset = 24;
constexpr size_t kFatClusterLowOffset = 26;
constexpr size_t kFatFileSizeOffset = 28;

// Layout of a long-name entry (attribute exactly kFatAttrLongName).
constexpr size_t kLfnSequenceOffset = 0;
constexpr size_t kLfnTypeOffset = 12;
constexpr size_t kLfnChecksumOffset = 13;
constexpr size_t kLfnClusterOffset = 26;
constexpr uint8_t kLfnLastEntryFlag = 0x40;
constexpr int kLfnUnitsPerEntry = 13;
// Names longer than 18 entries (234 characters) are rare enough that a larger sequence
// number is taken for garbage.
constexpr int kLfnMaxSequence = 18;

// Markers in byte 0.
constexpr uint8_t kFatEndMarker = 0x00;
// A deleted entry loses its first letter to this marker.
constexpr uint8_t kFatDeletedMarker = 0xE5;
// What a deleted entry's lost first letter is shown as.
constexpr char kFatDeletedNameShown = '!';

// Attribute bits.
constexpr uint8_t kFatAttrReadOnly = 0x01;
constexpr uint8_t kFatAttrHidden = 0x02;
constexpr uint8_t kFatAttrSystem = 0x04;
constexpr uint8_t kFatAttrVolumeLabel = 0x08;
constexpr uint8_t kFatAttrDirectory = 0x10;
constexpr uint8_t kFatAttrArchive = 0x20;
constexpr uint8_t kFatAttrUnused = 0xC0;
constexpr uint8_t kFatAttrLongName = 0x0F;

// A Windows FILETIME-shaped pair. The FAT engines store seconds since 1970 in it (not the
// 100-ns units since 1601 the NTFS engines store), low half first.
struct _FILETIME {
  uint32_t dwLowDateTime;
  uint32_t dwHighDateTime;
};

// One 32-byte directory entry inside a caller's buffer. It remembers how many bytes of that
// buffer follow its start, because the directory-head test also looks at the entry after it;
// every field read is bounds-checked against that count.
class FAT32_Entry {
 public:
  FAT32_Entry(const uint8_t* data, size_t available) : m_data(data), m_available(data != nullptr ? available : 0) {}
  // Entry `index` of a buffer of `length` bytes.
  static FAT32_Entry At(const uint8_t* buffer, size_t length, size_t index) {
    const size_t offset = index * kFatEntrySize;
    if (buffer == nullptr || offset >= length) return FAT32_Entry(nullptr, 0);
    return FAT32_Entry(buffer + offset, length - offset);
  }

  bool IsComplete() const { return m_available >= kFatEntrySize; }
  const uint8_t* Bytes() const { return m_data; }
  size_t Available() const { return m_available; }

  uint8_t Marker() const { return ReadU8(m_data, m_available, kFatNameOffset); }
  uint8_t Attribute() const { return ReadU8(m_data, m_available, kFatAttrOffset); }
  uint16_t CreateTime() const { return ReadU16LE(m_data, m_available, kFatCreateTimeOffset); }
  uint16_t CreateDate() const { return ReadU16LE(m_data, m_available, kFatCreateDateOffset); }
  uint16_t AccessDate() const { return ReadU16LE(m_data, m_available, kFatAccessDateOffset); }
  uint16_t ClusterHigh() const { return ReadU16LE(m_data, m_available, kFatClusterHighOffset); }
  uint16_t WriteTime() const { return ReadU16LE(m_data, m_available, kFatWriteTimeOffset); }
  uint16_t WriteDate() const { return ReadU16LE(m_data, m_available, kFatWriteDateOffset); }
  uint16_t ClusterLow() const { return ReadU16LE(m_data, m_available, kFatClusterLowOffset); }
  uint32_t FileSize() const { return ReadU32LE(m_data, m_available, kFatFileSizeOffset); }
  uint32_t FirstCluster() const { return (static_cast<uint32_t>(ClusterHigh()) << 16) | ClusterLow(); }

  bool IsEnd() const { return Marker() == kFatEndMarker; }
  bool IsDeleted() const { return Marker() == kFatDeletedMarker; }
  bool IsLongName() const { return Attribute() == kFatAttrLongName; }
  bool IsDirectory() const { return (Attribute() & kFatAttrDirectory) != 0; }
  bool IsVolumeLabel() const { return Attribute() == kFatAttrVolumeLabel; }

  // Long-name fields.
  uint8_t Sequence() const { return static_cast<uint8_t>(Marker() & ~kLfnLastEntryFlag); }
  bool IsLastLongNameEntry() const { return (Marker() & kLfnLastEntryFlag) != 0; }
  uint8_t LongNameChecksum() const { return ReadU8(m_data, m_available, kLfnChecksumOffset); }
  // Copies the entry's UTF-16 units up to its 0x0000 terminator; returns how many (0 to 13).
  int LongNameUnits(char16_t out[kLfnUnitsPerEntry]) const;

 private:
  const uint8_t* m_data;
  size_t m_available;
};

// The long-name checksum of the 11 short-name bytes (rotate right by one, add the byte).
unsigned GetShortNameCheckSum(const uint8_t* name11);
// 1 if any of the 11 bytes breaks the short-name character rule, else 0.
int IsInvalidShortFileName(const uint8_t* name11);
// True when `c` may stand in a short name: not a control byte, not a lower-case ASCII letter,
// not one of \ : * ? " < > | and not a dot. Bytes from 0x80 up are double-byte names.
bool IsValidShortNameByte(uint8_t c);

// Local midnight of a FAT date word in seconds since 1970-01-01 00:00 UTC, exactly as the C
// library's mktime gives it for the date's text parsed with "%Y%m%d" (an out-of-range month
// or day stays zero and mktime normalises it). Cached per thread and per TZ value.
int64_t FatDateToTime(uint16_t dateWord);
// The same conversion without the cache: one strptime and one mktime per call.
int64_t FatDateToTimeUncached(uint16_t dateWord);

void Fat32GetFileCreateTime(const FAT32_Entry& entry, _FILETIME* out);
void Fat32GetFileLastAccessTime(const FAT32_Entry& entry, _FILETIME* out);
void Fat32GetFileLastChangeTime(const FAT32_Entry& entry, _FILETIME* out);

// 1 if `p` begins a directory's first cluster: a "." entry followed by a ".." entry, both
// directories of size 0. Needs both entries inside the `length` bytes at `p`.
int IsFatFileRecord(const unsigned char* p, size_t length);
// 1 if the entry is plausible as a live or deleted directory entry, else 0.
int IsFatEntyValid(const FAT32_Entry& entry);
// 1 if the buffer is a run of directory entries that is not a directory's head, else 0.
int IsFatFDTRecord(const unsigned char* buffer, int length);

}  // namespace vorlenta
