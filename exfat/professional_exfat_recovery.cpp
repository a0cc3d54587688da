#include "exfat/professional_exfat_recovery.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <unordered_set>

#include "engine/status.h"
#include "fat/fat_entry_names.h"
#include "util/debug_log.h"
#include "util/os_helpers.h"
#include "util/platform.h"
#include "util/text.h"

namespace vorlenta {
namespace {

constexpr uint32_t kSector = kSectorSize;
constexpr uint32_t kRootStoreKey = 1;
// The largest entry set (a File entry and 18 secondaries), from the last slot of a sector.
constexpr uint32_t kSetReadSectors = 3;
constexpr uint32_t kGeometryShift = 32;
constexpr uint32_t kLostGeometryBit = 0x80000000;

}  // namespace

CProfessionalExfatRecovery::CProfessionalExfatRecovery() = default;

CProfessionalExfatRecovery::~CProfessionalExfatRecovery() = default;

int CProfessionalExfatRecovery::Init(int diskNumber, long long startSector, long long sectorCount, char16_t volumeTag) {
  if (startSector < 0 || sectorCount <= 0) return kStatusInvalidParameter;
  m_start = startSector;
  m_count = sectorCount;
  m_volumeTag = volumeTag;
  const int status = m_reader.Init(diskNumber, static_cast<unsigned long long>(startSector + sectorCount));
  m_open = status == 0;
  return status;
}

int CProfessionalExfatRecovery::Init(const char16_t* path, char16_t volumeTag) {
  std::string utf8;
  int status = PathSectors(path, utf8, m_count);
  if (status != 0) return status;
  m_start = 0;
  m_volumeTag = volumeTag;
  status = m_reader.InitPath(utf8, static_cast<unsigned long long>(m_count));
  m_open = status == 0;
  return status;
}

int CProfessionalExfatRecovery::InitProfessionalScan(const char16_t* storePrefix) {
  m_geometries.clear();
  m_folders.clear();
  m_files.clear();
  m_lastUnplacedSector = 0;
  m_unplacedGroup = 0;
  m_nextStoreKey = kRootStoreKey + 1;
  m_readVolumes.clear();
  if (storePrefix != nullptr && storePrefix[0] != 0) return m_results.Open(storePrefix);
  SYSTEMTIME now{};
  rsb_getLocalTime(&now);
  char name[128];
  std::snprintf(name, sizeof name, "Pro_Exfat_%lld_%d%d%d%d%2d", m_start, now.wYear, now.wMonth, now.wDay, now.wHour,
                now.wMinute);
  return m_results.Open(Ansi2Unicode(name).c_str());
}

int CProfessionalExfatRecovery::AddGeometry(uint64_t volumeStart) {
  const uint64_t areaEnd = static_cast<uint64_t>(m_start + m_count);
  if (volumeStart < static_cast<uint64_t>(m_start) || volumeStart >= areaEnd) return kStatusInvalidParameter;
  auto volume = std::make_unique<CExfatVolume>();
  int status = volume->Open(m_reader, volumeStart, areaEnd - volumeStart);
  if (status != 0) return status;
  if (!volume->HasFatHead()) return kStatusInvalidParameter;
  (void)volume->LoadBitmap();
  Geometry g;
  g.volumeStart = volumeStart;
  g.volumeEnd = volumeStart + volume->VolumeSectors();
  g.heapStart = volumeStart + volume->HeapSector();
  g.volume = std::move(volume);
  DebugPrint("exFAT geometry at sector %llu%s\n", static_cast<unsigned long long>(volumeStart),
             g.volume->UsedBackup() ? " (backup boot region)" : "");
  m_geometries.push_back(std::move(g));
  return 0;
}

int CProfessionalExfatRecovery::InitVirtualDbrInfo() {
  if (!m_open) return kStatusInvalidParameter;
  return AddGeometry(static_cast<uint64_t>(m_start));
}

int CProfessionalExfatRecovery::ParseExfatBootRecord(uint64_t sectorNo) {
  for (const Geometry& g : m_geometries) {
    const uint64_t backup =
        g.volumeStart + uint64_t{kExfatBackupBootSector} * (g.volume->Boot().SectorBytes() / kSector);
    if (sectorNo == g.volumeStart || sectorNo == backup) return 0;
  }
  // The sector starts a volume, or is the backup of one whose own region is gone.
  if (AddGeometry(sectorNo) == 0) return 0;
  if (sectorNo >= kExfatBackupBootSector) (void)AddGeometry(sectorNo - kExfatBackupBootSector);
  return 0;
}

CProfessionalExfatRecovery::Place CProfessionalExfatRecovery::PlaceOf(uint64_t sector) {
  Place place;
  const Geometry* best = nullptr;
  for (size_t i = 0; i < m_geometries.size(); ++i) {
    const Geometry& g = m_geometries[i];
    if (sector < g.heapStart || sector >= g.volumeEnd) continue;
    // Nested volumes: the innermost one holds the sector.
    if (best == nullptr || g.volumeStart > best->volumeStart) {
      best = &g;
      place.geometry = static_cast<int>(i);
    }
  }
  if (best != nullptr) {
    const uint64_t cluster = kExfatFirstCluster + (sector - best->heapStart) / best->volume->SectorsPerCluster();
    if (best->volume->Boot().IsValidCluster(cluster)) {
      place.cluster = static_cast<uint32_t>(cluster);
      return place;
    }
    place.geometry = -1;
  }
  // Without a geometry, sets in neighbouring sectors share a folder.
  if (m_unplacedGroup == 0 || sector > m_lastUnplacedSector + 1 || sector < m_lastUnplacedSector) {
    m_unplacedGroup = static_cast<uint32_t>(sector) != 0 ? static_cast<uint32_t>(sector) : 1;
  }
  m_lastUnplacedSector = sector;
  place.cluster = m_unplacedGroup;
  return place;
}

_FILE_NODE_ CProfessionalExfatRecovery::NodeAt(const Place& place) const {
  _FILE_NODE_ node;
  std::memset(&node, 0, sizeof node);
  node.VolumeTag = m_volumeTag;
  node.SourceKind = kSourceDeepExfat;
  // Without a geometry the node has no data to read: no cluster size.
  if (place.geometry >= 0) {
    const Geometry& g = m_geometries[static_cast<size_t>(place.geometry)];
    node.ClusterBytes = static_cast<int32_t>(g.volume->ClusterBytes());
    node.DataStartSector = g.heapStart - g.volumeStart;
    node.VolumeStartSector = g.volumeStart;
  }
  return node;
}

void CProfessionalExfatRecovery::Harvest(const ExfatEntrySet& set, uint64_t recordSector, const Place& place) {
  CScanResultFileManager* store = m_results.Store();
  if (store == nullptr) return;
  _FILE_NODE_ node = NodeAt(place);
  FillNodeFromEntrySet(set, node);
  node.RecordSector = recordSector;
  // Without a geometry a file's data cannot be found: it stays unhealthy.
  node.IsHealthy = set.directory || node.FileSize == 0 ? 1 : 0;
  if (node.IsHealthy == 0 && place.geometry >= 0) {
    const Geometry& g = m_geometries[static_cast<size_t>(place.geometry)];
    // A deleted file whose first cluster the volume has handed out again is overwritten.
    const bool reused = !set.inUse && g.volume->IsAllocated(node.DirKey);
    if (g.volume->Boot().IsValidCluster(node.DirKey) && !reused) {
      node.IsHealthy = static_cast<uint32_t>(IsFirstSectorHealthy(
          m_reader, node.FileName,
          g.heapStart + uint64_t{node.DirKey - kExfatFirstCluster} * g.volume->SectorsPerCluster()));
    }
  }
  if (set.directory) {
    FolderRecord folder;
    folder.node = node;
    folder.place = place;
    folder.inUse = set.inUse;
    folder.bytes = set.dataLength;
    m_folders.push_back(folder);
    return;
  }
  const uint32_t index = store->AppendFileNode(node);
  if (index != 0) m_files.emplace_back(index, place);
}

int CProfessionalExfatRecovery::ParseExfatEntrySector(const uint8_t* sector, size_t length, uint64_t sectorNo) {
  if (sector == nullptr || length < kSector) return kStatusInvalidParameter;
  ExfatEntrySet set;
  std::vector<uint8_t> reread;
  bool placed = false;
  Place place;
  for (size_t slot = 0; slot + kExfatEntrySize <= kSector; slot += kExfatEntrySize) {
    if ((sector[slot] | kExfatInUse) != kExfatTypeFile) continue;
    bool found = ParseExfatEntrySet(sector, length, slot, set);
    // A set cut by the end of the read: read it whole from the device.
    if (!found && length < kSetReadSectors * kSector) {
      if (reread.empty()) {
        reread.assign(kSetReadSectors * kSector, 0);
        unsigned got = 0;
        m_reader.ReadData(reread.data(), static_cast<int>(kSetReadSectors), static_cast<long long>(sectorNo), kSector,
                          &got);
        reread.resize(static_cast<size_t>(got) * kSector);
      }
      found = ParseExfatEntrySet(reread.data(), reread.size(), slot, set);
    }
    if (!found) continue;
    if (!placed) {
      place = PlaceOf(sectorNo);
      placed = true;
    }
    Harvest(set, sectorNo, place);
  }
  return 0;
}

CProfessionalExfatRecovery::PlaceKey CProfessionalExfatRecovery::KeyOf(const Place& place) const {
  const uint32_t g = place.geometry >= 0 ? static_cast<uint32_t>(place.geometry) : kLostGeometryBit;
  return (static_cast<uint64_t>(g) << kGeometryShift) | place.cluster;
}

int CProfessionalExfatRecovery::DealExfatRecords() {
  CScanResultFileManager* store = m_results.Store();
  if (store == nullptr) return kStatusInvalidParameter;
  // Which folder claims each cluster: the roots, then folders in use, then deleted ones.
  constexpr int kRootClaim = -1;
  std::unordered_map<PlaceKey, int> claims;
  for (size_t g = 0; g < m_geometries.size(); ++g) {
    CExfatVolume& volume = *m_geometries[g].volume;
    std::vector<ExfatExtent> runs;
    (void)volume.FollowChain(volume.Boot().rootCluster, kExfatMaxDirectoryBytes / volume.ClusterBytes(), runs);
    for (const ExfatExtent& run : runs) {
      for (uint32_t i = 0; i < run.second; ++i) claims.emplace(KeyOf({static_cast<int>(g), run.first + i}), kRootClaim);
    }
  }
  std::vector<size_t> order(m_folders.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return m_folders[a].inUse > m_folders[b].inUse; });
  for (const size_t i : order) {
    const FolderRecord& folder = m_folders[i];
    if (folder.place.geometry < 0) continue;
    CExfatVolume& volume = *m_geometries[static_cast<size_t>(folder.place.geometry)].volume;
    std::vector<ExfatExtent> runs;
    if (volume.DataExtents(folder.node.DirKey, std::min(folder.bytes, kExfatMaxDirectoryBytes), folder.node.Reserved,
                           runs) != 0) {
      continue;
    }
    for (const ExfatExtent& run : runs) {
      for (uint32_t c = 0; c < run.second; ++c)
        claims.emplace(KeyOf({folder.place.geometry, run.first + c}), static_cast<int>(i));
    }
  }

  // Store keys: each folder its own; each unclaimed place a lost folder.
  std::vector<uint32_t> folderKeys(m_folders.size());
  for (uint32_t& key : folderKeys) key = m_nextStoreKey++;
  std::unordered_map<PlaceKey, uint32_t> lostKeys;
  std::unordered_map<uint32_t, uint32_t> parentOf;
  std::unordered_map<uint32_t, _FILE_NODE_> folderNodes;
  auto parentKeyOf = [&](const Place& place) -> uint32_t {
    const PlaceKey key = KeyOf(place);
    const auto claim = claims.find(key);
    if (claim != claims.end())
      return claim->second == kRootClaim ? kRootStoreKey : folderKeys[static_cast<size_t>(claim->second)];
    const auto known = lostKeys.find(key);
    if (known != lostKeys.end()) return known->second;
    const uint32_t lostKey = m_nextStoreKey++;
    lostKeys.emplace(key, lostKey);
    _FILE_NODE_ node = NodeAt(place);
    node.IsDirectory = 1;
    node.IsHealthy = 1;
    char name[32];
    std::snprintf(name, sizeof name, "LostFolder%d", static_cast<int>(place.cluster));
    SetFileNodeName(node, name);
    folderNodes.emplace(lostKey, node);
    parentOf.emplace(lostKey, kRootStoreKey);
    return lostKey;
  };
  for (size_t i = 0; i < m_folders.size(); ++i) {
    folderNodes.emplace(folderKeys[i], m_folders[i].node);
    parentOf.emplace(folderKeys[i], parentKeyOf(m_folders[i].place));
  }
  std::vector<std::pair<uint32_t, uint32_t>> fileParents;
  fileParents.reserve(m_files.size());
  for (const auto& [index, place] : m_files) fileParents.emplace_back(index, parentKeyOf(place));

  // Depths from the root; a loop of folders (damage) is cut and hung under the root.
  std::unordered_map<uint32_t, uint32_t> depths{{kRootStoreKey, 0}};
  auto parentKey = [&](uint32_t key) {
    const auto parent = parentOf.find(key);
    return parent != parentOf.end() ? parent->second : kRootStoreKey;
  };
  auto depthOf = [&](uint32_t key) {
    std::vector<uint32_t> path;
    std::unordered_set<uint32_t> seen;
    for (uint32_t k = key; depths.count(k) == 0; k = parentKey(k)) {
      if (!seen.insert(k).second) {
        parentOf[k] = kRootStoreKey;
        depths[k] = 1;
        break;
      }
      path.push_back(k);
    }
    // Nearest the known ancestor first, so that each parent's depth is known.
    for (auto it = path.rbegin(); it != path.rend(); ++it) {
      if (depths.count(*it) == 0) depths[*it] = depths[parentKey(*it)] + 1;
    }
    return depths[key];
  };

  // Only the folders that lead to a file become nodes.
  std::vector<uint32_t> needed;
  std::unordered_set<uint32_t> neededSet;
  for (const auto& file : fileParents) {
    depthOf(file.second);
    for (uint32_t key = file.second; key != kRootStoreKey && neededSet.insert(key).second; key = parentKey(key)) {
      needed.push_back(key);
    }
  }
  std::sort(needed.begin(), needed.end());
  for (const uint32_t key : needed) {
    _FILE_NODE_ node = folderNodes[key];
    node.DirKey = key;
    node.FileSize = 0;
    const uint32_t index = store->AppendFileNode(node);
    if (index == 0) continue;
    const uint32_t parent = parentKey(key);
    store->AddChildren(parent, depthOf(parent), index, key, node.FileName);
  }
  for (const auto& [index, parent] : fileParents) store->AddChildren(parent, depthOf(parent), index, 0, nullptr);
  m_files.clear();
  m_folders.clear();
  return store->FlushBufToFile();
}

int CProfessionalExfatRecovery::ScanDevice(const char16_t* resultName) {
  if (resultName != nullptr) return m_results.Open(resultName);
  return kStatusInvalidParameter;
}

uint32_t CProfessionalExfatRecovery::RootKey() const { return kRootStoreKey; }

int CProfessionalExfatRecovery::GetUnUsedSectorCount(unsigned long long& /*a*/, unsigned long long& /*b*/) { return 0; }

int CProfessionalExfatRecovery::BuildBitMapInfo() { return 0; }

CExfatVolume* CProfessionalExfatRecovery::VolumeAt(uint64_t volumeStart) {
  auto it = m_readVolumes.find(volumeStart);
  if (it == m_readVolumes.end()) {
    auto volume = std::make_unique<CExfatVolume>();
    const uint64_t areaEnd = static_cast<uint64_t>(m_start + m_count);
    if (volumeStart >= areaEnd || volume->Open(m_reader, volumeStart, areaEnd - volumeStart) != 0 ||
        !volume->HasFatHead()) {
      volume.reset();
    } else {
      (void)volume->LoadBitmap();
    }
    it = m_readVolumes.emplace(volumeStart, std::move(volume)).first;
  }
  return it->second.get();
}

int CProfessionalExfatRecovery::ReadNodeData(const _FILE_NODE_& node, uint64_t total, const DataPieceSink& sink) {
  CExfatVolume* volume = node.ClusterBytes > 0 ? VolumeAt(node.VolumeStartSector) : nullptr;
  return ReadExfatNodeData(m_reader, volume, node, total, sink);
}

}  // namespace vorlenta
