// Fuzzes the FAT directory-entry tests with arbitrary sectors: they must never read outside
// the buffer, and a sector accepted as a run of entries must begin with a plausible entry.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "format/fat_record.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The date checks convert local time; fix the zone so runs are repeatable.
  setenv("TZ", "UTC0", 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vorlenta;
  const size_t length = size > 65536 ? 65536 : size;
  const int run = IsFatFDTRecord(data, static_cast<int>(length));
  const int head = IsFatFileRecord(data, length);
  if (run == 1 && IsFatEntyValid(FAT32_Entry(data, length)) != 1) __builtin_trap();
  // A head is a directory's first sector, never a run of entries.
  if (run == 1 && head == 1) __builtin_trap();
  for (size_t off = 0; off < length; off += kFatEntrySize) {
    const FAT32_Entry entry = FAT32_Entry::At(data, length, off / kFatEntrySize);
    (void)IsFatEntyValid(entry);
    _FILETIME times[3];
    Fat32GetFileCreateTime(entry, &times[0]);
    Fat32GetFileLastAccessTime(entry, &times[1]);
    Fat32GetFileLastChangeTime(entry, &times[2]);
    char16_t units[kLfnUnitsPerEntry];
    if (entry.LongNameUnits(units) > kLfnUnitsPerEntry) __builtin_trap();
    if (entry.IsComplete()) {
      (void)GetShortNameCheckSum(entry.Bytes());
      (void)IsInvalidShortFileName(entry.Bytes());
    }
  }
  return 0;
}
