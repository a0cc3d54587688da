// RIFF containers (WAVE audio, AVI video, WebP pictures) and IFF ones (AIFF audio).
#include "format/file_type_judge.h"
#include "format/signature_match.h"

namespace vorlenta {

namespace {

using signature::HasAtLeast;
using signature::MatchText;
using signature::Usable;

constexpr int kRiffMinLength = 16;
constexpr char kRiffTag[] = "RIFF";
constexpr size_t kFormTypeOffset = 8;
constexpr size_t kFirstChunkOffset = 12;
constexpr char kWaveForm[] = "WAVE";
constexpr char kWaveFormatChunk[] = "fmt ";
constexpr char kAviForm[] = "AVI ";
constexpr char kAviListChunk[] = "LIST";
constexpr char kWebpForm[] = "WEBP";
// Lossy, lossless and extended WebP.
constexpr char kWebpLossy[] = "VP8 ";
constexpr char kWebpLossless[] = "VP8L";
constexpr char kWebpExtended[] = "VP8X";

constexpr char kIffTag[] = "FORM";
constexpr char kAiffForm[] = "AIFF";
constexpr char kAifcForm[] = "AIFC";
constexpr size_t kChunkIdBytes = 4;

// IFF chunk ids are four printable characters; AIFF's are upper case, digits or spaces.
bool IsAiffChunkId(const unsigned char* id) {
  for (size_t i = 0; i < kChunkIdBytes; ++i) {
    const unsigned char c = id[i];
    if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ' ' || c == '(' || c == ')')) return false;
  }
  return true;
}

}  // namespace

EXTEND_NAME_TYPE CFileTypeJudge::IsWavType(const unsigned char* buf, int len) {
  if (!HasAtLeast(buf, len, kRiffMinLength)) return kTypeNone;
  const size_t n = Usable(buf, len);
  if (MatchText(buf, n, 0, kRiffTag) && MatchText(buf, n, kFormTypeOffset, kWaveForm) &&
      MatchText(buf, n, kFirstChunkOffset, kWaveFormatChunk)) {
    return kTypeWav;
  }
  return kTypeNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsAviType(const unsigned char* buf, int len) {
  if (!HasAtLeast(buf, len, kRiffMinLength)) return kTypeNone;
  const size_t n = Usable(buf, len);
  if (MatchText(buf, n, 0, kRiffTag) && MatchText(buf, n, kFormTypeOffset, kAviForm) &&
      MatchText(buf, n, kFirstChunkOffset, kAviListChunk)) {
    return kTypeAvi;
  }
  return kTypeNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsWebpType(const unsigned char* buf, int len) {
  if (!HasAtLeast(buf, len, kRiffMinLength)) return kTypeNone;
  const size_t n = Usable(buf, len);
  if (!MatchText(buf, n, 0, kRiffTag) || !MatchText(buf, n, kFormTypeOffset, kWebpForm)) return kTypeNone;
  const bool known = MatchText(buf, n, kFirstChunkOffset, kWebpLossy) ||
                     MatchText(buf, n, kFirstChunkOffset, kWebpLossless) ||
                     MatchText(buf, n, kFirstChunkOffset, kWebpExtended);
  return known ? kTypeWebp : kTypeNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsAiffType(const unsigned char* buf, int len) {
  if (!HasAtLeast(buf, len, kRiffMinLength)) return kTypeNone;
  const size_t n = Usable(buf, len);
  if (!MatchText(buf, n, 0, kIffTag)) return kTypeNone;
  if (!MatchText(buf, n, kFormTypeOffset, kAiffForm) && !MatchText(buf, n, kFormTypeOffset, kAifcForm))
    return kTypeNone;
  return IsAiffChunkId(buf + kFirstChunkOffset) ? kTypeAiff : kTypeNone;
}

}  // namespace vorlenta
