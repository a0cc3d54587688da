// The node record's bounds and the crash guard.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>

#include "engine/crash_guard.h"
#include "engine/file_node.h"
#include "support/test_support.h"
#include "util/debug_log.h"

namespace vorlenta {
namespace {

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
