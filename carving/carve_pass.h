// A carving-only pass over an area: every sector is offered to the carving engine, in 64 KiB
// reads, and a carved file is jumped over by the engine's skip rule, as the deep pass does for
// the sectors no file-system engine claims. Used by the benchmark and the tests.
#pragma once

#include <cstdint>

namespace vorlenta {

class CDiskReader;
class CFileTypeRecovery;

struct CarvePassResult {
  int status = 0;                // 0, or -9527 when the scan callback stopped a measurement
  uint64_t sectorsOffered = 0;   // sectors handed to the engine
  uint64_t sectorsRead = 0;      // sectors the pass itself read
  unsigned long long files = 0;  // files carved
};

// Offers sectors [firstSector, firstSector + sectorCount) of `reader` to `engine`. Sectors that
// cannot be read are passed over. Empties the list of carved transport streams first, as a
// new pass must.
CarvePassResult RunCarvingPass(CFileTypeRecovery& engine, CDiskReader& reader, uint64_t firstSector,
                               uint64_t sectorCount, int bytesPerSector);

}  // namespace vorlenta
