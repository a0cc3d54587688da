// Whether a recovery may write into a destination folder: never onto the medium being read
// (writing there would overwrite the very data being recovered), and only with room enough.
#pragma once

#include <cstdint>
#include <string>

namespace vorlenta {

enum class DestinationVerdict {
  kFine,
  // The file system holding the destination lives on the source: the source itself, one of
  // its partitions, or a loop device backed by it; mounted by the kernel or through FUSE.
  kOnSource,
  // Less free space than the files need.
  kTooSmall,
};

// Judges `destination` (created or not yet) for files of `bytesNeeded` bytes read from
// `source` (a device or image path). `sentence` says why when the verdict is not kFine.
DestinationVerdict CheckDestination(const std::string& destination, const std::string& source, uint64_t bytesNeeded,
                                    std::string& sentence);

}  // namespace vorlenta
