// Audio: MP3 (an ID3v1 tag near the end), MIDI (the chain of track chunks), Monkey's Audio
// (its APE tag footer), WAVE (declared size) and the formats that end only where the next
// file begins.
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

}  // namespace vorlenta
