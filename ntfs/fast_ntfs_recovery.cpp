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

constexpr size_t kBootMftCluster = 48;
// A sectors-per-cluster byte above this is a power of two given as 256 minus its exponent.
constexpr uint8_t kLargestPlainSectorsPerCluster = 0x80;
constexpr uint32_t kMaxClusterBytes = 2u * 1024 * 1024;
constexpr int kMinBytesPerSector = 512;
constexpr int kMaxBytesPerSector = 4096;
// Largest attribute list read; real ones are a few KiB even for very fragmented files.
constexpr uint64_t kMaxAttributeListBytes = 256 * 1024;
constexpr unsigned kEstimateIntervalMs = 5000;
constexpr int kWeightWindow = 100;
constexpr int kPercentDone = 100;
constexpr char kLostFolderFormat[] = "LostFolder%u";

CCrashGuard& Guard() {
  static CCrashGuard guard("CFastNtfsRecovery recvSignal");
  return guard;
}

bool IsPowerOfTwo(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

// The unnamed data stream, or any attribute of another asked type.
bool IsWanted(const NtfsAttribute& a, uint32_t type) {
  return a.type == type && (type != ntfs::kTypeData || a.nameLength == 0);
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
  if (m_open) return 0;
  if (startSector < 0 || sectorCount <= 0) return kStatusInvalidParameter;
  m_volumeStart = static_cast<unsigned long long>(startSector);
  m_volumeSectors = static_cast<unsigned long long>(sectorCount);
  m_volumeTag = volumeTag;
  return OpenVolume(m_reader.Init(diskNumber, m_volumeStart + m_volumeSectors));
}

int CFastNtfsRecovery::Init(const char16_t* path, char16_t volumeTag) {
  if (m_open) return 0;
  if (path == nullptr) return kStatusInvalidParameter;
  const std::string utf8 = Utf16ToUtf8(path);
  const int fd = ::open(utf8.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  const int64_t size = GetDeviceSize(fd);
  const int err = errno;
  ::close(fd);
  if (size < 0) return err;
  m_volumeStart = 0;
  m_volumeSectors = static_cast<unsigned long long>(size) / kSectorSize;
  m_volumeTag = volumeTag;
  return OpenVolume(m_reader.InitPath(utf8, m_volumeSectors));
}

// Reads the boot sector, sets the geometry and finds the runs of the master file table.
int CFastNtfsRecovery::OpenVolume(int status) {
  if (status != 0) return status;
  uint8_t boot[kBootSectorBytes];
  unsigned got = 0;
  status = ReadSectors(boot, 1, m_volumeStart, got);
  if (status != 0 || got == 0) return status == 0 || status == kStatusInvalidParameter ? kStatusReadFault : status;
  int bytesPerSector = ReadU16LE(boot, sizeof boot, boot::kBytesPerSector);
  if (bytesPerSector == 0) bytesPerSector = kMinBytesPerSector;
  const uint8_t rawSectorsPerCluster = ReadU8(boot, sizeof boot, boot::kSectorsPerCluster);
  uint64_t sectorsPerCluster = rawSectorsPerCluster;
  if (rawSectorsPerCluster > kLargestPlainSectorsPerCluster) {
    const unsigned shift = 256u - rawSectorsPerCluster;
    sectorsPerCluster = shift < 32 ? uint64_t{1} << shift : 0;
  }
  const uint64_t clusterBytes = sectorsPerCluster * static_cast<uint64_t>(bytesPerSector);
  if (!IsPowerOfTwo(static_cast<uint64_t>(bytesPerSector)) || bytesPerSector < kMinBytesPerSector ||
      bytesPerSector > kMaxBytesPerSector || !IsPowerOfTwo(sectorsPerCluster) || clusterBytes > kMaxClusterBytes) {
    DebugPrint("CFastNtfsRecovery: no usable NTFS boot sector at sector %llu\n", m_volumeStart);
    return kStatusInvalidParameter;
  }
  m_bytesPerSector = bytesPerSector;
  m_sectorsPerCluster = static_cast<int>(sectorsPerCluster);
  m_clusterBytes = static_cast<uint32_t>(clusterBytes);
  m_parser.Init(bytesPerSector);
  m_sectorsPerRecord = m_parser.SectorsPerRecord();
  m_recordSize = m_parser.RecordSize();
  // Room for one chunk of records plus the start of a record cut by the end of a run.
  m_recordBuffer.assign(static_cast<size_t>(m_recordSize) * (kNtfsRecordsPerChunk + 1), 0);
  const uint64_t mftCluster = ReadU64LE(boot, sizeof boot, kBootMftCluster);
  m_mftStartSector = mftCluster < VolumeClusters() ? m_volumeStart + mftCluster * ClusterSectors() : m_volumeStart;
  m_open = true;
  // A table whose runs cannot be read is no failure here: the scan then finds nothing.
  (void)LoadMftRunList();
  return 0;
}

uint64_t CFastNtfsRecovery::VolumeClusters() const {
  return ClusterSectors() == 0 ? 0 : m_volumeSectors / ClusterSectors();
}

int CFastNtfsRecovery::ReadSectors(uint8_t* buffer, uint32_t sectors, uint64_t sector, unsigned& got) {
  got = 0;
  return m_reader.ReadData(buffer, static_cast<int>(sectors), static_cast<long long>(sector), kSectorSize, &got);
}

bool CFastNtfsRecovery::PrepareRecord(uint8_t* record, size_t& bound) const {
  bound = 0;
  if (!BytesEqual(record, static_cast<size_t>(m_recordSize), 0, ntfs::kRecordMagic, ntfs::kRecordMagicBytes)) {
    return false;
  }
  size_t intact = 0;
  if (m_parser.FileRecordFixUp(record, static_cast<size_t>(m_recordSize), &intact) != 0) return false;
  bound = intact;
  return true;
}

int CFastNtfsRecovery::ReadRecordAt(uint64_t sector, std::vector<uint8_t>& record, size_t& bound) {
  record.assign(static_cast<size_t>(m_recordSize), 0);
  bound = 0;
  unsigned got = 0;
  const uint32_t sectors = static_cast<uint32_t>(m_recordSize / kSectorSize);
  const int status = ReadSectors(record.data(), sectors, sector, got);
  if (status != 0) return status;
  return PrepareRecord(record.data(), bound) ? 0 : kNtfsNotFileRecord;
}

unsigned long long CFastNtfsRecovery::GetFileRecordIndexSectorOffset(unsigned long long recordNumber) const {
  const uint64_t offset = static_cast<uint64_t>(recordNumber) * static_cast<uint64_t>(m_recordSize);
  uint64_t position = 0;
  for (const NtfsExtent& extent : m_mftExtents) {
    const uint64_t bytes = extent.clusters * m_clusterBytes;
    if (offset >= position && offset - position < bytes) {
      if (extent.sparse) break;
      return m_volumeStart + extent.lcn * ClusterSectors() + (offset - position) / kSectorSize;
    }
    position += bytes;
  }
  return m_volumeStart;
}

int CFastNtfsRecovery::GetFileRecordBuf(uint32_t recordNumber, unsigned char* buffer) {
  if (buffer == nullptr || !m_open) return kStatusInvalidParameter;
  // Read 512 bytes at a time where needed: with small clusters a record may begin at the end
  // of one run of the table and go on at the start of the next.
  const uint64_t offset = static_cast<uint64_t>(recordNumber) * static_cast<uint64_t>(m_recordSize);
  uint32_t done = 0;
  while (done < static_cast<uint32_t>(m_recordSize)) {
    const uint64_t want = offset + done;
    uint64_t position = 0;
    uint64_t sector = 0;
    uint64_t contiguous = 0;
    for (const NtfsExtent& extent : m_mftExtents) {
      const uint64_t bytes = extent.clusters * m_clusterBytes;
      if (want >= position && want - position < bytes) {
        if (extent.sparse) return kStatusInvalidParameter;
        sector = m_volumeStart + extent.lcn * ClusterSectors() + (want - position) / kSectorSize;
        contiguous = bytes - (want - position);
        break;
      }
      position += bytes;
    }
    if (contiguous == 0) return kStatusInvalidParameter;
    const uint32_t take = static_cast<uint32_t>(std::min<uint64_t>(contiguous, static_cast<uint32_t>(m_recordSize) - done));
    unsigned got = 0;
    const int status = ReadSectors(buffer + done, take / kSectorSize, sector, got);
    if (status != 0) return status;
    done += take;
  }
  return 0;
}

int CFastNtfsRecovery::ReadRecordByNumber(uint32_t recordNumber, std::vector<uint8_t>& record, size_t& bound) {
  record.assign(static_cast<size_t>(m_recordSize), 0);
  bound = 0;
  const int status = GetFileRecordBuf(recordNumber, record.data());
  if (status != 0) return status;
  return PrepareRecord(record.data(), bound) ? 0 : kNtfsNotFileRecord;
}

int CFastNtfsRecovery::ReadNodeRecord(const _FILE_NODE_& node, std::vector<uint8_t>& record, size_t& bound) {
  if (!m_open) return kStatusInvalidParameter;
  if (GetFileRecordIndexSectorOffset(node.DirKey) == node.RecordSector) {
    return ReadRecordByNumber(node.DirKey, record, bound);
  }
  return ReadRecordAt(node.RecordSector, record, bound);
}

void CFastNtfsRecovery::AppendRuns(const NtfsAttribute& attribute, std::vector<__RUNLIST__>& runs, int64_t& lastLcn) {
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

int CFastNtfsRecovery::LocateAttribute(const uint8_t* record, size_t bound, uint32_t attributeType, NtfsNodeData& out,
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
    } else if (IsWanted(a, attributeType) && !haveOwn) {
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

int CFastNtfsRecovery::LocateThroughList(const NtfsAttribute& list, uint32_t attributeType, NtfsNodeData& out,
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
          if (!IsWanted(a, attributeType)) return true;
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

int CFastNtfsRecovery::LoadMftRunList() {
  m_mftExtents.clear();
  std::vector<uint8_t> record;
  size_t bound = 0;
  int status = ReadRecordAt(m_mftStartSector, record, bound);
  if (status != 0) return status;
  // The first piece of the table's data always stays in record 0; it maps the records that
  // hold the other pieces.
  std::vector<__RUNLIST__> runs;
  bool haveList = false;
  WalkAttributes(record.data(), bound, NtfsWalk::kLookup, [&](const NtfsAttribute& a) {
    if (a.type == ntfs::kTypeAttributeList) haveList = true;
    if (IsWanted(a, ntfs::kTypeData) && a.nonResident && runs.empty()) {
      int64_t lastLcn = 0;
      AppendRuns(a, runs, lastLcn);
    }
    return true;
  });
  ResolveRunList(runs, VolumeClusters(), m_mftExtents);
  CutAtSparse(m_mftExtents);
  if (!haveList) return m_mftExtents.empty() ? kNtfsNoAttribute : 0;
  NtfsNodeData data;
  status = LocateAttribute(record.data(), bound, ntfs::kTypeData, data, nullptr);
  CutAtSparse(data.extents);
  if (status == 0 && !data.resident && data.extents.size() > m_mftExtents.size()) m_mftExtents = data.extents;
  return status;
}

int CFastNtfsRecovery::GetRunListInfo(long long recordSector, int attributeType, std::vector<__RUNLIST__>& runs) {
  if (!m_open || recordSector < 0) return kStatusInvalidParameter;
  std::vector<uint8_t> record;
  size_t bound = 0;
  int status = ReadRecordAt(static_cast<uint64_t>(recordSector), record, bound);
  if (status != 0) return status;
  NtfsNodeData data;
  std::vector<__RUNLIST__> found;
  status = LocateAttribute(record.data(), bound, static_cast<uint32_t>(attributeType), data, &found);
  if (status != 0) return status;
  if (data.resident) return kNtfsNoAttribute;
  runs.insert(runs.end(), found.begin(), found.end());
  return 0;
}

int CFastNtfsRecovery::GetAttr0x80Data(long long recordSector, unsigned char* out, unsigned int& length) {
  if (!m_open || recordSector < 0 || out == nullptr) return kStatusInvalidParameter;
  std::vector<uint8_t> record;
  size_t bound = 0;
  int status = ReadRecordAt(static_cast<uint64_t>(recordSector), record, bound);
  if (status == kNtfsNotFileRecord) return kNtfsNotResident;
  if (status != 0) return status;
  NtfsNodeData data;
  status = LocateAttribute(record.data(), bound, ntfs::kTypeData, data, nullptr);
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
  return LocateAttribute(record.data(), bound, ntfs::kTypeData, data, nullptr);
}

int CFastNtfsRecovery::ReadExtents(const NtfsNodeData& data, uint64_t total, const DataPieceSink& sink) {
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

int CFastNtfsRecovery::HealthOfData(const _FILE_NODE_& node, const NtfsNodeData& data, int located) {
  if (located != 0) return 1;
  std::string ext;
  const bool haveExt = GetLowerExtension(node.FileName, ext) && !ext.empty();
  if (data.resident) {
    if (data.residentBytes.empty()) return 0;
    if (!haveExt) return 1;
    return CFileTypeJudge::IsFileTypeMatching(data.residentBytes.data(), static_cast<int>(data.residentBytes.size()),
                                              ext.c_str(), &m_reader, kSectorSize, 0) != 0
               ? 1
               : 0;
  }
  if (data.extents.empty() || data.extents.front().sparse || !haveExt) return 1;
  const uint64_t sector = m_volumeStart + data.extents.front().lcn * ClusterSectors();
  if (sector == 0) return 1;
  uint8_t first[kSectorSize];
  unsigned got = 0;
  if (ReadSectors(first, 1, sector, got) != 0 || got == 0) return 1;
  return CFileTypeJudge::IsFileTypeMatching(first, sizeof first, ext.c_str(), &m_reader, kSectorSize, sector) != 0 ? 1
                                                                                                                  : 0;
}

int CFastNtfsRecovery::IsFileDataHealth(const _FILE_NODE_& node, unsigned int /*unused*/) {
  NtfsNodeData data;
  const int status = LocateNodeData(node, data);
  return HealthOfData(node, data, status);
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
  for (const NtfsExtent& extent : m_mftExtents) {
    if (!extent.sparse) totalSectors += extent.clusters * ClusterSectors();
  }
  const unsigned start = rsb_getTickCount();
  unsigned lastEstimate = start;
  int secondsLeft = -1;
  uint64_t doneSectors = 0;
  uint32_t recordNumber = 0;
  size_t carried = 0;
  const uint64_t chunkBytes = static_cast<uint64_t>(m_recordSize) * kNtfsRecordsPerChunk;
  for (const NtfsExtent& extent : m_mftExtents) {
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
  const int status = ReadSectors(chunk, sectors, sector, got);
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
  node.CreateTime = name.createTime;
  node.AccessTime = name.accessTime;
  node.WriteTime = name.modifyTime;
  node.FileSize = name.realSize;
  SetFileNodeName(node, Unicode2Ansi(name.name.c_str()).c_str());
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
  if (isFile && PrepareRecord(record, bound)) {
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
    if (info.haveData) node.FileSize = info.dataSize;
    NtfsNodeData data;
    const int located = LocateAttribute(record, bound, ntfs::kTypeData, data, nullptr);
    // The file name attribute's size is often stale; a data attribute found through the
    // attribute list knows the real one.
    if (!info.haveData && located == 0 && data.realSize != 0) node.FileSize = data.realSize;
    node.IsHealthy = static_cast<uint32_t>(HealthOfData(node, data, located));
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
  if (ReadRecordByNumber(recordNumber, record, bound) == 0) {
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
  int status = ReadRecordByNumber(ntfs::kBitmapRecord, record, bound);
  if (status != 0) return status;
  NtfsNodeData data;
  status = LocateAttribute(record.data(), bound, ntfs::kTypeData, data, nullptr);
  if (status != 0) return status;
  // One bit per cluster: never more than the volume holds, whatever the record claims.
  const uint64_t size = std::min<uint64_t>(data.realSize, (VolumeClusters() + 7) / 8);
  m_bitmap.reserve(static_cast<size_t>(size));
  status = ReadExtents(data, size, [&](const uint8_t* bytes, size_t length) {
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
  if (located != 0) {
    if (m_recoveryCallback != nullptr) m_recoveryCallback(m_context, kPercentDone, kRecoveryPhaseFile, located, target);
    return located;
  }
  const _FILE_NODE_& file = *node;
  return SaveNodeToNewFile(file, target, m_recoveryCallback, m_context,
                           [&](uint64_t total, const DataPieceSink& sink) { return ReadExtents(data, total, sink); });
}

int CFastNtfsRecovery::SaveFileData(_FILE_NODE_* node, const char16_t* targetPath, int /*destDepth*/) {
  if (node == nullptr || targetPath == nullptr) return kStatusInvalidParameter;
  if (node->IsDirectory == 0) return SaveDataToTargetFile(node, targetPath);
  // The store keeps a directory's children under its depth below the root, which the volume
  // tells; the destination path's depth has nothing to do with it.
  return m_treeSave.SaveTree(
      *node, targetPath, DepthBelowRoot(node->DirKey),
      [this](_FILE_NODE_& dir, uint32_t childDepth, std::vector<_FILE_NODE_>& out) {
        return GetChildrenFileNode(&dir, childDepth, out);
      },
      [this](_FILE_NODE_& child, const char16_t* target) { return SaveDataToTargetFile(&child, target); });
}

int CFastNtfsRecovery::PreView(_FILE_NODE_* node, char16_t* tempPath, unsigned char* buffer, int& size,
                               PreviewCallback previewCallback, void* context) {
  if (node == nullptr || tempPath == nullptr) {
    if (previewCallback != nullptr) previewCallback(context, kPercentDone, kStatusInvalidParameter);
    return kStatusInvalidParameter;
  }
  NtfsNodeData data;
  const int located = LocateNodeData(*node, data);
  if (located != 0) {
    tempPath[0] = 0;
    size = 0;
    if (previewCallback != nullptr) previewCallback(context, kPercentDone, located);
    return located;
  }
  const _FILE_NODE_& file = *node;
  return PreviewNodeData(file, tempPath, buffer, size, previewCallback, context,
                         [&](uint64_t total, const DataPieceSink& sink) { return ReadExtents(data, total, sink); });
}

}  // namespace vorlenta
