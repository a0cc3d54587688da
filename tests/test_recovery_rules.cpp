// Rules shared by the window's drivers and the CLI: the recovery loop with its category folders,
// and the factory's choice of engine.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>

#include "engine/categories.h"
#include "engine/recovery_driver.h"
#include "scan/professional_recovery.h"
#include "scan/recovery_factory.h"
#include "fat/fast_fat_recovery.h"
#include "engine/fast_ext_recovery.h"
#include "support/fat_image.h"
#include "support/test_support.h"
#include "util/debug_log.h"
#include "util/os_helpers.h"
#include "util/text.h"

namespace vorlenta {
namespace {

// An engine whose saves write a small file, and fault on request.
class ScriptedEngine : public CFastExtRecovery {
 public:
  int SaveFileData(_FILE_NODE_* node, const char16_t* target, int) override {
    if (std::strcmp(node->FileName, "fault.jpg") == 0) {
      static void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      volatile uint8_t value = *static_cast<volatile uint8_t*>(page);
      (void)value;
    }
    std::string actual;
    const int fd = OpenNewFile(Utf16ToUtf8(target), actual);
    if (fd < 0) return -fd;
    const int status = WriteAll(fd, node->FileName, std::strlen(node->FileName));
    ::close(fd);
    return status;
  }
};

_FILE_NODE_ Node(const char* name) {
  _FILE_NODE_ node;
  std::memset(&node, 0, sizeof node);
  SetFileNodeName(node, name);
  return node;
}

using Outcomes = std::vector<std::pair<std::string, int>>;

void Record(void* context, const _FILE_NODE_&, const std::string& path, int status) {
  static_cast<Outcomes*>(context)->emplace_back(path, status);
}

int g_finishedReports = 0;
int OnRecovery(void*, int percent, int phase, int, const char16_t*) {
  if (percent == 100 && phase == kRecoveryPhaseFinished) ++g_finishedReports;
  return 0;
}

TEST(RecoveryLoop, ClashingNamesGetNumbersAndCategoriesGetFolders) {
  test::TempDir dest;
  ScriptedEngine engine;
  CCrashGuard guard("recvSignal");
  // Whole extensions: "ps" is not "psd".
  std::vector<_FILE_NODE_> nodes = {Node("IMG_1.JPG"), Node("IMG_1.JPG"), Node("a.x"), Node("\xD6\xD0.mp3"),
                                    Node("page.ps")};
  Outcomes outcomes;
  g_finishedReports = 0;
  const RecoveryTotals totals =
      RecoverNodes(engine, nodes, dest.path() + "/", guard, nullptr, Record, &outcomes, OnRecovery, nullptr);
  EXPECT_EQ(totals.saved, 5u);
  EXPECT_EQ(totals.failed, 0u);
  EXPECT_EQ(g_finishedReports, 1);
  ASSERT_EQ(outcomes.size(), 5u);
  EXPECT_EQ(outcomes[0].first, dest / "photo/IMG_1.JPG");
  EXPECT_EQ(outcomes[1].first, dest / "photo/IMG_1(1).JPG");
  EXPECT_EQ(outcomes[2].first, dest / "others/a.x");
  EXPECT_EQ(outcomes[3].first, dest / "audio/\xE4\xB8\xAD.mp3");
  EXPECT_EQ(outcomes[4].first, dest / "document/page.ps");
  EXPECT_EQ(test::ReadFileBytes(dest / "photo/IMG_1(1).JPG").size(), 9u);

  // Names from damaged media never lead out of the destination.
  std::vector<_FILE_NODE_> hostile = {Node("../../escape.jpg"), Node("..")};
  RecoverNodes(engine, hostile, dest.path(), guard, nullptr, Record, &outcomes, nullptr, nullptr);
  EXPECT_EQ(outcomes[outcomes.size() - 2].first, dest / "photo/.._.._escape.jpg");
  EXPECT_EQ(outcomes.back().first, dest / "others/_");
  EXPECT_EQ(test::ReadFileBytes(dest / "photo/.._.._escape.jpg").size(), 16u);

  // A file already at the destination is never overwritten.
  test::WriteFileBytes(dest / "others/b.x", {'o', 'l', 'd'});
  std::vector<_FILE_NODE_> again = {Node("b.x")};
  RecoverNodes(engine, again, dest.path(), guard, nullptr, Record, &outcomes, nullptr, nullptr);
  EXPECT_EQ(test::ReadFileBytes(dest / "others/b.x"), (std::vector<uint8_t>{'o', 'l', 'd'}));
  EXPECT_EQ(outcomes.back().first, dest / "others/b(1).x");
}

TEST(RecoveryLoop, AFaultWhileSavingSkipsOnlyThatFile) {
  test::TempDir dest;
  auto run = [&] {
    SetDebugLogPath(dest / "Log.txt");
    ScriptedEngine engine;
    CCrashGuard guard("recvSignal");
    std::vector<_FILE_NODE_> nodes = {Node("one.jpg"), Node("fault.jpg"), Node("three.jpg")};
    const RecoveryTotals totals = RecoverNodes(engine, nodes, dest.path(), guard, nullptr, nullptr, nullptr, nullptr, nullptr);
    std::fprintf(stderr, "saved %u failed %u\n", totals.saved, totals.failed);
    std::exit(totals.saved == 2 && totals.failed == 1 ? 0 : 1);
  };
  EXPECT_EXIT(run(), ::testing::ExitedWithCode(0), "saved 2 failed 1");
  EXPECT_EQ(test::ReadFileBytes(dest / "photo/three.jpg").size(), 9u);
  EXPECT_EQ(test::ReadFileText(dest / "Log.txt"), "Debug: recvSignal\n");
}

TEST(Factory, ChoosesTheEngineByTheVolumesFileSystem) {
  for (const char* tool : {"mkfs.fat", "mkfs.ext4"}) VORLENTA_REQUIRE_TOOL(tool);
  test::TempDir dir;
  test::ScopedEnv disks("VORLENTA_DISK_DIR", dir.path());
  test::ScopedEnv support("VORLENTA_SUPPORT_DIR", dir / "support");
  ASSERT_TRUE(test::MakeFatVolume(dir / "disk0", 16384, "-F 16", 2048));
  ASSERT_EQ(test::RunCommand("truncate -s 8M " + test::ShellQuote(dir / "disk1") + " && mkfs.ext4 -q -F " +
                             test::ShellQuote(dir / "disk1") + " >/dev/null 2>&1"),
            0);
  test::WriteFileBytes(dir / "disk2", std::vector<uint8_t>(1 << 20, 0));
  CFileRecoveryFactory& factory = CFileRecoveryFactory::GetInstance();

  auto fat = factory.CreateFileRecoveryInstance(0, 2048, 32768, u'C', kRecoveryFast);
  ASSERT_NE(dynamic_cast<CFastFatRecovery*>(fat.get()), nullptr);
  EXPECT_EQ(fat->ScanDevice(nullptr), 0) << "the factory has initialised the engine";
  // The same disk read from sector 0 holds no file system there.
  EXPECT_EQ(factory.CreateFileRecoveryInstance(0, 0, 2048, u'C', kRecoveryFast), nullptr);
  auto ext = factory.CreateFileRecoveryInstance(1, 0, 16384, u'C', kRecoveryFast);
  auto* extEngine = dynamic_cast<CFastExtRecovery*>(ext.get());
  ASSERT_NE(extEngine, nullptr);
  EXPECT_EQ(fcntl(extEngine->Descriptor(), F_GETFL) & O_ACCMODE, O_RDONLY);
  EXPECT_EQ(factory.CreateFileRecoveryInstance(2, 0, 2048, u'C', kRecoveryFast), nullptr);

  EXPECT_EQ(factory.CreateFileRecoveryInstance(0, 1u << 30, 2048, u'C', kRecoveryFast), nullptr);
  EXPECT_EQ(factory.CreateFileRecoveryInstance(9, 0, 2048, u'C', kRecoveryFast), nullptr);

  // The deep scan serves every area that can be opened: a FAT volume, a blank disk, and a
  // start that cannot be read; a disk that cannot be opened gets nothing.
  for (int disk : {0, 1, 2}) {
    auto deep = factory.CreateFileRecoveryInstance(disk, 0, 2048, u'C', kRecoveryProfessional);
    EXPECT_NE(dynamic_cast<CProfessionalRecovery*>(deep.get()), nullptr) << "disk " << disk;
  }
  EXPECT_NE(dynamic_cast<CProfessionalRecovery*>(
                factory.CreateFileRecoveryInstance(2, 2040, 8, u'C', kRecoveryProfessional).get()),
            nullptr);
  EXPECT_EQ(factory.CreateFileRecoveryInstance(9, 0, 2048, u'C', kRecoveryProfessional), nullptr);
}

}  // namespace
}  // namespace vorlenta
