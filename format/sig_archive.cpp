// Archives: gzip, 7z, ZIP, RAR and cabinet files, tar, bzip2, xz and Zstandard.
#include "format/archive_headers.h"
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

// A POSIX or GNU tar header: the magic at 257 and a checksum the header's bytes must give.
constexpr int kTarMinLength = 512;
constexpr size_t kTarMagicOffset = 257;
constexpr char kTarMagic[] = "ustar";
constexpr size_t kTarChecksumOffset = 148;
constexpr size_t kTarChecksumBytes = 8;
constexpr uint32_t kTarChecksumBlank = ' ';

// "BZh", the block size digit, then a block's or the stream end's 48-bit magic.
constexpr int kBzip2MinLength = 10;
constexpr char kBzip2Tag[] = "BZh";
constexpr size_t kBzip2LevelOffset = 3;
constexpr size_t kBzip2MagicOffset = 4;
constexpr uint8_t kBzip2BlockMagic[] = {0x31, 0x41, 0x59, 0x26, 0x53, 0x59};
constexpr uint8_t kBzip2EndMagic[] = {0x17, 0x72, 0x45, 0x38, 0x50, 0x90};

constexpr int kXzMinLength = 12;
constexpr uint8_t kXzMagic[] = {0xFD, '7', 'z', 'X', 'Z', 0x00};
constexpr size_t kXzFlagsOffset = 6;
// The first flag byte is reserved; the second names one of four checks.
constexpr uint8_t kXzCheckNone = 0x00;
constexpr uint8_t kXzCheckCrc32 = 0x01;
constexpr uint8_t kXzCheckCrc64 = 0x04;
constexpr uint8_t kXzCheckSha256 = 0x0A;

constexpr int kZstdMinLength = 6;
constexpr uint8_t kZstdMagic[] = {0x28, 0xB5, 0x2F, 0xFD};
constexpr size_t kZstdDescriptorOffset = 4;
constexpr uint8_t kZstdReservedBit = 0x08;

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

// Parses the octal number in `field`: digits, ended by a NUL, a space or the field's end.
bool ParseTarOctal(const unsigned char* field, size_t bytes, uint64_t& value) {
  value = 0;
  size_t i = 0;
  while (i < bytes && field[i] == ' ') ++i;
  size_t digits = 0;
  for (; i < bytes && field[i] >= '0' && field[i] <= '7'; ++i, ++digits) value = value * 8 + (field[i] - '0');
  return digits > 0 && (i == bytes || field[i] == 0 || field[i] == ' ');
}

bool IsTarHeader(const unsigned char* header, size_t n) {
  if (n < static_cast<size_t>(kTarMinLength) || !MatchText(header, n, kTarMagicOffset, kTarMagic)) return false;
  // The name's first byte, as the detection walk expects it (see the lead bytes there).
  const uint8_t first = header[0];
  if (!((first >= '!' && first <= '~') || (first >= 0xC2 && first <= 0xF4))) return false;
  uint64_t stored = 0;
  if (!ParseTarOctal(header + kTarChecksumOffset, kTarChecksumBytes, stored)) return false;
  uint64_t sum = 0;
  for (size_t i = 0; i < static_cast<size_t>(kTarMinLength); ++i) {
    const bool inField = i >= kTarChecksumOffset && i < kTarChecksumOffset + kTarChecksumBytes;
    sum += inField ? kTarChecksumBlank : header[i];
  }
  return sum == stored;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsTarType(const unsigned char* buf, int len) {
  if (!HasAtLeast(buf, len, kTarMinLength)) return kTypeNone;
  return IsTarHeader(buf, Usable(buf, len)) ? kTypeTar : kTypeNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsBzip2Type(const unsigned char* buf, int len) {
  if (!HasAtLeast(buf, len, kBzip2MinLength)) return kTypeNone;
  const size_t n = Usable(buf, len);
  if (!MatchText(buf, n, 0, kBzip2Tag) || buf[kBzip2LevelOffset] < '1' || buf[kBzip2LevelOffset] > '9')
    return kTypeNone;
  return Match(buf, n, kBzip2MagicOffset, kBzip2BlockMagic) || Match(buf, n, kBzip2MagicOffset, kBzip2EndMagic)
             ? kTypeBz2
             : kTypeNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsXzType(const unsigned char* buf, int len) {
  if (!HasAtLeast(buf, len, kXzMinLength)) return kTypeNone;
  const size_t n = Usable(buf, len);
  if (!Match(buf, n, 0, kXzMagic) || buf[kXzFlagsOffset] != 0) return kTypeNone;
  const uint8_t check = buf[kXzFlagsOffset + 1];
  return check == kXzCheckNone || check == kXzCheckCrc32 || check == kXzCheckCrc64 || check == kXzCheckSha256
             ? kTypeXz
             : kTypeNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsZstdType(const unsigned char* buf, int len) {
  if (!HasAtLeast(buf, len, kZstdMinLength)) return kTypeNone;
  const size_t n = Usable(buf, len);
  return Match(buf, n, 0, kZstdMagic) && (buf[kZstdDescriptorOffset] & kZstdReservedBit) == 0 ? kTypeZst : kTypeNone;
}

}  // namespace vorlenta
