// Tar headers: the detection test and the length finder read them the same way.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorlenta {

constexpr size_t kTarBlockBytes = 512;

// Parses a tar number field of `bytes` octal digits (leading spaces, then digits ended by a
// NUL, a space or the field's end).
bool ParseTarOctal(const unsigned char* field, size_t bytes, uint64_t& value);
// True when the 512 bytes at `header` carry the ustar magic and a checksum that holds.
bool IsTarHeader(const unsigned char* header, size_t n);

}  // namespace vorlenta
