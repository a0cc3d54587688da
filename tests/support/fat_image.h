// Real FAT volumes for the tests, made by mkfs.fat and changed with mtools.
#pragma once

#include <string>
#include <vector>

namespace vorlenta::test {

// Formats `image` (created at `kilobytes` KiB) with mkfs.fat and the given options, e.g.
// "-F 12" or "-F 32 -n CARD". With `offsetSectors`, the volume starts that many sectors into
// the image (the image then holds a partition, not a superfloppy).
bool MakeFatVolume(const std::string& image, unsigned kilobytes, const std::string& options,
                   unsigned offsetSectors = 0);

// Runs one mtools command ("mcopy", "mdel", …) on the volume of `image` (at `offsetSectors`),
// with `args` as given (already quoted where needed). True on success.
bool Mtools(const std::string& image, const std::string& command, const std::string& args, unsigned offsetSectors = 0);

// Copies the host file `source` into the volume as `target` ("::/DIR/name.ext").
bool PutFile(const std::string& image, const std::string& source, const std::string& target, unsigned offsetSectors = 0);

}  // namespace vorlenta::test
