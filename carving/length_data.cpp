// Databases, mail stores and fonts: SQLite and the mail stores end where the next file begins;
// a TrueType or OpenType font ends with the last byte its table directory points at, a WOFF
// font states its length.
#include <algorithm>

#include "carving/file_length.h"
#include "format/signature_match.h"
#include "util/endian.h"

namespace vorlenta {

namespace {

using signature::Usable;

constexpr uint64_t kDatabaseCap = 0x180000000;  // 6 GiB
constexpr uint64_t kMailCap = 0x80000000;       // 2 GiB

constexpr size_t kTtfTableCountOffset = 4;
constexpr size_t kTtfFirstRecordOffset = 12;
constexpr size_t kTtfRecordBytes = 16;
constexpr size_t kTtfRecordOffsetOffset = 8;
constexpr size_t kTtfRecordLengthOffset = 12;
constexpr uint32_t kTtfReadSectors = 128;  // 64 KiB of 512-byte sectors

constexpr size_t kWoffLengthOffset = 8;
constexpr uint64_t kFontCap = 0x10000000;  // 256 MiB

}  // namespace

uint64_t CFileTypeJudge::GetDBFileBytesSize(const unsigned char* /*buf*/, int /*len*/) {
  return carving::SectorWalk(kDatabaseCap);
}

uint64_t CFileTypeJudge::GetMailFileBytesSize(const unsigned char* /*buf*/, int /*len*/) {
  return carving::SectorWalk(kMailCap);
}

uint64_t CFileTypeJudge::GetTTFFileBytesSize(const unsigned char* buf, int len) {
  const uint8_t* data = buf;
  size_t n = Usable(buf, len);
  const size_t tables = ReadU16BE(data, n, kTtfTableCountOffset);
  if (tables == 0) return 0;
  const size_t directoryEnd = kTtfFirstRecordOffset + kTtfRecordBytes * tables;
  if (directoryEnd > n) {
    n = carving::ReadFromFileStart(kTtfReadSectors);
    data = m_pReadBuf;
    if (directoryEnd > n) return carving::SectorBytes();
  }
  uint64_t end = 0;
  for (size_t i = 0; i < tables; ++i) {
    const size_t record = kTtfFirstRecordOffset + kTtfRecordBytes * i;
    end = std::max<uint64_t>(end, static_cast<uint64_t>(ReadU32BE(data, n, record + kTtfRecordOffsetOffset)) +
                                      ReadU32BE(data, n, record + kTtfRecordLengthOffset));
  }
  return end;
}

uint64_t CFileTypeJudge::GetWoffFileBytesSize(const unsigned char* buf, int len) {
  const size_t n = Usable(buf, len);
  if (!FieldFits(n, kWoffLengthOffset, 4)) return carving::SectorBytes();
  return std::min<uint64_t>(ReadU32BE(buf, n, kWoffLengthOffset), kFontCap);
}

}  // namespace vorlenta
