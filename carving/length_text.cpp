// Text documents: RTF ends with the brace that closes its outer group, PostScript with its
// last end-of-file comment, HTML and XML with the closing tag of their root element. Text holds
// no NUL byte, so the first one ends a file whose end mark never comes.
#include <cstring>
#include <string>

#include "carving/file_length.h"
#include "format/signature_match.h"

namespace vorlenta {

namespace {

using signature::Usable;

constexpr uint64_t kTextCap = 0x4000000;  // 64 MiB
constexpr size_t kMostNameBytes = 64;

// Takes the line end after `end` (an offset into the chunk) into the file.
size_t TakeLineEnd(const carving::WalkChunk& chunk, size_t end) {
  if (end < chunk.fileBytes && chunk.data[end] == '\r') ++end;
  if (end < chunk.fileBytes && chunk.data[end] == '\n') ++end;
  return end;
}

bool IsNameByte(uint8_t c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ':' || c == '_' ||
         c == '-' || c == '.';
}

// The name of the root element: past the declaration, comments and the document type.
std::string RootElementName(const unsigned char* buf, size_t n) {
  size_t p = 0;
  while (p < n) {
    const unsigned char* open = static_cast<const unsigned char*>(std::memchr(buf + p, '<', n - p));
    if (open == nullptr) return "";
    p = static_cast<size_t>(open - buf) + 1;
    if (p < n && (buf[p] == '?' || buf[p] == '!')) {
      // A comment may hold '>', so it ends at "-->"; the others end at '>'.
      const bool comment = p + 2 < n && buf[p + 1] == '-' && buf[p + 2] == '-';
      const char* close = comment ? "-->" : ">";
      const size_t q = carving::FindForward(buf, n, p, reinterpret_cast<const uint8_t*>(close), std::strlen(close));
      if (q == carving::kNotFound) return "";
      p = q + 1;
      continue;
    }
    size_t e = p;
    while (e < n && e - p < kMostNameBytes && IsNameByte(buf[e])) ++e;
    return std::string(reinterpret_cast<const char*>(buf + p), e - p);
  }
  return "";
}

}  // namespace

namespace carving {

size_t FirstNul(const WalkChunk& chunk) {
  const void* nul = std::memchr(chunk.data, 0, chunk.fileBytes);
  return nul == nullptr ? kNotFound : static_cast<size_t>(static_cast<const uint8_t*>(nul) - chunk.data);
}

}  // namespace carving

uint64_t CFileTypeJudge::GetRtfFileBytesSize(const unsigned char* buf, int len) {
  uint64_t depth = 0;
  bool escaped = false;
  return carving::SectorWalkFromFirst(
      buf, len, kTextCap, &IsEndOfFile, [&](const carving::WalkChunk& chunk, uint64_t& length) {
        for (size_t i = 0; i < chunk.fileBytes; ++i) {
          const uint8_t c = chunk.data[i];
          if (c == 0) {
            length = chunk.base + i;
            return true;
          }
          if (escaped) {
            escaped = false;
          } else if (c == '\\') {
            escaped = true;
          } else if (c == '{') {
            ++depth;
          } else if (c == '}' && depth > 0 && --depth == 0) {
            length = chunk.base + TakeLineEnd(chunk, i + 1);
            return true;
          }
        }
        return false;
      });
}

uint64_t CFileTypeJudge::GetPostScriptFileBytesSize(const unsigned char* buf, int len) {
  return carving::SectorWalkFromFirst(
      buf, len, kTextCap, &IsEndOfFile, [](const carving::WalkChunk& chunk, uint64_t& length) {
        const size_t nul = carving::FirstNul(chunk);
        if (carving::EndOfFileMarkerEnd(chunk, nul == carving::kNotFound ? chunk.fileBytes : nul, length)) return true;
        if (nul == carving::kNotFound) return false;
        length = chunk.base + nul;
        return true;
      });
}

uint64_t CFileTypeJudge::GetMarkupFileBytesSize(const unsigned char* buf, int len) {
  const std::string name = RootElementName(buf, Usable(buf, len));
  const std::string closing = "</" + name + ">";
  const uint8_t* tag = reinterpret_cast<const uint8_t*>(closing.data());
  return carving::SectorWalkFromFirst(
      buf, len, kTextCap, &IsEndOfFile, [&](const carving::WalkChunk& chunk, uint64_t& length) {
        const size_t nul = carving::FirstNul(chunk);
        const size_t limit = nul == carving::kNotFound ? chunk.fileBytes : nul;
        const size_t p = name.empty() ? carving::kNotFound : carving::FindLast(chunk.data, limit, tag, closing.size());
        if (p != carving::kNotFound) {
          length = chunk.base + TakeLineEnd(chunk, p + closing.size());
          return true;
        }
        if (nul == carving::kNotFound) return false;
        length = chunk.base + nul;
        return true;
      });
}

}  // namespace vorlenta
