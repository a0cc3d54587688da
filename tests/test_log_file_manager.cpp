// The scan-log folder manager against a real temporary support folder: folder numbering,
// saving and reopening scans, stale entries, the take-over of a leftover "config.tmp", damaged
// indexes and failed saves.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstddef>
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
  int Save(CLogFileManager& manager, int disk, uint64_t start, const std::string& folder) {
    return manager.SaveLogFileInfo(kQuietDevice, disk, start, 10, kStates, folder.c_str(), "");
  }

  test::TempDir support_;
  test::ScopedEnv env_;
};

// A saved index reloads; a lone leftover "config.tmp" is a save that was not renamed yet and
// is taken over, while one beside a "config" is a failed save and is ignored. A folder number
// handed out again is freed first.
TEST_F(LogManagerTest, SavedIndexReloadsAndALeftoverTmpIsTakenOver) {
  CLogFileManager manager;
  EXPECT_EQ(manager.Init(), 87) << "a new, empty config";
  struct stat st;
  ASSERT_EQ(::stat(Base().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & S_IRWXU, static_cast<mode_t>(S_IRWXU)) << "the scan-log folder must be enterable";
  manager.AddDirIndex();
  manager.AddDirIndex();
  const std::string folder = manager.GetLogFileDirPath();
  EXPECT_EQ(folder, Base() + "2/");
  ASSERT_EQ(manager.SaveLogFileInfo(kQuietDevice, 3, 2048, 4096, kStates, folder.c_str(), "/images/card.img"), 0);
  EXPECT_FALSE(Exists(Config() + ".tmp"));
  const std::vector<uint8_t> saved = test::ReadFileBytes(Config());
  ASSERT_EQ(::rename(Config().c_str(), (Config() + ".tmp").c_str()), 0);

  CLogFileManager reloaded;
  EXPECT_EQ(reloaded.GetFolderNumber(), 2u);
  ASSERT_EQ(reloaded.GetLogList().size(), 1u);
  EXPECT_STREQ(reloaded.GetLogList()[0].Folder, folder.c_str());
  EXPECT_STREQ(reloaded.GetLogList()[0].SourcePath, "/images/card.img");
  EXPECT_EQ(reloaded.GetLogList()[0].ScanState[0], 11u);
  EXPECT_EQ(test::ReadFileBytes(Config()), saved);
  EXPECT_FALSE(Exists(Config() + ".tmp"));

  test::WriteFileBytes(Config() + ".tmp", std::vector<uint8_t>(kLogConfigHeaderSize, 9));
  CLogFileManager again;
  EXPECT_EQ(again.GetFolderNumber(), 2u);
  EXPECT_EQ(test::ReadFileBytes(Config()), saved);

  // A number handed out again first takes away the folder and entry that held it.
  again.ReduceDirIndex();
  ASSERT_EQ(again.SaveLogConfigFile(), 0);
  FillFolder(folder);
  CLogFileManager reused;
  ASSERT_EQ(reused.GetLogList().size(), 1u);
  reused.AddDirIndex();
  EXPECT_EQ(reused.GetLogFileDirPath(), folder);
  EXPECT_FALSE(Exists(folder));
  EXPECT_TRUE(reused.GetLogList().empty());
}

// One entry per range: a save of the same range updates it and a later scan of it reopens its
// folder; a changed free-space mark makes it stale, on a save or a load, and its folder goes.
TEST_F(LogManagerTest, EntriesFollowTheRangeAndTheFreeSpaceMark) {
  CLogFileManager manager;
  manager.AddDirIndex();
  const std::string first = manager.GetLogFileDirPath();
  FillFolder(first);
  ASSERT_EQ(manager.SaveLogFileInfo(kQuietDevice, 2, 0, 1000, kStates, first.c_str(), ""), 0);
  const uint64_t later[kLogScanStateCount] = {1, 2, 3, 4, 5};
  ASSERT_EQ(manager.SaveLogFileInfo(kQuietDevice, 2, 0, 1000, later, first.c_str(), nullptr), 0);
  ASSERT_EQ(manager.GetLogList().size(), 1u);
  ASSERT_EQ(manager.SaveLogFileInfo(kQuietDevice, 2, 1, 1000, kStates, first.c_str(), nullptr), 0);
  manager.AddDirIndex();

  CLogFileManager reopened;
  _LOG_FILE_INFO_ out;
  std::memset(&out, 0, sizeof out);
  EXPECT_EQ(reopened.LoadRecoveryLogInfo(kQuietDevice, 2, 0, 999, &out), 0) << "another range";
  ASSERT_EQ(reopened.LoadRecoveryLogInfo(kQuietDevice, 2, 0, 1000, &out), 1);
  EXPECT_TRUE(reopened.IsReopened());
  EXPECT_EQ(reopened.GetLogFileDirPath(), first);
  EXPECT_EQ(out.ScanState[4], 5u);
  // A new scan leaves the reopened folder.
  reopened.AddDirIndex();
  const std::string second = reopened.GetLogFileDirPath();
  EXPECT_EQ(second, Base() + "2/");
  FillFolder(second);

  // The same range, but the device's volume now reports free space.
  const std::string device = support_ / "disk2";
  ASSERT_EQ(reopened.SaveLogFileInfo(device.c_str(), 2, 0, 1000, kStates, second.c_str(), ""), 0);
  EXPECT_FALSE(Exists(first)) << "the stale folder goes with everything in it";
  EXPECT_TRUE(Exists(second + "sub/inner"));
  ASSERT_EQ(reopened.GetLogList().size(), 1u);
  EXPECT_STREQ(reopened.GetLogList()[0].Folder, second.c_str());
  CLogFileManager changed;
  EXPECT_EQ(changed.LoadRecoveryLogInfo(kQuietDevice, 2, 0, 1000, &out), 0);
  EXPECT_FALSE(changed.IsReopened());
  EXPECT_TRUE(changed.GetLogList().empty());
  EXPECT_FALSE(Exists(second));
}

TEST_F(LogManagerTest, DeleteLogFileDirStaysInsideTheScanLogFolder) {
  CLogFileManager manager;
  const std::string inside = Base() + "scanA/";
  FillFolder(inside);
  // A link in a scan folder is removed, never followed.
  const std::string outside = support_.path() + "/keep/";
  FillFolder(outside);
  ASSERT_EQ(::symlink(outside.c_str(), (inside + "link").c_str()), 0);
  ASSERT_EQ(Save(manager, 1, 0, inside), 0);
  // Entries of a damaged index naming folders elsewhere.
  ASSERT_EQ(Save(manager, 1, 5, outside), 0);
  const std::string sneaky = Base() + "../keep/";
  ASSERT_EQ(Save(manager, 1, 6, sneaky), 0);

  for (const std::string& folder : {inside, outside, sneaky, Base(), Base() + "./"}) {
    EXPECT_EQ(manager.DeleteLogFileDir(folder.c_str()), 0) << folder;
  }
  EXPECT_FALSE(Exists(inside));
  EXPECT_TRUE(manager.GetLogList().empty());
  EXPECT_TRUE(Exists(outside + "sub/inner")) << "nothing outside the scan-log folder is deleted";
  EXPECT_TRUE(Exists(Config()));

  // A damaged index naming a folder elsewhere never reopens it.
  ASSERT_EQ(Save(manager, 8, 0, outside), 0);
  _LOG_FILE_INFO_ out;
  EXPECT_EQ(manager.LoadRecoveryLogInfo(kQuietDevice, 8, 0, 10, &out), 0);
  EXPECT_FALSE(manager.IsReopened());
  EXPECT_TRUE(Exists(outside + "Pro_Fat_1"));
}

// The saved index cut at every length loads its whole records, and strings without a
// terminator stay inside their fields.
TEST_F(LogManagerTest, DamagedConfigLoadsWhatIsWhole) {
  std::vector<uint8_t> whole;
  {
    CLogFileManager manager;
    for (int i = 0; i < 4; ++i) manager.AddDirIndex();
    for (uint64_t start : {0, 1}) ASSERT_EQ(Save(manager, 1, start, manager.GetLogFileDirPath()), 0);
    whole = test::ReadFileBytes(Config());
  }
  ASSERT_EQ(whole.size(), kLogConfigHeaderSize + 2 * kLogFileInfoSize);
  // Neither string of the last record has a terminator.
  std::memset(whole.data() + kLogConfigHeaderSize + kLogFileInfoSize + offsetof(_LOG_FILE_INFO_, SourcePath), 'S',
              2 * kLogPathBytes);
  for (size_t size = 0; size <= whole.size(); ++size) {
    test::WriteFileBytes(Config(), std::vector<uint8_t>(whole.begin(), whole.begin() + size));
    CLogFileManager manager;
    const bool header = size >= kLogConfigHeaderSize;
    ASSERT_EQ(manager.Init(), size == 0 ? 87 : header ? 0 : 30) << size;
    EXPECT_EQ(manager.GetFolderNumber(), header ? 4u : 0u) << size;
    ASSERT_EQ(manager.GetLogList().size(), header ? (size - kLogConfigHeaderSize) / kLogFileInfoSize : 0) << size;
    for (const _LOG_FILE_INFO_& e : manager.GetLogList()) {
      EXPECT_LT(std::strlen(e.SourcePath), kLogPathBytes);
      EXPECT_LT(std::strlen(e.Folder), kLogPathBytes);
    }
  }
}

// A save that cannot be completed keeps the old index whole and reports the error: by a file
// that cannot grow (a full disk) and by a "config.tmp" that is really /dev/full.
TEST_F(LogManagerTest, FailedSaveKeepsTheOldConfig) {
  for (const char* method : {"file size limit", "/dev/full"}) {
    SCOPED_TRACE(method);
    const std::string base = support_.path() + (method[0] == '/' ? "/full/" : "/limit/");
    test::ScopedEnv env("VORLENTA_SUPPORT_DIR", base);
    CLogFileManager manager;
    manager.AddDirIndex();
    for (uint64_t i = 0; i < 3; ++i) ASSERT_EQ(Save(manager, 1, i, manager.GetLogFileDirPath()), 0);
    const std::string config = base + "ScanLog/config";
    const std::vector<uint8_t> before = test::ReadFileBytes(config);
    ASSERT_EQ(before.size(), kLogConfigHeaderSize + 3 * kLogFileInfoSize);

    if (method[0] == '/') {
      // A link planted in the folder is never followed, so the save fails.
      ASSERT_EQ(::symlink("/dev/full", (config + ".tmp").c_str()), 0);
      EXPECT_EQ(Save(manager, 1, 3, "x/"), ELOOP);
      ::unlink((config + ".tmp").c_str());
    } else {
      test::FileSizeLimit limit(1000);
      ASSERT_TRUE(limit.ok());
      EXPECT_EQ(Save(manager, 1, 3, "x/"), EFBIG);
    }
    EXPECT_EQ(test::ReadFileBytes(config), before) << "the old index must survive a failed save";
    EXPECT_FALSE(Exists(config + ".tmp")) << "no partial index is left to be taken over";
    CLogFileManager reloaded;
    EXPECT_EQ(reloaded.GetLogList().size(), 3u);
    // Once the disk has room again the next save goes through.
    ASSERT_EQ(manager.SaveLogConfigFile(), 0);
    EXPECT_EQ(test::ReadFileBytes(config).size(), kLogConfigHeaderSize + 4 * kLogFileInfoSize);
  }
}

}  // namespace
}  // namespace vorlenta
