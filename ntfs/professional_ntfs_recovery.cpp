#include "ntfs/professional_ntfs_recovery.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <unordered_set>

#include "device/boot_probe.h"
#include "engine/status.h"
#include "util/debug_log.h"
#include "util/os_helpers.h"
#include "util/text.h"

namespace vorlenta {
namespace {

constexpr size_t kRecordBytes = 1024;
constexpr uint64_t kSectorsPerRecord = kRecordBytes / kSectorSize;
constexpr uint32_t kMaxSectorsPerCluster = 128;
constexpr uint32_t kFallbackSectorsPerCluster = 8;
constexpr int kPercentDone = 100;
// Allocated size of a non-resident attribute.
constexpr size_t kAttrAllocatedSize = 40;
constexpr char16_t kMftName[] = u"$MFT";
constexpr char kLostFolderFormat[] = "LostFolder%u";
// The top folder of a volume other than the scanned area's own, named by its start sector.
constexpr char kVolumeFolderFormat[] = "Volume_%llu";

uint64_t DirectoryId(uint32_t volume, uint32_t record) { return (static_cast<uint64_t>(volume) << 32) | record; }

bool IsMftName(const std::u16string& name) {
  if (name.size() != std::char_traits<char16_t>::length(kMftName)) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    const char16_t c = name[i] >= u'a' && name[i] <= u'z' ? static_cast<char16_t>(name[i] - u'a' + u'A') : name[i];
    if (c != kMftName[i]) return false;
  }
  return true;
}

// The runs and allocated size of the record's unnamed non-resident data; false when the data
// is resident, absent, or may be split over records (an attribute list comes first).
bool DataRunsOf(const CNtfsParse& parser, const uint8_t* record, size_t bound, std::vector<__RUNLIST__>& runs,
                uint64_t& allocated) {
  bool found = false;
  WalkAttributes(record, bound, NtfsWalk::kLookup, [&](const NtfsAttribute& a) {
    if (a.type == ntfs::kTypeAttributeList) return false;
    if (!IsWantedAttribute(a, ntfs::kTypeData)) return true;
    if (a.nonResident && FieldFits(a.length, kAttrAllocatedSize, 8)) {
      parser.GetRunList(a.data, a.length, runs);
      allocated = ReadU64LE(a.data, a.length, kAttrAllocatedSize);
      found = !runs.empty();
    }
    return false;
  });
  return found;
}

// Sectors per cluster that make the allocated size exactly the runs' clusters; 0 when no
// power of two from 1 to 128 does.
uint32_t InferSectorsPerCluster(const std::vector<__RUNLIST__>& runs, uint64_t allocated) {
  uint64_t clusters = 0;
  for (const __RUNLIST__& run : runs) {
    if (run.u64RunLength > UINT64_MAX / kSectorSize - clusters) return 0;
    clusters += run.u64RunLength;
  }
  for (uint32_t spc = 1; spc <= kMaxSectorsPerCluster; spc *= 2) {
    if (clusters != 0 && clusters <= UINT64_MAX / kSectorSize / spc && clusters * spc * kSectorSize == allocated) {
      return spc;
    }
  }
  return 0;
}

}  // namespace

int CProfessionalNtfsRecovery::Init(int diskNumber, long long startSector, long long sectorCount, char16_t volumeTag) {
  NtfsScanArea area;
  return m_open ? 0 : OpenArea(OpenScanArea(m_reader, diskNumber, startSector, sectorCount, volumeTag, area), area);
}

int CProfessionalNtfsRecovery::Init(const char16_t* path, char16_t volumeTag) {
  NtfsScanArea area;
  return m_open ? 0 : OpenArea(OpenScanArea(m_reader, path, volumeTag, area), area);
}

int CProfessionalNtfsRecovery::OpenArea(int status, const NtfsScanArea& area) {
  if (status != 0) return status;
  m_areaStart = area.start;
  m_areaSectors = area.sectors;
  m_volumeTag = area.tag;
  m_open = true;
  m_parser.Init(kSectorSize);
  m_volumes.assign(1, Volume{});
  m_volumes[0].start = m_areaStart;
  m_areaDefaultSpc = GetDefaultNtfsSectorPerCluster(m_areaSectors, kSectorSize);
  LoadBootEvidence(m_areaStart, false);
  // Without the primary, the backup at the end of the area may still tell the geometry.
  if (m_volumes[0].sectorsPerCluster == 0 && m_areaSectors > 1) LoadBootEvidence(m_areaStart + m_areaSectors - 1, true);
  return 0;
}

void CProfessionalNtfsRecovery::LoadBootEvidence(uint64_t bootSector, bool backup) {
  uint8_t boot[kBootSectorBytes];
  unsigned got = 0;
  // A short read is no boot sector: the buffer was never filled.
  if (m_reader.ReadData(boot, 1, static_cast<long long>(bootSector), kSectorSize, &got) != 0 || got != 1) return;
  NtfsBootGeometry geometry;
  if (!IsNtfs(boot, sizeof boot) || !DecodeNtfsBootGeometry(boot, sizeof boot, geometry) ||
      geometry.bytesPerSector != kSectorSize) {
    return;
  }
  if (backup && geometry.totalSectors > bootSector) return;
  const uint64_t start = backup ? bootSector - geometry.totalSectors : bootSector;
  const uint32_t spc = geometry.sectorsPerCluster;
  if (geometry.mftCluster > (UINT64_MAX - start) / spc) return;
  const uint64_t mftSector = start + geometry.mftCluster * spc;
  const uint32_t volume = FindOrAddVolume(start);
  if (m_volumes[volume].sectorsPerCluster == 0) m_volumes[volume].sectorsPerCluster = spc;
  std::vector<uint8_t> record;
  size_t bound = 0;
  CNtfsVolumeData& data = DataFor(TableView{}, start, spc);
  if (data.ReadRecordAt(mftSector, record, bound) != 0) record.clear();
  AddMftEntry(volume, mftSector, record.empty() ? nullptr : record.data(), bound);
}

uint32_t CProfessionalNtfsRecovery::FindOrAddVolume(uint64_t start) {
  for (size_t i = 0; i < m_volumes.size(); ++i) {
    if (m_volumes[i].start == start) return static_cast<uint32_t>(i);
  }
  Volume volume;
  volume.start = start;
  volume.topKey = m_nextKey--;
  m_volumes.push_back(volume);
  return static_cast<uint32_t>(m_volumes.size() - 1);
}

void CProfessionalNtfsRecovery::AddMftEntry(uint32_t volume, uint64_t recordZeroSector, const uint8_t* record,
                                            size_t bound) {
  if (m_mftMap.count(recordZeroSector) != 0) return;
  const Volume& owner = m_volumes[volume];
  CNtfsVolumeData data;
  const uint64_t limit = m_reader.SectorLimit();
  const uint64_t clusters = owner.start < limit ? (limit - owner.start) / owner.sectorsPerCluster : 0;
  data.SetGeometry(&m_reader, kSectorSize, owner.start, clusters, owner.sectorsPerCluster * kSectorSize);
  std::vector<__RUNLIST__> runs;
  uint64_t allocated = 0;
  std::vector<NtfsExtent> extents;
  if (record != nullptr && DataRunsOf(m_parser, record, bound, runs, allocated)) ResolveRunList(runs, clusters, extents);
  data.SetMftExtents(extents);
  // Runs that do not put record 0 where it was found belong to another table.
  uint64_t first = 0;
  uint64_t contiguous = 0;
  if (!data.RecordPieceSector(0, 0, first, contiguous) || first != recordZeroSector) data.SetMftExtents({});
  m_mftMap.emplace(recordZeroSector, m_entries.size());
  m_entries.push_back(MftEntry{volume, recordZeroSector, data.MftExtents()});
  m_entryData.push_back(std::move(data));
}

bool CProfessionalNtfsRecovery::BootAgrees(uint64_t start, uint64_t recordZeroSector, NtfsBootGeometry& geometry) {
  uint8_t boot[kBootSectorBytes];
  unsigned got = 0;
  if (m_reader.ReadData(boot, 1, static_cast<long long>(start), kSectorSize, &got) != 0 || got != 1) return false;
  if (!IsNtfs(boot, sizeof boot) || !DecodeNtfsBootGeometry(boot, sizeof boot, geometry)) return false;
  return geometry.bytesPerSector == kSectorSize && geometry.mftCluster <= (UINT64_MAX - start) / geometry.sectorsPerCluster &&
         start + geometry.mftCluster * geometry.sectorsPerCluster == recordZeroSector;
}

void CProfessionalNtfsRecovery::AddMftRecordEvidence(uint64_t sector, const uint8_t* record, size_t bound) {
  if (m_mftMap.count(sector) != 0) return;
  std::vector<__RUNLIST__> runs;
  uint64_t allocated = 0;
  if (!DataRunsOf(m_parser, record, bound, runs, allocated) || runs.front().i64RunOffset <= 0) return;
  const uint64_t firstCluster = static_cast<uint64_t>(runs.front().i64RunOffset);
  // The table's first cluster lies that many clusters after the volume start: the cluster
  // size comes from the record's own sizes, or from a boot sector that agrees.
  uint32_t spc = InferSectorsPerCluster(runs, allocated);
  NtfsBootGeometry boot;
  if (spc != 0 && firstCluster <= sector / spc && BootAgrees(sector - firstCluster * spc, sector, boot)) {
    spc = boot.sectorsPerCluster;
  }
  for (uint32_t probe = 1; spc == 0 && probe <= kMaxSectorsPerCluster; probe *= 2) {
    if (firstCluster <= sector / probe && BootAgrees(sector - firstCluster * probe, sector, boot)) spc = probe;
  }
  if (spc == 0 || firstCluster > sector / spc) return;
  const uint32_t volume = FindOrAddVolume(sector - firstCluster * spc);
  if (m_volumes[volume].sectorsPerCluster == 0) m_volumes[volume].sectorsPerCluster = spc;
  AddMftEntry(volume, sector, record, bound);
}

uint32_t CProfessionalNtfsRecovery::AreaSectorsPerCluster() const {
  if (!m_volumes.empty() && m_volumes[0].sectorsPerCluster != 0) return m_volumes[0].sectorsPerCluster;
  return m_areaDefaultSpc != 0 ? m_areaDefaultSpc : kFallbackSectorsPerCluster;
}

CProfessionalNtfsRecovery::TableView CProfessionalNtfsRecovery::FindView(uint32_t recordNumber, uint64_t sector) {
  TableView view;
  for (const auto& [key, index] : m_mftMap) {
    uint64_t mapped = 0;
    uint64_t contiguous = 0;
    if (m_entryData[index].RecordPieceSector(recordNumber, 0, mapped, contiguous) && mapped == sector) {
      view.volume = m_entries[index].volume;
      view.mftEntry = static_cast<int32_t>(index);
      return view;
    }
  }
  // Otherwise the table is taken to run on without gaps up to this record: its record 0 lies
  // exactly that many records before it. A known table starting there is the evidence.
  const uint64_t recordSectors = kSectorsPerRecord * recordNumber;
  if (sector < recordSectors) return view;
  view.base = sector - recordSectors;
  view.baseValid = true;
  const auto known = m_mftMap.find(view.base);
  if (known != m_mftMap.end()) view.volume = m_entries[known->second].volume;
  return view;
}

CNtfsVolumeData& CProfessionalNtfsRecovery::DataFor(const TableView& view, uint64_t volumeStart,
                                                    uint32_t sectorsPerCluster) {
  if (view.mftEntry >= 0) return m_entryData[static_cast<size_t>(view.mftEntry)];
  const uint64_t limit = m_reader.SectorLimit();
  const uint64_t clusters = volumeStart < limit ? (limit - volumeStart) / sectorsPerCluster : 0;
  m_scratch.SetGeometry(&m_reader, kSectorSize, volumeStart, clusters, sectorsPerCluster * kSectorSize);
  if (view.baseValid) {
    m_scratch.SetContiguousMft(view.base);
  } else {
    m_scratch.SetMftExtents({});
  }
  return m_scratch;
}

uint32_t CProfessionalNtfsRecovery::SectorsPerClusterOf(const uint8_t* record, size_t bound) const {
  std::vector<__RUNLIST__> runs;
  uint64_t allocated = 0;
  return DataRunsOf(m_parser, record, bound, runs, allocated) ? InferSectorsPerCluster(runs, allocated) : 0;
}

int CProfessionalNtfsRecovery::InitProfessionalScan(const char16_t* resultName) {
  m_directories.clear();
  m_pending.clear();
  m_emitted = 0;
  for (Volume& volume : m_volumes) volume.topMade = false;
  if (resultName != nullptr && resultName[0] != 0) return m_results.Open(resultName);
  SYSTEMTIME now{};
  rsb_getLocalTime(&now);
  char name[128];
  std::snprintf(name, sizeof name, "Pro_Ntfs_%lld_%d%d%d%d%2d", static_cast<long long>(m_areaStart), now.wYear,
                now.wMonth, now.wDay, now.wHour, now.wMinute);
  return m_results.Open(Ansi2Unicode(name).c_str());
}

int CProfessionalNtfsRecovery::ParseNtfsFileRecord(const uint8_t* record, size_t length, uint64_t sectorNo) {
  if (!m_open || record == nullptr || length < kRecordBytes || m_results.Store() == nullptr) {
    return kStatusInvalidParameter;
  }
  if (!BytesEqual(record, length, 0, ntfs::kRecordMagic, ntfs::kRecordMagicBytes)) return kNtfsNotFileRecord;
  // Directories become nodes only as the parents of files.
  if ((ReadU16LE(record, length, ntfs::kRecordFlags) & ntfs::kRecordIsDirectory) != 0) return 0;
  m_work.assign(record, record + kRecordBytes);
  size_t intact = 0;
  if (m_parser.FileRecordFixUp(m_work.data(), kRecordBytes, &intact) != 0) return kStatusInvalidParameter;
  const uint32_t inUse = ReadU32LE(m_work.data(), kRecordBytes, ntfs::kRecordBytesInUse);
  const uint16_t firstAttribute = ReadU16LE(m_work.data(), kRecordBytes, ntfs::kRecordFirstAttribute);
  if (inUse > kRecordBytes || firstAttribute >= inUse) return kStatusInvalidParameter;
  const size_t bound = std::min<size_t>(intact, inUse);
  const uint32_t number = ReadU32LE(m_work.data(), kRecordBytes, ntfs::kRecordNumber);
  if (number == 0) {
    NtfsRecordInfo info;
    ParseFileRecord(m_work.data(), bound, info);
    if (info.haveName && IsMftName(info.name.name)) AddMftRecordEvidence(sectorNo, m_work.data(), bound);
    return 0;
  }
  if (number < ntfs::kFirstUserRecord) return 0;
  return ParseProfessionalRecordInfo(m_work.data(), bound, sectorNo, number);
}

int CProfessionalNtfsRecovery::ParseProfessionalRecordInfo(uint8_t* record, size_t bound, uint64_t sector,
                                                           uint32_t recordNumber) {
  NtfsRecordInfo info;
  ParseFileRecord(record, bound, info);
  if (!info.haveName) return 0;
  TableView view = FindView(recordNumber, sector);
  const Volume volume = m_volumes[view.volume];
  uint32_t spc = volume.sectorsPerCluster;
  if (spc == 0) spc = SectorsPerClusterOf(record, bound);
  if (spc == 0) spc = AreaSectorsPerCluster();
  view.sectorsPerCluster = spc;
  CNtfsVolumeData& data = DataFor(view, volume.start, spc);
  // A record that straddles two runs of its table goes on elsewhere: read it in its pieces.
  uint64_t second = 0;
  uint64_t contiguous = 0;
  if (view.mftEntry >= 0 && data.RecordPieceSector(recordNumber, 1, second, contiguous) && second != sector + 1) {
    std::vector<uint8_t> whole;
    size_t wholeBound = 0;
    if (data.ReadRecordByNumber(recordNumber, whole, wholeBound) != 0) return kNtfsNotFileRecord;
    std::copy(whole.begin(), whole.end(), record);
    bound = std::min<size_t>(wholeBound, ReadU32LE(record, kRecordBytes, ntfs::kRecordBytesInUse));
    ParseFileRecord(record, bound, info);
    if (!info.haveName) return 0;
  }
  _FILE_NODE_ node = NewNode(0, spc, volume.start);
  FillNodeFromName(info.name, node);
  node.DirKey = recordNumber;
  node.RecordSector = sector;
  data.FillFileData(record, bound, info, node);
  uint32_t parentKey = RootKey(view.volume);
  uint32_t depth = BaseDepth(view.volume);
  if (info.name.parent != ntfs::kRootRecord) {
    uint32_t level = 0;
    ResolveDirectory(view.volume, info.name.parent, view, parentKey, level);
    depth += level;
  }
  CScanResultFileManager* store = m_results.Store();
  const uint32_t index = store->AppendFileNode(node);
  if (index == 0) return kStatusNoMemory;
  store->AddChildren(parentKey, depth, index, recordNumber, nullptr);
  return 0;
}

CProfessionalNtfsRecovery::Directory& CProfessionalNtfsRecovery::ReadDirectory(uint32_t volume, uint32_t record,
                                                                               const TableView& view) {
  const auto [it, inserted] = m_directories.try_emplace(DirectoryId(volume, record));
  Directory& dir = it->second;
  if (!inserted) return dir;
  dir.record = record;
  dir.view = view;
  dir.key = AllocateKey(volume, record);
  m_pending.push_back(it->first);
  CNtfsVolumeData& data = DataFor(view, m_volumes[volume].start, view.sectorsPerCluster);
  std::vector<uint8_t> buffer;
  size_t bound = 0;
  uint64_t contiguous = 0;
  if (!data.RecordPieceSector(record, 0, dir.recordSector, contiguous) ||
      data.ReadRecordByNumber(record, buffer, bound) != 0) {
    return dir;
  }
  bound = std::min<size_t>(bound, ReadU32LE(buffer.data(), buffer.size(), ntfs::kRecordBytesInUse));
  NtfsRecordInfo info;
  ParseFileRecord(buffer.data(), bound, info);
  // Only a named directory that carries the number looked for is the parent; anything else
  // in its place is a reused or foreign record.
  if ((info.flags & ntfs::kRecordIsDirectory) != 0 && info.haveName &&
      ReadU32LE(buffer.data(), bound, ntfs::kRecordNumber) == record) {
    dir.lost = false;
    dir.parent = info.name.parent;
    dir.name = std::move(info.name);
  }
  return dir;
}

void CProfessionalNtfsRecovery::ResolveDirectory(uint32_t volume, uint32_t record, const TableView& view,
                                                 uint32_t& key, uint32_t& level) {
  std::vector<Directory*> path;
  std::unordered_set<uint32_t> onPath;
  for (;;) {
    path.clear();
    onPath.clear();
    uint32_t current = record;
    TableView currentView = view;
    uint32_t above = 0;
    Directory* loopStart = nullptr;
    while (current != ntfs::kRootRecord) {
      Directory& dir = ReadDirectory(volume, current, currentView);
      if (dir.resolved) {
        above = dir.level;
        break;
      }
      if (!onPath.insert(current).second) {
        loopStart = &dir;
        break;
      }
      if (dir.lost) {
        // A parent that is gone still gathers its children, in a folder of the root.
        dir.resolved = true;
        dir.level = 1;
        above = 1;
        break;
      }
      path.push_back(&dir);
      current = dir.parent;
      currentView = dir.view;
    }
    if (loopStart != nullptr) {
      // The loop ends in a lost folder; the same member whichever child met it first.
      const auto first = std::find(path.begin(), path.end(), loopStart);
      Directory* lowest = first == path.end()
                               ? loopStart
                               : *std::min_element(first, path.end(), [](const Directory* a, const Directory* b) {
                                   return a->record < b->record;
                                 });
      lowest->lost = true;
      lowest->resolved = true;
      lowest->level = 1;
      continue;
    }
    for (auto it = path.rbegin(); it != path.rend(); ++it) {
      (*it)->level = ++above;
      (*it)->resolved = true;
    }
    const Directory& top = ReadDirectory(volume, record, view);
    key = top.key;
    level = top.level;
    return;
  }
}

uint32_t CProfessionalNtfsRecovery::RootKey(uint32_t volume) const {
  return volume == 0 ? ntfs::kRootRecord : m_volumes[volume].topKey;
}

uint32_t CProfessionalNtfsRecovery::AllocateKey(uint32_t volume, uint32_t record) {
  // The scanned area's own volume keeps record numbers as keys; other volumes take keys from
  // the top of the range, far from any record number.
  return volume == 0 ? record : m_nextKey--;
}

_FILE_NODE_ CProfessionalNtfsRecovery::NewNode(int isDirectory, uint32_t sectorsPerCluster,
                                               uint64_t volumeStart) const {
  _FILE_NODE_ node;
  std::memset(&node, 0, sizeof node);
  node.VolumeTag = m_volumeTag;
  node.SourceKind = kSourceDeepNtfs;
  node.IsDirectory = static_cast<uint32_t>(isDirectory);
  node.IsHealthy = 1;
  node.ClusterBytes = static_cast<int32_t>(sectorsPerCluster * kSectorSize);
  node.VolumeStartSector = volumeStart;
  return node;
}

int CProfessionalNtfsRecovery::AddLostFolder(const Directory& dir, uint32_t volume) {
  CScanResultFileManager* store = m_results.Store();
  _FILE_NODE_ node = NewNode(1, dir.view.sectorsPerCluster, m_volumes[volume].start);
  node.DirKey = dir.key;
  char name[32];
  std::snprintf(name, sizeof name, kLostFolderFormat, dir.record);
  SetFileNodeName(node, name);
  const uint32_t index = store->AppendFileNode(node);
  if (index == 0) return kStatusNoMemory;
  store->AddChildren(RootKey(volume), BaseDepth(volume), index, dir.key, node.FileName);
  return 0;
}

int CProfessionalNtfsRecovery::ParseProfessionalRecordVec() {
  CScanResultFileManager* store = m_results.Store();
  if (store == nullptr) return kStatusInvalidParameter;
  for (; m_emitted < m_pending.size(); ++m_emitted) {
    const uint64_t id = m_pending[m_emitted];
    const uint32_t volume = static_cast<uint32_t>(id >> 32);
    const Directory& dir = m_directories[id];
    if (dir.lost) {
      if (AddLostFolder(dir, volume) != 0) return kStatusNoMemory;
      continue;
    }
    _FILE_NODE_ node = NewNode(1, dir.view.sectorsPerCluster, m_volumes[volume].start);
    FillNodeFromName(dir.name, node);
    node.DirKey = dir.key;
    node.RecordSector = dir.recordSector;
    const auto parent = m_directories.find(DirectoryId(volume, dir.parent));
    const uint32_t parentKey = parent == m_directories.end() ? RootKey(volume) : parent->second.key;
    const uint32_t index = store->AppendFileNode(node);
    if (index == 0) return kStatusNoMemory;
    store->AddChildren(parentKey, BaseDepth(volume) + dir.level - 1, index, dir.key, node.FileName);
  }
  // Each volume other than the scanned area's own shows under a folder of its own.
  const RelationMap& relations = store->GetRelationMap();
  for (size_t v = 1; v < m_volumes.size(); ++v) {
    Volume& volume = m_volumes[v];
    if (volume.topMade || relations.count(MakeRelationKey(BaseDepth(static_cast<uint32_t>(v)), volume.topKey)) == 0) {
      continue;
    }
    _FILE_NODE_ node = NewNode(1, volume.sectorsPerCluster, volume.start);
    node.DirKey = volume.topKey;
    char name[48];
    std::snprintf(name, sizeof name, kVolumeFolderFormat, static_cast<unsigned long long>(volume.start));
    SetFileNodeName(node, name);
    const uint32_t index = store->AppendFileNode(node);
    if (index == 0) return kStatusNoMemory;
    store->AddChildren(ntfs::kRootRecord, 0, index, volume.topKey, node.FileName);
    volume.topMade = true;
  }
  return store->FlushBufToFile();
}

CNtfsVolumeData& CProfessionalNtfsRecovery::DataForNode(const _FILE_NODE_& node) {
  uint32_t spc = node.ClusterBytes > 0 ? static_cast<uint32_t>(node.ClusterBytes) / kSectorSize : 0;
  if (spc == 0 || spc > kMaxSectorsPerCluster || (spc & (spc - 1)) != 0) spc = AreaSectorsPerCluster();
  TableView view;
  for (size_t i = 0; i < m_entries.size(); ++i) {
    uint64_t mapped = 0;
    uint64_t contiguous = 0;
    if (m_volumes[m_entries[i].volume].start == node.VolumeStartSector &&
        m_entryData[i].RecordPieceSector(node.DirKey, 0, mapped, contiguous) && mapped == node.RecordSector) {
      view.mftEntry = static_cast<int32_t>(i);
      return DataFor(view, node.VolumeStartSector, spc);
    }
  }
  // As during the scan: the table runs on without gaps up to the node's record.
  const uint64_t recordSectors = kSectorsPerRecord * node.DirKey;
  view.baseValid = node.RecordSector >= recordSectors;
  view.base = view.baseValid ? node.RecordSector - recordSectors : 0;
  return DataFor(view, node.VolumeStartSector, spc);
}

int CProfessionalNtfsRecovery::LocateNodeData(const _FILE_NODE_& node, NtfsNodeData& data) {
  if (!m_open) return kStatusInvalidParameter;
  CNtfsVolumeData& volume = DataForNode(node);
  std::vector<uint8_t> record;
  size_t bound = 0;
  const int status = volume.ReadRecordByNumber(node.DirKey, record, bound);
  if (status != 0) return status;
  return volume.LocateAttribute(record.data(), bound, ntfs::kTypeData, data, nullptr);
}

int CProfessionalNtfsRecovery::GetRunListInfo(uint64_t sectorNo, uint32_t type, std::vector<__RUNLIST__>& runs) {
  if (!m_open) return kStatusInvalidParameter;
  std::vector<uint8_t> record;
  size_t bound = 0;
  int status = DataFor(TableView{}, m_areaStart, AreaSectorsPerCluster()).ReadRecordAt(sectorNo, record, bound);
  if (status != 0) return status;
  const uint32_t number = ReadU32LE(record.data(), record.size(), ntfs::kRecordNumber);
  TableView view = FindView(number, sectorNo);
  const Volume volume = m_volumes[view.volume];
  uint32_t spc = volume.sectorsPerCluster != 0 ? volume.sectorsPerCluster : SectorsPerClusterOf(record.data(), bound);
  if (spc == 0) spc = AreaSectorsPerCluster();
  NtfsNodeData data;
  std::vector<__RUNLIST__> found;
  status = DataFor(view, volume.start, spc).LocateAttribute(record.data(), bound, type, data, &found);
  if (status != 0) return status;
  if (data.resident) return kNtfsNoAttribute;
  runs.insert(runs.end(), found.begin(), found.end());
  return 0;
}

uint32_t CProfessionalNtfsRecovery::ChildDepthOf(const _FILE_NODE_& directory) {
  CScanResultFileManager* store = m_results.Store();
  std::vector<_FILE_NODE_> chain;
  if (store == nullptr || store->GetParentFileNode(&directory, chain) != 0) return 1;
  return static_cast<uint32_t>(chain.size()) + 1;
}

int CProfessionalNtfsRecovery::SaveDataToTargetFile(_FILE_NODE_* node, const char16_t* target) {
  if (node == nullptr || target == nullptr) return kStatusInvalidParameter;
  if (node->IsDirectory != 0) return m_treeSave.QueueDirectory(*node, target, ChildDepthOf(*node));
  NtfsNodeData data;
  const int located = LocateNodeData(*node, data);
  return DataForNode(*node).SaveLocatedNode(*node, located, data, target, m_recoveryCallback, m_context);
}

int CProfessionalNtfsRecovery::SaveFileData(_FILE_NODE_* node, const char16_t* targetPath, int /*destDepth*/) {
  if (node == nullptr || targetPath == nullptr) return kStatusInvalidParameter;
  if (node->IsDirectory == 0) return SaveDataToTargetFile(node, targetPath);
  // The store keeps a directory's children one level below the directory itself.
  return m_treeSave.SaveTree(*this, *node, targetPath, ChildDepthOf(*node), [this](_FILE_NODE_& child, const char16_t* target) {
    return SaveDataToTargetFile(&child, target);
  });
}

int CProfessionalNtfsRecovery::PreView(_FILE_NODE_* node, char16_t* tempPath, unsigned char* buffer, int& size,
                                       PreviewCallback previewCallback, void* context) {
  if (node == nullptr || tempPath == nullptr) {
    if (previewCallback != nullptr) previewCallback(context, kPercentDone, kStatusInvalidParameter);
    return kStatusInvalidParameter;
  }
  NtfsNodeData data;
  const int located = LocateNodeData(*node, data);
  return DataForNode(*node).PreviewLocatedNode(*node, located, data, tempPath, buffer, size, previewCallback,
                                               context);
}

int CProfessionalNtfsRecovery::InitCallBack(ScanCallback scanCallback, RecoveryCallback recoveryCallback,
                                            void* context, int weight) {
  m_scanCallback = scanCallback;
  m_recoveryCallback = recoveryCallback;
  m_context = context;
  m_weight = weight;
  return 0;
}

// The deep pass is driven from outside, one record at a time.
int CProfessionalNtfsRecovery::ScanDevice(const char16_t* /*resultName*/) { return 0; }
int CProfessionalNtfsRecovery::GetUnUsedSectorCount(unsigned long long& /*sector*/, unsigned long long& /*count*/) {
  return 0;
}
int CProfessionalNtfsRecovery::BuildBitMapInfo() { return 0; }

int CProfessionalNtfsRecovery::GetChildrenFileNode(_FILE_NODE_* parent, unsigned int depth,
                                                   std::vector<_FILE_NODE_>& out) {
  if (parent == nullptr && depth != 0) return kStatusInvalidParameter;
  return m_results.Children(parent == nullptr ? 0 : MakeRelationKey(depth, parent->DirKey), out);
}

int CProfessionalNtfsRecovery::GetChildrenFileCount(_FILE_NODE_* parent, unsigned int depth, unsigned int& count) {
  count = 0;
  if (parent == nullptr && depth != 0) return kStatusInvalidParameter;
  return m_results.ChildrenCount(parent == nullptr ? 0 : MakeRelationKey(depth, parent->DirKey), count);
}

unsigned int CProfessionalNtfsRecovery::GetLostFileCount() { return m_results.NodeCount(); }

int CProfessionalNtfsRecovery::GetFileNodeParentDirPath(_FILE_NODE_* node, char16_t* out, int capacity) {
  return m_results.ParentDirPath(node, out, capacity);
}

int CProfessionalNtfsRecovery::InitSearchCallBack(SearchCallback searchCallback, void* context) {
  if (m_results.Store() == nullptr) return kStatusInvalidParameter;
  return m_results.SetSearchCallback(searchCallback, context);
}

int CProfessionalNtfsRecovery::SearchFileNode(const char16_t* key, std::vector<__SEARCH_FILE_INFO__>& out) {
  return m_results.Search(key, out);
}

}  // namespace vorlenta
