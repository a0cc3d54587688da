#include "ntfs/fast_ntfs_recovery.h"

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
#include "util/debug_log.h"
#include "util/os_helpers.h"
#include "util/platform.h"
#include "util/text.h"

namespace vorlenta {
namespace {

constexpr unsigned kEstimateIntervalMs = 5000;
constexpr int kWeightWindow = 100;
constexpr int kPercentDone = 100;
constexpr char kLostFolderFormat[] = "LostFolder%u";

CCrashGuard& Guard() {
  static CCrashGuard guard("CFastNtfsRecovery recvSignal");
  return guard;
}

// Runs through `count` items of a guarded loop: a fault skips the item at `next` and the loop
// goes on with the one after it.
template <class Step>
void GuardedLoop(size_t count, Step&& step) {
  volatile size_t next = 0;
  while (next < count) {
    const bool completed = Guard().Run([&] {
      while (next < count) {
        const size_t item = next;
        step(item);
        next = item + 1;
      }
    });
    if (!completed) next = next + 1;
  }
}

// The table itself is never sparse: a sparse run in its list is damage, and ends it.
void CutAtSparse(std::vector<NtfsExtent>& extents) {
  const auto sparse = std::find_if(extents.begin(), extents.end(), [](const NtfsExtent& e) { return e.sparse; });
  extents.erase(sparse, extents.end());
}

}  // namespace

CFastNtfsRecovery::~CFastNtfsRecovery() = default;

int CFastNtfsRecovery::Init(int diskNumber, long long startSector, long long sectorCount, char16_t volumeTag) {
  NtfsScanArea area;
  return m_open ? 0 : OpenVolume(OpenScanArea(m_reader, diskNumber, startSector, sectorCount, volumeTag, area), area);
}

int CFastNtfsRecovery::Init(const char16_t* path, char16_t volumeTag) {
  NtfsScanArea area;
  return m_open ? 0 : OpenVolume(OpenScanArea(m_reader, path, volumeTag, area), area);
}

// Reads the boot sector, sets the geometry and finds the runs of the master file table.
int CFastNtfsRecovery::OpenVolume(int status, const NtfsScanArea& area) {
  if (status != 0) return status;
  m_volumeStart = area.start;
  m_volumeSectors = area.sectors;
  m_volumeTag = area.tag;
  m_data.SetGeometry(&m_reader, kSectorSize, m_volumeStart, 0, 0);
  uint8_t boot[kBootSectorBytes];
  unsigned got = 0;
  status = m_data.ReadSectors(boot, 1, m_volumeStart, got);
  if (status != 0 || got == 0) return status == 0 || status == kStatusInvalidParameter ? kStatusReadFault : status;
  NtfsBootGeometry geometry;
  if (!DecodeNtfsBootGeometry(boot, sizeof boot, geometry)) {
    DebugPrint("CFastNtfsRecovery: no usable NTFS boot sector at sector %llu\n", m_volumeStart);
    return kStatusInvalidParameter;
  }
  const int bytesPerSector = static_cast<int>(geometry.bytesPerSector);
  m_bytesPerSector = bytesPerSector;
  m_sectorsPerCluster = static_cast<int>(geometry.sectorsPerCluster);
  m_clusterBytes = geometry.clusterBytes;
  m_parser.Init(bytesPerSector);
  m_sectorsPerRecord = m_parser.SectorsPerRecord();
  m_recordSize = m_parser.RecordSize();
  // Room for one chunk of records plus the start of a record cut by the end of a run.
  m_recordBuffer.assign(static_cast<size_t>(m_recordSize) * (kNtfsRecordsPerChunk + 1), 0);
  m_data.SetGeometry(&m_reader, bytesPerSector, m_volumeStart, VolumeClusters(), m_clusterBytes);
  const uint64_t mftCluster = geometry.mftCluster;
  m_mftStartSector = mftCluster < VolumeClusters() ? m_volumeStart + mftCluster * ClusterSectors() : m_volumeStart;
  m_open = true;
  // A table whose runs cannot be read is no failure here: the scan then finds nothing.
  (void)LoadMftRunList();
  return 0;
}

uint64_t CFastNtfsRecovery::VolumeClusters() const {
  return ClusterSectors() == 0 ? 0 : m_volumeSectors / ClusterSectors();
}

unsigned long long CFastNtfsRecovery::GetFileRecordIndexSectorOffset(unsigned long long recordNumber) const {
  uint64_t sector = 0;
  uint64_t contiguous = 0;
  return m_data.RecordPieceSector(recordNumber, 0, sector, contiguous) ? sector : m_volumeStart;
}

int CFastNtfsRecovery::GetFileRecordBuf(uint32_t recordNumber, unsigned char* buffer) {
  if (!m_open) return kStatusInvalidParameter;
  return m_data.ReadRecordBuf(recordNumber, buffer);
}

int CFastNtfsRecovery::ReadNodeRecord(const _FILE_NODE_& node, std::vector<uint8_t>& record, size_t& bound) {
  if (!m_open) return kStatusInvalidParameter;
  if (GetFileRecordIndexSectorOffset(node.DirKey) == node.RecordSector) {
    return m_data.ReadRecordByNumber(node.DirKey, record, bound);
  }
  return m_data.ReadRecordAt(node.RecordSector, record, bound);
}

int CFastNtfsRecovery::LoadMftRunList() {
  m_data.SetMftExtents({});
  std::vector<uint8_t> record;
  size_t bound = 0;
  int status = m_data.ReadRecordAt(m_mftStartSector, record, bound);
  if (status != 0) return status;
  // The first piece of the table's data always stays in record 0; it maps the records that
  // hold the other pieces.
  std::vector<__RUNLIST__> runs;
  bool haveList = false;
  WalkAttributes(record.data(), bound, NtfsWalk::kLookup, [&](const NtfsAttribute& a) {
    if (a.type == ntfs::kTypeAttributeList) haveList = true;
    if (IsWantedAttribute(a, ntfs::kTypeData) && a.nonResident && runs.empty()) {
      int64_t lastLcn = 0;
      m_data.AppendRuns(a, runs, lastLcn);
    }
    return true;
  });
  std::vector<NtfsExtent> extents;
  ResolveRunList(runs, VolumeClusters(), extents);
  CutAtSparse(extents);
  m_data.SetMftExtents(extents);
  if (!haveList) return extents.empty() ? kNtfsNoAttribute : 0;
  NtfsNodeData data;
  status = m_data.LocateAttribute(record.data(), bound, ntfs::kTypeData, data, nullptr);
  CutAtSparse(data.extents);
  if (status == 0 && !data.resident && data.extents.size() > extents.size()) m_data.SetMftExtents(data.extents);
  return status;
}

int CFastNtfsRecovery::GetRunListInfo(long long recordSector, int attributeType, std::vector<__RUNLIST__>& runs) {
  if (!m_open || recordSector < 0) return kStatusInvalidParameter;
  std::vector<uint8_t> record;
  size_t bound = 0;
  int status = m_data.ReadRecordAt(static_cast<uint64_t>(recordSector), record, bound);
  if (status != 0) return status;
  NtfsNodeData data;
  std::vector<__RUNLIST__> found;
  status = m_data.LocateAttribute(record.data(), bound, static_cast<uint32_t>(attributeType), data, &found);
  if (status != 0) return status;
  if (data.resident) return kNtfsNoAttribute;
  runs.insert(runs.end(), found.begin(), found.end());
  return 0;
}

int CFastNtfsRecovery::GetAttr0x80Data(long long recordSector, unsigned char* out, unsigned int& length) {
  if (!m_open || recordSector < 0 || out == nullptr) return kStatusInvalidParameter;
  std::vector<uint8_t> record;
  size_t bound = 0;
  int status = m_data.ReadRecordAt(static_cast<uint64_t>(recordSector), record, bound);
  if (status == kNtfsNotFileRecord) return kNtfsNotResident;
  if (status != 0) return status;
  NtfsNodeData data;
  status = m_data.LocateAttribute(record.data(), bound, ntfs::kTypeData, data, nullptr);
  if (status != 0 || !data.resident) return kNtfsNotResident;
  if (data.residentBytes.size() > length) return kStatusInvalidParameter;
  std::copy(data.residentBytes.begin(), data.residentBytes.end(), out);
  length = static_cast<unsigned>(data.residentBytes.size());
  return 0;
}

int CFastNtfsRecovery::LocateNodeData(const _FILE_NODE_& node, NtfsNodeData& data) {
  std::vector<uint8_t> record;
  size_t bound = 0;
  const int status = ReadNodeRecord(node, record, bound);
  if (status != 0) return status;
  return m_data.LocateAttribute(record.data(), bound, ntfs::kTypeData, data, nullptr);
}

int CFastNtfsRecovery::IsFileDataHealth(const _FILE_NODE_& node, unsigned int /*unused*/) {
  NtfsNodeData data;
  const int status = LocateNodeData(node, data);
  return m_data.HealthOfData(node, data, status);
}

int CFastNtfsRecovery::ReportScan(int percent, int secondsLeft, uint64_t doneSectors, uint64_t totalSectors) {
  if (m_scanCallback == nullptr) return 0;
  const unsigned long long found = m_results.NodeCount();
  return m_scanCallback(m_context, percent, m_weight, secondsLeft, doneSectors, totalSectors, found, nullptr);
}

int CFastNtfsRecovery::ScanDevice(const char16_t* resultName) {
  m_ancestors.clear();
  m_ancestorSet.clear();
  m_chainCache.clear();
  m_depthCache.clear();
  if (resultName != nullptr) return m_results.Open(resultName);
  if (!m_open) return kStatusInvalidParameter;
  SYSTEMTIME now{};
  rsb_getLocalTime(&now);
  char name[128];
  std::snprintf(name, sizeof name, "Fast_%llu_%d%d%d%d%2d", m_volumeStart, now.wYear, now.wMonth, now.wDay, now.wHour,
                now.wMinute);
  int status = m_results.Open(Ansi2Unicode(name).c_str());
  if (status != 0) return status;
  status = FastScanDevice();
  const int flushed = m_results.Store()->FlushBufToFile();
  return status != 0 ? status : flushed;
}

int CFastNtfsRecovery::FastScanDevice() {
  uint64_t totalSectors = 0;
  for (const NtfsExtent& extent : m_data.MftExtents()) {
    if (!extent.sparse) totalSectors += extent.clusters * ClusterSectors();
  }
  const unsigned start = rsb_getTickCount();
  unsigned lastEstimate = start;
  int secondsLeft = -1;
  uint64_t doneSectors = 0;
  uint32_t recordNumber = 0;
  size_t carried = 0;
  const uint64_t chunkBytes = static_cast<uint64_t>(m_recordSize) * kNtfsRecordsPerChunk;
  for (const NtfsExtent& extent : m_data.MftExtents()) {
    const uint64_t extentBytes = extent.clusters * m_clusterBytes;
    if (extent.sparse) {
      recordNumber += static_cast<uint32_t>(extentBytes / static_cast<uint64_t>(m_recordSize));
      carried = 0;
      continue;
    }
    const uint64_t first = m_volumeStart + extent.lcn * ClusterSectors();
    uint64_t doneInRun = 0;
    while (doneInRun < extentBytes) {
      const uint64_t chunk = std::min<uint64_t>(chunkBytes, extentBytes - doneInRun);
      const int status = ReadFileAndParseRecordInfo(first + doneInRun / kSectorSize,
                                                    static_cast<uint32_t>(chunk / kSectorSize), recordNumber, carried);
      if (status != 0) return status;
      doneInRun += chunk;
      doneSectors += chunk / kSectorSize;
      const unsigned now = rsb_getTickCount();
      if (m_weight == kWeightWindow && now - lastEstimate >= kEstimateIntervalMs) {
        lastEstimate = now;
        const uint64_t elapsed = (now - start) / 1000;
        uint64_t rate = elapsed == 0 ? 0 : doneSectors * kSectorSize / elapsed;
        if (rate == 0) rate = 1;
        secondsLeft = static_cast<int>(std::min<uint64_t>((totalSectors - doneSectors) * kSectorSize / rate, INT32_MAX));
      }
      const int percent = static_cast<int>(totalSectors == 0 ? 0 : doneSectors * 100 / totalSectors);
      const int answer = ReportScan(percent, secondsLeft, doneSectors, totalSectors);
      if (answer != 0) return answer;
    }
  }
  // Pass 1: the directories on the parent chains; the list grows while it is walked.
  std::vector<uint8_t> record(static_cast<size_t>(m_recordSize), 0);
  for (size_t i = 0; i < m_ancestors.size(); ++i) {
    const uint32_t number = m_ancestors[i];
    if (GetFileRecordBuf(number, record.data()) != 0) {
      // A parent that cannot be read still holds its children together.
      AddLostFolder(number);
      continue;
    }
    GuardedLoop(1, [&](size_t) { ParseRecordInfo(record.data(), 1, number); });
  }
  return ReportScan(kPercentDone, secondsLeft, doneSectors, totalSectors);
}

int CFastNtfsRecovery::ReadFileAndParseRecordInfo(uint64_t sector, uint32_t sectors, uint32_t& nextRecord,
                                                  size_t& carried) {
  const size_t recordSize = static_cast<size_t>(m_recordSize);
  uint8_t* chunk = m_recordBuffer.data() + recordSize;
  unsigned got = 0;
  const int status = m_data.ReadSectors(chunk, sectors, sector, got);
  if (status != 0) return status;
  // A record cut by the end of the previous run goes on at the start of this one.
  uint8_t* begin = chunk - carried;
  const size_t available = carried + static_cast<size_t>(got) * kSectorSize;
  const size_t records = available / recordSize;
  const uint32_t firstRecord = nextRecord;
  GuardedLoop(records, [&](size_t i) {
    ParseRecordInfo(begin + i * recordSize, 0, firstRecord + static_cast<uint32_t>(i));
  });
  nextRecord += static_cast<uint32_t>(records);
  carried = available - records * recordSize;
  if (carried != 0) std::memmove(chunk - carried, begin + records * recordSize, carried);
  return 0;
}

_FILE_NODE_ CFastNtfsRecovery::FillFileNode(const NtfsFileName& name, int isDirectory) const {
  _FILE_NODE_ node;
  std::memset(&node, 0, sizeof node);
  node.VolumeTag = m_volumeTag;
  node.SourceKind = m_sourceKind;
  node.IsDirectory = static_cast<uint32_t>(isDirectory);
  node.ClusterBytes = -1;
  FillNodeFromName(name, node);
  return node;
}

void CFastNtfsRecovery::AddLostFolder(uint32_t recordNumber) {
  CScanResultFileManager* store = m_results.Store();
  if (store == nullptr) return;
  _FILE_NODE_ node;
  std::memset(&node, 0, sizeof node);
  node.VolumeTag = m_volumeTag;
  node.SourceKind = m_sourceKind;
  node.IsDirectory = 1;
  node.IsHealthy = 1;
  node.ClusterBytes = -1;
  node.DirKey = recordNumber;
  char name[32];
  std::snprintf(name, sizeof name, kLostFolderFormat, recordNumber);
  SetFileNodeName(node, name);
  const uint32_t index = store->AppendFileNode(node);
  if (index != 0) store->AddChildren(ntfs::kRootRecord, 0, index, recordNumber, node.FileName);
}

int CFastNtfsRecovery::ParseRecordInfo(unsigned char* record, int pass, uint32_t recordNumber) {
  const size_t recordSize = static_cast<size_t>(m_recordSize);
  CScanResultFileManager* store = m_results.Store();
  if (record == nullptr || store == nullptr) return kStatusInvalidParameter;
  const bool isFile = BytesEqual(record, recordSize, 0, ntfs::kRecordMagic, ntfs::kRecordMagicBytes);
  const uint16_t flags = isFile ? ReadU16LE(record, recordSize, ntfs::kRecordFlags) : 0;
  // Pass 0 lists deleted files only: neither in use nor a directory.
  if (pass == 0 && (!isFile || flags != 0)) return isFile ? 0 : kNtfsNotFileRecord;
  size_t bound = 0;
  NtfsRecordInfo info;
  if (isFile && m_data.PrepareRecord(record, bound)) {
    // Names and parents are read only from the part of the record in use.
    const size_t inUse = ReadU32LE(record, recordSize, ntfs::kRecordBytesInUse);
    ParseFileRecord(record, std::min(bound, inUse), info);
  }
  if (pass == 1) {
    // A parent whose record no longer describes a named directory still gathers its
    // children, in a folder named after its number.
    if ((flags & ntfs::kRecordIsDirectory) == 0 || !info.haveName) {
      AddLostFolder(recordNumber);
      return isFile ? 0 : kNtfsNotFileRecord;
    }
  }
  // The volume's own system files never become nodes.
  if (!info.haveName || recordNumber < ntfs::kFirstUserRecord) return 0;
  _FILE_NODE_ node = FillFileNode(info.name, pass);
  node.ClusterBytes = static_cast<int32_t>(m_clusterBytes);
  node.DirKey = recordNumber;
  node.DataStartSector = 0;
  node.RecordSector = GetFileRecordIndexSectorOffset(recordNumber);
  node.VolumeStartSector = m_volumeStart;
  if (pass == 0) {
    m_data.FillFileData(record, bound, info, node);
  } else {
    node.IsHealthy = 1;
  }
  const uint32_t parent = info.name.parent;
  const uint32_t depth = DepthBelowRoot(parent);
  const uint32_t index = store->AppendFileNode(node);
  if (index == 0) return kStatusNoMemory;
  store->AddChildren(parent, depth, index, recordNumber, pass == 1 ? node.FileName : nullptr);
  return 0;
}

const CFastNtfsRecovery::ChainRecord& CFastNtfsRecovery::ChainInfo(uint32_t recordNumber) {
  const auto cached = m_chainCache.find(recordNumber);
  if (cached != m_chainCache.end()) return cached->second;
  ChainRecord info;
  std::vector<uint8_t> record;
  size_t bound = 0;
  if (m_data.ReadRecordByNumber(recordNumber, record, bound) == 0) {
    info.fileRecord = true;
    const size_t inUse = ReadU32LE(record.data(), record.size(), ntfs::kRecordBytesInUse);
    NtfsRecordInfo parsed;
    ParseFileRecord(record.data(), std::min(bound, inUse), parsed);
    info.directory = (parsed.flags & ntfs::kRecordIsDirectory) != 0;
    info.haveName = parsed.haveName;
    info.parent = parsed.name.parent;
  }
  return m_chainCache.emplace(recordNumber, info).first->second;
}

void CFastNtfsRecovery::GetRootParentDirIndex(uint32_t recordNumber, uint32_t& depth,
                                              std::unordered_set<uint32_t>& visited) {
  uint32_t current = recordNumber;
  while (current != ntfs::kRootRecord) {
    // A chain that comes back to a record it passed is damaged: it ends there.
    if (!visited.insert(current).second) return;
    if (m_ancestorSet.insert(current).second) m_ancestors.push_back(current);
    ++depth;
    const ChainRecord& info = ChainInfo(current);
    if (!info.fileRecord || !info.directory || !info.haveName) return;
    current = info.parent;
  }
}

uint32_t CFastNtfsRecovery::DepthBelowRoot(uint32_t parent) {
  const auto cached = m_depthCache.find(parent);
  if (cached != m_depthCache.end()) return cached->second;
  uint32_t depth = 0;
  std::unordered_set<uint32_t> visited;
  GetRootParentDirIndex(parent, depth, visited);
  m_depthCache.emplace(parent, depth);
  return depth;
}

int CFastNtfsRecovery::InitCallBack(ScanCallback scanCallback, RecoveryCallback recoveryCallback, void* context,
                                    int weight) {
  m_scanCallback = scanCallback;
  m_recoveryCallback = recoveryCallback;
  m_context = context;
  m_weight = weight;
  return 0;
}

int CFastNtfsRecovery::GetChildrenFileNode(_FILE_NODE_* parent, unsigned int depth, std::vector<_FILE_NODE_>& out) {
  if (parent == nullptr && depth != 0) return kStatusInvalidParameter;
  const uint32_t key = parent == nullptr || parent->DirKey == 0 ? ntfs::kRootRecord : parent->DirKey;
  return m_results.Children(MakeRelationKey(depth, key), out);
}

int CFastNtfsRecovery::GetChildrenFileCount(_FILE_NODE_* parent, unsigned int depth, unsigned int& count) {
  count = 0;
  if (parent == nullptr && depth != 0) return kStatusInvalidParameter;
  const uint32_t key = parent == nullptr || parent->DirKey == 0 ? ntfs::kRootRecord : parent->DirKey;
  return m_results.ChildrenCount(MakeRelationKey(depth, key), count);
}

unsigned int CFastNtfsRecovery::GetLostFileCount() { return m_results.NodeCount(); }

int CFastNtfsRecovery::GetFileNodeParentDirPath(_FILE_NODE_* node, char16_t* out, int capacity) {
  return m_results.ParentDirPath(node, out, capacity);
}

int CFastNtfsRecovery::InitSearchCallBack(SearchCallback searchCallback, void* context) {
  return m_results.SetSearchCallback(searchCallback, context);
}

int CFastNtfsRecovery::SearchFileNode(const char16_t* key, std::vector<__SEARCH_FILE_INFO__>& out) {
  return m_results.Search(key, out);
}

int CFastNtfsRecovery::BuildBitMapInfo() {
  if (!m_open) return kStatusInvalidParameter;
  m_bitmap.clear();
  m_bitmapSize = 0;
  std::vector<uint8_t> record;
  size_t bound = 0;
  int status = m_data.ReadRecordByNumber(ntfs::kBitmapRecord, record, bound);
  if (status != 0) return status;
  NtfsNodeData data;
  status = m_data.LocateAttribute(record.data(), bound, ntfs::kTypeData, data, nullptr);
  if (status != 0) return status;
  // One bit per cluster: never more than the volume holds, whatever the record claims.
  const uint64_t size = std::min<uint64_t>(data.realSize, (VolumeClusters() + 7) / 8);
  m_bitmap.reserve(static_cast<size_t>(size));
  status = m_data.ReadExtents(data, size, [&](const uint8_t* bytes, size_t length) {
    m_bitmap.insert(m_bitmap.end(), bytes, bytes + length);
    return 0;
  });
  m_bitmapSize = m_bitmap.size();
  return status;
}

int CFastNtfsRecovery::GetUnUsedSectorCount(unsigned long long& sector, unsigned long long& count) {
  count = 0;
  if (sector > m_volumeSectors) {
    sector = m_volumeSectors;
    return 1;
  }
  const uint64_t perCluster = ClusterSectors();
  if (perCluster != 0 && sector / perCluster / 8 < m_bitmapSize) {
    const uint64_t bits = m_bitmapSize * 8;
    auto isSet = [this](uint64_t n) { return ((m_bitmap[n / 8] >> (n % 8)) & 1u) != 0; };
    const uint64_t cluster = sector / perCluster;
    uint64_t free = cluster;
    while (free < bits) {
      if ((free & 7) == 0 && m_bitmap[free / 8] == 0xFF) {
        free += 8;
        continue;
      }
      if (!isSet(free)) break;
      ++free;
    }
    if (free < bits) {
      sector += (free - cluster) * perCluster;
      uint64_t end = free;
      while (end < bits) {
        if ((end & 7) == 0 && m_bitmap[end / 8] == 0) {
          end += 8;
          continue;
        }
        if (isSet(end)) break;
        ++end;
      }
      count = (end - free) * perCluster;
    }
  }
  if (sector + count > m_volumeSectors) count = sector >= m_volumeSectors ? 0 : m_volumeSectors - sector;
  return 1;
}

int CFastNtfsRecovery::SaveDataToTargetFile(_FILE_NODE_* node, const char16_t* target) {
  if (node == nullptr || target == nullptr) return kStatusInvalidParameter;
  if (node->IsDirectory != 0) return m_treeSave.QueueDirectory(*node, target, DepthBelowRoot(node->DirKey));
  NtfsNodeData data;
  const int located = LocateNodeData(*node, data);
  return m_data.SaveLocatedNode(*node, located, data, target, m_recoveryCallback, m_context);
}

int CFastNtfsRecovery::SaveFileData(_FILE_NODE_* node, const char16_t* targetPath, int /*destDepth*/) {
  if (node == nullptr || targetPath == nullptr) return kStatusInvalidParameter;
  if (node->IsDirectory == 0) return SaveDataToTargetFile(node, targetPath);
  // The store keeps a directory's children under its depth below the root, which the volume
  // tells; the destination path's depth has nothing to do with it.
  return m_treeSave.SaveTree(*this, *node, targetPath, DepthBelowRoot(node->DirKey), [this](_FILE_NODE_& child, const char16_t* target) {
    return SaveDataToTargetFile(&child, target);
  });
}

int CFastNtfsRecovery::PreView(_FILE_NODE_* node, char16_t* tempPath, unsigned char* buffer, int& size,
                               PreviewCallback previewCallback, void* context) {
  if (node == nullptr || tempPath == nullptr) {
    if (previewCallback != nullptr) previewCallback(context, kPercentDone, kStatusInvalidParameter);
    return kStatusInvalidParameter;
  }
  NtfsNodeData data;
  const int located = LocateNodeData(*node, data);
  return m_data.PreviewLocatedNode(*node, located, data, tempPath, buffer, size, previewCallback, context);
}

}  // namespace vorlenta
