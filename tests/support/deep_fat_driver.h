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

#include "fat/professional_fat_recovery.h"
#include "format/fat_record.h"

namespace vorlenta::test {

struct DeepFatPassFigures {
  uint64_t sectors = 0;
  uint64_t heads = 0;
  uint64_t directorySectors = 0;
};

// Offers every sector of `image` to `engine`, which must have had ClearProfessionalVec and
// InitVirtualDbrInfo. 0 or an errno.
inline int RunDeepFatPass(CProfessionalFatRecovery& engine, const std::string& image,
                          DeepFatPassFigures* figures = nullptr) {
  constexpr size_t kSector = 512;
  const int fd = ::open(image.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  std::vector<uint8_t> buffer(kSector * 2048);
  DeepFatPassFigures local;
  ssize_t got = 0;
  while ((got = ::pread(fd, buffer.data(), buffer.size(), static_cast<off_t>(local.sectors * kSector))) >=
         static_cast<ssize_t>(kSector)) {
    for (size_t i = 0; i < static_cast<size_t>(got) / kSector; ++i, ++local.sectors) {
      const uint8_t* data = buffer.data() + i * kSector;
      if (IsFatFileRecord(data, kSector) != 0) {
        engine.ParseFatFileRecord(data, local.sectors);
        ++local.heads;
      } else if (IsFatFDTRecord(data, static_cast<int>(kSector)) != 0) {
        engine.ParseFDTFileRecord(data, local.sectors);
        ++local.directorySectors;
      }
    }
  }
  const int status = got < 0 ? errno : engine.DealProfessionalRecordVec();
  ::close(fd);
  if (figures != nullptr) *figures = local;
  return status;
}

}  // namespace vorlenta::test
