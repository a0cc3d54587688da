// The code-page and UTF-8 conversions over arbitrary bytes, with arbitrary capacities.
// Guard bytes after the capacity catch any write past it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "util/text.h"

namespace {

constexpr char kGuard = '\x5A';
constexpr char16_t kWideGuard = 0x5A5A;
constexpr size_t kGuardCount = 16;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vorlenta;
  if (size < 1) return 0;
  const long capacity = data[0] % 64;
  const std::string narrow(reinterpret_cast<const char*>(data + 1), size - 1);
  std::u16string wide((size - 1) / 2, u'\0');
  for (size_t i = 0; i < wide.size(); ++i) {
    wide[i] = static_cast<char16_t>(data[1 + 2 * i] | (data[2 + 2 * i] << 8));
  }

  std::vector<char> out(static_cast<size_t>(capacity) + kGuardCount, kGuard);
  const long bytes = inner_uni2str(out.data(), wide.c_str(), capacity, static_cast<long>(wide.size()));
  if (capacity > 0 && (bytes >= capacity || out[static_cast<size_t>(bytes)] != '\0')) std::abort();
  for (size_t i = static_cast<size_t>(capacity); i < out.size(); ++i) {
    if (out[i] != kGuard) std::abort();
  }

  std::vector<char16_t> wideOut(static_cast<size_t>(capacity) + kGuardCount, kWideGuard);
  const long units = inner_str2uni(wideOut.data(), narrow.c_str(), capacity, static_cast<long>(narrow.size()));
  if (capacity > 0 && (units >= capacity || wideOut[static_cast<size_t>(units)] != 0)) std::abort();
  for (size_t i = static_cast<size_t>(capacity); i < wideOut.size(); ++i) {
    if (wideOut[i] != kWideGuard) std::abort();
  }

  // Whatever the input, what comes back from the code page converts again without growing.
  const std::string ansi = Unicode2Ansi(wide.c_str());
  const std::u16string back = Ansi2Unicode(ansi.c_str());
  if (Unicode2Ansi(back.c_str()) != ansi) std::abort();
  (void)AnsiToUtf8(narrow.c_str());
  (void)Utf8ToAnsi(narrow.c_str());
  (void)Utf8ToUtf16(narrow.c_str());
  (void)Utf16ToUtf8(wide.c_str());

  std::vector<char> parts(narrow.size() + 1);
  std::vector<char> drive(parts.size()), dir(parts.size()), fname(parts.size()), ext(parts.size());
  _splitpath(narrow.c_str(), drive.data(), dir.data(), fname.data(), ext.data());
  return 0;
}
