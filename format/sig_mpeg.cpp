// MPEG program and video streams, transport streams (188-byte packets) and AVCHD streams
// (192-byte packets with a 4-byte time stamp in front).
#include <algorithm>

#include "format/file_type_judge.h"
#include "format/signature_match.h"
#include "device/disk_reader.h"

namespace vorlenta {

namespace {

using signature::HasAtLeast;
using signature::Match;
using signature::Usable;

constexpr int kMpgMinLength = 16;
// The partner start code must begin within the first 32 bytes.
constexpr size_t kMpgPartnerWindow = 32;
constexpr uint8_t kMpgSequenceHeader[] = {0x00, 0x00, 0x01, 0xB3};
constexpr uint8_t kMpgGroupOfPictures[] = {0x00, 0x00, 0x01, 0xB8};
constexpr uint8_t kMpgPackHeader[] = {0x00, 0x00, 0x01, 0xBA};
constexpr uint8_t kMpgSystemHeader[] = {0x00, 0x00, 0x01, 0xBB};

constexpr int kTsPacketSize = 188;
constexpr uint8_t kTsSyncByte = 0x47;
// Bytes 1-3 of a real packet header are never all zero.
constexpr size_t kTsHeaderTailLength = 3;
// How much of the stream from the tested sector on must show sync bytes.
constexpr int kTsProbeBytes = 4096;
constexpr int kTsProbePackets = 22;

constexpr int kMtsMinLength = 16;
// A PAT with two programs (network and one programme), section version 0, as AVCHD writes it.
constexpr size_t kMtsPatOffset = 8;
constexpr uint8_t kMtsPatSignature[] = {0x00, 0x00, 0xB0, 0x11, 0x00, 0x00, 0xC1, 0x00};
constexpr size_t kMtsTimeStampLength = 4;
// Other writers open the stream with the PAT or the service table in a packet of its own; the
// first sector then shows the sync bytes of three 192-byte packets.
constexpr int kMtsPacketSize = 192;
constexpr int kMtsProbePackets = 3;
constexpr int kMtsProbeLength = kMtsPacketSize * (kMtsProbePackets - 1) + kMtsTimeStampLength + 1;
constexpr size_t kMtsPidOffset = 5;
constexpr uint8_t kMtsPayloadStart = 0x40;
constexpr uint8_t kMtsPatPid = 0x00;
constexpr uint8_t kMtsServicePid = 0x11;
constexpr size_t kMtsPointerOffset = 8;
constexpr uint8_t kMtsPatTable = 0x00;
constexpr uint8_t kMtsServiceTable = 0x42;

// A first packet that carries the start of the PAT or of the service description table.
bool IsOpeningTablePacket(const uint8_t* buf, size_t n) {
  if (n < static_cast<size_t>(kMtsProbeLength)) return false;
  for (int k = 0; k < kMtsProbePackets; ++k) {
    if (buf[kMtsPacketSize * k + kMtsTimeStampLength] != kTsSyncByte) return false;
  }
  const uint8_t flags = buf[kMtsPidOffset];
  const uint8_t pid = buf[kMtsPidOffset + 1];
  if ((flags & ~kMtsPayloadStart) != 0 || (flags & kMtsPayloadStart) == 0) return false;
  const uint8_t table = buf[kMtsPointerOffset + 1];
  return buf[kMtsPointerOffset] == 0 && ((pid == kMtsPatPid && table == kMtsPatTable) ||
                                         (pid == kMtsServicePid && table == kMtsServiceTable));
}

bool ReadProbe(uint8_t* out, int sectors, uint64_t firstSector) {
  CDiskReader* reader = CFileTypeJudge::m_pDiskReader;
  if (reader == nullptr) return false;
  unsigned read = 0;
  return reader->ReadData(out, sectors, static_cast<long long>(firstSector), CFileTypeJudge::m_nBytesPerSector,
                          &read) == 0;
}

}  // namespace

EXTEND_NAME_TYPE CFileTypeJudge::IsMpgType(const unsigned char* buf, int len) {
  if (!HasAtLeast(buf, len, kMpgMinLength)) return kTypeNone;
  const size_t n = Usable(buf, len);
  const uint8_t* partner = nullptr;
  if (Match(buf, n, 0, kMpgSequenceHeader)) {
    partner = kMpgGroupOfPictures;
  } else if (Match(buf, n, 0, kMpgPackHeader)) {
    partner = kMpgSystemHeader;
  } else {
    return kTypeNone;
  }
  const size_t window = std::min(n, kMpgPartnerWindow);
  for (size_t p = 0; p + sizeof kMpgSystemHeader <= window; ++p) {
    if (BytesEqual(buf, window, p, partner, sizeof kMpgSystemHeader)) return kTypeMpg;
  }
  return kTypeNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsTsType(const unsigned char* buf, int len) {
  if (!HasAtLeast(buf, len, kTsPacketSize)) return kTypeNone;
  if (buf[0] != kTsSyncByte) return kTypeNone;
  bool tailZero = true;
  for (size_t i = 1; i <= kTsHeaderTailLength; ++i) tailZero = tailZero && buf[i] == 0;
  if (tailZero) return kTypeNone;
  for (int k = 0; kTsPacketSize * k < len; ++k) {
    if (buf[kTsPacketSize * k] != kTsSyncByte) return kTypeNone;
  }

  // The stream must go on for several packets, read from the device itself.
  const int bytesPerSector = m_nBytesPerSector;
  if (bytesPerSector <= 0 || bytesPerSector > kTsProbeBytes) return kTypeNone;
  uint8_t probe[kTsProbeBytes] = {};
  if (!ReadProbe(probe, kTsProbeBytes / bytesPerSector, m_u64CurrentSector)) return kTypeNone;
  for (int k = 0; k < kTsProbePackets; ++k) {
    if (probe[kTsPacketSize * k] != kTsSyncByte) return kTypeNone;
  }

  if (m_bIsNeedCheckTsFileRange != 0) {
    // Packets that reach into the sector before mean a stream that merely goes on here.
    if (m_u64CurrentSector == 0) return kTypeNone;
    uint8_t previous[kTsProbeBytes] = {};
    if (!ReadProbe(previous, 1, m_u64CurrentSector - 1)) return kTypeNone;
    for (int j = 1; j <= bytesPerSector / kTsPacketSize; ++j) {
      if (previous[bytesPerSector - kTsPacketSize * j] == kTsSyncByte) return kTypeNone;
    }
    for (const _TS_FILE_RANGE_& range : m_tsFileRangeVec) {
      if (range.u64FirstSector <= m_u64StartSector && m_u64StartSector <= range.u64LastSector) return kTypeNone;
    }
  }
  return kTypeTs;
}

EXTEND_NAME_TYPE CFileTypeJudge::IsMtsType(const unsigned char* buf, int len) {
  if (!HasAtLeast(buf, len, kMtsMinLength)) return kTypeNone;
  const size_t n = Usable(buf, len);
  if (!Match(buf, n, kMtsPatOffset, kMtsPatSignature) && !IsOpeningTablePacket(buf, n)) return kTypeNone;
  // While a stream is measured, a packet with a time stamp is that stream going on.
  bool stampZero = true;
  for (size_t i = 0; i < kMtsTimeStampLength; ++i) stampZero = stampZero && buf[i] == 0;
  if (!stampZero && m_bIsMtsFileHead != 0) return kTypeNone;
  return kTypeMts;
}

}  // namespace vorlenta
