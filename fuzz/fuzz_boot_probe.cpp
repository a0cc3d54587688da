// Every boot-sector probe over arbitrary bytes of arbitrary length.
#include <cstddef>
#include <cstdint>

#include "device/boot_probe.h"
#include "util/endian.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vorlenta;
  volatile bool sink = IsNtfs(data, size);
  sink = IsFat(data, size);
  sink = IsExt(data, size);
  sink = IsBitlockerDBR(data, size);
  sink = IsFullValidFAT16DBR(data, size);
  sink = IsFullValidFAT32DBR(data, size);
  (void)sink;
  const uint64_t sectors = ReadU64LE(data, size, 0);
  const uint32_t bytesPerSector = ReadU32LE(data, size, 8);
  volatile uint32_t spc = GetDefaultNtfsSectorPerCluster(sectors, bytesPerSector);
  spc = GetFat32DefaultSectorPerCluster(sectors, bytesPerSector);
  (void)spc;
  return 0;
}
