// The quick engine for FAT12/16/32 volumes: trusts the boot record and the first FAT, walks
// the directory tree from the root and lists every deleted entry (and everything inside a
// deleted directory) with the directories that lead to it; reads the data back by the FAT
// chain, or as a contiguous run where the chain of a deleted file is gone.
#pragma once

#include <deque>
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
#include "fat/fat_entry_names.h"
#include "fat/fat_extraction.h"
#include "fat/fat_geometry.h"
#include "fat/first_letter_settler.h"

namespace vorlenta {

// The part of the first FAT held in memory at a time.
constexpr size_t kFatWindowBytes = 0x1000000;

class CFastFatRecovery : public IFileRecoveryParse {
 public:
  CFastFatRecovery();
  ~CFastFatRecovery() override;
  CFastFatRecovery(const CFastFatRecovery&) = delete;
  CFastFatRecovery& operator=(const CFastFatRecovery&) = delete;

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

  // 1 on FAT32, 0 on FAT12/16.
  int GetDeviceFileSystemType(char* unused) const;
  const FatGeometry& Geometry() const { return m_geometry; }
  // One node: a file is copied to `target`, a directory is created and queued.
  int SaveDataToTargetFile(_FILE_NODE_* node, const char16_t* target);
  // 1 when the first sector of the file still matches its extension's format (or cannot be
  // judged), else 0.
  int IsFileDataHealth(const _FILE_NODE_& node);
  // The next cluster of `c` by the chain rule: a link, 0 for an end mark, or for a free entry
  // c + 1 when that one is free too (deleted data is assumed contiguous). Status 0 or 30.
  int FindNextClusterNO(uint32_t c, uint32_t& next);
  // The raw FAT entry of `c`. Status 0, or 30 when the FAT cannot be read there.
  int GetNextClusterNO(uint32_t c, uint32_t& entry);
  // Directory levels between directory `c` and the root.
  int GetRootParentDirIndex(uint32_t c, uint32_t& depth);
  // The short names of the volume met by the last scan, for the deep engine's settling.
  const CFirstLetterSettler& KnownNames() const { return m_letters; }

 private:
  int OpenVolume(int status);
  int LoadFatWindow(uint64_t byteOffset);
  int ReadVolume(uint8_t* buffer, uint32_t sectors, uint64_t relativeSector, unsigned& got);
  int InitDirInfo(uint32_t c);
  // Parses one buffer of directory entries; true when the directory ends inside it.
  bool ParseDirectoryBuffer(const uint8_t* buffer, size_t length, uint64_t firstSector, uint32_t& dirKey,
                            bool dirDeleted);
  // A deleted file known by its short name alone waits for the end of the walk, when every
  // name of the volume can settle its lost letter (`lostLetter` is then its entry's head).
  void AddFileNode(const uint8_t* entry, const std::string& name, uint64_t recordSector, uint32_t dirKey,
                   bool lostLetter);
  void WriteFileNode(_FILE_NODE_& node, uint32_t dirKey);
  void AddDirectoryRecord(const uint8_t* entry, const std::string& name, uint32_t dirKey, bool deleted,
                          bool lostLetter);
  // Writes the waiting files and the directories on the way to listed entries.
  void WriteSettledNodes();
  void MarkPath(uint32_t dirKey);
  uint32_t EntryCluster(const uint8_t* entry, bool deleted, bool directory, const std::string& name);
  uint16_t GetDirRealHighClusterNO(uint16_t low);
  uint16_t GetFileRealHighClusterNO(uint16_t low, const std::string& name);
  int ReportScan(int percent, int secondsLeft);
  // Reads up to `total` bytes of a node's data cluster by cluster into `sink`, which answers
  // a status (non-zero stops). Returns the first failing status, or 0.
  int ReadNodeData(const _FILE_NODE_& node, uint64_t total, const DataPieceSink& sink);

  CDiskReader m_reader;
  bool m_open = false;
  long long m_volumeStart = 0;
  long long m_volumeSectors = 0;
  char16_t m_volumeTag = 0;
  FatGeometry m_geometry;
  std::vector<uint8_t> m_fatWindow;
  uint64_t m_fatWindowOffset = 0;
  size_t m_fatWindowLength = 0;
  std::vector<uint8_t> m_bitmap;
  uint32_t m_bitmapClusters = 0;

  std::map<uint32_t, _FILE_NODE_> m_dirMap;
  std::deque<uint32_t> m_pending;
  std::vector<uint32_t> m_pathList;
  std::unordered_set<uint32_t> m_pathSet;
  std::unordered_map<uint32_t, uint32_t> m_depthCache;
  CEngineResults m_results;
  CLongNameAssembler m_longName;
  CFirstLetterSettler m_letters;
  struct WaitingFile {
    _FILE_NODE_ node;
    uint32_t dirKey;
    ShortNameHead head;
  };
  std::vector<WaitingFile> m_waitingFiles;
  // Deleted directories known by their short name alone, by cluster.
  std::unordered_map<uint32_t, ShortNameHead> m_lostLetterDirs;

  CFatExtraction m_extraction;

  ScanCallback m_scanCallback = nullptr;
  RecoveryCallback m_recoveryCallback = nullptr;
  void* m_context = nullptr;
  int m_weight = 0;
};

}  // namespace vorlenta
