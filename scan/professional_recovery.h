// The deep scan: the fast engine of the volume's own file system first, then one read pass
// over the area (only its unused sectors when the fast engine knows them) that hands each
// sector to exactly one deep engine: NTFS file records, exFAT entry sets, FAT directory
// sectors, or the carver. Listing, search, preview and saving then merge or dispatch over the
// five engines, and a scan
// log lets a stopped scan of the same medium resume where it stopped.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "carving/file_type_recovery.h"
#include "device/disk_reader.h"
#include "engine/crash_guard.h"
#include "engine/log_file_manager.h"
#include "engine/recovery_parse.h"
#include "exfat/professional_exfat_recovery.h"
#include "fat/professional_fat_recovery.h"
#include "ntfs/professional_ntfs_recovery.h"

namespace vorlenta {

class CReadAhead;

// Disk number of an area opened by path.
constexpr int kImageDiskNumber = 128;
// Bytes the pass reads at a time.
constexpr size_t kPassReadBytes = 65536;
// Progress weights of the two phases.
constexpr int kFastPhaseWeight = 9;
constexpr int kDeepPhaseWeight = 90;

// Where a scan log says a scan stood: the five values the log keeps, in its order.
enum ScanStateSlot { kStateExtentStart, kStateExtentCount, kStatePosition, kStateScanned, kStateFiles };
// Phase bits kept beside them.
constexpr uint64_t kPhaseFastDone = 1;
constexpr uint64_t kPhasePassDone = 2;

class CProfessionalRecovery : public IFileRecoveryParse {
 public:
  CProfessionalRecovery();
  ~CProfessionalRecovery() override;
  CProfessionalRecovery(const CProfessionalRecovery&) = delete;
  CProfessionalRecovery& operator=(const CProfessionalRecovery&) = delete;

  int Init(int diskNumber, long long startSector, long long sectorCount, char16_t volumeTag) override;
  int Init(const char16_t* path, char16_t volumeTag) override;
  int InitCallBack(ScanCallback scanCallback, RecoveryCallback recoveryCallback, void* context, int weight) override;
  int ScanDevice(const char16_t* resultName) override;
  int GetChildrenFileNode(_FILE_NODE_* parent, unsigned int qualifier, std::vector<_FILE_NODE_>& out) override;
  int GetChildrenFileCount(_FILE_NODE_* parent, unsigned int qualifier, unsigned int& count) override;
  unsigned int GetLostFileCount() override;
  int GetFileNodeParentDirPath(_FILE_NODE_* node, char16_t* out, int capacity) override;
  int SaveFileData(_FILE_NODE_* node, const char16_t* targetPath, int destDepth) override;
  int GetUnUsedSectorCount(unsigned long long& a, unsigned long long& b) override;
  int InitSearchCallBack(SearchCallback searchCallback, void* context) override;
  int SearchFileNode(const char16_t* key, std::vector<__SEARCH_FILE_INFO__>& out) override;
  int BuildBitMapInfo() override;
  int PreView(_FILE_NODE_* node, char16_t* tempPath, unsigned char* buffer, int& size, PreviewCallback previewCallback,
              void* context) override;

  // 1 while a scan log of this area was found by Init and not yet taken up.
  int IsFindLogFile() const { return m_logFound ? 1 : 0; }
  // Forgets the scan log found by Init, deleting its folder: the next scan starts afresh.
  int SetNotLoadLogFile();

  // Hands the sectors of `buf` (`len` bytes read from absolute sector `firstSector`) to the
  // deep engines. `overrun` gets the sectors a carved file reaches past the buffer. The last
  // engine status; kStatusUserStop when the user stopped a measurement.
  int ParseProfessionalFileInfo(const unsigned char* buf, int len, unsigned long long firstSector,
                                unsigned long long scannedSectors, unsigned long long totalSectors, int secondsLeft,
                                long long& overrun, unsigned long long& filesFound);

  // Where each named hit's data starts (absolute sector) and its extension.
  int GetFileDataStartSectorMap(const std::vector<__SEARCH_FILE_INFO__>& hits,
                                std::vector<std::pair<uint64_t, size_t>>& starts);

  // Reading overlapped with classification (a read-ahead thread); on by default.
  void SetReadAhead(bool on) { m_readAhead = on; }
  // Reads the pass through `reader` instead of the device: a test stands in a failing medium.
  using PassReader = std::function<int(uint64_t sector, unsigned count, uint8_t* out, unsigned& got)>;
  void SetPassReader(PassReader reader) { m_passReader = std::move(reader); }
  // The shortest time between two progress reports of the pass.
  void SetReportIntervalMs(unsigned ms) { m_reportIntervalMs = ms; }
  // Sectors the last pass could not read, and whether the fast engine's bitmap limited it.
  unsigned long long UnreadableSectors() const { return m_unreadable; }
  bool UsedBitmap() const { return m_bitmapMode; }
  // Sectors the last pass read or jumped.
  unsigned long long ScannedSectors() const { return m_scanned; }

 private:
  struct Extent {
    unsigned long long start = 0;
    unsigned long long count = 0;
  };
  static int OnEngineRecovery(void* context, int percent, int phase, int failed, const char16_t* name);
  static int OnEngineScan(void* context, int percent, int weight, int secondsLeft, unsigned long long current,
                          unsigned long long total, unsigned long long found, const char16_t* text);
  int InitEngines(bool byPath, const char16_t* path);
  int RunFastPhase(bool resumed, uint64_t phase);
  void RemoveResultFiles(const char* prefix);
  int StartDeepEngines(bool resumed, bool passDone);
  int RunPass(bool resumed);
  int ReadPass(CReadAhead& ahead, unsigned long long sector, unsigned count, uint8_t* buffer, unsigned& got);
  // Classifies the `got` sectors of a read from `firstSector`; `advance` gets the sectors the
  // pass moves on by (past the buffer when a carved file reaches beyond it), `last` the last
  // engine's status. 0, or the callback's answer when the user stopped.
  int ClassifyRead(const uint8_t* buffer, unsigned got, unsigned long long firstSector, unsigned long long& advance,
                   int& last);
  int ClassifyOne(const uint8_t* buffer, unsigned got, unsigned index, unsigned long long firstSector,
                  unsigned long long& skip, unsigned long long& found);
  // Hands a sector to the deep NTFS or FAT engine when it holds their records. True when it did.
  bool OfferRecord(const uint8_t* sector, size_t available, unsigned long long sectorNo, int& status);
  // The journal of the sectors handed to the deep NTFS and FAT engines, from which a resumed
  // scan rebuilds their harvest before it goes on.
  int OpenJournal(bool resumed);
  int FlushJournal();
  int ReplayJournal(unsigned long long before);
  bool NextExtent(Extent& extent);
  int PassPercent() const;
  // True, and the clock restarted, when the last progress report is old enough for another.
  bool ReportDue();
  int Report(unsigned long long current, unsigned long long total);
  int FlushAll();
  int SaveLog(uint64_t phase);
  void BuildTrees();
  void FindDuplicates();
  bool IsHidden(const _FILE_NODE_& node) const;
  IFileRecoveryParse* EngineOf(uint32_t sourceKind);
  std::string ResultName(const char* prefix) const;

  char16_t m_volumeTag = 0;
  int m_bytesPerSector = kSectorSize;
  int m_diskNumber = -1;
  long long m_startSector = 0;
  long long m_sectorCount = 0;
  std::string m_imagePath;
  uint64_t m_mediumMark = 0;
  CDiskReader m_reader;
  CProfessionalFatRecovery m_fat;
  CProfessionalNtfsRecovery m_ntfs;
  CProfessionalExfatRecovery m_exfat;
  CFileTypeRecovery m_carver;
  std::unique_ptr<IFileRecoveryParse> m_fast;
  int m_weight = kDeepPhaseWeight;
  ScanCallback m_scanCallback = nullptr;
  RecoveryCallback m_recoveryCallback = nullptr;
  SearchCallback m_searchCallback = nullptr;
  void* m_searchContext = nullptr;
  void* m_context = nullptr;
  bool m_logFound = false;
  _LOG_FILE_INFO_ m_logRecord{};
  std::string m_logFolder;

  // The pass's position, kept as members so a checkpoint or a stop can save it.
  bool m_bitmapMode = false;
  Extent m_extent;
  unsigned long long m_position = 0;
  unsigned long long m_scanned = 0;
  unsigned long long m_total = 0;
  unsigned long long m_unreadable = 0;
  unsigned long long m_filesBase = 0;
  int m_secondsLeft = -1;
  // The last non-zero answer of the scan callback: the user asked to stop.
  int m_stopAnswer = 0;
  bool m_readAhead = true;
  PassReader m_passReader;
  unsigned m_reportIntervalMs;
  unsigned m_lastReportTick = 0;
  // The sector being classified, so a fault skips that one sector only.
  volatile unsigned m_classifyIndex = 0;
  CCrashGuard m_guard{"ProfessionalRecovery recvSignal"};

  int m_journalFd = -1;
  std::vector<uint64_t> m_journal;
  bool m_replaying = false;

  // Named files found twice and carved copies of named files, left out of listings.
  std::set<std::pair<uint32_t, uint32_t>> m_hidden;
};

}  // namespace vorlenta
