// Display strings, free space, chunked reads, file status, preview-file clean-up, debug lines.
#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/test_support.h"
#include "util/debug_log.h"
#include "util/os_helpers.h"

namespace vorlenta {
namespace {

TEST(Display, FileSizeString) {
  const std::pair<long long, const char*> cases[] = {
      {0, "0 Bytes"},          {512, "512 Bytes"},       {1023, "1023 Bytes"},
      {1024, "1.00 KB"},       {1536, "1.50 KB"},        {1048575, "1024.00 KB"},
      {1048576, "1.00 MB"},    {1073741824, "1.00 GB"},  {1099511627776LL, "1.00 TB"},
      {3LL << 40, "3.00 TB"},
  };
  for (const auto& [bytes, text] : cases) EXPECT_EQ(GetFileSizeString(bytes), text) << bytes;
}

TEST(Display, TimeString) {
  const std::pair<long long, const char*> cases[] = {
      {0, "0 Sec"}, {59, "59 Sec"}, {60, "1 Min 0 Sec"}, {61, "1 Min 1 Sec"},
      {3599, "59 Min 59 Sec"}, {3600, "1 Hour 0 Min"}, {3725, "1 Hour 2 Min"},
  };
  for (const auto& [seconds, text] : cases) EXPECT_EQ(GetTimeString(seconds), text) << seconds;
}

TEST(FreeSpace, WalksUpToAnExistingFolder) {
  unsigned high = 7, low = 7;
  EXPECT_EQ(rsb_getFreeSpace("relative/path", 13, &high, &low), 0);
  EXPECT_EQ(high, 0u);
  EXPECT_EQ(low, 0u);

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

TEST(ChunkedRead, ShortFileGivesReadFaultAndTheCount) {
  test::TempDir dir;
  const std::vector<uint8_t> data = test::RandomBytes(70000, 1);
  test::WriteFileBytes(dir / "f", data);
  const int fd = open((dir / "f").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  std::vector<unsigned char> buffer(200000);
  unsigned got = 0;
  EXPECT_EQ(ReadData(fd, buffer.data(), 200000, &got), 30);
  EXPECT_EQ(got, 70000u);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), buffer.begin()));
  ASSERT_EQ(lseek(fd, 0, SEEK_SET), 0);
  EXPECT_EQ(ReadData(fd, buffer.data(), 70000, &got), 0);
  EXPECT_EQ(got, 70000u);

  int low = 0, high = -1;
  EXPECT_EQ(rsb_getFileSizeH(fd, &low, &high), 0);
  EXPECT_EQ(low, 70000);
  EXPECT_EQ(high, 0);
  close(fd);
  EXPECT_EQ(rsb_getFileSizeH(-1, &low, &high), -1);
  EXPECT_EQ(rsb_statH(-1, nullptr), -1);
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

// Log.txt in the current folder by default; one line per message, appended across reopens.
TEST(DebugChannel, OneLinePerMessageInLogTxt) {
  test::TempDir dir;
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  DebugMessage("here");
  ASSERT_EQ(chdir(cwd), 0);
  SetDebugLogPath(dir / "Other.txt");
  DebugMessage("abc");
  DebugPrint("lseek failed %lld\n", 123456789012LL);
  SetDebugLogPath("");
  EXPECT_EQ(test::ReadFileText(dir / "Log.txt"), "Debug: here\n");
  EXPECT_EQ(test::ReadFileText(dir / "Other.txt"), "Debug: abc\nDebug: lseek failed 123456789012\n");
}

}  // namespace
}  // namespace vorlenta
