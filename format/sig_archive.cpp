// Archives: gzip, 7z, ZIP, RAR and cabinet files.
#include "format/file_type_judge.h"
#include "format/signature_match.h"

namespace vorlenta {

namespace {

using signature::HasAtLeast;
using signature::Match;
using signature::MatchText;
using signature::Usable;

constexpr int kGzipMinLength = 16;
// Magic and the deflate method.
constexpr uint8_t kGzipStart[] = {0x1F, 0x8B, 0x08};
constexpr size_t kGzipFlagsOffset = 3;
constexpr uint8_t kGzipNoFlags = 0x00;
constexpr uint8_t kGzipNameFlag = 0x08;
// Extra flags: 2 for the slowest, 4 for the fastest compression.
constexpr size_t kGzipExtraFlagsOffset = 8;
constexpr uint8_t kGzipSlowest = 2;
constexpr uint8_t kGzipFastest = 4;
// Operating system: one of the 14 defined ones, or 255 for unknown.
constexpr size_t kGzipSystemOffset = 9;
constexpr uint8_t kGzipSystemCount = 14;
constexpr uint8_t kGzipSystemUnknown = 255;

constexpr int k7zMinLength = 5;
constexpr uint8_t k7zSignature[] = {0x37, 0x7A, 0xBC, 0xAF, 0x27};

constexpr int kZipMinLength = 48;
constexpr uint8_t kZipLocalHeader[] = {'P', 'K', 0x03, 0x04};

constexpr int kRarMinLength = 7;
// RAR 1.5 to 4.x marker block.
constexpr uint8_t kRarSignature[] = {'R', 'a', 'r', '!', 0x1A, 0x07, 0x00};

constexpr int kCabMinLength = 36;
constexpr char kCabTag[] = "MSCF";

}  // namespace

EXTEND_NAME_TYPE CFileTypeJudge::IsGzipType(const unsigned char* buf, int len) {
  if (!HasAtLeast(buf, len, kGzipMinLength)) return kTypeNone;
  if (!Match(buf, Usable(buf, len), 0, kGzipStart)) return kTypeNone;
  const uint8_t flags = buf[kGzipFlagsOffset];
  if (flags != kGzipNoFlags && flags != kGzipNameFlag) return kTypeNone;
  const uint8_t extra = buf[kGzipExtraFlagsOffset];
  if (extra != kGzipSlowest && extra != kGzipFastest) return kTypeNone;
  const uint8_t system = buf[kGzipSystemOffset];
  return system < kGzipSystemCount || system == kGzipSystemUnknown ? kTypeGzip : kTypeNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::Is7zType(const unsigned char* buf, int len) {
  if (!HasAtLeast(buf, len, k7zMinLength)) return kTypeNone;
  return Match(buf, Usable(buf, len), 0, k7zSignature) ? kType7z : kTypeNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsZipType(const unsigned char* buf, int len) {
  if (!HasAtLeast(buf, len, kZipMinLength)) return kTypeNone;
  return Match(buf, Usable(buf, len), 0, kZipLocalHeader) ? kTypeZip : kTypeNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsRarType(const unsigned char* buf, int len) {
  if (!HasAtLeast(buf, len, kRarMinLength)) return kTypeNone;
  return Match(buf, Usable(buf, len), 0, kRarSignature) ? kTypeRar : kTypeNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsCabType(const unsigned char* buf, int len) {
  if (!HasAtLeast(buf, len, kCabMinLength)) return kTypeNone;
  return MatchText(buf, Usable(buf, len), 0, kCabTag) ? kTypeCab : kTypeNone;
}

}  // namespace vorlenta
