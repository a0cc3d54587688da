// ISO base media files: MPEG-4, 3GPP and QuickTime, told apart by the brand of the ftyp box.
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
constexpr char kMovieBox[] = "moov";
constexpr char kIsoBrandPrefix[] = "iso";
constexpr char kMp42Brand[] = "mp42";
constexpr char k3gpBrandPrefix[] = "3gp";
constexpr char kQuickTimeBrand[] = "qt  ";

}  // namespace

EXTEND_NAME_TYPE CFileTypeJudge::IsMp4Type(const unsigned char* buf, int len) {
  if (!HasAtLeast(buf, len, kMp4MinLength)) return kTypeNone;
  const size_t n = Usable(buf, len);
  if (!MatchText(buf, n, kBoxTypeOffset, kFileTypeBox)) return kTypeNone;
  if (MatchText(buf, n, kMajorBrandOffset, kIsoBrandPrefix) || MatchText(buf, n, kMajorBrandOffset, kMp42Brand)) {
    return kTypeMp4;
  }
  return kTypeNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::Is3pgType(const unsigned char* buf, int len) {
  if (!HasAtLeast(buf, len, k3gpMinLength)) return kTypeNone;
  const size_t n = Usable(buf, len);
  if (MatchText(buf, n, kBoxTypeOffset, kFileTypeBox) && MatchText(buf, n, kMajorBrandOffset, k3gpBrandPrefix)) {
    return kType3gp;
  }
  return kTypeNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsMovType(const unsigned char* buf, int len) {
  if (!HasAtLeast(buf, len, kMovMinLength)) return kTypeNone;
  const size_t n = Usable(buf, len);
  if (MatchText(buf, n, 0, kMovieBox)) return kTypeMov;
  if (MatchText(buf, n, kBoxTypeOffset, kFileTypeBox) && MatchText(buf, n, kMajorBrandOffset, kQuickTimeBrand)) {
    return kTypeMov;
  }
  return kTypeNone;
}

}  // namespace vorlenta
