// Finds the disks of the machine and lists the partitions their tables describe: the GUID
// partition table, the Apple Partition Map and the MBR with extended partitions. A disk whose
// sector 0 is itself a FAT or NTFS boot record (a card formatted without a table) gets one
// item covering the whole device.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace vorlenta {

constexpr size_t kPartitionNameUnits = 36;
constexpr size_t kDiskNameBytes = 16;

// One partition of a disk, copied by value and attached to the window's device rows.
struct _PARTITION_ITEM_ {
  uint64_t u64StartSector;  // absolute on the device, 512-byte sectors
  uint64_t u64EndSector;    // inclusive
  int32_t nDiskNumber;
  // UTF-16, NUL-terminated only when shorter than the field: read at most 36 units.
  char16_t szPartitionName[kPartitionNameUnits];
  // The device path when it fits, else its last component; always NUL-terminated.
  char szDiskName[kDiskNameBytes];
};

static_assert(offsetof(_PARTITION_ITEM_, u64StartSector) == 0, "partition item layout");
static_assert(offsetof(_PARTITION_ITEM_, u64EndSector) == 8, "partition item layout");
static_assert(offsetof(_PARTITION_ITEM_, nDiskNumber) == 16, "partition item layout");
static_assert(offsetof(_PARTITION_ITEM_, szPartitionName) == 20, "partition item layout");
static_assert(offsetof(_PARTITION_ITEM_, szDiskName) == 92, "partition item layout");
static_assert(sizeof(_PARTITION_ITEM_) == 112, "partition item layout");

// A chain of extended boot records may link back on itself or run on without end: the walk
// reads each table sector once, follows links at most this deep and reads at most this many
// tables per disk.
constexpr int kMaxExtendedDepth = 128;
constexpr int kMaxTablesPerDisk = 1024;

using PartitionMap = std::map<int, std::vector<_PARTITION_ITEM_>>;

// Table recognisers; a buffer too short for the field answers false.
bool IsMBR(const uint8_t* sector0, size_t length);  // 0xAA55 at byte 510
bool IsAPM(const uint8_t* sector0, size_t length);  // "ER" at byte 0
bool IsEFI(const uint8_t* sector1, size_t length);  // "EFI PART" at byte 0

// Ascending by start sector.
bool VectorCmp(const _PARTITION_ITEM_& a, const _PARTITION_ITEM_& b);

// The partition's name as UTF-8 (at most 36 units of the field).
std::string PartitionNameUtf8(const _PARTITION_ITEM_& item);
// Sectors the item spans: end - start + 1 (0 for an entry with a sector count of 0).
uint64_t PartitionSectorCount(const _PARTITION_ITEM_& item);

class CPartitionManager {
 public:
  CPartitionManager();
  ~CPartitionManager();
  CPartitionManager(const CPartitionManager&) = delete;
  CPartitionManager& operator=(const CPartitionManager&) = delete;

  // Enumerates disks 0 to 127 of the platform layer; only disks with items appear. Always 1.
  int GetPartitionItems(PartitionMap& result);
  // Enumerates one disk with the counter starting at 1. Returns 0 or the errno of the open
  // (87 when the platform layer has no such disk); a disk without a table gives no items.
  int GetDiskPartitionItems(int diskNumber, std::vector<_PARTITION_ITEM_>& items);
  // Reads the tables of an already open disk and appends its items; the counter continues.
  void ReadDiskPartitions(int fd, int diskNumber, const std::string& path,
                          std::vector<_PARTITION_ITEM_>& items);

  // The cached table, which no operation of the enumeration fills.
  int Init();
  int InitPartitionInfo();
  void AddFreePartition();
  int UnInit();
  void SortPartitionItem();
  int GetPartitionItems(std::vector<_PARTITION_ITEM_>& items);
  int GetPartitionItem(_PARTITION_ITEM_* item);
  int GetRemovePartitionItem(std::vector<_PARTITION_ITEM_> previous, std::vector<_PARTITION_ITEM_>& removed);
  // Copies an enumeration into the cached table, sorted, and rewinds the cursor.
  void LoadPartitionTable(const PartitionMap& table);

 private:
  void GetMBRPartition(int fd, uint32_t tableSector, std::vector<_PARTITION_ITEM_>& items, int diskNumber,
                       const char* path, int depth);
  void GetGPTPartition(const uint8_t* head, size_t length, std::vector<_PARTITION_ITEM_>& items, int diskNumber,
                       const char* path);
  void GetAPMPartition(int fd, const uint8_t* head, size_t length, std::vector<_PARTITION_ITEM_>& items,
                       int diskNumber, const char* path);
  void GetWholeDevicePartition(int fd, const uint8_t* head, size_t length, std::vector<_PARTITION_ITEM_>& items,
                               int diskNumber, const char* path);
  // Appends the item unless its extent is impossible on this device.
  void AddItem(std::vector<_PARTITION_ITEM_>& items, uint64_t start, uint64_t end, int diskNumber,
               const char* path, const char16_t* name, size_t nameUnits);
  void AddNumberedItem(std::vector<_PARTITION_ITEM_>& items, uint64_t start, uint64_t end, int diskNumber,
                       const char* path);

  int m_nBytesPerSector;
  int m_nCursorDisk = 0;
  int m_nCursorItem = 0;
  std::map<unsigned, std::vector<_PARTITION_ITEM_>> m_cachedTable;
  int m_nPartitionCounter = 1;
  uint32_t m_u32ExtendedBase = 0;

  // Per-disk state of the walk.
  uint64_t m_u64DeviceSectors = 0;  // 0 when the size is unknown
  std::vector<uint32_t> m_visitedTables;
  int m_nTablesRead = 0;
};

// Start sector and sector count of partition `partitionIndex` (1-based, in the order the
// enumeration lists the disk's items) of disk `diskNumber`. Returns 0, the errno of the open,
// or 87 when the disk has no such partition.
int GetPartitionRange(int diskNumber, int partitionIndex, uint64_t& startSector, uint64_t& sectorCount);

}  // namespace vorlenta
