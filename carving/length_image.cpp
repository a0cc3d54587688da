// Pictures other than JPEG: PNG and GIF end at their trailer, a bitmap and an icon declare
// their size, Photoshop and TIFF files end where the next file begins.
#include <algorithm>

#include "carving/file_length.h"
#include "format/signature_match.h"
#include "util/endian.h"

namespace vorlenta {

namespace {

using signature::Usable;

constexpr uint64_t kPictureCap = 0x8000000;  // 128 MiB

constexpr size_t kBmpMinLength = 6;
constexpr size_t kBmpFileSizeOffset = 2;

constexpr size_t kIcoCountOffset = 4;
constexpr size_t kIcoDirectoryOffset = 6;
constexpr size_t kIcoEntrySize = 16;
constexpr size_t kIcoEntryImageSizeOffset = 8;
constexpr size_t kIcoEntryImageOffsetOffset = 12;
constexpr uint32_t kIcoReadSectors = 128;  // 64 KiB of 512-byte sectors

// The PNG and GIF rule: a trailer in the first sector, else the first chunk with one.
uint64_t TrailerWalk(const unsigned char* buf, int len, bool (*tail)(const unsigned char*, int, uint64_t&)) {
  uint64_t offset = 0;
  if (tail(buf, len, offset)) return offset;
  return carving::SectorWalk(kPictureCap, &CFileTypeJudge::IsEndOfFile,
                             [&](const carving::WalkChunk& chunk, uint64_t& length) {
                               uint64_t end = 0;
                               if (!tail(chunk.data, static_cast<int>(chunk.fileBytes), end)) return false;
                               length = chunk.base + end;
                               return true;
                             });
}

}  // namespace

uint64_t CFileTypeJudge::GetPNGFileBytesSize(const unsigned char* buf, int len) {
  return TrailerWalk(buf, len, &GetPNGFileTailOffset);
}

uint64_t CFileTypeJudge::GetGIFFileBytesSize(const unsigned char* buf, int len) {
  return TrailerWalk(buf, len, &GetGIFFileTailOffset);
}

uint64_t CFileTypeJudge::GetBMPFileBytesSize(const unsigned char* buf, int len) {
  const size_t n = Usable(buf, len);
  if (n < kBmpMinLength) return 0;
  return std::min<uint64_t>(ReadU32LE(buf, n, kBmpFileSizeOffset), kPictureCap);
}

uint64_t CFileTypeJudge::GetICOFileBytesSize(const unsigned char* buf, int len) {
  const uint64_t sectorBytes = carving::SectorBytes();
  const uint8_t* data = buf;
  size_t n = Usable(buf, len);
  const size_t count = ReadU16LE(data, n, kIcoCountOffset);
  if (count == 0) return sectorBytes;
  // The images follow the directory back to back: the last one ends the file.
  const size_t last = kIcoDirectoryOffset + kIcoEntrySize * (count - 1);
  if (!FieldFits(n, last, kIcoEntrySize)) {
    n = carving::ReadFromFileStart(kIcoReadSectors);
    data = m_pReadBuf;
    if (!FieldFits(n, last, kIcoEntrySize)) return sectorBytes;
  }
  return static_cast<uint64_t>(ReadU32LE(data, n, last + kIcoEntryImageOffsetOffset)) +
         ReadU32LE(data, n, last + kIcoEntryImageSizeOffset);
}

uint64_t CFileTypeJudge::GetDefaultPictureFileBytesSize(const unsigned char* /*buf*/, int /*len*/) {
  return carving::SectorWalk(kPictureCap);
}

}  // namespace vorlenta
