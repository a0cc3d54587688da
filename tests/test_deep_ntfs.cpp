// The deep NTFS engine fed every FILE record of real images, as the deep pass feeds it:
// volumes made by mkntfs and filled through ntfs-3g, then quick-formatted over their old content,
// stripped of both boot sectors, or laid side by side on a GPT disk. Every file that comes
// back is compared with its original.
#include <gtest/gtest.h>
#include <sys/xattr.h>

#include <algorithm>
#include <filesystem>
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

namespace fs = std::filesystem;
using test::NtfsImage;
using test::NtfsMount;

class DeepNtfsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {"mkntfs", "ntfs-3g", "ntfscat", "losetup", "sfdisk"}) VORLENTA_REQUIRE_TOOL(tool);
    support_ = std::make_unique<test::ScopedEnv>("VORLENTA_SUPPORT_DIR", dir_ / "support");
    CLogFileManager::GetInstance().Init();
    CLogFileManager::GetInstance().AddDirIndex();
  }

  // Writes `bytes` at `path` through `mount` and remembers them under `expectedPath`.
  void Put(const NtfsMount& mount, const std::string& path, const std::vector<uint8_t>& bytes,
           const std::string& expectedPath) {
    fs::create_directories(fs::path(mount / path).parent_path());
    test::WriteFileBytes(mount / path, bytes);
    originals_[expectedPath] = bytes;
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

// Quick-formatted over deleted files and a deleted tree, live files with ranked names, a file
// split by an attribute list, a loop of parents and a parent whose record carries another
// number: each of the last two ends in a "LostFolder%d", whichever child meets it first.
TEST_F(DeepNtfsTest, QuickFormatGivesBackNamesFoldersAndDataEvenWithoutBootSectors) {
  const std::string img = dir_ / "vol.img";
  ASSERT_TRUE(test::MakeNtfsVolume(img, 32));
  uint32_t base = 0;
  uint32_t pieces[2] = {};
  uint32_t loop[2] = {};
  uint32_t foreign = 0;
  {
    NtfsMount mount(img);
    ASSERT_TRUE(mount.ok());
    const std::string text(300, 'n');
    Put(mount, "notes.txt", std::vector<uint8_t>(text.begin(), text.end()), "notes.txt");
    Put(mount, "live.bin", test::RandomBytes(20000, 1), "live.bin");
    Put(mount, "Docs/memo.bin", test::RandomBytes(9000, 2), "Docs/memo.bin");
    Put(mount, "Docs/Year 2024/report.bin", test::RandomBytes(70001, 3), "Docs/Year 2024/report.bin");
    // The driver stores a short name before its long one, and a hard link's POSIX name first.
    Put(mount, "Long name.txt", {1, 2, 3}, "Long name.txt");
    Put(mount, "Both.txt", {4, 5}, "Both.txt");
    ASSERT_EQ(::setxattr((mount / "Long name.txt").c_str(), "system.ntfs_dos_name", "LONGNA~1.TXT", 12, 0), 0);
    ASSERT_EQ(::setxattr((mount / "Both.txt").c_str(), "system.ntfs_dos_name", "BOTH.TXT", 8, 0), 0);
    fs::create_hard_link(mount / "Both.txt", mount / "apple");
    for (const char* name : {"listed.bin", "piece1", "piece2"}) test::WriteFileBytes(mount / name, {});
    base = mount.Record("listed.bin");
    pieces[0] = mount.Record("piece1");
    pieces[1] = mount.Record("piece2");
    // A and B name each other as parent below; C's record will carry another number.
    fs::create_directories(mount / "A/B");
    fs::create_directory(mount / "C");
    loop[0] = mount.Record("A");
    loop[1] = mount.Record("A/B");
    foreign = mount.Record("C");
    const std::string lostA = "LostFolder" + std::to_string(loop[0]) + "/";
    Put(mount, "A/B/f.bin", test::RandomBytes(5000, 6), lostA + "B/f.bin");
    Put(mount, "A/g.bin", test::RandomBytes(6000, 7), lostA + "g.bin");
    Put(mount, "C/h.bin", test::RandomBytes(7000, 8), "LostFolder" + std::to_string(foreign) + "/h.bin");
    // Deleted last: the driver gives a freed record to the next new file.
    for (const char* path : {"notes.txt", "A/B/f.bin"}) ASSERT_TRUE(fs::remove(mount / path));
    ASSERT_EQ(fs::remove_all(mount / "Docs"), 4u);
  }
  // An attribute list built by hand: the driver makes one only for files so fragmented that it
  // also moves their name out of the base record, which neither engine follows.
  originals_["listed.bin"] = test::RandomBytes(6 * 4096 - 77, 5);
  {
    NtfsImage volume(img);
    const uint64_t at = volume.FindFreeClusters(16, 3000);
    ASSERT_NE(at, 0u);
    volume.BuildListedFile(base, pieces, at, originals_["listed.bin"]);
    volume.SetParent(loop[0], loop[1]);
    std::vector<uint8_t> record = volume.ReadRecord(foreign);
    record[44] = static_cast<uint8_t>(foreign + 100);
    volume.WriteRecord(foreign, record);
  }
  ASSERT_EQ(test::RunCommand("mkntfs -Q -F -q -s 512 -c 4096 " + test::ShellQuote(img) + " >/dev/null 2>&1"), 0);

  CProfessionalNtfsRecovery engine;
  const auto found = Scan(engine, img);
  ExpectAllRecovered(engine, found);
  EXPECT_EQ(found.size(), originals_.size()) << "no other files";
  EXPECT_EQ(engine.PendingDirectoryCount(), 6u) << "Docs, Year 2024, A, B, C and $Extend, each once";
  EXPECT_EQ(found.at("notes.txt").ClusterBytes, 4096) << "the boot sector's cluster size, not the size table's";
  // The look-up the coordinator makes: the second record's runs go on from the first one's.
  std::vector<__RUNLIST__> runs;
  ASSERT_EQ(engine.GetRunListInfo(found.at("listed.bin").RecordSector, 0x80, runs), 0);
  ASSERT_EQ(runs.size(), 4u);
  EXPECT_EQ(runs[3].i64RunOffset, 2);
  std::vector<_FILE_NODE_> root;
  ASSERT_EQ(engine.GetChildrenFileNode(nullptr, 0, root), 0);
  auto docs = std::find_if(root.begin(), root.end(), [](const _FILE_NODE_& n) { return std::string(n.FileName) == "Docs"; });
  ASSERT_NE(docs, root.end());
  const std::string folder = dir_ / "saved-docs";
  EXPECT_EQ(engine.SaveFileData(&*docs, Utf8ToUtf16(folder.c_str()).c_str(), 0), 0);
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
    {
      // The same names and record numbers on both volumes, different contents.
      NtfsMount mount(part);
      ASSERT_TRUE(mount.ok());
      Put(mount, "same.bin", test::RandomBytes(12000, 10 + v), top + "same.bin");
      Put(mount, "Shared/inner.bin", test::RandomBytes(30000, 20 + v), top + "Shared/inner.bin");
      ASSERT_TRUE(fs::remove(mount / "Shared/inner.bin"));
    }
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
  EXPECT_EQ(root.size(), 2u) << "one top folder per volume";
}

}  // namespace
}  // namespace vorlenta
