// Reading a file's data back from its FILE record on one NTFS volume: the record (in pieces
// when it straddles two runs of the table), the attribute that holds the data (through the
// attribute list when there is one), the clusters along its runs, and the quick health check.
// Both NTFS engines read through it, each with the geometry it knows for a record.
#pragma once

#include <cstdint>
#include <vector>

#include "device/disk_reader.h"
#include "engine/file_node.h"
#include "engine/node_extraction.h"
#include "ntfs/ntfs_parse.h"

namespace vorlenta {

// Largest piece of file data read and written at a time.
constexpr uint32_t kNtfsCopyBytes = 65536;

// Status of the run-list lookup when the record is not a FILE record.
constexpr int kNtfsNotFileRecord = -1;
// Status of the run-list lookup when the record holds no such attribute.
constexpr int kNtfsNoAttribute = -100;
// Status of the resident-data read when the data is not resident (or absent).
constexpr int kNtfsNotResident = -101;

// Where a file's data lies, found from its FILE record.
struct NtfsNodeData {
  bool resident = false;
  std::vector<uint8_t> residentBytes;
  std::vector<NtfsExtent> extents;
  // The data attribute's real size, when a data attribute was found.
  uint64_t realSize = 0;
};

// What the data readers need of an NTFS boot sector.
struct NtfsBootGeometry {
  uint32_t bytesPerSector = 0;
  uint32_t sectorsPerCluster = 0;
  uint32_t clusterBytes = 0;
  uint64_t totalSectors = 0;
  uint64_t mftCluster = 0;
};
// Decodes the geometry of a boot sector; false when its sizes are impossible.
bool DecodeNtfsBootGeometry(const uint8_t* boot, size_t length, NtfsBootGeometry& out);

// The part of a device an engine reads, and the tag its nodes carry.
struct NtfsScanArea {
  uint64_t start = 0;
  uint64_t sectors = 0;
  char16_t tag = 0;
};
// Opens `reader` on disk `diskNumber` for `count` sectors from `start`, or on the device or
// image at `path` (from its start, all its sectors). 0, 87, the errno of the open or size
// query, or the reader's status.
int OpenScanArea(CDiskReader& reader, int diskNumber, long long start, long long count, char16_t tag,
                 NtfsScanArea& area);
int OpenScanArea(CDiskReader& reader, const char16_t* path, char16_t tag, NtfsScanArea& area);

// Copies the times, the size and the name (in the 8-bit code page) of a file name attribute.
void FillNodeFromName(const NtfsFileName& name, _FILE_NODE_& node);

// The unnamed data stream, or any attribute of another asked type.
bool IsWantedAttribute(const NtfsAttribute& attribute, uint32_t type);

class CNtfsVolumeData {
 public:
  // The volume: its first sector, its size in clusters, the cluster and record sizes.
  void SetGeometry(CDiskReader* reader, int bytesPerSector, uint64_t volumeStart, uint64_t volumeClusters,
                   uint32_t clusterBytes);
  // Records are found along `extents` (clusters of the volume).
  void SetMftExtents(std::vector<NtfsExtent> extents);
  // Records lie one after the other from the absolute sector `baseSector`, whatever the runs.
  void SetContiguousMft(uint64_t baseSector);

  uint64_t VolumeStart() const { return m_volumeStart; }
  uint64_t VolumeClusters() const { return m_volumeClusters; }
  uint32_t ClusterBytes() const { return m_clusterBytes; }
  uint64_t ClusterSectors() const { return m_clusterBytes / kSectorSize; }
  int RecordSize() const { return m_parser.RecordSize(); }
  const CNtfsParse& Parser() const { return m_parser; }
  const std::vector<NtfsExtent>& MftExtents() const { return m_mftExtents; }

  // Absolute sector of the 512-byte piece `piece` of record `recordNumber`; false when the
  // table does not reach it. `contiguous` receives the bytes readable from there in one go.
  bool RecordPieceSector(uint64_t recordNumber, uint32_t piece, uint64_t& sector, uint64_t& contiguous) const;
  // Reads `sectors` device sectors from the absolute sector `sector`.
  int ReadSectors(uint8_t* buffer, uint32_t sectors, uint64_t sector, unsigned& got);
  // Reads record `recordNumber` (record size bytes) piece by piece into `buffer`. 0, 87 when
  // the table does not reach it, or the reader's status.
  int ReadRecordBuf(uint64_t recordNumber, unsigned char* buffer);
  // Fixes up a record and gives the walk bound (its intact bytes); false for no FILE record.
  bool PrepareRecord(uint8_t* record, size_t& bound) const;
  // Reads the record at `sector` (or by number) and fixes it up. 0, kNtfsNotFileRecord or a
  // read status.
  int ReadRecordAt(uint64_t sector, std::vector<uint8_t>& record, size_t& bound);
  int ReadRecordByNumber(uint64_t recordNumber, std::vector<uint8_t>& record, size_t& bound);

  // Where the unnamed data (or the first `attributeType` attribute) of a fixed-up record lies;
  // `runs`, when given, receives its run list. 0, kNtfsNoAttribute or a read status.
  int LocateAttribute(const uint8_t* record, size_t bound, uint32_t attributeType, NtfsNodeData& out,
                      std::vector<__RUNLIST__>* runs);
  // Appends the runs of `attribute` to `runs`, re-based so the list stays relative end to end.
  void AppendRuns(const NtfsAttribute& attribute, std::vector<__RUNLIST__>& runs, int64_t& lastLcn) const;
  // Delivers the first `total` bytes of located data: resident bytes, or the extents in
  // order (zeros for sparse ones), stopping once `total` bytes are out. Runs that end before
  // `total` are a read fault.
  int ReadExtents(const NtfsNodeData& data, uint64_t total, const DataPieceSink& sink);
  // 1 unless the data's first bytes contradict the node's extension.
  int HealthOfData(const _FILE_NODE_& node, const NtfsNodeData& data, int located);
  // Once a file node's data is located (`located` is the location's status): copies it into a
  // new file at `target`, never over another, or previews it, reading along this volume. A
  // failed location is reported and returned.
  int SaveLocatedNode(const _FILE_NODE_& node, int located, const NtfsNodeData& data, const char16_t* target,
                      RecoveryCallback callback, void* context);
  int PreviewLocatedNode(const _FILE_NODE_& node, int located, const NtfsNodeData& data, char16_t* tempPath,
                         unsigned char* buffer, int& size, PreviewCallback callback, void* context);
  // A file node's size (the data attribute's, else the name's) and health, from its
  // fixed-up record.
  void FillFileData(const uint8_t* record, size_t bound, const NtfsRecordInfo& info, _FILE_NODE_& node);

 private:
  int LocateThroughList(const NtfsAttribute& list, uint32_t attributeType, NtfsNodeData& out,
                        std::vector<__RUNLIST__>* runs);

  CDiskReader* m_reader = nullptr;
  CNtfsParse m_parser;
  uint64_t m_volumeStart = 0;
  uint64_t m_volumeClusters = 0;
  uint32_t m_clusterBytes = 0;
  std::vector<NtfsExtent> m_mftExtents;
  bool m_contiguousMft = false;
  uint64_t m_mftBaseSector = 0;
};

}  // namespace vorlenta
