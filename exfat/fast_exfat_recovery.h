// The quick engine for exFAT volumes: trusts the boot region (or its backup), reads the
// allocation bitmap and walks the directory tree from the root, in-use and deleted folders
// alike, once; every deleted entry set becomes a node with its full name, filed under the
// folders that lead to it. Data comes back along the FAT chain where it still holds, else
// along the free clusters from the first one (see CExfatVolume::DataExtents).
#pragma once

#include <deque>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "device/disk_reader.h"
#include "exfat/exfat_engine.h"
#include "exfat/exfat_volume.h"
#include "format/exfat_record.h"

namespace vorlenta {

class CFastExfatRecovery : public CExfatEngine {
 public:
  CFastExfatRecovery();
  ~CFastExfatRecovery() override;
  CFastExfatRecovery(const CFastExfatRecovery&) = delete;
  CFastExfatRecovery& operator=(const CFastExfatRecovery&) = delete;

  int Init(int diskNumber, long long startSector, long long sectorCount, char16_t volumeTag) override;
  int Init(const char16_t* path, char16_t volumeTag) override;
  int ScanDevice(const char16_t* resultName) override;
  int GetUnUsedSectorCount(unsigned long long& sector, unsigned long long& count) override;
  int BuildBitMapInfo() override;

  const CExfatVolume& Volume() const { return m_volume; }
  // Directory clusters read by the last scan (each once).
  uint64_t DirectoryClustersRead() const { return m_clustersRead; }

 private:
  struct Folder {
    _FILE_NODE_ node{};
    uint32_t parent = 0;
    uint32_t depth = 0;  // levels below the root
    bool deleted = false;
    uint64_t bytes = 0;
    bool listed = false;  // written as a node
  };
  int OpenVolume(int status);
  int WalkDirectory(uint32_t key);
  void ParseDirectory(const uint8_t* data, size_t length, const std::vector<uint64_t>& clusterSectors, uint32_t key);
  void AddFile(const ExfatEntrySet& set, uint64_t recordSector, uint32_t key);
  void ListFolderPath(uint32_t key);
  int ReportScan(int percent);
  uint32_t RootKey() const override { return m_volume.Boot().rootCluster; }
  int ReadNodeData(const _FILE_NODE_& node, uint64_t total, const DataPieceSink& sink) override;

  CDiskReader m_reader;
  CExfatVolume m_volume;
  bool m_open = false;
  long long m_volumeStart = 0;
  long long m_volumeSectors = 0;
  char16_t m_volumeTag = 0;
  std::unordered_map<uint32_t, Folder> m_folders;
  std::deque<uint32_t> m_pending;
  uint64_t m_clustersRead = 0;
};

}  // namespace vorlenta
