// The bottom layer against real files: disk numbering, free space, preview-file clean-up, the
// raw reader and chunked reads, the node record's bounds and the crash guard.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>

#include "device/disk_reader.h"
#include "engine/crash_guard.h"
#include "engine/file_node.h"
#include "support/test_support.h"
#include "util/debug_log.h"
#include "util/os_helpers.h"
#include "util/platform.h"
#include "util/text.h"

namespace vorlenta {
namespace {

// A fake sysfs tree the way the kernel shows whole disks, partitions, loops and RAM disks.
TEST(DiskNumbering, WholeDisksFromSysBlockSortedByName) {
  test::TempDir root;
  const std::pair<const char*, const char*> entries[] = {
      {"sdb", "ln -s ../../devices/x device"},
      {"sda", "ln -s ../../devices/y device"},
      {"loop0", "mkdir loop && echo /images/card.img > loop/backing_file"},
      {"loop1", "true"},  // unbound loop device: no backing file
      {"ram0", "ln -s ../../devices/r device"},
      {"dm-0", "true"},  // a mapper device without a device link
      {"sda1", "ln -s ../../devices/y device && echo 1 > partition"},
  };
  for (const auto& [name, make] : entries) {
    const std::string dir = root / (std::string("block/") + name);
    ASSERT_EQ(test::RunCommand("mkdir -p " + test::ShellQuote(dir) + " && cd " + test::ShellQuote(dir) + " && " + make), 0);
  }
  const std::vector<std::string> expected = {"loop0", "sda", "sdb"};
  EXPECT_EQ(ListBlockDisks(root.path()), expected);
  EXPECT_TRUE(ListBlockDisks(root / "missing").empty());

  test::ScopedEnv env("VORLENTA_DISK_DIR", root.path());
  std::string path;
  ASSERT_EQ(GetDiskPath(127, path), 0);
  EXPECT_EQ(path, root / "disk127");
  EXPECT_EQ(GetDiskPath(128, path), 87);
  EXPECT_EQ(GetDiskPath(-1, path), 87);
}

TEST(FreeSpace, WalksUpToAnExistingFolder) {
  unsigned high = 7, low = 7;
  test::TempDir dir;
  const std::string missing = dir / "not/yet";
  ASSERT_EQ(rsb_getFreeSpace(missing.c_str(), 0, &high, &low), 0);
  struct statvfs info;
  ASSERT_EQ(statvfs(dir.path().c_str(), &info), 0);
  const unsigned long long reported = (static_cast<unsigned long long>(high) << 32) | low;
  const unsigned long long expected = static_cast<unsigned long long>(info.f_bavail) * info.f_frsize;
  // Other processes write meanwhile; the figures agree to within a few MiB.
  EXPECT_NEAR(static_cast<double>(reported), static_cast<double>(expected), 64.0 * 1024 * 1024);
  EXPECT_GT(reported, 0u);
  // The caller's path is not cut.
  EXPECT_EQ(missing, dir / "not/yet");
}

TEST(PreviewFiles, OnlyNamesWithTmpDotAreRemoved) {
  test::TempDir dir;
  for (const char* name : {"tmp.jpg", "x.tmp.png", "tmpjpg", "config"}) test::WriteFileBytes(dir / name, {1});
  EXPECT_NE(DeleteTmpFile(dir.path().c_str()), 0);
  EXPECT_EQ(access((dir / "tmp.jpg").c_str(), F_OK), -1);
  EXPECT_EQ(access((dir / "x.tmp.png").c_str(), F_OK), -1);
  EXPECT_EQ(access((dir / "tmpjpg").c_str(), F_OK), 0);
  EXPECT_EQ(access((dir / "config").c_str(), F_OK), 0);
  SetDebugLogPath(dir / "Log.txt");
  EXPECT_EQ(DeleteTmpFile((dir / "missing").c_str()), 0);
  SetDebugLogPath("");
}

class DiskReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    image_ = test::RandomBytes(400 * kSectorSize, 42);
    test::WriteFileBytes(dir_ / "disk0", image_);
  }
  bool Holds(const std::vector<unsigned char>& buffer, unsigned sectors, uint64_t from) const {
    return std::equal(buffer.begin(), buffer.begin() + sectors * kSectorSize, image_.begin() + from * kSectorSize);
  }
  test::TempDir dir_;
  std::vector<uint8_t> image_;
};

TEST_F(DiskReaderTest, ReadsUpToTheLimitAndRefusesWhatItCannotRead) {
  std::vector<unsigned char> buffer(16 * kSectorSize);
  unsigned got = 0;
  CDiskReader never;
  EXPECT_EQ(never.ReadData(buffer.data(), 1, 0, kSectorSize, &got), 87);
  test::ScopedEnv env("VORLENTA_DISK_DIR", dir_.path());
  CDiskReader reader;
  ASSERT_EQ(reader.Init(0, 100), 0);
  EXPECT_EQ(reader.ReadData(buffer.data(), 4, 96, kSectorSize, &got), 0);
  EXPECT_EQ(got, 4u);
  EXPECT_TRUE(Holds(buffer, 4, 96));
  got = 77;
  EXPECT_EQ(reader.ReadData(buffer.data(), 5, 96, kSectorSize, &got), 87);
  EXPECT_EQ(got, 77u) << "a refused read leaves the count alone";
  // A start so large that start + count wraps around must be refused too.
  EXPECT_EQ(reader.ReadData(buffer.data(), 2, 0x7FFFFFFFFFFFFFFFLL, kSectorSize, &got), 87);
  EXPECT_EQ(reader.ReadData(buffer.data(), 1, -1, kSectorSize, &got), 87);
  // A failed Init leaves the reader closed.
  EXPECT_EQ(reader.Init(5, 400), ENOENT);
  EXPECT_FALSE(reader.IsOpen());
  EXPECT_EQ(reader.ReadData(buffer.data(), 1, 0, kSectorSize, &got), 87);
  reader.Close();
  EXPECT_EQ(reader.Init(static_cast<const char16_t*>(nullptr), 10), 87);

  // The limit claims more than the image holds, as a damaged card's partition table may.
  ASSERT_EQ(reader.InitPath(dir_ / "disk0", 1000), 0);
  EXPECT_EQ(reader.ReadData(buffer.data(), 16, 390, kSectorSize, &got), 30);
  EXPECT_EQ(got, 10u);
  EXPECT_TRUE(Holds(buffer, 10, 390));
  // The descriptor stays usable after a failed read.
  EXPECT_EQ(reader.ReadData(buffer.data(), 1, 0, kSectorSize, &got), 0);
  EXPECT_EQ(got, 1u);
}

// The plain descriptor read: a file ending early gives the read fault and what it holds.
TEST_F(DiskReaderTest, ChunkedReadOfAShortFileGivesReadFaultAndTheCount) {
  const int fd = open((dir_ / "disk0").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  std::vector<unsigned char> buffer(500 * kSectorSize);
  unsigned got = 0;
  EXPECT_EQ(ReadData(fd, buffer.data(), static_cast<int>(buffer.size()), &got), 30);
  EXPECT_EQ(got, image_.size());
  EXPECT_TRUE(Holds(buffer, 400, 0));
  ASSERT_EQ(lseek(fd, 0, SEEK_SET), 0);
  EXPECT_EQ(ReadData(fd, buffer.data(), static_cast<int>(image_.size()), &got), 0);
  EXPECT_EQ(got, image_.size());
  close(fd);
}

TEST_F(DiskReaderTest, PathFormOpensTheImageReadOnly) {
  CDiskReader reader;
  const std::u16string path = Utf8ToUtf16((dir_ / "disk0").c_str());
  ASSERT_EQ(reader.Init(path.c_str(), 400), 0);
  ASSERT_TRUE(reader.IsOpen());
  EXPECT_EQ(fcntl(reader.Descriptor(), F_GETFL) & O_ACCMODE, O_RDONLY);
  // A read larger than one chunk comes back whole.
  std::vector<unsigned char> buffer(300 * kSectorSize);
  unsigned got = 0;
  ASSERT_EQ(reader.ReadData(buffer.data(), 300, 100, kSectorSize, &got), 0);
  EXPECT_EQ(got, 300u);
  EXPECT_TRUE(Holds(buffer, 300, 100));
}

TEST(FileNode, DecodingAnUnterminatedNameStopsInsideTheRecord) {
  uint8_t bytes[kFileNodeSize];
  std::memset(bytes, 'A', sizeof bytes);
  _FILE_NODE_ node;
  DecodeFileNode(bytes, node);
  EXPECT_EQ(std::strlen(node.FileName), kFileNameBytes - 1);
  SetFileNodeName(node, std::string(400, 'x').c_str());
  EXPECT_EQ(std::strlen(node.FileName), kFileNameBytes - 1);
}

// Reads one byte through the pointer, which the compiler may not drop.
void Touch(volatile uint8_t* p) {
  volatile uint8_t value = *p;
  (void)value;
}

// A page that exists but may not be touched: reading it faults for real, the way a parser
// running off its buffer would, without the sanitizers' own instrumentation stepping in.
volatile uint8_t* ForbiddenPage() {
  void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return page == MAP_FAILED ? nullptr : static_cast<volatile uint8_t*>(page);
}

// A mapping of a file that was cut short afterwards: touching it raises SIGBUS.
volatile uint8_t* VanishedMapping(const std::string& path) {
  test::WriteFileBytes(path, std::vector<uint8_t>(8192, 1));
  const int fd = open(path.c_str(), O_RDWR);
  void* map = mmap(nullptr, 8192, PROT_READ, MAP_SHARED, fd, 0);
  if (ftruncate(fd, 0) != 0) return nullptr;
  close(fd);
  return map == MAP_FAILED ? nullptr : static_cast<volatile uint8_t*>(map) + 4096;
}

// Three items, the middle one faults: it is skipped, the others are done, one debug line. Then
// a fault outside any section ends the process with 128 + the signal: a crash must not look
// like success.
void RunThreeItemsThenFault(const std::string& logPath, volatile uint8_t* poison) {
  SetDebugLogPath(logPath);
  static CCrashGuard guard("CFastFatRecovery recvSignal");
  int done = 0;
  for (int item = 0; item < 3; ++item) {
    const bool ok = guard.Run([&] {
      if (item == 1) Touch(poison);
      ++done;
    });
    std::fprintf(stderr, "item %d %s\n", item, ok ? "done" : "skipped");
  }
  std::fprintf(stderr, "finished %d faults %lu\n", done, guard.Faults());
  Touch(poison);
  std::fprintf(stderr, "survived\n");
  std::exit(0);
}

// The death tests fork without exec, so the child shares the parent's temporary folder.
class CrashGuardDeathTest : public ::testing::Test {
 protected:
  test::TempDir dir_;
};

TEST_F(CrashGuardDeathTest, FaultsSkipOnlyTheFaultingItemAndOutsideEndTheProcess) {
  volatile uint8_t* page = ForbiddenPage();
  volatile uint8_t* gone = VanishedMapping(dir_ / "mapped");
  ASSERT_NE(page, nullptr);
  ASSERT_NE(gone, nullptr);
  const char* expected = "item 0 done\nitem 1 skipped\nitem 2 done\nfinished 2 faults 1\n$";
  EXPECT_EXIT(RunThreeItemsThenFault(dir_ / "Log.txt", page), ::testing::ExitedWithCode(128 + SIGSEGV), expected);
  EXPECT_EQ(test::ReadFileText(dir_ / "Log.txt"), "Debug: CFastFatRecovery recvSignal\n");
  EXPECT_EXIT(RunThreeItemsThenFault(dir_ / "Bus.txt", gone), ::testing::ExitedWithCode(128 + SIGBUS), expected);
}

TEST_F(CrashGuardDeathTest, NestedSectionsReturnToTheInnermost) {
  volatile uint8_t* page = ForbiddenPage();
  ASSERT_NE(page, nullptr);
  auto run = [page] {
    static CCrashGuard outer("ProfessionalRecovery recvSignal");
    static CCrashGuard inner("CFastNtfsRecovery recvSignal");
    bool innerOk = true;
    const bool outerOk = outer.Run([&] {
      innerOk = inner.Run([&] { Touch(page); });
      std::fprintf(stderr, "after inner\n");
    });
    std::fprintf(stderr, "outer %d inner %d\n", outerOk ? 1 : 0, innerOk ? 1 : 0);
    std::exit(outerOk && !innerOk ? 0 : 1);
  };
  EXPECT_EXIT(run(), ::testing::ExitedWithCode(0), "after inner\nouter 1 inner 0");
}

}  // namespace
}  // namespace vorlenta
