// Archives: ZIP (end of central directory), 7z (its compressed header at the end), RAR 4 (the
// end-of-archive block), cabinets (declared size), tar (the chain of member headers to the
// end blocks), bzip2 (the stream's end magic, at any bit), xz (the stream footer) and
// Zstandard (the chain of blocks). gzip has no end mark and uses the default walk of the video
// finders.
#include <algorithm>

#include "carving/file_length.h"
#include "format/archive_headers.h"
#include "format/signature_match.h"
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

// Tar: each member is a header block and its data in whole blocks; two zero blocks end the
// archive, and the writer pads it with zeros to a whole record of 20 blocks.
constexpr size_t kTarSizeOffset = 124;
constexpr size_t kTarSizeBytes = 12;
constexpr uint8_t kTarBinarySize = 0x80;  // a size too large for octal, in base 256
constexpr uint64_t kTarRecordBytes = 20 * kTarBlockBytes;
constexpr uint64_t kTarCap = 0x100000000;  // 4 GiB

// bzip2: the 48-bit end-of-stream magic, bit-aligned, then the stream's 32-bit CRC.
constexpr uint64_t kBzip2EndMagic = 0x177245385090;
constexpr uint64_t kBzip2MagicMask = 0xFFFFFFFFFFFF;
constexpr uint64_t kBzip2CrcBits = 32;

// xz: the stream footer is a CRC32, the backward size, the stream flags (as in the header) and
// "YZ"; a stream is a whole number of 4-byte units.
constexpr uint8_t kXzFooterMagic[] = {'Y', 'Z'};
constexpr size_t kXzHeaderFlagsOffset = 6;
constexpr size_t kXzFlagsBytes = 2;
constexpr size_t kXzFooterCrcBytes = 4;
constexpr size_t kXzBackwardSizeBytes = 4;
constexpr uint64_t kXzUnit = 4;

// Zstandard: the frame header descriptor says which optional fields follow it; then blocks,
// each with a 3-byte header (last flag, type, size), then an optional 32-bit checksum.
constexpr size_t kZstdDescriptorOffset = 4;
constexpr uint8_t kZstdSingleSegment = 0x20;
constexpr uint8_t kZstdChecksumFlag = 0x04;
constexpr uint8_t kZstdDictionaryMask = 0x03;
constexpr size_t kZstdDictionaryBytes[] = {0, 1, 2, 4};
constexpr size_t kZstdContentSizeBytes[] = {0, 2, 4, 8};
constexpr size_t kZstdBlockHeaderBytes = 3;
constexpr uint32_t kZstdRleBlock = 1;
constexpr uint32_t kZstdReservedBlock = 3;
constexpr uint32_t kZstdMaxBlockBytes = 128 * 1024;
constexpr uint64_t kZstdChecksumBytes = 4;
constexpr uint64_t kZstdCap = 0x100000000;  // 4 GiB

uint32_t Crc32(const uint8_t* data, size_t bytes) {
  uint32_t crc = 0xFFFFFFFF;
  for (size_t i = 0; i < bytes; ++i) {
    crc ^= data[i];
    for (int b = 0; b < 8; ++b) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

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

uint64_t CFileTypeJudge::GetTarFileBytesSize(const unsigned char* /*buf*/, int /*len*/) {
  carving::FileBytes file;
  uint64_t pos = 0;
  while (pos < kTarCap) {
    const uint8_t* header = file.At(pos, kTarBlockBytes);
    if (header == nullptr) break;
    if (!IsTarHeader(header, kTarBlockBytes)) {
      // The end: two zero blocks, then zero blocks up to the record's end.
      bool zero = true;
      for (size_t i = 0; i < kTarBlockBytes && zero; ++i) zero = header[i] == 0;
      if (!zero) break;
      uint64_t end = pos;
      const uint64_t record = (pos + 2 * kTarBlockBytes + kTarRecordBytes - 1) / kTarRecordBytes * kTarRecordBytes;
      while (end < record) {
        const uint8_t* block = file.At(end, kTarBlockBytes);
        bool blank = block != nullptr;
        for (size_t i = 0; i < kTarBlockBytes && blank; ++i) blank = block[i] == 0;
        if (!blank) break;
        end += kTarBlockBytes;
      }
      return end;
    }
    uint64_t size = 0;
    if ((header[kTarSizeOffset] & kTarBinarySize) != 0) {
      for (size_t i = 1; i < kTarSizeBytes; ++i) size = (size << 8) | header[kTarSizeOffset + i];
    } else if (!ParseTarOctal(header + kTarSizeOffset, kTarSizeBytes, size)) {
      break;
    }
    if (size > kTarCap) break;
    pos += kTarBlockBytes + (size + kTarBlockBytes - 1) / kTarBlockBytes * kTarBlockBytes;
  }
  return pos != 0 ? std::min(pos, kTarCap) : carving::SectorWalk(kArchiveCap);
}

uint64_t CFileTypeJudge::GetBzip2FileBytesSize(const unsigned char* buf, int len) {
  // Bits are fed in order into a register; the magic may end at any bit of a byte.
  uint64_t bits = 0;
  return carving::SectorWalkFromFirst(
      buf, len, kArchiveCap, &IsEndOfFile, [&](const carving::WalkChunk& chunk, uint64_t& length) {
        for (size_t i = 0; i < chunk.fileBytes; ++i) {
          bits = (bits << 8) | chunk.data[i];
          for (unsigned shift = 0; shift < 8; ++shift) {
            if (((bits >> shift) & kBzip2MagicMask) != kBzip2EndMagic) continue;
            // The magic ends `shift` bits before this byte's end; the CRC follows, then the
            // stream is padded to a byte.
            const uint64_t endBit = (chunk.base + i + 1) * 8 - shift + kBzip2CrcBits;
            length = (endBit + 7) / 8;
            return true;
          }
        }
        return false;
      });
}

uint64_t CFileTypeJudge::GetXzFileBytesSize(const unsigned char* buf, int len) {
  const size_t n = signature::Usable(buf, len);
  if (n < kXzHeaderFlagsOffset + kXzFlagsBytes) return carving::SectorBytes();
  const uint8_t* flags = buf + kXzHeaderFlagsOffset;
  return carving::SectorWalkFromFirst(
      buf, len, kArchiveCap, &IsEndOfFile, [&](const carving::WalkChunk& chunk, uint64_t& length) {
        const size_t before = kXzFooterCrcBytes + kXzBackwardSizeBytes + kXzFlagsBytes;
        for (size_t p = carving::FindForward(chunk.data, chunk.fileBytes, 0, kXzFooterMagic, sizeof kXzFooterMagic);
             p != carving::kNotFound;
             p = carving::FindForward(chunk.data, chunk.fileBytes, p + 1, kXzFooterMagic, sizeof kXzFooterMagic)) {
          const uint64_t end = chunk.base + p + sizeof kXzFooterMagic;
          if (p < before || end % kXzUnit != 0) continue;
          const uint8_t* footer = chunk.data + p - before;
          if (footer[before - 2] != flags[0] || footer[before - 1] != flags[1]) continue;
          // The footer's CRC32 covers the backward size and the flags.
          if (Crc32(footer + kXzFooterCrcBytes, kXzBackwardSizeBytes + kXzFlagsBytes) !=
              ReadU32LE(footer, before, 0)) {
            continue;
          }
          length = end;
          return true;
        }
        return false;
      });
}

uint64_t CFileTypeJudge::GetZstdFileBytesSize(const unsigned char* buf, int len) {
  const size_t n = signature::Usable(buf, len);
  if (n <= kZstdDescriptorOffset) return carving::SectorBytes();
  const uint8_t descriptor = buf[kZstdDescriptorOffset];
  const bool single = (descriptor & kZstdSingleSegment) != 0;
  const uint8_t sizeFlag = descriptor >> 6;
  const size_t contentSize = sizeFlag == 0 && single ? 1 : kZstdContentSizeBytes[sizeFlag];
  uint64_t pos = kZstdDescriptorOffset + 1 + (single ? 0 : 1) + kZstdDictionaryBytes[descriptor & kZstdDictionaryMask] +
                 contentSize;
  carving::FileBytes file;
  while (pos < kZstdCap) {
    const uint8_t* block = file.At(pos, kZstdBlockHeaderBytes);
    if (block == nullptr) return carving::SectorWalk(kArchiveCap);
    const uint32_t header = block[0] | (block[1] << 8) | (static_cast<uint32_t>(block[2]) << 16);
    const uint32_t type = (header >> 1) & 0x3;
    const uint32_t size = header >> 3;
    if (type == kZstdReservedBlock || size > kZstdMaxBlockBytes) return carving::SectorWalk(kArchiveCap);
    pos += kZstdBlockHeaderBytes + (type == kZstdRleBlock ? 1 : size);
    if ((header & 1) != 0) return pos + ((descriptor & kZstdChecksumFlag) != 0 ? kZstdChecksumBytes : 0);
  }
  return carving::SectorWalk(kArchiveCap);
}

}  // namespace vorlenta
