// The deep pass as the coordinator will run it over one engine: every sector of an image in
// ascending order, directory heads to ParseFatFileRecord, other directory sectors to
// ParseFDTFileRecord, then the final pass. Header-only on the core, for tests and bench.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "format/fat_record.h"
#include "fat/professional_fat_recovery.h"

namespace vorlenta::test {

struct DeepFatPassFigures {
  uint64_t sectors = 0;
  uint64_t heads = 0;
  uint64_t directorySectors = 0;
};

// Offers the sectors [first, first + count) of `image` (count 0: to its end) to `engine`,
// which must have had ClearProfessionalVec and InitVirtualDbrInfo. 0 or an errno.
inline int RunDeepFatPass(CProfessionalFatRecovery& engine, const std::string& image, DeepFatPassFigures* figures = nullptr,
                          uint64_t first = 0, uint64_t count = 0) {
  constexpr size_t kSector = 512;
  constexpr size_t kSectorsPerRead = 2048;
  const int fd = ::open(image.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  std::vector<uint8_t> buffer(kSector * kSectorsPerRead);
  DeepFatPassFigures local;
  uint64_t sector = first;
  int status = 0;
  for (;;) {
    size_t want = buffer.size();
    if (count != 0) {
      const uint64_t left = first + count - sector;
      if (left == 0) break;
      if (left * kSector < want) want = static_cast<size_t>(left * kSector);
    }
    const ssize_t got = ::pread(fd, buffer.data(), want, static_cast<off_t>(sector * kSector));
    if (got < 0) {
      status = errno;
      break;
    }
    const size_t sectors = static_cast<size_t>(got) / kSector;
    if (sectors == 0) break;
    for (size_t i = 0; i < sectors; ++i, ++sector) {
      const uint8_t* data = buffer.data() + i * kSector;
      if (IsFatFileRecord(data, kSector) != 0) {
        engine.ParseFatFileRecord(data, sector);
        ++local.heads;
      } else if (IsFatFDTRecord(data, static_cast<int>(kSector)) != 0) {
        engine.ParseFDTFileRecord(data, sector);
        ++local.directorySectors;
      }
    }
    local.sectors += sectors;
  }
  ::close(fd);
  if (status == 0) status = engine.DealProfessionalRecordVec();
  if (figures != nullptr) *figures = local;
  return status;
}

}  // namespace vorlenta::test
