#include "ntfs/ntfs_volume_data.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "format/file_type_judge.h"
#include "device/boot_probe.h"
#include "engine/categories.h"
#include "engine/status.h"
#include "util/os_helpers.h"
#include "util/platform.h"
#include "util/text.h"

namespace vorlenta {
namespace {

// Largest attribute list read; real ones are a few KiB even for very fragmented files.
constexpr uint64_t kMaxAttributeListBytes = 256 * 1024;
constexpr int kPercentDone = 100;
constexpr size_t kBootMftCluster = 48;
// A sectors-per-cluster byte above this is a power of two given as 256 minus its exponent.
constexpr uint8_t kLargestPlainSectorsPerCluster = 0x80;
constexpr uint32_t kMaxClusterBytes = 2u * 1024 * 1024;
constexpr uint32_t kMinBytesPerSector = 512;
constexpr uint32_t kMaxBytesPerSector = 4096;

bool IsPowerOfTwo(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

}  // namespace

bool DecodeNtfsBootGeometry(const uint8_t* boot, size_t length, NtfsBootGeometry& out) {
  out = NtfsBootGeometry{};
  if (boot == nullptr || length < kBootSectorBytes) return false;
  uint32_t bytesPerSector = ReadU16LE(boot, length, boot::kBytesPerSector);
  if (bytesPerSector == 0) bytesPerSector = kMinBytesPerSector;
  const uint8_t raw = ReadU8(boot, length, boot::kSectorsPerCluster);
  uint64_t sectorsPerCluster = raw;
  if (raw > kLargestPlainSectorsPerCluster) {
    const unsigned shift = 256u - raw;
    sectorsPerCluster = shift < 32 ? uint64_t{1} << shift : 0;
  }
  const uint64_t clusterBytes = sectorsPerCluster * bytesPerSector;
  if (!IsPowerOfTwo(bytesPerSector) || bytesPerSector < kMinBytesPerSector || bytesPerSector > kMaxBytesPerSector ||
      !IsPowerOfTwo(sectorsPerCluster) || clusterBytes > kMaxClusterBytes) {
    return false;
  }
  out.bytesPerSector = bytesPerSector;
  out.sectorsPerCluster = static_cast<uint32_t>(sectorsPerCluster);
  out.clusterBytes = static_cast<uint32_t>(clusterBytes);
  out.totalSectors = ReadU64LE(boot, length, boot::kNtfsTotalSectors);
  out.mftCluster = ReadU64LE(boot, length, kBootMftCluster);
  return true;
}

int OpenScanArea(CDiskReader& reader, int diskNumber, long long start, long long count, char16_t tag,
                 NtfsScanArea& area) {
  if (start < 0 || count <= 0) return kStatusInvalidParameter;
  area = NtfsScanArea{static_cast<uint64_t>(start), static_cast<uint64_t>(count), tag};
  return reader.Init(diskNumber, area.start + area.sectors);
}

int OpenScanArea(CDiskReader& reader, const char16_t* path, char16_t tag, NtfsScanArea& area) {
  area = NtfsScanArea{0, 0, tag};
  if (path == nullptr) return kStatusInvalidParameter;
  const std::string utf8 = Utf16ToUtf8(path);
  const int fd = ::open(utf8.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  const int64_t size = GetDeviceSize(fd);
  const int err = errno;
  ::close(fd);
  if (size < 0) return err;
  area.sectors = static_cast<uint64_t>(size) / kSectorSize;
  return reader.InitPath(utf8, area.sectors);
}

void FillNodeFromName(const NtfsFileName& name, _FILE_NODE_& node) {
  node.CreateTime = name.createTime;
  node.AccessTime = name.accessTime;
  node.WriteTime = name.modifyTime;
  node.FileSize = name.realSize;
  SetFileNodeName(node, Unicode2Ansi(name.name.c_str()).c_str());
}

bool IsWantedAttribute(const NtfsAttribute& a, uint32_t type) {
  return a.type == type && (type != ntfs::kTypeData || a.nameLength == 0);
}

void CNtfsVolumeData::SetGeometry(CDiskReader* reader, int bytesPerSector, uint64_t volumeStart,
                                  uint64_t volumeClusters, uint32_t clusterBytes) {
  m_reader = reader;
  m_parser.Init(bytesPerSector);
  m_volumeStart = volumeStart;
  m_volumeClusters = volumeClusters;
  m_clusterBytes = clusterBytes;
}

void CNtfsVolumeData::SetMftExtents(std::vector<NtfsExtent> extents) {
  m_mftExtents = std::move(extents);
  m_contiguousMft = false;
}

void CNtfsVolumeData::SetContiguousMft(uint64_t baseSector) {
  m_mftExtents.clear();
  m_contiguousMft = true;
  m_mftBaseSector = baseSector;
}

bool CNtfsVolumeData::RecordPieceSector(uint64_t recordNumber, uint32_t piece, uint64_t& sector,
                                        uint64_t& contiguous) const {
  const uint64_t recordBytes = static_cast<uint64_t>(RecordSize());
  if (recordNumber > UINT64_MAX / kSectorSize / recordBytes) return false;
  const uint64_t want = recordNumber * recordBytes + static_cast<uint64_t>(piece) * kSectorSize;
  if (m_contiguousMft) {
    if (want / kSectorSize > UINT64_MAX - m_mftBaseSector) return false;
    sector = m_mftBaseSector + want / kSectorSize;
    contiguous = recordBytes - static_cast<uint64_t>(piece) * kSectorSize;
    return true;
  }
  uint64_t position = 0;
  for (const NtfsExtent& extent : m_mftExtents) {
    const uint64_t bytes = extent.clusters * m_clusterBytes;
    if (want >= position && want - position < bytes) {
      if (extent.sparse) return false;
      sector = m_volumeStart + extent.lcn * ClusterSectors() + (want - position) / kSectorSize;
      contiguous = bytes - (want - position);
      return true;
    }
    position += bytes;
  }
  return false;
}

int CNtfsVolumeData::ReadRecordBuf(uint64_t recordNumber, unsigned char* buffer) {
  if (buffer == nullptr || m_reader == nullptr) return kStatusInvalidParameter;
  // Read 512 bytes at a time where needed: with small clusters a record may begin at the end
  // of one run of the table and go on at the start of the next.
  const uint32_t recordBytes = static_cast<uint32_t>(RecordSize());
  uint32_t done = 0;
  while (done < recordBytes) {
    uint64_t sector = 0;
    uint64_t contiguous = 0;
    if (!RecordPieceSector(recordNumber, done / kSectorSize, sector, contiguous) || contiguous == 0) {
      return kStatusInvalidParameter;
    }
    const uint32_t take = static_cast<uint32_t>(std::min<uint64_t>(contiguous, recordBytes - done));
    unsigned got = 0;
    const int status = ReadSectors(buffer + done, take / kSectorSize, sector, got);
    if (status != 0) return status;
    done += take;
  }
  return 0;
}

int CNtfsVolumeData::ReadRecordByNumber(uint64_t recordNumber, std::vector<uint8_t>& record, size_t& bound) {
  record.assign(static_cast<size_t>(RecordSize()), 0);
  bound = 0;
  const int status = ReadRecordBuf(recordNumber, record.data());
  if (status != 0) return status;
  return PrepareRecord(record.data(), bound) ? 0 : kNtfsNotFileRecord;
}

int CNtfsVolumeData::ReadSectors(uint8_t* buffer, uint32_t sectors, uint64_t sector, unsigned& got) {
  got = 0;
  if (m_reader == nullptr) return kStatusInvalidParameter;
  return m_reader->ReadData(buffer, static_cast<int>(sectors), static_cast<long long>(sector), kSectorSize, &got);
}


bool CNtfsVolumeData::PrepareRecord(uint8_t* record, size_t& bound) const {
  bound = 0;
  if (!BytesEqual(record, static_cast<size_t>(RecordSize()), 0, ntfs::kRecordMagic, ntfs::kRecordMagicBytes)) {
    return false;
  }
  size_t intact = 0;
  if (m_parser.FileRecordFixUp(record, static_cast<size_t>(RecordSize()), &intact) != 0) return false;
  bound = intact;
  return true;
}

int CNtfsVolumeData::ReadRecordAt(uint64_t sector, std::vector<uint8_t>& record, size_t& bound) {
  record.assign(static_cast<size_t>(RecordSize()), 0);
  bound = 0;
  unsigned got = 0;
  const uint32_t sectors = static_cast<uint32_t>(RecordSize() / kSectorSize);
  const int status = ReadSectors(record.data(), sectors, sector, got);
  if (status != 0) return status;
  return PrepareRecord(record.data(), bound) ? 0 : kNtfsNotFileRecord;
}


void CNtfsVolumeData::AppendRuns(const NtfsAttribute& attribute, std::vector<__RUNLIST__>& runs,
                                 int64_t& lastLcn) const {
  std::vector<__RUNLIST__> own;
  m_parser.GetRunList(attribute.data, attribute.length, own);
  // Each attribute's list starts from an absolute cluster; keep the joined list relative to
  // the run before it, as a single list would be.
  int64_t lcn = 0;
  for (const __RUNLIST__& run : own) {
    if (run.i64RunOffset == 0) {
      runs.push_back(run);
      continue;
    }
    lcn += run.i64RunOffset;
    runs.push_back(__RUNLIST__{run.u64RunLength, lcn - lastLcn});
    lastLcn = lcn;
  }
}

int CNtfsVolumeData::LocateAttribute(const uint8_t* record, size_t bound, uint32_t attributeType, NtfsNodeData& out,
                                       std::vector<__RUNLIST__>* runs) {
  out = NtfsNodeData{};
  bool haveList = false;
  NtfsAttribute list{};
  bool haveOwn = false;
  NtfsAttribute own{};
  WalkAttributes(record, bound, NtfsWalk::kLookup, [&](const NtfsAttribute& a) {
    if (a.type == ntfs::kTypeAttributeList && !haveList) {
      list = a;
      haveList = true;
    } else if (IsWantedAttribute(a, attributeType) && !haveOwn) {
      own = a;
      haveOwn = true;
    }
    return true;
  });
  // With an attribute list the attribute may be split over several records; the list names
  // every piece, the one in this record included.
  if (haveList) {
    const int status = LocateThroughList(list, attributeType, out, runs);
    if (status != kNtfsNoAttribute || !haveOwn) return status;
    out = NtfsNodeData{};
  }
  if (!haveOwn) return kNtfsNoAttribute;
  if (!own.nonResident) {
    const uint8_t* value = nullptr;
    uint32_t length = 0;
    if (!ResidentValue(own, value, length)) return kNtfsNoAttribute;
    out.resident = true;
    out.residentBytes.assign(value, value + length);
    out.realSize = length;
    return 0;
  }
  std::vector<__RUNLIST__> local;
  std::vector<__RUNLIST__>& target = runs != nullptr ? *runs : local;
  const size_t first = target.size();
  int64_t lastLcn = 0;
  AppendRuns(own, target, lastLcn);
  out.realSize = ReadU64LE(own.data, own.length, ntfs::kAttrRealSize);
  ResolveRunList(std::vector<__RUNLIST__>(target.begin() + static_cast<long>(first), target.end()), VolumeClusters(),
                 out.extents);
  return 0;
}

int CNtfsVolumeData::LocateThroughList(const NtfsAttribute& list, uint32_t attributeType, NtfsNodeData& out,
                                         std::vector<__RUNLIST__>* runs) {
  std::vector<uint8_t> entries;
  if (!list.nonResident) {
    const uint8_t* value = nullptr;
    uint32_t length = 0;
    if (!ResidentValue(list, value, length)) return kNtfsNoAttribute;
    entries.assign(value, value + length);
  } else {
    std::vector<__RUNLIST__> listRuns;
    m_parser.GetRunList(list.data, list.length, listRuns);
    NtfsNodeData listData;
    ResolveRunList(listRuns, VolumeClusters(), listData.extents);
    const uint64_t size = std::min<uint64_t>(ReadU64LE(list.data, list.length, ntfs::kAttrRealSize), kMaxAttributeListBytes);
    const int status = ReadExtents(listData, size, [&](const uint8_t* data, size_t length) {
      entries.insert(entries.end(), data, data + length);
      return 0;
    });
    if (status != 0 && entries.empty()) return status;
  }
  std::vector<__RUNLIST__> local;
  std::vector<__RUNLIST__>& target = runs != nullptr ? *runs : local;
  const size_t first = target.size();
  int64_t lastLcn = 0;
  bool found = false;
  int result = 0;
  std::vector<uint8_t> record;
  size_t recordBound = 0;
  uint32_t loaded = UINT32_MAX;
  int loadStatus = 0;
  size_t position = 0;
  const size_t size = entries.size();
  while (FieldFits(size, position, ntfs::kAleMinLength)) {
    const uint32_t type = ReadU32LE(entries.data(), size, position + ntfs::kAleType);
    const uint16_t length = ReadU16LE(entries.data(), size, position + ntfs::kAleLength);
    if (type == 0 || type == ntfs::kTypeEnd || length < ntfs::kAleMinLength) break;
    const uint8_t nameLength = ReadU8(entries.data(), size, position + ntfs::kAleNameLength);
    if (type == attributeType && (attributeType != ntfs::kTypeData || nameLength == 0)) {
      const uint64_t lowestVcn = ReadU64LE(entries.data(), size, position + ntfs::kAleLowestVcn);
      const uint64_t reference = ReadU64LE(entries.data(), size, position + ntfs::kAleReference);
      const uint32_t number = static_cast<uint32_t>(std::min<uint64_t>(reference & ntfs::kReferenceRecordMask, UINT32_MAX));
      if (number != loaded) {
        loaded = number;
        loadStatus = ReadRecordByNumber(number, record, recordBound);
      }
      if (loadStatus != 0) {
        result = loadStatus;
      } else {
        // The piece that starts at the entry's first cluster of the stream.
        WalkAttributes(record.data(), recordBound, NtfsWalk::kLookup, [&](const NtfsAttribute& a) {
          if (!IsWantedAttribute(a, attributeType)) return true;
          if (!a.nonResident) {
            const uint8_t* value = nullptr;
            uint32_t valueLength = 0;
            if (lowestVcn == 0 && !found && ResidentValue(a, value, valueLength)) {
              out.resident = true;
              out.residentBytes.assign(value, value + valueLength);
              out.realSize = valueLength;
              found = true;
            }
            return false;
          }
          if (ReadU64LE(a.data, a.length, ntfs::kAttrLowestVcn) != lowestVcn) return true;
          if (out.resident) return false;
          AppendRuns(a, target, lastLcn);
          if (lowestVcn == 0) out.realSize = ReadU64LE(a.data, a.length, ntfs::kAttrRealSize);
          found = true;
          return false;
        });
      }
    }
    position += length;
  }
  if (!found) return result != 0 ? result : kNtfsNoAttribute;
  if (!out.resident) {
    ResolveRunList(std::vector<__RUNLIST__>(target.begin() + static_cast<long>(first), target.end()), VolumeClusters(),
                   out.extents);
  }
  return result;
}


int CNtfsVolumeData::ReadExtents(const NtfsNodeData& data, uint64_t total, const DataPieceSink& sink) {
  if (data.resident) {
    const size_t take = static_cast<size_t>(std::min<uint64_t>(total, data.residentBytes.size()));
    return take == 0 ? 0 : sink(data.residentBytes.data(), take);
  }
  std::vector<uint8_t> buffer(kNtfsCopyBytes, 0);
  uint64_t delivered = 0;
  for (const NtfsExtent& extent : data.extents) {
    if (delivered >= total) break;
    // A sparse run was never written: it reads as zeros.
    const uint64_t extentBytes =
        extent.clusters > UINT64_MAX / m_clusterBytes ? UINT64_MAX : extent.clusters * m_clusterBytes;
    uint64_t done = 0;
    if (extent.sparse) std::fill(buffer.begin(), buffer.end(), 0);
    while (done < extentBytes && delivered < total) {
      const uint64_t piece = std::min<uint64_t>({kNtfsCopyBytes, extentBytes - done, total - delivered});
      size_t length = static_cast<size_t>(piece);
      if (!extent.sparse) {
        const uint32_t sectors = static_cast<uint32_t>((piece + kSectorSize - 1) / kSectorSize);
        unsigned got = 0;
        const int status =
            ReadSectors(buffer.data(), sectors, m_volumeStart + extent.lcn * ClusterSectors() + done / kSectorSize, got);
        length = std::min<size_t>(length, static_cast<size_t>(got) * kSectorSize);
        if (length == 0) return status != 0 && status != kStatusInvalidParameter ? status : kStatusReadFault;
        const int answer = sink(buffer.data(), length);
        if (answer != 0) return answer;
        if (status != 0) return kStatusReadFault;
      } else {
        const int answer = sink(buffer.data(), length);
        if (answer != 0) return answer;
      }
      done += length;
      delivered += length;
    }
  }
  // The runs end before the file does: what they held is delivered, the rest is missing.
  return delivered < total ? kStatusReadFault : 0;
}

int CNtfsVolumeData::HealthOfData(const _FILE_NODE_& node, const NtfsNodeData& data, int located) {
  if (located != 0) return 1;
  std::string ext;
  const bool haveExt = GetLowerExtension(node.FileName, ext) && !ext.empty();
  if (data.resident) {
    if (data.residentBytes.empty()) return 0;
    if (!haveExt) return 1;
    return CFileTypeJudge::IsFileTypeMatching(data.residentBytes.data(), static_cast<int>(data.residentBytes.size()),
                                              ext.c_str(), m_reader, kSectorSize, 0) != 0
               ? 1
               : 0;
  }
  if (data.extents.empty() || data.extents.front().sparse || !haveExt) return 1;
  const uint64_t sector = m_volumeStart + data.extents.front().lcn * ClusterSectors();
  if (sector == 0) return 1;
  uint8_t first[kSectorSize];
  unsigned got = 0;
  if (ReadSectors(first, 1, sector, got) != 0 || got == 0) return 1;
  return CFileTypeJudge::IsFileTypeMatching(first, sizeof first, ext.c_str(), m_reader, kSectorSize, sector) != 0 ? 1
                                                                                                                  : 0;
}

int CNtfsVolumeData::SaveLocatedNode(const _FILE_NODE_& node, int located, const NtfsNodeData& data,
                                     const char16_t* target, RecoveryCallback callback, void* context) {
  if (located != 0) {
    if (callback != nullptr) callback(context, kPercentDone, kRecoveryPhaseFile, located, target);
    return located;
  }
  return SaveNodeToNewFile(node, target, callback, context,
                           [&](uint64_t total, const DataPieceSink& sink) { return ReadExtents(data, total, sink); });
}

int CNtfsVolumeData::PreviewLocatedNode(const _FILE_NODE_& node, int located, const NtfsNodeData& data,
                                        char16_t* tempPath, unsigned char* buffer, int& size, PreviewCallback callback,
                                        void* context) {
  if (located != 0) {
    tempPath[0] = 0;
    size = 0;
    if (callback != nullptr) callback(context, kPercentDone, located);
    return located;
  }
  return PreviewNodeData(node, tempPath, buffer, size, callback, context,
                         [&](uint64_t total, const DataPieceSink& sink) { return ReadExtents(data, total, sink); });
}

void CNtfsVolumeData::FillFileData(const uint8_t* record, size_t bound, const NtfsRecordInfo& info,
                                   _FILE_NODE_& node) {
  if (info.haveData) node.FileSize = info.dataSize;
  NtfsNodeData data;
  const int located = LocateAttribute(record, bound, ntfs::kTypeData, data, nullptr);
  // The file name attribute's size is often stale; a data attribute found through the
  // attribute list knows the real one.
  if (!info.haveData && located == 0 && data.realSize != 0) node.FileSize = data.realSize;
  node.IsHealthy = static_cast<uint32_t>(HealthOfData(node, data, located));
}

}  // namespace vorlenta
