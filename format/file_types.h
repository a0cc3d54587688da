// File-type codes and the format table: one row per extension, in the order every detection
// walk follows. The order matters: the first row whose test matches decides a sector.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorlenta {

// Type codes of the recognised formats; kTypeNone also ends the format table.
enum EXTEND_NAME_TYPE : int32_t {
  kTypeWord = 0,          // word-processing compound document
  kTypeWordX = 1,         // word-processing OOXML package
  kTypeOle = 2,           // compound file of unknown kind
  kTypeExcel = 3,         // spreadsheet compound document
  kTypeExcelX = 4,        // spreadsheet OOXML package
  kTypePowerPoint = 5,    // presentation compound document
  kTypePowerPointX = 6,   // presentation OOXML package
  kTypeOfficeX = 7,       // OOXML package of unknown kind (no test yields it)
  kTypePdf = 8,
  kTypeGho = 9,           // disk-image file
  kTypeJpg = 10,
  kTypeMp2 = 11,
  kTypeMp3 = 12,
  kTypeMid = 13,
  kTypeMmf = 14,
  kTypeMpg = 15,
  kType3gp = 16,
  kTypeMov = 17,
  kTypeMp4 = 18,
  kTypeMkv = 19,
  kTypeTs = 20,
  kTypeWav = 21,
  kTypeAvi = 22,
  kTypeRmvb = 23,
  kTypeAsf = 24,
  kTypeApe = 25,
  kTypeSwf = 26,
  kTypeFlv = 27,
  kTypePsd = 28,
  kTypeBmp = 29,
  kTypePng = 30,
  kTypeGif = 31,
  kTypeTif = 32,
  kTypeCab = 33,
  kType7z = 34,
  kTypeZip = 35,
  kTypeGzip = 36,
  kTypeRar = 37,
  kTypePst = 38,
  kTypeSqlite = 39,
  kTypeDbx = 40,
  kTypeExe = 41,
  kTypeDll = 42,
  kTypeSys = 43,
  kTypeFla = 44,
  kTypeTtf = 45,
  kTypeIco = 46,
  kTypeMts = 47,          // AVCHD transport stream (192-byte packets)
  kTypeMxf = 48,
  kTypeNone = 49,         // no known format; also the table terminator
  // Formats added after the terminator's code, which stays 49.
  kTypeHeic = 50,         // ISO media picture of brand heic/heix
  kTypeHeif = 51,         // ISO media picture of another image brand
  kTypeAvif = 52,
  kTypeWebp = 53,
  kTypeCr2 = 54,
  kTypeCr3 = 55,
  kTypeNef = 56,
  kTypeArw = 57,
  kTypeDng = 58,
  kTypeOrf = 59,
  kTypeRw2 = 60,
  kTypeRaf = 61,
  kTypePef = 62,
  kTypeJp2 = 63,
  kTypeJ2k = 64,          // bare JPEG 2000 codestream
  kTypePbm = 65,
  kTypePgm = 66,
  kTypePpm = 67,
  kTypeXcf = 68,
  kTypeTga = 69,
  kTypeFlac = 70,
  kTypeOgg = 71,          // Ogg Vorbis, or Ogg of another codec
  kTypeOpus = 72,
  kTypeM4a = 73,
  kTypeM4b = 74,
  kTypeAiff = 75,
  kTypeAu = 76,
  kTypeAmr = 77,
  kTypeWebm = 78,
  kTypeOgv = 79,
  kTypeM4v = 80,
  kTypeOdt = 81,
  kTypeOds = 82,
  kTypeOdp = 83,
  kTypeEpub = 84,
  kTypeRtf = 85,
  kTypePs = 86,
  kTypeHtml = 87,
  kTypeXml = 88,
  kTypeTar = 89,
  kTypeBz2 = 90,
  kTypeXz = 91,
  kTypeZst = 92,
  kTypeOtf = 93,
  kTypeWoff = 94,
  kTypeWoff2 = 95,
};

// A format test: the type code found at the start of `buf`, or kTypeNone.
using FileTypeTest = EXTEND_NAME_TYPE (*)(const unsigned char* buf, int len);
// A length finder: bytes of the file that starts at `buf` (the carving engine's part).
using FileLengthFinder = uint64_t (*)(const unsigned char* buf, int len);

struct _EXTEND_NAME_AND_TYPE_ {
  const char* szExtendName;     // extension without the dot, lower case
  EXTEND_NAME_TYPE nType;
  FileTypeTest pfnIsType;       // null only in the terminator
  FileLengthFinder pfnGetSize;  // null where a format is recognised but never carved
};

// The format table, ended by a row with kTypeNone and no functions.
extern const _EXTEND_NAME_AND_TYPE_ szExtendNameAndType[];
// Rows before the terminator.
extern const size_t kFormatTableRows;

// The first row carrying `type`, or null; the carving engine names files by its extension.
const _EXTEND_NAME_AND_TYPE_* FindFormatRowByType(EXTEND_NAME_TYPE type);
// The first row carrying `ext` (compared without regard to ASCII case), or null.
const _EXTEND_NAME_AND_TYPE_* FindFormatRowByExtension(const char* ext);

}  // namespace vorlenta
