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

// A FAT card made by mkfs.fat and mtools: folders of text notes (letters only, so that no
// health test rejects them), some of them deleted.
struct FatCardSpec {
  const char* tag;           // the subcommand, for the progress line
  unsigned megabytes;
  const char* mkfsOptions;   // e.g. "-F 32 -n BENCH"
  int folders;
  int filesPerFolder;
  int deletedPerFolder;
  const char* folderFormat;  // printf format of a folder path with its number, "::/Folder %03d"
  const char* fileFormat;    // printf format of a file name with folder and file numbers
  size_t minSize;
  size_t sizeSpread;
  unsigned seed;
};
bool MakeFatCard(const FatCardSpec& card, const std::string& work, const std::string& image);

}  // namespace vorlenta::bench
