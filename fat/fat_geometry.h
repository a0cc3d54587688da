// The layout of a FAT volume as its boot record describes it, decided once: FAT12, FAT16 or
// FAT32, where the FATs, the FAT12/16 root area and the data area lie, and how FAT entries
// decode.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorlenta {

enum class FatType { kFat12, kFat16, kFat32 };

// Volumes with fewer clusters than this use 12-bit FAT entries, fewer than kFat16MaxClusters
// 16-bit entries (the published rule of the format).
constexpr uint32_t kFat12MaxClusters = 4085;
constexpr uint32_t kFat16MaxClusters = 65525;
// First cluster number of the data area.
constexpr uint32_t kFirstDataCluster = 2;
// The only sector size the engines handle: sector numbers are in 512-byte units throughout.
constexpr uint32_t kFatSupportedSectorSize = 512;

struct FatGeometry {
  FatType type = FatType::kFat32;
  uint32_t bytesPerSector = 0;
  uint32_t sectorsPerCluster = 0;
  uint32_t reservedSectors = 0;
  uint32_t numberOfFats = 0;
  uint32_t sectorsPerFat = 0;
  uint32_t rootEntries = 0;
  // FAT12/16: sectors of the fixed root area (from its entry count); 0 on FAT32.
  uint32_t rootDirSectors = 0;
  uint64_t totalSectors = 0;
  // FAT32: the root directory's first cluster; 0 on FAT12/16 (the fixed root area).
  uint32_t rootCluster = 0;
  // Relative to the volume start.
  uint64_t fatStartSector = 0;
  uint64_t rootAreaSector = 0;
  uint64_t firstDataSector = 0;
  // Data clusters: valid cluster numbers are 2 .. clusterCount + 1.
  uint32_t clusterCount = 0;

  uint32_t ClusterBytes() const { return bytesPerSector * sectorsPerCluster; }
  bool IsFat32() const { return type == FatType::kFat32; }
  bool IsValidCluster(uint32_t c) const { return c >= kFirstDataCluster && c - kFirstDataCluster < clusterCount; }
  // First sector of cluster `c`, relative to the volume start; cluster 0 is the FAT12/16
  // root area.
  uint64_t ClusterToSector(uint32_t c) const {
    if (c < kFirstDataCluster) return rootAreaSector;
    return firstDataSector + static_cast<uint64_t>(c - kFirstDataCluster) * sectorsPerCluster;
  }
  // True for an entry value that ends a chain (including the FAT32 top bits being ignored).
  bool IsEndOfChain(uint32_t entry) const;
  // Bytes of the FAT that hold the entry of cluster `c` start at this offset.
  uint64_t EntryOffset(uint32_t c) const;
};

// Reads the geometry from a boot record (at least 512 bytes). Returns 0, or 87 when the record
// is not a usable FAT boot record (zero or unsupported sizes, areas that do not fit).
int ParseFatGeometry(const uint8_t* boot, size_t length, FatGeometry& geometry);

// Decodes the FAT entry of cluster `c` from `fat`, which holds the FAT bytes starting at FAT
// byte `fatOffset`. Returns false when the entry does not lie wholly inside `fat`.
bool DecodeFatEntry(const FatGeometry& g, const uint8_t* fat, size_t length, uint64_t fatOffset, uint32_t c,
                    uint32_t& entry);

}  // namespace vorlenta
