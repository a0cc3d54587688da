// JPEG: the end-of-image marker, sought in every chunk the walk passes, since a camera picture
// carries a thumbnail whose own marker comes first. The marker segments before the scan (the
// Exif block with its thumbnail among them) state their lengths, so the walk passes them
// without the end test: a thumbnail that starts on a sector boundary is not another file.
#include "carving/file_length.h"
#include "util/endian.h"

namespace vorlenta {

namespace {

constexpr uint64_t kJpegCap = 0x8000000;  // 128 MiB
constexpr uint64_t kFirstSegmentOffset = 2;
constexpr uint8_t kMarkerByte = 0xFF;
constexpr uint8_t kStartOfScan = 0xDA;
constexpr size_t kSegmentHeaderBytes = 4;  // marker and length
constexpr int kMostSegments = 256;

// The offset of the start-of-scan marker, from the chain of segment lengths; 0 when the chain
// breaks first.
uint64_t ScanOffset() {
  carving::FileBytes file;
  uint64_t pos = kFirstSegmentOffset;
  for (int k = 0; k < kMostSegments && pos < kJpegCap; ++k) {
    const uint8_t* segment = file.At(pos, kSegmentHeaderBytes);
    if (segment == nullptr || segment[0] != kMarkerByte) return 0;
    if (segment[1] == kStartOfScan) return pos;
    pos += 2 + ReadU16BE(segment, kSegmentHeaderBytes, 2);
  }
  return 0;
}

}  // namespace

uint64_t CFileTypeJudge::GetJPGFileBytesSize(const unsigned char* buf, int len) {
  const uint64_t scan = ScanOffset();
  uint64_t offset = 0;
  if (GetJPGFileTailOffset(buf, len, offset) && offset > scan) return offset;
  // The last accepted marker wins: the thumbnail's, if any, comes before the picture's own.
  uint64_t candidate = 0;
  const uint64_t walked = carving::SectorWalk(
      kJpegCap, &IsEndOfFile,
      [&](const carving::WalkChunk& chunk, uint64_t&) {
        uint64_t tail = 0;
        if (GetJPGFileTailOffset(chunk.data, static_cast<int>(chunk.fileBytes), tail) && chunk.base + tail > scan) {
          candidate = chunk.base + tail;
        }
        return false;
      },
      scan);
  return candidate != 0 && candidate < walked ? candidate : walked;
}

}  // namespace vorlenta
