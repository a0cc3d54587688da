// The signature-carving engine: for each sector the deep pass offers, asks CFileTypeJudge
// whether a known file starts there and how long it is, records it as a nameless node under
// the root of its own scan result store, and tells the pass how far to jump. Lists, searches,
// previews and saves its files like any engine; it never scans by itself.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "format/file_type_judge.h"
#include "device/disk_reader.h"
#include "engine/engine_results.h"
#include "engine/recovery_parse.h"

namespace vorlenta {

class CFileTypeRecovery : public IFileRecoveryParse {
 public:
  CFileTypeRecovery() = default;
  // Withdraws its callbacks from the process-wide length walk, which must not call a gone engine.
  ~CFileTypeRecovery() override;
  CFileTypeRecovery(const CFileTypeRecovery&) = delete;
  CFileTypeRecovery& operator=(const CFileTypeRecovery&) = delete;

  // Opens disk `diskNumber` up to the end of the area and starts a new store
  // "File_Type_<start>_<local time>". The reader's status, else the store's.
  int Init(int diskNumber, long long startSector, long long sectorCount, char16_t volumeTag) override;
  // The same for a device or image given by path (its size is the area).
  int Init(const char16_t* path, char16_t volumeTag) override;
  // Reopens the store of an earlier scan named `resultName`, so its files are listed again.
  int InitLogFile(const char16_t* resultName, char16_t volumeTag, const char16_t* path, int bytesPerSector,
                  unsigned long long endSector);
  int InitLogFile(const char16_t* resultName, char16_t volumeTag, int diskNumber, int bytesPerSector,
                  unsigned long long endSector);

  int InitCallBack(ScanCallback scanCallback, RecoveryCallback recoveryCallback, void* context, int weight) override;
  // Carving runs inside the deep pass, sector by sector: nothing to do here.
  int ScanDevice(const char16_t* resultName) override;

  // Offers one sector (absolute number `sectorNo`, read through the pass's `reader`). 0 when a
  // file was recorded, with `skipSectors` the sectors the pass may jump; 87 when none starts
  // here; -9527 when the user stopped the measurement (nothing recorded).
  int ParseFileBuf(const unsigned char* sector, int len, unsigned long long sectorNo, unsigned long long scannedSectors,
                   unsigned long long totalSectors, int secondsLeft, CDiskReader* reader, int bytesPerSector,
                   unsigned long long& skipSectors, unsigned long long& filesFound);

  // Sectors the pass may jump after a file of `type` measured `length` bytes: one for the
  // formats whose declared size is not trusted that far, else the sectors the file covers.
  static unsigned long long SkipSectors(EXTEND_NAME_TYPE type, uint64_t length, int bytesPerSector);

  int GetChildrenFileNode(_FILE_NODE_* parent, unsigned int qualifier, std::vector<_FILE_NODE_>& out) override;
  int GetChildrenFileCount(_FILE_NODE_* parent, unsigned int qualifier, unsigned int& count) override;
  unsigned int GetLostFileCount() override;
  // Carved files have no directory: the path is empty.
  int GetFileNodeParentDirPath(_FILE_NODE_* node, char16_t* out, int capacity) override;
  int SaveFileData(_FILE_NODE_* node, const char16_t* targetPath, int destDepth) override;
  int GetUnUsedSectorCount(unsigned long long& a, unsigned long long& b) override;
  int InitSearchCallBack(SearchCallback searchCallback, void* context) override;
  int SearchFileNode(const char16_t* key, std::vector<__SEARCH_FILE_INFO__>& out) override;
  int BuildBitMapInfo() override;
  int PreView(_FILE_NODE_* node, char16_t* tempPath, unsigned char* buffer, int& size, PreviewCallback previewCallback,
              void* context) override;

  // Puts the files carved so far on disk (a checkpoint of the deep pass).
  int FlushResults() { return m_results.Flush(); }

  int BytesPerSector() const { return m_nBytesPerSector; }
  const CScanResultFileManager* Store() const { return m_results.Store(); }

 private:
  int StartStore(const char16_t* resultName);
  int StartNewStore(long long startSector);
  // Reads the first `total` bytes of a carved file, which lie contiguous from RecordSector.
  int ReadCarvedData(const _FILE_NODE_& node, uint64_t total, const std::function<int(const uint8_t*, size_t)>& sink);

  char16_t m_volumeTag = 0;
  long long m_startSector = 0;
  long long m_sectorCount = 0;
  int m_nBytesPerSector = kSectorSize;
  CDiskReader m_reader;
  CEngineResults m_results;
  int m_weight = 0;
  ScanCallback m_scanCallback = nullptr;
  RecoveryCallback m_recoveryCallback = nullptr;
  void* m_context = nullptr;
};

}  // namespace vorlenta
