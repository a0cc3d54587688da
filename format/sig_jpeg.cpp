// JPEG: a JFIF (APP0) or Exif (APP1) file.
#include "format/file_type_judge.h"
#include "format/signature_match.h"

namespace vorlenta {

namespace {

using signature::HasAtLeast;
using signature::Match;
using signature::MatchText;
using signature::Usable;

constexpr int kJpgMinLength = 16;
// Start of image followed by the APP0 or APP1 marker.
constexpr uint8_t kJfifStart[] = {0xFF, 0xD8, 0xFF, 0xE0};
constexpr uint8_t kExifStart[] = {0xFF, 0xD8, 0xFF, 0xE1};
// The segment's identifier follows its 2-byte length.
constexpr size_t kAppIdentifierOffset = 6;
constexpr char kJfifIdentifier[] = "JFIF";
constexpr char kExifIdentifier[] = "Exif";

}  // namespace

EXTEND_NAME_TYPE CFileTypeJudge::IsJpgType(const unsigned char* buf, int len) {
  if (!HasAtLeast(buf, len, kJpgMinLength)) return kTypeNone;
  const size_t n = Usable(buf, len);
  if (Match(buf, n, 0, kJfifStart) && MatchText(buf, n, kAppIdentifierOffset, kJfifIdentifier)) return kTypeJpg;
  if (Match(buf, n, 0, kExifStart) && MatchText(buf, n, kAppIdentifierOffset, kExifIdentifier)) return kTypeJpg;
  return kTypeNone;
}

}  // namespace vorlenta
