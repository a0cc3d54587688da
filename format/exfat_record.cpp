#include "format/exfat_record.h"

#include <algorithm>

#include "format/fat_record.h"
#include "util/endian.h"

namespace vorlenta {
namespace {

// File entry.
constexpr size_t kSecondaryCount = 1;
constexpr size_t kSetChecksum = 2;
constexpr size_t kFileAttributes = 4;
constexpr size_t kCreateTimestamp = 8;
constexpr size_t kModifyTimestamp = 12;
constexpr size_t kAccessTimestamp = 16;
// Stream Extension entry.
constexpr size_t kStreamFlags = 1;
constexpr size_t kNameLength = 3;
constexpr size_t kValidDataLength = 8;
constexpr size_t kFirstCluster = 20;
constexpr size_t kDataLength = 24;
// File Name entry.
constexpr size_t kNameUnits = 2;
constexpr uint32_t kMinSecondaries = 2;
constexpr uint32_t kMaxSecondaries = 18;
constexpr uint32_t kTimeSecondsMask = 0x1F;
constexpr uint32_t kTimeMinuteShift = 5;
constexpr uint32_t kTimeMinuteMask = 0x3F;
constexpr uint32_t kTimeHourShift = 11;
constexpr uint32_t kTimeHourMask = 0x1F;
constexpr uint32_t kDateShift = 16;

bool TypeIs(uint8_t type, uint8_t wanted, bool inUse) {
  return type == (inUse ? wanted : static_cast<uint8_t>(wanted & ~kExfatInUse));
}

}  // namespace

uint16_t ExfatEntrySetChecksum(const uint8_t* set, size_t length, uint32_t entries) {
  const size_t bytes = static_cast<size_t>(entries) * kExfatEntrySize;
  if (set == nullptr || entries == 0 || length < bytes) return 0;
  uint16_t sum = 0;
  for (size_t i = 0; i < bytes; ++i) {
    if (i == kSetChecksum || i == kSetChecksum + 1) continue;
    uint8_t byte = set[i];
    if (i % kExfatEntrySize == 0) byte |= kExfatInUse;
    sum = static_cast<uint16_t>(((sum & 1u) != 0 ? 0x8000u : 0u) + (sum >> 1) + byte);
  }
  return sum;
}

bool ParseExfatEntrySet(const uint8_t* buffer, size_t length, size_t offset, ExfatEntrySet& out) {
  if (buffer == nullptr || offset > length || length - offset < 3 * kExfatEntrySize) return false;
  const uint8_t* set = buffer + offset;
  const size_t left = length - offset;
  const uint8_t type = set[0];
  const bool inUse = (type & kExfatInUse) != 0;
  if (!TypeIs(type, kExfatTypeFile, inUse)) return false;
  const uint32_t secondaries = set[kSecondaryCount];
  if (secondaries < kMinSecondaries || secondaries > kMaxSecondaries) return false;
  const uint32_t entries = secondaries + 1;
  if (left < static_cast<size_t>(entries) * kExfatEntrySize) return false;
  const uint8_t* stream = set + kExfatEntrySize;
  if (!TypeIs(stream[0], kExfatTypeStream, inUse)) return false;
  const size_t nameUnits = ReadU8(stream, kExfatEntrySize, kNameLength);
  const size_t nameEntries = (nameUnits + kExfatNameUnitsPerEntry - 1) / kExfatNameUnitsPerEntry;
  if (nameUnits == 0 || nameEntries > secondaries - 1) return false;
  for (uint32_t e = 2; e < entries; ++e) {
    const uint8_t t = set[e * kExfatEntrySize];
    // Name entries come first; vendor secondaries may follow, in the same in-use state.
    if (e < 2 + nameEntries ? !TypeIs(t, kExfatTypeName, inUse) : (t & kExfatInUse) != (type & kExfatInUse))
      return false;
  }
  if (ExfatEntrySetChecksum(set, left, entries) != ReadU16LE(set, left, kSetChecksum)) return false;
  out.inUse = inUse;
  out.entryCount = entries;
  out.attributes = ReadU16LE(set, left, kFileAttributes);
  out.directory = (out.attributes & kExfatAttrDirectory) != 0;
  out.createTime = ReadU32LE(set, left, kCreateTimestamp);
  out.modifyTime = ReadU32LE(set, left, kModifyTimestamp);
  out.accessTime = ReadU32LE(set, left, kAccessTimestamp);
  out.noFatChain = (ReadU8(stream, kExfatEntrySize, kStreamFlags) & kExfatFlagNoFatChain) != 0;
  out.validDataLength = ReadU64LE(stream, kExfatEntrySize, kValidDataLength);
  out.firstCluster = ReadU32LE(stream, kExfatEntrySize, kFirstCluster);
  out.dataLength = ReadU64LE(stream, kExfatEntrySize, kDataLength);
  out.name.clear();
  for (size_t u = 0; u < nameUnits; ++u) {
    const uint8_t* entry = set + (2 + u / kExfatNameUnitsPerEntry) * kExfatEntrySize;
    const char16_t unit =
        static_cast<char16_t>(ReadU16LE(entry, kExfatEntrySize, kNameUnits + 2 * (u % kExfatNameUnitsPerEntry)));
    if (unit == 0) break;
    out.name.push_back(unit);
  }
  return !out.name.empty();
}

bool IsExfatDirectorySector(const uint8_t* buffer, size_t length, size_t sectorBytes) {
  if (buffer == nullptr) return false;
  const size_t slots = std::min(length, sectorBytes) / kExfatEntrySize;
  ExfatEntrySet set;
  for (size_t i = 0; i < slots; ++i) {
    const uint8_t type = buffer[i * kExfatEntrySize];
    if ((type | kExfatInUse) != kExfatTypeFile) continue;
    if (ParseExfatEntrySet(buffer, length, i * kExfatEntrySize, set)) return true;
  }
  return false;
}

int64_t ExfatTimeToSeconds(uint32_t timestamp) {
  const int64_t day = FatDateToTime(static_cast<uint16_t>(timestamp >> kDateShift));
  const int64_t seconds = 2 * (timestamp & kTimeSecondsMask) +
                          60 * ((timestamp >> kTimeMinuteShift) & kTimeMinuteMask) +
                          3600 * ((timestamp >> kTimeHourShift) & kTimeHourMask);
  return day + seconds;
}

}  // namespace vorlenta
