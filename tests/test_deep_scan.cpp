// The scans end to end: vorlenta-cli's deep scan on cards after a quick format, a wiped boot
// area, an NTFS quick format and a raw image of files; resuming a stopped scan; unreadable
// sectors; destinations on the medium being read; and the CLI's usage, fast scan and recover on
// a card made by mkfs.fat and mtools.
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <sstream>

#include "device/disk_reader.h"
#include "engine/log_file_manager.h"
#include "engine/recovery_driver.h"
#include "engine/status.h"
#include "scan/professional_recovery.h"
#include "scan/recovery_factory.h"
#include "support/fat_image.h"
#include "support/ntfs_image.h"
#include "support/test_support.h"
#include "util/debug_log.h"
#include "util/endian.h"
#include "util/text.h"

namespace vorlenta {
namespace {

using test::ShellQuote;

struct Original {
  std::string path;  // on the host
  std::string name;  // the name the scan must list it under ("" for a carved file)
};

// The sha256 of every file below `folder`, with how often it occurs.
std::map<std::string, int> HashesBelow(const std::string& folder) {
  std::string list;
  test::RunCommand("find " + ShellQuote(folder) + " -type f -exec sha256sum {} + | cut -c1-64", &list);
  std::map<std::string, int> hashes;
  std::stringstream in(list);
  std::string hash;
  while (in >> hash) ++hashes[hash];
  return hashes;
}

// Photos, a song and a text made by real tools.
std::vector<Original> MakeOriginals(const test::TempDir& dir) {
  EXPECT_EQ(test::RunCommand("convert -size 640x480 plasma:fractal -quality 90 " + ShellQuote(dir / "a.jpg") +
                             " && convert -size 500x400 gradient:blue-yellow " + ShellQuote(dir / "b.png") +
                             " && sox -n -r 22050 -c 1 " + ShellQuote(dir / "c.wav") + " synth 1 sine 440 2>/dev/null"),
            0);
  test::WriteFileBytes(dir / "d.txt", test::RandomBytes(9000, 7));
  return {{dir / "a.jpg", "Summer holiday by the sea.jpg"},
          {dir / "b.png", "Family portrait.png"},
          {dir / "c.wav", "Morning song.wav"},
          {dir / "d.txt", "Shopping notes.txt"}};
}

// A FAT32 card with folders, two of its files deleted, then quick-formatted over. The format
// empties the root, so the folders' own names are lost; the folders below keep theirs. The
// last folder lies behind 16 MiB of other data, far into the card.
bool MakeFormattedCard(const std::vector<Original>& files, const std::string& image) {
  const std::string filler = image + ".filler";
  test::WriteFileBytes(filler, test::RandomBytes(16 << 20, 99));
  bool ok = test::MakeFatVolume(image, 80 * 1024, "-F 32 -s 2") && test::Mtools(image, "mmd", "::/DCIM ::/DCIM/100CAM");
  const char* targets[] = {"::/DCIM/100CAM/", "::/DCIM/", "::/DCIM/100CAM/", "::/LATE/"};
  for (size_t i = 0; ok && i < files.size(); ++i) {
    if (i + 1 == files.size()) ok = test::PutFile(image, filler, "::/filler.bin") && test::Mtools(image, "mmd", "::/LATE");
    ok = ok && test::PutFile(image, files[i].path, targets[i] + files[i].name);
  }
  ok = ok && test::Mtools(image, "mdel", ShellQuote("::/DCIM/" + files[1].name) + " " +
                                             ShellQuote("::/DCIM/100CAM/" + files[2].name));
  return ok && test::MakeFatVolume(image, 80 * 1024, "-F 32 -s 2");
}

// Zeroes the boot sectors, the backup and both FATs: only directories and data remain.
bool WipeFatBootArea(const std::string& image) {
  const std::vector<uint8_t> boot = test::ReadFileBytes(image, 512);
  if (boot.size() < 512) return false;
  const uint64_t dataStart = ReadU16LE(boot.data(), boot.size(), 14) +
                             uint64_t{boot[16]} * ReadU32LE(boot.data(), boot.size(), 36);
  return test::RunCommand("dd if=/dev/zero of=" + ShellQuote(image) + " bs=512 count=" + std::to_string(dataStart) +
                          " conv=notrunc status=none") == 0;
}

class DeepScanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {"mkfs.fat", "mcopy", "mdel", "mkntfs", "ntfscp", "convert", "sox", "sfdisk"}) VORLENTA_REQUIRE_TOOL(tool);
    originals_ = MakeOriginals(dir_);
  }
  int Cli(const std::string& args, std::string* out) { return test::RunCli(dir_, args, out); }
  test::TempDir dir_;
  std::vector<Original> originals_;
};

TEST_F(DeepScanTest, CliRecoversLostFilesByteExactWithTheirNamesAndListsEachOnce) {
  struct Case {
    const char* label;
    const char* kind;  // how the scan lists the named files
    std::function<bool(const std::string&)> make;
    bool named;
  };
  const std::vector<Case> cases = {
      {"FAT32 card after a quick format", "deep-fat",
       [&](const std::string& image) { return MakeFormattedCard(originals_, image); }, true},
      {"FAT32 card with its boot area and FATs wiped", "deep-fat",
       [&](const std::string& image) { return MakeFormattedCard(originals_, image) && WipeFatBootArea(image); },
       true},
      {"NTFS volume after mkntfs -Q", "deep-ntfs",
       [&](const std::string& image) {
         bool ok = test::MakeNtfsVolume(image, 64);
         for (const Original& o : originals_) ok = ok && test::NtfsCopy(image, o.path, o.name);
         return ok && test::MakeNtfsVolume(image, 64);
       },
       true},
      {"raw image of files between random data", "carved",
       [&](const std::string& image) {
         std::vector<uint8_t> raw = test::RandomBytes(1 << 20, 3);
         for (size_t i = 0; i < 2; ++i) {  // the JPEG and the PNG: formats with a known end
           std::vector<uint8_t> file = test::ReadFileBytes(originals_[i].path);
           file.resize((file.size() + 511) / 512 * 512 + 4096, 0);
           raw.insert(raw.end(), file.begin(), file.end());
           const std::vector<uint8_t> filler = test::RandomBytes(64 * 1024, 10 + i);
           raw.insert(raw.end(), filler.begin(), filler.end());
         }
         test::WriteFileBytes(image, raw);
         return true;
       },
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string image = dir_ / "image.img";
    const std::string dest = dir_ / "out";
    test::RunCommand("rm -rf " + ShellQuote(image) + " " + ShellQuote(dest));
    ASSERT_TRUE(c.make(image));
    std::string listing;
    ASSERT_EQ(Cli("scan " + ShellQuote(image) + " --categories all", &listing), 0) << test::ReadFileText(dir_ / "stderr");
    const std::string before = test::Sha256OfFile(image);
    ASSERT_EQ(Cli("recover " + ShellQuote(image) + " " + ShellQuote(dest) + " --categories all", nullptr), 0)
        << test::ReadFileText(dir_ / "stderr");
    EXPECT_EQ(test::Sha256OfFile(image), before) << "the source is never written";

    const std::map<std::string, int> recovered = HashesBelow(dest);
    const size_t expected = c.named ? originals_.size() : 2;
    for (size_t i = 0; i < expected; ++i) {
      const std::string hash = test::Sha256OfFile(originals_[i].path);
      auto it = recovered.find(hash);
      EXPECT_TRUE(it != recovered.end() && it->second == 1) << originals_[i].name << " recovered exactly once";
      if (c.named) {
        EXPECT_NE(listing.find(std::string(c.kind) + "\t"), std::string::npos);
        EXPECT_NE(listing.find(originals_[i].name + "\n"), std::string::npos) << originals_[i].name << "\n" << listing;
      }
    }
    if (std::string(c.kind) == "deep-fat") {
      EXPECT_NE(listing.find("100CAM/" + originals_[0].name), std::string::npos) << "folders come back too";
    }
  }
}

// Every file a scan lists, as (kind, path, size, health), in a stable order.
std::multiset<std::string> Listing(CProfessionalRecovery& engine) {
  CategorySelection all;
  ParseCategoryList("all", all);
  std::vector<__SEARCH_FILE_INFO__> hits;
  engine.SearchFileNode(BuildSearchKey(all).c_str(), hits);
  std::multiset<std::string> lines;
  for (__SEARCH_FILE_INFO__& hit : hits) {
    char16_t dir[4096] = {};
    engine.GetFileNodeParentDirPath(&hit, dir, 4096);
    lines.insert(std::to_string(hit.SourceKind) + " " + Utf16ToUtf8(dir) + AnsiToUtf8(hit.FileName) + " " +
                 std::to_string(hit.FileSize) + " " + std::to_string(hit.IsHealthy));
  }
  return lines;
}

// Stops the pass a tenth of the way in.
int StopEarlyInThePass(void*, int, int weight, int, unsigned long long current, unsigned long long total,
                       unsigned long long, const char16_t*) {
  return weight == kDeepPhaseWeight && total != 0 && current * 10 >= total ? kStatusUserStop : 0;
}

// A stopped scan, resumed, ends with the listing of an uninterrupted one, counted once. A scan
// whose medium fails 8 sectors also ends with it, and counts exactly those 8.
TEST_F(DeepScanTest, StoppedScanResumesAndUnreadableSectorsCostOnlyThemselves) {
  const std::string image = dir_ / "disk0";
  ASSERT_TRUE(MakeFormattedCard(originals_, image));
  test::ScopedEnv disks("VORLENTA_DISK_DIR", dir_.path());
  test::ScopedEnv support("VORLENTA_SUPPORT_DIR", dir_ / "support");
  CLogFileManager::GetInstance().Init();
  const long long sectors = static_cast<long long>(test::ReadFileBytes(image).size() / 512);

  CProfessionalRecovery whole;
  ASSERT_EQ(whole.Init(0, 0, sectors, u'C'), 0);
  ASSERT_EQ(whole.ScanDevice(nullptr), 0);
  EXPECT_TRUE(whole.UsedBitmap());
  EXPECT_LT(whole.ScannedSectors(), static_cast<unsigned long long>(sectors)) << "the FATs are in use: not read";
  const std::multiset<std::string> expected = Listing(whole);
  ASSERT_GE(expected.size(), originals_.size());

  {
    CProfessionalRecovery stopped;
    ASSERT_EQ(stopped.Init(0, 0, sectors, u'C'), 0);
    stopped.SetNotLoadLogFile();
    stopped.SetReportIntervalMs(0);
    stopped.InitCallBack(StopEarlyInThePass, nullptr, nullptr, 0);
    EXPECT_EQ(stopped.ScanDevice(nullptr), kStatusUserStop);
    const size_t partial = Listing(stopped).size();
    EXPECT_GT(partial, 0u) << "the folders before the stop were listed";
    EXPECT_LT(partial, expected.size()) << "the last folder comes after the stop";
  }
  CProfessionalRecovery resumed;
  ASSERT_EQ(resumed.Init(0, 0, sectors, u'C'), 0);
  ASSERT_EQ(resumed.IsFindLogFile(), 1);
  ASSERT_EQ(resumed.ScanDevice(nullptr), 0);
  EXPECT_EQ(Listing(resumed), expected);
  EXPECT_EQ(resumed.GetLostFileCount(), whole.GetLostFileCount()) << "files found before the stop count once";

  // Eight bad sectors in the free space near the end: reads that reach them come back short.
  const uint64_t bad = static_cast<uint64_t>(sectors) - 1000;
  CDiskReader reader;
  ASSERT_EQ(reader.Init(0, static_cast<unsigned long long>(sectors)), 0);
  CProfessionalRecovery damaged;
  ASSERT_EQ(damaged.Init(0, 0, sectors, u'C'), 0);
  damaged.SetNotLoadLogFile();
  damaged.SetPassReader([&](uint64_t sector, unsigned count, uint8_t* out, unsigned& got) {
    got = 0;
    const uint64_t readable = sector >= bad + 8 || sector + count <= bad ? count : (sector < bad ? bad - sector : 0);
    if (readable != 0) reader.ReadData(out, static_cast<int>(readable), static_cast<long long>(sector), 512, &got);
    return got == count ? 0 : EIO;
  });
  ASSERT_EQ(damaged.ScanDevice(nullptr), 0);
  EXPECT_EQ(damaged.UnreadableSectors(), 8u);
  EXPECT_EQ(Listing(damaged), expected);
}

TEST_F(DeepScanTest, AFaultWhileClassifyingCostsOnlyTheSectorThatCausedIt) {
  // A JPEG at sector 16 of an otherwise blank disk.
  const std::string image = dir_ / "disk0";
  std::vector<uint8_t> bytes(8192, 0);
  const std::vector<uint8_t> jpeg = test::ReadFileBytes(originals_[0].path);
  bytes.insert(bytes.end(), jpeg.begin(), jpeg.end());
  bytes.resize(1 << 20, 0);
  test::WriteFileBytes(image, bytes);
  test::ScopedEnv disks("VORLENTA_DISK_DIR", dir_.path());
  test::ScopedEnv support("VORLENTA_SUPPORT_DIR", dir_ / "support");
  CProfessionalRecovery engine;
  ASSERT_EQ(engine.Init(0, 0, 2048, u'C'), 0);
  engine.SetNotLoadLogFile();
  ASSERT_EQ(engine.ScanDevice(nullptr), 0);
  const unsigned before = engine.GetLostFileCount();

  // The buffer of sectors 0-23 whose second page cannot be read: each of its eight sectors
  // faults, and the JPEG after them is still carved.
  const size_t page = 4096;
  auto* buffer = static_cast<uint8_t*>(mmap(nullptr, 3 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(buffer, MAP_FAILED);
  std::memcpy(buffer, bytes.data(), page);
  std::memcpy(buffer + 2 * page, bytes.data() + 2 * page, page);
  ASSERT_EQ(mprotect(buffer + page, page, PROT_NONE), 0);
  SetDebugLogPath(dir_ / "Log.txt");
  long long overrun = 0;
  unsigned long long found = 0;
  engine.ParseProfessionalFileInfo(buffer, static_cast<int>(3 * page), 0, 0, 2048, -1, overrun, found);
  SetDebugLogPath("");
  munmap(buffer, 3 * page);
  EXPECT_EQ(engine.GetLostFileCount(), before + 1);
  EXPECT_EQ(overrun, static_cast<long long>(16 + (jpeg.size() + 511) / 512 - 24)) << "the pass jumps over the JPEG";
  std::string log = test::ReadFileText(dir_ / "Log.txt"), line = "Debug: ProfessionalRecovery recvSignal\n";
  size_t faults = 0;
  for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) ++faults;
  EXPECT_EQ(faults, 8u);
}

// A destination whose file system is mounted from the image, through FUSE, straight from the
// file or from a loop device of it; unmounted whatever the test's outcome.
struct FuseMount {
  FuseMount(const std::string& image, const std::string& at, bool viaLoop) : point(at) {
    if (viaLoop && test::RunCommand("losetup -f --show " + ShellQuote(image), &loop) == 0) {
      loop.erase(loop.find_last_not_of('\n') + 1);
    }
    mounted = test::RunCommand("mkdir -p " + ShellQuote(point) + " && ntfs-3g " + ShellQuote(loop.empty() ? image : loop) +
                               " " + ShellQuote(point) + " >/dev/null 2>&1") == 0;
  }
  ~FuseMount() {
    if (mounted) test::RunCommand("umount " + ShellQuote(point) + " || fusermount -u " + ShellQuote(point));
    if (!loop.empty()) test::RunCommand("losetup -d " + ShellQuote(loop));
  }
  std::string point, loop;
  bool mounted = false;
};

TEST_F(DeepScanTest, RecoveryOntoTheMediumBeingReadIsRefusedBeforeAnythingIsWritten) {
  VORLENTA_REQUIRE_TOOL("ntfs-3g");
  const std::string image = dir_ / "volume.img";
  ASSERT_TRUE(test::MakeNtfsVolume(image, 32));
  ASSERT_TRUE(test::NtfsCopy(image, originals_[0].path, originals_[0].name));
  for (bool viaLoop : {false, true}) {
    SCOPED_TRACE(viaLoop ? "loop device" : "image file");
    FuseMount mount(image, dir_ / "mnt", viaLoop);
    ASSERT_TRUE(mount.mounted);
    const std::string dest = dir_ / "mnt/recovered";
    EXPECT_EQ(Cli("recover " + ShellQuote(image) + " " + ShellQuote(dest) + " --fast --categories all", nullptr), 2);
    EXPECT_NE(test::ReadFileText(dir_ / "stderr").find("is on the medium being recovered"), std::string::npos)
        << test::ReadFileText(dir_ / "stderr");
    EXPECT_NE(test::RunCommand("test -e " + ShellQuote(dest)), 0) << "nothing was written";
  }
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::stringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

// A FAT32 card from which a photo and a note were deleted; a copy of the photo stays.
class CliScanTest : public DeepScanTest {
 protected:
  void SetUp() override {
    DeepScanTest::SetUp();
    if (HasFatalFailure()) return;
    image_ = dir_ / "card.img";
    ASSERT_TRUE(test::MakeFatVolume(image_, 40 * 1024, "-F 32"));
    ASSERT_TRUE(test::Mtools(image_, "mmd", "::/DCIM"));
    ASSERT_TRUE(test::PutFile(image_, Photo(), "::/DCIM/Beach day.jpg"));
    ASSERT_TRUE(test::PutFile(image_, Photo(), "::/DCIM/Kept.jpg"));
    ASSERT_TRUE(test::PutFile(image_, Note(), "::/Shopping notes.txt"));
    ASSERT_TRUE(test::Mtools(image_, "mdel", "'::/DCIM/Beach day.jpg' '::/Shopping notes.txt'"));
  }
  std::string Photo() const { return originals_[0].path; }
  std::string Note() const { return originals_[3].path; }
  std::string Stderr() { return test::ReadFileText(dir_ / "stderr"); }

  std::string image_;
};

// The fast scan lists the deleted files of the chosen categories; recover copies them into
// category folders, and a second recovery never overwrites the first.
TEST_F(CliScanTest, ScanListsAndRecoverCopiesIntoCategoryFoldersWithoutOverwriting) {
  std::string out;
  ASSERT_EQ(Cli("scan " + ShellQuote(image_) + " --fast", &out), 0) << Stderr();
  // The default categories (photo, music, video) leave the text file out.
  std::vector<std::string> lines = Lines(out);
  ASSERT_EQ(lines.size(), 2u) << out;
  EXPECT_EQ(lines[0], "fast\t" + std::to_string(test::ReadFileBytes(Photo()).size()) + "\t1\tDCIM/Beach day.jpg");
  EXPECT_EQ(lines[1].rfind("found 1 files (", 0), 0u) << lines[1];
  EXPECT_EQ(Stderr(), "") << "no progress line when standard error is not a terminal";

  const std::string dest = dir_ / "out";
  out.clear();
  ASSERT_EQ(Cli("recover " + ShellQuote(image_) + " " + ShellQuote(dest) + " --fast --categories all", &out), 0) << Stderr();
  lines = Lines(out);
  ASSERT_EQ(lines.size(), 3u) << out;
  EXPECT_EQ(lines[0], "ok\t" + dest + "/photo/Beach day.jpg");
  EXPECT_EQ(lines[1], "ok\t" + dest + "/document/Shopping notes.txt");
  EXPECT_EQ(lines[2], "recovered 2 files, 0 failed");
  EXPECT_EQ(test::ReadFileBytes(dest + "/photo/Beach day.jpg"), test::ReadFileBytes(Photo()));
  EXPECT_EQ(test::ReadFileBytes(dest + "/document/Shopping notes.txt"), test::ReadFileBytes(Note()));

  out.clear();
  ASSERT_EQ(Cli("recover " + ShellQuote(image_) + " " + ShellQuote(dest) + " --fast --categories photo", &out), 0);
  EXPECT_EQ(Lines(out)[0], "ok\t" + dest + "/photo/Beach day(1).jpg");
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

// A partition or a sector range selects the volume; bad arguments exit 2, sources without a
// volume 3.
TEST_F(CliScanTest, PartitionsAndSectorRangesSelectTheVolumeAndErrorsHaveTheirExitCodes) {
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
  EXPECT_EQ(Cli("frobnicate", &out), 2);
  EXPECT_EQ(Cli("scan " + ShellQuote(image_) + " --fast --partition 1 --start 0 --count 5", &out), 2);
  EXPECT_EQ(Cli("scan " + ShellQuote(dir_ / "missing.img") + " --fast", &out), 3);
  EXPECT_NE(Stderr().find("No such file or directory"), std::string::npos);
  EXPECT_EQ(Cli("scan disk:200 --fast", &out), 3);
  test::WriteFileBytes(dir_ / "zeros.img", std::vector<uint8_t>(1 << 20, 0));
  EXPECT_EQ(Cli("scan " + ShellQuote(dir_ / "zeros.img") + " --fast", &out), 3);
  EXPECT_NE(Stderr().find("no FAT"), std::string::npos) << Stderr();
}

TEST_F(CliScanTest, CtrlCStopsTheRecoveryBeforeTheNextFile) {
  // Many deleted files, so the recovery is still running when the interruption comes.
  std::string names;
  for (int i = 0; i < 300; ++i) {
    names += " " + ShellQuote(test::RandomFile(dir_ / ("Note " + std::to_string(i) + ".bin"), 8000, i));
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
