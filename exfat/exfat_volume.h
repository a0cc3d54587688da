// One exFAT volume as both exFAT engines read it: the geometry of its boot region (the backup
// when the main one is damaged), the FAT read through a window, the allocation bitmap, and a
// file's data read back as runs of clusters. Sectors are 512-byte units relative to the volume
// start unless a name says absolute.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "device/disk_reader.h"
#include "device/exfat_boot.h"
#include "engine/file_node.h"
#include "engine/node_extraction.h"

namespace vorlenta {

// How a node's data was laid out when it was found, kept in _FILE_NODE_::Reserved.
constexpr uint32_t kExfatRunNoFatChain = 1;  // one contiguous run
constexpr uint32_t kExfatRunDeleted = 2;     // its clusters may since have been freed
constexpr uint32_t kExfatEndOfChain = 0xFFFFFFFF;

// A run of `count` clusters from `first`.
using ExfatExtent = std::pair<uint32_t, uint32_t>;

class CExfatVolume {
 public:
  // Reads the boot region at absolute sector `volumeStart` (or its backup) and keeps `reader`
  // for every later read. `areaSectors` bounds the volume. 0, 87 when neither region is an
  // exFAT one, or the read status.
  int Open(CDiskReader& reader, uint64_t volumeStart, uint64_t areaSectors);
  bool IsOpen() const { return m_reader != nullptr; }
  bool UsedBackup() const { return m_usedBackup; }
  const ExfatBoot& Boot() const { return m_boot; }
  uint64_t VolumeStart() const { return m_volumeStart; }
  uint64_t VolumeSectors() const { return m_volumeSectors; }
  uint32_t SectorsPerCluster() const { return m_sectorsPerCluster; }
  uint32_t ClusterBytes() const { return m_sectorsPerCluster * kSectorSize; }
  uint64_t HeapSector() const { return m_heapSector; }
  uint64_t ClusterSector(uint32_t cluster) const {
    return m_heapSector + static_cast<uint64_t>(cluster - kExfatFirstCluster) * m_sectorsPerCluster;
  }

  // Reads `sectors` sectors from relative sector `relative`, inside the volume. 0 or a status
  // (30 past the volume's end); `got` whole sectors arrived.
  int ReadSectors(uint8_t* buffer, uint32_t sectors, uint64_t relative, unsigned& got);
  // The FAT entry of `cluster`. 0, or 30 when the FAT cannot be read there.
  int FatEntry(uint32_t cluster, uint32_t& entry);
  // True when the FAT starts with the media entry and the end mark, as every format leaves
  // it: a boot region read 12 sectors off its place points its FAT at other bytes.
  bool HasFatHead();
  // Loads the allocation bitmap the root directory names. 0 or a status.
  int LoadBitmap();
  bool HasBitmap() const { return !m_bitmap.empty(); }
  const std::vector<uint8_t>& Bitmap() const { return m_bitmap; }
  bool IsAllocated(uint32_t cluster) const;
  // The first `bytes` bytes of data from `first`: the FAT chain when it still holds them;
  // else, for a deleted file, the clusters the bitmap shows free from `first` on (the gap
  // another file kept is skipped); else the contiguous run.
  int DataExtents(uint32_t first, uint64_t bytes, uint32_t runFlags, std::vector<ExfatExtent>& out);
  // The chain of `first` while it stays inside the heap, at most `limit` clusters; ends
  // before a loop. 0 or a status.
  int FollowChain(uint32_t first, uint64_t limit, std::vector<ExfatExtent>& out);

 private:
  int LoadFatWindow(uint64_t byteOffset);

  CDiskReader* m_reader = nullptr;
  ExfatBoot m_boot;
  bool m_usedBackup = false;
  uint64_t m_volumeStart = 0;
  uint64_t m_volumeSectors = 0;
  uint32_t m_unit = 1;  // 512-byte units per volume sector
  uint32_t m_sectorsPerCluster = 1;
  uint64_t m_heapSector = 0;
  uint64_t m_fatSector = 0;
  uint64_t m_fatBytes = 0;
  std::vector<uint8_t> m_fatWindow;
  uint64_t m_fatWindowOffset = 0;
  size_t m_fatWindowLength = 0;
  std::vector<uint8_t> m_bitmap;
};

// Reads the first `total` bytes of the runs into `sink`, a cluster run at a time: the runs'
// clusters start at absolute sector heapSector + (c - 2) * sectorsPerCluster.
int ReadExfatExtents(CDiskReader& reader, const std::vector<ExfatExtent>& extents, uint64_t heapSector,
                     uint32_t sectorsPerCluster, uint64_t total, const DataPieceSink& sink);

// The node's data as its engine found it: along the volume's runs when `volume` is open, else
// as one contiguous run from the geometry stored in the node.
int ReadExfatNodeData(CDiskReader& reader, CExfatVolume* volume, const _FILE_NODE_& node, uint64_t total,
                      const DataPieceSink& sink);

}  // namespace vorlenta
