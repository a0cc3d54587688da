// Ogg streams: the first page opens a logical stream, and its first packet names the codec.
#include "format/file_type_judge.h"
#include "format/signature_match.h"

namespace vorlenta {

namespace {

using signature::HasAtLeast;
using signature::Match;
using signature::MatchText;
using signature::Usable;

constexpr int kOggMinLength = 28;
constexpr char kOggCapture[] = "OggS";
constexpr size_t kOggVersionOffset = 4;
constexpr size_t kOggFlagsOffset = 5;
constexpr uint8_t kOggBeginOfStream = 0x02;
constexpr size_t kOggSegmentCountOffset = 26;
constexpr size_t kOggSegmentTableOffset = 27;

constexpr char kOpusHeader[] = "OpusHead";
constexpr uint8_t kTheoraHeader[] = {0x80, 't', 'h', 'e', 'o', 'r', 'a'};

}  // namespace

EXTEND_NAME_TYPE CFileTypeJudge::IsOggType(const unsigned char* buf, int len) {
  if (!HasAtLeast(buf, len, kOggMinLength)) return kTypeNone;
  const size_t n = Usable(buf, len);
  if (!MatchText(buf, n, 0, kOggCapture) || buf[kOggVersionOffset] != 0) return kTypeNone;
  // The first page of a file begins a stream, and only that.
  if (buf[kOggFlagsOffset] != kOggBeginOfStream) return kTypeNone;
  const size_t segments = buf[kOggSegmentCountOffset];
  if (segments == 0) return kTypeNone;
  const size_t packet = kOggSegmentTableOffset + segments;
  if (MatchText(buf, n, packet, kOpusHeader)) return kTypeOpus;
  if (Match(buf, n, packet, kTheoraHeader)) return kTypeOgv;
  // Vorbis and the other codecs Ogg carries.
  return kTypeOgg;
}

}  // namespace vorlenta
