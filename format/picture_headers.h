// Headers of picture formats whose pixel count gives the file's length: the detection test
// and the length finder read them the same way.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorlenta {

// A portable bitmap, graymap or pixmap header ("P1" to "P6", then width, height and, but for
// bitmaps, the largest sample value, in text).
struct PnmHeader {
  char kind = 0;  // '1' to '6'
  uint64_t width = 0;
  uint64_t height = 0;
  uint64_t maxValue = 1;
  size_t dataOffset = 0;  // the first byte after the header's single closing whitespace
};
// True when `buf` starts with a whole header that lies in its `len` bytes.
bool ParsePnmHeader(const uint8_t* buf, size_t len, PnmHeader& header);
// Bytes of the pixel data of a binary ("P4" to "P6") file; 0 for the text kinds.
uint64_t PnmDataBytes(const PnmHeader& header);

// A Targa header: 18 bytes, then the image id, the colour map and the pixels.
struct TgaHeader {
  uint8_t idLength = 0;
  uint8_t colorMapType = 0;
  uint8_t imageType = 0;
  uint16_t colorMapLength = 0;
  uint8_t colorMapDepth = 0;
  uint16_t width = 0;
  uint16_t height = 0;
  uint8_t pixelDepth = 0;
};
constexpr size_t kTgaHeaderBytes = 18;
// True when the 18 bytes at `buf` are a header no random data is likely to match.
bool ParseTgaHeader(const uint8_t* buf, size_t len, TgaHeader& header);
inline bool TgaIsRunLength(const TgaHeader& h) { return h.imageType >= 9; }
inline uint64_t TgaPixelBytes(const TgaHeader& h) { return (h.pixelDepth + 7u) / 8u; }
// Bytes from the file start to the first pixel.
inline uint64_t TgaPixelOffset(const TgaHeader& h) {
  return kTgaHeaderBytes + h.idLength + static_cast<uint64_t>(h.colorMapLength) * ((h.colorMapDepth + 7u) / 8u);
}

}  // namespace vorlenta
