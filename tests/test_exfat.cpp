// exFAT cards end to end: vorlenta-cli on cards made by mkfs.exfat and written through
// exfat-fuse, as written, with the main boot region zeroed, re-made by mkfs.exfat, and in
// partitions whatever their type byte; and a file over 4 GiB.
#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "support/exfat_image.h"
#include "support/test_support.h"

namespace vorlenta {
namespace {

using test::ShellQuote;

// A deleted file: where it was on the card, and its original on the host.
struct Deleted {
  std::string path;
  std::string host;
  bool keepsFolder;  // its folder's own entry lies outside the root, so a re-made card keeps it
};

class ExfatCardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {"mkfs.exfat", "mount.exfat-fuse", "losetup", "convert", "sox"})
      VORLENTA_REQUIRE_TOOL(tool);
  }
  int Cli(const std::string& args, std::string* out) { return test::RunCli(dir_, args, out); }
  // "path" -> kinds of the scan's hits.
  std::multimap<std::string, std::string> Scan(const std::string& args) {
    std::string out;
    EXPECT_EQ(Cli("scan " + args + " --categories all", &out), 0);
    std::multimap<std::string, std::string> hits;
    std::stringstream lines(out);
    for (std::string line; std::getline(lines, line);)
      hits.emplace(line.substr(line.rfind('\t') + 1), line.substr(0, line.find('\t')));
    return hits;
  }
  // Recovers everything into a fresh folder: file name -> sha256.
  std::map<std::string, std::string> Recover(const std::string& args) {
    const std::string dest = dir_ / ("out" + std::to_string(++recoveries_));
    std::string out;
    EXPECT_EQ(Cli("recover " + args + " " + ShellQuote(dest) + " --categories all", &out), 0) << out;
    std::string list;
    test::RunCommand("find " + ShellQuote(dest) + " -type f -exec sha256sum {} +", &list);
    std::map<std::string, std::string> hashes;
    std::stringstream in(list);
    for (std::string hash, path; in >> hash && std::getline(in >> std::ws, path);)
      hashes[path.substr(path.rfind('/') + 1)] = hash;
    return hashes;
  }
  // A card with folders, long and non-ASCII names and a fragmented file; then files and a
  // folder with a folder inside are deleted. `deleted_` gets what was deleted.
  bool MakeCard(const std::string& image) {
    const std::string jpg1 = dir_ / "a.jpg", jpg2 = dir_ / "b.jpg", png = dir_ / "c.png", wav = dir_ / "d.wav";
    if (test::RunCommand("convert -size 640x480 plasma:fractal -quality 90 " + ShellQuote(jpg1) +
                         " && convert -size 800x600 gradient:red-blue -quality 85 " + ShellQuote(jpg2) +
                         " && convert -size 500x400 gradient:blue-yellow " + ShellQuote(png) +
                         " && sox -n -r 22050 -c 1 " + ShellQuote(wav) + " synth 1 sine 440 2>/dev/null") != 0) {
      return false;
    }
    const std::string txt = dir_ / "e.txt", gap = dir_ / "gap.bin", keep = dir_ / "keep.bin", frag = dir_ / "f.dat";
    uint64_t seed = 0;
    for (const auto& [path, size] : {std::pair{txt, 9000}, {gap, 20000}, {keep, 40000}, {frag, 300000}})
      test::RandomFile(path, size, ++seed);
    const std::string unicodeName = "DCIM/100CAM/Ünïcödé Straße – ein sehr langer Name, 2026.jpg";
    deleted_ = {{"Summer holiday by the sea.jpg", jpg1, false}, {unicodeName, jpg2, true},
                {"DCIM/100CAM/notes.txt", txt, true},           {"Trip/Family portrait.png", png, false},
                {"Trip/Day one/Morning song.wav", wav, true},   {"clip.dat", frag, false}};
    if (!test::MakeExfatVolume(image, 96, "-c 4K -L VORLENTA")) return false;
    test::ExfatMount card(image, dir_ / "mnt");
    auto put = [&](const std::string& host, const std::string& path) {
      return card.Run("mkdir -p \"$(dirname " + ShellQuote(path) + ")\" && cp " + ShellQuote(host) + " " +
                      ShellQuote(path));
    };
    // The gap a deleted file leaves between two kept ones splits the next file in two.
    bool ok = put(keep, "keep1.bin") && put(gap, "gap.bin") && put(keep, "keep2.bin") && card.Run("rm gap.bin") &&
              put(frag, "clip.dat");
    for (size_t i = 0; ok && i + 1 < deleted_.size(); ++i) ok = put(deleted_[i].host, deleted_[i].path);
    ok = ok && card.Run("rm clip.dat " + ShellQuote(deleted_[0].path) + " " + ShellQuote(deleted_[1].path) + " " +
                        ShellQuote(deleted_[2].path) + " && rm -r Trip");
    return card.Unmount() && ok;
  }
  test::TempDir dir_;
  std::vector<Deleted> deleted_;
  int recoveries_ = 0;
};

TEST_F(ExfatCardTest, DeletedFilesComeBackByteExactWithTheirNamesAndFolders) {
  const std::string image = dir_ / "card.img";
  ASSERT_TRUE(MakeCard(image));
  const std::string zeroed = dir_ / "zeroed.img", remade = dir_ / "remade.img";
  ASSERT_EQ(test::RunCommand(
                "cp " + ShellQuote(image) + " " + ShellQuote(zeroed) + " && dd if=/dev/zero of=" + ShellQuote(zeroed) +
                " bs=512 count=12 conv=notrunc status=none && cp " + ShellQuote(image) + " " + ShellQuote(remade)),
            0);
  ASSERT_TRUE(test::MakeExfatVolume(remade, 96, "-c 4K"));
  // The card in a partition whose type byte says Linux (83), and one that says FAT32 (0C).
  const std::string typed83 = dir_ / "typed83.img", typed0c = dir_ / "typed0c.img";
  ASSERT_EQ(test::RunCommand(
                "truncate -s 100M " + ShellQuote(typed83) + " && echo 'start=2048, type=83' | sfdisk -q " +
                ShellQuote(typed83) + " >/dev/null && dd if=" + ShellQuote(image) + " of=" + ShellQuote(typed83) +
                " bs=1M seek=1 conv=notrunc status=none && cp " + ShellQuote(typed83) + " " + ShellQuote(typed0c) +
                " && printf '\\014' | dd of=" + ShellQuote(typed0c) + " bs=1 seek=450 conv=notrunc status=none"),
            0);
  const struct {
    const char* label;
    std::string image;
    const char* options;
    const char* kind;
    bool remade;  // the root is new: only folders whose entry lies elsewhere keep their names
  } cases[] = {{"fast", image, "--fast", "exfat", false},
               {"deep", image, "", "exfat", false},
               {"main boot region zeroed", zeroed, "", "exfat", false},
               {"re-made by mkfs.exfat", remade, "", "deep-exfat", true},
               {"partition typed 83", typed83, "--partition 1 --fast", "exfat", false},
               {"partition typed 0C", typed0c, "--partition 1 --fast", "exfat", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string source = ShellQuote(c.image) + " " + c.options;
    const std::multimap<std::string, std::string> hits = Scan(source);
    const std::map<std::string, std::string> recovered = Recover(source);
    for (const Deleted& d : deleted_) {
      if (c.remade && !d.keepsFolder) continue;
      SCOPED_TRACE(d.path);
      // On a re-made card the folder the root named is lost; the folders below it keep their names.
      const std::string tail = c.remade ? d.path.substr(d.path.find('/')) : d.path;
      int listed = 0;
      for (const auto& [path, kind] : hits) {
        const bool named = c.remade ? path.rfind("LostFolder", 0) == 0 && path.size() > tail.size() &&
                                          path.compare(path.size() - tail.size(), tail.size(), tail) == 0
                                    : path == tail;
        listed += named && kind == c.kind ? 1 : 0;
      }
      EXPECT_EQ(listed, 1);
      // Saved once and whole: copies from the other engines and carved copies are dropped.
      const std::string hash = test::Sha256OfFile(d.host);
      const auto file = recovered.find(d.path.substr(d.path.rfind('/') + 1));
      EXPECT_TRUE(file != recovered.end() && file->second == hash);
      int copies = 0;
      for (const auto& entry : recovered) copies += entry.second == hash ? 1 : 0;
      EXPECT_EQ(copies, 1);
    }
  }
  std::string partitions;
  EXPECT_EQ(Cli("partitions " + ShellQuote(image), &partitions), 0);
  EXPECT_NE(partitions.find("\tVORLENTA\n"), std::string::npos) << partitions;
}

TEST_F(ExfatCardTest, AFileOverFourGibibytesIsSavedWhole) {
  const std::string image = dir_ / "big.img";
  // Sparse: only the big file's clusters are ever written.
  ASSERT_TRUE(test::MakeExfatVolume(image, 4700, ""));
  const std::string head = dir_ / "head.bin";
  test::WriteFileBytes(head, test::RandomBytes(1 << 20, 9));
  constexpr uint64_t kBigBytes = (uint64_t{4} << 30) + 12345;
  // The same bytes are made on the card and, as the original, on the host.
  const std::string make = "truncate -s " + std::to_string(kBigBytes) + " big.bin && dd if=" + ShellQuote(head) +
                           " of=big.bin conv=notrunc status=none && dd if=" + ShellQuote(head) +
                           " of=big.bin bs=4096 seek=" + std::to_string((kBigBytes >> 12) - 300) +
                           " conv=notrunc status=none";
  ASSERT_EQ(test::RunCommand("cd " + ShellQuote(dir_.path()) + " && " + make), 0);
  {
    test::ExfatMount card(image, dir_ / "mnt");
    ASSERT_TRUE(card.Run(make + " && rm big.bin"));
    ASSERT_TRUE(card.Unmount());
  }
  const std::map<std::string, std::string> recovered = Recover(ShellQuote(image) + " --fast");
  ASSERT_EQ(recovered.count("big.bin"), 1u);
  EXPECT_EQ(recovered.at("big.bin"), test::Sha256OfFile(dir_ / "big.bin"));
}

}  // namespace
}  // namespace vorlenta
