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

// Seconds of a monotonic clock, for timing.
double NowSeconds();

}  // namespace vorlenta::bench
