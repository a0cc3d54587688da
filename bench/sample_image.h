// The sample images the benchmarks build and read.
#pragma once

#include <cstdint>
#include <string>

namespace vorlenta::bench {

// A fresh folder under $TMPDIR, or "" when it cannot be made.
std::string MakeScratchFolder(const char* tag);
// Writes `megabytes` MiB to `image`: real files of many formats on sector boundaries, each
// after a gap about its own size of random data and zeros, the zeros `zeroPercent` of the
// whole. Messages start with `tag`. 0, or an exit status.
int MakeSampleImage(const std::string& image, uint64_t megabytes, unsigned zeroPercent, const char* tag);
// Reads the image once so that a timed pass measures the engines, not the disk.
void WarmPageCache(const std::string& image);

}  // namespace vorlenta::bench
