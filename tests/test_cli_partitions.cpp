// vorlenta-cli partitions: images presented as numbered disks, the row format, the errors.
#include <dirent.h>

#include <gtest/gtest.h>

#include <fstream>

#include "support/test_support.h"

namespace vorlenta {
namespace {

using test::RunCommand;
using test::ShellQuote;

constexpr uint64_t kMiB = 1024 * 1024;

void Sfdisk(const std::string& path, uint64_t bytes, const std::string& label, const std::string& lines) {
  VORLENTA_REQUIRE_TOOL("sfdisk");
  ASSERT_EQ(RunCommand("truncate -s " + std::to_string(bytes) + " " + ShellQuote(path)), 0);
  const std::string script = "label: " + label + "\nunit: sectors\n" + lines;
  ASSERT_EQ(RunCommand("printf %s " + ShellQuote(script) + " | sfdisk -q --no-reread --no-tell-kernel " +
                       ShellQuote(path) + " >/dev/null 2>&1"),
            0);
}

size_t EntriesIn(const std::string& folder) {
  size_t count = 0;
  if (DIR* dir = ::opendir(folder.c_str())) {
    while (const dirent* e = ::readdir(dir)) {
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") ++count;
    }
    ::closedir(dir);
  }
  return count;
}

class CliPartitionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(Sfdisk(work_ / "mbr.img", 16 * kMiB, "dos",
                                   "start=2048, size=2048, type=83\n"
                                   "start=4096, size=2048, type=7\n"
                                   "start=6144, size=10240, type=5\n"
                                   "start=18432, size=2048, type=c\n"
                                   "start=8192, size=2048, type=83\n"
                                   "start=12288, size=1024, type=7\n"));
    ASSERT_NO_FATAL_FAILURE(Sfdisk(work_ / "gpt.img", 8 * kMiB, "gpt",
                                   "start=2048, size=8, name=\"EFI system\"\n"
                                   "start=4096, size=2048, name=\"Фото\"\n"
                                   "start=6144, size=8, name=tab\n"));
    // A tab inside a stored name must not split the row: "t<TAB>b" in UTF-16LE.
    std::fstream gpt(work_ / "gpt.img", std::ios::in | std::ios::out | std::ios::binary);
    gpt.seekp(1024 + 2 * 128 + 56);
    gpt.write("t\0\t\0b\0", 6);
    ASSERT_TRUE(gpt.good());
    gpt.close();
    VORLENTA_REQUIRE_TOOL("mkfs.fat");
    ASSERT_EQ(RunCommand("mkfs.fat -C -F 32 -n CAMERA --mbr=n " + ShellQuote(work_ / "card.img") +
                         " 40960 >/dev/null 2>&1"),
              0);
    test::WriteFileBytes(work_ / "blank.img", std::vector<uint8_t>(64 * 1024, 0));
  }

  // Runs the tool from the work folder with a fresh support and temporary folder.
  int Run(const std::string& arguments, std::string* out, std::string* err = nullptr) {
    const std::string errFile = tmp_ / "stderr.txt";
    std::string command = "cd " + ShellQuote(work_.path()) + " && env ";
    command += "-u VORLENTA_DISK_DIR VORLENTA_SUPPORT_DIR=" + ShellQuote(support_.path()) + " TMPDIR=" + ShellQuote(tmp_.path());
    command += " " + ShellQuote(VORLENTA_CLI_PATH) + " partitions " + arguments + " 2>" + ShellQuote(errFile);
    const int status = RunCommand(command, out);
    const std::vector<uint8_t> bytes = test::ReadFileBytes(errFile);
    if (err != nullptr) err->assign(bytes.begin(), bytes.end());
    ::unlink(errFile.c_str());
    return status;
  }

  test::TempDir work_;
  test::TempDir support_;
  test::TempDir tmp_;
};

TEST_F(CliPartitionsTest, ImagesAreListedAsNumberedDisks) {
  const std::vector<std::string> images = {"mbr.img", "gpt.img", "blank.img", "card.img"};
  std::vector<std::string> hashes;
  for (const auto& image : images) hashes.push_back(test::Sha256OfFile(work_ / image));

  std::string out, err;
  // Relative and absolute paths alike.
  ASSERT_EQ(Run("mbr.img " + ShellQuote(work_ / "gpt.img") + " blank.img card.img", &out, &err), 0) << err;
  EXPECT_EQ(out,
            "disk\tpartition\tstart\tend\tsize\tname\n"
            "0\t1\t2048\t4095\t1048576\tPartition 1\n"
            "0\t2\t4096\t6143\t1048576\tPartition 2\n"
            "0\t3\t8192\t10239\t1048576\tPartition 3\n"
            "0\t4\t12288\t13311\t524288\tPartition 4\n"
            "0\t5\t18432\t20479\t1048576\tPartition 5\n"
            "1\t1\t2048\t2055\t4096\tEFI system\n"
            "1\t2\t4096\t6143\t1048576\tФото\n"
            "1\t3\t6144\t6151\t4096\tt?b\n"
            "3\t1\t0\t81919\t41943040\tCAMERA\n");
  EXPECT_EQ(err, "");

  for (size_t i = 0; i < images.size(); ++i) EXPECT_EQ(test::Sha256OfFile(work_ / images[i]), hashes[i]) << images[i];
  EXPECT_EQ(EntriesIn(tmp_.path()), 0u) << "the folder of disk links is removed";
}

TEST_F(CliPartitionsTest, UnreadableImagesAndBadOptionsFail) {
  struct Case {
    std::string arguments;
    int status;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"mbr.img missing.img", 3, "vorlenta-cli: cannot open missing.img: No such file or directory\n"},
      {ShellQuote(support_.path()), 3, "vorlenta-cli: cannot read " + support_.path() + ": Is a directory\n"},
      {"--json mbr.img", 2, "vorlenta-cli: unknown option --json for partitions\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments);
    std::string out, err;
    EXPECT_EQ(Run(c.arguments, &out, &err), c.status);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, c.error);
  }
}

}  // namespace
}  // namespace vorlenta
