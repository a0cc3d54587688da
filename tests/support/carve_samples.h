// Real files of the carved formats, made by the real tools (ImageMagick, exiftool, ffmpeg, sox,
// zip, 7z, gzip, sqlite3, libheif, OpenJPEG, flac, vorbis-tools, opus-tools, enscript, groff,
// tar, bzip2, xz, zstd, the WOFF tools) in a folder, for the carving tests. Camera raw files and
// a GIMP image, which no tool here writes, are built around a real JPEG preview.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vorlenta::test {

// How far the carver can know a format's end.
enum class LengthRule {
  kExact,      // a declared size or an accepted trailer: the carved file is the original
  kBounded,    // only the end test: the original, then whatever precedes the next file
  kId3v1Tail,  // the ID3v1 rule: the original and the three bytes after it
};

struct CarveSample {
  std::string label;
  std::string path;       // the original
  std::string extension;  // extension of the carved file's name
  LengthRule rule;
};

// Makes every sample in `folder`, in the order a test lays them out. Returns an empty string,
// or what failed.
std::string MakeCarveSamples(const std::string& folder, std::vector<CarveSample>& out);

// A TrueType font with its table data rewritten in the recommended order, 'head' first (the
// fonts as shipped put another table first, which the signature test does not accept).
std::vector<uint8_t> RelayFontHeadFirst(const std::vector<uint8_t>& font);

}  // namespace vorlenta::test
