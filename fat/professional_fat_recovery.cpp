#include "fat/professional_fat_recovery.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <unordered_set>

#include "format/file_type_judge.h"
#include "device/boot_probe.h"
#include "engine/categories.h"
#include "engine/log_file_manager.h"
#include "engine/status.h"
#include "fat/fat_extraction.h"
#include "fat/fat_geometry.h"
#include "format/fat_record.h"
#include "util/debug_log.h"
#include "util/os_helpers.h"
#include "util/platform.h"
#include "util/text.h"

namespace vorlenta {
namespace {

constexpr uint32_t kSector = kFatSupportedSectorSize;
constexpr uint32_t kAllowedClusterSizes[] = {1, 2, 4, 8, 16, 32, 64, 128};
constexpr uint32_t kMaxSectorsPerCluster = 128;
// The store key of the root: no cluster is 1, so no directory shares it.
constexpr uint32_t kRootStoreKey = 1;
// High words tried for a deleted FAT32 entry that lost its high cluster word.
constexpr uint32_t kMaxHighWordSearch = 256;
// FAT32 cluster numbers have 28 bits.
constexpr uint64_t kMaxCluster = 0x0FFFFFFF;
// A long-name run is at most 20 entries; a longer kept run is garbage.
constexpr size_t kMaxFragmentBytes = 20 * kFatEntrySize;
constexpr size_t kMaxClusterEndFragments = 64;
constexpr size_t kMaxFragments = 4096;
// Marks a waiting sector placed since it was written to the waiting file.
constexpr uint64_t kPlacedBit = 1ull << 63;
constexpr uint32_t kGeometryShift = 32;
constexpr uint32_t kClusterSizeBits = 8;

bool IsDotEntry(const uint8_t* e) { return e[0] == '.' && (e[1] == ' ' || (e[1] == '.' && e[2] == ' ')); }

}  // namespace

CProfessionalFatRecovery::CProfessionalFatRecovery()
    : m_extraction(
          [this](const _FILE_NODE_& node, uint64_t total, const DataPieceSink& sink) { return ReadNodeData(node, total, sink); },
          [this](const _FILE_NODE_& folder) { return DirectoryDepth(folder.DirKey); },
          [this](_FILE_NODE_& dir, uint32_t depth, std::vector<_FILE_NODE_>& out) {
            return GetChildrenFileNode(&dir, depth, out);
          }) {}

CProfessionalFatRecovery::~CProfessionalFatRecovery() {
  if (m_waitingFd >= 0) ::close(m_waitingFd);
}

int CProfessionalFatRecovery::Init(int diskNumber, long long startSector, long long sectorCount, char16_t volumeTag) {
  m_context = Context();
  if (m_open) return 0;
  if (startSector < 0 || sectorCount <= 0) return kStatusInvalidParameter;
  const int status = m_reader.Init(diskNumber, static_cast<unsigned long long>(startSector + sectorCount));
  if (status != 0) return status;
  m_start = startSector;
  m_count = sectorCount;
  m_volumeTag = volumeTag;
  m_open = true;
  return 0;
}

int CProfessionalFatRecovery::Init(const char16_t* path, char16_t volumeTag) {
  m_context = Context();
  if (m_open) return 0;
  if (path == nullptr) return kStatusInvalidParameter;
  const std::string utf8 = Utf16ToUtf8(path);
  const int fd = ::open(utf8.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  const int64_t size = GetDeviceSize(fd);
  ::close(fd);
  if (size < 0) return errno;
  m_start = 0;
  m_count = size / kSector;
  m_volumeTag = volumeTag;
  const int status = m_reader.InitPath(utf8, static_cast<unsigned long long>(m_count));
  if (status != 0) return status;
  m_open = true;
  return 0;
}

int CProfessionalFatRecovery::InitCallBack(ScanCallback scanCallback, RecoveryCallback recoveryCallback, void* context,
                                           int weight) {
  m_scanCallback = scanCallback;
  m_recoveryCallback = recoveryCallback;
  m_callbackContext = context;
  m_weight = weight;
  return 0;
}

int CProfessionalFatRecovery::ScanDevice(const char16_t* /*resultName*/) { return 0; }
int CProfessionalFatRecovery::GetUnUsedSectorCount(unsigned long long& /*a*/, unsigned long long& /*b*/) { return 0; }
int CProfessionalFatRecovery::BuildBitMapInfo() { return 0; }

int CProfessionalFatRecovery::ClearProfessionalVec(const char16_t* storePrefix) {
  m_geometries.clear();
  m_observations.clear();
  m_pairIndex.clear();
  m_facts.clear();
  m_fileHighWords.clear();
  m_dirMap.clear();
  m_fileRelations.clear();
  m_letterWaiting.clear();
  m_letters.Clear();
  m_storeKeys.clear();
  m_nextStoreKey = kRootStoreKey + 1;
  m_depths.clear();
  m_parents.clear();
  m_context = Context();
  m_fragments.clear();
  m_clusterEndFragments.clear();
  m_waiting.clear();
  m_waitingWritten = 0;
  if (m_waitingFd >= 0) ::close(m_waitingFd);
  m_waitingFd = -1;
  if (storePrefix != nullptr && storePrefix[0] != 0) return m_results.Open(storePrefix);
  SYSTEMTIME now{};
  rsb_getLocalTime(&now);
  char name[128];
  std::snprintf(name, sizeof name, "Pro_Fat_%lld_%d%d%d%d%2d", m_start, now.wYear, now.wMonth, now.wDay, now.wHour,
                now.wMinute);
  return m_results.Open(Ansi2Unicode(name).c_str());
}

// ---- geometries ----

int CProfessionalFatRecovery::InitVirtualDbrInfo() {
  if (!m_open) return kStatusInvalidParameter;
  uint8_t boot[kBootSectorBytes];
  unsigned got = 0;
  const int status = m_reader.ReadData(boot, 1, m_start, kSector, &got);
  if (status != 0 || got == 0) return status != 0 ? status : kStatusReadFault;
  FatGeometry fg;
  if (!IsFat(boot, sizeof boot) || ParseFatGeometry(boot, sizeof boot, fg) != 0) return 0;
  Geometry g{};
  g.dbr.SectorsPerCluster = fg.sectorsPerCluster;
  g.dbr.DataStartSector = static_cast<uint32_t>(fg.firstDataSector);
  g.dbr.VolumeStartSector = static_cast<uint64_t>(m_start);
  g.dataStart = static_cast<uint64_t>(m_start) + fg.firstDataSector;
  g.rootCluster = fg.rootCluster;
  g.rootAreaStart = static_cast<uint64_t>(m_start) + fg.rootAreaSector;
  g.rootAreaSectors = fg.rootDirSectors;
  g.boot = true;
  g.fat32 = fg.IsFat32();
  m_geometries.insert(m_geometries.begin(), g);
  return 0;
}

int CProfessionalFatRecovery::AddGeometry(uint32_t spc, uint64_t dataStart) {
  for (size_t i = 0; i < m_geometries.size(); ++i) {
    if (m_geometries[i].dbr.SectorsPerCluster == spc && m_geometries[i].dataStart == dataStart) return static_cast<int>(i);
  }
  const uint64_t relative = dataStart - static_cast<uint64_t>(m_start);
  if (dataStart < static_cast<uint64_t>(m_start) || relative > UINT32_MAX) return -1;
  Geometry g{};
  g.dbr = {spc, static_cast<uint32_t>(relative), static_cast<uint64_t>(m_start)};
  g.dataStart = dataStart;
  // Without a boot record the root is where formatters put it.
  g.rootCluster = kFirstDataCluster;
  g.fat32 = true;
  m_geometries.push_back(g);
  return static_cast<int>(m_geometries.size() - 1);
}

int CProfessionalFatRecovery::CalcVirtualDbr(uint32_t c1, uint64_t s1, uint32_t c2, uint64_t s2) {
  // Each sector stays with its own cluster: the later head must name the higher cluster.
  if (c1 == c2 || s1 == s2 || (c1 > c2) != (s1 > s2)) return 0;
  if (c1 < c2) {
    std::swap(c1, c2);
    std::swap(s1, s2);
  }
  if (c2 < kFirstDataCluster) return 0;
  const uint64_t clusters = c1 - c2;
  const uint64_t sectors = s1 - s2;
  if (sectors % clusters != 0) return 0;
  const uint64_t k = sectors / clusters;
  if (std::find(std::begin(kAllowedClusterSizes), std::end(kAllowedClusterSizes), k) == std::end(kAllowedClusterSizes)) {
    return 0;
  }
  const uint64_t offset = static_cast<uint64_t>(c2 - kFirstDataCluster) * k;
  // The data area cannot start before the scanned area.
  if (offset > s2 || s2 - offset < static_cast<uint64_t>(m_start)) return 0;
  const size_t before = m_geometries.size();
  return AddGeometry(static_cast<uint32_t>(k), s2 - offset) >= 0 && m_geometries.size() > before ? 1 : 0;
}

uint64_t CProfessionalFatRecovery::ClusterStart(int g, uint32_t cluster) const {
  const Geometry& geo = m_geometries[g];
  if (cluster < kFirstDataCluster) return geo.rootAreaSectors != 0 ? geo.rootAreaStart : geo.dataStart;
  return geo.dataStart + static_cast<uint64_t>(cluster - kFirstDataCluster) * geo.dbr.SectorsPerCluster;
}

bool CProfessionalFatRecovery::IsClusterStart(int g, uint64_t sector, uint32_t& cluster) const {
  const Geometry& geo = m_geometries[g];
  if (sector < geo.dataStart) return false;
  const uint64_t offset = sector - geo.dataStart;
  if (offset % geo.dbr.SectorsPerCluster != 0) return false;
  const uint64_t c = offset / geo.dbr.SectorsPerCluster + kFirstDataCluster;
  if (c > kMaxCluster) return false;
  cluster = static_cast<uint32_t>(c);
  return true;
}

bool CProfessionalFatRecovery::InRootArea(int g, uint64_t sector) const {
  const Geometry& geo = m_geometries[g];
  return geo.rootAreaSectors != 0 && sector >= geo.rootAreaStart && sector < geo.rootAreaStart + geo.rootAreaSectors;
}

int CProfessionalFatRecovery::FindHeadGeometry(uint32_t cluster, uint64_t sector) const {
  if (cluster < kFirstDataCluster) return -1;
  int found = -1;
  for (size_t i = 0; i < m_geometries.size(); ++i) {
    if (ClusterStart(static_cast<int>(i), cluster) != sector) continue;
    if (TrustedGeometry(static_cast<int>(i))) return static_cast<int>(i);
    if (found < 0) found = static_cast<int>(i);
  }
  return found;
}

int CProfessionalFatRecovery::GetVirtualDbrInfo(uint64_t sector, uint32_t cluster, __VIRTUAL_DBR_INFO__* out) const {
  for (size_t i = 0; i < m_geometries.size(); ++i) {
    if (cluster >= kFirstDataCluster && ClusterStart(static_cast<int>(i), cluster) == sector) {
      if (out != nullptr) *out = m_geometries[i].dbr;
      return 1;
    }
  }
  return 0;
}

int CProfessionalFatRecovery::GetNearestVirtualDbrInfo(uint64_t sector, uint32_t cluster,
                                                       __VIRTUAL_DBR_INFO__* out) const {
  for (size_t i = 0; i < m_geometries.size(); ++i) {
    if (cluster < kFirstDataCluster) continue;
    const uint64_t first = ClusterStart(static_cast<int>(i), cluster);
    if (sector >= first && sector < first + m_geometries[i].dbr.SectorsPerCluster) {
      if (out != nullptr) *out = m_geometries[i].dbr;
      return 1;
    }
  }
  return 0;
}

int CProfessionalFatRecovery::BestGeometryIndex(uint64_t sector) const {
  if (m_geometries.empty()) return -1;
  if (m_geometries.size() == 1) return 0;
  int best = -1;
  for (size_t i = m_geometries[0].boot ? 1 : 0; i < m_geometries.size(); ++i) {
    const uint64_t start = m_geometries[i].dataStart;
    if (start > sector) continue;
    if (best < 0 || start > m_geometries[best].dataStart) best = static_cast<int>(i);
  }
  return best < 0 ? 0 : best;
}

int CProfessionalFatRecovery::GetBestVirtalDbr(uint64_t sector, __VIRTUAL_DBR_INFO__* out) const {
  const int g = BestGeometryIndex(sector);
  if (g < 0) return 0;
  if (out != nullptr) *out = m_geometries[g].dbr;
  return 1;
}

// Records a head and derives a geometry when an earlier head of the same volume pairs with
// it. Each head files the data start it implies for every allowed cluster size, so its partner
// is found by one look-up per size instead of a comparison with every earlier head.
int CProfessionalFatRecovery::ObserveHead(uint32_t cluster, uint64_t sector) {
  int g = FindHeadGeometry(cluster, sector);
  if (g >= 0) {
    ++m_geometries[g].agreements;
    return g;
  }
  if (cluster < kFirstDataCluster) return -1;
  const size_t self = m_observations.size();
  size_t partner = SIZE_MAX;
  uint32_t partnerSize = 0;
  uint64_t partnerStart = 0;
  for (uint32_t bit = 0; bit < sizeof kAllowedClusterSizes / sizeof kAllowedClusterSizes[0]; ++bit) {
    const uint32_t k = kAllowedClusterSizes[bit];
    const uint64_t offset = static_cast<uint64_t>(cluster - kFirstDataCluster) * k;
    if (offset > sector || sector - offset < static_cast<uint64_t>(m_start)) continue;
    const uint64_t dataStart = sector - offset;
    const uint64_t key = (dataStart << kClusterSizeBits) | bit;
    const auto it = m_pairIndex.find(key);
    if (it == m_pairIndex.end()) {
      m_pairIndex.emplace(key, self);
    } else if (m_observations[it->second].ClusterNo != cluster && it->second < partner) {
      partner = it->second;
      partnerSize = k;
      partnerStart = dataStart;
    }
  }
  m_observations.push_back({cluster, sector});
  if (partner != SIZE_MAX) AddGeometry(partnerSize, partnerStart);
  return FindHeadGeometry(cluster, sector);
}

// ---- what the disk shows ----

const CProfessionalFatRecovery::SectorFacts& CProfessionalFatRecovery::FirstSectorFacts(int g, uint32_t cluster) {
  const DirRef key = (static_cast<uint64_t>(g) << kGeometryShift) | cluster;
  const auto it = m_facts.find(key);
  if (it != m_facts.end()) return it->second;
  SectorFacts facts;
  const uint64_t sector = ClusterStart(g, cluster);
  uint8_t buffer[kSector];
  unsigned got = 0;
  if (sector < static_cast<uint64_t>(m_start + m_count) &&
      m_reader.ReadData(buffer, 1, static_cast<long long>(sector), kSector, &got) == 0 && got == 1) {
    facts.readable = true;
    facts.head = IsDirectoryHead(buffer, sizeof buffer);
    facts.label = buffer[kFatAttrOffset] == kFatAttrVolumeLabel;
    facts.dot = FAT32_Entry::At(buffer, sizeof buffer, 0).FirstCluster();
    facts.dotdot = FAT32_Entry::At(buffer, sizeof buffer, 1).FirstCluster();
  }
  return m_facts.emplace(key, facts).first->second;
}

uint16_t CProfessionalFatRecovery::GetDirRealHighClusterNO(int g, uint16_t low) {
  for (uint32_t high = 0; high <= kMaxHighWordSearch; ++high) {
    const uint32_t cluster = (high << 16) | low;
    if (cluster < kFirstDataCluster) continue;
    const SectorFacts& facts = FirstSectorFacts(g, cluster);
    if (!facts.readable) break;
    if (facts.head && facts.dot == cluster) return static_cast<uint16_t>(high);
  }
  return 0;
}

uint16_t CProfessionalFatRecovery::GetFileRealHighClusterNO(int g, uint16_t low, const std::string& name) {
  std::string ext;
  if (!GetLowerExtension(name.c_str(), ext) || ext.empty()) return 0;
  const uint64_t key = (static_cast<uint64_t>(g) << 40) ^ (static_cast<uint64_t>(low) << 24) ^
                       (std::hash<std::string>()(ext) & 0xFFFFFF);
  const auto cached = m_fileHighWords.find(key);
  if (cached != m_fileHighWords.end()) return cached->second;
  uint16_t found = 0;
  uint8_t sector[kSector];
  for (uint32_t high = 0; high <= kMaxHighWordSearch; ++high) {
    const uint32_t cluster = (high << 16) | low;
    if (cluster < kFirstDataCluster) continue;
    const uint64_t at = ClusterStart(g, cluster);
    unsigned got = 0;
    if (at >= static_cast<uint64_t>(m_start + m_count) ||
        m_reader.ReadData(sector, 1, static_cast<long long>(at), kSector, &got) != 0 || got == 0) {
      break;
    }
    if (CFileTypeJudge::IsFileTypeMatching(sector, sizeof sector, ext.c_str(), &m_reader, kSector, at) != 0) {
      found = static_cast<uint16_t>(high);
      break;
    }
  }
  m_fileHighWords.emplace(key, found);
  return found;
}

uint32_t CProfessionalFatRecovery::EntryCluster(int g, const FAT32_Entry& entry, bool directory, const std::string& name) {
  if (!m_geometries[g].fat32) return entry.ClusterLow();
  uint16_t high = entry.ClusterHigh();
  // Some systems clear the high word when they delete an entry: find it again by content.
  if (entry.IsDeleted() && high == 0 && entry.ClusterLow() != 0) {
    high = directory ? GetDirRealHighClusterNO(g, entry.ClusterLow()) : GetFileRealHighClusterNO(g, entry.ClusterLow(), name);
  }
  return (static_cast<uint32_t>(high) << 16) | entry.ClusterLow();
}

CProfessionalFatRecovery::DirRef CProfessionalFatRecovery::RefOf(int g, uint32_t cluster) const {
  // ".." names the root as cluster 0 on every FAT type.
  if (cluster == 0 || cluster == m_geometries[g].rootCluster) return kRootRef;
  return (static_cast<uint64_t>(g) << kGeometryShift) | cluster;
}

bool CProfessionalFatRecovery::GetParentClusterNO(int g, const uint8_t* buffer, size_t length, DirRef& dir) {
  const size_t entries = length / kFatEntrySize;
  for (size_t i = 0; i < entries; ++i) {
    const FAT32_Entry entry = FAT32_Entry::At(buffer, length, i);
    if (entry.IsEnd()) return false;
    if (i == 0 && entry.IsVolumeLabel() && IsFatEntyValid(entry) != 0) {
      dir = kRootRef;
      return true;
    }
    if (entry.IsLongName() || !entry.IsDirectory() || IsDotEntry(entry.Bytes()) || IsFatEntyValid(entry) == 0) continue;
    const uint32_t cluster = EntryCluster(g, entry, true, std::string());
    if (cluster < kFirstDataCluster) continue;
    const SectorFacts& facts = FirstSectorFacts(g, cluster);
    if (facts.head && facts.dot == cluster) {
      dir = RefOf(g, facts.dotdot);
      return true;
    }
  }
  return false;
}

// ---- placing sectors ----

void CProfessionalFatRecovery::ParseWithPlace(const uint8_t* buffer, uint64_t sector, int g, uint32_t cluster, DirRef dir,
                                              uint64_t spanEnd, Context& ctx) {
  ctx = Context();
  ctx.geometry = g;
  ctx.cluster = cluster;
  ctx.clusterStart = sector;
  ctx.end = spanEnd;
  ctx.dir = dir;
  Fragment fragment;
  ctx.ended = ParseEntries(buffer, kSector, {g, dir, sector, kSector, sector + 1}, fragment);
  ctx.lastSector = sector;
  if (!fragment.bytes.empty()) KeepFragment(std::move(fragment), ctx);
}

bool CProfessionalFatRecovery::PlaceHead(const uint8_t* buffer, uint64_t sector, Context& ctx) {
  const uint32_t cluster = FAT32_Entry::At(buffer, kSector, 0).FirstCluster();
  const int g = FindHeadGeometry(cluster, sector);
  if (g < 0) return false;
  // A ".." whose head checks out under a derived geometry confirms it.
  const uint32_t parent = FAT32_Entry::At(buffer, kSector, 1).FirstCluster();
  if (!m_geometries[g].boot && parent >= kFirstDataCluster) {
    const SectorFacts& facts = FirstSectorFacts(g, parent);
    if (facts.head && facts.dot == parent) ++m_geometries[g].agreements;
  }
  ParseWithPlace(buffer, sector, g, cluster, RefOf(g, cluster), sector + m_geometries[g].dbr.SectorsPerCluster, ctx);
  return true;
}

bool CProfessionalFatRecovery::PlaceSector(const uint8_t* buffer, uint64_t sector, Context& ctx, bool final) {
  // Inside the cluster of the directory just parsed.
  if (ctx.geometry >= 0 && sector > ctx.clusterStart && sector < ctx.end) {
    Fragment fragment;
    ctx.ended = ParseEntries(buffer, kSector, {ctx.geometry, ctx.dir, sector, kSector, sector + 1}, fragment) || ctx.ended;
    ctx.lastSector = sector;
    if (!fragment.bytes.empty()) KeepFragment(std::move(fragment), ctx);
    return true;
  }
  // Right behind a head that no geometry places yet: it waits with that head.
  if (!final && ctx.waiting && sector == ctx.lastSector + 1 && sector < ctx.clusterStart + kMaxSectorsPerCluster) {
    ctx.lastSector = sector;
    return false;
  }
  for (size_t i = 0; i < m_geometries.size(); ++i) {
    if (!InRootArea(static_cast<int>(i), sector)) continue;
    const Geometry& geo = m_geometries[i];
    ParseWithPlace(buffer, sector, static_cast<int>(i), 0, kRootRef, geo.rootAreaStart + geo.rootAreaSectors, ctx);
    return true;
  }
  // A cluster start: prefer the geometry under which a subdirectory's head names this
  // directory, then the one whose open directory it continues, then a trusted one.
  int best = -1;
  int bestRank = -1;
  uint32_t bestCluster = 0;
  DirRef bestDir = kRootRef;
  for (size_t i = 0; i < m_geometries.size(); ++i) {
    const int g = static_cast<int>(i);
    uint32_t cluster = 0;
    if (!IsClusterStart(g, sector, cluster)) continue;
    DirRef dir = kRootRef;
    int rank = 0;
    if (GetParentClusterNO(g, buffer, kSector, dir)) {
      rank = 3;
    } else if (ctx.geometry == g && !ctx.ended && sector > ctx.clusterStart) {
      // A directory longer than one cluster: the next cluster start of its geometry, before
      // the directory ended, carries on with it.
      dir = ctx.dir;
      rank = 2;
    } else {
      dir = RefOf(g, cluster);
      rank = TrustedGeometry(g) ? 1 : 0;
    }
    if (rank > bestRank) {
      best = g;
      bestRank = rank;
      bestCluster = cluster;
      bestDir = dir;
    }
  }
  if (best < 0 && final && !m_geometries.empty()) {
    best = BestGeometryIndex(sector);
    const Geometry& geo = m_geometries[best];
    if (!GetParentClusterNO(best, buffer, kSector, bestDir)) {
      bestDir = kRootRef;
      if (sector >= geo.dataStart) {
        bestCluster = static_cast<uint32_t>(
            std::min<uint64_t>((sector - geo.dataStart) / geo.dbr.SectorsPerCluster + kFirstDataCluster, kMaxCluster));
        bestDir = RefOf(best, bestCluster);
      }
    }
  }
  if (best < 0) return false;
  const uint64_t spanEnd = sector + m_geometries[best].dbr.SectorsPerCluster;
  ParseWithPlace(buffer, sector, best, bestCluster, bestDir, spanEnd, ctx);
  return true;
}

// ---- entries ----

bool CProfessionalFatRecovery::ParseEntries(const uint8_t* buffer, size_t length, const ParsePlace& place,
                                            Fragment& fragment) {
  CLongNameAssembler names;
  size_t runStart = 0;
  const size_t entries = length / kFatEntrySize;
  for (size_t i = 0; i < entries; ++i) {
    const size_t offset = i * kFatEntrySize;
    const FAT32_Entry entry = FAT32_Entry::At(buffer, length, i);
    const uint8_t* bytes = buffer + offset;
    const uint64_t recordSector =
        offset < place.firstBytes ? place.firstSector : place.nextSector + (offset - place.firstBytes) / kSector;
    if (entry.IsEnd()) return true;
    if (IsFatEntyValid(entry) == 0) {
      names.Reset();
      continue;
    }
    if (entry.IsLongName()) {
      // The entries of one name share its checksum; another checksum starts another name.
      if (names.Pending() && entry.LongNameChecksum() != names.Checksum()) names.Reset();
      if (!names.Pending()) runStart = offset;
      if (!names.Add(entry)) names.Reset();
      continue;
    }
    const bool pending = names.Pending();
    const uint8_t checksum = names.Checksum();
    const std::string longName = names.Take();
    // A long name belongs to the short entry only when its checksum says so.
    const bool useLong = pending && !longName.empty() && LongNameFitsShortEntry(checksum, bytes);
    const bool lostLetter = entry.IsDeleted() && !useLong;
    if (entry.IsDirectory()) {
      if (IsDotEntry(bytes)) continue;
      m_letters.AddEntry(bytes, pending, checksum, place.dir);
      AddDirectoryEntry(place.geometry, entry, useLong ? longName : ShortName(bytes, false), recordSector, place.dir,
                        lostLetter);
      continue;
    }
    if ((entry.Attribute() & kFatAttrVolumeLabel) != 0) continue;
    m_letters.AddEntry(bytes, pending, checksum, place.dir);
    const std::string name = useLong ? MendTruncatedLongName(longName, bytes) : ShortName(bytes, true);
    if (name.empty()) continue;
    AddFile(place.geometry, entry, name, recordSector, place.dir, lostLetter);
  }
  if (names.Pending() && length - runStart <= kMaxFragmentBytes) {
    fragment.checksum = names.Checksum();
    fragment.geometry = place.geometry;
    fragment.dir = place.dir;
    fragment.sector = length > place.firstBytes ? place.nextSector + (length - place.firstBytes - 1) / kSector
                                                : place.firstSector;
    fragment.bytes.assign(buffer + runStart, buffer + length);
  }
  return false;
}

void CProfessionalFatRecovery::AddFile(int g, const FAT32_Entry& entry, const std::string& name, uint64_t recordSector,
                                       DirRef dir, bool lostLetter) {
  CScanResultFileManager* store = m_results.Store();
  if (store == nullptr) return;
  const uint32_t cluster = EntryCluster(g, entry, false, name);
  // Data needs a data cluster; an empty file may have none.
  if (entry.FileSize() > 0 && cluster < kFirstDataCluster) return;
  const Geometry& geo = m_geometries[g];
  _FILE_NODE_ node;
  std::memset(&node, 0, sizeof node);
  node.VolumeTag = m_volumeTag;
  node.SourceKind = kSourceDeepFat;
  node.DirKey = cluster;
  node.ClusterBytes = static_cast<int32_t>(kSector * geo.dbr.SectorsPerCluster);
  FillNodeFromEntry(entry, node);
  node.DataStartSector = geo.dbr.DataStartSector;
  node.RecordSector = recordSector;
  node.VolumeStartSector = geo.dbr.VolumeStartSector;
  SetFileNodeName(node, name.c_str());
  node.IsHealthy = static_cast<uint32_t>(IsFileDataHealth(node, geo.dbr.SectorsPerCluster));
  if (lostLetter) {
    m_letterWaiting.push_back({node, dir, HeadOfEntry(entry.Bytes())});
    return;
  }
  const uint32_t index = store->AppendFileNode(node);
  if (index != 0) m_fileRelations.emplace_back(index, dir);
}

void CProfessionalFatRecovery::AddDirectoryEntry(int g, const FAT32_Entry& entry, const std::string& name,
                                                 uint64_t recordSector, DirRef dir, bool lostLetter) {
  const uint32_t cluster = EntryCluster(g, entry, true, name);
  if (cluster < kFirstDataCluster) return;
  const DirRef ref = RefOf(g, cluster);
  if (ref == kRootRef || ref == dir) return;
  const Geometry& geo = m_geometries[g];
  DirEntryInfo info;
  std::memset(&info.node, 0, sizeof info.node);
  info.node.VolumeTag = m_volumeTag;
  info.node.SourceKind = kSourceDeepFat;
  info.node.IsDirectory = 1;
  info.node.IsHealthy = 1;
  info.node.ClusterBytes = static_cast<int32_t>(kSector * geo.dbr.SectorsPerCluster);
  FillNodeFromEntry(entry, info.node);
  info.node.FileSize = 0;
  info.node.DataStartSector = geo.dbr.DataStartSector;
  info.node.RecordSector = recordSector;
  info.node.VolumeStartSector = geo.dbr.VolumeStartSector;
  SetFileNodeName(info.node, name.c_str());
  info.parent = dir;
  info.lostLetter = lostLetter;
  info.head = HeadOfEntry(entry.Bytes());
  m_dirMap[ref] = info;
}

// ---- long names cut by a sector boundary ----

bool CProfessionalFatRecovery::ContinuesFragment(const Fragment& fragment, const uint8_t* sector) const {
  const FAT32_Entry first = FAT32_Entry::At(sector, kSector, 0);
  if (first.IsEnd() || IsFatEntyValid(first) == 0) return false;
  if (first.IsLongName()) {
    return first.LongNameChecksum() == fragment.checksum && (first.IsDeleted() || !first.IsLastLongNameEntry());
  }
  return !IsDotEntry(sector) && LongNameFitsShortEntry(fragment.checksum, sector);
}

void CProfessionalFatRecovery::JoinAndParse(Fragment fragment, const uint8_t* sector, uint64_t sectorNo, Context& ctx) {
  std::vector<uint8_t> joined(fragment.bytes);
  joined.insert(joined.end(), sector, sector + kSector);
  Fragment next;
  const bool ended = ParseEntries(joined.data(), joined.size(),
                                  {fragment.geometry, fragment.dir, fragment.sector, fragment.bytes.size(), sectorNo}, next);
  if (!(ctx.geometry == fragment.geometry && sectorNo > ctx.clusterStart && sectorNo < ctx.end)) {
    ctx = Context();
    ctx.geometry = fragment.geometry;
    ctx.clusterStart = sectorNo;
    ctx.end = sectorNo + m_geometries[fragment.geometry].dbr.SectorsPerCluster;
    ctx.dir = fragment.dir;
  }
  ctx.ended = ended;
  ctx.lastSector = sectorNo;
  if (!next.bytes.empty()) KeepFragment(std::move(next), ctx);
}

void CProfessionalFatRecovery::KeepFragment(Fragment&& fragment, Context& ctx) {
  const uint64_t next = fragment.sector + 1;
  // The continuation may already be waiting (it was seen first).
  const auto it = std::lower_bound(m_waiting.begin(), m_waiting.end(), std::make_pair(next, uint64_t{0}));
  if (it != m_waiting.end() && it->first == next && (it->second & kPlacedBit) == 0) {
    uint8_t sector[kSector];
    if (ReadWaiting(static_cast<size_t>(it - m_waiting.begin()), sector) && ContinuesFragment(fragment, sector)) {
      it->second |= kPlacedBit;
      JoinAndParse(std::move(fragment), sector, next, ctx);
      return;
    }
  }
  if (m_fragments.size() >= kMaxFragments) {
    // In an ascending pass a fragment whose next sector has gone by is continued by nothing.
    for (auto f = m_fragments.begin(); f != m_fragments.end();) f = f->first < fragment.sector ? m_fragments.erase(f) : std::next(f);
  }
  if (next == ctx.end) {
    if (m_clusterEndFragments.size() >= kMaxClusterEndFragments) m_clusterEndFragments.erase(m_clusterEndFragments.begin());
    m_clusterEndFragments.push_back(fragment);
  }
  m_fragments[next] = std::move(fragment);
}

bool CProfessionalFatRecovery::TakeFragmentFor(const uint8_t* sector, uint64_t sectorNo, Fragment& out) {
  const auto it = m_fragments.find(sectorNo);
  if (it != m_fragments.end() && ContinuesFragment(it->second, sector)) {
    out = std::move(it->second);
    m_fragments.erase(it);
    return true;
  }
  // A long name at the end of a cluster goes on at the start of a later cluster of the same
  // geometry, the next cluster of its directory.
  for (auto f = m_clusterEndFragments.rbegin(); f != m_clusterEndFragments.rend(); ++f) {
    uint32_t cluster = 0;
    if (sectorNo > f->sector + 1 && IsClusterStart(f->geometry, sectorNo, cluster) && ContinuesFragment(*f, sector)) {
      out = std::move(*f);
      m_clusterEndFragments.erase(std::next(f).base());
      return true;
    }
  }
  return false;
}

// ---- the sector calls ----

int CProfessionalFatRecovery::ParseFatFileRecord(const uint8_t* sector, uint64_t sectorNo) {
  if (sector == nullptr || IsFatFileRecord(sector, kSector) == 0) return 0;
  const size_t before = m_geometries.size();
  const uint32_t cluster = FAT32_Entry::At(sector, kSector, 0).FirstCluster();
  ObserveHead(cluster, sectorNo);
  if (!PlaceHead(sector, sectorNo, m_context)) {
    if (KeepWaiting(sector, sectorNo) == 0) {
      m_context = Context();
      m_context.waiting = true;
      m_context.clusterStart = sectorNo;
      m_context.lastSector = sectorNo;
    }
  }
  // A new geometry may place what waited for it.
  if (m_geometries.size() > before) ParseUnDealFileMap(false);
  return 0;
}

int CProfessionalFatRecovery::ParseFDTFileRecord(const uint8_t* sector, uint64_t sectorNo) {
  if (sector == nullptr) return 0;
  Fragment fragment;
  if (TakeFragmentFor(sector, sectorNo, fragment)) {
    JoinAndParse(std::move(fragment), sector, sectorNo, m_context);
    return 0;
  }
  if (!PlaceSector(sector, sectorNo, m_context, false)) (void)KeepWaiting(sector, sectorNo);
  return 0;
}

// ---- waiting sectors ----

int CProfessionalFatRecovery::OpenWaitingFile() {
  if (m_waitingFd >= 0) return 0;
  std::string folder = CLogFileManager::GetInstance().GetLogFileDirPath();
  if (folder.empty()) folder = "/tmp";
  if (folder.back() != '/') folder += '/';
  MakeDirectories(folder, kFolderMode);
  std::string pattern = folder + "Pro_Fat_Waiting_XXXXXX";
  m_waitingFd = ::mkstemp(pattern.data());
  if (m_waitingFd < 0) {
    DebugPrint("CProfessionalFatRecovery: cannot make the waiting file in %s\n", folder.c_str());
    return errno;
  }
  // Nobody else needs the file: it goes away with the descriptor.
  ::unlink(pattern.c_str());
  return 0;
}

int CProfessionalFatRecovery::KeepWaiting(const uint8_t* sector, uint64_t sectorNo) {
  const int status = OpenWaitingFile();
  if (status != 0) return status;
  const uint64_t offset = m_waitingWritten * kSector;
  if (::pwrite(m_waitingFd, sector, kSector, static_cast<off_t>(offset)) != static_cast<ssize_t>(kSector)) {
    return errno != 0 ? errno : kStatusReadFault;
  }
  ++m_waitingWritten;
  if (m_waiting.empty() || m_waiting.back().first < sectorNo) {
    m_waiting.emplace_back(sectorNo, offset);
    return 0;
  }
  const auto it = std::lower_bound(m_waiting.begin(), m_waiting.end(), std::make_pair(sectorNo, uint64_t{0}));
  if (it != m_waiting.end() && it->first == sectorNo) {
    it->second = offset;
  } else {
    m_waiting.insert(it, {sectorNo, offset});
  }
  return 0;
}

bool CProfessionalFatRecovery::ReadWaiting(size_t index, uint8_t* sector) const {
  const uint64_t offset = m_waiting[index].second & ~kPlacedBit;
  return ::pread(m_waitingFd, sector, kSector, static_cast<off_t>(offset)) == static_cast<ssize_t>(kSector);
}

void CProfessionalFatRecovery::ParseUnDealFileMap(bool final) {
  if (m_replaying || m_waiting.empty()) return;
  m_replaying = true;
  Context ctx;
  uint8_t sector[kSector];
  for (size_t i = 0; i < m_waiting.size(); ++i) {
    if ((m_waiting[i].second & kPlacedBit) != 0 || !ReadWaiting(i, sector)) continue;
    const uint64_t sectorNo = m_waiting[i].first;
    m_waiting[i].second |= kPlacedBit;
    Fragment fragment;
    if (TakeFragmentFor(sector, sectorNo, fragment)) {
      JoinAndParse(std::move(fragment), sector, sectorNo, ctx);
      continue;
    }
    const bool head = IsFatFileRecord(sector, kSector) != 0;
    bool placed = head ? PlaceHead(sector, sectorNo, ctx) : PlaceSector(sector, sectorNo, ctx, final);
    if (!placed && head && final && !m_geometries.empty()) {
      // No geometry puts this head where it lies: the nearest one is the best guess left.
      const int g = BestGeometryIndex(sectorNo);
      const uint32_t cluster = FAT32_Entry::At(sector, kSector, 0).FirstCluster();
      ParseWithPlace(sector, sectorNo, g, cluster, RefOf(g, cluster), sectorNo + m_geometries[g].dbr.SectorsPerCluster, ctx);
      placed = true;
    }
    if (!placed) {
      m_waiting[i].second &= ~kPlacedBit;
      if (head) {
        ctx = Context();
        ctx.waiting = true;
        ctx.clusterStart = sectorNo;
        ctx.lastSector = sectorNo;
      }
    }
  }
  m_waiting.erase(std::remove_if(m_waiting.begin(), m_waiting.end(),
                                 [](const std::pair<uint64_t, uint64_t>& w) { return (w.second & kPlacedBit) != 0; }),
                  m_waiting.end());
  m_replaying = false;
}

// ---- the final pass ----

CProfessionalFatRecovery::DirRef CProfessionalFatRecovery::PlacementParent(DirRef dir) {
  if (dir == kRootRef) return kRootRef;
  const auto it = m_dirMap.find(dir);
  if (it != m_dirMap.end()) return it->second.parent;
  const int g = static_cast<int>(dir >> kGeometryShift);
  const uint32_t cluster = static_cast<uint32_t>(dir);
  const SectorFacts& facts = FirstSectorFacts(g, cluster);
  if (facts.head && facts.dot == cluster) return RefOf(g, facts.dotdot);
  return kRootRef;
}

CProfessionalFatRecovery::DirRef CProfessionalFatRecovery::ResolvedParent(DirRef dir) {
  const auto it = m_parents.find(dir);
  if (it != m_parents.end()) return it->second;
  const DirRef parent = PlacementParent(dir);
  m_parents.emplace(dir, parent);
  return parent;
}

uint32_t CProfessionalFatRecovery::GetRootParentDirIndex(DirRef dir) {
  if (dir == kRootRef) return 0;
  const auto known = m_depths.find(dir);
  if (known != m_depths.end()) return known->second;
  std::vector<DirRef> chain;
  std::unordered_set<DirRef> onChain;
  DirRef current = dir;
  while (current != kRootRef && m_depths.count(current) == 0) {
    if (!onChain.insert(current).second) {
      // A loop of parent links: the directory that closes it hangs under the root instead.
      m_parents[chain.back()] = kRootRef;
      current = kRootRef;
      break;
    }
    chain.push_back(current);
    current = ResolvedParent(current);
  }
  uint32_t depth = current == kRootRef ? 0 : m_depths[current];
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) m_depths[*it] = ++depth;
  return m_depths[dir];
}

uint32_t CProfessionalFatRecovery::StoreKeyOf(DirRef dir) {
  if (dir == kRootRef) return kRootStoreKey;
  const auto it = m_storeKeys.find(dir);
  if (it != m_storeKeys.end()) return it->second;
  const uint32_t key = m_nextStoreKey++;
  m_storeKeys.emplace(dir, key);
  return key;
}

int CProfessionalFatRecovery::DealProfessionalRecordVec() {
  ParseUnDealFileMap(true);
  m_fragments.clear();
  m_clusterEndFragments.clear();
  CScanResultFileManager* store = m_results.Store();
  int status = 0;
  if (store != nullptr) {
    for (WaitingFile& waiting : m_letterWaiting) {
      SetFileNodeName(waiting.node, m_letters.SettledName(waiting.head, true, waiting.dir).c_str());
      const uint32_t index = store->AppendFileNode(waiting.node);
      if (index != 0) m_fileRelations.emplace_back(index, waiting.dir);
    }
    // The folders that hold a file, directly or below.
    std::vector<DirRef> needed;
    std::unordered_set<DirRef> neededSet;
    for (const auto& relation : m_fileRelations) {
      GetRootParentDirIndex(relation.second);
      for (DirRef d = relation.second; d != kRootRef && neededSet.insert(d).second; d = ResolvedParent(d)) needed.push_back(d);
    }
    std::sort(needed.begin(), needed.end());
    for (const DirRef dir : needed) {
      const int g = static_cast<int>(dir >> kGeometryShift);
      const Geometry& geo = m_geometries[g];
      _FILE_NODE_ node;
      const auto info = m_dirMap.find(dir);
      if (info != m_dirMap.end()) {
        node = info->second.node;
        if (info->second.lostLetter) {
          SetFileNodeName(node, m_letters.SettledName(info->second.head, false, info->second.parent).c_str());
        }
      } else {
        std::memset(&node, 0, sizeof node);
        node.VolumeTag = m_volumeTag;
        node.SourceKind = kSourceDeepFat;
        node.IsDirectory = 1;
        node.IsHealthy = 1;
        node.ClusterBytes = static_cast<int32_t>(kSector * geo.dbr.SectorsPerCluster);
        node.DataStartSector = geo.dbr.DataStartSector;
        node.VolumeStartSector = geo.dbr.VolumeStartSector;
        char name[32];
        std::snprintf(name, sizeof name, "LostFolder%d", static_cast<int>(static_cast<uint32_t>(dir)));
        SetFileNodeName(node, name);
      }
      node.DirKey = StoreKeyOf(dir);
      const DirRef parent = ResolvedParent(dir);
      const uint32_t index = store->AppendFileNode(node);
      if (index == 0) continue;
      store->AddChildren(StoreKeyOf(parent), GetRootParentDirIndex(parent), index, node.DirKey, node.FileName);
    }
    for (const auto& relation : m_fileRelations) {
      store->AddChildren(StoreKeyOf(relation.second), GetRootParentDirIndex(relation.second), relation.first, 0, nullptr);
    }
    status = store->FlushBufToFile();
  }
  m_fileRelations.clear();
  m_letterWaiting.clear();
  m_dirMap.clear();
  m_waiting.clear();
  if (m_waitingFd >= 0) {
    ::close(m_waitingFd);
    m_waitingFd = -1;
  }
  return status;
}

// ---- queries ----

int CProfessionalFatRecovery::GetChildrenFileNode(_FILE_NODE_* parent, unsigned int qualifier,
                                                  std::vector<_FILE_NODE_>& out) {
  if (parent == nullptr && qualifier != 0) return kStatusInvalidParameter;
  const uint32_t key = parent == nullptr || parent->DirKey == 0 ? kRootStoreKey : parent->DirKey;
  return m_results.Children(MakeRelationKey(qualifier, key), out);
}

int CProfessionalFatRecovery::GetChildrenFileCount(_FILE_NODE_* parent, unsigned int qualifier, unsigned int& count) {
  count = 0;
  if (parent == nullptr && qualifier != 0) return kStatusInvalidParameter;
  const uint32_t key = parent == nullptr || parent->DirKey == 0 ? kRootStoreKey : parent->DirKey;
  return m_results.ChildrenCount(MakeRelationKey(qualifier, key), count);
}

unsigned int CProfessionalFatRecovery::GetLostFileCount() { return m_results.NodeCount(); }

int CProfessionalFatRecovery::GetFileNodeParentDirPath(_FILE_NODE_* node, char16_t* out, int capacity) {
  if (m_results.Store() == nullptr) return kStatusInvalidParameter;
  return m_results.ParentDirPath(node, out, capacity);
}

int CProfessionalFatRecovery::InitSearchCallBack(SearchCallback searchCallback, void* context) {
  if (m_results.Store() == nullptr) return kStatusInvalidParameter;
  return m_results.SetSearchCallback(searchCallback, context);
}

int CProfessionalFatRecovery::SearchFileNode(const char16_t* key, std::vector<__SEARCH_FILE_INFO__>& out) {
  return m_results.Search(key, out);
}

// ---- extraction ----

int CProfessionalFatRecovery::IsFileDataHealth(const _FILE_NODE_& node, unsigned sectorsPerCluster) {
  if (node.DirKey < kFirstDataCluster) return 1;
  const uint64_t sector = node.VolumeStartSector + node.DataStartSector +
                          static_cast<uint64_t>(node.DirKey - kFirstDataCluster) * sectorsPerCluster;
  if (sector >= static_cast<uint64_t>(m_start + m_count)) return 1;
  return IsFirstSectorHealthy(m_reader, node.FileName, sector);
}

int CProfessionalFatRecovery::ReadNodeData(const _FILE_NODE_& node, uint64_t total, const DataPieceSink& sink) {
  if (node.ClusterBytes <= 0 || node.ClusterBytes > kMaxClusterBytes) return kStatusClusterTooLarge;
  const uint32_t sectorsPerCluster = static_cast<uint32_t>(node.ClusterBytes) / kSector;
  if (sectorsPerCluster == 0 || node.DirKey < kFirstDataCluster) return kStatusReadFault;
  std::vector<uint8_t> buffer(static_cast<size_t>(sectorsPerCluster) * kSector);
  // No FAT to follow: the data is one contiguous run from the first cluster.
  uint64_t sector = node.VolumeStartSector + node.DataStartSector +
                    static_cast<uint64_t>(node.DirKey - kFirstDataCluster) * sectorsPerCluster;
  uint64_t remaining = total;
  while (remaining > 0) {
    unsigned got = 0;
    const int status =
        m_reader.ReadData(buffer.data(), static_cast<int>(sectorsPerCluster), static_cast<long long>(sector), kSector, &got);
    const uint64_t bytes = static_cast<uint64_t>(got) * kSector;
    if (bytes == 0) return status != 0 && status != kStatusInvalidParameter ? status : kStatusReadFault;
    const uint64_t take = std::min<uint64_t>(bytes, remaining);
    const int sinkStatus = sink(buffer.data(), static_cast<size_t>(take));
    if (sinkStatus != 0) return sinkStatus;
    remaining -= take;
    if (status != 0 || got < sectorsPerCluster) return remaining > 0 ? kStatusReadFault : 0;
    sector += sectorsPerCluster;
  }
  return 0;
}

uint32_t CProfessionalFatRecovery::DirectoryDepth(uint32_t storeKey) const {
  // A folder's children are filed under its depth: the key that names it tells.
  const CScanResultFileManager* store = m_results.Store();
  if (store == nullptr) return 0;
  for (const auto& entry : store->GetRelationMap()) {
    if (static_cast<uint32_t>(entry.first) == storeKey) return static_cast<uint32_t>(entry.first >> 32);
  }
  return 0;
}

int CProfessionalFatRecovery::SaveDataToTargetFile(_FILE_NODE_* node, const char16_t* target) {
  return m_extraction.SaveDataToTargetFile(node, target, m_recoveryCallback, m_callbackContext);
}

int CProfessionalFatRecovery::SaveFileData(_FILE_NODE_* node, const char16_t* targetPath, int /*destDepth*/) {
  return m_extraction.SaveFileData(node, targetPath, m_recoveryCallback, m_callbackContext);
}

int CProfessionalFatRecovery::PreView(_FILE_NODE_* node, char16_t* tempPath, unsigned char* buffer, int& size,
                                      PreviewCallback previewCallback, void* context) {
  return m_extraction.PreView(node, tempPath, buffer, size, previewCallback, context);
}

}  // namespace vorlenta
