#include "support/ntfs_image.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

#include "support/test_support.h"
#include "util/endian.h"

namespace vorlenta::test {
namespace {

constexpr uint32_t kRecordBytes = 1024;
constexpr uint32_t kStride = 512;
constexpr uint32_t kTypeStandardInformation = 0x10;
constexpr uint32_t kTypeAttributeList = 0x20;
constexpr uint32_t kTypeFileName = 0x30;
constexpr uint32_t kTypeData = 0x80;
constexpr uint32_t kTypeEnd = 0xFFFFFFFF;

uint16_t Get16(const std::vector<uint8_t>& b, size_t o) { return ReadU16LE(b.data(), b.size(), o); }
void Put(std::vector<uint8_t>& b, size_t o, uint64_t v, int width) {
  for (int i = 0; i < width; ++i) b.at(o + static_cast<size_t>(i)) = static_cast<uint8_t>(v >> (8 * i));
}
void Append(std::vector<uint8_t>& b, uint64_t v, int width) {
  for (int i = 0; i < width; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void PadTo8(std::vector<uint8_t>& b) {
  while (b.size() % 8 != 0) b.push_back(0);
}

// A reference to record `n` with the sequence number that record carries.
uint64_t Reference(uint32_t n, const std::vector<uint8_t>& record) { return n | uint64_t{Get16(record, 16)} << 48; }

// A resident unnamed attribute of `type` holding `value`.
RawAttribute ResidentAttribute(uint32_t type, const std::vector<uint8_t>& value) {
  RawAttribute a{type, std::vector<uint8_t>(24, 0)};
  Put(a.bytes, 0, type, 4);
  Put(a.bytes, 16, value.size(), 4);
  Put(a.bytes, 20, 24, 2);  // value offset
  a.bytes.insert(a.bytes.end(), value.begin(), value.end());
  PadTo8(a.bytes);
  Put(a.bytes, 4, a.bytes.size(), 4);
  return a;
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

NtfsMount::NtfsMount(const std::string& image) : point_(image + ".mnt") {
  // Through a block device the unmount waits until the driver has written everything.
  if (RunCommand("losetup -f --show " + ShellQuote(image), &loop_) != 0) return;
  loop_.erase(loop_.find_last_not_of('\n') + 1);
  mounted_ = RunCommand("mkdir -p " + ShellQuote(point_) + " && ntfs-3g " + ShellQuote(loop_) + " " + ShellQuote(point_) +
                        " >/dev/null 2>&1") == 0;
}

NtfsMount::~NtfsMount() {
  if (mounted_) RunCommand("umount " + ShellQuote(point_));
  if (!loop_.empty()) RunCommand("losetup -d " + ShellQuote(loop_));
}

uint32_t NtfsMount::Record(const std::string& path) const {
  struct stat st {};
  return ::stat((*this / path).c_str(), &st) == 0 ? static_cast<uint32_t>(st.st_ino) : 0;
}

std::vector<uint8_t> EncodeRuns(const std::vector<TestRun>& runs) {
  // Four-byte length and offset fields: wide enough for any test volume.
  std::vector<uint8_t> out;
  uint64_t previous = 0;
  for (const TestRun& run : runs) {
    out.push_back(0x44);
    Append(out, run.clusters, 4);
    Append(out, run.lcn - previous, 4);
    previous = run.lcn;
  }
  out.push_back(0);
  return out;
}

RawAttribute NonResidentData(const std::vector<uint8_t>& runs, uint64_t realSize, uint64_t allocatedSize,
                             uint64_t lowestVcn, uint64_t highestVcn) {
  RawAttribute a{kTypeData, std::vector<uint8_t>(64, 0)};
  Put(a.bytes, 0, kTypeData, 4);
  a.bytes[8] = 1;  // non-resident
  Put(a.bytes, 10, 64, 2);  // name offset
  Put(a.bytes, 16, lowestVcn, 8);
  Put(a.bytes, 24, highestVcn, 8);
  Put(a.bytes, 32, 64, 2);  // run-list offset
  Put(a.bytes, 40, allocatedSize, 8);
  Put(a.bytes, 48, realSize, 8);
  Put(a.bytes, 56, realSize, 8);  // initialised size
  a.bytes.insert(a.bytes.end(), runs.begin(), runs.end());
  PadTo8(a.bytes);
  Put(a.bytes, 4, a.bytes.size(), 4);
  return a;
}

NtfsImage::NtfsImage(const std::string& path) {
  fd_ = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd_ < 0) throw std::runtime_error("cannot open the test image");
  std::vector<uint8_t> boot(512);
  ReadAt(0, boot.data(), boot.size());
  clusterBytes_ = static_cast<uint32_t>(Get16(boot, 11)) * boot[13];
  if (clusterBytes_ == 0) throw std::runtime_error("no NTFS boot sector");
  clusters_ = ReadU64LE(boot.data(), boot.size(), 40) * Get16(boot, 11) / clusterBytes_;
  mftOffset_ = ReadU64LE(boot.data(), boot.size(), 48) * clusterBytes_;
  std::string bitmap;
  if (RunCommand("ntfscat " + ShellQuote(path) + " '$Bitmap' 2>/dev/null", &bitmap) != 0) {
    throw std::runtime_error("ntfscat cannot read the bitmap");
  }
  bitmap_.assign(bitmap.begin(), bitmap.end());
}

NtfsImage::~NtfsImage() {
  if (fd_ >= 0) ::close(fd_);
}

void NtfsImage::ReadAt(uint64_t offset, void* data, size_t length) const {
  if (::pread(fd_, data, length, static_cast<off_t>(offset)) != static_cast<ssize_t>(length)) {
    throw std::runtime_error("short read of the test image");
  }
}

void NtfsImage::WriteAt(uint64_t offset, const void* data, size_t length) {
  if (::pwrite(fd_, data, length, static_cast<off_t>(offset)) != static_cast<ssize_t>(length)) {
    throw std::runtime_error("short write of the test image");
  }
}

std::vector<uint8_t> NtfsImage::ReadRawRecord(uint32_t n) const {
  std::vector<uint8_t> raw(kRecordBytes);
  ReadAt(mftOffset_ + uint64_t{n} * kRecordBytes, raw.data(), raw.size());
  return raw;
}

void NtfsImage::WriteRawRecord(uint32_t n, const std::vector<uint8_t>& raw) {
  WriteAt(mftOffset_ + uint64_t{n} * kRecordBytes, raw.data(), raw.size());
}

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
  const uint16_t sequence = Get16(record, 48);
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
    const uint32_t type = ReadU32LE(record.data(), record.size(), p);
    const uint32_t length = ReadU32LE(record.data(), record.size(), p + 4);
    if (type == kTypeEnd || length == 0 || p + length > record.size()) break;
    const auto from = record.begin() + static_cast<long>(p);
    out.push_back({type, std::vector<uint8_t>(from, from + length), p});
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

void NtfsImage::SetParent(uint32_t n, uint32_t parent) {
  std::vector<uint8_t> record = ReadRecord(n);
  for (const RawAttribute& a : Attributes(record)) {
    if (a.type == kTypeFileName) Put(record, a.offset + Get16(a.bytes, 20), parent, 4);
  }
  WriteRecord(n, record);
}

void NtfsImage::BuildListedFile(uint32_t base, const uint32_t (&pieces)[2], uint64_t at, const std::vector<uint8_t>& bytes) {
  std::vector<uint8_t> padded = bytes;
  padded.resize(6 * clusterBytes_);
  const uint64_t lcns[] = {at + 6, at + 2, at + 10, at + 12};  // clusters 0, 1, 2 and 3-5
  for (size_t c = 0; c < 4; ++c) {
    const auto from = padded.begin() + static_cast<long>(c * clusterBytes_);
    WriteClusters(lcns[c], std::vector<uint8_t>(from, c == 3 ? padded.end() : from + clusterBytes_));
  }
  std::vector<uint8_t> record = ReadRecord(base);
  std::vector<uint8_t> list;
  auto entry = [&](uint32_t type, uint64_t vcn, uint32_t n) {
    const size_t e = list.size();
    list.resize(e + 32);
    Put(list, e, type, 4);
    Put(list, e + 4, 32, 2);
    list[e + 7] = 0x1A;  // name offset, though no name
    Put(list, e + 8, vcn, 8);
    Put(list, e + 16, Reference(n, n == base ? record : ReadRecord(n)), 8);
  };
  entry(kTypeStandardInformation, 0, base);
  entry(kTypeFileName, 0, base);
  entry(kTypeData, 0, pieces[0]);
  entry(kTypeData, 3, pieces[1]);
  std::vector<RawAttribute> kept = {ResidentAttribute(kTypeAttributeList, list)};
  for (const RawAttribute& a : Attributes(record)) {
    if (a.type == kTypeStandardInformation) kept.insert(kept.begin(), a);
    if (a.type == kTypeFileName) kept.push_back(a);
  }
  SetAttributes(record, kept);
  WriteRecord(base, record);
  const std::vector<TestRun> runs[] = {{{lcns[0], 1}, {lcns[1], 1}, {lcns[2], 1}}, {{lcns[3], 3}}};
  for (size_t k = 0; k < 2; ++k) {
    std::vector<uint8_t> piece = ReadRecord(pieces[k]);
    Put(piece, 32, Reference(base, record), 8);
    SetAttributes(piece, {NonResidentData(EncodeRuns(runs[k]), k == 0 ? bytes.size() : 0, k == 0 ? 6 * clusterBytes_ : 0,
                                          3 * k, 3 * k + 2)});
    WriteRecord(pieces[k], piece);
  }
}

bool NtfsImage::ClusterUsed(uint64_t lcn) const {
  return lcn / 8 >= bitmap_.size() || ((bitmap_[lcn / 8] >> (lcn % 8)) & 1) != 0;
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

}  // namespace vorlenta::test
