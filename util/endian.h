// Little- and big-endian field readers for raw on-disk structures.
// Every reader takes the buffer length and answers 0 for a field that does not lie
// wholly inside the buffer, so damaged media can never make a parser read past its end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vorlenta {

inline bool FieldFits(size_t length, size_t offset, size_t width) {
  return offset <= length && width <= length - offset;
}

inline uint8_t ReadU8(const uint8_t* buf, size_t length, size_t offset) {
  return FieldFits(length, offset, 1) ? buf[offset] : 0;
}

inline uint16_t ReadU16LE(const uint8_t* buf, size_t length, size_t offset) {
  if (!FieldFits(length, offset, 2)) return 0;
  return static_cast<uint16_t>(buf[offset] | (buf[offset + 1] << 8));
}

inline uint32_t ReadU32LE(const uint8_t* buf, size_t length, size_t offset) {
  if (!FieldFits(length, offset, 4)) return 0;
  return static_cast<uint32_t>(buf[offset]) | (static_cast<uint32_t>(buf[offset + 1]) << 8) |
         (static_cast<uint32_t>(buf[offset + 2]) << 16) | (static_cast<uint32_t>(buf[offset + 3]) << 24);
}

inline uint64_t ReadU64LE(const uint8_t* buf, size_t length, size_t offset) {
  if (!FieldFits(length, offset, 8)) return 0;
  return static_cast<uint64_t>(ReadU32LE(buf, length, offset)) |
         (static_cast<uint64_t>(ReadU32LE(buf, length, offset + 4)) << 32);
}

inline uint16_t ReadU16BE(const uint8_t* buf, size_t length, size_t offset) {
  if (!FieldFits(length, offset, 2)) return 0;
  return static_cast<uint16_t>((buf[offset] << 8) | buf[offset + 1]);
}

inline uint32_t ReadU32BE(const uint8_t* buf, size_t length, size_t offset) {
  if (!FieldFits(length, offset, 4)) return 0;
  return (static_cast<uint32_t>(buf[offset]) << 24) | (static_cast<uint32_t>(buf[offset + 1]) << 16) |
         (static_cast<uint32_t>(buf[offset + 2]) << 8) | static_cast<uint32_t>(buf[offset + 3]);
}

inline uint64_t ReadU64BE(const uint8_t* buf, size_t length, size_t offset) {
  if (!FieldFits(length, offset, 8)) return 0;
  return (static_cast<uint64_t>(ReadU32BE(buf, length, offset)) << 32) |
         static_cast<uint64_t>(ReadU32BE(buf, length, offset + 4));
}

// True when the `count` bytes at `offset` equal `expected`; false when they do not fit.
inline bool BytesEqual(const uint8_t* buf, size_t length, size_t offset, const void* expected, size_t count) {
  return FieldFits(length, offset, count) && std::memcmp(buf + offset, expected, count) == 0;
}

inline void WriteU16LE(uint8_t* buf, size_t offset, uint16_t value) {
  buf[offset] = static_cast<uint8_t>(value);
  buf[offset + 1] = static_cast<uint8_t>(value >> 8);
}

inline void WriteU32LE(uint8_t* buf, size_t offset, uint32_t value) {
  for (int i = 0; i < 4; ++i) buf[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

inline void WriteU64LE(uint8_t* buf, size_t offset, uint64_t value) {
  for (int i = 0; i < 8; ++i) buf[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

inline void WriteU32BE(uint8_t* buf, size_t offset, uint32_t value) {
  for (int i = 0; i < 4; ++i) buf[offset + i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

}  // namespace vorlenta
