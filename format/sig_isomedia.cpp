// ISO base media files: MPEG-4, 3GPP and QuickTime, HEIF pictures, iTunes audio and video and
// Canon's CR3, told apart by the brands of the ftyp box; JPEG 2000 files share the box layout.
#include "format/file_type_judge.h"
#include "format/signature_match.h"

namespace vorlenta {

namespace {

using signature::HasAtLeast;
using signature::MatchText;
using signature::Usable;

constexpr int kMp4MinLength = 32;
constexpr int k3gpMinLength = 32;
constexpr int kMovMinLength = 16;
constexpr size_t kBoxTypeOffset = 4;
constexpr size_t kMajorBrandOffset = 8;
constexpr char kFileTypeBox[] = "ftyp";
// A file type box lists a few brands, far fewer than would take 16 MiB, so the first byte of
// its size is zero; the detection walk calls these tests only for sectors that start so.
constexpr uint8_t kSmallBoxSizeByte = 0x00;
constexpr char kMovieBox[] = "moov";
constexpr char kIsoBrandPrefix[] = "iso";
constexpr char kMp42Brand[] = "mp42";
constexpr char k3gpBrandPrefix[] = "3gp";
constexpr char kQuickTimeBrand[] = "qt  ";

constexpr int kBrandMinLength = 16;
constexpr size_t kBoxSizeOffset = 0;
constexpr uint32_t kMostFileTypeBoxBytes = 4096;
constexpr size_t kCompatibleBrandsOffset = 16;
constexpr size_t kBrandBytes = 4;
struct Brand {
  char name[5];
  EXTEND_NAME_TYPE type;
};
const Brand kMajorBrands[] = {
    {"heic", kTypeHeic}, {"heix", kTypeHeic}, {"heim", kTypeHeic}, {"heis", kTypeHeic}, {"avif", kTypeAvif},
    {"avis", kTypeAvif}, {"mif1", kTypeHeif}, {"msf1", kTypeHeif}, {"M4A ", kTypeM4a}, {"M4P ", kTypeM4a},
    {"M4B ", kTypeM4b},  {"M4V ", kTypeM4v},  {"M4VH", kTypeM4v},  {"M4VP", kTypeM4v},  {"crx ", kTypeCr3},
};
// A generic HEIF major brand is made precise by a compatible one.
const Brand kPreciseImageBrands[] = {{"avif", kTypeAvif}, {"heic", kTypeHeic}};

// The signature box of a JPEG 2000 file.
constexpr int kJp2MinLength = 12;
constexpr uint8_t kJp2Signature[] = {0x00, 0x00, 0x00, 0x0C, 'j', 'P', ' ', ' ', 0x0D, 0x0A, 0x87, 0x0A};

}  // namespace

EXTEND_NAME_TYPE CFileTypeJudge::IsMp4Type(const unsigned char* buf, int len) {
  if (!HasAtLeast(buf, len, kMp4MinLength)) return kTypeNone;
  const size_t n = Usable(buf, len);
  if (buf[0] != kSmallBoxSizeByte || !MatchText(buf, n, kBoxTypeOffset, kFileTypeBox)) return kTypeNone;
  if (MatchText(buf, n, kMajorBrandOffset, kIsoBrandPrefix) || MatchText(buf, n, kMajorBrandOffset, kMp42Brand)) {
    return kTypeMp4;
  }
  return kTypeNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::Is3pgType(const unsigned char* buf, int len) {
  if (!HasAtLeast(buf, len, k3gpMinLength)) return kTypeNone;
  const size_t n = Usable(buf, len);
  if (buf[0] == kSmallBoxSizeByte && MatchText(buf, n, kBoxTypeOffset, kFileTypeBox) &&
      MatchText(buf, n, kMajorBrandOffset, k3gpBrandPrefix)) {
    return kType3gp;
  }
  return kTypeNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsMovType(const unsigned char* buf, int len) {
  if (!HasAtLeast(buf, len, kMovMinLength)) return kTypeNone;
  const size_t n = Usable(buf, len);
  if (MatchText(buf, n, 0, kMovieBox)) return kTypeMov;
  if (buf[0] == kSmallBoxSizeByte && MatchText(buf, n, kBoxTypeOffset, kFileTypeBox) &&
      MatchText(buf, n, kMajorBrandOffset, kQuickTimeBrand)) {
    return kTypeMov;
  }
  return kTypeNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsIsoMediaBrandType(const unsigned char* buf, int len) {
  if (!HasAtLeast(buf, len, kBrandMinLength)) return kTypeNone;
  const size_t n = Usable(buf, len);
  if (!MatchText(buf, n, kBoxTypeOffset, kFileTypeBox)) return kTypeNone;
  const uint32_t boxBytes = ReadU32BE(buf, n, kBoxSizeOffset);
  if (boxBytes < kBrandMinLength || boxBytes > kMostFileTypeBoxBytes) return kTypeNone;
  EXTEND_NAME_TYPE type = kTypeNone;
  for (const Brand& b : kMajorBrands) {
    if (BytesEqual(buf, n, kMajorBrandOffset, b.name, kBrandBytes)) type = b.type;
  }
  if (type != kTypeHeif) return type;
  for (size_t at = kCompatibleBrandsOffset; at + kBrandBytes <= boxBytes && at + kBrandBytes <= n; at += kBrandBytes) {
    for (const Brand& b : kPreciseImageBrands) {
      if (BytesEqual(buf, n, at, b.name, kBrandBytes)) return b.type;
    }
  }
  return type;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsJp2Type(const unsigned char* buf, int len) {
  if (!HasAtLeast(buf, len, kJp2MinLength)) return kTypeNone;
  return signature::Match(buf, Usable(buf, len), 0, kJp2Signature) ? kTypeJp2 : kTypeNone;
}

}  // namespace vorlenta
