// Runs the partition-table walk over a fuzzed disk: the input is the start of a 32 MiB
// device whose remaining sectors read as zeros.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "device/partition_manager.h"
#include "util/os_helpers.h"

namespace {

constexpr off_t kDeviceBytes = 32 << 20;

int DeviceDescriptor() {
  static const int fd = ::memfd_create("fuzz_partitions_disk", MFD_CLOEXEC);
  return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vorlenta;
  const int fd = DeviceDescriptor();
  if (fd < 0 || size > static_cast<size_t>(kDeviceBytes)) return 0;
  if (::ftruncate(fd, 0) != 0 || ::ftruncate(fd, kDeviceBytes) != 0) return 0;
  if (::lseek(fd, 0, SEEK_SET) != 0 || WriteAll(fd, data, size) != 0) return 0;

  CPartitionManager manager;
  std::vector<_PARTITION_ITEM_> items;
  manager.ReadDiskPartitions(fd, 0, "/dev/fuzzdisk", items);
  const uint64_t sectors = static_cast<uint64_t>(kDeviceBytes) / 512;
  for (const _PARTITION_ITEM_& item : items) {
    // Impossible extents never reach the caller.
    if (item.u64StartSector >= sectors) __builtin_trap();
    if (item.u64EndSector < item.u64StartSector && item.u64EndSector != item.u64StartSector - 1) __builtin_trap();
    if (item.szDiskName[sizeof item.szDiskName - 1] != '\0' || item.nDiskNumber != 0) __builtin_trap();
    (void)PartitionNameUtf8(item);
  }
  return 0;
}
