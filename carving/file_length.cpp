// The carving entry (detect, name, measure), the shared sector walk with its progress report,
// the end test and the trailer rules of JPEG, PNG and GIF.
#include "carving/file_length.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "format/signature_match.h"
#include "device/disk_reader.h"
#include "engine/status.h"

namespace vorlenta {

namespace {

using signature::Usable;

// One buffer for every walk; walks run one at a time on the scan's thread.
alignas(64) unsigned char g_readBuffer[CFileTypeJudge::kReadBufBytes];

// The walk's progress figure runs from 10 upwards, as the carving pass reports it.
constexpr uint64_t kProgressOffset = 10;
constexpr size_t kNameBytes = 256;

constexpr uint8_t kJpegEndOfImage[] = {0xFF, 0xD9};
constexpr uint8_t kPngEnd[] = {'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};
constexpr uint8_t kGifTrailer[] = {0x00, 0x3B};

// The end test over the whole sectors of a chunk. `Detect` is the detection walk used;
// `kMpeg` lets an MPEG pack or sequence header go on inside an MPEG stream.
template <bool kMpeg, EXTEND_NAME_TYPE (*Detect)(const unsigned char*, int)>
bool EndTestOver(const unsigned char* chunk, int bytes, uint64_t& length) {
  const int sectorBytes = CFileTypeJudge::m_nBytesPerSector;
  if (chunk == nullptr || sectorBytes <= 0 || bytes < sectorBytes) return false;
  const int sectors = bytes / sectorBytes;
  for (int j = 0; j < sectors; ++j) {
    ++CFileTypeJudge::m_u64CurrentSector;
    const unsigned char* sector = chunk + static_cast<size_t>(j) * static_cast<size_t>(sectorBytes);
    const EXTEND_NAME_TYPE type = Detect(sector, sectorBytes);
    const bool otherFile = type != kTypeNone && !(kMpeg && type == kTypeMpg);
    if (otherFile || CFileTypeJudge::IsFileSystemSector(sector, sectorBytes)) {
      length += static_cast<uint64_t>(j) * static_cast<uint64_t>(sectorBytes);
      return true;
    }
  }
  return false;
}

}  // namespace

unsigned char* const CFileTypeJudge::m_pReadBuf = g_readBuffer;
uint64_t CFileTypeJudge::m_u64ScanSectorCount = 0;
uint64_t CFileTypeJudge::m_u64SectorTotalCount = 0;
int CFileTypeJudge::m_nRemaidSecond = -1;
uint64_t CFileTypeJudge::m_u64FileCount = 0;
ScanCallback CFileTypeJudge::m_progressFunc = nullptr;
RecoveryCallback CFileTypeJudge::m_pRecoveryFunc = nullptr;
void* CFileTypeJudge::m_pParam = nullptr;
int CFileTypeJudge::m_nPercent = 0;
int CFileTypeJudge::m_ErrorCode = 0;

int CFileTypeJudge::InitCallBack(ScanCallback scanCallback, RecoveryCallback recoveryCallback, void* context,
                                 int weight) {
  m_progressFunc = scanCallback;
  m_pRecoveryFunc = recoveryCallback;
  m_pParam = context;
  m_nPercent = weight;
  return 0;
}

int CFileTypeJudge::ParseFileBuf(const unsigned char* buf, int len, uint64_t startSector, uint64_t scannedSectors,
                                 uint64_t totalSectors, int secondsLeft, uint64_t filesFound, CDiskReader* reader,
                                 int bytesPerSector, char* nameOut, EXTEND_NAME_TYPE& typeOut, uint64_t& lengthOut) {
  SetDetectionContext(reader, bytesPerSector, startSector);
  m_u64ScanSectorCount = scannedSectors;
  m_u64SectorTotalCount = totalSectors;
  m_nRemaidSecond = secondsLeft;
  m_u64FileCount = filesFound;
  // The carver asks whether a new file starts here: a transport stream must not merely go on
  // from the sector before, nor lie in one already carved, and an AVCHD packet counts as a new
  // stream whatever its time stamp. A health check in between may have left other values.
  m_bIsNeedCheckTsFileRange = 1;
  m_bIsMtsFileHead = 0;
  const EXTEND_NAME_TYPE type = GetDataBufType(buf, len);
  m_bIsNeedCheckTsFileRange = 1;
  m_bIsMtsFileHead = 0;
  if (type == kTypeNone) return kStatusInvalidParameter;
  // Rows of one code share their test and finder, so the first row of the type is the one to
  // name and measure the file by.
  const _EXTEND_NAME_AND_TYPE_* row = FindFormatRowByType(type);
  if (row == nullptr || row->pfnGetSize == nullptr || nameOut == nullptr) return kStatusInvalidParameter;
  if (type != kTypeTs) m_bIsNeedCheckTsFileRange = 0;
  if (type == kTypeMts) m_bIsMtsFileHead = 1;
  std::snprintf(nameOut, kNameBytes, "%lld.%s", static_cast<long long>(startSector), row->szExtendName);
  typeOut = type;
  m_ErrorCode = 0;
  lengthOut = row->pfnGetSize(buf, len);
  return m_ErrorCode == kStatusUserStop ? kStatusUserStop : kStatusOk;
}

bool CFileTypeJudge::IsEndOfFile(const unsigned char* chunk, int bytes, uint64_t& length) {
  return EndTestOver<false, &CFileTypeJudge::GetDataBufType>(chunk, bytes, length);
}

bool CFileTypeJudge::IsEndOfVedioFile(const unsigned char* chunk, int bytes, uint64_t& length) {
  return IsEndOfFile(chunk, bytes, length);
}

bool CFileTypeJudge::IsEndOfMPGFile(const unsigned char* chunk, int bytes, uint64_t& length) {
  return EndTestOver<true, &CFileTypeJudge::GetDataBufType>(chunk, bytes, length);
}

bool CFileTypeJudge::IsEndOfFileInTableOrder(const unsigned char* chunk, int bytes, uint64_t& length) {
  return EndTestOver<false, &CFileTypeJudge::GetDataBufTypeInTableOrder>(chunk, bytes, length);
}

bool CFileTypeJudge::GetJPGFileTailOffset(const unsigned char* buf, int len, uint64_t& offset) {
  const size_t n = Usable(buf, len);
  // Entropy-coded data never holds FF D9, so the first one is the end of an image: this one's,
  // or an embedded thumbnail's, which the padding rule then turns down.
  const size_t p = carving::FindForward(buf, n, 0, kJpegEndOfImage, sizeof kJpegEndOfImage);
  if (p == carving::kNotFound) return false;
  const size_t end = p + sizeof kJpegEndOfImage;
  if (!carving::EndsOnPaddedSector(buf, n, end)) return false;
  offset = end;
  return true;
}

bool CFileTypeJudge::GetPNGFileTailOffset(const unsigned char* buf, int len, uint64_t& offset) {
  const size_t end = carving::FindAcceptedTrailer(buf, Usable(buf, len), kPngEnd, sizeof kPngEnd);
  if (end == carving::kNotFound) return false;
  offset = end;
  return true;
}

bool CFileTypeJudge::GetGIFFileTailOffset(const unsigned char* buf, int len, uint64_t& offset) {
  const size_t end = carving::FindAcceptedTrailer(buf, Usable(buf, len), kGifTrailer, sizeof kGifTrailer);
  if (end == carving::kNotFound) return false;
  offset = end;
  return true;
}

namespace carving {

SectorWalker::SectorWalker(uint64_t cap, EndTest endTest, uint64_t from)
    : m_endTest(endTest),
      m_bytesPerSector(CFileTypeJudge::m_nBytesPerSector),
      m_left(m_bytesPerSector > 0 ? cap / static_cast<uint64_t>(m_bytesPerSector) : 0),
      m_nextSector(CFileTypeJudge::m_u64StartSector + 1),
      m_length(m_bytesPerSector > 0 ? static_cast<uint64_t>(m_bytesPerSector) : 0),
      m_base(m_length) {
  if (m_bytesPerSector <= 0) return;
  const uint64_t b = static_cast<uint64_t>(m_bytesPerSector);
  const uint64_t passed = std::min<uint64_t>(from / b, m_left + 1);
  if (passed <= 1) return;
  m_nextSector += passed - 1;
  m_length = passed * b;
  m_base = m_length;
  m_left -= passed - 1;
}

bool SectorWalker::Next(WalkChunk& chunk) {
  CDiskReader* reader = CFileTypeJudge::m_pDiskReader;
  const int sectorBytes = m_bytesPerSector;
  if (m_lastChunk || m_left == 0 || reader == nullptr || sectorBytes <= 0 ||
      sectorBytes > CFileTypeJudge::kReadBufBytes) {
    return false;
  }
  // Never ask past the end of the device: the sectors up to it still belong to the file.
  const unsigned long long limit = reader->SectorLimit();
  if (m_nextSector >= limit) return false;
  uint64_t want = std::min<uint64_t>(m_left, static_cast<uint64_t>(CFileTypeJudge::kReadBufBytes / sectorBytes));
  want = std::min<uint64_t>(want, limit - m_nextSector);
  unsigned got = 0;
  const int status = reader->ReadData(CFileTypeJudge::m_pReadBuf, static_cast<int>(want),
                                      static_cast<long long>(m_nextSector), sectorBytes, &got);
  if (status != 0) {
    // A read error: what arrived before it still counts, nothing after it.
    m_lastChunk = true;
    if (status != kStatusReadFault) got = 0;
  }
  got = static_cast<unsigned>(std::min<uint64_t>(got, want));
  if (got == 0) return false;
  m_read = got;

  CFileTypeJudge::m_u64ScanSectorCount += got;
  if (CFileTypeJudge::m_progressFunc != nullptr) {
    const uint64_t total = CFileTypeJudge::m_u64SectorTotalCount;
    const uint64_t percent = (total != 0 ? CFileTypeJudge::m_u64ScanSectorCount * 100 / total : 0) + kProgressOffset;
    const int answer = CFileTypeJudge::m_progressFunc(
        CFileTypeJudge::m_pParam, static_cast<int>(std::min<uint64_t>(percent, 0x7FFFFFFF)), CFileTypeJudge::m_nPercent,
        CFileTypeJudge::m_nRemaidSecond, CFileTypeJudge::m_u64ScanSectorCount, CFileTypeJudge::m_u64SectorTotalCount,
        CFileTypeJudge::m_u64FileCount, nullptr);
    if (answer != 0) {
      CFileTypeJudge::m_ErrorCode = answer;
      return false;
    }
  }

  const size_t bytes = static_cast<size_t>(got) * static_cast<size_t>(sectorBytes);
  // The end test names each sector it looks at, for the tests that read on from the device.
  CFileTypeJudge::m_u64CurrentSector = m_nextSector - 1;
  const uint64_t before = m_length;
  chunk.ended = m_endTest != nullptr && m_endTest(CFileTypeJudge::m_pReadBuf, static_cast<int>(bytes), m_length);
  chunk.data = CFileTypeJudge::m_pReadBuf;
  chunk.bytes = bytes;
  chunk.fileBytes = chunk.ended ? static_cast<size_t>(std::min<uint64_t>(m_length - before, bytes)) : bytes;
  chunk.base = m_base;
  return true;
}

void SectorWalker::Advance() {
  const uint64_t bytes = static_cast<uint64_t>(m_read) * static_cast<uint64_t>(m_bytesPerSector);
  m_length += bytes;
  m_base += bytes;
  m_left -= std::min<uint64_t>(m_left, m_read);
  m_nextSector += m_read;
  m_read = 0;
}

uint64_t SectorWalk(uint64_t cap, EndTest endTest) {
  return SectorWalk(cap, endTest, [](const WalkChunk&, uint64_t&) { return false; });
}

size_t FindForward(const uint8_t* data, size_t limit, size_t from, const uint8_t* needle, size_t needleBytes) {
  if (data == nullptr || needleBytes == 0 || from > limit || limit - from < needleBytes) return kNotFound;
  // memchr on one byte of the needle, then a compare: the walks search every chunk of every
  // file they pass, and most chunks hold no trailer. The anchor is the needle's last byte that
  // is neither 00 nor FF, the two values padding and JPEG data are full of.
  size_t anchor = 0;
  for (size_t i = 0; i < needleBytes; ++i) {
    if (needle[i] != 0x00 && needle[i] != 0xFF) anchor = i;
  }
  const uint8_t* const last = data + limit - needleBytes + anchor;  // the last place the anchor may lie
  const uint8_t* p = data + from + anchor;
  while (p <= last) {
    const void* hit = std::memchr(p, needle[anchor], static_cast<size_t>(last - p) + 1);
    if (hit == nullptr) return kNotFound;
    const uint8_t* start = static_cast<const uint8_t*>(hit) - anchor;
    if (std::memcmp(start, needle, needleBytes) == 0) return static_cast<size_t>(start - data);
    p = static_cast<const uint8_t*>(hit) + 1;
  }
  return kNotFound;
}

size_t FindLast(const uint8_t* data, size_t limit, const uint8_t* needle, size_t needleBytes) {
  size_t last = kNotFound;
  for (size_t p = FindForward(data, limit, 0, needle, needleBytes); p != kNotFound;
       p = FindForward(data, limit, p + 1, needle, needleBytes)) {
    last = p;
  }
  return last;
}

bool EndsOnPaddedSector(const uint8_t* data, size_t limit, size_t end) {
  const int sectorBytes = CFileTypeJudge::m_nBytesPerSector;
  if (data == nullptr || sectorBytes <= 0 || end > limit) return false;
  const size_t b = static_cast<size_t>(sectorBytes);
  if (end % b == 0) return true;
  const size_t boundary = (end / b + 1) * b;
  // The slack must be in the buffer to be seen as zero.
  if (boundary > limit) return false;
  for (size_t i = end; i < boundary; ++i) {
    if (data[i] != 0) return false;
  }
  return true;
}

size_t FindAcceptedTrailer(const uint8_t* data, size_t limit, const uint8_t* marker, size_t markerBytes) {
  for (size_t p = FindForward(data, limit, 0, marker, markerBytes); p != kNotFound;
       p = FindForward(data, limit, p + markerBytes, marker, markerBytes)) {
    if (EndsOnPaddedSector(data, limit, p + markerBytes)) return p + markerBytes;
  }
  return kNotFound;
}

FileBytes::FileBytes() : m_window(kWindowBytes) {}

const uint8_t* FileBytes::At(uint64_t offset, size_t count) {
  size_t got = count;
  const uint8_t* p = Span(offset, got);
  return p != nullptr && got == count ? p : nullptr;
}

const uint8_t* FileBytes::Span(uint64_t offset, size_t& count) {
  if (count > kWindowBytes / 2) return nullptr;
  const size_t wanted = count;
  if (offset >= m_windowStart && offset - m_windowStart + count <= m_windowBytes) {
    return m_window.data() + (offset - m_windowStart);
  }
  count = 0;
  CDiskReader* reader = CFileTypeJudge::m_pDiskReader;
  const int sectorBytes = CFileTypeJudge::m_nBytesPerSector;
  if (reader == nullptr || sectorBytes <= 0 || static_cast<size_t>(sectorBytes) > kWindowBytes / 2) return nullptr;
  const uint64_t b = static_cast<uint64_t>(sectorBytes);
  const uint64_t first = CFileTypeJudge::m_u64StartSector + offset / b;
  const unsigned long long limit = reader->SectorLimit();
  if (first >= limit || offset / b > limit) return nullptr;
  const uint64_t want = std::min<uint64_t>(kWindowBytes / b, limit - first);
  unsigned got = 0;
  const int status =
      reader->ReadData(m_window.data(), static_cast<int>(want), static_cast<long long>(first), sectorBytes, &got);
  if (status != 0 && status != kStatusReadFault) got = 0;
  m_windowStart = offset / b * b;
  m_windowBytes = static_cast<size_t>(std::min<uint64_t>(got, want) * b);
  const size_t within = static_cast<size_t>(offset - m_windowStart);
  if (within >= m_windowBytes) return nullptr;
  count = std::min(wanted, m_windowBytes - within);
  return m_window.data() + within;
}

bool FileBytes::Read(uint64_t offset, uint8_t* out, size_t count) {
  const uint8_t* p = At(offset, count);
  if (p == nullptr) return false;
  std::memcpy(out, p, count);
  return true;
}

size_t ReadFromFileStart(uint32_t sectors) {
  CDiskReader* reader = CFileTypeJudge::m_pDiskReader;
  const int sectorBytes = CFileTypeJudge::m_nBytesPerSector;
  if (reader == nullptr || sectorBytes <= 0 || sectorBytes > CFileTypeJudge::kReadBufBytes) return 0;
  const uint64_t start = CFileTypeJudge::m_u64StartSector;
  const unsigned long long limit = reader->SectorLimit();
  if (start >= limit) return 0;
  uint64_t want = std::min<uint64_t>(sectors, static_cast<uint64_t>(CFileTypeJudge::kReadBufBytes / sectorBytes));
  want = std::min<uint64_t>(want, limit - start);
  unsigned got = 0;
  const int status = reader->ReadData(CFileTypeJudge::m_pReadBuf, static_cast<int>(want), static_cast<long long>(start),
                                      sectorBytes, &got);
  if (status != 0 && status != kStatusReadFault) return 0;
  return static_cast<size_t>(std::min<uint64_t>(got, want)) * static_cast<size_t>(sectorBytes);
}

}  // namespace carving

}  // namespace vorlenta
