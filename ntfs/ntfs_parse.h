// NTFS FILE record primitives shared by the NTFS engines: the on-disk layout, the
// update-sequence fix-up, the run-list decoder and the bounded attribute walk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "util/endian.h"

namespace vorlenta {

namespace ntfs {

// FILE record header.
constexpr size_t kRecordFirstAttribute = 20;
constexpr size_t kRecordFlags = 22;
constexpr size_t kRecordBytesInUse = 24;
constexpr size_t kRecordBytesAllocated = 28;
constexpr size_t kRecordNumber = 44;
constexpr size_t kRecordUpdateSequenceNumber = 48;
constexpr size_t kRecordUpdateSequenceArray = 50;
constexpr uint16_t kRecordInUse = 0x0001;
constexpr uint16_t kRecordIsDirectory = 0x0002;
// The update sequence protects the last two bytes of every 512 bytes of a record, whatever
// the volume's sector size.
constexpr size_t kUpdateSequenceStride = 512;
constexpr size_t kRecordMagicBytes = 4;
constexpr uint8_t kRecordMagic[kRecordMagicBytes] = {'F', 'I', 'L', 'E'};

// Attribute header.
constexpr size_t kAttrType = 0;
constexpr size_t kAttrLength = 4;
constexpr size_t kAttrNonResident = 8;
constexpr size_t kAttrNameLength = 9;
constexpr size_t kAttrResidentValueLength = 16;
constexpr size_t kAttrResidentValueOffset = 20;
constexpr size_t kAttrLowestVcn = 16;
constexpr size_t kAttrRunListOffset = 32;
constexpr size_t kAttrRealSize = 48;
// Smallest header: type, length, flags, name fields and the resident value fields.
constexpr uint32_t kAttrMinLength = 24;

constexpr uint32_t kTypeStandardInformation = 0x10;
constexpr uint32_t kTypeAttributeList = 0x20;
constexpr uint32_t kTypeFileName = 0x30;
constexpr uint32_t kTypeData = 0x80;
constexpr uint32_t kTypeIndexAllocation = 0xA0;
constexpr uint32_t kTypeEnd = 0xFFFFFFFF;
// Types above this are not attributes but filler or the end of a damaged chain.
constexpr uint32_t kTypeLastValid = 0xFDFDFDFC;

// File name attribute value (offsets inside the value).
constexpr size_t kFnParent = 0;
constexpr size_t kFnCreateTime = 8;
constexpr size_t kFnModifyTime = 16;
constexpr size_t kFnAccessTime = 32;
constexpr size_t kFnRealSize = 48;
constexpr size_t kFnNameLength = 64;
constexpr size_t kFnNamespace = 65;
constexpr size_t kFnName = 66;
constexpr uint8_t kNamespacePosix = 0;
constexpr uint8_t kNamespaceWin32 = 1;
constexpr uint8_t kNamespaceDos = 2;
constexpr uint8_t kNamespaceWin32AndDos = 3;

// Attribute list entry.
constexpr size_t kAleType = 0;
constexpr size_t kAleLength = 4;
constexpr size_t kAleNameLength = 6;
constexpr size_t kAleLowestVcn = 8;
constexpr size_t kAleReference = 16;
constexpr uint32_t kAleMinLength = 26;
constexpr uint64_t kReferenceRecordMask = 0x0000FFFFFFFFFFFFull;

// The root directory's record number.
constexpr uint32_t kRootRecord = 5;
// The volume's cluster bitmap file.
constexpr uint32_t kBitmapRecord = 6;
// Records below this number are the volume's own system files.
constexpr uint32_t kFirstUserRecord = 12;

}  // namespace ntfs

// One data run as stored: its length in clusters and its start relative to the previous run
// of the same list (absolute for the first run); 0 for a sparse run (no offset field).
struct __RUNLIST__ {
  uint64_t u64RunLength;
  int64_t i64RunOffset;
};

// One run resolved to absolute clusters.
struct NtfsExtent {
  uint64_t lcn;
  uint64_t clusters;
  bool sparse;
};

// Turns runs into absolute extents by their running sum. A run that would start before
// cluster 0 or reach past `volumeClusters` ends the list there (it points outside the
// volume). True when every run was taken.
bool ResolveRunList(const std::vector<__RUNLIST__>& runs, uint64_t volumeClusters, std::vector<NtfsExtent>& out);

// One attribute met by a walk; `length` bytes from `offset` lie inside the walk's bound.
struct NtfsAttribute {
  const uint8_t* data;
  size_t offset;
  uint32_t type;
  uint32_t length;
  bool nonResident;
  uint8_t nameLength;
};

// How a walk reads the chain: the name walks read 16-bit lengths and stop at type 0 and
// filler types; the lookups read 32-bit lengths.
enum class NtfsWalk { kNames, kLookup };

// Visits the attributes of a fixed-up record from the u16 at offset 20 while each header and
// its whole length lie below `bound`; stops at the end marker, a zero or impossible length,
// or when `visit` answers false. Lengths only move forward, so the walk always ends.
template <class Visit>
void WalkAttributes(const uint8_t* record, size_t bound, NtfsWalk kind, Visit&& visit) {
  if (record == nullptr) return;
  size_t position = ReadU16LE(record, bound, ntfs::kRecordFirstAttribute);
  while (FieldFits(bound, position, 8)) {
    const uint32_t type = ReadU32LE(record, bound, position + ntfs::kAttrType);
    if (type == ntfs::kTypeEnd) return;
    if (kind == NtfsWalk::kNames && (type == 0 || type > ntfs::kTypeLastValid)) return;
    const uint32_t length = kind == NtfsWalk::kNames ? ReadU16LE(record, bound, position + ntfs::kAttrLength)
                                                     : ReadU32LE(record, bound, position + ntfs::kAttrLength);
    if (length < ntfs::kAttrMinLength || !FieldFits(bound, position, length)) return;
    const NtfsAttribute attribute{record + position, position, type, length,
                                  record[position + ntfs::kAttrNonResident] != 0,
                                  record[position + ntfs::kAttrNameLength]};
    if (!visit(attribute)) return;
    position += length;
  }
}

// The value of a resident attribute, when it lies wholly inside the attribute.
bool ResidentValue(const NtfsAttribute& attribute, const uint8_t*& value, uint32_t& length);

// One file name attribute, decoded.
struct NtfsFileName {
  uint32_t parent = 0;
  uint64_t createTime = 0;
  uint64_t modifyTime = 0;
  uint64_t accessTime = 0;
  uint64_t realSize = 0;
  uint8_t nameSpace = 0;
  std::u16string name;
};

// Decodes a resident file name attribute; false when its value is cut short.
bool DecodeFileName(const NtfsAttribute& attribute, NtfsFileName& out);

// What the engines take from one FILE record.
struct NtfsRecordInfo {
  uint16_t flags = 0;
  bool haveName = false;
  // The name shown: the first Win32 name, else the first POSIX name, else the DOS name.
  NtfsFileName name;
  bool haveData = false;  // an unnamed data attribute in this record
  bool dataResident = false;
  uint64_t dataSize = 0;
  bool haveAttributeList = false;
};

// Parses a fixed-up record up to `bound` (bytes in use, cut to the intact part).
void ParseFileRecord(const uint8_t* record, size_t bound, NtfsRecordInfo& out);

class CNtfsParse {
 public:
  // 0; sectors per record is 2 for 512-byte sectors, else 1.
  int Init(int bytesPerSector);
  int BytesPerSector() const { return m_bytesPerSector; }
  int SectorsPerRecord() const { return m_sectorsPerRecord; }
  int RecordSize() const { return m_bytesPerSector * m_sectorsPerRecord; }

  // Puts the saved bytes of the update sequence array back at the end of every 512 bytes of
  // a record of `length` bytes. −1 for no record, a first byte of 0, or a record too short
  // for its array. `intactBytes`, when given, receives the bytes before the first stride whose
  // end did not carry the update sequence number (a torn write): only they can be trusted.
  int FileRecordFixUp(unsigned char* record, size_t length, size_t* intactBytes = nullptr) const;

  // Appends the runs of the non-resident attribute at `attribute`, of which `available`
  // bytes are readable (up to the end of the record buffer). Decoding stays inside both the
  // attribute's length and `available`, and ends quietly at a malformed run header.
  void GetRunList(const unsigned char* attribute, size_t available, std::vector<__RUNLIST__>& runs) const;

 private:
  int m_sectorsPerRecord = 2;
  int m_bytesPerSector = 512;
};

}  // namespace vorlenta
