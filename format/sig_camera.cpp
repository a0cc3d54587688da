// Camera raw files: the TIFF-based kinds (told apart by their own magic, or by the maker and
// DNG version tags of the first directory), Fujifilm's RAF header, and Canon's CR3, which is
// ISO media (its brand is read with the other ISO media brands).
#include <cstring>

#include "format/file_type_judge.h"
#include "format/signature_match.h"

namespace vorlenta {

namespace {

using signature::HasAtLeast;
using signature::Match;
using signature::MatchText;
using signature::Usable;

constexpr int kRawMinLength = 16;
constexpr char kRafTag[] = "FUJIFILMCCD-RAW ";
// Olympus and Panasonic keep the TIFF layout under magic numbers of their own.
constexpr uint8_t kOrfLittle[] = {'I', 'I', 'R', 'O'};
constexpr uint8_t kOrfSmall[] = {'I', 'I', 'R', 'S'};
constexpr uint8_t kOrfBig[] = {'M', 'M', 'O', 'R'};
constexpr uint8_t kRw2Magic[] = {'I', 'I', 'U', 0x00};
constexpr uint8_t kTiffLittle[] = {'I', 'I', 0x2A, 0x00};
constexpr uint8_t kTiffBig[] = {'M', 'M', 0x00, 0x2A};
// A CR2 file marks itself after the first directory's offset, with major version 2.
constexpr size_t kCr2TagOffset = 8;
constexpr uint8_t kCr2Tag[] = {'C', 'R', 0x02};

constexpr size_t kFirstIfdPointerOffset = 4;
constexpr size_t kIfdEntryBytes = 12;
constexpr size_t kIfdEntryCountBytes = 2;
constexpr uint16_t kMakeTag = 0x010F;
constexpr uint16_t kDngVersionTag = 0xC612;
constexpr uint16_t kAsciiType = 2;
constexpr size_t kInlineValueBytes = 4;
constexpr uint16_t kMostIfdEntries = 512;

struct MakerType {
  const char* prefix;
  EXTEND_NAME_TYPE type;
};
const MakerType kMakers[] = {
    {"NIKON", kTypeNef}, {"SONY", kTypeArw}, {"PENTAX", kTypePef}, {"RICOH", kTypePef}, {"Canon", kTypeCr2},
};

uint16_t Read16(const uint8_t* buf, size_t n, size_t off, bool big) {
  return big ? ReadU16BE(buf, n, off) : ReadU16LE(buf, n, off);
}
uint32_t Read32(const uint8_t* buf, size_t n, size_t off, bool big) {
  return big ? ReadU32BE(buf, n, off) : ReadU32LE(buf, n, off);
}

// The kind a plain TIFF header's first directory names, or kTypeNone (an ordinary TIFF, or a
// directory outside the buffer).
EXTEND_NAME_TYPE TiffMakerType(const uint8_t* buf, size_t n, bool big) {
  const uint32_t ifd = Read32(buf, n, kFirstIfdPointerOffset, big);
  if (!FieldFits(n, ifd, kIfdEntryCountBytes)) return kTypeNone;
  const uint16_t count = Read16(buf, n, ifd, big);
  if (count == 0 || count > kMostIfdEntries) return kTypeNone;
  EXTEND_NAME_TYPE maker = kTypeNone;
  for (size_t k = 0; k < count; ++k) {
    const size_t entry = ifd + kIfdEntryCountBytes + kIfdEntryBytes * k;
    if (!FieldFits(n, entry, kIfdEntryBytes)) break;
    const uint16_t tag = Read16(buf, n, entry, big);
    if (tag == kDngVersionTag) return kTypeDng;
    if (tag != kMakeTag || Read16(buf, n, entry + 2, big) != kAsciiType) continue;
    const uint32_t chars = Read32(buf, n, entry + 4, big);
    const size_t at = chars <= kInlineValueBytes ? entry + 8 : Read32(buf, n, entry + 8, big);
    for (const MakerType& m : kMakers) {
      const size_t length = std::strlen(m.prefix);
      if (chars >= length && BytesEqual(buf, n, at, m.prefix, length)) maker = m.type;
    }
  }
  return maker;
}

}  // namespace

EXTEND_NAME_TYPE CFileTypeJudge::IsCameraRawType(const unsigned char* buf, int len) {
  if (!HasAtLeast(buf, len, kRawMinLength)) return kTypeNone;
  const size_t n = Usable(buf, len);
  if (MatchText(buf, n, 0, kRafTag)) return kTypeRaf;
  if (Match(buf, n, 0, kOrfLittle) || Match(buf, n, 0, kOrfSmall) || Match(buf, n, 0, kOrfBig)) return kTypeOrf;
  if (Match(buf, n, 0, kRw2Magic)) return kTypeRw2;
  const bool little = Match(buf, n, 0, kTiffLittle);
  if (!little && !Match(buf, n, 0, kTiffBig)) return kTypeNone;
  if (little && Match(buf, n, kCr2TagOffset, kCr2Tag)) return kTypeCr2;
  return TiffMakerType(buf, n, !little);
}

}  // namespace vorlenta
