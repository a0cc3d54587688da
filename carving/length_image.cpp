// Pictures other than JPEG: PNG and GIF end at their trailer, a bitmap and an icon declare
// their size, Photoshop files end where the next file begins; binary portable bitmaps and
// Targa files end after the pixels their header counts, a JPEG 2000 codestream at its end
// marker.
#include <algorithm>

#include "carving/file_length.h"
#include "format/picture_headers.h"
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

constexpr uint8_t kJ2kEndOfCodestream[] = {0xFF, 0xD9};

// A Targa 2.0 footer: extension and developer offsets, then this text.
constexpr size_t kTgaFooterBytes = 26;
constexpr size_t kTgaFooterTextOffset = 8;
constexpr char kTgaFooterText[] = "TRUEVISION-XFILE.";
constexpr uint8_t kTgaRunFlag = 0x80;
constexpr uint8_t kTgaCountMask = 0x7F;
constexpr size_t kTgaReadStep = 4096;

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

uint64_t CFileTypeJudge::GetPnmFileBytesSize(const unsigned char* buf, int len) {
  PnmHeader header;
  if (!ParsePnmHeader(buf, Usable(buf, len), header)) return carving::SectorBytes();
  const uint64_t data = PnmDataBytes(header);
  // The text kinds record no length.
  if (data == 0) return GetDefaultPictureFileBytesSize(buf, len);
  return std::min<uint64_t>(header.dataOffset + data, kPictureCap);
}

uint64_t CFileTypeJudge::GetTgaFileBytesSize(const unsigned char* buf, int len) {
  TgaHeader header;
  if (!ParseTgaHeader(buf, Usable(buf, len), header)) return carving::SectorBytes();
  const uint64_t pixelBytes = TgaPixelBytes(header);
  uint64_t pixels = static_cast<uint64_t>(header.width) * header.height;
  uint64_t end = TgaPixelOffset(header);
  carving::FileBytes file;
  if (!TgaIsRunLength(header)) {
    end += pixels * pixelBytes;
  } else {
    // Run-length packets: a count byte, then one pixel for a run or `count` pixels raw.
    while (pixels > 0 && end < kPictureCap) {
      size_t got = kTgaReadStep;
      const uint8_t* data = file.Span(end, got);
      if (data == nullptr) return std::min(end, kPictureCap);
      size_t at = 0;
      while (pixels > 0 && at < got) {
        const uint64_t count = std::min<uint64_t>((data[at] & kTgaCountMask) + 1u, pixels);
        const uint64_t bytes = 1 + ((data[at] & kTgaRunFlag) != 0 ? pixelBytes : count * pixelBytes);
        pixels -= count;
        end += bytes;
        at += bytes;
      }
    }
  }
  const uint8_t* footer = file.At(end, kTgaFooterBytes);
  if (footer != nullptr &&
      BytesEqual(footer, kTgaFooterBytes, kTgaFooterTextOffset, kTgaFooterText, sizeof kTgaFooterText))
    end += kTgaFooterBytes;
  return std::min(end, kPictureCap);
}

uint64_t CFileTypeJudge::GetJ2kFileBytesSize(const unsigned char* buf, int len) {
  // Packet data never holds FF followed by a byte above 8F, so the first FF D9 ends the stream.
  return carving::SectorWalkFromFirst(
      buf, len, kPictureCap, &IsEndOfFile, [](const carving::WalkChunk& chunk, uint64_t& length) {
        const size_t p =
            carving::FindForward(chunk.data, chunk.fileBytes, 0, kJ2kEndOfCodestream, sizeof kJ2kEndOfCodestream);
        if (p == carving::kNotFound) return false;
        length = chunk.base + p + sizeof kJ2kEndOfCodestream;
        return true;
      });
}

}  // namespace vorlenta
