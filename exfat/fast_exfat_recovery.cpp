#include "exfat/fast_exfat_recovery.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "engine/crash_guard.h"
#include "engine/status.h"
#include "fat/fat_entry_names.h"
#include "util/debug_log.h"
#include "util/os_helpers.h"
#include "util/platform.h"
#include "util/text.h"

namespace vorlenta {
namespace {

constexpr uint32_t kSector = kSectorSize;
constexpr unsigned kReportIntervalMs = 5000;
constexpr int kPercentStart = 1;
constexpr int kPercentWalkDone = 80;
constexpr int kPercentDone = 100;

CCrashGuard& Guard() {
  static CCrashGuard guard("CFastExfatRecovery recvSignal");
  return guard;
}

}  // namespace

CFastExfatRecovery::CFastExfatRecovery() = default;

CFastExfatRecovery::~CFastExfatRecovery() = default;

int CFastExfatRecovery::Init(int diskNumber, long long startSector, long long sectorCount, char16_t volumeTag) {
  if (m_open) return 0;
  if (startSector < 0 || sectorCount <= 0) return kStatusInvalidParameter;
  m_volumeStart = startSector;
  m_volumeSectors = sectorCount;
  m_volumeTag = volumeTag;
  return OpenVolume(m_reader.Init(diskNumber, static_cast<unsigned long long>(startSector + sectorCount)));
}

int CFastExfatRecovery::Init(const char16_t* path, char16_t volumeTag) {
  if (m_open) return 0;
  std::string utf8;
  const int status = PathSectors(path, utf8, m_volumeSectors);
  if (status != 0) return status;
  m_volumeStart = 0;
  m_volumeTag = volumeTag;
  return OpenVolume(m_reader.InitPath(utf8, static_cast<unsigned long long>(m_volumeSectors)));
}

int CFastExfatRecovery::OpenVolume(int status) {
  if (status != 0) return status;
  status = m_volume.Open(m_reader, static_cast<uint64_t>(m_volumeStart), static_cast<uint64_t>(m_volumeSectors));
  if (status != 0) {
    DebugPrint("CFastExfatRecovery: no exFAT boot region at sector %lld\n", m_volumeStart);
    return status;
  }
  m_volumeSectors = static_cast<long long>(m_volume.VolumeSectors());
  m_open = true;
  return 0;
}

int CFastExfatRecovery::ReportScan(int percent) {
  if (m_scanCallback == nullptr) return 0;
  return m_scanCallback(m_context, percent, m_weight, -1, 0, static_cast<unsigned long long>(m_volumeSectors),
                        m_results.NodeCount(), nullptr);
}

void CFastExfatRecovery::ListFolderPath(uint32_t key) {
  for (auto it = m_folders.find(key); it != m_folders.end() && !it->second.listed;
       it = m_folders.find(it->second.parent)) {
    it->second.listed = true;
  }
}

void CFastExfatRecovery::AddFile(const ExfatEntrySet& set, uint64_t recordSector, uint32_t key) {
  _FILE_NODE_ node;
  std::memset(&node, 0, sizeof node);
  node.VolumeTag = m_volumeTag;
  node.SourceKind = kSourceExfat;
  node.ClusterBytes = static_cast<int32_t>(m_volume.ClusterBytes());
  FillNodeFromEntrySet(set, node);
  node.DataStartSector = m_volume.HeapSector();
  node.RecordSector = recordSector;
  node.VolumeStartSector = static_cast<uint64_t>(m_volumeStart);
  // A cluster handed to another file since is overwritten, whatever the signature says.
  const bool reused = node.FileSize != 0 && m_volume.IsAllocated(node.DirKey);
  const bool inHeap = m_volume.Boot().IsValidCluster(node.DirKey);
  node.IsHealthy = node.FileSize == 0 ? 1
                   : (!inHeap || reused)
                       ? 0
                       : static_cast<uint32_t>(IsFirstSectorHealthy(
                             m_reader, node.FileName, node.VolumeStartSector + m_volume.ClusterSector(node.DirKey)));
  CScanResultFileManager& store = *m_results.Store();
  const uint32_t index = store.AppendFileNode(node);
  if (index == 0) return;
  store.AddChildren(key, m_folders[key].depth, index, 0, nullptr);
  ListFolderPath(key);
}

void CFastExfatRecovery::ParseDirectory(const uint8_t* data, size_t length, const std::vector<uint64_t>& clusterSectors,
                                        uint32_t key) {
  const bool folderDeleted = m_folders[key].deleted;
  const uint32_t depth = m_folders[key].depth;
  const size_t clusterBytes = m_volume.ClusterBytes();
  ExfatEntrySet set;
  size_t at = 0;
  while (at + kExfatEntrySize <= length) {
    const uint8_t type = data[at];
    if (type == kExfatTypeEnd) return;
    if ((type | kExfatInUse) != kExfatTypeFile || !ParseExfatEntrySet(data, length, at, set)) {
      at += kExfatEntrySize;
      continue;
    }
    const size_t cluster = at / clusterBytes;
    const uint64_t recordSector =
        static_cast<uint64_t>(m_volumeStart) + clusterSectors[cluster] + (at % clusterBytes) / kSector;
    at += static_cast<size_t>(set.entryCount) * kExfatEntrySize;
    // A deleted folder holds only deleted sets; an in-use one there came with a later owner.
    if (folderDeleted && set.inUse) continue;
    if (!set.directory) {
      if (!set.inUse) AddFile(set, recordSector, key);
      continue;
    }
    const uint32_t first = set.firstCluster;
    if (!m_volume.Boot().IsValidCluster(first) || m_folders.count(first) != 0) continue;
    // A deleted folder whose first cluster belongs to someone else now has been overwritten.
    if (!set.inUse && m_volume.IsAllocated(first)) continue;
    Folder folder;
    std::memset(&folder.node, 0, sizeof folder.node);
    folder.node.VolumeTag = m_volumeTag;
    folder.node.SourceKind = kSourceExfat;
    folder.node.IsHealthy = 1;
    folder.node.ClusterBytes = static_cast<int32_t>(m_volume.ClusterBytes());
    FillNodeFromEntrySet(set, folder.node);
    folder.node.DataStartSector = m_volume.HeapSector();
    folder.node.RecordSector = recordSector;
    folder.node.VolumeStartSector = static_cast<uint64_t>(m_volumeStart);
    folder.parent = key;
    folder.depth = depth + 1;
    folder.deleted = folderDeleted || !set.inUse;
    folder.bytes = set.dataLength;
    m_folders.emplace(first, folder);
    m_pending.push_back(first);
  }
}

int CFastExfatRecovery::WalkDirectory(uint32_t key) {
  const Folder& folder = m_folders[key];
  std::vector<ExfatExtent> extents;
  const uint64_t maxClusters = kExfatMaxDirectoryBytes / m_volume.ClusterBytes();
  int status =
      key == m_volume.Boot().rootCluster
          ? m_volume.FollowChain(key, maxClusters, extents)
          : m_volume.DataExtents(key, std::min(folder.bytes, kExfatMaxDirectoryBytes), folder.node.Reserved, extents);
  if (status != 0) return status;
  std::vector<uint64_t> clusterSectors;
  for (const ExfatExtent& run : extents) {
    for (uint32_t i = 0; i < run.second; ++i) clusterSectors.push_back(m_volume.ClusterSector(run.first + i));
  }
  std::vector<uint8_t> data;
  data.reserve(clusterSectors.size() * m_volume.ClusterBytes());
  status = ReadExfatExtents(m_reader, extents, static_cast<uint64_t>(m_volumeStart) + m_volume.HeapSector(),
                            m_volume.SectorsPerCluster(), clusterSectors.size() * m_volume.ClusterBytes(),
                            [&](const uint8_t* piece, size_t n) {
                              data.insert(data.end(), piece, piece + n);
                              return 0;
                            });
  m_clustersRead += clusterSectors.size();
  // What could be read is still parsed: a directory's damaged end hides only what lies there.
  Guard().Run([&] { ParseDirectory(data.data(), data.size(), clusterSectors, key); });
  return status;
}

int CFastExfatRecovery::ScanDevice(const char16_t* resultName) {
  if (resultName != nullptr) return m_results.Open(resultName);
  if (!m_open) return kStatusInvalidParameter;
  m_folders.clear();
  m_pending.clear();
  m_clustersRead = 0;
  SYSTEMTIME now{};
  rsb_getSystemTime(&now);
  char name[128];
  std::snprintf(name, sizeof name, "Fast_%lld_%d%d%d%d%2d", m_volumeStart, now.wYear, now.wMonth, now.wDay, now.wHour,
                now.wMinute);
  int status = m_results.Open(Ansi2Unicode(name).c_str());
  if (status != 0) return status;
  if (!m_volume.HasBitmap()) (void)m_volume.LoadBitmap();
  CScanResultFileManager& store = *m_results.Store();

  const uint32_t root = m_volume.Boot().rootCluster;
  m_folders[root].parent = root;
  int answer = ReportScan(kPercentStart);
  m_pending.push_back(root);
  unsigned lastReport = rsb_getTickCount();
  int percent = kPercentStart;
  while (answer == 0 && !m_pending.empty()) {
    const uint32_t key = m_pending.front();
    m_pending.pop_front();
    const int walked = WalkDirectory(key);
    if (walked != 0) DebugPrint("CFastExfatRecovery: directory at cluster %u: status %d\n", key, walked);
    if (rsb_getTickCount() - lastReport >= kReportIntervalMs) {
      lastReport = rsb_getTickCount();
      if (percent < kPercentWalkDone - 1) ++percent;
      answer = ReportScan(percent);
    }
  }
  if (answer == 0) answer = ReportScan(kPercentWalkDone);
  // The folders on the way to listed files become nodes, also after a stop.
  for (auto& [key, folder] : m_folders) {
    if (!folder.listed || key == root) continue;
    const uint32_t index = store.AppendFileNode(folder.node);
    if (index == 0) continue;
    store.AddChildren(folder.parent, m_folders[folder.parent].depth, index, key, folder.node.FileName);
  }
  status = store.FlushBufToFile();
  if (answer != 0) return answer;
  answer = ReportScan(kPercentDone);
  return answer != 0 ? answer : status;
}

int CFastExfatRecovery::BuildBitMapInfo() {
  if (!m_open) return kStatusInvalidParameter;
  return m_volume.LoadBitmap();
}

int CFastExfatRecovery::GetUnUsedSectorCount(unsigned long long& sector, unsigned long long& count) {
  count = 0;
  const unsigned long long volumeSectors = static_cast<unsigned long long>(m_volumeSectors);
  const unsigned long long heap = m_volume.HeapSector();
  const unsigned long long perCluster = m_volume.SectorsPerCluster();
  const unsigned long long clusters = m_volume.HasBitmap() ? m_volume.Boot().clusterCount : 0;
  // The metadata before the heap is the fast engine's; the pass starts in the heap.
  unsigned long long c = sector > heap ? (sector - heap) / perCluster : 0;
  while (c < clusters && m_volume.IsAllocated(static_cast<uint32_t>(c + kExfatFirstCluster))) ++c;
  unsigned long long end = c;
  while (end < clusters && !m_volume.IsAllocated(static_cast<uint32_t>(end + kExfatFirstCluster))) ++end;
  sector = std::min(volumeSectors, heap + c * perCluster);
  count = std::min((end - c) * perCluster, volumeSectors - sector);
  return 1;
}

int CFastExfatRecovery::ReadNodeData(const _FILE_NODE_& node, uint64_t total, const DataPieceSink& sink) {
  return ReadExfatNodeData(m_reader, &m_volume, node, total, sink);
}

}  // namespace vorlenta
