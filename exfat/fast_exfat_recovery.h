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
#include "engine/engine_results.h"
#include "engine/recovery_parse.h"
#include "exfat/exfat_volume.h"
#include "fat/fat_extraction.h"
#include "format/exfat_record.h"

namespace vorlenta {

// Largest directory exFAT allows (256 MiB); anything claiming more is damage.
constexpr uint64_t kExfatMaxDirectoryBytes = 0x10000000;

// Fills the node fields an entry set gives: name, size, times, first cluster, run flags.
void FillNodeFromEntrySet(const ExfatEntrySet& set, _FILE_NODE_& node);
// Directory levels between a listed folder and the root, from the folders above it in the store.
uint32_t ExfatFolderDepth(CEngineResults& results, const _FILE_NODE_& folder);

class CFastExfatRecovery : public IFileRecoveryParse {
 public:
  CFastExfatRecovery();
  ~CFastExfatRecovery() override;
  CFastExfatRecovery(const CFastExfatRecovery&) = delete;
  CFastExfatRecovery& operator=(const CFastExfatRecovery&) = delete;

  int Init(int diskNumber, long long startSector, long long sectorCount, char16_t volumeTag) override;
  int Init(const char16_t* path, char16_t volumeTag) override;
  int InitCallBack(ScanCallback scanCallback, RecoveryCallback recoveryCallback, void* context, int weight) override;
  int ScanDevice(const char16_t* resultName) override;
  int GetChildrenFileNode(_FILE_NODE_* parent, unsigned int depth, std::vector<_FILE_NODE_>& out) override;
  int GetChildrenFileCount(_FILE_NODE_* parent, unsigned int depth, unsigned int& count) override;
  unsigned int GetLostFileCount() override;
  int GetFileNodeParentDirPath(_FILE_NODE_* node, char16_t* out, int capacity) override;
  int SaveFileData(_FILE_NODE_* node, const char16_t* targetPath, int destDepth) override;
  int GetUnUsedSectorCount(unsigned long long& sector, unsigned long long& count) override;
  int InitSearchCallBack(SearchCallback searchCallback, void* context) override;
  int SearchFileNode(const char16_t* key, std::vector<__SEARCH_FILE_INFO__>& out) override;
  int BuildBitMapInfo() override;
  int PreView(_FILE_NODE_* node, char16_t* tempPath, unsigned char* buffer, int& size,
              PreviewCallback previewCallback, void* context) override;

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
  int ReadNodeData(const _FILE_NODE_& node, uint64_t total, const DataPieceSink& sink);

  CDiskReader m_reader;
  CExfatVolume m_volume;
  bool m_open = false;
  long long m_volumeStart = 0;
  long long m_volumeSectors = 0;
  char16_t m_volumeTag = 0;
  std::unordered_map<uint32_t, Folder> m_folders;
  std::deque<uint32_t> m_pending;
  uint64_t m_clustersRead = 0;
  CEngineResults m_results;
  CFatExtraction m_extraction;
  ScanCallback m_scanCallback = nullptr;
  RecoveryCallback m_recoveryCallback = nullptr;
  void* m_context = nullptr;
  int m_weight = 0;
};

}  // namespace vorlenta
