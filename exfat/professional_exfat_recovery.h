// The deep exFAT engine: sectors holding exFAT entry sets (in use or deleted, checksum valid)
// are harvested wherever the pass finds them. A volume's geometry comes from its boot region
// at the area's start (or the backup 12 sectors in), or from one the pass meets; with it a set
// is placed in the cluster it lies in, and filed under the folder whose Stream Extension
// claims that cluster, else under "LostFolder%d" (the cluster). Sets no geometry places are
// grouped by the run of sectors they lie in and cannot be read back.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "device/disk_reader.h"
#include "exfat/exfat_engine.h"
#include "exfat/exfat_volume.h"
#include "format/exfat_record.h"

namespace vorlenta {

class CProfessionalExfatRecovery : public CExfatEngine {
 public:
  CProfessionalExfatRecovery();
  ~CProfessionalExfatRecovery() override;
  CProfessionalExfatRecovery(const CProfessionalExfatRecovery&) = delete;
  CProfessionalExfatRecovery& operator=(const CProfessionalExfatRecovery&) = delete;

  int Init(int diskNumber, long long startSector, long long sectorCount, char16_t volumeTag) override;
  int Init(const char16_t* path, char16_t volumeTag) override;
  int ScanDevice(const char16_t* resultName) override;
  int GetUnUsedSectorCount(unsigned long long& a, unsigned long long& b) override;
  int BuildBitMapInfo() override;

  // Empties everything and opens the result store: a new one, or the existing store named
  // `storePrefix` when that is not empty. Status of the store.
  int InitProfessionalScan(const char16_t* storePrefix);
  // The boot region at the area's start, or its backup, becomes the first geometry.
  int InitVirtualDbrInfo();
  // An "EXFAT   " boot sector at absolute `sectorNo`: the volume it (or, as a backup, the one
  // 12 sectors before) starts becomes a geometry when its region checks out.
  int ParseExfatBootRecord(uint64_t sectorNo);
  // The entry sets starting in the sector at absolute `sectorNo`; `length` bytes of the read
  // follow from `sector` on (a set reaching past them is read from the device).
  int ParseExfatEntrySector(const uint8_t* sector, size_t length, uint64_t sectorNo);
  // The final pass: folders claim their clusters, files and folders are filed.
  int DealExfatRecords();
  int FlushResults() { return m_results.Flush(); }
  size_t GeometryCount() const { return m_geometries.size(); }

 private:
  struct Geometry {
    uint64_t volumeStart = 0;  // absolute
    uint64_t volumeEnd = 0;
    uint64_t heapStart = 0;  // absolute sector of cluster 2
    std::unique_ptr<CExfatVolume> volume;
  };
  // Where a set lies: geometry and cluster, or (no geometry) -1 and the sector run's group.
  struct Place {
    int geometry = -1;
    uint32_t cluster = 0;
  };
  struct FolderRecord {
    _FILE_NODE_ node;
    Place place;
    bool inUse = false;
    uint64_t bytes = 0;
  };
  using PlaceKey = uint64_t;

  int AddGeometry(uint64_t volumeStart);
  Place PlaceOf(uint64_t sector);
  // A zeroed node of this engine with the geometry of `place`.
  _FILE_NODE_ NodeAt(const Place& place) const;
  void Harvest(const ExfatEntrySet& set, uint64_t recordSector, const Place& place);
  PlaceKey KeyOf(const Place& place) const;
  CExfatVolume* VolumeAt(uint64_t volumeStart);
  uint32_t RootKey() const override;
  int ReadNodeData(const _FILE_NODE_& node, uint64_t total, const DataPieceSink& sink) override;

  CDiskReader m_reader;
  bool m_open = false;
  long long m_start = 0;
  long long m_count = 0;
  char16_t m_volumeTag = 0;
  std::vector<Geometry> m_geometries;
  std::vector<FolderRecord> m_folders;
  std::vector<std::pair<uint32_t, Place>> m_files;  // node index and place
  uint64_t m_lastUnplacedSector = 0;
  uint32_t m_unplacedGroup = 0;
  uint32_t m_nextStoreKey = 0;
  // Volumes opened to read data back, by absolute start; null where none could be opened.
  std::map<uint64_t, std::unique_ptr<CExfatVolume>> m_readVolumes;
};

}  // namespace vorlenta
