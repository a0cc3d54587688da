// Ogg streams: a chain of pages, each sized by its segment table. Every logical stream opens
// with a begin-of-stream page and closes with an end-of-stream page; the file ends with the
// page that closes the last stream still open.
#include <algorithm>
#include <vector>

#include "carving/file_length.h"
#include "util/endian.h"

namespace vorlenta {

namespace {

constexpr uint64_t kOggCap = 0x100000000;  // 4 GiB
constexpr size_t kPageHeaderBytes = 27;
constexpr uint8_t kCapture[] = {'O', 'g', 'g', 'S'};
constexpr size_t kVersionOffset = 4;
constexpr size_t kFlagsOffset = 5;
constexpr uint8_t kBeginOfStream = 0x02;
constexpr uint8_t kEndOfStream = 0x04;
constexpr size_t kSerialOffset = 14;
constexpr size_t kSegmentCountOffset = 26;
constexpr size_t kMostOpenStreams = 64;

}  // namespace

uint64_t CFileTypeJudge::GetOggFileBytesSize(const unsigned char* buf, int len) {
  carving::FileBytes file;
  std::vector<uint32_t> open;
  uint64_t pos = 0;
  while (pos < kOggCap) {
    uint8_t header[kPageHeaderBytes];
    if (!file.Read(pos, header, sizeof header)) break;
    if (!BytesEqual(header, sizeof header, 0, kCapture, sizeof kCapture) || header[kVersionOffset] != 0) break;
    const size_t segments = header[kSegmentCountOffset];
    const uint8_t* table = file.At(pos + kPageHeaderBytes, segments);
    if (table == nullptr) break;
    uint64_t body = 0;
    for (size_t i = 0; i < segments; ++i) body += table[i];
    const uint32_t serial = ReadU32LE(header, sizeof header, kSerialOffset);
    const uint8_t flags = header[kFlagsOffset];
    const auto found = std::find(open.begin(), open.end(), serial);
    if ((flags & kBeginOfStream) != 0 && found == open.end()) {
      if (open.size() >= kMostOpenStreams) break;
      open.push_back(serial);
    } else if (found == open.end()) {
      // A page of a stream that never began here belongs to something else.
      break;
    }
    pos += kPageHeaderBytes + segments + body;
    if ((flags & kEndOfStream) != 0) {
      open.erase(std::find(open.begin(), open.end(), serial));
      if (open.empty()) return pos;
    }
  }
  // A stream cut short: its pages up to the first broken one, if any were whole.
  return pos != 0 ? std::min(pos, kOggCap) : GetDefaultAudioFileBytesSize(buf, len);
}

}  // namespace vorlenta
