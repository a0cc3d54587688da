// NTFS master-file-table (FILE) record primitives shared by the NTFS engines and the deep-scan
// classifier.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorlenta {

// FILE record header fields the record test reads.
constexpr size_t kNtfsMagicOffset = 0;
constexpr uint8_t kNtfsFileMagic[4] = {'F', 'I', 'L', 'E'};
constexpr size_t kNtfsBytesInUseOffset = 24;
constexpr size_t kNtfsBytesAllocatedOffset = 28;
// The update sequence array is always taken here; the header's own pointer to it is not read.
constexpr size_t kNtfsUpdateSequenceOffset = 48;
// Each sector of a record ends in a copy of the update sequence number until it is fixed up.
constexpr size_t kNtfsFirstSectorEndOffset = 510;
constexpr size_t kNtfsSectorSize = 512;
// The record size the deep-scan classifier tests with.
constexpr int kNtfsFileRecordSize = 1024;

// True when `buffer` (with `available` readable bytes) starts a FILE record of `recordSize`
// bytes whose first sector still carries the update sequence number at its end.
bool IsNtfsFileRecord(const unsigned char* buffer, size_t available, int recordSize);

}  // namespace vorlenta
