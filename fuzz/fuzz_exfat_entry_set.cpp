// The exFAT record parsers on fuzzed bytes: entry sets at every slot, the directory-sector
// test the deep pass asks, and the boot-region checks, as the main region and as a backup.
#include <cstddef>
#include <cstdint>

#include "device/exfat_boot.h"
#include "format/exfat_record.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vorlenta;
  constexpr size_t kSector = 512;
  ExfatEntrySet set;
  for (size_t slot = 0; slot + kExfatEntrySize <= size; slot += kExfatEntrySize) {
    if (ParseExfatEntrySet(data, size, slot, set)) {
      // A set found must lie whole inside the input and name itself.
      if (set.entryCount < 3 || slot + set.entryCount * kExfatEntrySize > size || set.name.empty() ||
          set.name.size() > kExfatMaxNameUnits) {
        __builtin_trap();
      }
      (void)ExfatTimeToSeconds(set.modifyTime);
    }
  }
  for (size_t at = 0; at < size; at += kSector) (void)IsExfatDirectorySector(data + at, size - at, kSector);
  ExfatBoot boot;
  if (IsExfatBootRegion(data, size, &boot) &&
      (!boot.IsValidCluster(boot.rootCluster) || boot.ClusterBytes() > (1u << 25))) {
    __builtin_trap();
  }
  (void)ExfatBootChecksum(data, size, kSector);
  return 0;
}
