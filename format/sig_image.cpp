// Other pictures: GIF, BMP, PNG, Photoshop, TIFF and icons.
#include "format/file_type_judge.h"
#include "format/signature_match.h"

namespace vorlenta {

namespace {

using signature::HasAtLeast;
using signature::IsAsciiDigit;
using signature::Match;
using signature::MatchText;
using signature::Usable;

constexpr int kGifMinLength = 8;
constexpr char kGifTag[] = "GIF";
// "87a" or "89a": two digits and a letter.
constexpr size_t kGifVersionOffset = 3;

constexpr int kBmpMinLength = 40;
constexpr char kBmpTag[] = "BM";
constexpr char kBmpArrayTag[] = "BA";
constexpr size_t kBmpReserved1Offset = 6;
constexpr size_t kBmpReserved2Offset = 8;
constexpr size_t kBmpInfoHeaderSizeOffset = 14;
// Only the classic BITMAPINFOHEADER.
constexpr uint32_t kBmpInfoHeaderSize = 40;

constexpr int kPngMinLength = 8;
constexpr uint8_t kPngSignature[] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};

constexpr int kPsdMinLength = 40;
constexpr char kPsdTag[] = "8BPS";

constexpr int kTifMinLength = 4;
constexpr uint8_t kTifLittleEndian[] = {0x49, 0x49, 0x2A, 0x00};
constexpr uint8_t kTifBigEndian[] = {0x4D, 0x4D, 0x00, 0x2A};

constexpr int kIcoMinLength = 16;
constexpr uint8_t kIcoHeader[] = {0x00, 0x00, 0x01, 0x00};
constexpr size_t kIcoCountOffset = 4;
constexpr size_t kIcoDirectoryOffset = 6;
constexpr size_t kIcoEntrySize = 16;
constexpr size_t kIcoEntryReservedOffset = 3;
constexpr size_t kIcoEntryImageSizeOffset = 8;
constexpr size_t kIcoEntryImageOffsetOffset = 12;

}  // namespace

EXTEND_NAME_TYPE CFileTypeJudge::IsGifType(const unsigned char* buf, int len) {
  if (!HasAtLeast(buf, len, kGifMinLength)) return kTypeNone;
  if (!MatchText(buf, Usable(buf, len), 0, kGifTag)) return kTypeNone;
  const uint8_t letter = buf[kGifVersionOffset + 2];
  if (IsAsciiDigit(buf[kGifVersionOffset]) && IsAsciiDigit(buf[kGifVersionOffset + 1]) && letter >= 'a' &&
      letter <= 'z') {
    return kTypeGif;
  }
  return kTypeNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsBmpType(const unsigned char* buf, int len) {
  if (!HasAtLeast(buf, len, kBmpMinLength)) return kTypeNone;
  const size_t n = Usable(buf, len);
  if (!MatchText(buf, n, 0, kBmpTag) && !MatchText(buf, n, 0, kBmpArrayTag)) return kTypeNone;
  if (ReadU16LE(buf, n, kBmpReserved1Offset) != 0 || ReadU16LE(buf, n, kBmpReserved2Offset) != 0) return kTypeNone;
  return ReadU32LE(buf, n, kBmpInfoHeaderSizeOffset) == kBmpInfoHeaderSize ? kTypeBmp : kTypeNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsPngType(const unsigned char* buf, int len) {
  if (!HasAtLeast(buf, len, kPngMinLength)) return kTypeNone;
  return Match(buf, Usable(buf, len), 0, kPngSignature) ? kTypePng : kTypeNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsPsdType(const unsigned char* buf, int len) {
  if (!HasAtLeast(buf, len, kPsdMinLength)) return kTypeNone;
  return MatchText(buf, Usable(buf, len), 0, kPsdTag) ? kTypePsd : kTypeNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsTifType(const unsigned char* buf, int len) {
  if (!HasAtLeast(buf, len, kTifMinLength)) return kTypeNone;
  const size_t n = Usable(buf, len);
  return Match(buf, n, 0, kTifLittleEndian) || Match(buf, n, 0, kTifBigEndian) ? kTypeTif : kTypeNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsIcoType(const unsigned char* buf, int len) {
  if (!HasAtLeast(buf, len, kIcoMinLength)) return kTypeNone;
  const size_t n = Usable(buf, len);
  if (!Match(buf, n, 0, kIcoHeader)) return kTypeNone;
  const size_t count = ReadU16LE(buf, n, kIcoCountOffset);
  if (count == 0) return kTypeNone;
  const size_t directoryEnd = kIcoDirectoryOffset + kIcoEntrySize * count;
  if (directoryEnd > n) return kTypeNone;
  // The images follow the directory back to back, in directory order.
  uint64_t expected = directoryEnd;
  for (size_t k = 0; k < count; ++k) {
    const size_t entry = kIcoDirectoryOffset + kIcoEntrySize * k;
    if (buf[entry + kIcoEntryReservedOffset] != 0) return kTypeNone;
    if (ReadU32LE(buf, n, entry + kIcoEntryImageOffsetOffset) != expected) return kTypeNone;
    expected += ReadU32LE(buf, n, entry + kIcoEntryImageSizeOffset);
  }
  return kTypeIco;
}

}  // namespace vorlenta
