// The deep NTFS engine fed every FILE record of real images, as the deep pass feeds it:
// volumes made by mkntfs and filled by ntfscp, then quick-formatted over their old content,
// stripped of both boot sectors, or laid side by side on a GPT disk. Every file that comes
// back is compared with its original.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

#include "engine/categories.h"
#include "engine/log_file_manager.h"
#include "engine/recovery_driver.h"
#include "support/deep_ntfs_driver.h"
#include "support/found_files.h"
#include "support/ntfs_image.h"
#include "support/test_support.h"
#include "util/text.h"

namespace vorlenta {
namespace {

using test::NtfsImage;

class DeepNtfsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {"mkntfs", "ntfscp", "sfdisk"}) VORLENTA_REQUIRE_TOOL(tool);
    support_ = std::make_unique<test::ScopedEnv>("VORLENTA_SUPPORT_DIR", dir_ / "support");
    CLogFileManager::GetInstance().Init();
    CLogFileManager::GetInstance().AddDirIndex();
  }

  // Puts `bytes` at `target` in the volume and remembers them under `expectedPath`.
  void Put(const std::string& image, const std::string& target, const std::vector<uint8_t>& bytes,
           const std::string& expectedPath) {
    const std::string source = dir_ / ("src" + std::to_string(originals_.size()));
    test::WriteFileBytes(source, bytes);
    ASSERT_TRUE(test::NtfsCopy(image, source, target)) << target;
    originals_[expectedPath] = bytes;
  }

  // A directory made the way the fast engine's tests make one: an empty file turned index.
  uint32_t MakeDir(const std::string& image, const std::string& path, const std::string& leaf) {
    const std::string empty = dir_ / "empty";
    test::WriteFileBytes(empty, {});
    EXPECT_TRUE(test::NtfsCopy(image, empty, path));
    NtfsImage volume(image);
    const uint32_t n = volume.FindRecord(Utf8ToUtf16(leaf.c_str()));
    if (n != 0) volume.MakeDirectoryRecord(n);
    return n;
  }

  // Every file node, by "directory path + name", after a pass over `image`.
  std::map<std::string, _FILE_NODE_> Scan(CProfessionalNtfsRecovery& engine, const std::string& image) {
    EXPECT_EQ(engine.Init(Utf8ToUtf16(image.c_str()).c_str(), u'D'), 0);
    const test::DeepNtfsPass pass = test::DriveDeepNtfs(engine, image);
    EXPECT_EQ(pass.status, 0);
    std::map<std::string, _FILE_NODE_> found = test::ListFoundFiles(engine);
    // The volume's own files below $Extend are listed as any others; the tests leave them out.
    for (auto it = found.begin(); it != found.end();) it = it->first.find("$Extend/") == std::string::npos ? std::next(it) : found.erase(it);
    return found;
  }

  // Each original came back under its path, byte for byte.
  void ExpectAllRecovered(CProfessionalNtfsRecovery& engine, const std::map<std::string, _FILE_NODE_>& found) {
    for (const auto& [path, bytes] : originals_) {
      ASSERT_TRUE(found.count(path)) << path;
      _FILE_NODE_ node = found.at(path);
      EXPECT_EQ(node.SourceKind, static_cast<uint32_t>(kSourceDeepNtfs));
      const std::string target = dir_ / ("out" + std::to_string(++saves_));
      EXPECT_EQ(engine.SaveFileData(&node, Utf8ToUtf16(target.c_str()).c_str(), 0), 0) << path;
      EXPECT_EQ(test::ReadFileBytes(target), bytes) << path;
    }
  }

  test::TempDir dir_;
  std::unique_ptr<test::ScopedEnv> support_;
  std::map<std::string, std::vector<uint8_t>> originals_;
  int saves_ = 0;
};

TEST_F(DeepNtfsTest, QuickFormatGivesBackNamesFoldersAndDataEvenWithoutBootSectors) {
  const std::string img = dir_ / "vol.img";
  ASSERT_TRUE(test::MakeNtfsVolume(img, 32));
  const std::string text(300, 'n');
  Put(img, "notes.txt", std::vector<uint8_t>(text.begin(), text.end()), "notes.txt");
  Put(img, "live.bin", test::RandomBytes(20000, 1), "live.bin");
  const uint32_t docs = MakeDir(img, "Docs", "Docs");
  const uint32_t year = MakeDir(img, "Docs/Year 2024", "Year 2024");
  Put(img, "Docs/memo.bin", test::RandomBytes(9000, 2), "Docs/memo.bin");
  Put(img, "Docs/Year 2024/report.bin", test::RandomBytes(70001, 3), "Docs/Year 2024/report.bin");
  // What the tool writes only for very fragmented files, built by hand: the data in scattered
  // runs, split over two extension records that an attribute list names.
  for (const char* name : {"listed.bin", "piece1", "piece2"}) Put(img, name, {1}, name);
  originals_.erase("piece1");
  originals_.erase("piece2");
  {
    NtfsImage volume(img);
    const uint32_t base = volume.FindRecord(u"listed.bin");
    const uint32_t pieces[] = {volume.FindRecord(u"piece1"), volume.FindRecord(u"piece2")};
    const uint64_t at = volume.FindFreeClusters(16, 3000);
    const std::vector<uint8_t> bytes = test::RandomBytes(6 * 4096 - 77, 5);
    std::vector<uint8_t> padded = bytes;
    padded.resize(6 * 4096);
    const uint64_t lcns[] = {at + 6, at + 2, at + 10, at + 12};  // clusters 0, 1, 2 and 3-5
    for (int c = 0; c < 4; ++c) {
      const auto from = padded.begin() + c * 4096;
      volume.WriteClusters(lcns[c], std::vector<uint8_t>(from, c == 3 ? padded.end() : from + 4096));
    }
    std::vector<uint8_t> list;
    auto entry = [&](uint32_t type, uint64_t vcn, uint32_t record) {
      std::vector<uint8_t> e(32, 0);
      for (int k = 0; k < 8; ++k) {
        e[static_cast<size_t>(k)] = k < 4 ? static_cast<uint8_t>(type >> (8 * k)) : 0;
        e[8 + static_cast<size_t>(k)] = static_cast<uint8_t>(vcn >> (8 * k));
        e[16 + static_cast<size_t>(k)] = k < 4 ? static_cast<uint8_t>(record >> (8 * k)) : 0;
      }
      e[4] = 32;
      e[7] = 0x1A;
      list.insert(list.end(), e.begin(), e.end());
    };
    entry(0x10, 0, base);
    entry(0x30, 0, base);
    entry(0x80, 0, pieces[0]);
    entry(0x80, 3, pieces[1]);
    std::vector<uint8_t> record = volume.ReadRecord(base);
    std::vector<test::RawAttribute> kept;
    for (const test::RawAttribute& a : NtfsImage::Attributes(record)) {
      if (a.type == 0x10 || a.type == 0x30) kept.push_back(a);
    }
    kept.insert(kept.begin() + 1, test::ResidentAttribute(0x20, list));
    NtfsImage::SetAttributes(record, kept);
    volume.WriteRecord(base, record);
    const std::vector<test::TestRun> runs[] = {{{lcns[0], 1}, {lcns[1], 1}, {lcns[2], 1}}, {{lcns[3], 3}}};
    for (int k = 0; k < 2; ++k) {
      record = volume.ReadRecord(pieces[k]);
      record[32] = static_cast<uint8_t>(base);
      record[33] = static_cast<uint8_t>(base >> 8);
      NtfsImage::SetAttributes(record, {test::NonResidentData(test::EncodeRuns(runs[k]), k == 0 ? bytes.size() : 0,
                                                              k == 0 ? 6 * 4096 : 0, 3 * k, 3 * k + 2)});
      volume.WriteRecord(pieces[k], record);
    }
    volume.SetClusters(at, 16, true);
    originals_["listed.bin"] = bytes;
    for (const char* name : {"memo.bin", "report.bin", "notes.txt"}) volume.DeleteFile(volume.FindRecord(Utf8ToUtf16(name)));
    volume.DeleteFile(year);
    volume.DeleteFile(docs);
  }
  ASSERT_EQ(test::RunCommand("mkntfs -Q -F -q -s 512 -c 4096 " + test::ShellQuote(img) + " >/dev/null 2>&1"), 0);

  CProfessionalNtfsRecovery engine;
  const auto found = Scan(engine, img);
  ExpectAllRecovered(engine, found);
  EXPECT_EQ(found.size(), originals_.size()) << "no other files";
  EXPECT_EQ(found.at("notes.txt").ClusterBytes, 4096) << "the boot sector's cluster size, not the size table's";
  std::vector<_FILE_NODE_> root;
  ASSERT_EQ(engine.GetChildrenFileNode(nullptr, 0, root), 0);
  ASSERT_FALSE(root.empty());
  EXPECT_EQ(std::string(root.back().FileName), "Docs");
  const std::string folder = dir_ / "saved-docs";
  EXPECT_EQ(engine.SaveFileData(&root.back(), Utf8ToUtf16(folder.c_str()).c_str(), 0), 0);
  EXPECT_EQ(test::ReadFileBytes(folder + "/Year 2024/report.bin"), originals_.at("Docs/Year 2024/report.bin"));

  // Both boot sectors gone: the new table's own $MFT record tells where the volume starts.
  std::vector<uint8_t> image = test::ReadFileBytes(img);
  std::fill(image.begin(), image.begin() + 512, 0);
  std::fill(image.end() - 512, image.end(), 0);
  test::WriteFileBytes(img, image);
  CProfessionalNtfsRecovery bare;
  const auto again = Scan(bare, img);
  ExpectAllRecovered(bare, again);
  EXPECT_EQ(again.at("notes.txt").ClusterBytes, 4096) << "inferred from the $MFT record";
}

TEST_F(DeepNtfsTest, TwoVolumesOfOneGptDiskKeepTheirOwnRootsAndFolders) {
  const std::string disk = dir_ / "disk.img";
  ASSERT_EQ(test::RunCommand("truncate -s 80M " + test::ShellQuote(disk) +
                             " && printf 'label: gpt\\nstart=2048, size=65536\\nstart=69632, size=65536\\n' | sfdisk -q " +
                             test::ShellQuote(disk) + " >/dev/null 2>&1"),
            0);
  const uint64_t starts[] = {2048, 69632};
  for (int v = 0; v < 2; ++v) {
    const std::string part = dir_ / ("part" + std::to_string(v));
    ASSERT_TRUE(test::MakeNtfsVolume(part, 32, v == 0 ? 4096 : 2048));
    const std::string top = "Volume_" + std::to_string(starts[v]) + "/";
    // The same names and record numbers on both volumes, different contents.
    Put(part, "same.bin", test::RandomBytes(12000, 10 + v), top + "same.bin");
    MakeDir(part, "Shared", "Shared");
    Put(part, "Shared/inner.bin", test::RandomBytes(30000, 20 + v), top + "Shared/inner.bin");
    NtfsImage(part).DeleteFile(NtfsImage(part).FindRecord(u"inner.bin"));
    ASSERT_EQ(test::RunCommand("dd if=" + test::ShellQuote(part) + " of=" + test::ShellQuote(disk) +
                               " bs=512 seek=" + std::to_string(starts[v]) + " conv=notrunc status=none"),
              0);
  }
  CProfessionalNtfsRecovery engine;
  const auto found = Scan(engine, disk);
  ExpectAllRecovered(engine, found);
  EXPECT_EQ(found.size(), originals_.size());
  for (int v = 0; v < 2; ++v) {
    const _FILE_NODE_& node = found.at("Volume_" + std::to_string(starts[v]) + "/Shared/inner.bin");
    EXPECT_EQ(node.VolumeStartSector, starts[v]);
    EXPECT_EQ(node.ClusterBytes, v == 0 ? 4096 : 2048);
  }
  std::vector<_FILE_NODE_> root;
  ASSERT_EQ(engine.GetChildrenFileNode(nullptr, 0, root), 0);
  ASSERT_EQ(root.size(), 2u);
  unsigned count = 0;
  ASSERT_EQ(engine.GetChildrenFileCount(&root[0], 0, count), 0);
  EXPECT_EQ(count, 0u) << "a top folder's own children sit one level down";
  ASSERT_EQ(engine.GetChildrenFileCount(&root[0], 1, count), 0);
  EXPECT_EQ(count, 5u) << "its two files and the three of $Extend";
}

// A loop of parents, and a parent whose record carries another number: each ends in a
// "LostFolder%d" whichever child meets it first, and the files below still come back.
TEST_F(DeepNtfsTest, LoopingAndForeignParentsEndInLostFolders) {
  const std::string img = dir_ / "loop.img";
  ASSERT_TRUE(test::MakeNtfsVolume(img, 32));
  const uint32_t a = MakeDir(img, "A", "A");
  const uint32_t b = MakeDir(img, "A/B", "B");
  const uint32_t c = MakeDir(img, "C", "C");
  const std::string lostA = "LostFolder" + std::to_string(a) + "/";
  Put(img, "A/B/f.bin", test::RandomBytes(5000, 6), lostA + "B/f.bin");
  Put(img, "A/g.bin", test::RandomBytes(6000, 7), lostA + "g.bin");
  Put(img, "C/h.bin", test::RandomBytes(7000, 8), "LostFolder" + std::to_string(c) + "/h.bin");
  {
    NtfsImage volume(img);
    std::vector<uint8_t> record = volume.ReadRecord(a);
    std::vector<test::RawAttribute> attributes = NtfsImage::Attributes(record);
    for (test::RawAttribute& attr : attributes) {
      if (attr.type != 0x30) continue;
      const size_t value = static_cast<size_t>(attr.bytes[20] | (attr.bytes[21] << 8));
      for (int k = 0; k < 4; ++k) attr.bytes[value + static_cast<size_t>(k)] = static_cast<uint8_t>(b >> (8 * k));
    }
    NtfsImage::SetAttributes(record, attributes);
    volume.WriteRecord(a, record);
    record = volume.ReadRecord(c);
    record[44] = static_cast<uint8_t>(c + 100);
    volume.WriteRecord(c, record);
    volume.DeleteFile(volume.FindRecord(u"f.bin"));
  }
  CProfessionalNtfsRecovery engine;
  const auto found = Scan(engine, img);
  ExpectAllRecovered(engine, found);
  EXPECT_EQ(found.size(), originals_.size());
  EXPECT_EQ(engine.PendingDirectoryCount(), 4u) << "A, B, C and $Extend, each once";
}

}  // namespace
}  // namespace vorlenta
