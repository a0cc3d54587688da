// JPEG: the end-of-image marker, sought in every chunk the walk passes, since a camera picture
// carries a thumbnail whose own marker comes first.
#include "carving/file_length.h"

namespace vorlenta {

namespace {

constexpr uint64_t kJpegCap = 0x8000000;  // 128 MiB

}  // namespace

uint64_t CFileTypeJudge::GetJPGFileBytesSize(const unsigned char* buf, int len) {
  uint64_t offset = 0;
  if (GetJPGFileTailOffset(buf, len, offset)) return offset;
  // The last accepted marker wins: the thumbnail's, if any, comes before the picture's own.
  uint64_t candidate = 0;
  const uint64_t walked = carving::SectorWalk(kJpegCap, &IsEndOfFile, [&](const carving::WalkChunk& chunk, uint64_t&) {
    uint64_t tail = 0;
    if (GetJPGFileTailOffset(chunk.data, static_cast<int>(chunk.fileBytes), tail)) candidate = chunk.base + tail;
    return false;
  });
  return candidate != 0 && candidate < walked ? candidate : walked;
}

}  // namespace vorlenta
