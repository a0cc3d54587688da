// exFAT directory entries: 32-byte entries grouped into entry sets (a File entry, its Stream
// Extension, its File Name entries), each set guarded by a checksum. Deleting a file clears
// the in-use bit (0x80) of every entry type of its set and leaves the rest as it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vorlenta {

constexpr size_t kExfatEntrySize = 32;
constexpr uint8_t kExfatInUse = 0x80;
constexpr uint8_t kExfatTypeEnd = 0x00;
constexpr uint8_t kExfatTypeBitmap = 0x81;
constexpr uint8_t kExfatTypeLabel = 0x83;
constexpr uint8_t kExfatTypeFile = 0x85;
constexpr uint8_t kExfatTypeStream = 0xC0;
constexpr uint8_t kExfatTypeName = 0xC1;
constexpr uint16_t kExfatAttrDirectory = 0x10;
constexpr uint8_t kExfatFlagNoFatChain = 0x02;
// Name units one File Name entry holds, and the longest name.
constexpr size_t kExfatNameUnitsPerEntry = 15;
constexpr size_t kExfatMaxNameUnits = 255;
// Allocation bitmap and volume label entries.
constexpr size_t kExfatBitmapFirstCluster = 20;
constexpr size_t kExfatBitmapLength = 24;
constexpr size_t kExfatLabelUnitCount = 1;
constexpr size_t kExfatLabelUnits = 2;
constexpr size_t kExfatMaxLabelUnits = 11;

// One entry set, as far as the engines use it.
struct ExfatEntrySet {
  bool inUse = false;
  bool directory = false;
  bool noFatChain = false;
  uint16_t attributes = 0;
  uint32_t createTime = 0;  // exFAT timestamps: DOS date in the high word, time in the low
  uint32_t modifyTime = 0;
  uint32_t accessTime = 0;
  uint32_t firstCluster = 0;
  uint64_t validDataLength = 0;
  uint64_t dataLength = 0;
  uint32_t entryCount = 0;  // the File entry and its secondaries
  std::u16string name;
};

// The checksum of an entry set of `entries` entries at `set`, taken as if every entry were in
// use. `length` bounds the bytes read; 0 when the set does not fit.
uint16_t ExfatEntrySetChecksum(const uint8_t* set, size_t length, uint32_t entries);
// The entry set that starts at `offset` of the buffer: a File entry with at least a Stream
// Extension and the File Name entries its name needs, all in use or all deleted, whole inside
// the buffer, and with a matching checksum. False, `out` undefined, otherwise.
bool ParseExfatEntrySet(const uint8_t* buffer, size_t length, size_t offset, ExfatEntrySet& out);
// True when an entry set starts at one of the 32-byte slots of the first `sectorBytes` bytes
// (its secondaries may reach into the `length` bytes that follow).
bool IsExfatDirectorySector(const uint8_t* buffer, size_t length, size_t sectorBytes);
// Seconds since 1970 of an exFAT timestamp, read as local time the way FAT dates are.
int64_t ExfatTimeToSeconds(uint32_t timestamp);

}  // namespace vorlenta
