#include "fat/fat_geometry.h"

#include <cstring>

#include "device/boot_probe.h"
#include "util/endian.h"

namespace vorlenta {
namespace {

constexpr char kFat32Label[] = "FAT32   ";
constexpr uint32_t kDirEntryBytes = 32;
constexpr uint32_t kFat12EndMark = 0xFF8;
constexpr uint32_t kFat16EndMark = 0xFFF8;
constexpr uint32_t kFat32EndMark = 0x0FFFFFF8;
constexpr uint32_t kFat32EntryMask = 0x0FFFFFFF;
constexpr uint32_t kFat12Mask = 0xFFF;

}  // namespace

bool FatGeometry::IsEndOfChain(uint32_t entry) const {
  switch (type) {
    case FatType::kFat12: return entry >= kFat12EndMark;
    case FatType::kFat16: return entry >= kFat16EndMark;
    case FatType::kFat32: return (entry & kFat32EntryMask) >= kFat32EndMark;
  }
  return true;
}

uint64_t FatGeometry::EntryOffset(uint32_t c) const {
  switch (type) {
    case FatType::kFat12: return static_cast<uint64_t>(c) + c / 2;
    case FatType::kFat16: return static_cast<uint64_t>(c) * 2;
    case FatType::kFat32: return static_cast<uint64_t>(c) * 4;
  }
  return 0;
}

int ParseFatGeometry(const uint8_t* b, size_t length, FatGeometry& g) {
  if (b == nullptr || length < kBootSectorBytes) return 87;
  FatGeometry out;
  out.bytesPerSector = ReadU16LE(b, length, boot::kBytesPerSector);
  out.sectorsPerCluster = b[boot::kSectorsPerCluster];
  out.reservedSectors = ReadU16LE(b, length, boot::kReservedSectors);
  out.numberOfFats = b[boot::kNumberOfFats];
  out.rootEntries = ReadU16LE(b, length, boot::kRootEntries);
  const uint32_t total16 = ReadU16LE(b, length, boot::kTotalSectors16);
  const uint32_t total32 = ReadU32LE(b, length, boot::kTotalSectors32);
  // Small volumes keep their size in the 16-bit field and leave the 32-bit one zero.
  out.totalSectors = total32 != 0 ? total32 : total16;
  const bool fat32 = BytesEqual(b, length, boot::kFat32TypeLabel, kFat32Label, 8);
  out.sectorsPerFat = fat32 ? ReadU32LE(b, length, boot::kSectorsPerFat32) : ReadU16LE(b, length, boot::kSectorsPerFat16);
  if (out.bytesPerSector != kFatSupportedSectorSize || !IsAllowedSectorsPerCluster(static_cast<uint8_t>(out.sectorsPerCluster)) ||
      out.numberOfFats == 0 || out.sectorsPerFat == 0 || out.totalSectors == 0) {
    return 87;
  }
  out.fatStartSector = out.reservedSectors;
  out.rootAreaSector = out.fatStartSector + static_cast<uint64_t>(out.numberOfFats) * out.sectorsPerFat;
  if (fat32) {
    out.rootDirSectors = 0;
    out.rootCluster = ReadU32LE(b, length, boot::kFat32RootCluster);
  } else {
    // The root area holds rootEntries entries of 32 bytes, rounded up to whole sectors.
    out.rootDirSectors = (out.rootEntries * kDirEntryBytes + out.bytesPerSector - 1) / out.bytesPerSector;
    out.rootCluster = 0;
  }
  out.firstDataSector = out.rootAreaSector + out.rootDirSectors;
  if (out.firstDataSector >= out.totalSectors) return 87;
  out.clusterCount = static_cast<uint32_t>((out.totalSectors - out.firstDataSector) / out.sectorsPerCluster);
  if (fat32) {
    out.type = FatType::kFat32;
  } else {
    out.type = out.clusterCount < kFat12MaxClusters ? FatType::kFat12 : FatType::kFat16;
  }
  // The FAT must have room for every cluster it claims to describe.
  const uint64_t fatBytes = static_cast<uint64_t>(out.sectorsPerFat) * out.bytesPerSector;
  const uint64_t lastEntryEnd = out.EntryOffset(out.clusterCount + 1) + (out.type == FatType::kFat32 ? 4 : 2);
  if (lastEntryEnd > fatBytes) {
    // Trust the FAT's size over the total: only clusters with an entry are usable.
    const uint64_t perEntryBits = out.type == FatType::kFat12 ? 12 : (out.type == FatType::kFat16 ? 16 : 32);
    const uint64_t entries = fatBytes * 8 / perEntryBits;
    if (entries <= kFirstDataCluster) return 87;
    out.clusterCount = static_cast<uint32_t>(entries - kFirstDataCluster);
  }
  g = out;
  return 0;
}

bool DecodeFatEntry(const FatGeometry& g, const uint8_t* fat, size_t length, uint64_t fatOffset, uint32_t c,
                    uint32_t& entry) {
  const uint64_t offset = g.EntryOffset(c);
  if (offset < fatOffset) return false;
  const uint64_t local = offset - fatOffset;
  const size_t width = g.type == FatType::kFat32 ? 4 : 2;
  if (local > length || width > length - local) return false;
  const size_t at = static_cast<size_t>(local);
  switch (g.type) {
    case FatType::kFat12: {
      // Two 12-bit entries share three bytes: an odd cluster takes the high 12 bits.
      const uint16_t pair = ReadU16LE(fat, length, at);
      entry = (c & 1) != 0 ? static_cast<uint32_t>(pair >> 4) : static_cast<uint32_t>(pair & kFat12Mask);
      return true;
    }
    case FatType::kFat16:
      entry = ReadU16LE(fat, length, at);
      return true;
    case FatType::kFat32:
      entry = ReadU32LE(fat, length, at) & kFat32EntryMask;
      return true;
  }
  return false;
}

}  // namespace vorlenta
