// ISO base media and JPEG 2000 files: a chain of top-level boxes, each opened by its size and
// type, from the first box to the last one whose header is whole and of a known type. A box
// sized "to the end of the file" leaves the end unknown; MPEG-4 then falls back to its trailer
// text and the end test.
#include <algorithm>

#include "carving/file_length.h"
#include "util/endian.h"

namespace vorlenta {

namespace {

constexpr uint64_t kIsoMediaCap = 0x1000000000;  // 64 GiB
constexpr size_t kBoxHeaderBytes = 8;
constexpr size_t kLargeBoxHeaderBytes = 16;
constexpr uint32_t kLargeSizeMark = 1;
constexpr uint32_t kToEndOfFileMark = 0;
constexpr size_t kBoxTypeOffset = 4;
constexpr size_t kLargeSizeOffset = 8;
constexpr size_t kBoxTypeBytes = 4;
constexpr int kMostBoxes = 100000;

// The box types that stand at the top level of the files carved this way. Data after a file
// rarely begins with one of them, so the chain stops there.
constexpr char kTopLevelBoxes[][5] = {
    "ftyp", "moov", "mdat", "free", "skip", "wide", "meta", "uuid", "moof", "mfra", "pdin", "styp", "sidx", "ssix",
    "prft", "emsg", "pnot", "junk", "udta", "jP  ", "jp2h", "jp2c", "jp2i", "xml ", "uinf", "res ", "rreq",
};

bool IsTopLevelBox(const uint8_t* type) {
  for (const char* known : kTopLevelBoxes) {
    if (BytesEqual(type, kBoxTypeBytes, 0, known, kBoxTypeBytes)) return true;
  }
  return false;
}

}  // namespace

namespace carving {

uint64_t IsoBoxChainEnd(uint64_t cap) {
  FileBytes file;
  uint64_t pos = 0;
  int boxes = 0;
  for (; boxes < kMostBoxes && pos < cap; ++boxes) {
    const uint8_t* box = file.At(pos, kBoxHeaderBytes);
    if (box == nullptr || !IsTopLevelBox(box + kBoxTypeOffset)) break;
    const uint32_t size = ReadU32BE(box, kBoxHeaderBytes, 0);
    uint64_t bytes = size;
    if (size == kToEndOfFileMark) return 0;
    if (size == kLargeSizeMark) {
      const uint8_t* large = file.At(pos, kLargeBoxHeaderBytes);
      if (large == nullptr) break;
      bytes = ReadU64BE(large, kLargeBoxHeaderBytes, kLargeSizeOffset);
      if (bytes < kLargeBoxHeaderBytes) break;
    } else if (bytes < kBoxHeaderBytes) {
      break;
    }
    if (bytes > cap - pos) return 0;
    pos += bytes;
  }
  // A lone box says nothing of what follows it.
  return boxes >= 2 ? pos : 0;
}

}  // namespace carving

uint64_t CFileTypeJudge::GetIsoMediaFileBytesSize(const unsigned char* buf, int len) {
  const uint64_t end = carving::IsoBoxChainEnd(kIsoMediaCap);
  return end != 0 ? end : GetMP4FileBytesSize(buf, len);
}

}  // namespace vorlenta
