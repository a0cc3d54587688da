#include "scan/professional_recovery.h"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <set>
#include <tuple>

#include "device/exfat_boot.h"
#include "engine/recovery_driver.h"
#include "engine/status.h"
#include "exfat/fast_exfat_recovery.h"
#include "fat/fast_fat_recovery.h"
#include "format/exfat_record.h"
#include "format/fat_record.h"
#include "format/file_type_judge.h"
#include "format/ntfs_record.h"
#include "ntfs/fast_ntfs_recovery.h"
#include "scan/read_ahead.h"
#include "scan/recovery_factory.h"
#include "util/debug_log.h"
#include "util/endian.h"
#include "util/os_helpers.h"
#include "util/platform.h"
#include "util/text.h"

namespace vorlenta {
namespace {

// NTFS file records are two sectors long.
constexpr int kNtfsRecordBytes = 1024;
constexpr uint32_t kNtfsDataAttribute = 0x80;
// The FAT12/16 root area of a node with first cluster 0 lies this far before the data area.
constexpr uint64_t kFatRootAreaSectors = 32;
// The first percent of the pass; the fast phase reports below it.
constexpr int kPassFirstPercent = 10;
constexpr int kPercentDone = 100;
// Progress reports are throttled; the time estimate is renewed less often.
constexpr unsigned kReportIntervalMs = 250;
constexpr unsigned kEstimateIntervalMs = 5000;
// A crash or a power loss never costs more than this much of a scan.
constexpr unsigned kCheckpointIntervalMs = 60000;
// Sectors hashed into the medium's fingerprint.
constexpr unsigned kFingerprintSectors = 64;
constexpr uint64_t kFnvOffset = 0xcbf29ce484222325ULL;
constexpr uint64_t kFnvPrime = 0x100000001b3ULL;
constexpr size_t kPathChars = 4096;

constexpr const char* kFastPrefix = "Fast_";
constexpr const char* kDeepFatPrefix = "Pro_Fat_";
constexpr const char* kDeepNtfsPrefix = "Pro_Ntfs_";
constexpr const char* kDeepExfatPrefix = "Pro_Exfat_";
constexpr const char* kCarvedPrefix = "File_Type_";
constexpr const char* kLostFolderPrefix = "LostFolder";
constexpr const char* kJournalName = "Record_Sectors";
constexpr size_t kJournalEntryBytes = 8;

uint64_t Fnv(uint64_t hash, const uint8_t* data, size_t length) {
  for (size_t i = 0; i < length; ++i) hash = (hash ^ data[i]) * kFnvPrime;
  return hash;
}

// A device that is gone answers every read with one of these; any other error is a bad sector.
bool DeviceIsGone(int status) { return status == ENODEV || status == ENXIO || status == EBADF; }

EXTEND_NAME_TYPE TypeOfName(const char* name) {
  char ext[64] = {};
  if (GetExtendName(name, ext) != 0 || ext[0] == '\0') return kTypeNone;
  const _EXTEND_NAME_AND_TYPE_* row = FindFormatRowByExtension(ext);
  return row != nullptr ? row->nType : kTypeNone;
}

bool HasExtension(const char* name, const char* wanted) {
  char ext[64] = {};
  return GetExtendName(name, ext) == 0 && strcasecmp(ext, wanted) == 0;
}

// Directories a resumed scan built twice are one directory.
void SortAndDropRepeatedDirectories(std::vector<_FILE_NODE_>& out) {
  std::set<std::tuple<uint32_t, uint32_t, uint64_t, uint64_t, std::string>> directories;
  std::vector<_FILE_NODE_> kept;
  kept.reserve(out.size());
  for (const _FILE_NODE_& node : out) {
    if (node.IsDirectory != 0 &&
        !directories.emplace(node.SourceKind, node.DirKey, node.VolumeStartSector, node.DataStartSector, node.FileName)
             .second) {
      continue;
    }
    kept.push_back(node);
  }
  std::sort(kept.begin(), kept.end(), VectorCmp);
  out.swap(kept);
}

}  // namespace

CProfessionalRecovery::CProfessionalRecovery() : m_reportIntervalMs(kReportIntervalMs) {
  std::memset(&m_logRecord, 0, sizeof m_logRecord);
}

CProfessionalRecovery::~CProfessionalRecovery() {
  if (m_journalFd >= 0) ::close(m_journalFd);
}

int CProfessionalRecovery::InitEngines(bool byPath, const char16_t* path) {
  // The medium is recognised by its size and its first sectors, whatever the host's free space.
  uint64_t mark = Fnv(kFnvOffset, reinterpret_cast<const uint8_t*>(&m_sectorCount), sizeof m_sectorCount);
  const int64_t deviceSize = GetDeviceSize(m_reader.Descriptor());
  mark = Fnv(mark, reinterpret_cast<const uint8_t*>(&deviceSize), sizeof deviceSize);
  std::vector<uint8_t> head(static_cast<size_t>(kFingerprintSectors) * m_bytesPerSector);
  const unsigned headSectors =
      static_cast<unsigned>(std::min<long long>(kFingerprintSectors, std::max<long long>(m_sectorCount, 0)));
  unsigned got = 0;
  if (headSectors != 0) m_reader.ReadData(head.data(), static_cast<int>(headSectors), m_startSector, m_bytesPerSector, &got);
  m_mediumMark = Fnv(mark, head.data(), static_cast<size_t>(got) * m_bytesPerSector);

  std::memset(&m_logRecord, 0, sizeof m_logRecord);
  m_logFolder.clear();
  m_logFound = CLogFileManager::GetInstance().LoadRecoveryLogInfo(m_diskNumber, static_cast<uint64_t>(m_startSector),
                                                                  static_cast<uint64_t>(m_sectorCount), m_mediumMark,
                                                                  &m_logRecord) == 1;
  if (m_logFound) m_logFolder = m_logRecord.Folder;

  int status = byPath ? m_fat.Init(path, m_volumeTag) : m_fat.Init(m_diskNumber, m_startSector, m_sectorCount, m_volumeTag);
  const int ntfsStatus =
      byPath ? m_ntfs.Init(path, m_volumeTag) : m_ntfs.Init(m_diskNumber, m_startSector, m_sectorCount, m_volumeTag);
  if (status == 0) status = ntfsStatus;
  const int exfatStatus =
      byPath ? m_exfat.Init(path, m_volumeTag) : m_exfat.Init(m_diskNumber, m_startSector, m_sectorCount, m_volumeTag);
  if (status == 0) status = exfatStatus;
  CFileRecoveryFactory& factory = CFileRecoveryFactory::GetInstance();
  m_fast = byPath ? factory.CreateFileRecoveryInstance(path, m_volumeTag, kRecoveryFast)
                  : factory.CreateFileRecoveryInstance(m_diskNumber, m_startSector, m_sectorCount, m_volumeTag,
                                                       kRecoveryFast);
  return status;
}

int CProfessionalRecovery::Init(int diskNumber, long long startSector, long long sectorCount, char16_t volumeTag) {
  if (startSector < 0 || sectorCount <= 0) return kStatusInvalidParameter;
  m_diskNumber = diskNumber;
  m_startSector = startSector;
  m_sectorCount = sectorCount;
  m_volumeTag = volumeTag;
  m_imagePath.clear();
  const int status = m_reader.Init(diskNumber, static_cast<unsigned long long>(startSector + sectorCount));
  if (status != 0) return status;
  return InitEngines(false, nullptr);
}

int CProfessionalRecovery::Init(const char16_t* path, char16_t volumeTag) {
  if (path == nullptr) return kStatusInvalidParameter;
  m_volumeTag = volumeTag;
  const std::string utf8 = Utf16ToUtf8(path);
  const int fd = ::open(utf8.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  const int64_t size = GetDeviceSize(fd);
  const int err = errno;
  ::close(fd);
  if (size < 0) return err;
  m_diskNumber = kImageDiskNumber;
  m_startSector = 0;
  m_sectorCount = size / m_bytesPerSector;
  if (m_sectorCount <= 0) return kStatusInvalidParameter;
  m_imagePath = utf8;
  const int status = m_reader.Init(path, static_cast<unsigned long long>(m_sectorCount));
  if (status != 0) return status;
  return InitEngines(true, path);
}

int CProfessionalRecovery::InitCallBack(ScanCallback scanCallback, RecoveryCallback recoveryCallback, void* context,
                                        int /*weight*/) {
  m_scanCallback = scanCallback;
  m_recoveryCallback = recoveryCallback;
  m_context = context;
  m_weight = kDeepPhaseWeight;
  // The engines report through the coordinator, which so learns of a stop whatever the
  // engine makes of the answer.
  if (m_fast != nullptr) m_fast->InitCallBack(&OnEngineScan, &OnEngineRecovery, this, kFastPhaseWeight);
  m_fat.InitCallBack(&OnEngineScan, &OnEngineRecovery, this, kDeepPhaseWeight);
  m_ntfs.InitCallBack(&OnEngineScan, &OnEngineRecovery, this, kDeepPhaseWeight);
  m_exfat.InitCallBack(&OnEngineScan, &OnEngineRecovery, this, kDeepPhaseWeight);
  m_carver.InitCallBack(&OnEngineScan, &OnEngineRecovery, this, kDeepPhaseWeight);
  return 0;
}

int CProfessionalRecovery::InitSearchCallBack(SearchCallback searchCallback, void* context) {
  m_searchCallback = searchCallback;
  m_searchContext = context;
  if (m_fast != nullptr) m_fast->InitSearchCallBack(searchCallback, context);
  m_fat.InitSearchCallBack(searchCallback, context);
  m_ntfs.InitSearchCallBack(searchCallback, context);
  m_exfat.InitSearchCallBack(searchCallback, context);
  m_carver.InitSearchCallBack(searchCallback, context);
  return 0;
}

int CProfessionalRecovery::SetNotLoadLogFile() {
  m_logFound = false;
  const std::string folder = m_logFolder;
  m_logFolder.clear();
  std::memset(&m_logRecord, 0, sizeof m_logRecord);
  return folder.empty() ? 0 : CLogFileManager::GetInstance().DeleteLogFileDir(folder.c_str());
}

std::string CProfessionalRecovery::ResultName(const char* prefix) const {
  return CLogFileManager::FindResultName(CLogFileManager::GetInstance().GetLogFileDirPath().c_str(), prefix);
}

// The engines were given the coordinator as context: answer with the caller's own.
int CProfessionalRecovery::OnEngineRecovery(void* context, int percent, int phase, int failed, const char16_t* name) {
  auto* self = static_cast<CProfessionalRecovery*>(context);
  if (self->m_recoveryCallback == nullptr) return 0;
  return self->m_recoveryCallback(self->m_context, percent, phase, failed, name);
}

int CProfessionalRecovery::OnEngineScan(void* context, int percent, int weight, int secondsLeft,
                                        unsigned long long current, unsigned long long total,
                                        unsigned long long found, const char16_t* text) {
  auto* self = static_cast<CProfessionalRecovery*>(context);
  if (self->m_scanCallback == nullptr) return 0;
  // The carver reports within the pass, once for every chunk it measures: its reports share
  // the pass's throttle, and its percent is the pass's.
  if (weight == kDeepPhaseWeight) {
    if (!self->ReportDue()) return 0;
    percent = self->PassPercent();
    found += self->m_filesBase;
  }
  const int answer = self->m_scanCallback(self->m_context, percent, weight, secondsLeft, current, total, found, text);
  if (answer != 0) self->m_stopAnswer = answer;
  return answer;
}

bool CProfessionalRecovery::ReportDue() {
  const unsigned now = rsb_getTickCount();
  if (now - m_lastReportTick < m_reportIntervalMs) return false;
  m_lastReportTick = now;
  return true;
}

int CProfessionalRecovery::PassPercent() const {
  if (m_total == 0) return kPassFirstPercent;
  const unsigned long long span = kPercentDone - 1 - kPassFirstPercent;
  const unsigned long long done = std::min(m_scanned, m_total);
  return kPassFirstPercent + static_cast<int>(done * span / m_total);
}

int CProfessionalRecovery::Report(unsigned long long current, unsigned long long total) {
  if (m_scanCallback == nullptr) return 0;
  const unsigned long long found = GetLostFileCount() + m_filesBase;
  const int answer =
      m_scanCallback(m_context, PassPercent(), m_weight, m_secondsLeft, current, total, found, nullptr);
  if (answer != 0) m_stopAnswer = answer;
  return answer;
}

int CProfessionalRecovery::RunFastPhase(bool resumed, uint64_t phase) {
  m_bitmapMode = false;
  if (m_fast == nullptr) return 0;
  m_fast->InitCallBack(&OnEngineScan, &OnEngineRecovery, this, kFastPhaseWeight);
  // Only the FAT, exFAT and NTFS engines know which sectors their volume uses.
  const bool knowsUse = dynamic_cast<CFastFatRecovery*>(m_fast.get()) != nullptr ||
                        dynamic_cast<CFastExfatRecovery*>(m_fast.get()) != nullptr ||
                        dynamic_cast<CFastNtfsRecovery*>(m_fast.get()) != nullptr;
  const bool bitmapBuilt = knowsUse && m_fast->BuildBitMapInfo() == 0;
  int status = 0;
  if (resumed && (phase & kPhaseFastDone) != 0) {
    const std::string name = ResultName(kFastPrefix);
    if (name.empty()) return 0;
    status = m_fast->ScanDevice(Ansi2Unicode(name.c_str()).c_str());
  } else {
    if (resumed) RemoveResultFiles(kFastPrefix);
    status = m_fast->ScanDevice(nullptr);
  }
  if (m_stopAnswer != 0) return m_stopAnswer;
  if (status != 0) {
    // A volume whose metadata cannot be read is exactly what the deep pass is for.
    DebugMessage(("fast scan failed " + std::to_string(status) + ", the deep pass reads the whole area\n").c_str());
    return 0;
  }
  m_bitmapMode = bitmapBuilt;
  return 0;
}

void CProfessionalRecovery::RemoveResultFiles(const char* prefix) {
  const std::string folder = CLogFileManager::GetInstance().GetLogFileDirPath();
  for (;;) {
    const std::string name = CLogFileManager::FindResultName(folder.c_str(), prefix);
    if (name.empty()) return;
    for (const char* suffix : {"", kRelationFileSuffix, kDirInfoFileSuffix}) {
      ::unlink((folder + name + suffix).c_str());
    }
  }
}

int CProfessionalRecovery::StartDeepEngines(bool resumed, bool passDone) {
  std::string fatName, ntfsName, exfatName, carvedName;
  if (resumed) carvedName = ResultName(kCarvedPrefix);
  if (resumed && passDone) {
    fatName = ResultName(kDeepFatPrefix);
    ntfsName = ResultName(kDeepNtfsPrefix);
    exfatName = ResultName(kDeepExfatPrefix);
  } else if (resumed) {
    // Their trees were built when the scan stopped, from part of the pass: a resumed scan
    // harvests their records again from the journal and builds the trees once, at its end.
    RemoveResultFiles(kDeepFatPrefix);
    RemoveResultFiles(kDeepNtfsPrefix);
    RemoveResultFiles(kDeepExfatPrefix);
  }
  int status = 0;
  const unsigned long long end = static_cast<unsigned long long>(m_startSector + m_sectorCount);
  if (!carvedName.empty()) {
    const std::u16string name = Ansi2Unicode(carvedName.c_str());
    status = m_imagePath.empty()
                 ? m_carver.InitLogFile(name.c_str(), m_volumeTag, m_diskNumber, m_bytesPerSector, end)
                 : m_carver.InitLogFile(name.c_str(), m_volumeTag, Utf8ToUtf16(m_imagePath.c_str()).c_str(), m_bytesPerSector,
                                        end);
  } else {
    status = m_imagePath.empty() ? m_carver.Init(m_diskNumber, m_startSector, m_sectorCount, m_volumeTag)
                                 : m_carver.Init(Utf8ToUtf16(m_imagePath.c_str()).c_str(), m_volumeTag);
  }
  if (status != 0) return status;
  status = m_fat.ClearProfessionalVec(fatName.empty() ? nullptr : Ansi2Unicode(fatName.c_str()).c_str());
  if (status != 0) return status;
  // The deep pass reads only free space, where a deleted folder's names may all have lost
  // their first letter: the live names the fast walk met settle them.
  if (const auto* fastFat = dynamic_cast<const CFastFatRecovery*>(m_fast.get())) {
    m_fat.AddVolumeNames(fastFat->KnownNames());
  }
  status = m_exfat.InitProfessionalScan(exfatName.empty() ? nullptr : Ansi2Unicode(exfatName.c_str()).c_str());
  if (status != 0) return status;
  return m_ntfs.InitProfessionalScan(ntfsName.empty() ? nullptr : Ansi2Unicode(ntfsName.c_str()).c_str());
}

bool CProfessionalRecovery::OfferRecord(const uint8_t* sector, size_t available, unsigned long long sectorNo,
                                        int& status) {
  const size_t b = static_cast<size_t>(m_bytesPerSector);
  enum class Kind { kNone, kNtfs, kExfatBoot, kExfatEntries, kFatHead, kFatEntries };
  Kind kind = Kind::kNone;
  if (IsNtfsFileRecord(sector, available, kNtfsRecordBytes)) {
    kind = Kind::kNtfs;
  } else if (IsExfatBootSector(sector, available)) {
    // exFAT sets carry a checksum: they go first, before the looser FAT directory tests.
    kind = Kind::kExfatBoot;
  } else if (IsExfatDirectorySector(sector, available, b)) {
    kind = Kind::kExfatEntries;
  } else if (IsFatFileRecord(sector, b)) {
    kind = Kind::kFatHead;
  } else if (IsFatFDTRecord(sector, m_bytesPerSector)) {
    kind = Kind::kFatEntries;
  }
  if (kind == Kind::kNone) return false;
  if (!m_replaying) m_journal.push_back(sectorNo);
  switch (kind) {
    case Kind::kNtfs:
      if (available >= static_cast<size_t>(kNtfsRecordBytes)) {
        status = m_ntfs.ParseNtfsFileRecord(sector, available, sectorNo);
      } else {
        // The record's second sector lies in the next buffer.
        uint8_t record[kNtfsRecordBytes] = {};
        unsigned read = 0;
        m_reader.ReadData(record, kNtfsRecordBytes / m_bytesPerSector, static_cast<long long>(sectorNo),
                          m_bytesPerSector, &read);
        status = read * b >= sizeof record ? m_ntfs.ParseNtfsFileRecord(record, sizeof record, sectorNo) : 0;
      }
      break;
    case Kind::kExfatBoot: status = m_exfat.ParseExfatBootRecord(sectorNo); break;
    case Kind::kExfatEntries: status = m_exfat.ParseExfatEntrySector(sector, available, sectorNo); break;
    case Kind::kFatHead: status = m_fat.ParseFatFileRecord(sector, sectorNo); break;
    case Kind::kFatEntries: status = m_fat.ParseFDTFileRecord(sector, sectorNo); break;
    case Kind::kNone: break;
  }
  return true;
}

int CProfessionalRecovery::ClassifyOne(const uint8_t* buffer, unsigned got, unsigned index,
                                       unsigned long long firstSector, unsigned long long& skip,
                                       unsigned long long& found) {
  const size_t b = static_cast<size_t>(m_bytesPerSector);
  const uint8_t* sector = buffer + index * b;
  const unsigned long long sectorNo = firstSector + index;
  const size_t left = (got - index) * b;
  skip = 1;
  int status = 0;
  if (OfferRecord(sector, left, sectorNo, status)) return status;
  const unsigned long long scanned = m_scanned + index;
  return m_carver.ParseFileBuf(sector, m_bytesPerSector, sectorNo, scanned, m_total, m_secondsLeft, &m_reader,
                               m_bytesPerSector, skip, found);
}

int CProfessionalRecovery::ClassifyRead(const uint8_t* buffer, unsigned got, unsigned long long firstSector,
                                        unsigned long long& advance, int& last) {
  advance = got;
  last = 0;
  unsigned long long found = GetLostFileCount() + m_filesBase;
  unsigned start = 0;
  while (start < got) {
    bool stopped = false;
    unsigned long long reach = got;
    const bool completed = m_guard.Run([&] {
      unsigned i = start;
      while (i < got) {
        m_classifyIndex = i;
        unsigned long long skip = 1;
        last = ClassifyOne(buffer, got, i, firstSector, skip, found);
        if (last == kStatusUserStop || m_stopAnswer != 0) {
          // Nothing was recorded for the file being measured: a resumed scan starts at it.
          stopped = true;
          reach = i;
          return;
        }
        const unsigned long long next = i + std::max<unsigned long long>(skip, 1);
        if (next >= got) {
          reach = next;
          return;
        }
        i = static_cast<unsigned>(next);
      }
    });
    if (completed) {
      advance = reach;
      if (!stopped) return 0;
      return m_stopAnswer != 0 ? m_stopAnswer : kStatusUserStop;
    }
    // A fault costs the sector that caused it, not the rest of the buffer.
    start = m_classifyIndex + 1;
    advance = got;
  }
  return 0;
}

int CProfessionalRecovery::ParseProfessionalFileInfo(const unsigned char* buf, int len, unsigned long long firstSector,
                                                     unsigned long long scannedSectors,
                                                     unsigned long long totalSectors, int secondsLeft,
                                                     long long& overrun, unsigned long long& filesFound) {
  overrun = 0;
  if (buf == nullptr || len < m_bytesPerSector) return kStatusInvalidParameter;
  const unsigned got = static_cast<unsigned>(len / m_bytesPerSector);
  m_scanned = scannedSectors;
  m_total = totalSectors;
  m_secondsLeft = secondsLeft;
  unsigned long long advance = 0;
  int last = 0;
  const int stop = ClassifyRead(buf, got, firstSector, advance, last);
  overrun = static_cast<long long>(advance) - static_cast<long long>(got);
  filesFound = GetLostFileCount() + m_filesBase;
  return stop != 0 ? stop : last;
}

bool CProfessionalRecovery::NextExtent(Extent& extent) {
  if (!m_bitmapMode) return false;
  unsigned long long start = extent.start + extent.count;
  unsigned long long count = 0;
  m_fast->GetUnUsedSectorCount(start, count);
  if (count == 0) return false;
  extent.start = start;
  extent.count = count;
  return true;
}

int CProfessionalRecovery::ReadPass(CReadAhead& ahead, unsigned long long sector, unsigned count, uint8_t* buffer,
                                    unsigned& got) {
  if (m_passReader) return m_passReader(sector, count, buffer, got);
  if (ahead.Running()) return ahead.Take(sector, count, buffer, got);
  return m_reader.ReadData(buffer, static_cast<int>(count), static_cast<long long>(sector), m_bytesPerSector, &got);
}

int CProfessionalRecovery::RunPass(bool resumed) {
  const unsigned perRead = static_cast<unsigned>(kPassReadBytes / m_bytesPerSector);
  const unsigned long long area = static_cast<unsigned long long>(m_sectorCount);
  // The total to read: the unused extents in bitmap mode, else the whole area.
  m_total = 0;
  if (m_bitmapMode) {
    Extent walk;
    while (NextExtent(walk)) m_total += walk.count;
  } else {
    m_total = area;
  }
  if (resumed) {
    m_extent.start = m_logRecord.ScanState[kStateExtentStart];
    m_extent.count = m_logRecord.ScanState[kStateExtentCount];
    m_position = m_logRecord.ScanState[kStatePosition];
    m_scanned = m_logRecord.ScanState[kStateScanned];
  } else {
    m_extent = Extent{};
    m_position = 0;
    m_scanned = 0;
    if (m_bitmapMode) {
      if (!NextExtent(m_extent)) m_extent = Extent{};
    } else {
      m_extent.count = area;
    }
  }
  m_secondsLeft = -1;
  m_unreadable = 0;
  std::vector<uint8_t> buffer(kPassReadBytes);
  CReadAhead ahead;
  if (m_readAhead && !m_passReader) {
    ahead.Start(m_reader.Descriptor(), m_bytesPerSector, m_reader.SectorLimit());
  }
  const unsigned started = rsb_getTickCount();
  unsigned lastEstimate = started;
  unsigned lastCheckpoint = started;
  m_lastReportTick = started;
  const unsigned long long scannedAtStart = m_scanned;
  int status = 0;
  while (m_extent.count != 0 && status == 0) {
    const unsigned long long readBase = m_extent.start + static_cast<unsigned long long>(m_startSector);
    while (m_position < m_extent.count) {
      const unsigned want = static_cast<unsigned>(std::min<unsigned long long>(perRead, m_extent.count - m_position));
      const unsigned long long sector = readBase + m_position;
      unsigned got = 0;
      const int readStatus = ReadPass(ahead, sector, want, buffer.data(), got);
      unsigned long long advance = 0;
      if (got != 0) {
        int last = 0;
        status = ClassifyRead(buffer.data(), got, sector, advance, last);
      } else if (DeviceIsGone(readStatus)) {
        DebugMessage(("the device is gone at sector " + std::to_string(sector) + "\n").c_str());
        status = readStatus;
        break;
      } else {
        // The rest is retried sector by sector: only the sector that cannot be read is skipped.
        ++m_unreadable;
        advance = 1;
      }
      // A carved file reaching past the extent counts only the extent's sectors as scanned.
      m_scanned += std::min<unsigned long long>(advance, m_extent.count - m_position);
      m_position += advance;
      if (status != 0) break;

      const unsigned now = rsb_getTickCount();
      if (now - lastEstimate >= kEstimateIntervalMs && m_weight == kDeepPhaseWeight) {
        lastEstimate = now;
        const unsigned long long seconds = (now - started) / 1000;
        unsigned long long rate = seconds == 0 ? 0 : (m_scanned - scannedAtStart) * m_bytesPerSector / seconds;
        if (rate == 0) rate = 1;
        const unsigned long long left = m_total > m_scanned ? m_total - m_scanned : 0;
        m_secondsLeft = static_cast<int>(std::min<unsigned long long>(left * m_bytesPerSector / rate, INT32_MAX));
      }
      if (now - lastCheckpoint >= kCheckpointIntervalMs) {
        lastCheckpoint = now;
        FlushAll();
        SaveLog(kPhaseFastDone);
      }
      if (ReportDue()) {
        if (Report(m_scanned, m_total) != 0) {
          status = m_stopAnswer;
          break;
        }
      }
    }
    if (status != 0) break;
    if (!NextExtent(m_extent)) {
      m_extent.start += m_extent.count;
      m_extent.count = 0;
    }
    m_position = 0;
  }
  ahead.Stop();
  if (m_unreadable != 0) {
    DebugMessage(("unreadable sectors skipped: " + std::to_string(m_unreadable) + "\n").c_str());
  }
  return status;
}

int CProfessionalRecovery::OpenJournal(bool resumed) {
  if (m_journalFd >= 0) ::close(m_journalFd);
  m_journal.clear();
  const std::string path = CLogFileManager::GetInstance().GetLogFileDirPath() + kJournalName;
  const int flags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW | (resumed ? 0 : O_TRUNC);
  m_journalFd = ::open(path.c_str(), flags, 0644);
  return m_journalFd < 0 ? errno : 0;
}

int CProfessionalRecovery::FlushJournal() {
  if (m_journal.empty()) return 0;
  std::vector<uint8_t> bytes(m_journal.size() * kJournalEntryBytes);
  for (size_t i = 0; i < m_journal.size(); ++i) WriteU64LE(bytes.data() + i * kJournalEntryBytes, 0, m_journal[i]);
  m_journal.clear();
  return m_journalFd < 0 ? kStatusInvalidParameter : WriteAll(m_journalFd, bytes.data(), bytes.size());
}

int CProfessionalRecovery::ReplayJournal(unsigned long long before) {
  const std::string path = CLogFileManager::GetInstance().GetLogFileDirPath() + kJournalName;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return errno == ENOENT ? 0 : errno;
  std::vector<uint8_t> bytes;
  uint8_t chunk[65536];
  ssize_t n = 0;
  while ((n = ::read(fd, chunk, sizeof chunk)) > 0) bytes.insert(bytes.end(), chunk, chunk + n);
  ::close(fd);
  std::vector<uint64_t> sectors;
  for (size_t at = 0; at + kJournalEntryBytes <= bytes.size(); at += kJournalEntryBytes) {
    const uint64_t sector = ReadU64LE(bytes.data(), bytes.size(), at);
    if (sector < before) sectors.push_back(sector);
  }
  // Offered again in the pass's order, each once.
  std::sort(sectors.begin(), sectors.end());
  sectors.erase(std::unique(sectors.begin(), sectors.end()), sectors.end());
  m_replaying = true;
  uint8_t record[kNtfsRecordBytes];
  for (uint64_t sector : sectors) {
    unsigned got = 0;
    const int want = kNtfsRecordBytes / m_bytesPerSector;
    m_reader.ReadData(record, want, static_cast<long long>(sector), m_bytesPerSector, &got);
    if (got == 0) m_reader.ReadData(record, 1, static_cast<long long>(sector), m_bytesPerSector, &got);
    if (got == 0) continue;
    m_guard.Run([&] {
      int status = 0;
      OfferRecord(record, static_cast<size_t>(got) * m_bytesPerSector, sector, status);
    });
  }
  m_replaying = false;
  return 0;
}

int CProfessionalRecovery::FlushAll() {
  int status = 0;
  auto keep = [&](int s) {
    if (status == 0) status = s;
  };
  keep(FlushJournal());
  keep(m_fat.FlushResults());
  keep(m_ntfs.FlushResults());
  keep(m_exfat.FlushResults());
  keep(m_carver.FlushResults());
  return status;
}

int CProfessionalRecovery::SaveLog(uint64_t phase) {
  uint64_t state[kLogScanStateCount] = {};
  state[kStateExtentStart] = m_extent.start;
  state[kStateExtentCount] = m_extent.count;
  state[kStatePosition] = m_position;
  state[kStateScanned] = m_scanned;
  state[kStateFiles] = GetLostFileCount();
  CLogFileManager& log = CLogFileManager::GetInstance();
  const std::string folder = log.GetLogFileDirPath();
  return log.SaveLogFileInfo(m_diskNumber, static_cast<uint64_t>(m_startSector), static_cast<uint64_t>(m_sectorCount),
                             state, folder.c_str(), m_imagePath.c_str(), m_mediumMark, phase);
}

void CProfessionalRecovery::BuildTrees() {
  // Each engine's trees are one item: a fault in one leaves the other's.
  m_guard.Run([&] { m_fat.DealProfessionalRecordVec(); });
  m_guard.Run([&] { m_ntfs.ParseProfessionalRecordVec(); });
  m_guard.Run([&] { m_exfat.DealExfatRecords(); });
}

int CProfessionalRecovery::ScanDevice(const char16_t* /*resultName*/) {
  if (!m_reader.IsOpen()) return kStatusInvalidParameter;
  CLogFileManager& log = CLogFileManager::GetInstance();
  const bool resumed = m_logFound;
  const uint64_t earlierPhase = resumed ? m_logRecord.PathMark : 0;
  if (!resumed) log.AddDirIndex();
  m_logFound = false;
  m_stopAnswer = 0;
  m_filesBase = 0;
  m_hidden.clear();

  int status = RunFastPhase(resumed, earlierPhase);
  uint64_t phase = 0;
  bool passRan = false;
  if (status == 0) {
    phase = kPhaseFastDone;
    const bool passDone = (earlierPhase & kPhasePassDone) != 0;
    // A scan stopped in its fast phase had not begun its pass: that starts afresh.
    const bool resumePass = resumed && (earlierPhase & kPhaseFastDone) != 0 && !passDone &&
                            m_logRecord.ScanState[kStateExtentCount] != 0;
    status = StartDeepEngines(resumed, passDone);
    if (status == 0 && !passDone) status = OpenJournal(resumePass);
    if (status == 0 && !passDone) {
      DebugMessage("InitVirtualDbrInfo Start\n");
      m_fat.InitVirtualDbrInfo();
      m_exfat.InitVirtualDbrInfo();
      CFileTypeJudge::m_tsFileRangeVec.clear();
      if (resumePass) {
        ReplayJournal(static_cast<unsigned long long>(m_startSector) + m_logRecord.ScanState[kStateExtentStart] +
                      m_logRecord.ScanState[kStatePosition]);
      }
      status = RunPass(resumePass);
      passRan = true;
      // Everything harvested is on disk, and the position saved, before the trees are built.
      FlushAll();
      SaveLog(phase);
      BuildTrees();
      if (status == 0) phase |= kPhasePassDone;
    } else if (status == 0) {
      phase |= kPhasePassDone;
    }
    FlushAll();
  }
  FindDuplicates();
  if (status == 0 && m_scanCallback != nullptr) {
    m_scanCallback(m_context, kPercentDone, kPercentDone, 0, 0, 0, 0, nullptr);
  }
  if (!resumed && !passRan && status != m_stopAnswer) {
    log.ReduceDirIndex();
  } else {
    SaveLog(phase);
  }
  return status;
}

IFileRecoveryParse* CProfessionalRecovery::EngineOf(uint32_t sourceKind) {
  switch (sourceKind) {
    case kSourceFast:
    case kSourceFastFat: return m_fast.get();
    case kSourceDeepNtfs: return &m_ntfs;
    case kSourceDeepFat: return &m_fat;
    case kSourceCarved: return &m_carver;
    case kSourceExfat: return m_fast.get();
    case kSourceDeepExfat: return &m_exfat;
    default: return nullptr;
  }
}

bool CProfessionalRecovery::IsHidden(const _FILE_NODE_& node) const {
  return node.IsDirectory == 0 && m_hidden.count({node.SourceKind, node.FileIndex}) != 0;
}

int CProfessionalRecovery::GetChildrenFileNode(_FILE_NODE_* parent, unsigned int qualifier,
                                               std::vector<_FILE_NODE_>& out) {
  std::vector<_FILE_NODE_> found;
  if (parent == nullptr) {
    if (qualifier != 0) return kStatusInvalidParameter;
    if (m_fast != nullptr) m_fast->GetChildrenFileNode(nullptr, 0, found);
    m_fat.GetChildrenFileNode(nullptr, 0, found);
    m_ntfs.GetChildrenFileNode(nullptr, 0, found);
    m_exfat.GetChildrenFileNode(nullptr, 0, found);
    m_carver.GetChildrenFileNode(nullptr, 0, found);
  } else if (parent->SourceKind != kSourceCarved) {
    IFileRecoveryParse* engine = EngineOf(parent->SourceKind);
    if (engine != nullptr) engine->GetChildrenFileNode(parent, qualifier, found);
  }
  for (const _FILE_NODE_& node : found) {
    if (!IsHidden(node)) out.push_back(node);
  }
  SortAndDropRepeatedDirectories(out);
  return 0;
}

int CProfessionalRecovery::GetChildrenFileCount(_FILE_NODE_* parent, unsigned int qualifier, unsigned int& count) {
  if (parent == nullptr) {
    if (qualifier != 0) return kStatusInvalidParameter;
    unsigned int total = 0;
    auto add = [&](IFileRecoveryParse& engine) {
      unsigned int n = 0;
      engine.GetChildrenFileCount(nullptr, 0, n);
      total += n;
    };
    if (m_fast != nullptr) add(*m_fast);
    add(m_fat);
    add(m_ntfs);
    add(m_exfat);
    add(m_carver);
    const unsigned int hidden = static_cast<unsigned int>(m_hidden.size());
    count += total > hidden ? total - hidden : 0;
    return 0;
  }
  if (parent->SourceKind == kSourceCarved) return 0;
  IFileRecoveryParse* engine = EngineOf(parent->SourceKind);
  return engine != nullptr ? engine->GetChildrenFileCount(parent, qualifier, count) : 0;
}

unsigned int CProfessionalRecovery::GetLostFileCount() {
  unsigned int total =
      m_fat.GetLostFileCount() + m_ntfs.GetLostFileCount() + m_exfat.GetLostFileCount() + m_carver.GetLostFileCount();
  if (m_fast != nullptr) total += m_fast->GetLostFileCount();
  const unsigned int hidden = static_cast<unsigned int>(m_hidden.size());
  return total > hidden ? total - hidden : 0;
}

int CProfessionalRecovery::GetFileNodeParentDirPath(_FILE_NODE_* node, char16_t* out, int capacity) {
  if (node == nullptr) return kStatusInvalidParameter;
  IFileRecoveryParse* engine = EngineOf(node->SourceKind);
  return engine != nullptr ? engine->GetFileNodeParentDirPath(node, out, capacity) : 0;
}

int CProfessionalRecovery::SaveFileData(_FILE_NODE_* node, const char16_t* targetPath, int destDepth) {
  if (node == nullptr) return kStatusInvalidParameter;
  IFileRecoveryParse* engine = EngineOf(node->SourceKind);
  return engine != nullptr ? engine->SaveFileData(node, targetPath, destDepth) : 0;
}

int CProfessionalRecovery::PreView(_FILE_NODE_* node, char16_t* tempPath, unsigned char* buffer, int& size,
                                   PreviewCallback previewCallback, void* context) {
  if (node == nullptr) return kStatusInvalidParameter;
  IFileRecoveryParse* engine = EngineOf(node->SourceKind);
  return engine != nullptr ? engine->PreView(node, tempPath, buffer, size, previewCallback, context) : 0;
}

int CProfessionalRecovery::GetUnUsedSectorCount(unsigned long long& /*a*/, unsigned long long& /*b*/) { return 0; }

int CProfessionalRecovery::BuildBitMapInfo() { return 0; }

int CProfessionalRecovery::GetFileDataStartSectorMap(const std::vector<__SEARCH_FILE_INFO__>& hits,
                                                     std::vector<std::pair<uint64_t, size_t>>& starts) {
  starts.clear();
  const uint64_t b = static_cast<uint64_t>(m_bytesPerSector);
  for (size_t i = 0; i < hits.size(); ++i) {
    const __SEARCH_FILE_INFO__& hit = hits[i];
    if (hit.ClusterBytes <= 0) continue;
    const uint64_t perCluster = static_cast<uint64_t>(hit.ClusterBytes) / b;
    if (hit.SourceKind == kSourceFast || hit.SourceKind == kSourceDeepNtfs) {
      std::vector<__RUNLIST__> runs;
      if (m_ntfs.GetRunListInfo(hit.RecordSector, kNtfsDataAttribute, runs) != 0 || runs.empty()) continue;
      if (runs.front().i64RunOffset < 0) continue;
      starts.emplace_back(static_cast<uint64_t>(runs.front().i64RunOffset) * perCluster + hit.VolumeStartSector, i);
    } else if (hit.SourceKind == kSourceFastFat || hit.SourceKind == kSourceDeepFat || hit.SourceKind == kSourceExfat ||
               hit.SourceKind == kSourceDeepExfat) {
      // Both FAT kinds count clusters from 2 at the data area; only FAT12/16 has a root area.
      const bool exfat = hit.SourceKind == kSourceExfat || hit.SourceKind == kSourceDeepExfat;
      const uint64_t dataStart = hit.DataStartSector + hit.VolumeStartSector;
      if (hit.DirKey >= 2) {
        starts.emplace_back(dataStart + static_cast<uint64_t>(hit.DirKey - 2) * perCluster, i);
      } else if (!exfat && dataStart >= kFatRootAreaSectors) {
        starts.emplace_back(dataStart - kFatRootAreaSectors, i);
      }
    }
  }
  return 0;
}

int CProfessionalRecovery::SearchFileNode(const char16_t* key, std::vector<__SEARCH_FILE_INFO__>& out) {
  std::vector<__SEARCH_FILE_INFO__> named;
  if (m_fast != nullptr) m_fast->SearchFileNode(key, named);
  m_fat.SearchFileNode(key, named);
  m_ntfs.SearchFileNode(key, named);
  m_exfat.SearchFileNode(key, named);

  std::vector<std::pair<uint64_t, size_t>> starts;
  GetFileDataStartSectorMap(named, starts);
  // One file found by two engines (the fast engine and the deep FAT engine both list the
  // files of a deleted folder) is listed once, under the fuller path.
  std::vector<bool> dropped(named.size(), false);
  std::map<std::pair<uint64_t, uint64_t>, size_t> byStartAndSize;
  std::multimap<uint64_t, size_t> byStart;
  auto pathOf = [&](size_t i) {
    std::vector<char16_t> dir(kPathChars, 0);
    GetFileNodeParentDirPath(&named[i], dir.data(), static_cast<int>(kPathChars));
    return Utf16ToUtf8(dir.data());
  };
  auto fuller = [&](const std::string& a, const std::string& b) {
    const bool aLost = a.find(kLostFolderPrefix) != std::string::npos;
    const bool bLost = b.find(kLostFolderPrefix) != std::string::npos;
    if (aLost != bLost) return !aLost;
    return a.size() > b.size();
  };
  for (const auto& [start, index] : starts) {
    auto [it, inserted] = byStartAndSize.emplace(std::make_pair(start, named[index].FileSize), index);
    if (!inserted) {
      const size_t kept = it->second;
      if (fuller(pathOf(index), pathOf(kept))) {
        dropped[kept] = true;
        it->second = index;
      } else {
        dropped[index] = true;
      }
    }
  }
  for (const auto& [start, index] : starts) {
    if (!dropped[index]) byStart.emplace(start, index);
  }
  for (size_t i = 0; i < named.size(); ++i) {
    if (dropped[i]) {
      m_hidden.insert({named[i].SourceKind, named[i].FileIndex});
    } else {
      out.push_back(named[i]);
    }
  }

  // A carved file is the copy of a named one when a healthy named file of the same type starts
  // at its sector and their sizes differ by less than a cluster.
  std::vector<__SEARCH_FILE_INFO__> carved;
  m_carver.SearchFileNode(key, carved);
  for (const __SEARCH_FILE_INFO__& hit : carved) {
    bool duplicate = false;
    const EXTEND_NAME_TYPE carvedType = TypeOfName(hit.FileName);
    auto range = byStart.equal_range(hit.RecordSector);
    for (auto it = range.first; it != range.second && !duplicate; ++it) {
      const __SEARCH_FILE_INFO__& n = named[it->second];
      if (n.IsHealthy == 0) continue;
      const bool sameType = (carvedType != kTypeNone && TypeOfName(n.FileName) == carvedType) ||
                            (HasExtension(n.FileName, "thm") && HasExtension(hit.FileName, "jpg"));
      const uint64_t difference = n.FileSize > hit.FileSize ? n.FileSize - hit.FileSize : hit.FileSize - n.FileSize;
      duplicate = sameType && difference <= static_cast<uint64_t>(std::max(n.ClusterBytes, m_bytesPerSector));
    }
    if (duplicate) {
      m_hidden.insert({hit.SourceKind, hit.FileIndex});
    } else {
      out.push_back(hit);
    }
  }
  std::sort(out.begin(), out.end(), VectorCmp);
  return 0;
}

void CProfessionalRecovery::FindDuplicates() {
  CategorySelection all;
  ParseCategoryList("all", all);
  std::vector<__SEARCH_FILE_INFO__> hits;
  SearchCallback callback = m_searchCallback;
  void* context = m_searchContext;
  InitSearchCallBack(nullptr, nullptr);
  SearchFileNode(BuildSearchKey(all).c_str(), hits);
  InitSearchCallBack(callback, context);
}

}  // namespace vorlenta
