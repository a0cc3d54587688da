// Other audio and video containers: RealMedia, ASF, Flash, Matroska and WebM, MXF.
#include "format/file_type_judge.h"
#include "format/signature_match.h"

namespace vorlenta {

namespace {

using signature::HasAtLeast;
using signature::Match;
using signature::MatchText;
using signature::Usable;

constexpr int kRmvbMinLength = 4;
constexpr char kRealMediaTag[] = ".RMF";

constexpr int kAsfMinLength = 24;
// GUID of the ASF header object.
constexpr uint8_t kAsfHeaderGuid[] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                      0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};

constexpr int kSwfMinLength = 8;
constexpr char kSwfCompressedTag[] = "CWS";
constexpr char kSwfPlainTag[] = "FWS";
constexpr size_t kSwfVersionOffset = 3;
// Compression came with version 6; versions above 15 did not exist when these tests were made.
constexpr uint8_t kSwfFirstCompressedVersion = 6;
constexpr uint8_t kSwfLastCompressedVersion = 15;

constexpr int kFlvMinLength = 16;
constexpr char kFlvTag[] = "FLV";
constexpr size_t kFlvVersionOffset = 3;
constexpr uint8_t kFlvVersion = 1;
constexpr size_t kFlvHeaderSizeOffset = 5;
constexpr uint8_t kFlvHeaderSize[] = {0x00, 0x00, 0x00, 0x09};

constexpr int kMkvMinLength = 16;
constexpr uint8_t kEbmlMagic[] = {0x1A, 0x45, 0xDF, 0xA3};
// The EBML header's DocType element holding "webm"; the header is short, so it lies near the
// start.
constexpr uint8_t kWebmDocType[] = {0x42, 0x82, 0x84, 'w', 'e', 'b', 'm'};
constexpr size_t kEbmlHeaderSearchBytes = 64;

constexpr int kMxfMinLength = 16;
// Key of a closed, complete header partition pack.
constexpr uint8_t kMxfPartitionKey[] = {0x06, 0x0E, 0x2B, 0x34, 0x02, 0x05, 0x01, 0x01,
                                        0x0D, 0x01, 0x02, 0x01, 0x01, 0x02, 0x04, 0x00};

}  // namespace

EXTEND_NAME_TYPE CFileTypeJudge::IsRmvbType(const unsigned char* buf, int len) {
  if (!HasAtLeast(buf, len, kRmvbMinLength)) return kTypeNone;
  return MatchText(buf, Usable(buf, len), 0, kRealMediaTag) ? kTypeRmvb : kTypeNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsAsfType(const unsigned char* buf, int len) {
  if (!HasAtLeast(buf, len, kAsfMinLength)) return kTypeNone;
  return Match(buf, Usable(buf, len), 0, kAsfHeaderGuid) ? kTypeAsf : kTypeNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsSwfType(const unsigned char* buf, int len) {
  if (!HasAtLeast(buf, len, kSwfMinLength)) return kTypeNone;
  const size_t n = Usable(buf, len);
  const uint8_t version = buf[kSwfVersionOffset];
  if (MatchText(buf, n, 0, kSwfCompressedTag) && version >= kSwfFirstCompressedVersion &&
      version <= kSwfLastCompressedVersion) {
    return kTypeSwf;
  }
  if (MatchText(buf, n, 0, kSwfPlainTag) && version < kSwfFirstCompressedVersion) return kTypeSwf;
  return kTypeNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsFlvType(const unsigned char* buf, int len) {
  if (!HasAtLeast(buf, len, kFlvMinLength)) return kTypeNone;
  const size_t n = Usable(buf, len);
  if (MatchText(buf, n, 0, kFlvTag) && buf[kFlvVersionOffset] == kFlvVersion &&
      Match(buf, n, kFlvHeaderSizeOffset, kFlvHeaderSize)) {
    return kTypeFlv;
  }
  return kTypeNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsWebmType(const unsigned char* buf, int len) {
  if (!HasAtLeast(buf, len, kMkvMinLength)) return kTypeNone;
  const size_t n = Usable(buf, len);
  if (!Match(buf, n, 0, kEbmlMagic)) return kTypeNone;
  const size_t limit = n < kEbmlHeaderSearchBytes ? n : kEbmlHeaderSearchBytes;
  for (size_t at = sizeof kEbmlMagic; at + sizeof kWebmDocType <= limit; ++at) {
    if (Match(buf, limit, at, kWebmDocType)) return kTypeWebm;
  }
  return kTypeNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsMkvType(const unsigned char* buf, int len) {
  if (!HasAtLeast(buf, len, kMkvMinLength)) return kTypeNone;
  return Match(buf, Usable(buf, len), 0, kEbmlMagic) ? kTypeMkv : kTypeNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsMxfType(const unsigned char* buf, int len) {
  if (!HasAtLeast(buf, len, kMxfMinLength)) return kTypeNone;
  return Match(buf, Usable(buf, len), 0, kMxfPartitionKey) ? kTypeMxf : kTypeNone;
}

}  // namespace vorlenta
