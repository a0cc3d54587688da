// Throughput of the per-sector classification of a deep scan: the NTFS record test, the FAT
// head and directory-run tests, then the signature walk, on random sectors and on real files
// (or on an image), with the plain table-order walk beside the first-byte dispatch.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench.h"
#include "format/file_type_judge.h"
#include "device/disk_reader.h"
#include "format/fat_record.h"
#include "format/ntfs_record.h"
#include "util/os_helpers.h"
#include "util/platform.h"

namespace vorlenta::bench {

namespace {

constexpr size_t kSampleBytes = 32u << 20;
constexpr size_t kMiB = 1u << 20;
constexpr double kMinSeconds = 0.5;
constexpr int kImageChunkSectors = 128;

struct Tally {
  uint64_t ntfs = 0;
  uint64_t fatHead = 0;
  uint64_t fatRun = 0;
  uint64_t typed = 0;
  uint64_t typeSum = 0;  // folds every result in, so two walks can be compared cheaply
};

using Walk = EXTEND_NAME_TYPE (*)(const unsigned char*, int);

// Classifies every sector of `data` as the deep pass does; `firstSector` is the device sector
// of data[0], so the tests that read on from the device read the right place.
void ClassifySectors(const uint8_t* data, size_t bytes, uint64_t firstSector, Walk walk, Tally& tally) {
  const size_t sectors = bytes / kSectorSize;
  for (size_t i = 0; i < sectors; ++i) {
    const uint8_t* sector = data + i * kSectorSize;
    const size_t available = bytes - i * kSectorSize;
    if (IsNtfsFileRecord(sector, available, kNtfsFileRecordSize)) {
      ++tally.ntfs;
    } else if (IsFatFileRecord(sector, available) != 0) {
      ++tally.fatHead;
    } else if (IsFatFDTRecord(sector, kSectorSize) != 0) {
      ++tally.fatRun;
    } else {
      CFileTypeJudge::SetDetectionContext(CFileTypeJudge::m_pDiskReader, kSectorSize, firstSector + i);
      const EXTEND_NAME_TYPE type = walk(sector, kSectorSize);
      if (type != kTypeNone) {
        ++tally.typed;
        tally.typeSum = tally.typeSum * 31 + static_cast<uint64_t>(type) + i;
      }
    }
  }
}

std::vector<uint8_t> RandomSectors(size_t bytes) {
  std::vector<uint8_t> data(bytes);
  uint64_t state = 0x9E3779B97F4A7C15ull;
  for (size_t i = 0; i < bytes; i += 8) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    std::memcpy(&data[i], &state, std::min<size_t>(8, bytes - i));
  }
  return data;
}

// Regular files under `folder`, in name order, depth first.
void CollectFiles(const std::string& folder, std::vector<std::string>& out, size_t limit) {
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return;
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) names.push_back(entry->d_name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    if (out.size() >= limit) return;
    const std::string path = folder + "/" + name;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      CollectFiles(path, out, limit);
    } else if (S_ISREG(st.st_mode) && st.st_size > 0) {
      out.push_back(path);
    }
  }
}

// Real files laid out as on a disk: each starts on a sector boundary, the slack is zero.
std::vector<uint8_t> RealFileSectors(size_t bytes, size_t& fileCount) {
  std::vector<std::string> files;
  CollectFiles("/usr/share", files, 200000);
  std::vector<uint8_t> data;
  data.reserve(bytes);
  fileCount = 0;
  for (const std::string& path : files) {
    if (data.size() >= bytes) break;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) continue;
    const size_t start = data.size();
    data.resize(std::min(bytes, start + (4u << 20)));
    const size_t got = std::fread(data.data() + start, 1, data.size() - start, f);
    std::fclose(f);
    size_t end = start + got;
    end = std::min(bytes, (end + kSectorSize - 1) / kSectorSize * kSectorSize);
    data.resize(end);
    if (got > 0) ++fileCount;
  }
  data.resize(data.size() / kSectorSize * kSectorSize);
  return data;
}

// The buffer as a device, so the tests that read on from the device find the same bytes.
bool OpenAsDevice(const std::vector<uint8_t>& data, CDiskReader& reader) {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/vorlenta-bench-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  const int fd = ::mkstemp(name.data());
  if (fd < 0) return false;
  const bool written = WriteAll(fd, data.data(), data.size()) == 0;
  ::close(fd);
  const bool opened = written && reader.InitPath(name.data(), data.size() / kSectorSize) == 0;
  ::unlink(name.data());
  return opened;
}

double MeasureMBps(const std::vector<uint8_t>& data, Walk walk, Tally& tally) {
  ClassifySectors(data.data(), data.size(), 0, walk, tally);  // warms the date cache
  int rounds = 0;
  const double start = NowSeconds();
  double elapsed = 0;
  do {
    tally = Tally();
    ClassifySectors(data.data(), data.size(), 0, walk, tally);
    ++rounds;
    elapsed = NowSeconds() - start;
  } while (elapsed < kMinSeconds);
  return static_cast<double>(data.size()) * rounds / elapsed / 1e6;
}

void PrintTally(const char* label, const Tally& t) {
  std::printf("classify: %s: ntfs records %llu, fat heads %llu, fat runs %llu, signatures %llu\n", label,
              static_cast<unsigned long long>(t.ntfs), static_cast<unsigned long long>(t.fatHead),
              static_cast<unsigned long long>(t.fatRun), static_cast<unsigned long long>(t.typed));
}

bool SameTally(const Tally& a, const Tally& b) {
  return a.ntfs == b.ntfs && a.fatHead == b.fatHead && a.fatRun == b.fatRun && a.typed == b.typed &&
         a.typeSum == b.typeSum;
}

// Both walks over one buffer; returns the dispatch figure, or a negative value on failure.
double MeasureBuffer(const char* label, const std::vector<uint8_t>& data) {
  CDiskReader reader;
  if (!OpenAsDevice(data, reader)) {
    std::fprintf(stderr, "classify: cannot write the %s buffer to a temporary file\n", label);
    return -1;
  }
  CFileTypeJudge::m_pDiskReader = &reader;
  Tally plain;
  Tally fast;
  const double plainRate = MeasureMBps(data, &CFileTypeJudge::GetDataBufTypeInTableOrder, plain);
  const double fastRate = MeasureMBps(data, &CFileTypeJudge::GetDataBufType, fast);
  CFileTypeJudge::m_pDiskReader = nullptr;
  PrintTally(label, fast);
  std::printf("classify: %s: results of both walks identical: %s\n", label, SameTally(plain, fast) ? "yes" : "NO");
  std::printf("classify: %s, table-order walk: %.0f MB/s per core\n", label, plainRate);
  std::printf("classify: %s, first-byte dispatch: %.0f MB/s per core\n", label, fastRate);
  return SameTally(plain, fast) ? fastRate : -1;
}

int ClassifyImage(const std::string& path) {
  CDiskReader device;
  int status = device.InitPath(path, ~0ull);
  const int64_t size = status == 0 ? GetDeviceSize(device.Descriptor()) : -1;
  const uint64_t sectors = size > 0 ? static_cast<uint64_t>(size) / kSectorSize : 0;
  // Reopen with the real end, so the tests that read on stop there as on a device.
  if (status == 0) status = device.InitPath(path, sectors);
  if (status != 0) {
    std::fprintf(stderr, "classify: cannot open %s: %s\n", path.c_str(), std::strerror(status));
    return 3;
  }
  CFileTypeJudge::m_pDiskReader = &device;
  std::vector<uint8_t> chunk(static_cast<size_t>(kImageChunkSectors) * kSectorSize);
  Tally tally;
  double busy = 0;
  for (uint64_t first = 0; first < sectors; first += kImageChunkSectors) {
    const int count = static_cast<int>(std::min<uint64_t>(kImageChunkSectors, sectors - first));
    unsigned got = 0;
    const int read = device.ReadData(chunk.data(), count, static_cast<long long>(first), kSectorSize, &got);
    if (read != 0 && got == 0) {
      std::fprintf(stderr, "classify: cannot read %s at sector %llu: status %d\n", path.c_str(),
                   static_cast<unsigned long long>(first), read);
      return 3;
    }
    const double start = NowSeconds();
    ClassifySectors(chunk.data(), static_cast<size_t>(got) * kSectorSize, first, &CFileTypeJudge::GetDataBufType,
                    tally);
    busy += NowSeconds() - start;
  }
  CFileTypeJudge::m_pDiskReader = nullptr;
  PrintTally(path.c_str(), tally);
  std::printf("classify: %s: %.1f MiB classified in %.3f s\n", path.c_str(),
              static_cast<double>(sectors * kSectorSize) / kMiB, busy);
  std::printf("classify: image sectors, first-byte dispatch: %.0f MB/s per core\n",
              busy > 0 ? static_cast<double>(sectors * kSectorSize) / busy / 1e6 : 0.0);
  return 0;
}

}  // namespace

int RunClassifyBench(const Args& args) {
  if (!args.empty()) return ClassifyImage(args[0]);

  size_t files = 0;
  const std::vector<uint8_t> real = RealFileSectors(kSampleBytes, files);
  std::printf("classify: real files: %zu files from /usr/share, %.1f MiB\n", files,
              static_cast<double>(real.size()) / kMiB);
  if (!real.empty() && MeasureBuffer("real files", real) < 0) return 1;
  const std::vector<uint8_t> random = RandomSectors(kSampleBytes);
  const double rate = MeasureBuffer("random sectors", random);
  if (rate < 0) return 1;
  std::printf("classify: random sectors: %.0f MB/s per core\n", rate);
  return 0;
}

}  // namespace vorlenta::bench
