// Camera raw files and TIFF: the file ends with the last byte any of its directories points
// at (values stored out of line, strips, tiles, the JPEG preview, the sub-directories). RAF
// files name their three parts in the header. A preview or thumbnail inside is part of the
// file, so the carving pass, which skips what a file covers, never carves it on its own.
#include <algorithm>
#include <vector>

#include "carving/file_length.h"
#include "format/signature_match.h"
#include "util/endian.h"

namespace vorlenta {

namespace {

using signature::Usable;

constexpr uint64_t kRawCap = 0x40000000;  // 1 GiB

constexpr size_t kRafHeaderBytes = 108;
constexpr size_t kRafPartsOffset = 84;  // JPEG, CFA header and CFA, each an offset and a length
constexpr size_t kRafParts = 3;

constexpr size_t kFirstIfdPointerOffset = 4;
constexpr uint8_t kBigEndianMark = 'M';
constexpr size_t kIfdEntryBytes = 12;
constexpr size_t kIfdCountBytes = 2;
constexpr size_t kNextIfdBytes = 4;
constexpr size_t kInlineBytes = 4;
constexpr uint16_t kMostEntries = 1024;
constexpr size_t kMostDirectories = 64;
constexpr uint32_t kMostArrayValues = 8192;

constexpr uint16_t kFieldLong = 4;
constexpr uint16_t kFieldShort = 3;
constexpr uint16_t kFieldIfd = 13;
// Bytes of one value of each TIFF field type, by type number.
constexpr uint8_t kFieldTypeBytes[] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4, 0, 0, 8, 8, 8};

// Directory-pointing tags, and the offset/length pairs of the image data.
constexpr uint16_t kSubIfdsTag = 0x014A;
constexpr uint16_t kExifIfdTag = 0x8769;
constexpr uint16_t kGpsIfdTag = 0x8825;
constexpr uint16_t kInteropIfdTag = 0xA005;
struct DataPair {
  uint16_t offsets;
  uint16_t lengths;
};
constexpr DataPair kDataPairs[] = {{0x0111, 0x0117}, {0x0144, 0x0145}, {0x0201, 0x0202}};

class TiffWalk {
 public:
  explicit TiffWalk(bool big) : m_big(big) {}

  // The end of everything the directories reach, or 0 when the first one is unreadable.
  uint64_t End(uint32_t firstIfd) {
    std::vector<uint64_t> pending{firstIfd};
    std::vector<uint64_t> seen;
    while (!pending.empty() && seen.size() < kMostDirectories) {
      const uint64_t ifd = pending.back();
      pending.pop_back();
      if (ifd == 0 || std::find(seen.begin(), seen.end(), ifd) != seen.end()) continue;
      seen.push_back(ifd);
      if (!Directory(ifd, pending)) {
        if (seen.size() == 1) return 0;
      }
    }
    return m_end;
  }

 private:
  uint16_t U16(const uint8_t* p, size_t n, size_t at) const {
    return m_big ? ReadU16BE(p, n, at) : ReadU16LE(p, n, at);
  }
  uint32_t U32(const uint8_t* p, size_t n, size_t at) const {
    return m_big ? ReadU32BE(p, n, at) : ReadU32LE(p, n, at);
  }

  void Reach(uint64_t end) { m_end = std::max(m_end, std::min(end, kRawCap)); }

  // The values of an entry of SHORT or LONG type: inline, or read from their offset.
  std::vector<uint32_t> Values(const uint8_t* entry, uint16_t type, uint32_t count) {
    std::vector<uint32_t> out;
    const size_t size = type == kFieldShort ? 2 : 4;
    if ((type != kFieldShort && type != kFieldLong && type != kFieldIfd) || count == 0 || count > kMostArrayValues) {
      return out;
    }
    const size_t bytes = size * count;
    std::vector<uint8_t> raw(bytes);
    if (bytes <= kInlineBytes) {
      std::copy(entry + 8, entry + 8 + bytes, raw.begin());
    } else if (!ReadSpread(U32(entry, kIfdEntryBytes, 8), raw)) {
      return out;
    }
    for (size_t i = 0; i < count; ++i) {
      out.push_back(size == 2 ? U16(raw.data(), bytes, 2 * i) : U32(raw.data(), bytes, 4 * i));
    }
    return out;
  }

  bool ReadSpread(uint64_t offset, std::vector<uint8_t>& out) {
    for (size_t done = 0; done < out.size();) {
      const size_t step = std::min(out.size() - done, carving::FileBytes::kWindowBytes / 2);
      if (!m_file.Read(offset + done, out.data() + done, step)) return false;
      done += step;
    }
    return true;
  }

  bool Directory(uint64_t ifd, std::vector<uint64_t>& pending) {
    const uint8_t* head = m_file.At(ifd, kIfdCountBytes);
    if (head == nullptr) return false;
    const uint16_t count = U16(head, kIfdCountBytes, 0);
    if (count == 0 || count > kMostEntries) return false;
    std::vector<uint8_t> table(static_cast<size_t>(count) * kIfdEntryBytes + kNextIfdBytes);
    if (!ReadSpread(ifd + kIfdCountBytes, table)) return false;
    Reach(ifd + kIfdCountBytes + table.size());
    std::vector<uint32_t> offsets[sizeof kDataPairs / sizeof kDataPairs[0]];
    std::vector<uint32_t> lengths[sizeof kDataPairs / sizeof kDataPairs[0]];
    for (size_t k = 0; k < count; ++k) {
      const uint8_t* entry = table.data() + k * kIfdEntryBytes;
      const uint16_t tag = U16(entry, kIfdEntryBytes, 0);
      const uint16_t type = U16(entry, kIfdEntryBytes, 2);
      const uint32_t values = U32(entry, kIfdEntryBytes, 4);
      const uint64_t bytes = type < sizeof kFieldTypeBytes ? static_cast<uint64_t>(kFieldTypeBytes[type]) * values : 0;
      if (bytes > kInlineBytes) Reach(static_cast<uint64_t>(U32(entry, kIfdEntryBytes, 8)) + bytes);
      if (tag == kSubIfdsTag || tag == kExifIfdTag || tag == kGpsIfdTag || tag == kInteropIfdTag) {
        for (uint32_t v : Values(entry, type, values)) pending.push_back(v);
      }
      for (size_t p = 0; p < sizeof kDataPairs / sizeof kDataPairs[0]; ++p) {
        if (tag == kDataPairs[p].offsets) offsets[p] = Values(entry, type, values);
        if (tag == kDataPairs[p].lengths) lengths[p] = Values(entry, type, values);
      }
    }
    for (size_t p = 0; p < sizeof kDataPairs / sizeof kDataPairs[0]; ++p) {
      for (size_t i = 0; i < offsets[p].size() && i < lengths[p].size(); ++i) {
        Reach(static_cast<uint64_t>(offsets[p][i]) + lengths[p][i]);
      }
    }
    pending.push_back(U32(table.data(), table.size(), table.size() - kNextIfdBytes));
    return true;
  }

  bool m_big;
  carving::FileBytes m_file;
  uint64_t m_end = 0;
};

}  // namespace

uint64_t CFileTypeJudge::GetCameraRawFileBytesSize(const unsigned char* buf, int len) {
  const size_t n = Usable(buf, len);
  uint64_t end = 0;
  if (IsCameraRawType(buf, len) == kTypeRaf) {
    if (n < kRafHeaderBytes) return carving::SectorBytes();
    for (size_t part = 0; part < kRafParts; ++part) {
      const size_t at = kRafPartsOffset + 8 * part;
      end = std::max<uint64_t>(end, static_cast<uint64_t>(ReadU32BE(buf, n, at)) + ReadU32BE(buf, n, at + 4));
    }
    return std::min(end, kRawCap);
  }
  if (n > kFirstIfdPointerOffset + 4) {
    const bool big = buf[0] == kBigEndianMark;
    end =
        TiffWalk(big).End(big ? ReadU32BE(buf, n, kFirstIfdPointerOffset) : ReadU32LE(buf, n, kFirstIfdPointerOffset));
  }
  return end != 0 ? end : GetDefaultPictureFileBytesSize(buf, len);
}

}  // namespace vorlenta
