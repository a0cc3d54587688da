// Documents: compound files (measured by their FAT, or by a Word summary trailer), OOXML
// packages (the end of the central directory) and PDF (the end-of-file marker).
#include <algorithm>

#include "carving/file_length.h"
#include "format/signature_match.h"
#include "device/disk_reader.h"
#include "engine/status.h"
#include "util/endian.h"

namespace vorlenta {

namespace {

using signature::Usable;

// One byte less than 128 MiB.
constexpr uint64_t kOfficeCap = 0x7FFFFFF;

// Compound-file header fields.
constexpr size_t kSectorShiftOffset = 30;
constexpr uint16_t kSmallSectorShift = 9;   // 512-byte compound sectors
constexpr uint16_t kLargeSectorShift = 12;  // 4096-byte compound sectors
constexpr size_t kFatSectorCountOffset = 44;
constexpr size_t kFirstDifatSectorOffset = 68;
constexpr size_t kMiniFatSectorCountOffset = 64;
constexpr size_t kDifatSectorCountOffset = 72;
constexpr size_t kHeaderDifatOffset = 76;
constexpr uint32_t kHeaderDifatEntries = 109;
constexpr uint32_t kFreeSector = 0xFFFFFFFF;
// Sector numbers from 0xFFFFFFFC up are marks (DIFAT, FAT, end of chain, free), not sectors.
constexpr uint32_t kFirstSectorMark = 0xFFFFFFFC;
constexpr uint32_t kMaxSectorNumber = 0xFFFFFFFA;
constexpr size_t kFatEntryBytes = 4;

// The Word summary trailer of the fallback walk.
constexpr uint8_t kPropertySetHeader[] = {0x01, 0x00, 0xFE, 0xFF, 0x03, 0x0A};
// "Microsoft Office Word " and the two GBK characters of "document".
constexpr uint8_t kWordDocumentName[] = {'M', 'i', 'c', 'r', 'o', 's', 'o', 'f', 't', ' ',  'O',  'f',  'f',
                                         'i', 'c', 'e', ' ', 'W', 'o', 'r', 'd', ' ', 0xCE, 0xC4, 0xB5, 0xB5};

constexpr uint64_t kPdfCap = 0x40000000;  // 1 GiB
constexpr uint8_t kPdfEndOfFile[] = {'%', '%', 'E', 'O', 'F'};
constexpr uint8_t kPdfTrailer[] = {'t', 'r', 'a', 'i', 'l', 'e', 'r'};

// Reads compound sector `s` (of `sectorBytes`) of the file that starts at m_u64CurrentSector;
// its header occupies compound sector "-1". Returns a pointer into the read buffer, or null.
const uint8_t* ReadCompoundSector(uint32_t s, uint32_t sectorBytes) {
  CDiskReader* reader = CFileTypeJudge::m_pDiskReader;
  const int deviceBytes = CFileTypeJudge::m_nBytesPerSector;
  if (reader == nullptr || deviceBytes <= 0) return nullptr;
  const uint64_t b = static_cast<uint64_t>(deviceBytes);
  const uint64_t fileOffset = (static_cast<uint64_t>(s) + 1) * sectorBytes;
  const uint64_t within = fileOffset % b;
  const uint64_t sectors = (within + sectorBytes + b - 1) / b;
  if (sectors * b > static_cast<uint64_t>(CFileTypeJudge::kReadBufBytes)) return nullptr;
  unsigned got = 0;
  const int status =
      reader->ReadData(CFileTypeJudge::m_pReadBuf, static_cast<int>(sectors),
                       static_cast<long long>(CFileTypeJudge::m_u64CurrentSector + fileOffset / b), deviceBytes, &got);
  if (status != 0 || got != sectors) return nullptr;
  return CFileTypeJudge::m_pReadBuf + within;
}

bool IsOfficeTrailerChunk(const carving::WalkChunk& chunk, uint64_t& length) {
  const size_t limit = chunk.fileBytes;
  if (carving::FindForward(chunk.data, limit, 0, kPropertySetHeader, sizeof kPropertySetHeader) == carving::kNotFound) {
    return false;
  }
  const size_t p = carving::FindForward(chunk.data, limit, 0, kWordDocumentName, sizeof kWordDocumentName);
  if (p == carving::kNotFound) return false;
  const uint64_t b = static_cast<uint64_t>(CFileTypeJudge::m_nBytesPerSector);
  const uint64_t end = p + sizeof kWordDocumentName;
  length = chunk.base + (end + b - 1) / b * b;
  return true;
}

}  // namespace

namespace carving {

bool EndOfFileMarkerEnd(const WalkChunk& chunk, size_t limit, uint64_t& length) {
  const size_t eof = FindLast(chunk.data, limit, kPdfEndOfFile, sizeof kPdfEndOfFile);
  if (eof == kNotFound) return false;
  size_t end = eof + sizeof kPdfEndOfFile;
  // The end-of-line marker after %%EOF is the file's last line end.
  if (end < limit && chunk.data[end] == '\r') ++end;
  if (end < limit && chunk.data[end] == '\n') ++end;
  length = chunk.base + end;
  return true;
}

}  // namespace carving

uint64_t CFileTypeJudge::GetOFFICE2003FileBytesSizeByFileHead(const unsigned char* header, int len) {
  const size_t n = Usable(header, len);
  const uint16_t shift = ReadU16LE(header, n, kSectorShiftOffset);
  if (shift != kSmallSectorShift && shift != kLargeSectorShift) return 0;
  // Sector numbers, FAT entries and DIFAT entries all follow from the compound sector size;
  // with 512-byte sectors this is 128 FAT entries and 127 DIFAT entries per sector.
  const uint32_t sectorBytes = 1u << shift;
  const uint32_t entriesPerSector = sectorBytes / kFatEntryBytes;
  const uint32_t difatEntriesPerSector = entriesPerSector - 1;
  const uint32_t mostFatSectors = (kMaxSectorNumber >> (shift - 2)) + 1;
  const uint32_t fatSectors = ReadU32LE(header, n, kFatSectorCountOffset);
  const uint32_t difatSectors = ReadU32LE(header, n, kDifatSectorCountOffset);
  if (fatSectors > mostFatSectors || ReadU32LE(header, n, kMiniFatSectorCountOffset) > mostFatSectors) return 0;
  if (difatSectors > mostFatSectors / difatEntriesPerSector + 1) return 0;
  if (fatSectors == 0) return 0;

  uint32_t lastFat = 0;
  if (difatSectors == 0) {
    // All FAT sectors are listed in the header.
    if (fatSectors > kHeaderDifatEntries) return 0;
    const size_t entry = kHeaderDifatOffset + kFatEntryBytes * (fatSectors - 1);
    if (!FieldFits(n, entry, kFatEntryBytes)) return 0;
    lastFat = ReadU32LE(header, n, entry);
  } else {
    if (fatSectors < kHeaderDifatEntries) return 0;
    const size_t headerLast = kHeaderDifatOffset + kFatEntryBytes * (kHeaderDifatEntries - 1);
    if (!FieldFits(n, headerLast, kFatEntryBytes)) return 0;
    lastFat = ReadU32LE(header, n, headerLast);
    uint32_t next = ReadU32LE(header, n, kFirstDifatSectorOffset);
    const uint32_t remainder = (fatSectors - kHeaderDifatEntries) % difatEntriesPerSector;
    // The chain is followed for at most the declared count of DIFAT sectors, so a loop in it
    // ends there too.
    for (uint32_t i = 1; i <= difatSectors; ++i) {
      if (next >= kFirstSectorMark) break;
      const uint8_t* difat = ReadCompoundSector(next, sectorBytes);
      if (difat == nullptr) break;
      if (i < difatSectors) {
        lastFat = ReadU32LE(difat, sectorBytes, kFatEntryBytes * (difatEntriesPerSector - 1));
        next = ReadU32LE(difat, sectorBytes, kFatEntryBytes * difatEntriesPerSector);
      } else {
        const uint32_t index = remainder == 0 ? difatEntriesPerSector - 1 : remainder - 1;
        lastFat = ReadU32LE(difat, sectorBytes, kFatEntryBytes * index);
      }
    }
  }

  // Free entries at the end of the last FAT sector describe sectors past the file's end.
  uint64_t freeAtEnd = 0;
  if (const uint8_t* fat = ReadCompoundSector(lastFat, sectorBytes)) {
    for (uint32_t k = entriesPerSector; k > 0; --k) {
      if (ReadU32LE(fat, sectorBytes, kFatEntryBytes * (k - 1)) != kFreeSector) break;
      ++freeAtEnd;
    }
  }
  const uint64_t sectors = static_cast<uint64_t>(fatSectors) * entriesPerSector + 1 - freeAtEnd;
  return std::min<uint64_t>(sectors * sectorBytes, kOfficeCap);
}

uint64_t CFileTypeJudge::GetOFFICE2003FileBytesSize(const unsigned char* buf, int len) {
  const uint64_t declared = GetOFFICE2003FileBytesSizeByFileHead(buf, len);
  if (declared != 0) return declared;
  return carving::SectorWalk(kOfficeCap, &IsEndOfFile, &IsOfficeTrailerChunk);
}

uint64_t CFileTypeJudge::GetOFFICE2007FileBytesSize(const unsigned char* buf, int len) {
  return carving::ZipEndWalk(buf, len, kOfficeCap);
}

uint64_t CFileTypeJudge::GetPDFFileBytesSize(const unsigned char* buf, int len) {
  return carving::SectorWalkFromFirst(
      buf, len, kPdfCap, &IsEndOfFile, [](const carving::WalkChunk& chunk, uint64_t& length) {
        const size_t limit = chunk.fileBytes;
        if (carving::EndOfFileMarkerEnd(chunk, limit, length)) return true;
        const size_t trailer = carving::FindLast(chunk.data, limit, kPdfTrailer, sizeof kPdfTrailer);
        if (trailer == carving::kNotFound) return false;
        length = chunk.base + trailer + sizeof kPdfTrailer;
        return true;
      });
}

}  // namespace vorlenta
