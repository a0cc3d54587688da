// Audio: MP3 (an ID3v1 tag near the end), MIDI (the chain of track chunks), Monkey's Audio
// (its APE tag footer), WAVE, WebP and AIFF (declared sizes), Sun audio (header and data
// size), FLAC (the frame that holds the last sample, ended by its CRC), AMR (the chain of
// speech frames) and the formats that end only where the next file begins.
#include <algorithm>

#include "carving/file_length.h"
#include "format/signature_match.h"
#include "util/endian.h"

namespace vorlenta {

namespace {

using signature::Usable;

constexpr uint64_t kMp3Cap = 0x80000000;         // 2 GiB
constexpr uint64_t kMidiCap = 0x800000;          // 8 MiB
constexpr uint64_t kApeCap = 0x80000000;         // 2 GiB
constexpr uint64_t kSmallAudioCap = 0x10000000;  // 256 MiB

constexpr uint8_t kId3v1Tag[] = {'T', 'A', 'G'};
// The carved length runs three bytes past the 128-byte tag; kept so for the files this
// program has always produced.
constexpr uint64_t kId3v1TailBytes = 131;

constexpr size_t kMidiTrackCountOffset = 10;
constexpr uint64_t kMidiFirstTrackOffset = 14;
constexpr uint8_t kMidiTrackTag[] = {'M', 'T', 'r', 'k'};
constexpr size_t kMidiTrackHeaderBytes = 8;

// The APE tag's preamble and version 2000; header and footer both carry it.
constexpr uint8_t kApeTagPreamble[] = {'A', 'P', 'E', 'T', 'A', 'G', 'E', 'X', 0xD0, 0x07};
constexpr uint64_t kApeTagFooterBytes = 32;

constexpr size_t kRiffSizeOffset = 4;
constexpr uint32_t kRiffHeaderBytes = 8;
constexpr uint8_t kIffTag[] = {'F', 'O', 'R', 'M'};
constexpr uint64_t kDeclaredAudioCap = 0x100000000;  // 4 GiB

constexpr size_t kAuHeaderBytes = 24;
constexpr size_t kAuDataOffsetOffset = 4;
constexpr size_t kAuDataSizeOffset = 8;
constexpr uint32_t kAuUnknownSize = 0xFFFFFFFF;

// AMR: the bytes of each speech frame after its header byte, by frame type, narrow and wide
// band (types 9 to 14 are not used; 15 is an empty frame).
constexpr uint8_t kAmrWideMark = '-';
constexpr size_t kAmrWideMarkOffset = 5;
constexpr uint64_t kAmrHeaderBytes = 6;
constexpr uint64_t kAmrWideHeaderBytes = 9;
constexpr int8_t kAmrFrameBytes[16] = {12, 13, 15, 17, 19, 20, 26, 31, 5, -1, -1, -1, -1, -1, -1, 0};
constexpr int8_t kAmrWideFrameBytes[16] = {17, 23, 32, 36, 40, 46, 50, 58, 60, 5, -1, -1, -1, -1, 0, 0};
// A frame header: no follow-on bit, the quality bit set (a good frame), two zero padding bits.
constexpr uint8_t kAmrHeaderCheckMask = 0x87;
constexpr uint8_t kAmrHeaderGood = 0x04;
constexpr size_t kAmrReadStep = 4096;
constexpr uint64_t kAmrCap = 0x10000000;  // 256 MiB

// FLAC: the stream information block's fields, from the file's start.
constexpr size_t kFlacMetadataOffset = 4;
constexpr size_t kFlacBlockHeaderBytes = 4;
constexpr uint8_t kFlacLastBlock = 0x80;
constexpr size_t kFlacMaxBlockSizeOffset = 10;
constexpr size_t kFlacMinFrameSizeOffset = 12;
constexpr size_t kFlacTotalSamplesOffset = 21;  // the low 4 bits of this byte, then 32 bits
constexpr size_t kFlacStreamInfoEnd = 42;
constexpr uint64_t kFlacCap = 0x80000000;  // 2 GiB
constexpr int kMostFlacBlocks = 1024;
constexpr uint8_t kFlacSyncByte = 0xFF;
constexpr uint8_t kFlacSyncMask = 0xFE;
constexpr uint8_t kFlacSyncLow = 0xF8;
constexpr uint8_t kFlacVariableBlocks = 0x01;
constexpr size_t kFlacMostHeaderBytes = 16;
constexpr size_t kFlacReadStep = 16384;

// Follows the chain of MIDI track chunks through the bytes a walk hands over, in file order.
// Each track chunk is "MTrk", a big-endian length and that many bytes, and the next one
// follows at once, so the header count and the lengths give where the file ends. The first
// sector is fed before the walk, so the first track is counted too; a chunk passed over only
// advances the position. A header that straddles two pieces is completed from a carry of the
// previous piece's last bytes.
class MidiTrackChain {
 public:
  explicit MidiTrackChain(uint32_t tracks) : m_tracksLeft(tracks) {}

  void Feed(const uint8_t* data, uint64_t base, size_t bytes) {
    while (!m_broken && m_tracksLeft > 0) {
      uint8_t header[kMidiTrackHeaderBytes];
      bool inside = true;
      for (size_t i = 0; i < kMidiTrackHeaderBytes && inside; ++i)
        inside = ByteAt(data, base, bytes, m_next + i, header[i]);
      if (!inside) {
        // Not all here: it reaches into the next piece, unless it starts in bytes never seen.
        const bool carried = m_carryBytes > 0 && m_carryBase + m_carryBytes == base;
        if (m_next < (carried ? m_carryBase : base)) m_broken = true;
        break;
      }
      if (!BytesEqual(header, sizeof header, 0, kMidiTrackTag, sizeof kMidiTrackTag)) {
        m_broken = true;
        break;
      }
      m_next += kMidiTrackHeaderBytes + ReadU32BE(header, sizeof header, sizeof kMidiTrackTag);
      --m_tracksLeft;
    }
    const size_t keep = std::min(bytes, sizeof m_carry);
    for (size_t i = 0; i < keep; ++i) m_carry[i] = data[bytes - keep + i];
    m_carryBase = base + bytes - keep;
    m_carryBytes = keep;
  }

  // True once every declared track is found; End() is then the file's length.
  bool Complete() const { return !m_broken && m_tracksLeft == 0; }
  uint64_t End() const { return m_next; }

 private:
  bool ByteAt(const uint8_t* data, uint64_t base, size_t bytes, uint64_t offset, uint8_t& out) const {
    if (offset >= base && offset - base < bytes) {
      out = data[offset - base];
      return true;
    }
    if (offset >= m_carryBase && offset - m_carryBase < m_carryBytes) {
      out = m_carry[offset - m_carryBase];
      return true;
    }
    return false;
  }

  uint32_t m_tracksLeft;
  uint64_t m_next = kMidiFirstTrackOffset;
  bool m_broken = false;
  uint8_t m_carry[kMidiTrackHeaderBytes] = {};
  uint64_t m_carryBase = 0;
  size_t m_carryBytes = 0;
};

uint8_t Crc8(const uint8_t* data, size_t bytes) {
  uint8_t crc = 0;
  for (size_t i = 0; i < bytes; ++i) {
    crc ^= data[i];
    for (int b = 0; b < 8; ++b) crc = static_cast<uint8_t>((crc & 0x80) != 0 ? (crc << 1) ^ 0x07 : crc << 1);
  }
  return crc;
}

uint16_t Crc16Step(uint16_t crc, uint8_t byte) {
  crc ^= static_cast<uint16_t>(byte << 8);
  for (int b = 0; b < 8; ++b) crc = static_cast<uint16_t>((crc & 0x8000) != 0 ? (crc << 1) ^ 0x8005 : crc << 1);
  return crc;
}

// A FLAC frame header at `h` (up to `n` bytes): its first sample (fixed-size blocks give the
// frame number times the block size), its block size and its bytes. False when the bytes are
// not a header whose CRC-8 holds.
bool ParseFlacFrameHeader(const uint8_t* h, size_t n, uint32_t fixedBlock, uint64_t& firstSample, uint32_t& block,
                          size_t& headerBytes) {
  if (n < 6 || h[0] != kFlacSyncByte || (h[1] & kFlacSyncMask) != kFlacSyncLow) return false;
  const bool variable = (h[1] & kFlacVariableBlocks) != 0;
  const uint8_t blockCode = h[2] >> 4;
  const uint8_t rateCode = h[2] & 0x0F;
  if (blockCode == 0 || rateCode == 0x0F || (h[3] & 0x01) != 0 || (h[3] >> 4) > 10) return false;
  // The frame or sample number, coded as UTF-8 is, up to 7 bytes.
  size_t at = 4;
  uint64_t number = h[at];
  size_t follow = 0;
  if (number >= 0xFE) {
    follow = 6;
    number = 0;
  } else {
    for (uint8_t mask = 0x80; (number & mask) != 0 && mask > 0x01; mask >>= 1) ++follow;
    if (follow == 1) return false;
    if (follow > 0) --follow;
    number &= 0x7Fu >> (follow == 0 ? 0 : follow + 1);
  }
  ++at;
  for (size_t i = 0; i < follow; ++i, ++at) {
    if (at >= n || (h[at] & 0xC0) != 0x80) return false;
    number = (number << 6) | (h[at] & 0x3F);
  }
  if (blockCode == 1) {
    block = 192;
  } else if (blockCode <= 5) {
    block = 576u << (blockCode - 2);
  } else if (blockCode == 6) {
    if (at + 1 > n) return false;
    block = h[at++] + 1u;
  } else if (blockCode == 7) {
    if (at + 2 > n) return false;
    block = ReadU16BE(h, n, at) + 1u;
    at += 2;
  } else {
    block = 256u << (blockCode - 8);
  }
  if (rateCode == 12) at += 1;
  if (rateCode == 13 || rateCode == 14) at += 2;
  if (at >= n || Crc8(h, at) != h[at]) return false;
  headerBytes = at + 1;
  firstSample = variable ? number : number * fixedBlock;
  return true;
}

}  // namespace

uint64_t CFileTypeJudge::GetMP3FileBytesSize(const unsigned char* /*buf*/, int /*len*/) {
  // The tag's text "TAG" may occur in the audio data too; the last chunk's first one counts.
  uint64_t candidate = 0;
  const uint64_t walked = carving::SectorWalk(kMp3Cap, &IsEndOfFile, [&](const carving::WalkChunk& chunk, uint64_t&) {
    const size_t p = carving::FindForward(chunk.data, chunk.fileBytes, 0, kId3v1Tag, sizeof kId3v1Tag);
    if (p != carving::kNotFound) candidate = chunk.base + p + kId3v1TailBytes;
    return false;
  });
  return candidate != 0 && candidate < walked ? candidate : walked;
}

uint64_t CFileTypeJudge::GetMIDFileBytesSize(const unsigned char* buf, int len) {
  const size_t n = Usable(buf, len);
  MidiTrackChain chain(ReadU16BE(buf, n, kMidiTrackCountOffset));
  if (n > 0) chain.Feed(buf, 0, n);
  if (chain.Complete() && chain.End() <= n) return chain.End();
  const uint64_t walked =
      carving::SectorWalk(kMidiCap, &IsEndOfFile, [&](const carving::WalkChunk& chunk, uint64_t& length) {
        chain.Feed(chunk.data, chunk.base, chunk.fileBytes);
        if (!chain.Complete() || chain.End() > chunk.base + chunk.fileBytes) return false;
        length = chain.End();
        return true;
      });
  return std::min({walked, chain.Complete() ? chain.End() : walked, kMidiCap});
}

uint64_t CFileTypeJudge::GetAPEFileBytesSize(const unsigned char* /*buf*/, int /*len*/) {
  return carving::SectorWalk(kApeCap, &IsEndOfFile, [](const carving::WalkChunk& chunk, uint64_t& length) {
    const size_t limit = chunk.fileBytes;
    const size_t header = carving::FindForward(chunk.data, limit, 0, kApeTagPreamble, sizeof kApeTagPreamble);
    if (header == carving::kNotFound) return false;
    const size_t footer = carving::FindForward(chunk.data, limit, header + sizeof kApeTagPreamble, kApeTagPreamble,
                                               sizeof kApeTagPreamble);
    length = chunk.base + (footer != carving::kNotFound ? footer + kApeTagFooterBytes : limit);
    return true;
  });
}

uint64_t CFileTypeJudge::GetWAVFileBytesSize(const unsigned char* buf, int len) {
  return static_cast<uint32_t>(ReadU32LE(buf, Usable(buf, len), kRiffSizeOffset) + kRiffHeaderBytes);
}

uint64_t CFileTypeJudge::GetDefaultAudioFileBytesSize(const unsigned char* /*buf*/, int /*len*/) {
  return carving::SectorWalk(kSmallAudioCap);
}

uint64_t CFileTypeJudge::GetFLAFileBytesSize(const unsigned char* buf, int len) {
  return GetDefaultAudioFileBytesSize(buf, len);
}

uint64_t CFileTypeJudge::GetRiffFileBytesSize(const unsigned char* buf, int len) {
  const size_t n = Usable(buf, len);
  if (n < kRiffHeaderBytes) return carving::SectorBytes();
  const bool iff = BytesEqual(buf, n, 0, kIffTag, sizeof kIffTag);
  const uint64_t size = iff ? ReadU32BE(buf, n, kRiffSizeOffset) : ReadU32LE(buf, n, kRiffSizeOffset);
  return std::min<uint64_t>(size + kRiffHeaderBytes, kDeclaredAudioCap);
}

uint64_t CFileTypeJudge::GetAuFileBytesSize(const unsigned char* buf, int len) {
  const size_t n = Usable(buf, len);
  if (n < kAuHeaderBytes) return carving::SectorBytes();
  const uint32_t size = ReadU32BE(buf, n, kAuDataSizeOffset);
  if (size == kAuUnknownSize) return GetDefaultAudioFileBytesSize(buf, len);
  return static_cast<uint64_t>(ReadU32BE(buf, n, kAuDataOffsetOffset)) + size;
}

uint64_t CFileTypeJudge::GetAmrFileBytesSize(const unsigned char* buf, int len) {
  const size_t n = Usable(buf, len);
  const bool wide = n > kAmrWideMarkOffset && buf[kAmrWideMarkOffset] == kAmrWideMark;
  const int8_t* sizes = wide ? kAmrWideFrameBytes : kAmrFrameBytes;
  uint64_t end = wide ? kAmrWideHeaderBytes : kAmrHeaderBytes;
  // The file records no length: it ends before the first byte that is not a good frame's header.
  carving::FileBytes file;
  while (end < kAmrCap) {
    size_t got = kAmrReadStep;
    const uint8_t* data = file.Span(end, got);
    if (data == nullptr) break;
    size_t at = 0;
    while (at < got) {
      const uint8_t header = data[at];
      const int8_t bytes = sizes[(header >> 3) & 0x0F];
      if ((header & kAmrHeaderCheckMask) != kAmrHeaderGood || bytes < 0) return end;
      at += 1 + static_cast<size_t>(bytes);
      end += 1 + static_cast<uint64_t>(bytes);
    }
  }
  return std::min(end, kAmrCap);
}

uint64_t CFileTypeJudge::GetFlacFileBytesSize(const unsigned char* buf, int len) {
  const size_t n = Usable(buf, len);
  if (n < kFlacStreamInfoEnd) return GetDefaultAudioFileBytesSize(buf, len);
  const uint32_t fixedBlock = ReadU16BE(buf, n, kFlacMaxBlockSizeOffset);
  const uint32_t minFrame = ReadU32BE(buf, n, kFlacMinFrameSizeOffset - 1) & 0xFFFFFF;
  const uint64_t total = (static_cast<uint64_t>(buf[kFlacTotalSamplesOffset] & 0x0F) << 32) |
                         ReadU32BE(buf, n, kFlacTotalSamplesOffset + 1);
  if (total == 0) return GetDefaultAudioFileBytesSize(buf, len);
  carving::FileBytes file;
  // The metadata blocks, up to the last.
  uint64_t pos = kFlacMetadataOffset;
  for (int k = 0; k < kMostFlacBlocks; ++k) {
    const uint8_t* block = file.At(pos, kFlacBlockHeaderBytes);
    if (block == nullptr) return GetDefaultAudioFileBytesSize(buf, len);
    pos += kFlacBlockHeaderBytes + (ReadU32BE(block, kFlacBlockHeaderBytes, 0) & 0xFFFFFF);
    if ((block[0] & kFlacLastBlock) != 0) break;
  }
  // The frame holding the last sample: the first header whose samples reach the total.
  uint64_t frame = 0;
  bool found = false;
  while (!found && pos < kFlacCap) {
    size_t got = kFlacReadStep;
    const uint8_t* data = file.Span(pos, got);
    if (data == nullptr || got <= kFlacMostHeaderBytes) break;
    const size_t scan = got - kFlacMostHeaderBytes;
    size_t i = 0;
    for (; i < scan; ++i) {
      uint64_t first = 0;
      uint32_t block = 0;
      size_t headerBytes = 0;
      if (data[i] == kFlacSyncByte &&
          ParseFlacFrameHeader(data + i, kFlacMostHeaderBytes, fixedBlock, first, block, headerBytes) &&
          first < total && first + block >= total) {
        frame = pos + i;
        found = true;
        break;
      }
    }
    if (!found) pos += scan;
  }
  if (!found) return GetDefaultAudioFileBytesSize(buf, len);
  // The frame ends with the CRC-16 of all its bytes, where the running CRC comes back to zero.
  uint16_t crc = 0;
  for (uint64_t at = frame; at < frame + kFlacCap;) {
    size_t got = kFlacReadStep;
    const uint8_t* data = file.Span(at, got);
    if (data == nullptr) break;
    for (size_t i = 0; i < got; ++i) {
      crc = Crc16Step(crc, data[i]);
      const uint64_t bytes = at + i + 1 - frame;
      if (crc == 0 && bytes >= minFrame && bytes > kFlacMostHeaderBytes / 2) return at + i + 1;
    }
    at += got;
  }
  return GetDefaultAudioFileBytesSize(buf, len);
}

}  // namespace vorlenta
