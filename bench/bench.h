// Subcommands of vorlenta-bench. Each prints its figures, the main figure on its last line,
// and returns the process exit status.
#pragma once

#include <string>
#include <vector>

namespace vorlenta::bench {

using Args = std::vector<std::string>;

struct Subcommand {
  const char* name;
  const char* usage;
  int (*run)(const Args& args);
};

// The table of subcommands, in the order --help lists them.
const std::vector<Subcommand>& Subcommands();

// Writes an NTFS volume whose table holds 60,000 records (directories, files in use, deleted
// files resident and not) in a sparse file; returns the number of deleted files, or -1.
long MakeNtfsBenchVolume(const std::string& path);

// Seconds of a monotonic clock, for timing.
double NowSeconds();

}  // namespace vorlenta::bench
