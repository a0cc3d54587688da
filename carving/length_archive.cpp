// Archives: ZIP (end of central directory), 7z (its compressed header at the end), RAR 4 (the
// end-of-archive block) and cabinets (declared size). gzip has no end mark and uses the
// default walk of the video finders.
#include <algorithm>

#include "carving/file_length.h"
#include "util/endian.h"

namespace vorlenta {

namespace {

constexpr uint64_t kArchiveCap = 0x100000000;  // 4 GiB
constexpr uint8_t kZipEndOfCentralDirectory[] = {'P', 'K', 0x05, 0x06};
// The end record without a comment.
constexpr uint64_t kZipEndRecordBytes = 22;

// The end of a 7z archive whose header is itself LZMA-packed: the packed header's stream
// description, from kEnd of its pack info to the LZMA properties byte 5D.
constexpr uint8_t k7zPackedHeaderInfo[] = {0x00, 0x07, 0x0B, 0x01, 0x00, 0x01, 0x23, 0x03, 0x01, 0x01, 0x05, 0x5D};
// What follows the pattern: the dictionary size, kCodersUnpackSize (0C) and the unpacked
// size as a 7z number, then kCRC (0A), the all-defined byte and the CRC, then kEnd twice.
constexpr size_t k7zDictionaryBytes = 4;
constexpr uint8_t k7zCodersUnpackSize = 0x0C;
constexpr size_t k7zAfterNumberBytes = 1 + 1 + 4 + 2;
// The usual length of what follows, taken when the bytes are not all in the chunk (a two-byte
// unpacked size).
constexpr uint64_t k7zUsualTailBytes = 27;

constexpr uint8_t kRarEndOfArchive[] = {0xC4, 0x3D, 0x7B, 0x00, 0x40, 0x07, 0x00};

constexpr uint64_t kCabCap = 0x40000000;  // 1 GiB
constexpr size_t kCabMinLength = 36;
constexpr size_t kCabSizeOffset = 8;

// Bytes of a 7z number: the count of leading one bits of its first byte says how many bytes
// follow it.
size_t SevenZipNumberBytes(uint8_t first) {
  size_t extra = 0;
  for (uint8_t mask = 0x80; mask != 0 && (first & mask) != 0; mask >>= 1) ++extra;
  return 1 + extra;
}

}  // namespace

namespace carving {

uint64_t ZipEndWalk(const unsigned char* buf, int len, uint64_t cap) {
  return SectorWalkFromFirst(buf, len, cap, &CFileTypeJudge::IsEndOfFile, [](const WalkChunk& chunk, uint64_t& length) {
    // The last end record of the chunk: a stored archive inside the file comes before it.
    const size_t p = FindLast(chunk.data, chunk.fileBytes, kZipEndOfCentralDirectory, sizeof kZipEndOfCentralDirectory);
    if (p == kNotFound) return false;
    length = chunk.base + p + kZipEndRecordBytes;
    return true;
  });
}

}  // namespace carving

uint64_t CFileTypeJudge::GetZIPFileBytesSize(const unsigned char* buf, int len) {
  return carving::ZipEndWalk(buf, len, kArchiveCap);
}

uint64_t CFileTypeJudge::Get7ZFileBytesSize(const unsigned char* buf, int len) {
  return carving::SectorWalkFromFirst(
      buf, len, kArchiveCap, &IsEndOfFile, [](const carving::WalkChunk& chunk, uint64_t& length) {
        const size_t limit = chunk.fileBytes;
        const size_t p = carving::FindLast(chunk.data, limit, k7zPackedHeaderInfo, sizeof k7zPackedHeaderInfo);
        if (p == carving::kNotFound) return false;
        // The unpacked size is one byte for a small header and two for a larger one; read which.
        const size_t marker = p + sizeof k7zPackedHeaderInfo + k7zDictionaryBytes;
        uint64_t tail = k7zUsualTailBytes;
        if (marker + 1 < limit && chunk.data[marker] == k7zCodersUnpackSize) {
          tail = sizeof k7zPackedHeaderInfo + k7zDictionaryBytes + 1 + SevenZipNumberBytes(chunk.data[marker + 1]) +
                 k7zAfterNumberBytes;
        }
        length = chunk.base + p + tail;
        return true;
      });
}

uint64_t CFileTypeJudge::GetRARFileBytesSize(const unsigned char* buf, int len) {
  return carving::SectorWalkFromFirst(
      buf, len, kArchiveCap, &IsEndOfFile, [](const carving::WalkChunk& chunk, uint64_t& length) {
        const size_t end =
            carving::FindAcceptedTrailer(chunk.data, chunk.fileBytes, kRarEndOfArchive, sizeof kRarEndOfArchive);
        if (end == carving::kNotFound) return false;
        length = chunk.base + end;
        return true;
      });
}

uint64_t CFileTypeJudge::GetCABFileBytesSize(const unsigned char* buf, int len) {
  if (buf == nullptr || len < static_cast<int>(kCabMinLength)) return carving::SectorBytes();
  return std::min<uint64_t>(ReadU32LE(buf, static_cast<size_t>(len), kCabSizeOffset), kCabCap);
}

}  // namespace vorlenta
