// Fuzzes the compound-file header method: the input is the device, its first 512 bytes the
// header, the FAT and DIFAT sectors wherever the header points. The length is 0, or whole
// compound sectors, or the cap; the fallback walk must end as well.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "format/file_type_judge.h"
#include "device/disk_reader.h"
#include "fuzz/fuzz_support.h"

namespace {

constexpr uint64_t kOfficeCap = 0x7FFFFFF;
constexpr uint64_t kSmallestCompoundSector = 512;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vorlenta;
  using J = CFileTypeJudge;
  if (size == 0 || size > (1u << 20)) return 0;
  static const fuzz::FuzzDevice device("compound");
  device.Write(data, size);
  CDiskReader reader;
  if (reader.InitPath(device.Path(), (size + kSectorSize - 1) / kSectorSize) != 0) std::abort();

  unsigned char header[kSectorSize] = {};
  std::memcpy(header, data, std::min<size_t>(size, kSectorSize));
  J::InitCallBack(nullptr, nullptr, nullptr, 0);
  J::SetDetectionContext(&reader, kSectorSize, 0);
  const uint64_t declared = J::GetOFFICE2003FileBytesSizeByFileHead(header, kSectorSize);
  if (declared > kOfficeCap || (declared != kOfficeCap && declared % kSmallestCompoundSector != 0)) __builtin_trap();
  // A header handed over short must not be read past its end.
  const int shortLength = static_cast<int>(std::min<size_t>(size, kSectorSize));
  volatile uint64_t length = J::GetOFFICE2003FileBytesSizeByFileHead(data, shortLength);
  length = J::GetOFFICE2003FileBytesSize(header, kSectorSize);
  (void)length;
  return 0;
}
