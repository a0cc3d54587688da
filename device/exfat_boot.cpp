#include "device/exfat_boot.h"

#include "device/boot_probe.h"
#include "util/endian.h"

namespace vorlenta {
namespace {

constexpr char kExfatOemName[] = "EXFAT   ";
constexpr size_t kOemNameLength = 8;
// Bytes 11-63 hold the FAT fields on FAT volumes and must be zero on exFAT.
constexpr size_t kMustBeZeroStart = 11;
constexpr size_t kMustBeZeroEnd = 64;
constexpr size_t kVolumeLength = 72;
constexpr size_t kFatOffset = 80;
constexpr size_t kFatLength = 84;
constexpr size_t kClusterHeapOffset = 88;
constexpr size_t kClusterCount = 92;
constexpr size_t kRootCluster = 96;
constexpr size_t kVolumeFlags = 106;
constexpr size_t kBytesPerSectorShift = 108;
constexpr size_t kSectorsPerClusterShift = 109;
constexpr size_t kNumberOfFats = 110;
constexpr size_t kPercentInUse = 112;
// The FATs start after both boot regions.
constexpr uint32_t kMinFatOffset = 2 * kExfatBootRegionSectors;
constexpr uint32_t kMaxClusterCount = 0xFFFFFFF5;

}  // namespace

bool ParseExfatBootSector(const uint8_t* b, size_t length, ExfatBoot& out) {
  if (b == nullptr || length < kBootSectorBytes) return false;
  if (!BytesEqual(b, length, boot::kOemName, kExfatOemName, kOemNameLength)) return false;
  if (b[boot::kSignature] != boot::kSignatureByte0 || b[boot::kSignature + 1] != boot::kSignatureByte1) return false;
  for (size_t i = kMustBeZeroStart; i < kMustBeZeroEnd; ++i) {
    if (b[i] != 0) return false;
  }
  ExfatBoot v;
  v.volumeLength = ReadU64LE(b, length, kVolumeLength);
  v.fatOffset = ReadU32LE(b, length, kFatOffset);
  v.fatLength = ReadU32LE(b, length, kFatLength);
  v.clusterHeapOffset = ReadU32LE(b, length, kClusterHeapOffset);
  v.clusterCount = ReadU32LE(b, length, kClusterCount);
  v.rootCluster = ReadU32LE(b, length, kRootCluster);
  v.bytesPerSectorShift = b[kBytesPerSectorShift];
  v.sectorsPerClusterShift = b[kSectorsPerClusterShift];
  v.numberOfFats = b[kNumberOfFats];
  if (v.bytesPerSectorShift < kExfatMinSectorShift || v.bytesPerSectorShift > kExfatMaxSectorShift) return false;
  if (v.sectorsPerClusterShift > kExfatMaxClusterShift - v.bytesPerSectorShift) return false;
  if (v.numberOfFats != 1 && v.numberOfFats != 2) return false;
  if (v.clusterCount == 0 || v.clusterCount > kMaxClusterCount || v.fatLength == 0) return false;
  if (v.fatOffset < kMinFatOffset) return false;
  // FATs, heap and clusters inside the volume, the FATs before the heap.
  const uint64_t fatsEnd = uint64_t{v.fatOffset} + uint64_t{v.fatLength} * v.numberOfFats;
  if (fatsEnd > v.clusterHeapOffset) return false;
  const uint64_t heapSectors = uint64_t{v.clusterCount} << v.sectorsPerClusterShift;
  if (uint64_t{v.clusterHeapOffset} + heapSectors > v.volumeLength) return false;
  // The FAT must hold an entry for every cluster.
  if ((uint64_t{v.clusterCount} + kExfatFirstCluster) * 4 > uint64_t{v.fatLength} << v.bytesPerSectorShift)
    return false;
  if (!v.IsValidCluster(v.rootCluster)) return false;
  out = v;
  return true;
}

bool IsExfatBootSector(const uint8_t* buffer, size_t length) {
  ExfatBoot boot;
  return ParseExfatBootSector(buffer, length, boot);
}

uint32_t ExfatBootChecksum(const uint8_t* region, size_t length, uint32_t sectorBytes) {
  const size_t bytes = static_cast<size_t>(sectorBytes) * kExfatChecksummedSectors;
  if (region == nullptr || sectorBytes == 0 || length < bytes) return 0;
  uint32_t sum = 0;
  for (size_t i = 0; i < bytes; ++i) {
    if (i == kVolumeFlags || i == kVolumeFlags + 1 || i == kPercentInUse) continue;
    sum = ((sum & 1u) != 0 ? 0x80000000u : 0u) + (sum >> 1) + region[i];
  }
  return sum;
}

bool IsExfatBootRegion(const uint8_t* region, size_t length, ExfatBoot* out) {
  ExfatBoot v;
  if (!ParseExfatBootSector(region, length, v)) return false;
  const size_t sectorBytes = v.SectorBytes();
  const size_t checksumSector = sectorBytes * kExfatChecksummedSectors;
  if (length < checksumSector + sectorBytes) return false;
  const uint32_t sum = ExfatBootChecksum(region, length, v.SectorBytes());
  for (size_t offset = checksumSector; offset < checksumSector + sectorBytes; offset += 4) {
    if (ReadU32LE(region, length, offset) != sum) return false;
  }
  if (out != nullptr) *out = v;
  return true;
}

}  // namespace vorlenta
