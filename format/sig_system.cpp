// Executables and disk images, databases and mail stores, fonts (TrueType, OpenType, WOFF).
#include "format/file_type_judge.h"
#include "format/signature_match.h"

namespace vorlenta {

namespace {

using signature::HasAtLeast;
using signature::Match;
using signature::MatchText;
using signature::Usable;

constexpr int kPeMinLength = 512;
constexpr char kDosTag[] = "MZ";
constexpr size_t kPeHeaderPointerOffset = 60;
// The PE header and its characteristics word must lie in the first sector.
constexpr uint32_t kPeHeaderLastOffset = 488;
constexpr uint8_t kPeSignature[] = {'P', 'E', 0x00, 0x00};
constexpr size_t kPeCharacteristicsOffset = 22;
constexpr uint16_t kPeExecutableImage = 0x0002;
constexpr uint16_t kPeSystemFile = 0x1000;
constexpr uint16_t kPeDll = 0x2000;

constexpr int kGhoMinLength = 4;
constexpr uint8_t kGhoSignature[] = {0xFE, 0xEF, 0x00, 0x00};

constexpr int kSqlMinLength = 16;
// "SQLite format 3" and its terminating zero.
constexpr uint8_t kSqliteHeader[] = {'S', 'Q', 'L', 'i', 't', 'e', ' ', 'f', 'o', 'r', 'm', 'a', 't', ' ', '3', 0x00};

constexpr int kDbxMinLength = 16;
constexpr uint8_t kDbxSignature[] = {0xCF, 0xAD, 0x12, 0xFE};

constexpr int kPstMinLength = 16;
constexpr char kPstTag[] = "!BDN";
constexpr size_t kPstClientMagicOffset = 8;
constexpr char kPstClientMagic[] = "SM";

constexpr int kTtfMinLength = 16;
constexpr uint8_t kTrueTypeVersion[] = {0x00, 0x01, 0x00, 0x00};
constexpr size_t kTtfTableCountOffset = 4;
constexpr size_t kTtfSearchRangeOffset = 6;
constexpr size_t kTtfEntrySelectorOffset = 8;
constexpr size_t kTtfRangeShiftOffset = 10;
constexpr size_t kTtfTableRecordsOffset = 12;
constexpr size_t kTtfTableRecordSize = 16;

constexpr char kOpenTypeTag[] = "OTTO";
constexpr size_t kMostFontTables = 256;

constexpr int kWoffMinLength = 44;
constexpr char kWoffTag[] = "wOFF";
constexpr char kWoff2Tag[] = "wOF2";
constexpr size_t kWoffFlavorOffset = 4;
constexpr uint8_t kTrueTypeFlavor[] = {0x00, 0x01, 0x00, 0x00};
constexpr char kAppleTrueTypeFlavor[] = "true";
constexpr size_t kWoffLengthOffset = 8;
constexpr size_t kWoffTableCountOffset = 12;
constexpr size_t kWoffReservedOffset = 14;

// The binary-search fields of an sfnt directory follow from its table count.
bool FontSearchFieldsAgree(const unsigned char* buf, size_t n) {
  const size_t tables = ReadU16BE(buf, n, kTtfTableCountOffset);
  if (tables == 0 || tables > kMostFontTables) return false;
  uint32_t power = 1;
  uint16_t selector = 0;
  while (power * 2 <= tables) {
    power *= 2;
    ++selector;
  }
  const uint32_t range = power * kTtfTableRecordSize;
  return ReadU16BE(buf, n, kTtfSearchRangeOffset) == range && ReadU16BE(buf, n, kTtfEntrySelectorOffset) == selector &&
         ReadU16BE(buf, n, kTtfRangeShiftOffset) == tables * kTtfTableRecordSize - range;
}

}  // namespace

EXTEND_NAME_TYPE CFileTypeJudge::IsPeType(const unsigned char* buf, int len) {
  if (!HasAtLeast(buf, len, kPeMinLength)) return kTypeNone;
  const size_t n = Usable(buf, len);
  if (!MatchText(buf, n, 0, kDosTag)) return kTypeNone;
  const uint32_t header = ReadU32LE(buf, n, kPeHeaderPointerOffset);
  if (header > kPeHeaderLastOffset || !Match(buf, n, header, kPeSignature)) return kTypeNone;
  const uint16_t characteristics = ReadU16LE(buf, n, header + kPeCharacteristicsOffset);
  if ((characteristics & kPeExecutableImage) == 0) return kTypeNone;
  if ((characteristics & kPeSystemFile) != 0) return kTypeSys;
  if ((characteristics & kPeDll) != 0) return kTypeDll;
  return kTypeExe;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsGhoType(const unsigned char* buf, int len) {
  if (!HasAtLeast(buf, len, kGhoMinLength)) return kTypeNone;
  return Match(buf, Usable(buf, len), 0, kGhoSignature) ? kTypeGho : kTypeNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsSqlType(const unsigned char* buf, int len) {
  if (!HasAtLeast(buf, len, kSqlMinLength)) return kTypeNone;
  return Match(buf, Usable(buf, len), 0, kSqliteHeader) ? kTypeSqlite : kTypeNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsDbxEmailType(const unsigned char* buf, int len) {
  if (!HasAtLeast(buf, len, kDbxMinLength)) return kTypeNone;
  return Match(buf, Usable(buf, len), 0, kDbxSignature) ? kTypeDbx : kTypeNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsPstEmailType(const unsigned char* buf, int len) {
  if (!HasAtLeast(buf, len, kPstMinLength)) return kTypeNone;
  const size_t n = Usable(buf, len);
  return MatchText(buf, n, 0, kPstTag) && MatchText(buf, n, kPstClientMagicOffset, kPstClientMagic) ? kTypePst
                                                                                                    : kTypeNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsTtfType(const unsigned char* buf, int len) {
  if (!HasAtLeast(buf, len, kTtfMinLength)) return kTypeNone;
  const size_t n = Usable(buf, len);
  if (!Match(buf, n, 0, kTrueTypeVersion)) return kTypeNone;
  const size_t tables = ReadU16BE(buf, n, kTtfTableCountOffset);
  if (tables == 0 || ReadU16BE(buf, n, kTtfSearchRangeOffset) == 0 || ReadU16BE(buf, n, kTtfEntrySelectorOffset) == 0 ||
      ReadU16BE(buf, n, kTtfRangeShiftOffset) == 0) {
    return kTypeNone;
  }
  // The directory and the first four bytes after it must be in the buffer.
  if (kTtfTableRecordSize * (tables + 1) > n) return kTypeNone;
  // The recommended table order puts 'head', which begins with version 1.0, right after the
  // table directory.
  const size_t directoryEnd = kTtfTableRecordsOffset + kTtfTableRecordSize * tables;
  return Match(buf, n, directoryEnd, kTrueTypeVersion) ? kTypeTtf : kTypeNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsOtfType(const unsigned char* buf, int len) {
  if (!HasAtLeast(buf, len, kTtfMinLength)) return kTypeNone;
  const size_t n = Usable(buf, len);
  return MatchText(buf, n, 0, kOpenTypeTag) && FontSearchFieldsAgree(buf, n) ? kTypeOtf : kTypeNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsWoffType(const unsigned char* buf, int len) {
  if (!HasAtLeast(buf, len, kWoffMinLength)) return kTypeNone;
  const size_t n = Usable(buf, len);
  const bool woff = MatchText(buf, n, 0, kWoffTag);
  if (!woff && !MatchText(buf, n, 0, kWoff2Tag)) return kTypeNone;
  const bool flavor = Match(buf, n, kWoffFlavorOffset, kTrueTypeFlavor) ||
                      MatchText(buf, n, kWoffFlavorOffset, kOpenTypeTag) ||
                      MatchText(buf, n, kWoffFlavorOffset, kAppleTrueTypeFlavor);
  if (!flavor || ReadU32BE(buf, n, kWoffLengthOffset) < static_cast<uint32_t>(kWoffMinLength)) return kTypeNone;
  if (ReadU16BE(buf, n, kWoffTableCountOffset) == 0 || ReadU16BE(buf, n, kWoffReservedOffset) != 0) return kTypeNone;
  return woff ? kTypeWoff : kTypeWoff2;
}

}  // namespace vorlenta
