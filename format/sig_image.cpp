// Other pictures: GIF, BMP, PNG, Photoshop, TIFF, icons, JPEG 2000 codestreams, portable
// bitmaps, GIMP images and Targa files.
#include "format/file_type_judge.h"
#include "format/picture_headers.h"
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

// A codestream opens with its start marker and the size segment, whose length is 38 bytes
// plus three for each component.
constexpr int kJ2kMinLength = 8;
constexpr uint8_t kJ2kStart[] = {0xFF, 0x4F, 0xFF, 0x51};
constexpr size_t kJ2kSizeLengthOffset = 4;
constexpr uint16_t kJ2kSizeMinLength = 41;

constexpr int kPnmMinLength = 8;
constexpr uint8_t kPnmTag = 'P';
constexpr uint64_t kPnmMaxDimension = 1u << 20;
constexpr uint64_t kPnmMaxSample = 65535;
constexpr uint64_t kPnmWideSample = 255;  // above it a sample takes two bytes

constexpr int kXcfMinLength = 14;
constexpr char kXcfTag[] = "gimp xcf ";
constexpr size_t kXcfVersionOffset = 9;
constexpr char kXcfFirstVersion[] = "file";
constexpr char kXcfVersionPrefix[] = "v0";
constexpr size_t kXcfVersionEnd = 13;

// Targa header fields.
constexpr size_t kTgaColorMapTypeOffset = 1;
constexpr size_t kTgaImageTypeOffset = 2;
constexpr size_t kTgaColorMapSpecOffset = 3;
constexpr size_t kTgaColorMapSpecBytes = 5;
constexpr size_t kTgaColorMapLengthOffset = 5;
constexpr size_t kTgaColorMapDepthOffset = 7;
constexpr size_t kTgaWidthOffset = 12;
constexpr size_t kTgaHeightOffset = 14;
constexpr size_t kTgaPixelDepthOffset = 16;
constexpr size_t kTgaDescriptorOffset = 17;
// Interleaving (the top two bits) was never used; the low four bits count alpha bits.
constexpr uint8_t kTgaInterleaveBits = 0xC0;
constexpr uint8_t kTgaAlphaBits = 0x0F;
constexpr uint8_t kTgaMostAlphaBits = 8;
constexpr uint8_t kTgaRunLengthTypes = 0x08;  // types 9 to 11 are 1 to 3 run-length coded
constexpr uint8_t kTgaLastPlainType = 3;

bool IsPnmSpace(uint8_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool TgaDepthValid(uint8_t depth) { return depth == 8 || depth == 15 || depth == 16 || depth == 24 || depth == 32; }

}  // namespace

bool ParsePnmHeader(const uint8_t* buf, size_t len, PnmHeader& header) {
  if (buf == nullptr || len < 3 || buf[0] != kPnmTag || buf[1] < '1' || buf[1] > '6') return false;
  header = PnmHeader();
  header.kind = static_cast<char>(buf[1]);
  const bool bitmap = header.kind == '1' || header.kind == '4';
  uint64_t* fields[] = {&header.width, &header.height, &header.maxValue};
  const size_t count = bitmap ? 2 : 3;
  size_t p = 2;
  for (size_t f = 0; f < count; ++f) {
    // At least one whitespace, and comments from "#" to the line end, before each number.
    if (p >= len || (!IsPnmSpace(buf[p]) && buf[p] != '#')) return false;
    while (p < len && (IsPnmSpace(buf[p]) || buf[p] == '#')) {
      if (buf[p] == '#') {
        while (p < len && buf[p] != '\n') ++p;
      } else {
        ++p;
      }
    }
    if (p >= len || !signature::IsAsciiDigit(buf[p])) return false;
    uint64_t value = 0;
    while (p < len && signature::IsAsciiDigit(buf[p]) && value <= kPnmMaxDimension)
      value = value * 10 + (buf[p++] - '0');
    *fields[f] = value;
  }
  if (p >= len || !IsPnmSpace(buf[p])) return false;
  if (header.width == 0 || header.height == 0 || header.width > kPnmMaxDimension || header.height > kPnmMaxDimension)
    return false;
  if (header.maxValue == 0 || header.maxValue > kPnmMaxSample) return false;
  header.dataOffset = p + 1;
  return true;
}

uint64_t PnmDataBytes(const PnmHeader& h) {
  const uint64_t sampleBytes = h.maxValue > kPnmWideSample ? 2 : 1;
  switch (h.kind) {
    case '4':
      return (h.width + 7) / 8 * h.height;
    case '5':
      return h.width * h.height * sampleBytes;
    case '6':
      return h.width * h.height * 3 * sampleBytes;
    default:
      return 0;
  }
}

bool ParseTgaHeader(const uint8_t* buf, size_t len, TgaHeader& h) {
  if (buf == nullptr || len < kTgaHeaderBytes) return false;
  const uint8_t type = buf[kTgaImageTypeOffset] & ~kTgaRunLengthTypes;
  if (buf[kTgaColorMapTypeOffset] > 1 || type == 0 || type > kTgaLastPlainType) return false;
  // Writers leave the image id out; asking for that lets the detection walk call this test
  // only for sectors that start with a zero.
  if (buf[0] != 0) return false;
  h.idLength = buf[0];
  h.colorMapType = buf[kTgaColorMapTypeOffset];
  h.imageType = buf[kTgaImageTypeOffset];
  h.colorMapLength = ReadU16LE(buf, len, kTgaColorMapLengthOffset);
  h.colorMapDepth = buf[kTgaColorMapDepthOffset];
  h.width = ReadU16LE(buf, len, kTgaWidthOffset);
  h.height = ReadU16LE(buf, len, kTgaHeightOffset);
  h.pixelDepth = buf[kTgaPixelDepthOffset];
  const uint8_t descriptor = buf[kTgaDescriptorOffset];
  const bool mapped = h.imageType == 1 || h.imageType == 9;
  const bool plain = h.imageType == 2 || h.imageType == 3 || h.imageType == 10 || h.imageType == 11;
  if (!mapped && !plain) return false;
  if (h.colorMapType != (mapped ? 1 : 0)) return false;
  if (mapped) {
    if (h.colorMapLength == 0 || !TgaDepthValid(h.colorMapDepth) || h.pixelDepth != 8) return false;
  } else {
    // Without a colour map its five bytes of description are zero.
    for (size_t i = 0; i < kTgaColorMapSpecBytes; ++i) {
      if (buf[kTgaColorMapSpecOffset + i] != 0) return false;
    }
  }
  if (h.width == 0 || h.height == 0 || !TgaDepthValid(h.pixelDepth)) return false;
  return (descriptor & kTgaInterleaveBits) == 0 && (descriptor & kTgaAlphaBits) <= kTgaMostAlphaBits;
}

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

EXTEND_NAME_TYPE CFileTypeJudge::IsJ2kType(const unsigned char* buf, int len) {
  if (!HasAtLeast(buf, len, kJ2kMinLength)) return kTypeNone;
  const size_t n = Usable(buf, len);
  if (!Match(buf, n, 0, kJ2kStart)) return kTypeNone;
  return ReadU16BE(buf, n, kJ2kSizeLengthOffset) >= kJ2kSizeMinLength ? kTypeJ2k : kTypeNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsPnmType(const unsigned char* buf, int len) {
  if (!HasAtLeast(buf, len, kPnmMinLength)) return kTypeNone;
  PnmHeader header;
  if (!ParsePnmHeader(buf, Usable(buf, len), header)) return kTypeNone;
  if (header.kind == '1' || header.kind == '4') return kTypePbm;
  return header.kind == '2' || header.kind == '5' ? kTypePgm : kTypePpm;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsXcfType(const unsigned char* buf, int len) {
  if (!HasAtLeast(buf, len, kXcfMinLength)) return kTypeNone;
  const size_t n = Usable(buf, len);
  if (!MatchText(buf, n, 0, kXcfTag)) return kTypeNone;
  const bool version = MatchText(buf, n, kXcfVersionOffset, kXcfFirstVersion) ||
                       (MatchText(buf, n, kXcfVersionOffset, kXcfVersionPrefix) &&
                        IsAsciiDigit(buf[kXcfVersionOffset + 2]) && IsAsciiDigit(buf[kXcfVersionOffset + 3]));
  return version && buf[kXcfVersionEnd] == 0 ? kTypeXcf : kTypeNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsTgaType(const unsigned char* buf, int len) {
  TgaHeader header;
  return ParseTgaHeader(buf, Usable(buf, len), header) ? kTypeTga : kTypeNone;
}

}  // namespace vorlenta
