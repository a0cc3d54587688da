#include "carving/carve_pass.h"

#include <algorithm>
#include <vector>

#include "carving/file_type_recovery.h"
#include "device/disk_reader.h"
#include "engine/status.h"

namespace vorlenta {

namespace {

constexpr size_t kPassReadBytes = 65536;
// Seconds left are not estimated here.
constexpr int kSecondsUnknown = -1;

}  // namespace

CarvePassResult RunCarvingPass(CFileTypeRecovery& engine, CDiskReader& reader, uint64_t firstSector,
                               uint64_t sectorCount, int bytesPerSector) {
  CarvePassResult result;
  if (bytesPerSector <= 0 || static_cast<size_t>(bytesPerSector) > kPassReadBytes) {
    result.status = kStatusInvalidParameter;
    return result;
  }
  CFileTypeJudge::m_tsFileRangeVec.clear();
  const size_t b = static_cast<size_t>(bytesPerSector);
  const uint64_t perRead = kPassReadBytes / b;
  std::vector<uint8_t> buffer(kPassReadBytes);
  uint64_t done = 0;
  while (done < sectorCount) {
    const uint64_t want = std::min<uint64_t>(perRead, sectorCount - done);
    unsigned got = 0;
    reader.ReadData(buffer.data(), static_cast<int>(want), static_cast<long long>(firstSector + done), bytesPerSector,
                    &got);
    result.sectorsRead += got;
    if (got == 0) {
      // An unreadable stretch counts as scanned.
      done += want;
      continue;
    }
    uint64_t i = 0;
    while (i < got) {
      unsigned long long skip = 1;
      const int status = engine.ParseFileBuf(buffer.data() + i * b, bytesPerSector, firstSector + done + i, done + i,
                                             sectorCount, kSecondsUnknown, &reader, bytesPerSector, skip, result.files);
      ++result.sectorsOffered;
      if (status == kStatusUserStop) {
        result.status = status;
        return result;
      }
      i += std::max<unsigned long long>(skip, 1);
    }
    // A file carved near the end of the buffer reaches past it: the pass jumps over the rest.
    done += i;
  }
  return result;
}

}  // namespace vorlenta
