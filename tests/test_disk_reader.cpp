// The raw reader against real files: limits, chunking, short reads, read-only opening.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>

#include "device/disk_reader.h"
#include "support/test_support.h"
#include "util/text.h"

namespace vorlenta {
namespace {

// Number of read system calls this process has made so far (Linux /proc accounting).
long ReadSyscalls() {
  std::ifstream io("/proc/self/io");
  std::string key;
  long value = 0;
  while (io >> key >> value) {
    if (key == "syscr:") return value;
  }
  return -1;
}

class DiskReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    image_ = test::RandomBytes(400 * kSectorSize, 42);
    test::WriteFileBytes(dir_ / "disk0", image_);
  }
  test::TempDir dir_;
  std::vector<uint8_t> image_;
};

TEST_F(DiskReaderTest, ReadsUpToTheLimitAndRefusesWhatItCannotRead) {
  std::vector<unsigned char> buffer(8 * kSectorSize);
  unsigned got = 0;
  CDiskReader never;
  EXPECT_EQ(never.ReadData(buffer.data(), 1, 0, kSectorSize, &got), 87);
  test::ScopedEnv env("VORLENTA_DISK_DIR", dir_.path());
  CDiskReader reader;
  ASSERT_EQ(reader.Init(0, 100), 0);
  EXPECT_EQ(reader.ReadData(buffer.data(), 4, 96, kSectorSize, &got), 0);
  EXPECT_EQ(got, 4u);
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 4 * kSectorSize, image_.begin() + 96 * kSectorSize));
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
}

TEST_F(DiskReaderTest, LargeReadsGoInChunksOf64KiB) {
  CDiskReader reader;
  ASSERT_EQ(reader.InitPath(dir_ / "disk0", 400), 0);
  std::vector<unsigned char> buffer(300 * kSectorSize);
  unsigned got = 0;
  // Reading the counter costs read calls of its own: measure that first.
  const long idleStart = ReadSyscalls();
  const long overhead = ReadSyscalls() - idleStart;
  ASSERT_GE(idleStart, 0);
  const long before = ReadSyscalls();
  ASSERT_EQ(reader.ReadData(buffer.data(), 300, 50, kSectorSize, &got), 0);
  // 300 sectors = 153600 bytes = 65536 + 65536 + 22528: three calls.
  EXPECT_EQ(ReadSyscalls() - before - overhead, 3);
  EXPECT_EQ(got, 300u);
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), image_.begin() + 50 * kSectorSize));
}

TEST_F(DiskReaderTest, DeviceEndingEarlyGivesReadFaultWithWholeSectors) {
  CDiskReader reader;
  // The limit claims more than the image holds, as a damaged card's partition table may.
  ASSERT_EQ(reader.InitPath(dir_ / "disk0", 1000), 0);
  std::vector<unsigned char> buffer(16 * kSectorSize);
  unsigned got = 0;
  EXPECT_EQ(reader.ReadData(buffer.data(), 16, 390, kSectorSize, &got), 30);
  EXPECT_EQ(got, 10u);
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 10 * kSectorSize, image_.begin() + 390 * kSectorSize));
  // The descriptor stays usable after a failed read.
  EXPECT_EQ(reader.ReadData(buffer.data(), 1, 0, kSectorSize, &got), 0);
  EXPECT_EQ(got, 1u);
}

TEST_F(DiskReaderTest, PathFormOpensTheImageReadOnly) {
  CDiskReader reader;
  const std::u16string path = Utf8ToUtf16((dir_ / "disk0").c_str());
  ASSERT_EQ(reader.Init(path.c_str(), 400), 0);
  ASSERT_TRUE(reader.IsOpen());
  EXPECT_EQ(fcntl(reader.Descriptor(), F_GETFL) & O_ACCMODE, O_RDONLY);
  std::vector<unsigned char> buffer(kSectorSize);
  unsigned got = 0;
  ASSERT_EQ(reader.ReadData(buffer.data(), 1, 399, kSectorSize, &got), 0);
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), image_.begin() + 399 * kSectorSize));
}

}  // namespace
}  // namespace vorlenta
