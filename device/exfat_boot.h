// The exFAT boot region: the main one at sector 0 of a volume, its backup at sector 12. Only
// this file knows the boot sector's layout and the region's checksum.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorlenta {

// Sectors of one boot region: boot sector, 8 extended boot sectors, OEM parameters, a reserved
// sector, and the checksum sector.
constexpr uint32_t kExfatBootRegionSectors = 12;
constexpr uint32_t kExfatBackupBootSector = 12;
// The checksum covers the region's first 11 sectors.
constexpr uint32_t kExfatChecksummedSectors = 11;
constexpr uint32_t kExfatMinSectorShift = 9;
constexpr uint32_t kExfatMaxSectorShift = 12;
// Clusters are at most 32 MiB.
constexpr uint32_t kExfatMaxClusterShift = 25;
constexpr uint32_t kExfatFirstCluster = 2;

// What the boot sector says, in its own sector size.
struct ExfatBoot {
  uint64_t volumeLength = 0;
  uint32_t fatOffset = 0;
  uint32_t fatLength = 0;
  uint32_t clusterHeapOffset = 0;
  uint32_t clusterCount = 0;
  uint32_t rootCluster = 0;
  uint8_t bytesPerSectorShift = 0;
  uint8_t sectorsPerClusterShift = 0;
  uint8_t numberOfFats = 0;

  uint32_t SectorBytes() const { return 1u << bytesPerSectorShift; }
  uint64_t ClusterBytes() const { return uint64_t{1} << (bytesPerSectorShift + sectorsPerClusterShift); }
  bool IsValidCluster(uint64_t c) const {
    return c >= kExfatFirstCluster && c < uint64_t{clusterCount} + kExfatFirstCluster;
  }
};

// The boot sector's fields, with their checks: the name "EXFAT   ", zeroes where the FAT
// fields would be, the shifts in range, the FATs and the cluster heap inside the volume, the
// root in the heap. False, `out` untouched, when any fails.
bool ParseExfatBootSector(const uint8_t* buffer, size_t length, ExfatBoot& out);
// The boot sector alone (main or backup), without the rest of its region.
bool IsExfatBootSector(const uint8_t* buffer, size_t length);
// The region checksum of the first 11 sectors of `sectorBytes` bytes (the volume flags and the
// percent in use are left out: they change without the checksum). 0 for a short buffer.
uint32_t ExfatBootChecksum(const uint8_t* region, size_t length, uint32_t sectorBytes);
// A whole boot region: the boot sector checks out and the checksum sector repeats the checksum.
bool IsExfatBootRegion(const uint8_t* region, size_t length, ExfatBoot* out);

}  // namespace vorlenta
