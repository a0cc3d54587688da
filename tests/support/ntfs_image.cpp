#include "support/ntfs_image.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

#include "support/test_support.h"

namespace vorlenta::test {
namespace {

constexpr uint32_t kRecordBytes = 1024;
constexpr uint32_t kStride = 512;
constexpr uint32_t kMftRecord = 0;
constexpr uint32_t kBitmapRecord = 6;
constexpr uint32_t kTypeFileName = 0x30;
constexpr uint32_t kTypeData = 0x80;
constexpr uint32_t kTypeIndexRoot = 0x90;
constexpr uint32_t kTypeEnd = 0xFFFFFFFF;
constexpr uint16_t kInUse = 1;
constexpr uint16_t kDirectory = 2;

uint16_t Get16(const std::vector<uint8_t>& b, size_t o) { return static_cast<uint16_t>(b.at(o) | (b.at(o + 1) << 8)); }
uint32_t Get32(const std::vector<uint8_t>& b, size_t o) { return Get16(b, o) | (static_cast<uint32_t>(Get16(b, o + 2)) << 16); }
uint64_t Get64(const std::vector<uint8_t>& b, size_t o) { return Get32(b, o) | (static_cast<uint64_t>(Get32(b, o + 4)) << 32); }
void Put(std::vector<uint8_t>& b, size_t o, uint64_t v, int width) {
  for (int i = 0; i < width; ++i) b.at(o + static_cast<size_t>(i)) = static_cast<uint8_t>(v >> (8 * i));
}
void Append(std::vector<uint8_t>& b, uint64_t v, int width) {
  for (int i = 0; i < width; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void PadTo8(std::vector<uint8_t>& b) {
  while (b.size() % 8 != 0) b.push_back(0);
}

// Bytes needed for `v` as a little-endian two's-complement (signed) or plain (unsigned) field.
int FieldBytes(int64_t v, bool isSigned) {
  for (int n = 1; n < 8; ++n) {
    if (isSigned) {
      const int64_t lo = -(int64_t{1} << (8 * n - 1));
      const int64_t hi = (int64_t{1} << (8 * n - 1)) - 1;
      if (v >= lo && v <= hi) return n;
    } else if (static_cast<uint64_t>(v) < (uint64_t{1} << (8 * n))) {
      return n;
    }
  }
  return 8;
}

std::vector<TestRun> DecodeRuns(const std::vector<uint8_t>& attr) {
  std::vector<TestRun> runs;
  size_t p = Get16(attr, 32);
  int64_t lcn = 0;
  while (p < attr.size() && attr[p] != 0) {
    const int n = attr[p] & 0x0F;
    const int m = attr[p] >> 4;
    if (p + 1 + n + m > attr.size()) break;
    uint64_t length = 0;
    for (int i = 0; i < n; ++i) length |= static_cast<uint64_t>(attr[p + 1 + i]) << (8 * i);
    if (m == 0) {
      runs.push_back({0, length, true});
    } else {
      uint64_t raw = 0;
      for (int i = 0; i < m; ++i) raw |= static_cast<uint64_t>(attr[p + 1 + n + i]) << (8 * i);
      if (attr[p + n + m] & 0x80) raw |= ~uint64_t{0} << (8 * m);
      lcn += static_cast<int64_t>(raw);
      runs.push_back({static_cast<uint64_t>(lcn), length, false});
    }
    p += 1 + n + m;
  }
  return runs;
}

}  // namespace

bool MakeNtfsVolume(const std::string& image, unsigned megabytes, unsigned clusterBytes) {
  return RunCommand("truncate -s " + std::to_string(megabytes) + "M " + ShellQuote(image) + " && mkntfs -F -f -q -s 512 -c " +
                    std::to_string(clusterBytes) + " " + ShellQuote(image) + " >/dev/null 2>&1") == 0;
}

bool NtfsCopy(const std::string& image, const std::string& source, const std::string& target) {
  // ntfscp turns the target name into UTF-16 through the locale.
  return RunCommand("LC_ALL=C.UTF-8 ntfscp " + ShellQuote(image) + " " + ShellQuote(source) + " " + ShellQuote(target) +
                    " >/dev/null 2>&1") == 0;
}

uint32_t NtfsMakeDirectory(const std::string& image, const std::string& path) {
  const std::string empty = image + ".empty";
  WriteFileBytes(empty, {});
  if (!NtfsCopy(image, empty, path)) return 0;
  NtfsImage volume(image);
  const std::string leaf = path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
  std::u16string name;
  for (char c : leaf) name.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
  const uint32_t n = volume.FindRecord(name);
  if (n != 0) volume.MakeDirectoryRecord(n);
  return n;
}

std::vector<uint8_t> EncodeRuns(const std::vector<TestRun>& runs) {
  std::vector<uint8_t> out;
  int64_t previous = 0;
  for (const TestRun& run : runs) {
    const int n = FieldBytes(static_cast<int64_t>(run.clusters), false);
    if (run.sparse) {
      out.push_back(static_cast<uint8_t>(n));
      Append(out, run.clusters, n);
      continue;
    }
    const int64_t delta = static_cast<int64_t>(run.lcn) - previous;
    const int m = FieldBytes(delta, true);
    out.push_back(static_cast<uint8_t>((m << 4) | n));
    Append(out, run.clusters, n);
    Append(out, static_cast<uint64_t>(delta), m);
    previous = static_cast<int64_t>(run.lcn);
  }
  out.push_back(0);
  return out;
}

RawAttribute ResidentAttribute(uint32_t type, const std::vector<uint8_t>& value, const std::u16string& name) {
  RawAttribute a;
  a.type = type;
  std::vector<uint8_t>& b = a.bytes;
  Append(b, type, 4);
  Append(b, 0, 4);  // length, below
  b.push_back(0);   // resident
  b.push_back(static_cast<uint8_t>(name.size()));
  Append(b, 24, 2);  // name offset
  Append(b, 0, 2);   // flags
  Append(b, 0, 2);   // instance
  Append(b, value.size(), 4);
  size_t valueOffset = 24 + name.size() * 2;
  valueOffset = (valueOffset + 7) / 8 * 8;
  Append(b, valueOffset, 2);
  b.push_back(type == kTypeFileName ? 1 : 0);  // indexed
  b.push_back(0);
  for (char16_t c : name) Append(b, c, 2);
  while (b.size() < valueOffset) b.push_back(0);
  b.insert(b.end(), value.begin(), value.end());
  PadTo8(b);
  Put(b, 4, b.size(), 4);
  return a;
}

RawAttribute NonResidentData(const std::vector<uint8_t>& runs, uint64_t realSize, uint64_t allocatedSize,
                             uint64_t lowestVcn, uint64_t highestVcn) {
  RawAttribute a;
  a.type = kTypeData;
  std::vector<uint8_t>& b = a.bytes;
  Append(b, kTypeData, 4);
  Append(b, 0, 4);
  b.push_back(1);  // non-resident
  b.push_back(0);
  Append(b, 64, 2);  // name offset
  Append(b, 0, 2);
  Append(b, 0, 2);
  Append(b, lowestVcn, 8);
  Append(b, highestVcn, 8);
  Append(b, 64, 2);  // run-list offset
  Append(b, 0, 2);
  Append(b, 0, 4);
  Append(b, allocatedSize, 8);
  Append(b, realSize, 8);
  Append(b, realSize, 8);  // initialised size
  b.insert(b.end(), runs.begin(), runs.end());
  PadTo8(b);
  Put(b, 4, b.size(), 4);
  return a;
}

std::vector<uint8_t> FileNameValue(uint32_t parent, const std::u16string& name, uint8_t nameSpace, uint64_t realSize) {
  std::vector<uint8_t> v;
  Append(v, parent | (uint64_t{1} << 48), 8);
  const uint64_t time = 133000000000000000ull;  // a day in 2022, in 100 ns since 1601
  for (int i = 0; i < 4; ++i) Append(v, time + static_cast<uint64_t>(i), 8);
  Append(v, (realSize + 4095) / 4096 * 4096, 8);
  Append(v, realSize, 8);
  Append(v, 0x20, 4);  // archive
  Append(v, 0, 4);
  v.push_back(static_cast<uint8_t>(name.size()));
  v.push_back(nameSpace);
  for (char16_t c : name) Append(v, c, 2);
  return v;
}

NtfsImage::NtfsImage(const std::string& path, uint64_t offsetBytes) : base_(offsetBytes) {
  fd_ = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd_ < 0) return;
  std::vector<uint8_t> boot(512);
  ReadAt(0, boot.data(), boot.size());
  clusterBytes_ = static_cast<uint32_t>(Get16(boot, 11)) * boot[13];
  if (clusterBytes_ == 0) return;
  clusters_ = Get64(boot, 40) * Get16(boot, 11) / clusterBytes_;
  const uint64_t mftLcn = Get64(boot, 48);
  // Record 0 is at the table's first cluster; its data attribute maps the rest.
  mftRuns_ = {{mftLcn, 1, false}};
  for (const RawAttribute& a : Attributes(ReadRecord(kMftRecord))) {
    if (a.type == kTypeData && a.bytes[8] != 0) mftRuns_ = DecodeRuns(a.bytes);
  }
  bitmapRuns_ = DataRuns(kBitmapRecord);
}

NtfsImage::~NtfsImage() {
  if (fd_ >= 0) ::close(fd_);
}

void NtfsImage::ReadAt(uint64_t offset, void* data, size_t length) const {
  if (::pread(fd_, data, length, static_cast<off_t>(base_ + offset)) != static_cast<ssize_t>(length)) {
    throw std::runtime_error("short read of the test image");
  }
}

void NtfsImage::WriteAt(uint64_t offset, const void* data, size_t length) {
  if (::pwrite(fd_, data, length, static_cast<off_t>(base_ + offset)) != static_cast<ssize_t>(length)) {
    throw std::runtime_error("short write of the test image");
  }
}

uint32_t NtfsImage::recordCount() const {
  uint64_t clusters = 0;
  for (const TestRun& run : mftRuns_) clusters += run.clusters;
  return static_cast<uint32_t>(clusters * clusterBytes_ / kRecordBytes);
}

uint64_t NtfsImage::RecordOffset(uint32_t n) const {
  uint64_t offset = static_cast<uint64_t>(n) * kRecordBytes;
  for (const TestRun& run : mftRuns_) {
    const uint64_t bytes = run.clusters * clusterBytes_;
    if (offset < bytes) return run.lcn * clusterBytes_ + offset;
    offset -= bytes;
  }
  throw std::runtime_error("record outside the table");
}

std::vector<uint8_t> NtfsImage::ReadRawRecord(uint32_t n) const {
  std::vector<uint8_t> raw(kRecordBytes);
  ReadAt(RecordOffset(n), raw.data(), raw.size());
  return raw;
}

void NtfsImage::WriteRawRecord(uint32_t n, const std::vector<uint8_t>& raw) { WriteAt(RecordOffset(n), raw.data(), raw.size()); }

std::vector<uint8_t> NtfsImage::ReadRecord(uint32_t n) const {
  std::vector<uint8_t> record = ReadRawRecord(n);
  if (std::memcmp(record.data(), "FILE", 4) != 0) return record;
  for (uint32_t i = 0; i < kRecordBytes / kStride; ++i) {
    record[(i + 1) * kStride - 2] = record[50 + 2 * i];
    record[(i + 1) * kStride - 1] = record[51 + 2 * i];
  }
  return record;
}

void NtfsImage::WriteRecord(uint32_t n, std::vector<uint8_t> record) {
  uint16_t sequence = static_cast<uint16_t>(Get16(record, 48) + 1);
  if (sequence == 0 || sequence == 0xFFFF) sequence = 1;
  Put(record, 48, sequence, 2);
  for (uint32_t i = 0; i < kRecordBytes / kStride; ++i) {
    const size_t end = (i + 1) * kStride - 2;
    Put(record, 50 + 2 * i, Get16(record, end), 2);
    Put(record, end, sequence, 2);
  }
  WriteRawRecord(n, record);
}

std::vector<RawAttribute> NtfsImage::Attributes(const std::vector<uint8_t>& record) {
  std::vector<RawAttribute> out;
  size_t p = Get16(record, 20);
  while (p + 8 <= record.size()) {
    const uint32_t type = Get32(record, p);
    const uint32_t length = Get32(record, p + 4);
    if (type == kTypeEnd || length == 0 || p + length > record.size()) break;
    out.push_back({type, std::vector<uint8_t>(record.begin() + static_cast<long>(p),
                                              record.begin() + static_cast<long>(p + length))});
    p += length;
  }
  return out;
}

void NtfsImage::SetAttributes(std::vector<uint8_t>& record, const std::vector<RawAttribute>& attributes) {
  size_t p = Get16(record, 20);
  std::vector<uint8_t> body;
  for (const RawAttribute& a : attributes) body.insert(body.end(), a.bytes.begin(), a.bytes.end());
  Append(body, kTypeEnd, 4);
  Append(body, 0, 4);
  if (p + body.size() > kRecordBytes) throw std::runtime_error("attributes do not fit the record");
  std::fill(record.begin() + static_cast<long>(p), record.end(), 0);
  std::copy(body.begin(), body.end(), record.begin() + static_cast<long>(p));
  Put(record, 24, p + body.size(), 4);
}

uint32_t NtfsImage::FindRecord(const std::u16string& name) const {
  for (uint32_t n = 0; n < recordCount(); ++n) {
    const std::vector<uint8_t> record = ReadRecord(n);
    if (std::memcmp(record.data(), "FILE", 4) != 0) continue;
    for (const RawAttribute& a : Attributes(record)) {
      if (a.type != kTypeFileName) continue;
      const size_t value = Get16(a.bytes, 20);
      const size_t units = a.bytes.at(value + 64);
      std::u16string found;
      for (size_t i = 0; i < units; ++i) found.push_back(static_cast<char16_t>(Get16(a.bytes, value + 66 + 2 * i)));
      if (found == name) return n;
      break;
    }
  }
  return 0;
}

std::vector<TestRun> NtfsImage::DataRuns(uint32_t n) const {
  for (const RawAttribute& a : Attributes(ReadRecord(n))) {
    if (a.type == kTypeData && a.bytes[8] != 0 && a.bytes[9] == 0) return DecodeRuns(a.bytes);
  }
  return {};
}

void NtfsImage::DeleteFile(uint32_t n) {
  std::vector<uint8_t> record = ReadRecord(n);
  Put(record, 22, Get16(record, 22) & ~kInUse, 2);
  WriteRecord(n, record);
  for (const TestRun& run : DataRuns(n)) {
    if (!run.sparse) SetClusters(run.lcn, run.clusters, false);
  }
}

void NtfsImage::MakeDirectoryRecord(uint32_t n) {
  std::vector<uint8_t> record = ReadRecord(n);
  std::vector<RawAttribute> attributes;
  for (RawAttribute& a : Attributes(record)) {
    if (a.type != kTypeData) attributes.push_back(a);
  }
  // An empty index of file names: the root header, the node header, and the end entry.
  std::vector<uint8_t> root;
  Append(root, kTypeFileName, 4);
  Append(root, 1, 4);  // collation by file name
  Append(root, 4096, 4);
  Append(root, 1, 4);
  Append(root, 16, 4);  // entries start
  Append(root, 32, 4);  // index length
  Append(root, 32, 4);  // allocated
  Append(root, 0, 4);
  Append(root, 0, 8);
  Append(root, 16, 2);  // end entry length
  Append(root, 0, 2);
  Append(root, 2, 4);  // last entry
  RawAttribute index = ResidentAttribute(kTypeIndexRoot, root, u"$I30");
  const uint16_t instance = Get16(record, 40);
  Put(index.bytes, 14, instance, 2);
  Put(record, 40, instance + 1, 2);
  attributes.push_back(index);
  SetAttributes(record, attributes);
  Put(record, 22, Get16(record, 22) | kDirectory, 2);
  WriteRecord(n, record);
}

uint64_t NtfsImage::BitmapByteOffset(uint64_t lcn) const {
  uint64_t byte = lcn / 8;
  for (const TestRun& run : bitmapRuns_) {
    const uint64_t bytes = run.clusters * clusterBytes_;
    if (byte < bytes) return run.lcn * clusterBytes_ + byte;
    byte -= bytes;
  }
  return UINT64_MAX;
}

bool NtfsImage::ClusterUsed(uint64_t lcn) const {
  const uint64_t at = BitmapByteOffset(lcn);
  if (at == UINT64_MAX) return true;
  uint8_t value = 0;
  ReadAt(at, &value, 1);
  return ((value >> (lcn % 8)) & 1) != 0;
}

void NtfsImage::SetClusters(uint64_t lcn, uint64_t count, bool used) {
  for (uint64_t c = lcn; c < lcn + count; ++c) {
    const uint64_t at = BitmapByteOffset(c);
    if (at == UINT64_MAX) continue;
    uint8_t value = 0;
    ReadAt(at, &value, 1);
    value = used ? static_cast<uint8_t>(value | (1u << (c % 8))) : static_cast<uint8_t>(value & ~(1u << (c % 8)));
    WriteAt(at, &value, 1);
  }
}

uint64_t NtfsImage::FindFreeClusters(uint64_t count, uint64_t from) const {
  uint64_t start = from;
  for (uint64_t c = from; c < clusters_; ++c) {
    if (ClusterUsed(c)) {
      start = c + 1;
    } else if (c + 1 - start == count) {
      return start;
    }
  }
  return 0;
}

void NtfsImage::WriteClusters(uint64_t lcn, const std::vector<uint8_t>& bytes) {
  WriteAt(lcn * clusterBytes_, bytes.data(), bytes.size());
}

std::vector<uint8_t> NtfsImage::ReadClusters(uint64_t lcn, uint64_t count) const {
  std::vector<uint8_t> bytes(count * clusterBytes_);
  ReadAt(lcn * clusterBytes_, bytes.data(), bytes.size());
  return bytes;
}

}  // namespace vorlenta::test
