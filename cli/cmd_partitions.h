// vorlenta-cli partitions [IMAGE...]: the partitions of the given images, or of the machine's
// disks, as the window's device tree lists them.
#pragma once

#include <string>
#include <vector>

namespace vorlenta {

// `args` are the words after "partitions". Returns the process exit status.
int RunPartitionsCommand(const std::vector<std::string>& args);

}  // namespace vorlenta
