#include "device/partition_manager.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "device/boot_probe.h"
#include "device/disk_reader.h"
#include "device/exfat_boot.h"
#include "util/endian.h"
#include "util/os_helpers.h"
#include "util/platform.h"
#include "util/text.h"

namespace vorlenta {
namespace {

// Only the first 4096 bytes of a disk are read to recognise its table.
constexpr size_t kHeadBytes = 4096;

// exFAT volume label entry in the root directory.
constexpr size_t kExfatDirEntryBytes = 32;
constexpr uint8_t kExfatLabelEntryType = 0x83;
constexpr size_t kExfatLabelCount = 1;
constexpr size_t kExfatLabelUnits = 2;
constexpr size_t kExfatLabelMaxUnits = 11;

// MBR and extended boot record.
constexpr size_t kMbrSignatureOffset = 510;
constexpr uint16_t kMbrSignature = 0xAA55;
constexpr size_t kMbrEntriesOffset = 446;
constexpr size_t kMbrEntrySize = 16;
constexpr size_t kMbrEntryCount = 4;
constexpr size_t kMbrEntryStatus = 0;
constexpr size_t kMbrEntryType = 4;
constexpr size_t kMbrEntryFirstSector = 8;
constexpr size_t kMbrEntrySectorCount = 12;
constexpr uint8_t kMbrStatusInactive = 0x00;
constexpr uint8_t kMbrStatusActive = 0x80;
constexpr uint8_t kTypeExtendedChs = 0x05;
constexpr uint8_t kTypeExtendedLba = 0x0F;

// GUID partition table: header at sector 1, entries from sector 2.
constexpr size_t kGptHeaderOffset = 512;
constexpr char kGptSignature[] = "EFI PART";
constexpr size_t kGptSignatureLength = 8;
constexpr size_t kGptEntriesOffset = 1024;
constexpr size_t kGptEntrySize = 128;
constexpr size_t kGptEntryFirstLba = 32;
constexpr size_t kGptEntryLastLba = 40;
constexpr size_t kGptEntryName = 56;

// Apple Partition Map: driver descriptor at block 0, map entries from block 1.
constexpr char kApmSignature[] = "ER";
constexpr size_t kApmSignatureLength = 2;
constexpr size_t kApmMapOffset = 512;
constexpr size_t kApmEntrySize = 512;
constexpr size_t kApmMapBlockCount = 4;
constexpr size_t kApmPhysicalStart = 8;
constexpr size_t kApmName = 16;
constexpr size_t kApmNameBytes = 32;
constexpr size_t kApmDataStart = 80;
constexpr size_t kApmDataCount = 84;
constexpr uint32_t kApmMaxEntries = 128;

// FAT boot-record label: valid only behind the extended boot signature 0x29.
constexpr size_t kFat16ExtendedSignature = 38;
constexpr size_t kFat32ExtendedSignature = 66;
constexpr uint8_t kFatExtendedSignature = 0x29;
constexpr size_t kFatLabelBytes = 11;
constexpr char kFatNoLabel[] = "NO NAME";

// NTFS: $Volume is MFT record 3; its $VOLUME_NAME attribute holds the label.
constexpr size_t kNtfsMftCluster = 48;
constexpr size_t kNtfsClustersPerRecord = 64;
constexpr uint64_t kNtfsVolumeRecord = 3;
constexpr char kNtfsRecordSignature[] = "FILE";
constexpr size_t kNtfsRecordSignatureLength = 4;
constexpr size_t kNtfsUsaOffsetField = 4;
constexpr size_t kNtfsUsaCountField = 6;
constexpr size_t kNtfsFirstAttribute = 20;
constexpr size_t kNtfsRecordFlags = 22;
constexpr uint16_t kNtfsRecordInUse = 0x0001;
constexpr size_t kNtfsFixupStride = 512;
constexpr size_t kNtfsMinRecordBytes = 512;
constexpr size_t kNtfsMaxRecordBytes = 4096;
constexpr size_t kNtfsAttributeType = 0;
constexpr size_t kNtfsAttributeLength = 4;
constexpr size_t kNtfsAttributeNonResident = 8;
constexpr size_t kNtfsAttributeValueLength = 16;
constexpr size_t kNtfsAttributeValueOffset = 20;
constexpr size_t kNtfsResidentHeaderBytes = 24;
constexpr uint32_t kNtfsAttributeVolumeName = 0x60;
constexpr uint32_t kNtfsAttributeEnd = 0xFFFFFFFF;
// Keeps the byte offset of the MFT inside 64 bits for any cluster number a boot record holds.
constexpr uint64_t kNtfsMaxMftCluster = 1ull << 40;

bool ReadAt(int fd, uint64_t offset, uint8_t* buffer, size_t length) {
  if (::lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0) return false;
  unsigned got = 0;
  return ReadData(fd, buffer, static_cast<int>(length), &got) == 0;
}

// A table whose every status byte is valid and that describes a partition after sector 0:
// a disk partitioned after a superfloppy format may keep the old boot record's fields.
bool HasPlausibleMbrTable(const uint8_t* head, size_t length, uint64_t deviceSectors) {
  bool anyPartition = false;
  for (size_t i = 0; i < kMbrEntryCount; ++i) {
    const size_t entry = kMbrEntriesOffset + i * kMbrEntrySize;
    const uint8_t status = ReadU8(head, length, entry + kMbrEntryStatus);
    if (status != kMbrStatusInactive && status != kMbrStatusActive) return false;
    const uint32_t first = ReadU32LE(head, length, entry + kMbrEntryFirstSector);
    if (ReadU8(head, length, entry + kMbrEntryType) != 0 && first != 0 &&
        ReadU32LE(head, length, entry + kMbrEntrySectorCount) != 0 &&
        (deviceSectors == 0 || first < deviceSectors)) {
      anyPartition = true;
    }
  }
  return anyPartition;
}

size_t WidenBytes(const uint8_t* bytes, size_t count, char16_t* out) {
  size_t units = 0;
  for (; units < count && bytes[units] != 0; ++units) out[units] = static_cast<char16_t>(bytes[units]);
  return units;
}

// The label of a FAT boot record, or 0 units when it has none.
size_t ReadFatLabel(const uint8_t* head, size_t length, char16_t* out, size_t capacity) {
  const bool isFat32 = ReadU16LE(head, length, boot::kSectorsPerFat16) == 0;
  const size_t signature = isFat32 ? kFat32ExtendedSignature : kFat16ExtendedSignature;
  const size_t labelOffset = isFat32 ? boot::kFat32VolumeLabel : boot::kFat16VolumeLabel;
  if (ReadU8(head, length, signature) != kFatExtendedSignature) return 0;
  if (!FieldFits(length, labelOffset, kFatLabelBytes)) return 0;
  std::string label(reinterpret_cast<const char*>(head + labelOffset), kFatLabelBytes);
  label = label.substr(0, label.find('\0'));
  while (!label.empty() && label.back() == ' ') label.pop_back();
  if (label.empty() || label == kFatNoLabel) return 0;
  const std::u16string wide = Ansi2Unicode(label.c_str());
  const size_t units = std::min(wide.size(), capacity);
  std::copy(wide.begin(), wide.begin() + static_cast<std::ptrdiff_t>(units), out);
  return units;
}

// Applies the update sequence of a multi-sector record; false when a sector was torn.
bool ApplyFixups(uint8_t* record, size_t length) {
  const uint16_t usaOffset = ReadU16LE(record, length, kNtfsUsaOffsetField);
  const uint16_t usaCount = ReadU16LE(record, length, kNtfsUsaCountField);
  if (usaCount < 2 || static_cast<size_t>(usaCount - 1) * kNtfsFixupStride != length) return false;
  if (!FieldFits(length, usaOffset, static_cast<size_t>(usaCount) * 2)) return false;
  const uint16_t sequence = ReadU16LE(record, length, usaOffset);
  for (size_t k = 1; k < usaCount; ++k) {
    const size_t tail = k * kNtfsFixupStride - 2;
    if (ReadU16LE(record, length, tail) != sequence) return false;
    WriteU16LE(record, tail, ReadU16LE(record, length, usaOffset + 2 * k));
  }
  return true;
}

// The label entry of an exFAT root directory, searched in the directory's first bytes.
size_t ReadExfatLabel(int fd, const uint8_t* head, size_t length, char16_t* out, size_t capacity) {
  ExfatBoot volume;
  if (!ParseExfatBootSector(head, length, volume)) return 0;
  const uint64_t rootSector = uint64_t{volume.clusterHeapOffset} +
                              (uint64_t{volume.rootCluster - kExfatFirstCluster} << volume.sectorsPerClusterShift);
  std::vector<uint8_t> root(static_cast<size_t>(std::min<uint64_t>(volume.ClusterBytes(), kHeadBytes)));
  if (!ReadAt(fd, rootSector << volume.bytesPerSectorShift, root.data(), root.size())) return 0;
  for (size_t entry = 0; FieldFits(root.size(), entry, kExfatDirEntryBytes); entry += kExfatDirEntryBytes) {
    const uint8_t type = root[entry];
    if (type == 0) return 0;
    if (type != kExfatLabelEntryType) continue;
    const size_t count = ReadU8(root.data(), root.size(), entry + kExfatLabelCount);
    const size_t units = std::min<size_t>({count, kExfatLabelMaxUnits, capacity});
    for (size_t u = 0; u < units; ++u) {
      out[u] = static_cast<char16_t>(ReadU16LE(root.data(), root.size(), entry + kExfatLabelUnits + 2 * u));
    }
    return units;
  }
  return 0;
}

// The label from $Volume when the boot record locates it plainly, or 0 units.
size_t ReadNtfsLabel(int fd, const uint8_t* head, size_t length, uint64_t deviceSectors, char16_t* out,
                     size_t capacity) {
  const uint32_t bytesPerSector = ReadU16LE(head, length, boot::kBytesPerSector);
  const uint32_t sectorsPerCluster = ReadU8(head, length, boot::kSectorsPerCluster);
  if (bytesPerSector < kNtfsMinRecordBytes || bytesPerSector > kNtfsMaxRecordBytes ||
      (bytesPerSector & (bytesPerSector - 1)) != 0 || !IsAllowedSectorsPerCluster(static_cast<uint8_t>(sectorsPerCluster))) {
    return 0;
  }
  const uint64_t clusterBytes = static_cast<uint64_t>(bytesPerSector) * sectorsPerCluster;
  // A positive value counts clusters per record; a negative one is log2 of the record bytes.
  const int8_t perRecord = static_cast<int8_t>(ReadU8(head, length, kNtfsClustersPerRecord));
  uint64_t recordBytes = 0;
  if (perRecord > 0) {
    recordBytes = clusterBytes * static_cast<uint64_t>(perRecord);
  } else if (perRecord < 0 && perRecord > -32) {
    recordBytes = 1ull << -perRecord;
  }
  if (recordBytes < kNtfsMinRecordBytes || recordBytes > kNtfsMaxRecordBytes || recordBytes % kNtfsFixupStride != 0) {
    return 0;
  }
  const uint64_t mftCluster = ReadU64LE(head, length, kNtfsMftCluster);
  if (mftCluster >= kNtfsMaxMftCluster) return 0;
  const uint64_t offset = mftCluster * clusterBytes + kNtfsVolumeRecord * recordBytes;
  if (deviceSectors != 0 && offset + recordBytes > deviceSectors * kSectorSize) return 0;

  std::vector<uint8_t> record(static_cast<size_t>(recordBytes));
  const size_t size = record.size();
  if (!ReadAt(fd, offset, record.data(), size)) return 0;
  if (!BytesEqual(record.data(), size, 0, kNtfsRecordSignature, kNtfsRecordSignatureLength)) return 0;
  if ((ReadU16LE(record.data(), size, kNtfsRecordFlags) & kNtfsRecordInUse) == 0) return 0;
  if (!ApplyFixups(record.data(), size)) return 0;

  size_t attribute = ReadU16LE(record.data(), size, kNtfsFirstAttribute);
  while (FieldFits(size, attribute, kNtfsResidentHeaderBytes)) {
    const uint32_t type = ReadU32LE(record.data(), size, attribute + kNtfsAttributeType);
    const uint32_t attributeLength = ReadU32LE(record.data(), size, attribute + kNtfsAttributeLength);
    if (type == kNtfsAttributeEnd || attributeLength < kNtfsResidentHeaderBytes ||
        !FieldFits(size, attribute, attributeLength)) {
      return 0;
    }
    if (type == kNtfsAttributeVolumeName) {
      if (ReadU8(record.data(), size, attribute + kNtfsAttributeNonResident) != 0) return 0;
      const uint32_t valueLength = ReadU32LE(record.data(), size, attribute + kNtfsAttributeValueLength);
      const uint16_t valueOffset = ReadU16LE(record.data(), size, attribute + kNtfsAttributeValueOffset);
      if (!FieldFits(attributeLength, valueOffset, valueLength)) return 0;
      const size_t units = std::min(static_cast<size_t>(valueLength / 2), capacity);
      for (size_t i = 0; i < units; ++i) {
        out[i] = static_cast<char16_t>(ReadU16LE(record.data(), size, attribute + valueOffset + 2 * i));
      }
      return units;
    }
    // Attributes stand in ascending type order.
    if (type > kNtfsAttributeVolumeName) return 0;
    attribute += attributeLength;
  }
  return 0;
}

void SetDiskName(_PARTITION_ITEM_& item, const char* path) {
  std::string name = path != nullptr ? path : "";
  if (name.size() >= kDiskNameBytes) {
    // A disk presented through a folder has a long path; its own name still tells it apart.
    const size_t slash = name.rfind('/');
    if (slash != std::string::npos) name = name.substr(slash + 1);
    name.resize(std::min(name.size(), kDiskNameBytes - 1));
  }
  std::memcpy(item.szDiskName, name.data(), name.size());
  item.szDiskName[name.size()] = '\0';
}

}  // namespace

bool IsMBR(const uint8_t* sector0, size_t length) {
  return sector0 != nullptr && FieldFits(length, kMbrSignatureOffset, 2) &&
         ReadU16LE(sector0, length, kMbrSignatureOffset) == kMbrSignature;
}

bool IsAPM(const uint8_t* sector0, size_t length) {
  return sector0 != nullptr && BytesEqual(sector0, length, 0, kApmSignature, kApmSignatureLength);
}

bool IsEFI(const uint8_t* sector1, size_t length) {
  return sector1 != nullptr && BytesEqual(sector1, length, 0, kGptSignature, kGptSignatureLength);
}

bool VectorCmp(const _PARTITION_ITEM_& a, const _PARTITION_ITEM_& b) { return a.u64StartSector < b.u64StartSector; }

std::string PartitionNameUtf8(const _PARTITION_ITEM_& item) {
  char16_t name[kPartitionNameUnits + 1] = {};
  std::copy(std::begin(item.szPartitionName), std::end(item.szPartitionName), name);
  return Utf16ToUtf8(name);
}

uint64_t PartitionSectorCount(const _PARTITION_ITEM_& item) { return item.u64EndSector - item.u64StartSector + 1; }

CPartitionManager::CPartitionManager() : m_nBytesPerSector(kSectorSize) {}

CPartitionManager::~CPartitionManager() { UnInit(); }

int CPartitionManager::GetPartitionItems(PartitionMap& result) {
  m_nPartitionCounter = 1;
  m_u32ExtendedBase = 0;
  result.clear();
  // One look at the machine's disks serves the whole walk.
  const std::vector<std::string> paths = GetDiskPaths();
  for (int n = 0; n <= kMaxDiskNumber; ++n) {
    const std::string& path = paths[static_cast<size_t>(n)];
    if (path.empty()) continue;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    std::vector<_PARTITION_ITEM_> items;
    ReadDiskPartitions(fd, n, path, items);
    ::close(fd);
    if (!items.empty()) result[n] = std::move(items);
  }
  return 1;
}

int CPartitionManager::GetDiskPartitionItems(int diskNumber, std::vector<_PARTITION_ITEM_>& items) {
  items.clear();
  std::string path;
  const int status = GetDiskPath(diskNumber, path);
  if (status != 0) return status;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  m_nPartitionCounter = 1;
  ReadDiskPartitions(fd, diskNumber, path, items);
  ::close(fd);
  return 0;
}

void CPartitionManager::ReadDiskPartitions(int fd, int diskNumber, const std::string& path,
                                           std::vector<_PARTITION_ITEM_>& items) {
  m_u32ExtendedBase = 0;
  m_visitedTables.clear();
  m_nTablesRead = 0;
  const int64_t deviceBytes = GetDeviceSize(fd);
  m_u64DeviceSectors = deviceBytes > 0 ? static_cast<uint64_t>(deviceBytes) / static_cast<uint64_t>(m_nBytesPerSector) : 0;

  std::vector<uint8_t> head(kHeadBytes);
  if (!ReadAt(fd, 0, head.data(), head.size())) return;
  const uint8_t* h = head.data();
  const char* p = path.c_str();
  if (IsEFI(h + kGptHeaderOffset, kHeadBytes - kGptHeaderOffset)) {
    GetGPTPartition(h, kHeadBytes, items, diskNumber, p);
  } else if (IsAPM(h, kHeadBytes)) {
    GetAPMPartition(fd, h, kHeadBytes, items, diskNumber, p);
  } else if ((IsFat(h, kHeadBytes) || IsNtfs(h, kHeadBytes) || IsExfatBootSector(h, kHeadBytes)) &&
             !HasPlausibleMbrTable(h, kHeadBytes, m_u64DeviceSectors)) {
    // Its boot code would otherwise be read as four partition entries.
    GetWholeDevicePartition(fd, h, kHeadBytes, items, diskNumber, p);
  } else if (IsMBR(h, kHeadBytes)) {
    m_u32ExtendedBase = 0;
    GetMBRPartition(fd, 0, items, diskNumber, p, 0);
  }
}

void CPartitionManager::AddItem(std::vector<_PARTITION_ITEM_>& items, uint64_t start, uint64_t end, int diskNumber,
                                const char* path, const char16_t* name, size_t nameUnits) {
  // Nothing of such an entry can be scanned; a sector count of 0 (end = start - 1) is kept.
  if (m_u64DeviceSectors != 0 && start >= m_u64DeviceSectors) return;
  if (end < start && end != start - 1) return;
  _PARTITION_ITEM_ item;
  std::memset(&item, 0, sizeof item);
  item.u64StartSector = start;
  item.u64EndSector = end;
  item.nDiskNumber = diskNumber;
  std::copy(name, name + std::min(nameUnits, kPartitionNameUnits), item.szPartitionName);
  SetDiskName(item, path);
  items.push_back(item);
}

void CPartitionManager::AddNumberedItem(std::vector<_PARTITION_ITEM_>& items, uint64_t start, uint64_t end,
                                        int diskNumber, const char* path) {
  const size_t before = items.size();
  const std::u16string name = Utf8ToUtf16(("Partition " + std::to_string(m_nPartitionCounter)).c_str());
  AddItem(items, start, end, diskNumber, path, name.c_str(), name.size());
  // The counter names items, so a skipped entry does not use up a number.
  if (items.size() != before) ++m_nPartitionCounter;
}

void CPartitionManager::GetMBRPartition(int fd, uint32_t tableSector, std::vector<_PARTITION_ITEM_>& items,
                                        int diskNumber, const char* path, int depth) {
  if (depth > kMaxExtendedDepth || m_nTablesRead >= kMaxTablesPerDisk) return;
  if (std::find(m_visitedTables.begin(), m_visitedTables.end(), tableSector) != m_visitedTables.end()) return;
  m_visitedTables.push_back(tableSector);
  ++m_nTablesRead;

  std::vector<uint8_t> table(kHeadBytes);
  const uint64_t offset = static_cast<uint64_t>(tableSector) * static_cast<uint64_t>(m_nBytesPerSector);
  if (!ReadAt(fd, offset, table.data(), table.size())) return;
  const uint8_t* t = table.data();
  for (size_t i = 0; i < kMbrEntryCount; ++i) {
    const size_t entry = kMbrEntriesOffset + i * kMbrEntrySize;
    const uint8_t type = ReadU8(t, kHeadBytes, entry + kMbrEntryType);
    const uint32_t first = ReadU32LE(t, kHeadBytes, entry + kMbrEntryFirstSector);
    const uint32_t count = ReadU32LE(t, kHeadBytes, entry + kMbrEntrySectorCount);
    if (type == kTypeExtendedChs || type == kTypeExtendedLba) {
      // Links inside the chain count from the start of the outermost extended partition.
      if (m_u32ExtendedBase == 0 && tableSector != 0) m_u32ExtendedBase = tableSector;
      GetMBRPartition(fd, first + m_u32ExtendedBase, items, diskNumber, path, depth + 1);
      continue;
    }
    if (type == 0 && first == 0 && count == 0) break;
    const uint64_t start = static_cast<uint32_t>(first + tableSector);
    AddNumberedItem(items, start, start + count - 1, diskNumber, path);
  }
}

void CPartitionManager::GetGPTPartition(const uint8_t* head, size_t length, std::vector<_PARTITION_ITEM_>& items,
                                        int diskNumber, const char* path) {
  // Only the entries inside the first 4096 bytes are read: at most 24.
  for (size_t entry = kGptEntriesOffset; FieldFits(length, entry, kGptEntrySize); entry += kGptEntrySize) {
    const uint64_t first = ReadU64LE(head, length, entry + kGptEntryFirstLba);
    const uint64_t last = ReadU64LE(head, length, entry + kGptEntryLastLba);
    if (first == 0 || last == 0) break;
    char16_t name[kPartitionNameUnits];
    for (size_t u = 0; u < kPartitionNameUnits; ++u) {
      name[u] = static_cast<char16_t>(ReadU16LE(head, length, entry + kGptEntryName + 2 * u));
    }
    AddItem(items, first, last, diskNumber, path, name, kPartitionNameUnits);
  }
}

void CPartitionManager::GetAPMPartition(int fd, const uint8_t* head, size_t length,
                                        std::vector<_PARTITION_ITEM_>& items, int diskNumber, const char* path) {
  const uint32_t entries = ReadU32BE(head, length, kApmMapOffset + kApmMapBlockCount);
  if (entries == 0 || entries > kApmMaxEntries) return;
  std::vector<uint8_t> map(static_cast<size_t>(entries) * kApmEntrySize);
  if (!ReadAt(fd, kApmMapOffset, map.data(), map.size())) return;
  for (size_t i = 0; i < entries; ++i) {
    const uint8_t* e = map.data() + i * kApmEntrySize;
    const uint32_t start = ReadU32BE(e, kApmEntrySize, kApmPhysicalStart) + ReadU32BE(e, kApmEntrySize, kApmDataStart);
    const uint32_t count = ReadU32BE(e, kApmEntrySize, kApmDataCount);
    char16_t name[kApmNameBytes];
    const size_t units = WidenBytes(e + kApmName, kApmNameBytes, name);
    AddItem(items, start, static_cast<uint64_t>(start) + count - 1, diskNumber, path, name, units);
  }
}

void CPartitionManager::GetWholeDevicePartition(int fd, const uint8_t* head, size_t length,
                                                std::vector<_PARTITION_ITEM_>& items, int diskNumber,
                                                const char* path) {
  const bool isNtfs = IsNtfs(head, length);
  ExfatBoot exfat;
  const bool isExfat = ParseExfatBootSector(head, length, exfat);
  uint64_t sectors = m_u64DeviceSectors;
  if (sectors == 0) {
    // A device that cannot tell its size: trust the boot record's own extent.
    if (isExfat) {
      sectors = exfat.volumeLength * (exfat.SectorBytes() / static_cast<uint32_t>(m_nBytesPerSector));
    } else if (isNtfs) {
      sectors = ReadU64LE(head, length, boot::kNtfsTotalSectors);
    } else {
      sectors = ReadU32LE(head, length, boot::kTotalSectors32);
      if (sectors == 0) sectors = ReadU16LE(head, length, boot::kTotalSectors16);
    }
    if (sectors == 0) return;
  }
  char16_t label[kPartitionNameUnits];
  const size_t units = isExfat  ? ReadExfatLabel(fd, head, length, label, kPartitionNameUnits)
                       : isNtfs ? ReadNtfsLabel(fd, head, length, m_u64DeviceSectors, label, kPartitionNameUnits)
                                : ReadFatLabel(head, length, label, kPartitionNameUnits);
  if (units == 0) {
    AddNumberedItem(items, 0, sectors - 1, diskNumber, path);
  } else {
    AddItem(items, 0, sectors - 1, diskNumber, path, label, units);
  }
}

int CPartitionManager::Init() {
  m_nCursorDisk = 0;
  m_nCursorItem = 0;
  m_cachedTable.clear();
  SortPartitionItem();
  return 1;
}

int CPartitionManager::InitPartitionInfo() { return 1; }

void CPartitionManager::AddFreePartition() {}

int CPartitionManager::UnInit() {
  m_cachedTable.clear();
  return 0;
}

void CPartitionManager::SortPartitionItem() {
  for (auto& disk : m_cachedTable) {
    std::sort(disk.second.begin(), disk.second.end(),
              [](const _PARTITION_ITEM_& a, const _PARTITION_ITEM_& b) { return VectorCmp(a, b); });
  }
}

int CPartitionManager::GetPartitionItems(std::vector<_PARTITION_ITEM_>& items) {
  items.clear();
  for (const auto& disk : m_cachedTable) items.insert(items.end(), disk.second.begin(), disk.second.end());
  return 1;
}

int CPartitionManager::GetPartitionItem(_PARTITION_ITEM_* item) {
  if (item == nullptr) return 0;
  auto disk = m_cachedTable.begin();
  for (int i = 0; i < m_nCursorDisk && disk != m_cachedTable.end(); ++i) ++disk;
  while (disk != m_cachedTable.end()) {
    if (static_cast<size_t>(m_nCursorItem) < disk->second.size()) {
      *item = disk->second[static_cast<size_t>(m_nCursorItem)];
      ++m_nCursorItem;
      return 1;
    }
    ++disk;
    ++m_nCursorDisk;
    m_nCursorItem = 0;
  }
  return 0;
}

int CPartitionManager::GetRemovePartitionItem(std::vector<_PARTITION_ITEM_> previous,
                                              std::vector<_PARTITION_ITEM_>& removed) {
  Init();
  bool lastAppended = false;
  for (const _PARTITION_ITEM_& old : previous) {
    bool present = false;
    for (const auto& disk : m_cachedTable) {
      for (const _PARTITION_ITEM_& now : disk.second) {
        if (now.nDiskNumber == old.nDiskNumber && now.u64StartSector == old.u64StartSector) present = true;
      }
    }
    lastAppended = !present;
    if (!present) removed.push_back(old);
  }
  return previous.empty() || lastAppended ? 1 : 0;
}

void CPartitionManager::LoadPartitionTable(const PartitionMap& table) {
  m_cachedTable.clear();
  for (const auto& disk : table) m_cachedTable[static_cast<unsigned>(disk.first)] = disk.second;
  SortPartitionItem();
  m_nCursorDisk = 0;
  m_nCursorItem = 0;
}

int GetPartitionRange(int diskNumber, int partitionIndex, uint64_t& startSector, uint64_t& sectorCount) {
  CPartitionManager manager;
  std::vector<_PARTITION_ITEM_> items;
  const int status = manager.GetDiskPartitionItems(diskNumber, items);
  if (status != 0) return status;
  if (partitionIndex < 1 || static_cast<size_t>(partitionIndex) > items.size()) return 87;
  const _PARTITION_ITEM_& item = items[static_cast<size_t>(partitionIndex) - 1];
  startSector = item.u64StartSector;
  sectorCount = PartitionSectorCount(item);
  return 0;
}

}  // namespace vorlenta
