// Fuzzes carving over a device made of the input itself (written to a temporary file and
// opened read-only): either every sector offered to the carving entry as the deep pass does,
// jumping by the skip rule, or one length finder of the format table, chosen by the input,
// run on its first sector, so that finders whose signature the fuzzer rarely builds (compound
// files, packages) are reached too. Walks must end, stay within their buffers and return the
// statuses the entry promises.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "format/file_type_judge.h"
#include "carving/file_type_recovery.h"
#include "device/disk_reader.h"
#include "fuzz/fuzz_support.h"
#include "engine/status.h"

namespace {

constexpr int kSectorSizes[] = {512, 512, 512, 4096, 1024};
constexpr uint64_t kMaxOffers = 64;
int g_callsBeforeStop = -1;

int Progress(void*, int, int, int, unsigned long long, unsigned long long, unsigned long long, const char16_t*) {
  if (g_callsBeforeStop < 0) return 0;
  return g_callsBeforeStop-- == 0 ? vorlenta::kStatusUserStop : 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vorlenta;
  using J = CFileTypeJudge;
  if (size < 2 || size > (1u << 20)) return 0;
  static const fuzz::FuzzDevice device("carve");
  device.Write(data, size);

  // The last byte steers: sector size, mode, a stop from the callback, reads past the end.
  const uint8_t control = data[size - 1];
  const int b = kSectorSizes[control % (sizeof kSectorSizes / sizeof kSectorSizes[0])];
  const size_t sectorBytes = static_cast<size_t>(b);
  const uint64_t sectors = (size + sectorBytes - 1) / sectorBytes;
  CDiskReader reader;
  // With bit 7 the reader may ask for sectors past the file, whose reads then come back short.
  if (reader.InitPath(device.Path(), sectors + ((control & 0x80) != 0 ? 9 : 0)) != 0) {
    std::abort();
  }
  g_callsBeforeStop = (control & 0x40) != 0 ? data[0] % 4 : -1;
  J::InitCallBack(&Progress, nullptr, nullptr, 9);
  J::m_tsFileRangeVec.clear();

  std::vector<uint8_t> sector(sectorBytes, 0);
  auto sectorAt = [&](uint64_t s) {
    std::fill(sector.begin(), sector.end(), 0);
    const size_t from = static_cast<size_t>(s) * sectorBytes;
    std::memcpy(sector.data(), data + from, std::min(sectorBytes, size - from));
    return sector.data();
  };

  if ((control & 0x08) == 0) {
    uint64_t offers = 0;
    for (uint64_t s = 0; s < sectors && offers < kMaxOffers; ++offers) {
      char name[256];
      EXTEND_NAME_TYPE type = kTypeNone;
      uint64_t length = 0;
      const int status = J::ParseFileBuf(sectorAt(s), b, s, s, sectors, -1, offers, &reader, b, name, type, length);
      if (status != 0 && status != kStatusInvalidParameter && status != kStatusUserStop) __builtin_trap();
      if (status == kStatusUserStop) break;
      s += status == 0 ? CFileTypeRecovery::SkipSectors(type, length, b) : 1;
    }
  } else {
    const vorlenta::_EXTEND_NAME_AND_TYPE_& row = szExtendNameAndType[data[size - 2] % kFormatTableRows];
    if (row.pfnGetSize != nullptr) {
      J::SetDetectionContext(&reader, b, 0);
      J::m_bIsNeedCheckTsFileRange = (control >> 4) & 1;
      J::m_bIsMtsFileHead = (control >> 5) & 1;
      J::m_ErrorCode = 0;
      volatile uint64_t length = row.pfnGetSize(sectorAt(0), b);
      (void)length;
    }
  }
  J::InitCallBack(nullptr, nullptr, nullptr, 0);
  J::m_tsFileRangeVec.clear();
  return 0;
}
