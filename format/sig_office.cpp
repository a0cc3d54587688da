// Documents: compound files (Word, Excel, PowerPoint, Flash sources), OOXML packages, PDF, and
// OpenDocument and EPUB packages (named by their first member, "mimetype", stored as is).
// The kind of a compound file or a package is not in its first sector, so the sub-type tests
// read on from the device.
#include <cstring>
#include <memory>
#include <new>

#include "format/file_type_judge.h"
#include "format/signature_match.h"
#include "device/disk_reader.h"

namespace vorlenta {

namespace {

using signature::FoldAsciiCase;
using signature::HasAtLeast;
using signature::Match;
using signature::MatchText;
using signature::StartsWithNoCase;
using signature::Usable;

// Compound files.
constexpr int kFlaMinLength = 16;
constexpr uint8_t kCompoundMagicStart[] = {0xD0, 0xCF, 0x11, 0xE0};
constexpr int kOffice2003MinLength = 8;
constexpr uint8_t kCompoundMagic[] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
constexpr size_t kCompoundFirstDirectorySectorOffset = 48;
// The largest sector the sub-type test reads into its buffers.
constexpr int kMaxProbeSector = 4096;

// First record of the first data sector.
constexpr size_t kBiffRecordTypeOffset = 0;
constexpr size_t kBiffRecordLengthOffset = 2;
constexpr size_t kBiffVersionOffset = 4;
constexpr uint16_t kBiffBeginOfFile = 0x0809;
constexpr uint16_t kBiffBeginOfFileLength = 16;
constexpr uint16_t kBiff8Version = 0x0600;
constexpr size_t kWordIdentOffset = 0;
constexpr uint16_t kWordFibIdent = 0xA5EC;

// The root entry's class identifier, as four little-endian u32.
constexpr size_t kRootClassIdOffset = 80;
struct ClassId {
  uint32_t part[4];
  EXTEND_NAME_TYPE type;
};
constexpr ClassId kKnownClassIds[] = {
    {{0x00020906, 0x00000000, 0x000000C0, 0x46000000}, kTypeWord},
    {{0x00020810, 0x00000000, 0x000000C0, 0x46000000}, kTypeExcel},
    {{0x00020820, 0x00000000, 0x000000C0, 0x46000000}, kTypeExcel},
    {{0x64818D10, 0x11CF4F1B, 0xAA00EA86, 0xE829B900}, kTypePowerPoint},
};

// Directory entries and the stream names that give a compound file's kind.
constexpr size_t kDirectoryEntrySize = 128;
constexpr size_t kDirectoryNameUnits = 32;
struct StreamName {
  const char* name;
  EXTEND_NAME_TYPE type;
};
constexpr StreamName kKindStreams[] = {
    {"WordDocument", kTypeWord},
    {"Workbook", kTypeExcel},
    {"PowerPoint Document", kTypePowerPoint},
};

// OOXML packages.
constexpr int kOffice2007MinLength = 50;
constexpr uint8_t kZipLocalHeader[] = {'P', 'K', 0x03, 0x04};
constexpr uint8_t kZipCentralHeader[] = {'P', 'K', 0x01, 0x02};
constexpr uint8_t kZipEndOfCentralDirectory[] = {'P', 'K', 0x05, 0x06};
constexpr size_t kZipSignatureLength = 4;
constexpr size_t kZipLocalNameOffset = 30;
constexpr size_t kZipCentralNameOffset = 46;
constexpr size_t kContentTypesOffset = 31;
constexpr char kContentTypesName[] = "[Content_Types].xml";
// Five windows of four sectors each; every window starts with the previous window's last
// four bytes, so a signature that straddles two windows is still seen whole.
constexpr int kPackageWindowSectors = 4;
constexpr int kPackageWindowCount = 5;
constexpr size_t kPackageCarryBytes = 4;
constexpr int kMaxPackageSector = 65536;

struct MemberPrefix {
  const char* prefix;
  size_t length;
  int minimum;  // bytes that must be available from the name's start
  EXTEND_NAME_TYPE type;
};
constexpr MemberPrefix kMemberPrefixes[] = {
    {"word", 4, 5, kTypeWordX},
    {"ppt", 3, 4, kTypePowerPointX},
    {"xl", 2, 3, kTypeExcelX},
};

// The stored "mimetype" member: no compression, an 8-byte name, no extra field.
constexpr int kOpenDocumentMinLength = 58;
constexpr size_t kZipMethodOffset = 8;
constexpr size_t kZipNameLengthOffset = 26;
constexpr size_t kZipExtraLengthOffset = 28;
constexpr uint16_t kZipStored = 0;
constexpr char kMimetypeName[] = "mimetype";
constexpr size_t kMimetypeContentOffset = kZipLocalNameOffset + sizeof kMimetypeName - 1;
struct PackageMime {
  const char* mime;
  EXTEND_NAME_TYPE type;
};
const PackageMime kPackageMimes[] = {
    {"application/vnd.oasis.opendocument.text", kTypeOdt},
    {"application/vnd.oasis.opendocument.spreadsheet", kTypeOds},
    {"application/vnd.oasis.opendocument.presentation", kTypeOdp},
    {"application/epub+zip", kTypeEpub},
};

constexpr int kPdfMinLength = 5;
constexpr char kPdfTag[] = "%PDF-";

bool ReadSector(uint8_t* out, uint64_t sector) {
  CDiskReader* reader = CFileTypeJudge::m_pDiskReader;
  const int bytesPerSector = CFileTypeJudge::m_nBytesPerSector;
  if (reader == nullptr || bytesPerSector <= 0 || bytesPerSector > kMaxProbeSector) return false;
  unsigned read = 0;
  return reader->ReadData(out, 1, static_cast<long long>(sector), bytesPerSector, &read) == 0;
}

// True when the UTF-16LE name of a directory entry equals `name` without regard to case.
bool DirectoryNameIs(const uint8_t* entry, size_t available, const char* name) {
  size_t i = 0;
  for (; i < kDirectoryNameUnits; ++i) {
    const uint16_t unit = ReadU16LE(entry, available, 2 * i);
    const uint8_t wanted = static_cast<uint8_t>(name[i]);
    if (wanted == '\0') return unit == 0;
    if (unit >= 0x80 || FoldAsciiCase(static_cast<uint8_t>(unit)) != FoldAsciiCase(wanted)) return false;
  }
  return name[i] == '\0';
}

}  // namespace

EXTEND_NAME_TYPE CFileTypeJudge::IsFlaType(const unsigned char* buf, int len) {
  if (!HasAtLeast(buf, len, kFlaMinLength)) return kTypeNone;
  return Match(buf, Usable(buf, len), 0, kCompoundMagicStart) ? kTypeFla : kTypeNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsOffice2003Type(const unsigned char* buf, int len) {
  if (!HasAtLeast(buf, len, kOffice2003MinLength)) return kTypeNone;
  if (!Match(buf, Usable(buf, len), 0, kCompoundMagic)) return kTypeNone;
  return GetOffice2003Type(buf, len);
}

EXTEND_NAME_TYPE CFileTypeJudge::GetOffice2003Type(const unsigned char* header, int len) {
  const size_t headerBytes = Usable(header, len);
  uint8_t sector[kMaxProbeSector] = {};
  const size_t sectorBytes = static_cast<size_t>(m_nBytesPerSector > 0 ? m_nBytesPerSector : 0);

  // The first data sector often tells at once: an Excel BOF record or a Word FIB.
  if (!ReadSector(sector, m_u64CurrentSector + 1)) return kTypeOle;
  if (ReadU16LE(sector, sectorBytes, kBiffRecordTypeOffset) == kBiffBeginOfFile &&
      ReadU16LE(sector, sectorBytes, kBiffRecordLengthOffset) == kBiffBeginOfFileLength &&
      ReadU16LE(sector, sectorBytes, kBiffVersionOffset) == kBiff8Version) {
    return kTypeExcel;
  }
  if (ReadU16LE(sector, sectorBytes, kWordIdentOffset) == kWordFibIdent) return kTypeWord;

  const uint64_t directorySector =
      m_u64CurrentSector + 1 + ReadU32LE(header, headerBytes, kCompoundFirstDirectorySectorOffset);
  if (!ReadSector(sector, directorySector)) return kTypeOle;
  for (const ClassId& id : kKnownClassIds) {
    bool same = true;
    for (size_t i = 0; i < 4; ++i) same = same && ReadU32LE(sector, sectorBytes, kRootClassIdOffset + 4 * i) == id.part[i];
    if (same) return id.type;
  }
  for (size_t offset = 0; offset + kDirectoryEntrySize <= sectorBytes; offset += kDirectoryEntrySize) {
    for (const StreamName& stream : kKindStreams) {
      if (DirectoryNameIs(sector + offset, sectorBytes - offset, stream.name)) return stream.type;
    }
  }
  return kTypeOle;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsOffice2007Type(const unsigned char* buf, int len) {
  if (!HasAtLeast(buf, len, kOffice2007MinLength)) return kTypeNone;
  const size_t n = Usable(buf, len);
  if (!Match(buf, n, 0, kZipLocalHeader) && !MatchText(buf, n, kContentTypesOffset, kContentTypesName)) {
    return kTypeNone;
  }
  return GetOffice2007Type(buf, len);
}

EXTEND_NAME_TYPE CFileTypeJudge::GetOffice2007Type(const unsigned char* /*buf*/, int /*len*/) {
  const int bytesPerSector = m_nBytesPerSector;
  if (m_pDiskReader == nullptr || bytesPerSector <= 0 || bytesPerSector > kMaxPackageSector) return kTypeNone;
  const size_t readBytes = static_cast<size_t>(kPackageWindowSectors) * static_cast<size_t>(bytesPerSector);
  const size_t windowBytes = readBytes + kPackageCarryBytes;
  std::unique_ptr<uint8_t[]> window(new (std::nothrow) uint8_t[windowBytes]);
  if (window == nullptr) return kTypeNone;
  uint8_t* w = window.get();
  for (size_t i = 0; i < kPackageCarryBytes; ++i) w[i] = 0;

  for (int step = 0; step < kPackageWindowCount; ++step) {
    const uint64_t first = m_u64CurrentSector + static_cast<uint64_t>(step) * kPackageWindowSectors;
    unsigned read = 0;
    if (m_pDiskReader->ReadData(w + kPackageCarryBytes, kPackageWindowSectors, static_cast<long long>(first),
                                bytesPerSector, &read) != 0) {
      return kTypeNone;
    }
    // Headers after the end of the central directory belong to something else.
    size_t end = windowBytes;
    for (size_t p = 0; p + kZipSignatureLength <= windowBytes; ++p) {
      if (Match(w, windowBytes, p, kZipEndOfCentralDirectory)) {
        end = p;
        break;
      }
    }
    for (size_t p = 0; p < end && p + kZipSignatureLength <= windowBytes; ++p) {
      size_t nameOffset = 0;
      if (Match(w, windowBytes, p, kZipLocalHeader)) {
        nameOffset = p + kZipLocalNameOffset;
      } else if (Match(w, windowBytes, p, kZipCentralHeader)) {
        nameOffset = p + kZipCentralNameOffset;
      } else {
        continue;
      }
      if (nameOffset >= windowBytes) continue;
      const EXTEND_NAME_TYPE kind = ReturnFileType(w + nameOffset, static_cast<int>(windowBytes - nameOffset));
      if (kind != kTypeNone) return kind;
    }
    for (size_t i = 0; i < kPackageCarryBytes; ++i) w[i] = w[windowBytes - kPackageCarryBytes + i];
  }
  return kTypeNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::ReturnFileType(const unsigned char* name, int len) {
  if (name == nullptr) return kTypeNone;
  for (const MemberPrefix& member : kMemberPrefixes) {
    if (len >= member.minimum && StartsWithNoCase(name, member.prefix, member.length)) return member.type;
  }
  return kTypeNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsPdfType(const unsigned char* buf, int len) {
  if (!HasAtLeast(buf, len, kPdfMinLength)) return kTypeNone;
  return MatchText(buf, Usable(buf, len), 0, kPdfTag) ? kTypePdf : kTypeNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsOpenDocumentType(const unsigned char* buf, int len) {
  if (!HasAtLeast(buf, len, kOpenDocumentMinLength)) return kTypeNone;
  const size_t n = Usable(buf, len);
  if (!Match(buf, n, 0, kZipLocalHeader) || ReadU16LE(buf, n, kZipMethodOffset) != kZipStored) return kTypeNone;
  if (ReadU16LE(buf, n, kZipNameLengthOffset) != sizeof kMimetypeName - 1 ||
      ReadU16LE(buf, n, kZipExtraLengthOffset) != 0)
    return kTypeNone;
  if (!MatchText(buf, n, kZipLocalNameOffset, kMimetypeName)) return kTypeNone;
  for (const PackageMime& m : kPackageMimes) {
    if (BytesEqual(buf, n, kMimetypeContentOffset, m.mime, std::strlen(m.mime))) return m.type;
  }
  return kTypeNone;
}

}  // namespace vorlenta
