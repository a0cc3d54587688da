// The quick engine for NTFS volumes: finds the master file table from the boot sector,
// reads it whole in large chunks, lists every deleted file record with the directories that
// lead to it (a "LostFolder" stands for a parent that is gone), and reads a file's data back
// from its record: resident in the record, or along its run list.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "device/disk_reader.h"
#include "engine/engine_results.h"
#include "engine/node_extraction.h"
#include "engine/recovery_parse.h"
#include "ntfs/ntfs_parse.h"
#include "ntfs/ntfs_volume_data.h"

namespace vorlenta {

// Records read per chunk of the master file table.
constexpr int kNtfsRecordsPerChunk = 1024;
class CFastNtfsRecovery : public IFileRecoveryParse {
 public:
  CFastNtfsRecovery() = default;
  ~CFastNtfsRecovery() override;
  CFastNtfsRecovery(const CFastNtfsRecovery&) = delete;
  CFastNtfsRecovery& operator=(const CFastNtfsRecovery&) = delete;

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

  // One node: a file is copied to `target` (never over an existing file), a directory is
  // created and queued.
  int SaveDataToTargetFile(_FILE_NODE_* node, const char16_t* target);

  // Absolute sector (512-byte units) of MFT record `recordNumber`; the volume start when the
  // table's runs do not reach it.
  unsigned long long GetFileRecordIndexSectorOffset(unsigned long long recordNumber) const;
  // Reads MFT record `recordNumber` (record size bytes) into `buffer`. 0, 87 when the table
  // does not reach it, or the reader's status.
  int GetFileRecordBuf(uint32_t recordNumber, unsigned char* buffer);
  // The runs of the first attribute of `attributeType` (unnamed, for data) in the record at
  // `recordSector`, following the attribute list when the record has none of its own.
  // 0, kNtfsNotFileRecord, kNtfsNoAttribute, or a read status.
  int GetRunListInfo(long long recordSector, int attributeType, std::vector<__RUNLIST__>& runs);
  // The resident data of the record at `recordSector`. 0 with the bytes in `out` (room for
  // `length` bytes on entry, the count on return), kNtfsNotResident, 87, or a read status.
  int GetAttr0x80Data(long long recordSector, unsigned char* out, unsigned int& length);
  // 1 unless the data's first bytes contradict the file's extension.
  int IsFileDataHealth(const _FILE_NODE_& node, unsigned int unused = 0);
  // Records of directories met on parent chains, each once, in order of first meeting.
  const std::vector<uint32_t>& AncestorList() const { return m_ancestors; }
  // Records on the chain from `recordNumber` up to the root, the last one read included.
  void GetRootParentDirIndex(uint32_t recordNumber, uint32_t& depth, std::unordered_set<uint32_t>& visited);

  int BytesPerSector() const { return m_bytesPerSector; }
  int SectorsPerCluster() const { return m_sectorsPerCluster; }
  int RecordSize() const { return m_recordSize; }
  unsigned long long MftStartSector() const { return m_mftStartSector; }
  const std::vector<NtfsExtent>& MftExtents() const { return m_data.MftExtents(); }

 private:
  // What a parent chain needs of one directory record, read once per scan.
  struct ChainRecord {
    bool fileRecord = false;
    bool directory = false;
    bool haveName = false;
    uint32_t parent = 0;
  };

  int OpenVolume(int status, const NtfsScanArea& area);
  uint64_t ClusterSectors() const { return m_clusterBytes / kSectorSize; }
  uint64_t VolumeClusters() const;
  // The record behind a node: by its number when that maps to the node's sector (a record
  // may straddle two runs of the table), else at the sector.
  int ReadNodeRecord(const _FILE_NODE_& node, std::vector<uint8_t>& record, size_t& bound);
  int LocateNodeData(const _FILE_NODE_& node, NtfsNodeData& data);
  int LoadMftRunList();
  int FastScanDevice();
  int ReadFileAndParseRecordInfo(uint64_t sector, uint32_t sectors, uint32_t& nextRecord, size_t& carried);
  int ParseRecordInfo(unsigned char* record, int pass, uint32_t recordNumber);
  _FILE_NODE_ FillFileNode(const NtfsFileName& name, int isDirectory) const;
  void AddLostFolder(uint32_t recordNumber);
  const ChainRecord& ChainInfo(uint32_t recordNumber);
  uint32_t DepthBelowRoot(uint32_t parent);
  int ReportScan(int percent, int secondsLeft, uint64_t doneSectors, uint64_t totalSectors);

  CDiskReader m_reader;
  CNtfsParse m_parser;
  CNtfsVolumeData m_data;
  bool m_open = false;
  unsigned long long m_volumeStart = 0;
  unsigned long long m_volumeSectors = 0;
  unsigned long long m_mftStartSector = 0;
  char16_t m_volumeTag = 0;
  int m_bytesPerSector = kSectorSize;
  int m_sectorsPerRecord = 2;
  int m_recordSize = 2 * kSectorSize;
  int m_sectorsPerCluster = 0;
  uint32_t m_clusterBytes = 0;
  std::vector<uint8_t> m_recordBuffer;
  std::vector<uint8_t> m_bitmap;
  uint64_t m_bitmapSize = 0;

  std::vector<uint32_t> m_ancestors;
  std::unordered_set<uint32_t> m_ancestorSet;
  std::unordered_map<uint32_t, ChainRecord> m_chainCache;
  std::unordered_map<uint32_t, uint32_t> m_depthCache;
  CEngineResults m_results;
  CDirectoryTreeSave m_treeSave;

  ScanCallback m_scanCallback = nullptr;
  RecoveryCallback m_recoveryCallback = nullptr;
  void* m_context = nullptr;
  int m_weight = 0;
  uint32_t m_sourceKind = kSourceFast;
};

}  // namespace vorlenta
