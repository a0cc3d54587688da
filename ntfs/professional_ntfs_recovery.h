// The deep NTFS engine: FILE records found anywhere on the device (handed in one by one, in
// ascending sector order, by the deep pass) become named files, filed under the directories
// their parent references lead to, even when the volume was quick-formatted or its boot
// sectors are gone. Each record is attributed to the volume it belongs to (start sector and
// cluster size) only on evidence: the volume's own $MFT record or a boot sector that agrees
// with where the record lies.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "device/disk_reader.h"
#include "engine/engine_results.h"
#include "engine/node_extraction.h"
#include "engine/recovery_parse.h"
#include "ntfs/ntfs_parse.h"
#include "ntfs/ntfs_volume_data.h"

namespace vorlenta {

class CProfessionalNtfsRecovery : public IFileRecoveryParse {
 public:
  CProfessionalNtfsRecovery() = default;
  ~CProfessionalNtfsRecovery() override = default;
  CProfessionalNtfsRecovery(const CProfessionalNtfsRecovery&) = delete;
  CProfessionalNtfsRecovery& operator=(const CProfessionalNtfsRecovery&) = delete;

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

  // Starts a result: a new store (null or empty name) or the reopened store of `resultName`.
  int InitProfessionalScan(const char16_t* resultName);
  // One FILE record found at the absolute sector `sectorNo`; `length` ≥ 1024 bytes, left
  // untouched. 0, −1 (no FILE record), 87 (damaged header), 8, or a read status.
  int ParseNtfsFileRecord(const uint8_t* record, size_t length, uint64_t sectorNo);
  // Makes the directory and "LostFolder%d" nodes for the parents met, and each other volume's
  // top folder. 0 or 8.
  int ParseProfessionalRecordVec();
  // Puts the nodes written so far on disk (a checkpoint of the deep pass).
  int FlushResults() { return m_results.Flush(); }
  // The runs of the first attribute of `type` (unnamed, for data) of the record at `sectorNo`,
  // following its attribute list. 0, kNtfsNotFileRecord, kNtfsNoAttribute or a read status.
  int GetRunListInfo(uint64_t sectorNo, uint32_t type, std::vector<__RUNLIST__>& runs);

  // One file or directory node, saved (a directory with its tree) or queued.
  int SaveDataToTargetFile(_FILE_NODE_* node, const char16_t* target);
  // Volumes known so far (the scanned area's own first) and directories met.
  size_t VolumeCount() const { return m_volumes.size(); }
  size_t PendingDirectoryCount() const { return m_pending.size(); }

 private:
  struct Volume {
    uint64_t start = 0;
    uint32_t sectorsPerCluster = 0;  // 0 while unknown
    uint32_t topKey = 0;             // key of its top folder; the scanned area's volume has none
    bool topMade = false;
  };
  // One master file table known from a $MFT record or a boot sector: its runs map record
  // numbers to sectors.
  struct MftEntry {
    uint32_t volume = 0;
    uint64_t recordZeroSector = 0;
    std::vector<NtfsExtent> extents;
  };
  // How records near a given one are found: along a known table, or one after the other from
  // a base sector when no table maps them.
  struct TableView {
    uint32_t volume = 0;
    int32_t mftEntry = -1;
    uint64_t base = 0;
    bool baseValid = false;
    uint32_t sectorsPerCluster = 0;
  };
  // One directory met as a parent, resolved once per (volume, record number).
  struct Directory {
    uint32_t record = 0;
    uint32_t key = 0;
    uint32_t level = 0;  // directories from it up to the root, itself included
    bool resolved = false;
    bool lost = true;
    uint32_t parent = 0;
    uint64_t recordSector = 0;
    TableView view;
    NtfsFileName name;
  };

  int OpenArea(int status, const NtfsScanArea& area);
  void LoadBootEvidence(uint64_t bootSector, bool backup);
  uint32_t FindOrAddVolume(uint64_t start);
  void AddMftEntry(uint32_t volume, uint64_t recordZeroSector, const uint8_t* record, size_t bound);
  void AddMftRecordEvidence(uint64_t sector, const uint8_t* record, size_t bound);
  bool BootAgrees(uint64_t start, uint64_t recordZeroSector, NtfsBootGeometry& geometry);
  uint32_t AreaSectorsPerCluster() const;
  TableView FindView(uint32_t recordNumber, uint64_t sector);
  CNtfsVolumeData& DataFor(const TableView& view, uint64_t volumeStart, uint32_t sectorsPerCluster);
  int ParseProfessionalRecordInfo(uint8_t* record, size_t bound, uint64_t sector, uint32_t recordNumber);
  uint32_t SectorsPerClusterOf(const uint8_t* record, size_t bound) const;
  Directory& ReadDirectory(uint32_t volume, uint32_t record, const TableView& view);
  // Resolves the chain above `record`; gives the key and level of the directory.
  void ResolveDirectory(uint32_t volume, uint32_t record, const TableView& view, uint32_t& key, uint32_t& level);
  uint32_t RootKey(uint32_t volume) const;
  uint32_t BaseDepth(uint32_t volume) const { return volume == 0 ? 0 : 1; }
  uint32_t AllocateKey(uint32_t volume, uint32_t record);
  int AddLostFolder(const Directory& dir, uint32_t volume);
  _FILE_NODE_ NewNode(int isDirectory, uint32_t sectorsPerCluster, uint64_t volumeStart) const;
  // The reader for a node's record: its volume's table when it maps the node, else records
  // laid one after the other from where the node's record lies.
  CNtfsVolumeData& DataForNode(const _FILE_NODE_& node);
  int LocateNodeData(const _FILE_NODE_& node, NtfsNodeData& data);
  uint32_t ChildDepthOf(const _FILE_NODE_& directory);

  CDiskReader m_reader;
  bool m_open = false;
  uint64_t m_areaStart = 0;
  uint64_t m_areaSectors = 0;
  char16_t m_volumeTag = 0;
  uint32_t m_areaDefaultSpc = 0;
  CNtfsParse m_parser;

  std::vector<Volume> m_volumes;
  std::map<uint64_t, size_t> m_mftMap;  // sector of record 0 -> entry
  std::vector<MftEntry> m_entries;
  std::vector<CNtfsVolumeData> m_entryData;
  CNtfsVolumeData m_scratch;

  std::unordered_map<uint64_t, Directory> m_directories;
  std::vector<uint64_t> m_pending;
  size_t m_emitted = 0;  // pending directories already made into nodes
  uint32_t m_nextKey = UINT32_MAX - 1;
  std::vector<uint8_t> m_work;

  CEngineResults m_results;
  CDirectoryTreeSave m_treeSave;
  ScanCallback m_scanCallback = nullptr;
  RecoveryCallback m_recoveryCallback = nullptr;
  void* m_context = nullptr;
  int m_weight = 0;
};

}  // namespace vorlenta
