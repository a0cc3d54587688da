// The scan-log folder manager against a real temporary support folder: folder numbering, the
// byte layout of "config", saving and reopening scans, stale entries, the take-over of a
// leftover "config.tmp", damaged indexes and failed saves.
#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/log_file_manager.h"
#include "support/test_support.h"
#include "util/debug_log.h"
#include "util/platform.h"

namespace vorlenta {
namespace {

// statvfs reports no free space for /proc, and plenty for the temporary folder: two marks
// that stay put while the tests run.
constexpr const char* kQuietDevice = "/proc/disk3";
constexpr uint64_t kStates[kLogScanStateCount] = {11, 12, 13, 14, 15};

bool Exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

void PutU32(std::vector<uint8_t>& out, size_t off, uint32_t v) {
  for (int i = 0; i < 4; ++i) out[off + i] = static_cast<uint8_t>(v >> (8 * i));
}
void PutU64(std::vector<uint8_t>& out, size_t off, uint64_t v) {
  for (int i = 0; i < 8; ++i) out[off + i] = static_cast<uint8_t>(v >> (8 * i));
}

// One 592-byte record, laid out by hand so the test does not lean on the encoder.
std::vector<uint8_t> HandRecord(uint32_t disk, uint64_t start, uint64_t count, uint64_t firstState, uint64_t mark,
                                const std::string& source, const std::string& folder) {
  std::vector<uint8_t> r(592, 0);
  PutU32(r, 0, disk);
  PutU64(r, 8, start);
  PutU64(r, 16, count);
  for (int i = 0; i < 5; ++i) PutU64(r, 24 + 8 * i, firstState + i);
  PutU64(r, 64, mark);
  std::memcpy(r.data() + 80, source.data(), source.size());
  std::memcpy(r.data() + 336, folder.data(), folder.size());
  return r;
}

std::vector<uint8_t> HandConfig(uint64_t number, const std::vector<std::vector<uint8_t>>& records) {
  std::vector<uint8_t> out(8, 0);
  PutU64(out, 0, number);
  for (const auto& r : records) out.insert(out.end(), r.begin(), r.end());
  return out;
}

class LogManagerTest : public ::testing::Test {
 protected:
  LogManagerTest() : env_("VORLENTA_SUPPORT_DIR", support_.path()) { SetDebugLogPath(support_ / "Log.txt"); }
  ~LogManagerTest() override { SetDebugLogPath(""); }

  std::string Base() const { return support_.path() + "/ScanLog/"; }
  std::string Config() const { return Base() + "config"; }
  // A scan folder with a result file and a sub-folder in it, as a scan leaves it.
  void FillFolder(const std::string& folder) {
    ASSERT_EQ(MakeDirectories(folder + "sub", 0755), 0);
    test::WriteFileBytes(folder + "Pro_Fat_1", test::RandomBytes(1000, 3));
    test::WriteFileBytes(folder + "sub/inner", test::RandomBytes(10, 4));
  }

  test::TempDir support_;
  test::ScopedEnv env_;
};

TEST_F(LogManagerTest, FreshFolderStartsAtOne) {
  CLogFileManager manager;
  EXPECT_EQ(manager.Init(), 87) << "a new, empty config";
  EXPECT_EQ(manager.GetBasePath(), Base());
  struct stat st;
  ASSERT_EQ(::stat(Base().c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & S_IRWXU, static_cast<mode_t>(S_IRWXU)) << "the scan-log folder must be enterable";
  ASSERT_TRUE(Exists(Config()));
  EXPECT_EQ(manager.GetFolderNumber(), 0u);
  manager.AddDirIndex();
  EXPECT_EQ(manager.GetLogFileDirPath(), Base() + "1/");
  manager.AddDirIndex();
  EXPECT_EQ(manager.GetLogFileDirPath(), Base() + "2/");
  manager.ReduceDirIndex();
  EXPECT_EQ(manager.GetLogFileDirPath(), Base() + "1/");
}

TEST_F(LogManagerTest, ConfigLayoutIsByteExact) {
  CLogFileManager manager;
  manager.AddDirIndex();
  manager.AddDirIndex();
  const std::string folder = manager.GetLogFileDirPath();
  ASSERT_EQ(manager.SaveLogFileInfo(kQuietDevice, 3, 2048, 4096, kStates, folder.c_str(), "/images/card.img"), 0);
  const std::vector<uint8_t> expected =
      HandConfig(2, {HandRecord(3, 2048, 4096, 11, 0, "/images/card.img", Base() + "2/")});
  EXPECT_EQ(test::ReadFileBytes(Config()), expected);
  EXPECT_FALSE(Exists(Config() + ".tmp"));

  CLogFileManager reloaded;
  EXPECT_EQ(reloaded.Init(), 0);
  EXPECT_EQ(reloaded.GetFolderNumber(), 2u);
  ASSERT_EQ(reloaded.GetLogList().size(), 1u);
  const _LOG_FILE_INFO_& e = reloaded.GetLogList()[0];
  EXPECT_EQ(e.DiskNumber, 3u);
  EXPECT_EQ(e.ScanState[4], 15u);
  EXPECT_STREQ(e.SourcePath, "/images/card.img");
  EXPECT_STREQ(e.Folder, (Base() + "2/").c_str());
}

TEST_F(LogManagerTest, SameRangeWithTheSameMarkUpdatesOneEntry) {
  CLogFileManager manager;
  manager.AddDirIndex();
  const std::string folder = manager.GetLogFileDirPath();
  ASSERT_EQ(manager.SaveLogFileInfo(kQuietDevice, 2, 0, 1000, kStates, folder.c_str(), ""), 0);
  const uint64_t later[kLogScanStateCount] = {1, 2, 3, 4, 5};
  ASSERT_EQ(manager.SaveLogFileInfo(kQuietDevice, 2, 0, 1000, later, folder.c_str(), nullptr), 0);
  ASSERT_EQ(manager.GetLogList().size(), 1u);
  EXPECT_EQ(manager.GetLogList()[0].ScanState[0], 1u);
  EXPECT_EQ(manager.GetLogList()[0].ScanState[4], 5u);
  // Another range is another entry.
  ASSERT_EQ(manager.SaveLogFileInfo(kQuietDevice, 2, 1, 1000, later, folder.c_str(), nullptr), 0);
  EXPECT_EQ(manager.GetLogList().size(), 2u);
  EXPECT_EQ(test::ReadFileBytes(Config()).size(), 8u + 2 * 592u);
}

TEST_F(LogManagerTest, ChangedMarkDeletesTheOldFolder) {
  CLogFileManager manager;
  manager.AddDirIndex();
  const std::string first = manager.GetLogFileDirPath();
  FillFolder(first);
  ASSERT_EQ(manager.SaveLogFileInfo(kQuietDevice, 2, 0, 1000, kStates, first.c_str(), ""), 0);
  manager.AddDirIndex();
  const std::string second = manager.GetLogFileDirPath();
  FillFolder(second);
  // The same range, but the device's volume now reports free space: the old scan is stale.
  const std::string device = support_ / "disk2";
  ASSERT_EQ(manager.SaveLogFileInfo(device.c_str(), 2, 0, 1000, kStates, second.c_str(), ""), 0);
  EXPECT_FALSE(Exists(first)) << "the stale folder goes with everything in it";
  EXPECT_TRUE(Exists(second + "sub/inner"));
  ASSERT_EQ(manager.GetLogList().size(), 1u);
  EXPECT_STREQ(manager.GetLogList()[0].Folder, second.c_str());
  EXPECT_NE(manager.GetLogList()[0].FreeSpaceMark, 0u);
}

TEST_F(LogManagerTest, LoadRecoveryLogInfoReopensOrDropsAnEarlierScan) {
  CLogFileManager manager;
  manager.AddDirIndex();
  const std::string first = manager.GetLogFileDirPath();
  FillFolder(first);
  ASSERT_EQ(manager.SaveLogFileInfo(kQuietDevice, 4, 100, 200, kStates, first.c_str(), ""), 0);
  manager.AddDirIndex();

  CLogFileManager later;
  _LOG_FILE_INFO_ out;
  std::memset(&out, 0, sizeof out);
  EXPECT_EQ(later.LoadRecoveryLogInfo(kQuietDevice, 4, 100, 201, &out), 0) << "another range";
  EXPECT_FALSE(later.IsReopened());
  ASSERT_EQ(later.LoadRecoveryLogInfo(kQuietDevice, 4, 100, 200, &out), 1);
  EXPECT_TRUE(later.IsReopened());
  EXPECT_EQ(later.GetLogFileDirPath(), first);
  EXPECT_EQ(out.ScanState[2], 13u);
  // A new scan leaves the reopened folder.
  later.AddDirIndex();
  EXPECT_EQ(later.GetLogFileDirPath(), Base() + "2/");

  // With a changed mark the entry and its folder are deleted.
  CLogFileManager changed;
  const std::string device = support_ / "disk4";
  EXPECT_EQ(changed.LoadRecoveryLogInfo(device.c_str(), 4, 100, 200, &out), 0);
  EXPECT_FALSE(changed.IsReopened());
  EXPECT_TRUE(changed.GetLogList().empty());
  EXPECT_FALSE(Exists(first));
}

TEST_F(LogManagerTest, AddDirIndexDeletesWhatHoldsItsNumber) {
  {
    CLogFileManager manager;
    manager.AddDirIndex();
    ASSERT_EQ(manager.SaveLogFileInfo(kQuietDevice, 1, 0, 10, kStates, manager.GetLogFileDirPath().c_str(), ""), 0);
    manager.ReduceDirIndex();
    ASSERT_EQ(manager.SaveLogConfigFile(), 0);
  }
  FillFolder(Base() + "1/");
  CLogFileManager manager;
  ASSERT_EQ(manager.GetLogList().size(), 1u);
  manager.AddDirIndex();
  EXPECT_EQ(manager.GetLogFileDirPath(), Base() + "1/");
  EXPECT_FALSE(Exists(Base() + "1"));
  EXPECT_TRUE(manager.GetLogList().empty());
}

TEST_F(LogManagerTest, DeleteLogFileDirStaysInsideTheScanLogFolder) {
  CLogFileManager manager;
  const std::string inside = Base() + "scanA/";
  FillFolder(inside);
  // A link in a scan folder is removed, never followed.
  const std::string outside = support_.path() + "/keep/";
  FillFolder(outside);
  ASSERT_EQ(::symlink(outside.c_str(), (inside + "link").c_str()), 0);
  ASSERT_EQ(manager.SaveLogFileInfo(kQuietDevice, 1, 0, 10, kStates, inside.c_str(), ""), 0);
  // Entries of a damaged index naming folders elsewhere.
  ASSERT_EQ(manager.SaveLogFileInfo(kQuietDevice, 1, 5, 10, kStates, outside.c_str(), ""), 0);
  const std::string sneaky = Base() + "../keep/";
  ASSERT_EQ(manager.SaveLogFileInfo(kQuietDevice, 1, 6, 10, kStates, sneaky.c_str(), ""), 0);

  // Entries compare without case; the folder deleted is the one named.
  const std::string upper = Base() + "SCANA/";
  FillFolder(upper);
  EXPECT_EQ(manager.DeleteLogFileDir(upper.c_str()), 0);
  EXPECT_EQ(manager.GetLogList().size(), 2u);
  EXPECT_FALSE(Exists(upper));
  EXPECT_TRUE(Exists(inside + "Pro_Fat_1"));

  EXPECT_EQ(manager.DeleteLogFileDir(inside.c_str()), 0);
  EXPECT_FALSE(Exists(inside));
  EXPECT_EQ(manager.DeleteLogFileDir(outside.c_str()), 0);
  EXPECT_EQ(manager.DeleteLogFileDir(sneaky.c_str()), 0);
  EXPECT_EQ(manager.DeleteLogFileDir(Base().c_str()), 0);
  EXPECT_EQ(manager.DeleteLogFileDir((Base() + "./").c_str()), 0);
  EXPECT_TRUE(manager.GetLogList().empty());
  EXPECT_TRUE(Exists(outside + "sub/inner")) << "nothing outside the scan-log folder is deleted";
  EXPECT_TRUE(Exists(Config()));
}

TEST_F(LogManagerTest, DamagedIndexNeverReopensAFolderElsewhere) {
  CLogFileManager manager;
  const std::string outside = support_.path() + "/elsewhere/";
  FillFolder(outside);
  ASSERT_EQ(manager.SaveLogFileInfo(kQuietDevice, 8, 0, 10, kStates, outside.c_str(), ""), 0);
  _LOG_FILE_INFO_ out;
  EXPECT_EQ(manager.LoadRecoveryLogInfo(kQuietDevice, 8, 0, 10, &out), 0);
  EXPECT_FALSE(manager.IsReopened());
  EXPECT_TRUE(manager.GetLogList().empty());
  EXPECT_TRUE(Exists(outside + "Pro_Fat_1"));
}

TEST_F(LogManagerTest, LeftoverConfigTmpIsTakenOver) {
  ASSERT_EQ(MakeDirectories(Base(), 0755), 0);
  const std::vector<uint8_t> saved = HandConfig(7, {HandRecord(9, 1, 2, 100, 0, "", Base() + "7/")});
  test::WriteFileBytes(Config() + ".tmp", saved);
  CLogFileManager manager;
  EXPECT_EQ(manager.GetFolderNumber(), 7u);
  ASSERT_EQ(manager.GetLogList().size(), 1u);
  EXPECT_EQ(manager.GetLogList()[0].ScanState[0], 100u);
  EXPECT_EQ(test::ReadFileBytes(Config()), saved);
  EXPECT_FALSE(Exists(Config() + ".tmp"));

  // Beside a "config", a leftover "config.tmp" is only a failed save and is ignored.
  test::WriteFileBytes(Config() + ".tmp", HandConfig(99, {}));
  CLogFileManager again;
  EXPECT_EQ(again.GetFolderNumber(), 7u);
  EXPECT_EQ(test::ReadFileBytes(Config()), saved);
}

TEST_F(LogManagerTest, DamagedConfigLoadsWhatIsWhole) {
  ASSERT_EQ(MakeDirectories(Base(), 0755), 0);
  const std::vector<uint8_t> one = HandRecord(1, 2, 3, 4, 0, "", Base() + "1/");
  std::vector<uint8_t> unterminated = HandRecord(5, 6, 7, 8, 0, "", "");
  std::memset(unterminated.data() + 80, 'S', 512);  // neither string has a terminator
  const struct {
    const char* what;
    std::vector<uint8_t> bytes;
    int status;
    uint64_t number;
    size_t entries;
  } cases[] = {
      {"partial last record", [&] { auto b = HandConfig(4, {one, one}); b.resize(b.size() - 100); return b; }(), 0, 4, 1},
      {"header only", HandConfig(5, {}), 0, 5, 0},
      {"torn header", {1, 2, 3, 4, 5}, 30, 0, 0},
      {"empty", {}, 87, 0, 0},
      {"unterminated strings", HandConfig(6, {unterminated}), 0, 6, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    test::WriteFileBytes(Config(), c.bytes);
    CLogFileManager manager;
    EXPECT_EQ(manager.Init(), c.status);
    EXPECT_EQ(manager.GetFolderNumber(), c.number);
    ASSERT_EQ(manager.GetLogList().size(), c.entries);
    if (c.entries > 0) {
      const _LOG_FILE_INFO_& e = manager.GetLogList()[0];
      EXPECT_LT(std::strlen(e.SourcePath), kLogPathBytes);
      EXPECT_LT(std::strlen(e.Folder), kLogPathBytes);
    }
  }
}

// Makes every write past `bytes` into a regular file fail with EFBIG, also for root.

// A save that cannot be completed keeps the old index whole and reports the error: by a file
// that cannot grow (a full disk) and by a "config.tmp" that is really /dev/full.
TEST_F(LogManagerTest, FailedSaveKeepsTheOldConfig) {
  for (const char* method : {"file size limit", "/dev/full"}) {
    SCOPED_TRACE(method);
    const std::string base = support_.path() + (method[0] == '/' ? "/full/" : "/limit/");
    test::ScopedEnv env("VORLENTA_SUPPORT_DIR", base);
    CLogFileManager manager;
    manager.AddDirIndex();
    for (uint64_t i = 0; i < 3; ++i) {
      ASSERT_EQ(manager.SaveLogFileInfo(kQuietDevice, 1, i, 10, kStates, manager.GetLogFileDirPath().c_str(), ""), 0);
    }
    const std::string config = base + "ScanLog/config";
    const std::vector<uint8_t> before = test::ReadFileBytes(config);
    ASSERT_EQ(before.size(), 8u + 3 * 592u);

    int status = 0;
    if (method[0] == '/') {
      // A link planted in the folder is never followed, so the save fails.
      ASSERT_EQ(::symlink("/dev/full", (config + ".tmp").c_str()), 0);
      status = manager.SaveLogFileInfo(kQuietDevice, 1, 3, 10, kStates, "x/", "");
      EXPECT_EQ(status, ELOOP);
      ::unlink((config + ".tmp").c_str());
    } else {
      test::FileSizeLimit limit(1000);
      ASSERT_TRUE(limit.ok());
      status = manager.SaveLogFileInfo(kQuietDevice, 1, 3, 10, kStates, "x/", "");
      EXPECT_EQ(status, EFBIG);
    }
    EXPECT_EQ(test::ReadFileBytes(config), before) << "the old index must survive a failed save";
    EXPECT_FALSE(Exists(config + ".tmp")) << "no partial index is left to be taken over";
    CLogFileManager reloaded;
    EXPECT_EQ(reloaded.GetLogList().size(), 3u);
    // Once the disk has room again the next save goes through.
    ASSERT_EQ(manager.SaveLogConfigFile(), 0);
    EXPECT_EQ(test::ReadFileBytes(config).size(), 8u + 4 * 592u);
  }
}

TEST_F(LogManagerTest, ReadOnlyFolderFailsTheSave) {
  if (::geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders; FailedSaveKeepsTheOldConfig covers the write error";
  CLogFileManager manager;
  manager.AddDirIndex();
  ASSERT_EQ(manager.SaveLogConfigFile(), 0);
  const std::vector<uint8_t> before = test::ReadFileBytes(Config());
  ASSERT_EQ(::chmod(Base().c_str(), 0555), 0);
  EXPECT_EQ(manager.SaveLogFileInfo(kQuietDevice, 1, 0, 10, kStates, "x/", ""), EACCES);
  EXPECT_EQ(test::ReadFileBytes(Config()), before);
}

TEST_F(LogManagerTest, GetLogFileNameByFileType) {
  CLogFileManager manager;
  manager.AddDirIndex();
  const std::string folder = manager.GetLogFileDirPath();
  ASSERT_EQ(MakeDirectories(folder, 0755), 0);
  for (const char* name : {"Pro_Fat_202401011200", "Pro_Fat_202401011200_Relation", "File_Type_1"}) {
    test::WriteFileBytes(folder + name, {1});
  }
  // Whichever of the two the folder listing gives first.
  std::string firstListed;
  DIR* dir = ::opendir(folder.c_str());
  ASSERT_NE(dir, nullptr);
  while (const dirent* e = ::readdir(dir)) {
    if (std::strstr(e->d_name, "Pro_Fat_") != nullptr) {
      firstListed = e->d_name;
      break;
    }
  }
  ::closedir(dir);
  std::string out = "untouched";
  EXPECT_EQ(manager.GetLogFileNameByFileType(folder.c_str(), "Pro_Fat_", out), 0);
  EXPECT_EQ(out, firstListed);
  EXPECT_EQ(manager.GetLogFileNameByFileType(folder.c_str(), "File_Type_", out), 0);
  EXPECT_EQ(out, "File_Type_1");

  out = "untouched";
  EXPECT_EQ(manager.GetLogFileNameByFileType(folder.c_str(), "Pro_Ntfs_", out), 0);
  EXPECT_EQ(out, "untouched");
  EXPECT_EQ(manager.GetLogFileNameByFileType((folder + "missing/").c_str(), "Fast_", out), 0);
  EXPECT_EQ(out, "untouched");
  const std::vector<uint8_t> log = test::ReadFileBytes(support_ / "Log.txt");
  EXPECT_NE(std::string(log.begin(), log.end()).find("Debug: open dir failed\n"), std::string::npos);
}

}  // namespace
}  // namespace vorlenta
