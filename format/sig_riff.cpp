// RIFF containers: WAVE audio and AVI video.
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

}  // namespace vorlenta
