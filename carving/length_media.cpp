// Video: MPEG streams (their end code, with an end test that lets the stream's own pack
// headers pass), MPEG-4 and RealMedia trailers, ASF, Flash and AVI declared sizes, Matroska
// and WebM (the sizes of the EBML header and the segment), transport streams (checked packet
// by packet and recorded; AVCHD streams likewise), and the containers that end only where the next file begins.
#include <algorithm>

#include "carving/file_length.h"
#include "format/signature_match.h"
#include "util/endian.h"

namespace vorlenta {

namespace {

using signature::Usable;

constexpr uint64_t kVideoCap = 0x100000000;         // 4 GiB
constexpr uint64_t kLargeVideoCap = 0x1000000000;   // 64 GiB: Matroska and transport streams
constexpr uint64_t kDeclaredVideoCap = 0x10000000;  // 256 MiB: ASF and Flash sizes

constexpr uint8_t kMpegSequenceHeader[] = {0x00, 0x00, 0x01, 0xB3};
constexpr uint8_t kMpegSequenceEnd[] = {0x00, 0x00, 0x01, 0xB7};
constexpr uint8_t kMpegProgramEnd[] = {0x00, 0x00, 0x01, 0xB9};

// Some encoders close an MPEG-4 file with this text in a free box, up to a terminating zero.
constexpr uint8_t kIsoMediaFreeText[] = {'f', 'r', 'e', 'e', 'I', 's', 'o', 'M', 'e', 'd', 'i', 'a', ' ',
                                         'F', 'i', 'l', 'e', ' ', 'P', 'r', 'o', 'd', 'u', 'c', 'e', 'd'};

// The header of a RealMedia index chunk of version 0 with one stream, the last chunk.
constexpr uint8_t kRealMediaIndex[] = {'I',  'N',  'D',  'X',  0x00, 0x00, 0x00, 0x14, 0x00, 0x00,
                                       0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00};

constexpr size_t kAsfMinLength = 46;
constexpr size_t kAsfFirstObjectOffset = 30;
constexpr uint8_t kAsfFilePropertiesGuid[] = {0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11,
                                              0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
constexpr size_t kAsfFileSizeOffset = 40;
constexpr size_t kAsfFlagsOffset = 88;
// A broadcast file is still being written: its size field means nothing.
constexpr uint32_t kAsfBroadcastFlag = 0x1;

constexpr uint8_t kSwfPlainTag = 'F';
constexpr size_t kSwfFileLengthOffset = 4;

constexpr size_t kRiffSizeOffset = 4;
constexpr uint32_t kRiffHeaderBytes = 8;
constexpr size_t kAviMinLength = 16;

// EBML: the header element, then one segment; an element is its id, its size as a variable
// length number and its data. A size of all one bits is unknown (a stream being written).
constexpr uint8_t kSegmentId[] = {0x18, 0x53, 0x80, 0x67};
constexpr size_t kEbmlIdBytes = 4;
constexpr size_t kMostSizeBytes = 8;

constexpr uint64_t kTsPacketBytes = 188;
constexpr uint8_t kTsSyncByte = 0x47;
// AVCHD packets: a 4-byte time stamp, then a transport packet.
constexpr uint64_t kMtsPacketBytes = 192;
constexpr uint64_t kMtsSyncOffset = 4;

// Reads the variable-length size at `p` (up to `n` bytes): its bytes and value. False when the
// first byte has no length marker or the size is unknown.
bool ReadEbmlSize(const uint8_t* p, size_t n, size_t& bytes, uint64_t& value) {
  if (n == 0 || p[0] == 0) return false;
  bytes = 1;
  for (uint8_t mask = 0x80; (p[0] & mask) == 0; mask >>= 1) ++bytes;
  if (bytes > n || bytes > kMostSizeBytes) return false;
  value = p[0] & (0xFFu >> bytes);
  bool allOnes = value == (0xFFu >> bytes);
  for (size_t i = 1; i < bytes; ++i) {
    value = (value << 8) | p[i];
    allOnes = allOnes && p[i] == 0xFF;
  }
  return !allOnes;
}

// Packets of `packetBytes` from the file's start, each with the sync byte at `syncOffset`: the
// file ends after the last packet before one that lacks it, or where the walk ends first.
uint64_t PacketChainLength(const unsigned char* buf, int len, uint64_t packetBytes, uint64_t syncOffset) {
  uint64_t good = 0;
  uint64_t next = 0;  // start of the next packet to check
  bool bad = false;
  uint64_t length = carving::SectorWalkFromFirst(
      buf, len, kLargeVideoCap, &CFileTypeJudge::IsEndOfFile, [&](const carving::WalkChunk& chunk, uint64_t&) {
        const uint64_t end = chunk.base + chunk.fileBytes;
        for (; !bad && next + syncOffset < end; next += packetBytes) {
          if (chunk.data[next + syncOffset - chunk.base] != kTsSyncByte) {
            bad = true;
            break;
          }
          good = next + packetBytes;
        }
        return false;
      });
  if (good != 0 && good < length) length = good;
  return length;
}

}  // namespace

uint64_t CFileTypeJudge::GetMPGFileBytesSize(const unsigned char* buf, int len) {
  // A bare video stream ends with a sequence end code, a program stream with a program end.
  const bool videoStream = BytesEqual(buf, Usable(buf, len), 0, kMpegSequenceHeader, sizeof kMpegSequenceHeader);
  const uint8_t* endCode = videoStream ? kMpegSequenceEnd : kMpegProgramEnd;
  return carving::SectorWalk(kVideoCap, &IsEndOfMPGFile, [&](const carving::WalkChunk& chunk, uint64_t& length) {
    const size_t end = carving::FindAcceptedTrailer(chunk.data, chunk.fileBytes, endCode, sizeof kMpegProgramEnd);
    if (end == carving::kNotFound) return false;
    length = chunk.base + end;
    return true;
  });
}

uint64_t CFileTypeJudge::GetMP4FileBytesSize(const unsigned char* /*buf*/, int /*len*/) {
  return carving::SectorWalk(kVideoCap, &IsEndOfFile, [](const carving::WalkChunk& chunk, uint64_t& length) {
    const size_t limit = chunk.fileBytes;
    const size_t p = carving::FindForward(chunk.data, limit, 0, kIsoMediaFreeText, sizeof kIsoMediaFreeText);
    if (p == carving::kNotFound) return false;
    size_t end = p + sizeof kIsoMediaFreeText;
    while (end < limit && chunk.data[end] != 0) ++end;
    length = chunk.base + end;
    return true;
  });
}

uint64_t CFileTypeJudge::GetRMVBFileBytesSize(const unsigned char* /*buf*/, int /*len*/) {
  return carving::SectorWalk(kVideoCap, &IsEndOfFile, [](const carving::WalkChunk& chunk, uint64_t& length) {
    const size_t p = carving::FindForward(chunk.data, chunk.fileBytes, 0, kRealMediaIndex, sizeof kRealMediaIndex);
    if (p == carving::kNotFound) return false;
    length = chunk.base + p + sizeof kRealMediaIndex;
    return true;
  });
}

uint64_t CFileTypeJudge::GetASFFileBytesSize(const unsigned char* buf, int len) {
  const size_t n = Usable(buf, len);
  const uint64_t oneSector = carving::SectorBytes();
  if (n < kAsfMinLength) return oneSector;
  const size_t q =
      carving::FindForward(buf, n, kAsfFirstObjectOffset, kAsfFilePropertiesGuid, sizeof kAsfFilePropertiesGuid);
  if (q == carving::kNotFound || !FieldFits(n, q + kAsfFlagsOffset, 4)) return oneSector;
  if ((ReadU32LE(buf, n, q + kAsfFlagsOffset) & kAsfBroadcastFlag) != 0) return oneSector;
  return std::min<uint64_t>(ReadU64LE(buf, n, q + kAsfFileSizeOffset), kDeclaredVideoCap);
}

uint64_t CFileTypeJudge::GetSWFFileBytesSize(const unsigned char* buf, int len) {
  const size_t n = Usable(buf, len);
  // A compressed movie declares its unpacked length, which says nothing about its own.
  if (n == 0 || buf[0] != kSwfPlainTag) return carving::SectorBytes();
  return std::min<uint64_t>(ReadU32LE(buf, n, kSwfFileLengthOffset), kDeclaredVideoCap);
}

uint64_t CFileTypeJudge::GetAVIFileBytesSize(const unsigned char* buf, int len) {
  const size_t n = Usable(buf, len);
  if (n < kAviMinLength) return carving::SectorBytes();
  return static_cast<uint32_t>(ReadU32LE(buf, n, kRiffSizeOffset) + kRiffHeaderBytes);
}

uint64_t CFileTypeJudge::GetDefaultVedioFileBytesSize(const unsigned char* /*buf*/, int /*len*/) {
  return carving::SectorWalk(kVideoCap);
}

uint64_t CFileTypeJudge::GetMKVFileBytes(const unsigned char* /*buf*/, int /*len*/) {
  return carving::SectorWalk(kLargeVideoCap);
}

uint64_t CFileTypeJudge::GetEbmlFileBytesSize(const unsigned char* buf, int len) {
  carving::FileBytes file;
  const size_t headerBytes = kEbmlIdBytes + kMostSizeBytes;
  const uint8_t* header = file.At(0, headerBytes);
  size_t sizeBytes = 0;
  uint64_t size = 0;
  if (header == nullptr || !ReadEbmlSize(header + kEbmlIdBytes, kMostSizeBytes, sizeBytes, size) ||
      size > kLargeVideoCap) {
    return GetMKVFileBytes(buf, len);
  }
  const uint64_t segment = kEbmlIdBytes + sizeBytes + size;
  const uint8_t* s = file.At(segment, headerBytes);
  if (s == nullptr || !BytesEqual(s, headerBytes, 0, kSegmentId, sizeof kSegmentId) ||
      !ReadEbmlSize(s + kEbmlIdBytes, kMostSizeBytes, sizeBytes, size) || size > kLargeVideoCap) {
    return GetMKVFileBytes(buf, len);
  }
  return segment + kEbmlIdBytes + sizeBytes + size;
}

uint64_t CFileTypeJudge::GetTSFileBytesSize(const unsigned char* buf, int len) {
  const uint64_t b = carving::SectorBytes();
  if (b == 0) return 0;
  const uint64_t length = PacketChainLength(buf, len, kTsPacketBytes, 0);
  m_tsFileRangeVec.push_back({m_u64StartSector, m_u64StartSector + (length + b - 1) / b - 1});
  return length;
}

uint64_t CFileTypeJudge::GetMTSFileBytesSize(const unsigned char* buf, int len) {
  return PacketChainLength(buf, len, kMtsPacketBytes, kMtsSyncOffset);
}

}  // namespace vorlenta
