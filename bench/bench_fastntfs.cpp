// The fast NTFS scan over a master file table of at least 50,000 records: the whole table is
// read in chunks, every deleted record parsed, parent chains followed and the directories
// built. Without an IMAGE the volume is made on the spot: a boot sector, a table of 60,000
// records (directories, files in use, deleted files resident and not) and the cluster bitmap,
// in a sparse file.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/bench.h"
#include "engine/log_file_manager.h"
#include "ntfs/fast_ntfs_recovery.h"
#include "util/endian.h"
#include "util/os_helpers.h"
#include "util/text.h"

namespace vorlenta::bench {
namespace {

constexpr uint32_t kRecords = 60000;
constexpr uint32_t kRecordBytes = 1024;
constexpr uint32_t kClusterBytes = 4096;
constexpr uint32_t kSectorsPerCluster = 8;
constexpr uint64_t kVolumeClusters = 65536;
constexpr uint64_t kMftCluster = 16;
constexpr uint64_t kBitmapCluster = 15100;
constexpr uint64_t kFirstDataCluster = 16000;
constexpr uint32_t kDirectories = 500;
constexpr uint32_t kFirstUser = 16;
constexpr uint32_t kRoot = 5;
constexpr uint32_t kBitmapRecord = 6;

void Put(std::vector<uint8_t>& b, size_t at, uint64_t value, int width) {
  for (int i = 0; i < width; ++i) b[at + static_cast<size_t>(i)] = static_cast<uint8_t>(value >> (8 * i));
}

// Builds FILE records attribute by attribute.
class RecordBuilder {
 public:
  RecordBuilder(uint32_t number, uint16_t flags) : r_(kRecordBytes, 0) {
    std::memcpy(r_.data(), "FILE", 4);
    Put(r_, 4, 48, 2);  // update sequence array offset
    Put(r_, 6, 3, 2);   // and count
    Put(r_, 20, kFirstAttribute, 2);
    Put(r_, 22, flags, 2);
    Put(r_, 28, kRecordBytes, 4);
    Put(r_, 44, number, 4);
    at_ = kFirstAttribute;
  }

  void Resident(uint32_t type, const std::vector<uint8_t>& value) {
    const size_t length = (24 + value.size() + 7) / 8 * 8;
    Put(r_, at_, type, 4);
    Put(r_, at_ + 4, length, 4);
    Put(r_, at_ + 16, value.size(), 4);
    Put(r_, at_ + 20, 24, 2);
    std::memcpy(&r_[at_ + 24], value.data(), value.size());
    at_ += length;
  }

  void StandardInformation() { Resident(0x10, std::vector<uint8_t>(48, 0)); }

  void FileName(uint32_t parent, const std::string& name, uint64_t size) {
    std::vector<uint8_t> v(66 + name.size() * 2, 0);
    Put(v, 0, parent | (uint64_t{1} << 48), 8);
    for (int i = 0; i < 4; ++i) Put(v, 8 + 8 * static_cast<size_t>(i), 133000000000000000ull, 8);
    Put(v, 48, size, 8);
    v[64] = static_cast<uint8_t>(name.size());
    v[65] = 1;  // Win32
    for (size_t i = 0; i < name.size(); ++i) Put(v, 66 + 2 * i, static_cast<uint8_t>(name[i]), 2);
    Resident(0x30, v);
  }

  // Unnamed non-resident data in one run.
  void Data(uint64_t lcn, uint64_t clusters, uint64_t size) {
    std::vector<uint8_t> runs = {0x33};
    for (int i = 0; i < 3; ++i) runs.push_back(static_cast<uint8_t>(clusters >> (8 * i)));
    for (int i = 0; i < 3; ++i) runs.push_back(static_cast<uint8_t>(lcn >> (8 * i)));
    runs.push_back(0);
    const size_t length = (64 + runs.size() + 7) / 8 * 8;
    Put(r_, at_, 0x80, 4);
    Put(r_, at_ + 4, length, 4);
    r_[at_ + 8] = 1;
    Put(r_, at_ + 24, clusters - 1, 8);
    Put(r_, at_ + 32, 64, 2);
    Put(r_, at_ + 40, clusters * kClusterBytes, 8);
    Put(r_, at_ + 48, size, 8);
    Put(r_, at_ + 56, size, 8);
    std::memcpy(&r_[at_ + 64], runs.data(), runs.size());
    at_ += length;
  }

  // Ends the chain and protects the sector ends, as the driver writes a record.
  const std::vector<uint8_t>& Finish() {
    Put(r_, at_, 0xFFFFFFFF, 4);
    Put(r_, 24, at_ + 8, 4);
    const uint16_t sequence = 3;
    Put(r_, 48, sequence, 2);
    for (size_t i = 0; i < 2; ++i) {
      const size_t end = (i + 1) * 512 - 2;
      r_[50 + 2 * i] = r_[end];
      r_[51 + 2 * i] = r_[end + 1];
      Put(r_, end, sequence, 2);
    }
    return r_;
  }

 private:
  static constexpr size_t kFirstAttribute = 56;
  std::vector<uint8_t> r_;
  size_t at_;
};

bool WriteAt(int fd, uint64_t offset, const std::vector<uint8_t>& bytes) {
  return ::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)) == static_cast<ssize_t>(bytes.size());
}

}  // namespace

long MakeNtfsBenchVolume(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return -1;
  bool ok = ::ftruncate(fd, static_cast<off_t>(kVolumeClusters * kClusterBytes)) == 0;
  std::vector<uint8_t> boot(512, 0);
  std::memcpy(&boot[0], "\xEB\x52\x90NTFS    ", 11);
  Put(boot, 11, 512, 2);
  boot[13] = kSectorsPerCluster;
  boot[21] = 0xF8;
  Put(boot, 40, kVolumeClusters * kSectorsPerCluster - 1, 8);
  Put(boot, 48, kMftCluster, 8);
  Put(boot, 56, kVolumeClusters / 2, 8);
  boot[64] = 0xF6;
  boot[510] = 0x55;
  boot[511] = 0xAA;
  ok = ok && WriteAt(fd, 0, boot);

  std::vector<uint8_t> bitmap(kVolumeClusters / 8, 0);
  auto markUsed = [&](uint64_t lcn, uint64_t count) {
    for (uint64_t c = lcn; c < lcn + count; ++c) bitmap[c / 8] = static_cast<uint8_t>(bitmap[c / 8] | (1u << (c % 8)));
  };
  const uint64_t mftClusters = static_cast<uint64_t>(kRecords) * kRecordBytes / kClusterBytes;
  markUsed(0, kMftCluster + mftClusters);
  markUsed(kBitmapCluster, bitmap.size() / kClusterBytes);

  std::vector<uint8_t> table(static_cast<size_t>(kRecords) * kRecordBytes, 0);
  auto place = [&](uint32_t number, const std::vector<uint8_t>& record) {
    std::memcpy(&table[static_cast<size_t>(number) * kRecordBytes], record.data(), record.size());
  };
  {
    RecordBuilder mft(0, 1);
    mft.StandardInformation();
    mft.FileName(kRoot, "$MFT", 0);
    mft.Data(kMftCluster, mftClusters, table.size());
    place(0, mft.Finish());
  }
  for (uint32_t n = 1; n < kFirstUser; ++n) {
    if (n == kBitmapRecord) continue;
    RecordBuilder system(n, n == kRoot ? 3 : 1);
    system.StandardInformation();
    system.FileName(kRoot, n == kRoot ? "." : "$System" + std::to_string(n), 0);
    place(n, system.Finish());
  }
  {
    RecordBuilder bits(kBitmapRecord, 1);
    bits.StandardInformation();
    bits.FileName(kRoot, "$Bitmap", bitmap.size());
    bits.Data(kBitmapCluster, bitmap.size() / kClusterBytes, bitmap.size());
    place(kBitmapRecord, bits.Finish());
  }
  uint32_t seed = 12345;
  auto next = [&seed] {
    seed = seed * 1103515245u + 12345u;
    return seed >> 8;
  };
  // Directories: a tree a few levels deep, one in twenty deleted.
  for (uint32_t i = 0; i < kDirectories; ++i) {
    const uint32_t number = kFirstUser + i;
    const uint32_t parent = i < 50 ? kRoot : kFirstUser + next() % i;
    RecordBuilder dir(number, i % 20 == 7 ? 2 : 3);
    dir.StandardInformation();
    dir.FileName(parent, "Folder " + std::to_string(i), 0);
    place(number, dir.Finish());
  }
  static const char* const kNames[] = {"IMG_%05u.JPG", "Document %u.docx", "clip_%u.mp4", "notes %u.txt"};
  uint64_t lcn = kFirstDataCluster;
  long deleted = 0;
  for (uint32_t number = kFirstUser + kDirectories; number < kRecords; ++number) {
    const bool isDeleted = number % 3 == 0;
    RecordBuilder file(number, isDeleted ? 0 : 1);
    file.StandardInformation();
    char name[64];
    std::snprintf(name, sizeof name, kNames[number % 4], number);
    const uint32_t parent = number % 10 == 0 ? kRoot : kFirstUser + next() % kDirectories;
    if (number % 5 == 1) {
      file.FileName(parent, name, 300);
      file.Resident(0x80, std::vector<uint8_t>(300, static_cast<uint8_t>(number)));
    } else {
      const uint64_t clusters = 1 + next() % 4;
      if (lcn + clusters >= kVolumeClusters) lcn = kFirstDataCluster;
      file.FileName(parent, name, clusters * kClusterBytes - 100);
      file.Data(lcn, clusters, clusters * kClusterBytes - 100);
      if (!isDeleted) markUsed(lcn, clusters);
      lcn += clusters;
    }
    if (isDeleted) ++deleted;
    place(number, file.Finish());
  }
  ok = ok && WriteAt(fd, kMftCluster * kClusterBytes, table) && WriteAt(fd, kBitmapCluster * kClusterBytes, bitmap);
  ::close(fd);
  return ok ? deleted : -1;
}

int RunFastNtfsBench(const Args& args) {
  const char* tmp = std::getenv("TMPDIR");
  std::string work = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/vorlenta-bench-ntfs-XXXXXX";
  if (::mkdtemp(&work[0]) == nullptr) {
    std::perror("fastntfs: mkdtemp");
    return 1;
  }
  // The scan's result files go to a support folder of the bench's own.
  ::setenv("VORLENTA_SUPPORT_DIR", (work + "/support").c_str(), 1);
  CLogFileManager::GetInstance().Init();
  CLogFileManager::GetInstance().AddDirIndex();
  std::string image = args.empty() ? work + "/volume.img" : args[0];
  if (args.empty()) {
    const double made = NowSeconds();
    const long deleted = MakeNtfsBenchVolume(image);
    if (deleted < 0) {
      std::fprintf(stderr, "fastntfs: cannot write %s\n", image.c_str());
      std::filesystem::remove_all(work);
      return 1;
    }
    std::printf("volume made: %u records, %ld deleted files, %.2f s\n", kRecords, deleted, NowSeconds() - made);
  }

  const double start = NowSeconds();
  CFastNtfsRecovery engine;
  int status = engine.Init(Utf8ToUtf16(image.c_str()).c_str(), u'C');
  if (status == 0) status = engine.ScanDevice(nullptr);
  const double seconds = NowSeconds() - start;
  if (status != 0) {
    std::fprintf(stderr, "fastntfs: scan of %s failed with status %d\n", image.c_str(), status);
    std::filesystem::remove_all(work);
    return 1;
  }
  uint64_t mftBytes = 0;
  for (const NtfsExtent& extent : engine.MftExtents()) {
    mftBytes += extent.clusters * static_cast<uint64_t>(engine.SectorsPerCluster()) * engine.BytesPerSector();
  }
  std::printf("MFT records: %llu\n", static_cast<unsigned long long>(mftBytes / engine.RecordSize()));
  std::printf("nodes listed: %u (directories on parent chains: %zu)\n", engine.GetLostFileCount(),
              engine.AncestorList().size());
  std::printf("scan time: %.3f s\n", seconds);
  std::printf("MFT read: %.1f MB/s\n", seconds > 0 ? static_cast<double>(mftBytes) / 1e6 / seconds : 0.0);
  std::filesystem::remove_all(work);
  return 0;
}

}  // namespace vorlenta::bench
