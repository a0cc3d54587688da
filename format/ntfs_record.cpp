#include "format/ntfs_record.h"

#include "util/endian.h"

namespace vorlenta {

bool IsNtfsFileRecord(const unsigned char* buffer, size_t available, int recordSize) {
  if (buffer == nullptr || recordSize <= 0 || available < kNtfsSectorSize) return false;
  if (!BytesEqual(buffer, available, kNtfsMagicOffset, kNtfsFileMagic, sizeof kNtfsFileMagic)) return false;
  const uint32_t size = static_cast<uint32_t>(recordSize);
  if (ReadU32LE(buffer, available, kNtfsBytesInUseOffset) > size) return false;
  if (ReadU32LE(buffer, available, kNtfsBytesAllocatedOffset) != size) return false;
  return ReadU16LE(buffer, available, kNtfsUpdateSequenceOffset) ==
         ReadU16LE(buffer, available, kNtfsFirstSectorEndOffset);
}

}  // namespace vorlenta
