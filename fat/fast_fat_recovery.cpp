#include "fat/fast_fat_recovery.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "format/file_type_judge.h"
#include "device/boot_probe.h"
#include "engine/categories.h"
#include "engine/crash_guard.h"
#include "engine/status.h"
#include "fat/fat_entry_names.h"
#include "format/fat_record.h"
#include "util/debug_log.h"
#include "util/os_helpers.h"
#include "util/platform.h"
#include "util/text.h"

namespace vorlenta {
namespace {

constexpr uint32_t kSector = kFatSupportedSectorSize;
// Bytes of a directory's first cluster read to follow its ".." entry.
constexpr uint32_t kDepthProbeBytes = 4096;
// How often the scan reports progress while it walks directories.
constexpr unsigned kReportIntervalMs = 5000;
// High words tried for a deleted FAT32 entry that lost its high cluster word.
constexpr uint32_t kMaxHighWordSearch = 256;
constexpr int kPercentStart = 1;
constexpr int kPercentWalkDone = 80;
constexpr int kPercentDone = 100;
constexpr int kWeightWindow = 100;
constexpr int kWeightDeepScan = 9;
constexpr int kDeepScanFirstPercent = 21;

CCrashGuard& Guard() {
  static CCrashGuard guard("CFastFatRecovery recvSignal");
  return guard;
}

}  // namespace

CFastFatRecovery::CFastFatRecovery()
    : m_extraction(
          [this](const _FILE_NODE_& node, uint64_t total, const DataPieceSink& sink) { return ReadNodeData(node, total, sink); },
          // The children of a directory are kept under its own depth from the root.
          [this](const _FILE_NODE_& folder) {
            uint32_t depth = 0;
            (void)GetRootParentDirIndex(folder.DirKey, depth);
            return depth;
          },
          [this](_FILE_NODE_& dir, uint32_t depth, std::vector<_FILE_NODE_>& out) {
            return GetChildrenFileNode(&dir, depth, out);
          }) {}

CFastFatRecovery::~CFastFatRecovery() = default;

int CFastFatRecovery::Init(int diskNumber, long long startSector, long long sectorCount, char16_t volumeTag) {
  if (m_open) return 0;
  if (startSector < 0 || sectorCount <= 0) return kStatusInvalidParameter;
  m_volumeStart = startSector;
  m_volumeSectors = sectorCount;
  m_volumeTag = volumeTag;
  return OpenVolume(m_reader.Init(diskNumber, static_cast<unsigned long long>(startSector + sectorCount)));
}

int CFastFatRecovery::Init(const char16_t* path, char16_t volumeTag) {
  if (m_open) return 0;
  if (path == nullptr) return kStatusInvalidParameter;
  const std::string utf8 = Utf16ToUtf8(path);
  const int fd = ::open(utf8.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  const int64_t size = GetDeviceSize(fd);
  ::close(fd);
  if (size < 0) return errno;
  m_volumeStart = 0;
  m_volumeSectors = size / kSector;
  m_volumeTag = volumeTag;
  return OpenVolume(m_reader.InitPath(utf8, static_cast<unsigned long long>(m_volumeSectors)));
}

// Reads the boot record, decides the FAT type and loads the first FAT window.
int CFastFatRecovery::OpenVolume(int status) {
  if (status != 0) return status;
  uint8_t boot[kBootSectorBytes];
  unsigned got = 0;
  status = m_reader.ReadData(boot, 1, m_volumeStart, kSector, &got);
  if (status != 0) return status == kStatusInvalidParameter ? kStatusReadFault : status;
  status = ParseFatGeometry(boot, sizeof boot, m_geometry);
  if (status != 0) {
    DebugPrint("CFastFatRecovery: no usable FAT boot record at sector %lld\n", m_volumeStart);
    return status;
  }
  // Never read past the volume, whatever the boot record claims.
  if (m_geometry.totalSectors < static_cast<uint64_t>(m_volumeSectors)) {
    m_volumeSectors = static_cast<long long>(m_geometry.totalSectors);
  }
  const uint64_t fatBytes = static_cast<uint64_t>(m_geometry.sectorsPerFat) * kSector;
  m_fatWindow.assign(static_cast<size_t>(std::min<uint64_t>(fatBytes, kFatWindowBytes)), 0);
  m_fatWindowLength = 0;
  status = LoadFatWindow(0);
  if (status != 0) return status;
  m_open = true;
  return 0;
}

int CFastFatRecovery::ReadVolume(uint8_t* buffer, uint32_t sectors, uint64_t relativeSector, unsigned& got) {
  got = 0;
  if (relativeSector + sectors > static_cast<uint64_t>(m_volumeSectors)) return kStatusReadFault;
  const int status =
      m_reader.ReadData(buffer, static_cast<int>(sectors), m_volumeStart + static_cast<long long>(relativeSector), kSector, &got);
  return status == kStatusInvalidParameter ? kStatusReadFault : status;
}

// Loads the window so that it starts at the FAT sector holding `byteOffset`.
int CFastFatRecovery::LoadFatWindow(uint64_t byteOffset) {
  const uint64_t fatBytes = static_cast<uint64_t>(m_geometry.sectorsPerFat) * kSector;
  if (byteOffset >= fatBytes || m_fatWindow.empty()) return kStatusReadFault;
  const uint64_t firstSector = byteOffset / kSector;
  const uint64_t sectors = std::min<uint64_t>(m_fatWindow.size() / kSector, m_geometry.sectorsPerFat - firstSector);
  unsigned got = 0;
  const int status = ReadVolume(m_fatWindow.data(), static_cast<uint32_t>(sectors), m_geometry.fatStartSector + firstSector, got);
  m_fatWindowOffset = firstSector * kSector;
  m_fatWindowLength = static_cast<size_t>(got) * kSector;
  if (got == 0) return status != 0 ? status : kStatusReadFault;
  return 0;
}

int CFastFatRecovery::GetNextClusterNO(uint32_t c, uint32_t& entry) {
  entry = 0;
  if (!m_open) return kStatusInvalidParameter;
  if (DecodeFatEntry(m_geometry, m_fatWindow.data(), m_fatWindowLength, m_fatWindowOffset, c, entry)) return 0;
  const int status = LoadFatWindow(m_geometry.EntryOffset(c));
  if (status != 0) return status;
  return DecodeFatEntry(m_geometry, m_fatWindow.data(), m_fatWindowLength, m_fatWindowOffset, c, entry) ? 0
                                                                                                        : kStatusReadFault;
}

int CFastFatRecovery::FindNextClusterNO(uint32_t c, uint32_t& next) {
  next = 0;
  uint32_t entry = 0;
  int status = GetNextClusterNO(c, entry);
  if (status != 0) return status;
  if (entry != 0) {
    // A link outside the data area (damage, or the bad-cluster mark) ends the chain too.
    if (!m_geometry.IsEndOfChain(entry) && m_geometry.IsValidCluster(entry)) next = entry;
    return 0;
  }
  // A free entry: after deletion, assume the data went on in the next free cluster.
  uint32_t following = 0;
  if (!m_geometry.IsValidCluster(c + 1)) return 0;
  status = GetNextClusterNO(c + 1, following);
  if (status == 0 && following == 0) next = c + 1;
  return status;
}

uint16_t CFastFatRecovery::GetDirRealHighClusterNO(uint16_t low) {
  uint8_t sector[kSector];
  for (uint32_t high = 0; high <= kMaxHighWordSearch; ++high) {
    const uint32_t cluster = (high << 16) | low;
    if (!m_geometry.IsValidCluster(cluster)) break;
    unsigned got = 0;
    if (ReadVolume(sector, 1, m_geometry.ClusterToSector(cluster), got) != 0) break;
    if (IsDirectoryHead(sector, sizeof sector)) return static_cast<uint16_t>(high);
  }
  return 0;
}

uint16_t CFastFatRecovery::GetFileRealHighClusterNO(uint16_t low, const std::string& name) {
  std::string ext;
  if (!GetLowerExtension(name.c_str(), ext) || ext.empty()) return 0;
  uint8_t sector[kSector];
  for (uint32_t high = 0; high <= kMaxHighWordSearch; ++high) {
    const uint32_t cluster = (high << 16) | low;
    if (!m_geometry.IsValidCluster(cluster)) break;
    const uint64_t relative = m_geometry.ClusterToSector(cluster);
    unsigned got = 0;
    if (ReadVolume(sector, 1, relative, got) != 0 || got == 0) break;
    if (CFileTypeJudge::IsFileTypeMatching(sector, sizeof sector, ext.c_str(), &m_reader, kSector,
                                           static_cast<uint64_t>(m_volumeStart) + relative) != 0) {
      return static_cast<uint16_t>(high);
    }
  }
  return 0;
}

int CFastFatRecovery::GetRootParentDirIndex(uint32_t c, uint32_t& depth) {
  depth = 0;
  const uint32_t start = c;
  if (auto it = m_depthCache.find(c); it != m_depthCache.end()) {
    depth = it->second;
    return 0;
  }
  std::unordered_set<uint32_t> visited;
  std::vector<uint8_t> buffer(kDepthProbeBytes);
  int status = 0;
  for (;;) {
    visited.insert(c);
    // The root: cluster 0 (a ".." entry pointing at the root says 0 on every FAT type).
    if (c == 0 || c == m_geometry.rootCluster) break;
    const uint64_t sector = m_geometry.ClusterToSector(c);
    const uint32_t sectors = std::min<uint32_t>(kDepthProbeBytes / kSector, m_geometry.sectorsPerCluster * 4);
    unsigned got = 0;
    status = ReadVolume(buffer.data(), sectors, sector, got);
    if (status != 0) break;
    if (buffer[kFatAttrOffset] == kFatAttrVolumeLabel || !IsDirectoryHead(buffer.data(), buffer.size())) break;
    ++depth;
    const FAT32_Entry dotdot = FAT32_Entry::At(buffer.data(), buffer.size(), 1);
    const uint32_t parent = m_geometry.IsFat32() ? dotdot.FirstCluster() : dotdot.ClusterLow();
    if (visited.count(parent) != 0) break;
    if (auto it = m_depthCache.find(parent); it != m_depthCache.end()) {
      depth += it->second;
      break;
    }
    c = parent;
  }
  if (status == 0) m_depthCache[start] = depth;
  return status;
}

uint32_t CFastFatRecovery::EntryCluster(const uint8_t* entry, bool deleted, bool directory, const std::string& name) {
  const FAT32_Entry e(entry, kFatEntrySize);
  if (!m_geometry.IsFat32()) return e.ClusterLow();
  uint16_t high = e.ClusterHigh();
  // Some systems clear the high word when they delete an entry: find it again by content.
  if (deleted && high == 0 && e.ClusterLow() != 0) {
    high = directory ? GetDirRealHighClusterNO(e.ClusterLow()) : GetFileRealHighClusterNO(e.ClusterLow(), name);
  }
  return (static_cast<uint32_t>(high) << 16) | e.ClusterLow();
}

void CFastFatRecovery::MarkPath(uint32_t dirKey) {
  uint32_t key = dirKey;
  // Each directory on the way to the root leads to a listed entry; the bound stops a loop of
  // parent links in a damaged tree.
  for (size_t steps = 0; steps <= m_dirMap.size(); ++steps) {
    if (m_pathSet.insert(key).second) m_pathList.push_back(key);
    const auto it = m_dirMap.find(key);
    if (it == m_dirMap.end()) return;
    const uint32_t parent = it->second.FileIndex;
    if (parent <= m_geometry.rootCluster || parent == key) return;
    key = parent;
  }
}

void CFastFatRecovery::AddFileNode(const uint8_t* entryBytes, const std::string& name, uint64_t recordSector,
                                   uint32_t dirKey, bool lostLetter) {
  const FAT32_Entry entry(entryBytes, kFatEntrySize);
  const bool deleted = entry.IsDeleted();
  _FILE_NODE_ node;
  std::memset(&node, 0, sizeof node);
  node.VolumeTag = m_volumeTag;
  node.SourceKind = kSourceFastFat;
  node.IsDirectory = 0;
  node.DirKey = EntryCluster(entryBytes, deleted, false, name);
  node.ClusterBytes = static_cast<int32_t>(m_geometry.ClusterBytes());
  FillNodeFromEntry(entry, node);
  node.DataStartSector = m_geometry.firstDataSector;
  node.RecordSector = recordSector;
  node.VolumeStartSector = static_cast<uint64_t>(m_volumeStart);
  SetFileNodeName(node, name.c_str());
  node.IsHealthy = static_cast<uint32_t>(IsFileDataHealth(node));
  if (lostLetter) {
    m_waitingFiles.push_back({node, dirKey, HeadOfEntry(entryBytes)});
    MarkPath(dirKey);
    return;
  }
  WriteFileNode(node, dirKey);
}

void CFastFatRecovery::WriteFileNode(_FILE_NODE_& node, uint32_t dirKey) {
  CScanResultFileManager& store = *m_results.Store();
  const uint32_t index = store.AppendFileNode(node);
  if (index == 0) return;
  uint32_t depth = 0;
  (void)GetRootParentDirIndex(dirKey, depth);
  store.AddChildren(dirKey, depth, index, 0, nullptr);
  MarkPath(dirKey);
}

void CFastFatRecovery::AddDirectoryRecord(const uint8_t* entryBytes, const std::string& name, uint32_t dirKey,
                                          bool deleted, bool lostLetter) {
  const FAT32_Entry entry(entryBytes, kFatEntrySize);
  const uint32_t cluster = EntryCluster(entryBytes, entry.IsDeleted(), true, name);
  if (cluster == 0 || cluster == dirKey || !m_geometry.IsValidCluster(cluster)) return;
  _FILE_NODE_ record;
  std::memset(&record, 0, sizeof record);
  record.VolumeTag = m_volumeTag;
  record.SourceKind = kSourceFastFat;
  record.IsDirectory = 1;
  record.Reserved = deleted ? 1 : 0;  // while in the map: the deleted flag
  record.FileIndex = dirKey;          // while in the map: the parent's key
  record.IsHealthy = 1;
  record.DirKey = cluster;
  record.ClusterBytes = static_cast<int32_t>(m_geometry.ClusterBytes());
  FillNodeFromEntry(entry, record);
  record.FileSize = 0;
  record.DataStartSector = m_geometry.firstDataSector;
  SetFileNodeName(record, name.c_str());
  if (lostLetter) {
    m_lostLetterDirs[cluster] = HeadOfEntry(entryBytes);
  } else {
    m_lostLetterDirs.erase(cluster);
  }
  m_pending.push_back(cluster);
  m_dirMap[cluster] = record;
}

bool CFastFatRecovery::ParseDirectoryBuffer(const uint8_t* buffer, size_t length, uint64_t firstSector,
                                            uint32_t& dirKey, bool dirDeleted) {
  const size_t entries = length / kFatEntrySize;
  for (size_t i = 0; i < entries; ++i) {
    const uint8_t* bytes = buffer + i * kFatEntrySize;
    // The view reaches to the buffer's end: a directory head is judged with the entry after it.
    const FAT32_Entry entry = FAT32_Entry::At(buffer, length, i);
    const uint64_t recordSector = firstSector + (i * kFatEntrySize) / kSector;
    if (entry.IsEnd()) return true;
    if (IsFatEntyValid(entry) == 0) {
      m_longName.Reset();
      continue;
    }
    if (entry.IsLongName()) {
      if (!m_longName.Add(entry)) return true;
      continue;
    }
    const bool pending = m_longName.Pending();
    const uint8_t checksum = m_longName.Checksum();
    const std::string longName = m_longName.Take();
    const bool haveLongName = !longName.empty();
    const bool lostLetter = entry.IsDeleted() && !haveLongName;
    if (entry.IsDirectory()) {
      const bool dot = bytes[0] == '.' && bytes[1] == ' ';
      const bool dotdot = bytes[0] == '.' && bytes[1] == '.' && bytes[2] == ' ';
      if (dot) {
        const uint32_t own = m_geometry.IsFat32() ? entry.FirstCluster() : entry.ClusterLow();
        if (own != 0) dirKey = own;
        continue;
      }
      if (dotdot) continue;
      m_letters.AddEntry(bytes, pending, checksum, dirKey);
      const std::string name = haveLongName ? longName : ShortName(bytes, false);
      AddDirectoryRecord(bytes, name, dirKey, entry.IsDeleted() || dirDeleted, lostLetter);
      continue;
    }
    if ((entry.Attribute() & kFatAttrVolumeLabel) != 0) continue;
    m_letters.AddEntry(bytes, pending, checksum, dirKey);
    if (!entry.IsDeleted() && !dirDeleted) continue;
    const std::string name = haveLongName ? MendTruncatedLongName(longName, bytes) : ShortName(bytes, true);
    AddFileNode(bytes, name, static_cast<uint64_t>(m_volumeStart) + recordSector, dirKey, lostLetter);
  }
  return false;
}

int CFastFatRecovery::InitDirInfo(uint32_t c) {
  const auto record = m_dirMap.find(c);
  const bool isSubdirectory = record != m_dirMap.end();
  const bool dirDeleted = isSubdirectory && record->second.Reserved != 0;
  uint32_t dirKey = c;
  const bool rootArea = !m_geometry.IsFat32() && c == 0;
  const uint32_t sectors = rootArea ? m_geometry.rootDirSectors : m_geometry.sectorsPerCluster;
  if (sectors == 0) return 0;
  std::vector<uint8_t> buffer(static_cast<size_t>(sectors) * kSector);
  m_longName.Reset();
  std::unordered_set<uint32_t> visited;
  uint32_t cluster = c;
  bool first = true;
  int status = 0;
  for (;;) {
    // A chain that comes back to a cluster it already passed is damaged: stop there.
    if (!rootArea && !visited.insert(cluster).second) break;
    const uint64_t sector = rootArea ? m_geometry.rootAreaSector : m_geometry.ClusterToSector(cluster);
    unsigned got = 0;
    status = ReadVolume(buffer.data(), sectors, sector, got);
    if (status != 0) break;
    // A subdirectory whose first cluster no longer starts like one has been overwritten.
    if (first && isSubdirectory && cluster != m_geometry.rootCluster && !IsDirectoryHead(buffer.data(), buffer.size())) {
      break;
    }
    first = false;
    bool ended = false;
    const bool parsed = Guard().Run([&] {
      ended = ParseDirectoryBuffer(buffer.data(), buffer.size(), sector, dirKey, dirDeleted);
    });
    if (!parsed) m_longName.Reset();
    if (ended || rootArea) break;
    uint32_t next = 0;
    status = FindNextClusterNO(cluster, next);
    if (status != 0 || next == 0 || next == cluster) break;
    cluster = next;
  }
  return status;
}

int CFastFatRecovery::ReportScan(int percent, int secondsLeft) {
  if (m_scanCallback == nullptr) return 0;
  const unsigned long long found = m_results.NodeCount();
  return m_scanCallback(m_context, percent, m_weight, secondsLeft, 0, static_cast<unsigned long long>(m_volumeSectors),
                        found, nullptr);
}

int CFastFatRecovery::ScanDevice(const char16_t* resultName) {
  if (resultName != nullptr) {
    return m_results.Open(resultName);
  }
  if (!m_open) return kStatusInvalidParameter;
  m_dirMap.clear();
  m_pending.clear();
  m_pathList.clear();
  m_pathSet.clear();
  m_depthCache.clear();
  m_letters.Clear();
  m_waitingFiles.clear();
  m_lostLetterDirs.clear();
  SYSTEMTIME now{};
  rsb_getSystemTime(&now);
  char name[128];
  std::snprintf(name, sizeof name, "Fast_%lld_%d%d%d%d%2d", m_volumeStart, now.wYear, now.wMonth, now.wDay, now.wHour,
                now.wMinute);
  int status = m_results.Open(Ansi2Unicode(name).c_str());
  if (status != 0) return status;
  CScanResultFileManager& store = *m_results.Store();

  int answer = ReportScan(kPercentStart, -1);
  m_pending.push_back(m_geometry.rootCluster);
  std::unordered_set<uint32_t> walked;
  unsigned lastReport = rsb_getTickCount();
  int step = 2;
  int countdown = 99;
  int deepPercent = kDeepScanFirstPercent;
  while (answer == 0 && !m_pending.empty()) {
    const uint32_t cluster = m_pending.front();
    m_pending.pop_front();
    if (!walked.insert(cluster).second) continue;
    (void)InitDirInfo(cluster);
    if (rsb_getTickCount() - lastReport >= kReportIntervalMs) {
      lastReport = rsb_getTickCount();
      if (m_weight == kWeightWindow) {
        answer = ReportScan(step++, countdown > 0 ? countdown-- : 0);
      } else if (m_weight == kWeightDeepScan) {
        answer = ReportScan(deepPercent++, -1);
      }
    }
  }
  if (answer == 0) answer = ReportScan(kPercentWalkDone, 10);
  // What was found becomes nodes even after a stop, so that it keeps its paths.
  WriteSettledNodes();
  status = store.FlushBufToFile();
  if (answer != 0) return answer;
  answer = ReportScan(kPercentDone, 0);
  return answer != 0 ? answer : status;
}

void CFastFatRecovery::WriteSettledNodes() {
  for (WaitingFile& waiting : m_waitingFiles) {
    SetFileNodeName(waiting.node, m_letters.SettledName(waiting.head, true, waiting.dirKey).c_str());
    WriteFileNode(waiting.node, waiting.dirKey);
  }
  m_waitingFiles.clear();
  CScanResultFileManager& store = *m_results.Store();
  for (const uint32_t cluster : m_pathList) {
    const auto it = m_dirMap.find(cluster);
    if (it == m_dirMap.end()) continue;
    _FILE_NODE_ node = it->second;
    const uint32_t parentKey = node.FileIndex;
    node.Reserved = 0;
    node.IsHealthy = 1;
    const auto lost = m_lostLetterDirs.find(cluster);
    if (lost != m_lostLetterDirs.end()) {
      SetFileNodeName(node, m_letters.SettledName(lost->second, false, parentKey).c_str());
    }
    const uint32_t index = store.AppendFileNode(node);
    if (index == 0) continue;
    uint32_t depth = 0;
    (void)GetRootParentDirIndex(parentKey, depth);
    store.AddChildren(parentKey, depth, index, cluster, node.FileName);
  }
}

int CFastFatRecovery::InitCallBack(ScanCallback scanCallback, RecoveryCallback recoveryCallback, void* context,
                                   int weight) {
  m_scanCallback = scanCallback;
  m_recoveryCallback = recoveryCallback;
  m_context = context;
  m_weight = weight;
  return 0;
}

int CFastFatRecovery::GetChildrenFileNode(_FILE_NODE_* parent, unsigned int depth, std::vector<_FILE_NODE_>& out) {
  if (parent == nullptr && depth != 0) return kStatusInvalidParameter;
  const uint32_t key = parent == nullptr || parent->DirKey == 0 ? m_geometry.rootCluster : parent->DirKey;
  return m_results.Children(MakeRelationKey(depth, key), out);
}

int CFastFatRecovery::GetChildrenFileCount(_FILE_NODE_* parent, unsigned int depth, unsigned int& count) {
  count = 0;
  if (parent == nullptr && depth != 0) return kStatusInvalidParameter;
  const uint32_t key = parent == nullptr || parent->DirKey == 0 ? m_geometry.rootCluster : parent->DirKey;
  return m_results.ChildrenCount(MakeRelationKey(depth, key), count);
}

unsigned int CFastFatRecovery::GetLostFileCount() { return m_results.NodeCount(); }

int CFastFatRecovery::GetFileNodeParentDirPath(_FILE_NODE_* node, char16_t* out, int capacity) {
  return m_results.ParentDirPath(node, out, capacity);
}

int CFastFatRecovery::InitSearchCallBack(SearchCallback searchCallback, void* context) {
  return m_results.SetSearchCallback(searchCallback, context);
}

int CFastFatRecovery::SearchFileNode(const char16_t* key, std::vector<__SEARCH_FILE_INFO__>& out) {
  return m_results.Search(key, out);
}

int CFastFatRecovery::BuildBitMapInfo() {
  if (!m_open) return kStatusInvalidParameter;
  m_bitmapClusters = m_geometry.clusterCount;
  m_bitmap.assign((m_bitmapClusters + 7) / 8, 0);
  auto setBit = [this](uint32_t cluster) {
    const uint32_t bit = cluster - kFirstDataCluster;
    m_bitmap[bit / 8] = static_cast<uint8_t>(m_bitmap[bit / 8] | (1u << (bit % 8)));
  };
  for (uint32_t c = kFirstDataCluster; c - kFirstDataCluster < m_bitmapClusters; ++c) {
    uint32_t entry = 0;
    if (GetNextClusterNO(c, entry) != 0 || entry == 0) continue;
    setBit(c);
    if (!m_geometry.IsEndOfChain(entry) && m_geometry.IsValidCluster(entry)) setBit(entry);
  }
  return 0;
}

int CFastFatRecovery::GetUnUsedSectorCount(unsigned long long& sector, unsigned long long& count) {
  count = 0;
  const unsigned long long volumeSectors = static_cast<unsigned long long>(m_volumeSectors);
  if (sector > volumeSectors) {
    sector = volumeSectors;
    return 1;
  }
  const unsigned long long dataStart = m_geometry.firstDataSector;
  const unsigned long long perCluster = m_geometry.sectorsPerCluster != 0 ? m_geometry.sectorsPerCluster : 1;
  unsigned long long relative = sector != 0 ? (sector > dataStart ? sector - dataStart : 0) : 0;
  unsigned long long cluster = relative / perCluster;
  if (cluster / 8 < m_bitmap.size()) {
    auto isSet = [this](unsigned long long n) { return (m_bitmap[n / 8] >> (n % 8)) & 1u; };
    unsigned long long free = cluster;
    while (free < m_bitmapClusters && isSet(free)) ++free;
    if (free < m_bitmapClusters) {
      relative += (free - cluster) * perCluster;
      unsigned long long end = free;
      while (end < m_bitmapClusters && !isSet(end)) ++end;
      count = (end - free) * perCluster;
    }
  }
  sector = relative + dataStart;
  count = sector >= volumeSectors ? 0 : std::min(count, volumeSectors - sector);
  return 1;
}

int CFastFatRecovery::GetDeviceFileSystemType(char* /*unused*/) const { return m_geometry.IsFat32() ? 1 : 0; }

int CFastFatRecovery::IsFileDataHealth(const _FILE_NODE_& node) {
  std::string ext;
  if (!GetLowerExtension(node.FileName, ext) || ext.empty()) return 1;
  if (!m_geometry.IsValidCluster(node.DirKey)) return 0;
  const uint64_t relative = m_geometry.ClusterToSector(node.DirKey);
  if (relative >= static_cast<uint64_t>(m_volumeSectors)) return 1;
  return IsFirstSectorHealthy(m_reader, node.FileName, static_cast<uint64_t>(m_volumeStart) + relative);
}

int CFastFatRecovery::ReadNodeData(const _FILE_NODE_& node, uint64_t total, const DataPieceSink& sink) {
  if (node.ClusterBytes <= 0 || node.ClusterBytes > kMaxClusterBytes) return kStatusClusterTooLarge;
  const uint32_t clusterBytes = static_cast<uint32_t>(node.ClusterBytes);
  const uint32_t sectorsPerCluster = clusterBytes / kSector;
  if (sectorsPerCluster == 0) return kStatusInvalidParameter;
  std::vector<uint8_t> buffer(clusterBytes);
  uint32_t cluster = node.DirKey;
  uint64_t remaining = total;
  while (remaining > 0) {
    // A file whose first cluster is not in the data area has no data left to read.
    if (!m_geometry.IsValidCluster(cluster)) return kStatusReadFault;
    const uint64_t sector = node.DataStartSector + static_cast<uint64_t>(cluster - kFirstDataCluster) * sectorsPerCluster;
    const uint64_t absolute = node.VolumeStartSector + sector;
    unsigned got = 0;
    const int status = m_reader.ReadData(buffer.data(), static_cast<int>(sectorsPerCluster), static_cast<long long>(absolute),
                                         kSector, &got);
    const uint64_t bytes = static_cast<uint64_t>(got) * kSector;
    if (bytes == 0) return status != 0 && status != kStatusInvalidParameter ? status : kStatusReadFault;
    const uint64_t take = std::min<uint64_t>(bytes, remaining);
    const int sinkStatus = sink(buffer.data(), static_cast<size_t>(take));
    if (sinkStatus != 0) return sinkStatus;
    remaining -= take;
    if (status != 0) return remaining > 0 ? kStatusReadFault : 0;
    if (remaining == 0) break;
    uint32_t next = 0;
    if (FindNextClusterNO(cluster, next) != 0 || next == 0) {
      // The chain ends before the file does: a deleted file on a card is nearly always
      // contiguous, so go on with the cluster that follows.
      next = cluster + 1;
    }
    cluster = next;
  }
  return 0;
}

int CFastFatRecovery::SaveDataToTargetFile(_FILE_NODE_* node, const char16_t* target) {
  return m_extraction.SaveDataToTargetFile(node, target, m_recoveryCallback, m_context);
}

int CFastFatRecovery::SaveFileData(_FILE_NODE_* node, const char16_t* targetPath, int /*destDepth*/) {
  return m_extraction.SaveFileData(node, targetPath, m_recoveryCallback, m_context);
}

int CFastFatRecovery::PreView(_FILE_NODE_* node, char16_t* tempPath, unsigned char* buffer, int& size,
                              PreviewCallback previewCallback, void* context) {
  return m_extraction.PreView(node, tempPath, buffer, size, previewCallback, context);
}

}  // namespace vorlenta
