// Audio formats: MP3 behind an ID3v2 tag, MPEG audio layer II, MIDI, Monkey's Audio, SMAF,
// FLAC, Sun audio and AMR speech.
#include "format/file_type_judge.h"
#include "format/signature_match.h"

namespace vorlenta {

namespace {

using signature::HasAtLeast;
using signature::Match;
using signature::MatchText;
using signature::Usable;

constexpr int kMp3MinLength = 10;
constexpr char kId3Tag[] = "ID3";
constexpr size_t kId3MajorVersionOffset = 3;
constexpr size_t kId3RevisionOffset = 4;
constexpr uint8_t kId3Invalid = 0xFF;
constexpr size_t kId3FlagsOffset = 5;
// The low five flag bits are undefined in every ID3v2 version.
constexpr uint8_t kId3UndefinedFlags = 0x1F;
// The tag size is four 7-bit bytes.
constexpr size_t kId3SizeOffset = 6;
constexpr size_t kId3SizeLength = 4;
constexpr uint8_t kId3SizeByteLimit = 0x80;

constexpr int kMp2MinLength = 4;
// MPEG-1 layer II frame header, no CRC, 384 kbit/s, 48 kHz, stereo.
constexpr uint8_t kMp2FrameHeader[] = {0xFF, 0xFD, 0xE4, 0x00};

constexpr int kMidMinLength = 18;
constexpr char kMidiHeaderChunk[] = "MThd";
constexpr size_t kMidiHeaderLengthOffset = 4;
constexpr uint8_t kMidiHeaderLength[] = {0x00, 0x00, 0x00, 0x06};
constexpr size_t kMidiFirstTrackOffset = 14;
constexpr char kMidiTrackChunk[] = "MTrk";

constexpr int kApeMinLength = 4;
constexpr char kApeTag[] = "MAC ";

constexpr int kMmfMinLength = 4;
constexpr char kMmfTag[] = "MMMD";

// "fLaC", then the stream information block: the first metadata block, 34 bytes long.
constexpr int kFlacMinLength = 8;
constexpr char kFlacTag[] = "fLaC";
constexpr size_t kFlacFirstBlockOffset = 4;
constexpr uint8_t kFlacBlockTypeMask = 0x7F;
constexpr uint8_t kFlacStreamInfoLength[] = {0x00, 0x00, 0x22};

constexpr int kAuMinLength = 24;
constexpr char kAuTag[] = ".snd";
constexpr size_t kAuDataOffsetOffset = 4;
constexpr size_t kAuEncodingOffset = 12;
constexpr size_t kAuChannelsOffset = 20;
constexpr uint32_t kAuHeaderBytes = 24;
constexpr uint32_t kAuLastEncoding = 27;
constexpr uint32_t kAuMostChannels = 64;

constexpr int kAmrMinLength = 6;
constexpr char kAmrTag[] = "#!AMR\n";
constexpr char kAmrWideTag[] = "#!AMR-WB\n";

}  // namespace

EXTEND_NAME_TYPE CFileTypeJudge::IsMp3Type(const unsigned char* buf, int len) {
  if (!HasAtLeast(buf, len, kMp3MinLength)) return kTypeNone;
  const size_t n = Usable(buf, len);
  if (!MatchText(buf, n, 0, kId3Tag)) return kTypeNone;
  if (buf[kId3MajorVersionOffset] == kId3Invalid || buf[kId3RevisionOffset] == kId3Invalid) return kTypeNone;
  if ((buf[kId3FlagsOffset] & kId3UndefinedFlags) != 0) return kTypeNone;
  for (size_t i = 0; i < kId3SizeLength; ++i) {
    if (buf[kId3SizeOffset + i] >= kId3SizeByteLimit) return kTypeNone;
  }
  return kTypeMp3;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsMp2Type(const unsigned char* buf, int len) {
  if (!HasAtLeast(buf, len, kMp2MinLength)) return kTypeNone;
  return Match(buf, Usable(buf, len), 0, kMp2FrameHeader) ? kTypeMp2 : kTypeNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsMidType(const unsigned char* buf, int len) {
  if (!HasAtLeast(buf, len, kMidMinLength)) return kTypeNone;
  const size_t n = Usable(buf, len);
  if (MatchText(buf, n, 0, kMidiHeaderChunk) && Match(buf, n, kMidiHeaderLengthOffset, kMidiHeaderLength) &&
      MatchText(buf, n, kMidiFirstTrackOffset, kMidiTrackChunk)) {
    return kTypeMid;
  }
  return kTypeNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsApeType(const unsigned char* buf, int len) {
  if (!HasAtLeast(buf, len, kApeMinLength)) return kTypeNone;
  return MatchText(buf, Usable(buf, len), 0, kApeTag) ? kTypeApe : kTypeNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsMmfType(const unsigned char* buf, int len) {
  if (!HasAtLeast(buf, len, kMmfMinLength)) return kTypeNone;
  return MatchText(buf, Usable(buf, len), 0, kMmfTag) ? kTypeMmf : kTypeNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsFlacType(const unsigned char* buf, int len) {
  if (!HasAtLeast(buf, len, kFlacMinLength)) return kTypeNone;
  const size_t n = Usable(buf, len);
  if (!MatchText(buf, n, 0, kFlacTag) || (buf[kFlacFirstBlockOffset] & kFlacBlockTypeMask) != 0) return kTypeNone;
  return Match(buf, n, kFlacFirstBlockOffset + 1, kFlacStreamInfoLength) ? kTypeFlac : kTypeNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsAuType(const unsigned char* buf, int len) {
  if (!HasAtLeast(buf, len, kAuMinLength)) return kTypeNone;
  const size_t n = Usable(buf, len);
  if (!MatchText(buf, n, 0, kAuTag) || ReadU32BE(buf, n, kAuDataOffsetOffset) < kAuHeaderBytes) return kTypeNone;
  const uint32_t encoding = ReadU32BE(buf, n, kAuEncodingOffset);
  const uint32_t channels = ReadU32BE(buf, n, kAuChannelsOffset);
  return encoding >= 1 && encoding <= kAuLastEncoding && channels >= 1 && channels <= kAuMostChannels ? kTypeAu
                                                                                                      : kTypeNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsAmrType(const unsigned char* buf, int len) {
  if (!HasAtLeast(buf, len, kAmrMinLength)) return kTypeNone;
  const size_t n = Usable(buf, len);
  return MatchText(buf, n, 0, kAmrTag) || MatchText(buf, n, 0, kAmrWideTag) ? kTypeAmr : kTypeNone;
}

}  // namespace vorlenta
