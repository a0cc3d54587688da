// The node record's bounds, the crash guard, and the ext engine.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>

#include "engine/crash_guard.h"
#include "engine/fast_ext_recovery.h"
#include "engine/file_node.h"
#include "support/test_support.h"
#include "util/debug_log.h"

namespace vorlenta {
namespace {

_FILE_NODE_ MakeNode(const char* name, bool directory) {
  _FILE_NODE_ node;
  std::memset(&node, 0, sizeof node);
  node.IsDirectory = directory ? 1 : 0;
  SetFileNodeName(node, name);
  return node;
}

TEST(FileNode, DecodingAnUnterminatedNameStopsInsideTheRecord) {
  uint8_t bytes[kFileNodeSize];
  std::memset(bytes, 'A', sizeof bytes);
  _FILE_NODE_ node;
  DecodeFileNode(bytes, node);
  EXPECT_EQ(std::strlen(node.FileName), kFileNameBytes - 1);
  _FILE_NODE_ longName = MakeNode(std::string(400, 'x').c_str(), false);
  EXPECT_EQ(std::strlen(longName.FileName), kFileNameBytes - 1);
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

// Three items, the middle one faults: it is skipped, the others are done, one debug line.
void RunThreeItems(const std::string& logPath, volatile uint8_t* poison) {
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
  std::exit(done == 2 && guard.Faults() == 1 ? 0 : 1);
}

// The death tests fork without exec, so the child shares the parent's temporary folder.
class CrashGuardDeathTest : public ::testing::Test {
 protected:
  test::TempDir dir_;
};

TEST_F(CrashGuardDeathTest, SegmentationFaultAndBusErrorSkipOnlyTheFaultingItem) {
  volatile uint8_t* page = ForbiddenPage();
  volatile uint8_t* gone = VanishedMapping(dir_ / "mapped");
  ASSERT_NE(page, nullptr);
  ASSERT_NE(gone, nullptr);
  EXPECT_EXIT(RunThreeItems(dir_ / "Log.txt", page), ::testing::ExitedWithCode(0),
              "item 0 done\nitem 1 skipped\nitem 2 done\nfinished 2 faults 1");
  const std::vector<uint8_t> log = test::ReadFileBytes(dir_ / "Log.txt");
  EXPECT_EQ(std::string(log.begin(), log.end()), "Debug: CFastFatRecovery recvSignal\n");
  EXPECT_EXIT(RunThreeItems(dir_ / "Bus.txt", gone), ::testing::ExitedWithCode(0), "item 1 skipped\nitem 2 done");
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

TEST_F(CrashGuardDeathTest, FaultAfterTheSectionsEndsTheProcessQuietly) {
  volatile uint8_t* page = ForbiddenPage();
  ASSERT_NE(page, nullptr);
  auto run = [page] {
    static CCrashGuard guard("recvSignal");
    guard.Run([] {});
    Touch(page);
    std::fprintf(stderr, "survived\n");
    std::exit(0);
  };
  // A crash outside any section must not look like success.
  EXPECT_EXIT(run(), ::testing::ExitedWithCode(128 + SIGSEGV), "^$");
}

TEST(FastExt, OpensTheDiskAndFindsNothing) {
  VORLENTA_REQUIRE_TOOL("mkfs.ext4");
  test::TempDir dir;
  ASSERT_EQ(test::RunCommand("truncate -s 8M " + test::ShellQuote(dir / "disk0") + " && mkfs.ext4 -q -F " +
                             test::ShellQuote(dir / "disk0") + " >/dev/null 2>&1"),
            0);
  test::ScopedEnv env("VORLENTA_DISK_DIR", dir.path());
  CFastExtRecovery engine;
  ASSERT_EQ(engine.Init(0, 0, 16384, u'E'), 0);
  EXPECT_NE(engine.Descriptor(), -1);
  EXPECT_EQ(fcntl(engine.Descriptor(), F_GETFL) & O_ACCMODE, O_RDONLY);
  EXPECT_EQ(engine.ScanDevice(u"result"), 0);
  std::vector<_FILE_NODE_> children;
  EXPECT_EQ(engine.GetChildrenFileNode(nullptr, 0, children), 0);
  EXPECT_TRUE(children.empty());
  EXPECT_EQ(engine.GetLostFileCount(), 0u);
  CFastExtRecovery missing;
  EXPECT_EQ(missing.Init(9, 0, 1, u'E'), ENOENT);
}

}  // namespace
}  // namespace vorlenta
