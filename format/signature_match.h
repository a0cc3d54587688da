// Small helpers the format tests share: length guards and bounds-checked signature compares.
#pragma once

#include <cstddef>
#include <cstdint>

#include "util/endian.h"

namespace vorlenta::signature {

// The bytes of a buffer that a test may read: none for a null buffer or a negative length.
inline size_t Usable(const unsigned char* buf, int len) {
  return buf != nullptr && len > 0 ? static_cast<size_t>(len) : 0;
}

// True when the buffer holds at least `minimum` bytes (each test's minimum length).
inline bool HasAtLeast(const unsigned char* buf, int len, int minimum) {
  return buf != nullptr && len >= minimum;
}

// Byte signatures.
template <size_t N>
inline bool Match(const unsigned char* buf, size_t len, size_t offset, const uint8_t (&signature)[N]) {
  return BytesEqual(buf, len, offset, signature, N);
}

// Text signatures, without the terminating NUL of the literal.
template <size_t N>
inline bool MatchText(const unsigned char* buf, size_t len, size_t offset, const char (&text)[N]) {
  return BytesEqual(buf, len, offset, text, N - 1);
}

inline bool IsAsciiDigit(uint8_t c) { return c >= '0' && c <= '9'; }

inline uint8_t FoldAsciiCase(uint8_t c) { return c >= 'A' && c <= 'Z' ? static_cast<uint8_t>(c + ('a' - 'A')) : c; }

// True when the `count` bytes at `text` equal `prefix` without regard to ASCII case.
inline bool StartsWithNoCase(const unsigned char* text, const char* prefix, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (FoldAsciiCase(text[i]) != FoldAsciiCase(static_cast<uint8_t>(prefix[i]))) return false;
  }
  return true;
}

}  // namespace vorlenta::signature
