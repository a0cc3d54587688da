// The sector walk that most length finders share, and the byte searches their trailer rules
// use. A walk reads the sectors after a file's first one, 64 KiB at a time, into the context's
// read buffer, reports progress, and runs the end test on every sector it passes; a finder may
// add a trailer search over each chunk. Internal to the length finders.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "format/file_type_judge.h"

namespace vorlenta::carving {

constexpr size_t kNotFound = static_cast<size_t>(-1);

// One chunk of a walk.
struct WalkChunk {
  const uint8_t* data = nullptr;  // the sectors read, in the context's read buffer
  size_t bytes = 0;               // k sectors of B bytes
  // Bytes of the chunk that belong to the file: all of them, or those before the sector where
  // the end test found the next file or file-system metadata. Trailers are looked for only
  // here, so a file never takes in the file that follows it.
  size_t fileBytes = 0;
  uint64_t base = 0;   // file offset of data[0]
  bool ended = false;  // the end test stopped the file in this chunk
};

using EndTest = bool (*)(const unsigned char* chunk, int bytes, uint64_t& length);

class SectorWalker {
 public:
  // Walks at most cap / B sectors after the first sector of the file at m_u64StartSector. The
  // sectors wholly before file offset `from` are known to be the file's (its headers say so):
  // the walk passes them unread and untested.
  SectorWalker(uint64_t cap, EndTest endTest, uint64_t from = 0);

  // Reads the next chunk, reports progress and runs the end test. False when the walk is over:
  // the cap is reached, the device ends, a read fails or the scan callback answers non-zero.
  bool Next(WalkChunk& chunk);
  // The chunk just examined belonged to the file: move past it.
  void Advance();
  // The running length: the first sector, the chunks passed, and the sectors of the last chunk
  // before the end test's stop.
  uint64_t Length() const { return m_length; }

 private:
  EndTest m_endTest;
  int m_bytesPerSector;
  uint64_t m_left;        // sectors the cap still allows
  uint64_t m_nextSector;  // absolute sector of the next read
  uint64_t m_length;
  uint64_t m_base;
  uint32_t m_read = 0;       // sectors in the chunk last read
  bool m_lastChunk = false;  // a short read: nothing follows this chunk
};

// The walk with a trailer search: `trailer(chunk, length)` answers true to end the walk with
// `length`. Without a stop the walk's running length is the result.
template <class Trailer>
uint64_t SectorWalk(uint64_t cap, EndTest endTest, Trailer&& trailer, uint64_t from = 0) {
  SectorWalker walker(cap, endTest, from);
  WalkChunk chunk;
  while (walker.Next(chunk)) {
    uint64_t length = 0;
    if (trailer(chunk, length)) return length;
    if (chunk.ended) break;
    walker.Advance();
  }
  return walker.Length();
}

// The same, with the trailer searched in the first sector `buf` before the walk: a small
// archive or document ends inside its first sector.
template <class Trailer>
uint64_t SectorWalkFromFirst(const unsigned char* buf, int len, uint64_t cap, EndTest endTest, Trailer&& trailer) {
  if (buf != nullptr && len > 0) {
    WalkChunk first;
    first.data = buf;
    first.bytes = static_cast<size_t>(len);
    first.fileBytes = first.bytes;
    first.base = 0;
    uint64_t length = 0;
    if (trailer(first, length)) return length;
  }
  return SectorWalk(cap, endTest, trailer);
}

// The walk with the end test only.
uint64_t SectorWalk(uint64_t cap, EndTest endTest = &CFileTypeJudge::IsEndOfFile);

// The context's sector size in bytes: what a finder answers when it can tell nothing more
// than that the file has its first sector.
inline uint64_t SectorBytes() {
  return CFileTypeJudge::m_nBytesPerSector > 0 ? static_cast<uint64_t>(CFileTypeJudge::m_nBytesPerSector) : 0;
}

// Offset of the first `needle` lying wholly in data[from, limit), or kNotFound.
size_t FindForward(const uint8_t* data, size_t limit, size_t from, const uint8_t* needle, size_t needleBytes);
// Offset of the last `needle` lying wholly in data[0, limit), or kNotFound.
size_t FindLast(const uint8_t* data, size_t limit, const uint8_t* needle, size_t needleBytes);

// A trailer that ends at `end` is accepted when `end` is a sector boundary or every byte from
// it to the next boundary is zero: the slack of a file's last sector.
bool EndsOnPaddedSector(const uint8_t* data, size_t limit, size_t end);

// The PNG form of the trailer rule: the first occurrence of `marker` in data[0, limit) whose
// end is accepted; a rejected one makes the search go on after it. Its end, or kNotFound.
size_t FindAcceptedTrailer(const uint8_t* data, size_t limit, const uint8_t* marker, size_t markerBytes);

// The walk of ZIP archives and OOXML packages: the last end-of-central-directory record in a
// chunk ends the file.
uint64_t ZipEndWalk(const unsigned char* buf, int len, uint64_t cap);

// Random access to the bytes of the file at m_u64StartSector, for the finders that follow a
// chain of sizes (boxes, pages, blocks, headers) through a file. It reads whole sectors through
// a window of its own, so the walk's read buffer stays untouched.
class FileBytes {
 public:
  static constexpr size_t kWindowBytes = 65536;

  FileBytes();
  // `count` (at most kWindowBytes / 2) bytes at file offset `offset`, valid until the next call;
  // null past the device's end or on a read fault.
  const uint8_t* At(uint64_t offset, size_t count);
  // Up to `count` (at most kWindowBytes / 2) bytes at `offset`: `count` becomes the bytes there
  // before the device ends; null when there are none.
  const uint8_t* Span(uint64_t offset, size_t& count);
  // Copies what At gives into `out`.
  bool Read(uint64_t offset, uint8_t* out, size_t count);

 private:
  std::vector<uint8_t> m_window;
  uint64_t m_windowStart = 0;  // file offset of m_window[0]
  size_t m_windowBytes = 0;
};

// The PDF and PostScript trailer: the last "%%EOF" in chunk.data[0, limit) and its line end
// give `length`.
bool EndOfFileMarkerEnd(const WalkChunk& chunk, size_t limit, uint64_t& length);

// Text holds no NUL byte: the offset of the first one in chunk.data[0, fileBytes), or kNotFound.
size_t FirstNul(const WalkChunk& chunk);

// The end of the chain of top-level ISO media boxes from the file's start, or 0 when the chain
// is not whole (one box only, a box sized to the end of the file, a size past `cap`).
uint64_t IsoBoxChainEnd(uint64_t cap);

// Bytes read of `sectors` sectors from the file's own start into the read buffer (the finders
// whose header tables may reach past the first sector); 0 when nothing could be read.
size_t ReadFromFileStart(uint32_t sectors);

}  // namespace vorlenta::carving
