// vorlenta-cli scan SOURCE and vorlenta-cli recover SOURCE DEST.
#pragma once

#include <string>
#include <vector>

namespace vorlenta {

// `args` are the words after the command. Returns the process exit status.
int RunScanCommand(const std::vector<std::string>& args, bool recover);

}  // namespace vorlenta
