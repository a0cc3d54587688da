// Fuzzes the signature walk over a device made of the input itself (written to a temporary
// file and opened read-only), so the tests that read on from the device run as well. The
// first-byte dispatch must agree with the table-order walk on every sector.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "format/file_type_judge.h"
#include "device/disk_reader.h"
#include "fuzz/fuzz_support.h"

namespace {


constexpr int kSectorSizes[] = {512, 512, 512, 512, 4096, 1024, 520, 0, 8192};
constexpr const char* kExtensions[] = {"jpg", "doc", "xls", "ppt", "ole", "docx", "xlsx", "ts",  "mts", "zip", "ico",
                                       "ttf", "exe", "txt", "MPG", "fla", "heic", "nef",  "ogg", "odt", "tar", "tga"};
constexpr size_t kMaxSectorsTested = 24;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vorlenta;
  using J = CFileTypeJudge;
  if (size < 2 || size > (1u << 20)) return 0;
  static const fuzz::FuzzDevice device("detect");
  device.Write(data, size);

  // The last byte steers the context; the whole input is the device and the test buffers.
  const uint8_t control = data[size - 1];
  const int bytesPerSector = kSectorSizes[control % (sizeof kSectorSizes / sizeof kSectorSizes[0])];
  const uint64_t sectors = (size + kSectorSize - 1) / kSectorSize;
  CDiskReader reader;
  if (reader.InitPath(device.Path(), sectors) != 0) std::abort();

  J::m_tsFileRangeVec.clear();
  if ((control & 0x40) != 0) J::m_tsFileRangeVec.push_back({data[size - 2] % 4u, data[size - 2] % 4u + 2});
  for (uint64_t s = 0; s < sectors && s < kMaxSectorsTested; ++s) {
    const unsigned char* buf = data + s * kSectorSize;
    const int len = static_cast<int>(size - s * kSectorSize < kSectorSize ? size - s * kSectorSize : kSectorSize);
    J::SetDetectionContext(&reader, bytesPerSector, s);
    J::m_bIsNeedCheckTsFileRange = (control >> 4) & 1;
    J::m_bIsMtsFileHead = (control >> 5) & 1;
    if (J::GetDataBufType(buf, len) != J::GetDataBufTypeInTableOrder(buf, len)) __builtin_trap();
    (void)J::IsFileSystemSector(buf, len);
    const char* ext = kExtensions[(s + control) % (sizeof kExtensions / sizeof kExtensions[0])];
    const int match = J::IsFileTypeMatching(buf, len, ext, &reader, bytesPerSector, s);
    if (match != 0 && match != 1) __builtin_trap();
  }
  (void)J::ReturnFileType(data, static_cast<int>(size));
  J::m_tsFileRangeVec.clear();
  return 0;
}
