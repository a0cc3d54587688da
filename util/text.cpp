#include "util/text.h"

#include <iconv.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

namespace vorlenta {
namespace {

constexpr const char* kUtf16 = "UTF-16LE";
constexpr const char* kUtf8 = "UTF-8";
const iconv_t kInvalidIconv = reinterpret_cast<iconv_t>(-1);

// What stands in for input that cannot be converted, in the target encoding.
struct Replacement {
  const char* bytes;
  size_t length;
};
constexpr Replacement kNarrowReplacement{"?", 1};
constexpr char kWideReplacementBytes[] = {'\xFD', '\xFF'};  // U+FFFD, little-endian
constexpr Replacement kWideReplacement{kWideReplacementBytes, 2};
constexpr char kUtf8ReplacementBytes[] = {'\xEF', '\xBF', '\xBD'};
constexpr Replacement kUtf8Replacement{kUtf8ReplacementBytes, 3};

// Runs `cd` over the input, writing at most `capacity` bytes. An invalid or truncated input
// unit (of `unit` bytes) is replaced and skipped; conversion stops when the output is full, and
// iconv never writes a partial character, so the output always ends on a character boundary.
size_t RunIconv(iconv_t cd, const char* in, size_t inBytes, size_t unit, char* out, size_t capacity,
                const Replacement& replacement) {
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  char* inPtr = const_cast<char*>(in);
  size_t inLeft = inBytes;
  char* outPtr = out;
  size_t outLeft = capacity;
  while (inLeft > 0) {
    if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) break;
    if (errno != EILSEQ && errno != EINVAL) break;
    if (outLeft < replacement.length) break;
    std::memcpy(outPtr, replacement.bytes, replacement.length);
    outPtr += replacement.length;
    outLeft -= replacement.length;
    const size_t skip = unit < inLeft ? unit : inLeft;
    inPtr += skip;
    inLeft -= skip;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  return capacity - outLeft;
}

// One converter per direction and thread: iconv descriptors carry shift state and must not be
// shared by threads, and opening one per call is costly on hot paths such as node listings.
class ThreadConverters {
 public:
  ~ThreadConverters() {
    for (Entry& e : entries_) {
      if (e.cd != kInvalidIconv) iconv_close(e.cd);
    }
  }
  iconv_t Get(const char* to, const char* from) {
    for (Entry& e : entries_) {
      if (e.to == to && e.from == from) return e.cd;
    }
    entries_.push_back(Entry{to, from, iconv_open(to, from)});
    return entries_.back().cd;
  }

 private:
  struct Entry {
    const char* to;
    const char* from;
    iconv_t cd;
  };
  std::vector<Entry> entries_;
};

iconv_t Converter(const char* to, const char* from) {
  thread_local ThreadConverters converters;
  return converters.Get(to, from);
}

size_t BoundedLength(const char* in, long length) {
  if (in == nullptr) return 0;
  if (length < 0) return std::strlen(in);
  const void* nul = std::memchr(in, 0, static_cast<size_t>(length));
  return nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - in) : static_cast<size_t>(length);
}

size_t BoundedLength(const char16_t* in, long length) {
  if (in == nullptr) return 0;
  size_t n = 0;
  while ((length < 0 || n < static_cast<size_t>(length)) && in[n] != 0) ++n;
  return n;
}

// Wide -> narrow with terminator, `capacity` in bytes including the NUL.
long WideToNarrow(iconv_t cd, char* out, const char16_t* in, long capacity, long length,
                  const Replacement& replacement) {
  if (out == nullptr || capacity <= 0) return 0;
  const size_t units = BoundedLength(in, length);
  size_t written = 0;
  if (cd != kInvalidIconv && units > 0 && capacity > 1) {
    written = RunIconv(cd, reinterpret_cast<const char*>(in), units * 2, 2, out,
                       static_cast<size_t>(capacity - 1), replacement);
  }
  out[written] = '\0';
  return static_cast<long>(written);
}

// Narrow -> wide with terminator, `capacity` in code units including the terminator.
long NarrowToWide(iconv_t cd, char16_t* out, const char* in, long capacity, long length) {
  if (out == nullptr || capacity <= 0) return 0;
  const size_t bytes = BoundedLength(in, length);
  size_t units = 0;
  if (cd != kInvalidIconv && bytes > 0 && capacity > 1) {
    // Convert into a byte buffer first: `out` need not be suitably placed for byte writes of
    // odd length, and iconv only ever writes whole code units here.
    std::vector<char> buffer(static_cast<size_t>(capacity - 1) * 2);
    const size_t written = RunIconv(cd, in, bytes, 1, buffer.data(), buffer.size(), kWideReplacement);
    units = written / 2;
    for (size_t i = 0; i < units; ++i) {
      out[i] = static_cast<char16_t>(static_cast<unsigned char>(buffer[2 * i]) |
                                     (static_cast<unsigned char>(buffer[2 * i + 1]) << 8));
    }
  }
  out[units] = 0;
  return static_cast<long>(units);
}

// The process-wide pair opened by inner_initUnicodeMap.
struct UnicodeMap {
  std::mutex mutex;
  std::string charset;
  iconv_t toUnicode = kInvalidIconv;
  iconv_t fromUnicode = kInvalidIconv;
};

UnicodeMap& GlobalUnicodeMap() {
  static UnicodeMap map;
  return map;
}

std::string NarrowToNarrow(const char* to, const char* from, const char* in, const Replacement& replacement) {
  const size_t bytes = BoundedLength(in, -1);
  if (bytes == 0) return std::string();
  iconv_t cd = Converter(to, from);
  if (cd == kInvalidIconv) return std::string();
  // Four output bytes per input byte cover every conversion between UTF-8 and GB18030.
  std::string out(bytes * 4 + 4, '\0');
  out.resize(RunIconv(cd, in, bytes, 1, &out[0], out.size(), replacement));
  return out;
}

}  // namespace

int inner_initUnicodeMap(const char* charset) {
  UnicodeMap& map = GlobalUnicodeMap();
  std::lock_guard<std::mutex> lock(map.mutex);
  if (map.toUnicode != kInvalidIconv) iconv_close(map.toUnicode);
  if (map.fromUnicode != kInvalidIconv) iconv_close(map.fromUnicode);
  map.toUnicode = map.fromUnicode = kInvalidIconv;
  map.charset = charset != nullptr ? charset : "";
  if (charset == nullptr) return -1;
  map.toUnicode = iconv_open(kUtf16, charset);
  if (map.toUnicode == kInvalidIconv) return -1;
  map.fromUnicode = iconv_open(charset, kUtf16);
  if (map.fromUnicode == kInvalidIconv) {
    iconv_close(map.toUnicode);
    map.toUnicode = kInvalidIconv;
    return -1;
  }
  return 0;
}

std::string GetUnicodeMapCharset() {
  UnicodeMap& map = GlobalUnicodeMap();
  std::lock_guard<std::mutex> lock(map.mutex);
  return map.toUnicode != kInvalidIconv ? map.charset : std::string();
}

long CharsetFromUnicode(char* out, const char16_t* in, long capacity, long length) {
  UnicodeMap& map = GlobalUnicodeMap();
  std::lock_guard<std::mutex> lock(map.mutex);
  return WideToNarrow(map.fromUnicode, out, in, capacity, length, kNarrowReplacement);
}

long CharsetToUnicode(char16_t* out, const char* in, long capacity, long length) {
  UnicodeMap& map = GlobalUnicodeMap();
  std::lock_guard<std::mutex> lock(map.mutex);
  return NarrowToWide(map.toUnicode, out, in, capacity, length);
}

long inner_uni2str(char* out, const char16_t* in, long capacity, long length) {
  return WideToNarrow(Converter(kCStringCodePage, kUtf16), out, in, capacity, length, kNarrowReplacement);
}

long inner_str2uni(char16_t* out, const char* in, long capacity, long length) {
  return NarrowToWide(Converter(kUtf16, kCStringCodePage), out, in, capacity, length);
}

size_t WideLength(const char16_t* s) { return BoundedLength(s, -1); }

std::string SafeFileName(const char* name) {
  std::string safe = name != nullptr ? name : "";
  for (char& c : safe) {
    if (c == '/') c = '_';
  }
  if (safe.empty() || safe == "." || safe == "..") safe = "_";
  return safe;
}

int Unicode2Ansi(const char16_t* in, char* out, int capacity) {
  inner_uni2str(out, in, capacity, static_cast<long>(WideLength(in)));
  return 0;
}

int Ansi2Unicode(const char* in, char16_t* out, int capacity) {
  inner_str2uni(out, in, capacity, in != nullptr ? static_cast<long>(std::strlen(in)) : 0);
  return 0;
}

std::string Unicode2Ansi(const char16_t* in) {
  const size_t units = WideLength(in);
  // A GB18030 character takes at most four bytes per two code units or per one BMP unit.
  std::string out(units * 4 + 1, '\0');
  out.resize(static_cast<size_t>(inner_uni2str(&out[0], in, static_cast<long>(out.size()), static_cast<long>(units))));
  return out;
}

std::u16string Ansi2Unicode(const char* in) {
  const size_t bytes = BoundedLength(in, -1);
  std::u16string out(bytes + 1, u'\0');
  out.resize(static_cast<size_t>(inner_str2uni(&out[0], in, static_cast<long>(out.size()), static_cast<long>(bytes))));
  return out;
}

std::string Utf16ToUtf8(const char16_t* in) {
  const size_t units = WideLength(in);
  std::string out(units * 3 + 1, '\0');
  out.resize(static_cast<size_t>(WideToNarrow(Converter(kUtf8, kUtf16), &out[0], in,
                                              static_cast<long>(out.size()), static_cast<long>(units),
                                              kUtf8Replacement)));
  return out;
}

std::u16string Utf8ToUtf16(const char* in) {
  const size_t bytes = BoundedLength(in, -1);
  std::u16string out(bytes + 1, u'\0');
  out.resize(static_cast<size_t>(NarrowToWide(Converter(kUtf16, kUtf8), &out[0], in,
                                              static_cast<long>(out.size()), static_cast<long>(bytes))));
  return out;
}

std::string AnsiToUtf8(const char* in) { return NarrowToNarrow(kUtf8, kCStringCodePage, in, kUtf8Replacement); }

std::string Utf8ToAnsi(const char* in) { return NarrowToNarrow(kCStringCodePage, kUtf8, in, kNarrowReplacement); }

int GetExtendName(const char* name, char* ext) {
  if (name == nullptr || ext == nullptr) return 87;
  const char* dot = std::strrchr(name, '.');
  if (dot == nullptr) return 87;
  std::strcpy(ext, dot + 1);
  return 0;
}

char* GetCharLowerA(char* s) {
  if (s == nullptr) return s;
  for (char* p = s; *p != '\0'; ++p) {
    if (*p >= 'A' && *p <= 'Z') *p = static_cast<char>(*p - 'A' + 'a');
  }
  return s;
}

int Convert2Lowercase(char* s) {
  if (s == nullptr) return 0;
  GetCharLowerA(s);
  return static_cast<int>(std::strlen(s));
}

char16_t* GetCharLowerW(char16_t* s) {
  if (s == nullptr) return s;
  for (char16_t* p = s; *p != 0; ++p) {
    if (*p >= u'A' && *p <= u'Z') *p = static_cast<char16_t>(*p - u'A' + u'a');
  }
  return s;
}

void EraseStringTailBlankChar(char* s, int length) {
  if (s == nullptr) return;
  for (int i = length - 1; i >= 0 && s[i] == ' '; --i) s[i] = '\0';
}

int GetPathDirIndex(const char16_t* path, int& count) {
  count = 0;
  const size_t units = WideLength(path);
  for (size_t i = 0; i + 1 < units; ++i) {
    if (path[i] == u'/' || path[i] == u'\\') ++count;
  }
  return 0;
}

void _splitpath(const char* path, char* drive, char* dir, char* fname, char* ext) {
  auto set = [](char* out, const char* from, size_t count) {
    if (out == nullptr) return;
    std::memcpy(out, from, count);
    out[count] = '\0';
  };
  set(drive, "", 0);
  if (path == nullptr) {
    set(dir, "", 0);
    set(fname, "", 0);
    set(ext, "", 0);
    return;
  }
  const size_t length = std::strlen(path);
  const char* slash = std::strrchr(path, '/');
  const char* rest = slash != nullptr ? slash + 1 : path;
  set(dir, path, static_cast<size_t>(rest - path));
  const char* dot = std::strrchr(rest, '.');
  if (dot == nullptr) {
    set(fname, rest, std::strlen(rest));
    set(ext, "", 0);
  } else {
    set(fname, rest, static_cast<size_t>(dot - rest));
    set(ext, dot, static_cast<size_t>(path + length - dot));
  }
}

std::string GetFreePathUtf8(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return path;
  std::vector<char> drive(path.size() + 1), dir(path.size() + 1), fname(path.size() + 1), ext(path.size() + 1);
  _splitpath(path.c_str(), drive.data(), dir.data(), fname.data(), ext.data());
  for (unsigned n = 1;; ++n) {
    std::string candidate = std::string(dir.data()) + fname.data() + "(" + std::to_string(n) + ")" + ext.data();
    if (::lstat(candidate.c_str(), &st) != 0) return candidate;
  }
}

int GetRealFileName(const char* path, char16_t* out, int capacity) {
  if (path == nullptr || out == nullptr || capacity <= 0) return 87;
  const std::string free = GetFreePathUtf8(AnsiToUtf8(path));
  const std::u16string wide = Utf8ToUtf16(free.c_str());
  const size_t units = wide.size() < static_cast<size_t>(capacity - 1) ? wide.size() : static_cast<size_t>(capacity - 1);
  std::memcpy(out, wide.data(), units * sizeof(char16_t));
  out[units] = 0;
  return 0;
}

}  // namespace vorlenta
