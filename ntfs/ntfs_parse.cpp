#include "ntfs/ntfs_parse.h"

#include <algorithm>

namespace vorlenta {
namespace {

constexpr int kSmallSector = 512;
// Widest length or offset field of a run header.
constexpr unsigned kMaxRunFieldBytes = 7;
constexpr uint32_t kMaxNameUnits = 255;

// Rank of a name space when choosing the name to show: Win32 names first, then POSIX names,
// and a DOS name only when there is nothing else.
int NameRank(uint8_t nameSpace) {
  switch (nameSpace) {
    case ntfs::kNamespaceWin32:
    case ntfs::kNamespaceWin32AndDos: return 3;
    case ntfs::kNamespacePosix: return 2;
    default: return 1;
  }
}

}  // namespace

bool ResolveRunList(const std::vector<__RUNLIST__>& runs, uint64_t volumeClusters, std::vector<NtfsExtent>& out) {
  int64_t lcn = 0;
  for (const __RUNLIST__& run : runs) {
    if (run.i64RunOffset == 0) {
      out.push_back(NtfsExtent{0, run.u64RunLength, true});
      continue;
    }
    // Overflow of the running sum is as much damage as a start outside the volume.
    if ((run.i64RunOffset > 0 && lcn > INT64_MAX - run.i64RunOffset) ||
        (run.i64RunOffset < 0 && lcn < INT64_MIN - run.i64RunOffset)) {
      return false;
    }
    lcn += run.i64RunOffset;
    if (lcn < 0) return false;
    const uint64_t start = static_cast<uint64_t>(lcn);
    if (start >= volumeClusters || run.u64RunLength > volumeClusters - start) return false;
    out.push_back(NtfsExtent{start, run.u64RunLength, false});
  }
  return true;
}

bool ResidentValue(const NtfsAttribute& attribute, const uint8_t*& value, uint32_t& length) {
  if (attribute.nonResident) return false;
  const uint32_t valueLength = ReadU32LE(attribute.data, attribute.length, ntfs::kAttrResidentValueLength);
  const uint16_t valueOffset = ReadU16LE(attribute.data, attribute.length, ntfs::kAttrResidentValueOffset);
  if (!FieldFits(attribute.length, valueOffset, valueLength)) return false;
  value = attribute.data + valueOffset;
  length = valueLength;
  return true;
}

bool DecodeFileName(const NtfsAttribute& attribute, NtfsFileName& out) {
  const uint8_t* value = nullptr;
  uint32_t length = 0;
  if (!ResidentValue(attribute, value, length) || !FieldFits(length, ntfs::kFnName, 0)) return false;
  const uint32_t units = ReadU8(value, length, ntfs::kFnNameLength);
  if (units > kMaxNameUnits || !FieldFits(length, ntfs::kFnName, units * 2u)) return false;
  out.parent = static_cast<uint32_t>(ReadU64LE(value, length, ntfs::kFnParent) & 0xFFFFFFFFu);
  out.createTime = ReadU64LE(value, length, ntfs::kFnCreateTime);
  out.modifyTime = ReadU64LE(value, length, ntfs::kFnModifyTime);
  out.accessTime = ReadU64LE(value, length, ntfs::kFnAccessTime);
  out.realSize = ReadU64LE(value, length, ntfs::kFnRealSize);
  out.nameSpace = ReadU8(value, length, ntfs::kFnNamespace);
  out.name.clear();
  for (uint32_t i = 0; i < units; ++i) {
    const char16_t unit = static_cast<char16_t>(ReadU16LE(value, length, ntfs::kFnName + 2 * i));
    if (unit == 0) break;
    out.name.push_back(unit);
  }
  return !out.name.empty();
}

void ParseFileRecord(const uint8_t* record, size_t bound, NtfsRecordInfo& out) {
  out = NtfsRecordInfo{};
  if (record == nullptr) return;
  out.flags = ReadU16LE(record, bound, ntfs::kRecordFlags);
  int bestRank = 0;
  WalkAttributes(record, bound, NtfsWalk::kNames, [&](const NtfsAttribute& a) {
    if (a.type == ntfs::kTypeAttributeList) {
      out.haveAttributeList = true;
    } else if (a.type == ntfs::kTypeFileName) {
      NtfsFileName name;
      if (DecodeFileName(a, name) && NameRank(name.nameSpace) > bestRank) {
        bestRank = NameRank(name.nameSpace);
        out.name = std::move(name);
        out.haveName = true;
      }
    } else if (a.type == ntfs::kTypeData && a.nameLength == 0 && !out.haveData) {
      // Only the unnamed stream is the file's content; named streams are extras.
      if (a.nonResident) {
        if (FieldFits(a.length, ntfs::kAttrRealSize, 8)) {
          out.haveData = true;
          out.dataSize = ReadU64LE(a.data, a.length, ntfs::kAttrRealSize);
        }
      } else {
        out.haveData = true;
        out.dataResident = true;
        out.dataSize = ReadU32LE(a.data, a.length, ntfs::kAttrResidentValueLength);
      }
    }
    return true;
  });
}

int CNtfsParse::Init(int bytesPerSector) {
  m_bytesPerSector = bytesPerSector;
  m_sectorsPerRecord = bytesPerSector == kSmallSector ? 2 : 1;
  return 0;
}

int CNtfsParse::FileRecordFixUp(unsigned char* record, size_t length, size_t* intactBytes) const {
  if (intactBytes != nullptr) *intactBytes = 0;
  if (record == nullptr || length == 0 || record[0] == 0) return -1;
  const size_t strides = length / ntfs::kUpdateSequenceStride;
  if (strides == 0 || !FieldFits(length, ntfs::kRecordUpdateSequenceArray, strides * 2)) return -1;
  const uint16_t sequence = ReadU16LE(record, length, ntfs::kRecordUpdateSequenceNumber);
  size_t intact = strides * ntfs::kUpdateSequenceStride;
  bool torn = false;
  for (size_t i = 0; i < strides; ++i) {
    const size_t end = (i + 1) * ntfs::kUpdateSequenceStride - 2;
    if (!torn && ReadU16LE(record, length, end) != sequence) {
      torn = true;
      intact = i * ntfs::kUpdateSequenceStride;
    }
    WriteU16LE(record, end, ReadU16LE(record, length, ntfs::kRecordUpdateSequenceArray + 2 * i));
  }
  if (intactBytes != nullptr) *intactBytes = intact;
  return 0;
}

void CNtfsParse::GetRunList(const unsigned char* attribute, size_t available, std::vector<__RUNLIST__>& runs) const {
  if (attribute == nullptr) return;
  const size_t bound = std::min<size_t>(ReadU32LE(attribute, available, ntfs::kAttrLength), available);
  size_t p = ReadU16LE(attribute, bound, ntfs::kAttrRunListOffset);
  while (p < bound) {
    const uint8_t header = attribute[p];
    if (header == 0) return;
    const unsigned lengthBytes = header & 0x0F;
    const unsigned offsetBytes = header >> 4;
    if (lengthBytes > kMaxRunFieldBytes || offsetBytes > kMaxRunFieldBytes) return;
    if (!FieldFits(bound, p + 1, lengthBytes + offsetBytes)) return;
    uint64_t length = 0;
    for (unsigned i = 0; i < lengthBytes; ++i) length |= static_cast<uint64_t>(attribute[p + 1 + i]) << (8 * i);
    uint64_t offset = 0;
    for (unsigned i = 0; i < offsetBytes; ++i) {
      offset |= static_cast<uint64_t>(attribute[p + 1 + lengthBytes + i]) << (8 * i);
    }
    // The offset field is two's complement of its own width.
    if (offsetBytes != 0 && (attribute[p + lengthBytes + offsetBytes] & 0x80) != 0) {
      offset |= ~uint64_t{0} << (8 * offsetBytes);
    }
    runs.push_back(__RUNLIST__{length, static_cast<int64_t>(offset)});
    p += 1 + lengthBytes + offsetBytes;
  }
}

}  // namespace vorlenta
