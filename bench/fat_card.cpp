// The FAT cards the FAT benches scan, made with the real tools.
#include <stdlib.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench.h"

namespace vorlenta::bench {
namespace {

int Shell(const std::string& command) { return std::system(command.c_str()); }

}  // namespace

bool MakeFatCard(const FatCardSpec& card, const std::string& work, const std::string& image) {
  std::printf("%s: making %s (%d files in %d folders, %d deleted)\n", card.tag, image.c_str(),
              card.folders * card.filesPerFolder, card.folders, card.folders * card.deletedPerFolder);
  std::fflush(stdout);
  const std::string files = work + "/files";
  if (Shell("mkdir -p '" + files + "' && truncate -s " + std::to_string(card.megabytes) + "M '" + image +
            "' && mkfs.fat " + card.mkfsOptions + " '" + image + "' >/dev/null") != 0) {
    return false;
  }
  std::vector<char> data(card.minSize + card.sizeSpread);
  unsigned seed = card.seed;
  for (int folder = 0; folder < card.folders; ++folder) {
    std::string copy = "MTOOLS_SKIP_CHECK=1 mcopy -i '" + image + "'";
    std::string remove = "MTOOLS_SKIP_CHECK=1 mdel -i '" + image + "'";
    char dir[64];
    std::snprintf(dir, sizeof dir, card.folderFormat, folder);
    for (int i = 0; i < card.filesPerFolder; ++i) {
      char name[64];
      std::snprintf(name, sizeof name, card.fileFormat, folder, i);
      const size_t size = card.minSize + (rand_r(&seed) % card.sizeSpread);
      for (size_t b = 0; b < size; ++b) data[b] = static_cast<char>('a' + rand_r(&seed) % 26);
      FILE* f = std::fopen((files + "/" + name).c_str(), "wb");
      if (f == nullptr || std::fwrite(data.data(), 1, size, f) != size) return false;
      std::fclose(f);
      copy += " '" + files + "/" + name + "'";
      if (i % (card.filesPerFolder / card.deletedPerFolder) == 0) remove += " '" + std::string(dir) + "/" + name + "'";
    }
    if (Shell("MTOOLS_SKIP_CHECK=1 mmd -i '" + image + "' '" + dir + "'") != 0 ||
        Shell(copy + " '" + dir + "/' >/dev/null") != 0 || Shell(remove + " >/dev/null") != 0 ||
        Shell("rm -f '" + files + "'/*") != 0) {
      return false;
    }
  }
  return true;
}

}  // namespace vorlenta::bench
