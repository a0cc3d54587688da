// What an engine has found, as a person sees it after a scan.
#pragma once

#include <map>
#include <string>

#include "engine/recovery_parse.h"

namespace vorlenta::test {

// Every file the engine lists, by "directory path + name": a search of every category, each
// hit with its folder path (which must be answered).
std::map<std::string, _FILE_NODE_> ListFoundFiles(IFileRecoveryParse& engine);

}  // namespace vorlenta::test
