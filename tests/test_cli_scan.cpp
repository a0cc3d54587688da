// vorlenta-cli's usage, scan and recover, end to end on a card image made by mkfs.fat and mtools.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <sstream>

#include "support/fat_image.h"
#include "support/test_support.h"

namespace vorlenta {
namespace {

using test::ShellQuote;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::stringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

class CliScanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {"mkfs.fat", "mcopy", "mdel", "convert", "sfdisk"}) VORLENTA_REQUIRE_TOOL(tool);
    image_ = dir_ / "card.img";
    ASSERT_TRUE(test::MakeFatVolume(image_, 40 * 1024, "-F 32"));
    ASSERT_EQ(test::RunCommand("convert -size 320x240 plasma:fractal " + ShellQuote(dir_ / "pic.jpg")), 0);
    test::WriteFileBytes(dir_ / "notes.txt", test::RandomBytes(3000, 4));
    ASSERT_TRUE(test::Mtools(image_, "mmd", "::/DCIM"));
    ASSERT_TRUE(test::PutFile(image_, dir_ / "pic.jpg", "::/DCIM/Beach day.jpg"));
    ASSERT_TRUE(test::PutFile(image_, dir_ / "pic.jpg", "::/DCIM/Kept.jpg"));
    ASSERT_TRUE(test::PutFile(image_, dir_ / "notes.txt", "::/Shopping notes.txt"));
    ASSERT_TRUE(test::Mtools(image_, "mdel", "'::/DCIM/Beach day.jpg' '::/Shopping notes.txt'"));
  }

  int Cli(const std::string& args, std::string* out) { return test::RunCli(dir_, args, out); }
  std::string Stderr() { return test::ReadFileText(dir_ / "stderr"); }

  test::TempDir dir_;
  std::string image_;
};

TEST_F(CliScanTest, ScanListsTheDeletedFilesOfTheChosenCategories) {
  std::string out;
  ASSERT_EQ(Cli("scan " + ShellQuote(image_) + " --fast", &out), 0) << Stderr();
  // The default categories (photo, music, video) leave the text file out.
  std::vector<std::string> lines = Lines(out);
  ASSERT_EQ(lines.size(), 2u) << out;
  EXPECT_EQ(lines[0], "fast\t" + std::to_string(test::ReadFileBytes(dir_ / "pic.jpg").size()) + "\t1\tDCIM/Beach day.jpg");
  EXPECT_EQ(lines[1].rfind("found 1 files (", 0), 0u) << lines[1];
  EXPECT_EQ(Stderr(), "") << "no progress line when standard error is not a terminal";

  out.clear();
  ASSERT_EQ(Cli("scan " + ShellQuote(image_) + " --fast --categories office,photo --json", &out), 0);
  lines = Lines(out);
  ASSERT_EQ(lines.size(), 3u) << out;
  EXPECT_EQ(lines[1], "{\"kind\":\"fast\",\"size\":3000,\"healthy\":1,\"path\":\"Shopping notes.txt\"}");
  EXPECT_EQ(lines[2].rfind("{\"found\":2,", 0), 0u);
}

TEST_F(CliScanTest, RecoverCopiesIntoCategoryFoldersWithoutOverwriting) {
  const std::string dest = dir_ / "out";
  std::string out;
  ASSERT_EQ(Cli("recover " + ShellQuote(image_) + " " + ShellQuote(dest) + " --fast --categories all", &out), 0) << Stderr();
  std::vector<std::string> lines = Lines(out);
  ASSERT_EQ(lines.size(), 3u) << out;
  EXPECT_EQ(lines[0], "ok\t" + dest + "/photo/Beach day.jpg");
  EXPECT_EQ(lines[1], "ok\t" + dest + "/document/Shopping notes.txt");
  EXPECT_EQ(lines[2], "recovered 2 files, 0 failed");
  EXPECT_EQ(test::ReadFileBytes(dest + "/photo/Beach day.jpg"), test::ReadFileBytes(dir_ / "pic.jpg"));
  EXPECT_EQ(test::ReadFileBytes(dest + "/document/Shopping notes.txt"), test::ReadFileBytes(dir_ / "notes.txt"));

  out.clear();
  ASSERT_EQ(Cli("recover " + ShellQuote(image_) + " " + ShellQuote(dest) + " --fast --categories photo", &out), 0);
  EXPECT_EQ(Lines(out)[0], "ok\t" + dest + "/photo/Beach day(1).jpg");
  EXPECT_EQ(test::ReadFileBytes(dest + "/photo/Beach day.jpg"), test::ReadFileBytes(dir_ / "pic.jpg"));
}

// A deep scan of a camera card lists each deleted file once, under the name the camera gave
// it, and recovers it under that name.
TEST_F(CliScanTest, CameraCardFilesComeBackUnderTheirOriginalNames) {
  const std::string card = dir_ / "camera.img";
  const std::string dest = dir_ / "camera";
  std::map<std::string, std::string> deleted;
  ASSERT_TRUE(test::MakeCameraCard(dir_.path(), card, deleted));
  std::string out;
  ASSERT_EQ(Cli("scan " + ShellQuote(card) + " --categories all", &out), 0) << Stderr();
  EXPECT_EQ(Lines(out).size(), deleted.size() + 1) << out;
  ASSERT_EQ(Cli("recover " + ShellQuote(card) + " " + ShellQuote(dest) + " --categories all", nullptr), 0) << Stderr();
  for (const auto& [path, original] : deleted) {
    EXPECT_NE(out.find(path + "\n"), std::string::npos) << path << "\n" << out;
    std::string saved;
    test::RunCommand("find " + ShellQuote(dest) + " -name " + ShellQuote(path.substr(path.rfind('/') + 1)), &saved);
    EXPECT_EQ(test::ReadFileBytes(saved.substr(0, saved.find('\n'))), test::ReadFileBytes(original)) << path;
  }
}

TEST_F(CliScanTest, PartitionsAndSectorRangesSelectTheVolume) {
  // A disk with an MBR whose first partition holds the card's volume at sector 2048.
  const std::string disk = dir_ / "disk.img";
  ASSERT_EQ(test::RunCommand("truncate -s 48M " + ShellQuote(disk) + " && echo 'start=2048, size=81920, type=c' | sfdisk -q " +
                             ShellQuote(disk) + " >/dev/null 2>&1 && dd if=" + ShellQuote(image_) + " of=" + ShellQuote(disk) +
                             " bs=512 seek=2048 conv=notrunc status=none"),
            0);
  std::string out;
  ASSERT_EQ(Cli("scan " + ShellQuote(disk) + " --fast --partition 1", &out), 0) << Stderr();
  EXPECT_EQ(Lines(out).size(), 2u) << out;
  out.clear();
  ASSERT_EQ(Cli("scan " + ShellQuote(disk) + " --fast --start 2048 --count 81920", &out), 0) << Stderr();
  EXPECT_EQ(Lines(out).size(), 2u) << out;
  EXPECT_EQ(Cli("scan " + ShellQuote(disk) + " --fast --partition 3", &out), 2);
  EXPECT_NE(Stderr().find("no partition 3"), std::string::npos) << Stderr();
  EXPECT_EQ(Cli("scan " + ShellQuote(disk) + " --fast", &out), 3) << "sector 0 holds a partition table, not FAT";
}

TEST_F(CliScanTest, UsageAndSourceErrorsHaveTheirExitCodes) {
  std::string out;
  EXPECT_EQ(Cli("--help", &out), 0);
  EXPECT_NE(out.find("vorlenta-cli recover SOURCE DEST"), std::string::npos);
  out.clear();
  EXPECT_EQ(Cli("--version", &out), 0);
  EXPECT_EQ(out.rfind("vorlenta-cli ", 0), 0u);
  EXPECT_EQ(Cli("", &out), 2);
  EXPECT_EQ(Cli("frobnicate", &out), 2);
  EXPECT_EQ(Cli("scan " + ShellQuote(dir_ / "missing.img") + " --fast", &out), 3);
  EXPECT_NE(Stderr().find("cannot open"), std::string::npos);
  EXPECT_NE(Stderr().find("No such file or directory"), std::string::npos);
  EXPECT_EQ(Cli("scan " + ShellQuote(image_) + " --fast --resume", &out), 2) << "only a deep scan resumes";
  EXPECT_EQ(Cli("scan " + ShellQuote(image_) + " --fast --frobnicate", &out), 2);
  EXPECT_EQ(Cli("scan " + ShellQuote(image_) + " --fast --partition 1 --start 0 --count 5", &out), 2);
  EXPECT_EQ(Cli("scan " + ShellQuote(image_) + " --fast --categories pictures", &out), 2);
  EXPECT_EQ(Cli("recover " + ShellQuote(image_) + " --fast", &out), 2);
  EXPECT_EQ(Cli("scan disk:200 --fast", &out), 3);
  test::WriteFileBytes(dir_ / "zeros.img", std::vector<uint8_t>(1 << 20, 0));
  EXPECT_EQ(Cli("scan " + ShellQuote(dir_ / "zeros.img") + " --fast", &out), 3);
  EXPECT_NE(Stderr().find("no FAT"), std::string::npos) << Stderr();
}

TEST_F(CliScanTest, CtrlCStopsTheRecoveryBeforeTheNextFile) {
  // Many deleted files, so the recovery is still running when the interruption comes.
  std::string names;
  for (int i = 0; i < 300; ++i) {
    const std::string note = dir_ / ("Note " + std::to_string(i) + ".bin");
    test::WriteFileBytes(note, test::RandomBytes(8000, static_cast<uint64_t>(i)));
    names += " " + ShellQuote(note);
  }
  ASSERT_TRUE(test::Mtools(image_, "mmd", "::/Notes"));
  ASSERT_TRUE(test::Mtools(image_, "mcopy", names + " ::/Notes/"));
  ASSERT_TRUE(test::Mtools(image_, "mdel", "'::/Notes/*'"));

  // The shell prints its process id, then becomes the CLI.
  FILE* lines = ::popen(("echo $$; export VORLENTA_SUPPORT_DIR=" + ShellQuote(dir_ / "support") + "; exec " +
                         ShellQuote(VORLENTA_CLI_PATH) + " recover " + ShellQuote(image_) + " " +
                         ShellQuote(dir_ / "out") + " --fast --categories all")
                            .c_str(),
                        "r");
  ASSERT_NE(lines, nullptr);
  char buffer[4096];
  ASSERT_NE(std::fgets(buffer, sizeof buffer, lines), nullptr);
  const pid_t pid = static_cast<pid_t>(std::atol(buffer));
  std::vector<std::string> seen;
  bool interrupted = false;
  while (std::fgets(buffer, sizeof buffer, lines) != nullptr) {
    seen.emplace_back(buffer);
    // Interrupt once, as soon as the first note is reported.
    if (!interrupted && seen.back().find("/Note ") != std::string::npos) interrupted = kill(pid, SIGINT) == 0;
  }
  EXPECT_TRUE(interrupted);
  const int status = ::pclose(lines);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 130);
  ASSERT_GE(seen.size(), 2u);
  const size_t saved = seen.size() - 1;
  EXPECT_LT(saved, 302u) << "the recovery went on after the interruption";
  EXPECT_EQ(seen.back(), "recovered " + std::to_string(saved) + " files, 0 failed\n");
  // Every file written is whole: the interruption never cuts one short.
  size_t compared = 0;
  for (size_t i = 0; i < saved; ++i) {
    const std::string path = seen[i].substr(3, seen[i].size() - 4);
    const std::string name = path.substr(path.rfind('/') + 1);
    if (name.rfind("Note ", 0) != 0) continue;
    EXPECT_EQ(test::ReadFileBytes(path), test::ReadFileBytes(dir_ / name)) << path;
    ++compared;
  }
  EXPECT_GT(compared, 0u);
}

}  // namespace
}  // namespace vorlenta
