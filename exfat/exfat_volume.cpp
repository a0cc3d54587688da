#include "exfat/exfat_volume.h"

#include <algorithm>
#include <unordered_set>

#include "engine/status.h"
#include "fat/fat_extraction.h"
#include "format/exfat_record.h"
#include "util/debug_log.h"
#include "util/endian.h"

namespace vorlenta {
namespace {

constexpr uint32_t kSector = kSectorSize;
constexpr size_t kFatEntryBytes = 4;
constexpr uint32_t kExfatFatMedia = 0xFFFFFFF8;
// The part of the FAT held in memory at a time.
constexpr size_t kExfatFatWindowBytes = 0x400000;
// Data is read at most this much at a time.
constexpr uint32_t kReadChunkBytes = 0x100000;
// Root-directory clusters searched for the bitmap entry.
constexpr uint32_t kBitmapSearchClusters = 4;

int ReadStatus(int status) { return status == kStatusInvalidParameter ? kStatusReadFault : status; }

void AppendCluster(std::vector<ExfatExtent>& out, uint32_t cluster) {
  if (!out.empty() && out.back().first + out.back().second == cluster) {
    ++out.back().second;
  } else {
    out.emplace_back(cluster, 1);
  }
}

}  // namespace

int CExfatVolume::Open(CDiskReader& reader, uint64_t volumeStart, uint64_t areaSectors) {
  m_reader = nullptr;
  m_bitmap.clear();
  m_fatWindow.clear();
  m_fatWindowLength = 0;
  // The largest boot region: 12 sectors of 4096 bytes.
  std::vector<uint8_t> region(static_cast<size_t>(kExfatBootRegionSectors) << kExfatMaxSectorShift);
  const uint32_t regionUnits = static_cast<uint32_t>(region.size() / kSector);
  int status = kStatusInvalidParameter;
  // The backup lies 12 volume sectors in: 12 units for 512-byte sectors, 96 for 4096-byte ones.
  constexpr uint32_t kLargeSectorUnits = (1u << kExfatMaxSectorShift) / kSector;
  for (const uint32_t at : {0u, kExfatBackupBootSector, kExfatBackupBootSector * kLargeSectorUnits}) {
    const uint64_t units = std::min<uint64_t>(regionUnits, areaSectors > at ? areaSectors - at : 0);
    unsigned got = 0;
    const int read = units == 0 ? kStatusReadFault
                                : reader.ReadData(region.data(), static_cast<int>(units),
                                                  static_cast<long long>(volumeStart + at), kSector, &got);
    if (got == 0) {
      if (status == kStatusInvalidParameter) status = ReadStatus(read != 0 ? read : kStatusReadFault);
      continue;
    }
    ExfatBoot boot;
    if (!IsExfatBootRegion(region.data(), static_cast<size_t>(got) * kSector, &boot)) continue;
    if (at != 0 && at != kExfatBackupBootSector * (boot.SectorBytes() / kSector)) continue;
    m_boot = boot;
    m_usedBackup = at != 0;
    status = 0;
    break;
  }
  if (status != 0) return status;
  m_unit = m_boot.SectorBytes() / kSector;
  m_volumeStart = volumeStart;
  m_volumeSectors = std::min<uint64_t>(areaSectors, m_boot.volumeLength * m_unit);
  m_sectorsPerCluster = (1u << m_boot.sectorsPerClusterShift) * m_unit;
  m_heapSector = uint64_t{m_boot.clusterHeapOffset} * m_unit;
  m_fatSector = uint64_t{m_boot.fatOffset} * m_unit;
  m_fatBytes = (uint64_t{m_boot.clusterCount} + kExfatFirstCluster) * kFatEntryBytes;
  m_fatWindow.assign(
      static_cast<size_t>(std::min<uint64_t>((m_fatBytes + kSector - 1) / kSector * kSector, kExfatFatWindowBytes)), 0);
  m_reader = &reader;
  return 0;
}

int CExfatVolume::ReadSectors(uint8_t* buffer, uint32_t sectors, uint64_t relative, unsigned& got) {
  got = 0;
  if (m_reader == nullptr) return kStatusInvalidParameter;
  if (relative + sectors > m_volumeSectors) return kStatusReadFault;
  return ReadStatus(m_reader->ReadData(buffer, static_cast<int>(sectors),
                                       static_cast<long long>(m_volumeStart + relative), kSector, &got));
}

int CExfatVolume::LoadFatWindow(uint64_t byteOffset) {
  const uint64_t firstSector = byteOffset / kSector;
  const uint64_t fatSectors = (m_fatBytes + kSector - 1) / kSector;
  const uint32_t sectors =
      static_cast<uint32_t>(std::min<uint64_t>(m_fatWindow.size() / kSector, fatSectors - firstSector));
  unsigned got = 0;
  const int status = ReadSectors(m_fatWindow.data(), sectors, m_fatSector + firstSector, got);
  m_fatWindowOffset = firstSector * kSector;
  m_fatWindowLength = static_cast<size_t>(got) * kSector;
  if (got == 0) return status != 0 ? status : kStatusReadFault;
  return 0;
}

int CExfatVolume::FatEntry(uint32_t cluster, uint32_t& entry) {
  entry = 0;
  if (m_reader == nullptr) return kStatusInvalidParameter;
  const uint64_t offset = uint64_t{cluster} * kFatEntryBytes;
  if (offset + kFatEntryBytes > m_fatBytes) return kStatusReadFault;
  const bool inWindow = offset >= m_fatWindowOffset && offset + kFatEntryBytes <= m_fatWindowOffset + m_fatWindowLength;
  if (!inWindow) {
    const int status = LoadFatWindow(offset);
    if (status != 0) return status;
  }
  entry = ReadU32LE(m_fatWindow.data(), m_fatWindowLength, static_cast<size_t>(offset - m_fatWindowOffset));
  return 0;
}

bool CExfatVolume::HasFatHead() {
  uint32_t media = 0;
  uint32_t second = 0;
  return FatEntry(0, media) == 0 && FatEntry(1, second) == 0 && media == kExfatFatMedia && second == kExfatEndOfChain;
}

bool CExfatVolume::IsAllocated(uint32_t cluster) const {
  if (!m_boot.IsValidCluster(cluster)) return false;
  const uint32_t bit = cluster - kExfatFirstCluster;
  return bit / 8 < m_bitmap.size() && ((m_bitmap[bit / 8] >> (bit % 8)) & 1u) != 0;
}

int CExfatVolume::LoadBitmap() {
  m_bitmap.clear();
  if (m_reader == nullptr) return kStatusInvalidParameter;
  std::vector<ExfatExtent> root;
  int status = FollowChain(m_boot.rootCluster, kBitmapSearchClusters, root);
  if (status != 0) return status;
  std::vector<uint8_t> cluster(ClusterBytes());
  for (const ExfatExtent& run : root) {
    for (uint32_t i = 0; i < run.second; ++i) {
      unsigned got = 0;
      status = ReadSectors(cluster.data(), m_sectorsPerCluster, ClusterSector(run.first + i), got);
      const size_t bytes = static_cast<size_t>(got) * kSector;
      for (size_t at = 0; at + kExfatEntrySize <= bytes; at += kExfatEntrySize) {
        if (cluster[at] == kExfatTypeEnd) return kStatusReadFault;
        if (cluster[at] != kExfatTypeBitmap) continue;
        const uint32_t first = ReadU32LE(cluster.data(), bytes, at + kExfatBitmapFirstCluster);
        const uint64_t length = ReadU64LE(cluster.data(), bytes, at + kExfatBitmapLength);
        const uint64_t needed = (uint64_t{m_boot.clusterCount} + 7) / 8;
        if (length < needed || !m_boot.IsValidCluster(first)) return kStatusReadFault;
        std::vector<ExfatExtent> runs;
        status = DataExtents(first, needed, 0, runs);
        if (status != 0) return status;
        std::vector<uint8_t> bitmap;
        bitmap.reserve(static_cast<size_t>(needed));
        status = ReadExfatExtents(*m_reader, runs, m_volumeStart + m_heapSector, m_sectorsPerCluster, needed,
                                  [&](const uint8_t* data, size_t n) {
                                    bitmap.insert(bitmap.end(), data, data + n);
                                    return 0;
                                  });
        if (status != 0) return status;
        m_bitmap.swap(bitmap);
        return 0;
      }
      if (status != 0) return status;
    }
  }
  return kStatusReadFault;
}

int CExfatVolume::FollowChain(uint32_t first, uint64_t limit, std::vector<ExfatExtent>& out) {
  out.clear();
  std::unordered_set<uint32_t> seen;
  uint32_t cluster = first;
  for (uint64_t n = 0; n < limit && m_boot.IsValidCluster(cluster) && seen.insert(cluster).second; ++n) {
    AppendCluster(out, cluster);
    uint32_t next = 0;
    const int status = FatEntry(cluster, next);
    if (status != 0) return status;
    cluster = next;
  }
  return 0;
}

int CExfatVolume::DataExtents(uint32_t first, uint64_t bytes, uint32_t runFlags, std::vector<ExfatExtent>& out) {
  out.clear();
  if (m_reader == nullptr) return kStatusInvalidParameter;
  if (!m_boot.IsValidCluster(first)) return kStatusReadFault;
  const uint64_t clusters = (bytes + ClusterBytes() - 1) / ClusterBytes();
  const uint64_t lastCluster = uint64_t{m_boot.clusterCount} + kExfatFirstCluster;
  if (clusters == 0) return 0;
  if ((runFlags & kExfatRunNoFatChain) == 0) {
    // The chain holds when it has exactly the file's length and ends there.
    std::vector<ExfatExtent> chain;
    const int status = FollowChain(first, clusters, chain);
    uint64_t counted = 0;
    for (const ExfatExtent& run : chain) counted += run.second;
    uint32_t end = 0;
    if (status == 0 && counted == clusters && FatEntry(chain.back().first + chain.back().second - 1, end) == 0 &&
        end == kExfatEndOfChain) {
      out.swap(chain);
      return 0;
    }
    if ((runFlags & kExfatRunDeleted) != 0 && HasBitmap() && !IsAllocated(first)) {
      uint64_t taken = 0;
      for (uint64_t c = first; c < lastCluster && taken < clusters; ++c) {
        if (IsAllocated(static_cast<uint32_t>(c))) continue;
        AppendCluster(out, static_cast<uint32_t>(c));
        ++taken;
      }
      if (taken == clusters) return 0;
      out.clear();
    }
  }
  const uint64_t count = std::min<uint64_t>(clusters, lastCluster - first);
  out.emplace_back(first, static_cast<uint32_t>(count));
  return 0;
}

int ReadExfatExtents(CDiskReader& reader, const std::vector<ExfatExtent>& extents, uint64_t heapSector,
                     uint32_t sectorsPerCluster, uint64_t total, const DataPieceSink& sink) {
  if (sectorsPerCluster == 0) return kStatusInvalidParameter;
  const uint32_t chunkSectors = std::max<uint32_t>(kReadChunkBytes / kSector, sectorsPerCluster);
  std::vector<uint8_t> buffer(static_cast<size_t>(chunkSectors) * kSector);
  uint64_t remaining = total;
  for (const ExfatExtent& run : extents) {
    uint64_t sector = heapSector + static_cast<uint64_t>(run.first - kExfatFirstCluster) * sectorsPerCluster;
    uint64_t runSectors = static_cast<uint64_t>(run.second) * sectorsPerCluster;
    while (remaining > 0 && runSectors > 0) {
      const uint32_t want =
          static_cast<uint32_t>(std::min<uint64_t>({chunkSectors, runSectors, (remaining + kSector - 1) / kSector}));
      unsigned got = 0;
      const int status =
          reader.ReadData(buffer.data(), static_cast<int>(want), static_cast<long long>(sector), kSector, &got);
      const uint64_t bytes = static_cast<uint64_t>(got) * kSector;
      if (bytes == 0) return ReadStatus(status != 0 ? status : kStatusReadFault);
      const uint64_t take = std::min(bytes, remaining);
      const int answer = sink(buffer.data(), static_cast<size_t>(take));
      if (answer != 0) return answer;
      remaining -= take;
      if (status != 0) return remaining > 0 ? ReadStatus(status) : 0;
      sector += got;
      runSectors -= got;
    }
    if (remaining == 0) return 0;
  }
  return remaining == 0 ? 0 : kStatusReadFault;
}

int ReadExfatNodeData(CDiskReader& reader, CExfatVolume* volume, const _FILE_NODE_& node, uint64_t total,
                      const DataPieceSink& sink) {
  if (total == 0) return 0;
  // A node no geometry placed has no data to read.
  if (node.ClusterBytes <= 0) return kStatusReadFault;
  if (node.ClusterBytes > kMaxClusterBytes) return kStatusClusterTooLarge;
  const uint32_t sectorsPerCluster = static_cast<uint32_t>(node.ClusterBytes) / kSector;
  if (sectorsPerCluster == 0 || node.DirKey < kExfatFirstCluster) return kStatusReadFault;
  std::vector<ExfatExtent> extents;
  if (volume != nullptr && volume->IsOpen() && volume->ClusterBytes() == static_cast<uint32_t>(node.ClusterBytes)) {
    const int status = volume->DataExtents(node.DirKey, total, node.Reserved, extents);
    if (status != 0) return status;
  } else {
    const uint64_t clusters = (total + node.ClusterBytes - 1) / static_cast<uint64_t>(node.ClusterBytes);
    if (clusters > UINT32_MAX) return kStatusInvalidParameter;
    if (clusters != 0) extents.emplace_back(node.DirKey, static_cast<uint32_t>(clusters));
  }
  return ReadExfatExtents(reader, extents, node.VolumeStartSector + node.DataStartSector, sectorsPerCluster, total,
                          sink);
}

}  // namespace vorlenta
