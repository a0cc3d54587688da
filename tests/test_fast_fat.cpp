// The fast FAT engine on real volumes made by mkfs.fat and changed by mtools: what it lists,
// what it recovers (byte for byte), and how it copes with damage.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>

#include "engine/categories.h"
#include "engine/log_file_manager.h"
#include "engine/recovery_driver.h"
#include "engine/status.h"
#include "fat/fast_fat_recovery.h"
#include "support/fat_image.h"
#include "support/found_files.h"
#include "support/test_support.h"
#include "util/endian.h"
#include "util/text.h"

namespace vorlenta {
namespace {

using test::PutFile;
using Found = std::map<std::string, _FILE_NODE_>;
using Expected = std::map<std::string, std::string>;  // path -> original

class FastFatTest : public test::FatEngineTest {
 protected:
  int Init(CFastFatRecovery& engine, const std::string& img) {
    return engine.Init(Utf8ToUtf16(img.c_str()).c_str(), u'C');
  }

  // Every file the engine lists, by "directory path + name".
  Found ScanAll(IFileRecoveryParse& engine) {
    EXPECT_EQ(engine.ScanDevice(nullptr), 0);
    return test::ListFoundFiles(engine);
  }
};

// A 1.44 MB floppy: its 224 root entries size the root area, a directory of 30 long names spans
// several one-sector clusters linked by 12-bit entries, and the volume's size is in the 16-bit
// field only. In the root, deleted pictures and a deleted file: a new file takes the big picture's
// first cluster (FAT12 has no free-cluster hint), and the file's second cluster is marked used (an
// end mark), as if a small new file lived there while its data is still the old one. Then its FAT
// is damaged in turn: each must give a partial result or an error, never a crash or a hang.
TEST_F(FastFatTest, FloppyFat12UsesItsRootSizeAndTwelveBitChainsAndSurvivesDamage) {
  const std::string img = dir_ / "floppy.img";
  ASSERT_TRUE(test::MakeFatVolume(img, 1440, "-F 12"));
  ASSERT_TRUE(test::Mtools(img, "mmd", "::/Photos"));
  Expected expected;
  for (int i = 0; i < 30; ++i) {
    const std::string name = "Holiday picture " + std::to_string(i) + ".bin";
    expected["Photos/" + name] = MakeFile(name, 700 + static_cast<size_t>(i) * 37, static_cast<uint64_t>(i));
    ASSERT_TRUE(PutFile(img, expected["Photos/" + name], "::/Photos/" + name));
  }
  expected = {{"Photos/Holiday picture 29.bin", expected["Photos/Holiday picture 29.bin"]},
              {"Root letter.txt", MakeFile("Root letter.txt", 3000, 99)},
              {"Kept picture.jpg", test::JpegFile(dir_ / "kept.jpg", "300x200")},
              {"Big file.bin", MakeFile("big.bin", 20 * 512 + 100, 21)}};
  ASSERT_TRUE(PutFile(img, expected["Root letter.txt"], "::/Root letter.txt"));
  ASSERT_TRUE(PutFile(img, test::JpegFile(dir_ / "big.jpg", "400x300"), "::/Big picture.jpg"));
  ASSERT_TRUE(PutFile(img, expected["Kept picture.jpg"], "::/Kept picture.jpg"));
  ASSERT_TRUE(PutFile(img, expected["Big file.bin"], "::/Big file.bin"));
  ASSERT_TRUE(test::Mtools(img, "mdel", "'::/Big picture.jpg' '::/Kept picture.jpg' '::/Big file.bin'"));
  ASSERT_TRUE(PutFile(img, MakeFile("new.bin", 1000, 5), "::/new.bin"));
  ASSERT_TRUE(test::Mtools(img, "mdel", "'::/Photos/Holiday picture 29.bin' '::/Root letter.txt'"));
  CFastFatRecovery probe;
  ASSERT_EQ(Init(probe, img), 0);
  const FatGeometry g = probe.Geometry();
  const size_t fat = static_cast<size_t>(g.fatStartSector) * 512;
  // Sets the 12-bit FAT entry of `cluster` to `value`.
  auto link = [&](uint32_t cluster, uint32_t value) {
    return [=](std::vector<uint8_t>& b) {
      const size_t at = fat + cluster + cluster / 2;
      const uint16_t pair = ReadU16LE(b.data(), b.size(), at);
      WriteU16LE(b.data(), at,
                 (cluster & 1) ? static_cast<uint16_t>((pair & 0x000F) | (value << 4))
                               : static_cast<uint16_t>((pair & 0xF000) | value));
    };
  };
  std::vector<uint8_t> bytes = test::ReadFileBytes(img);
  ASSERT_EQ(ReadU32LE(bytes.data(), bytes.size(), 32), 0u) << "the 32-bit total must be 0";
  link(ScanAll(probe).at("Big file.bin").DirKey + 1, 0xFFF)(bytes);
  test::WriteFileBytes(img, bytes);
  CLogFileManager::GetInstance().AddDirIndex();  // the probe's store stays in its own scan folder

  CFastFatRecovery engine;
  ASSERT_EQ(Init(engine, img), 0);
  EXPECT_EQ(g.type, FatType::kFat12);
  // 224 root entries take 14 sectors: the data area starts at 1 + 2 * 9 + 14.
  EXPECT_EQ(g.rootDirSectors, 14u);
  EXPECT_EQ(g.firstDataSector, 33u);
  const Found found = ScanAll(engine);
  // The rest of the big file comes from the clusters that follow, not from the root area.
  ExpectRecovered(engine, found, expected);
  std::vector<__SEARCH_FILE_INFO__> photos;
  engine.SearchFileNode(Ansi2Unicode(kPhotoExtensionList).c_str(), photos);
  ASSERT_EQ(photos.size(), 1u) << "the overwritten photo is hidden";
  EXPECT_STREQ(photos[0].FileName, "Kept picture.jpg");
  EXPECT_EQ(photos[0].IsHealthy, 1u);
  unsigned count = 0;
  ASSERT_EQ(engine.GetChildrenFileCount(nullptr, 0, count), 0);
  EXPECT_EQ(count, 5u) << "the count has no health filter";

  // The first free run starts where the deleted picture of Photos did and ends at the new file.
  ASSERT_EQ(engine.BuildBitMapInfo(), 0);
  ASSERT_EQ(g.totalSectors, 2880u);
  const uint32_t freed = found.at("Photos/Holiday picture 29.bin").DirKey;
  const auto newEntry = std::search(bytes.begin(), bytes.end(), std::begin("NEW     BIN"), std::end("NEW     BIN") - 1);
  const uint32_t taken = ReadU16LE(bytes.data(), bytes.size(), (newEntry - bytes.begin()) + kFatClusterLowOffset);
  unsigned long long sector = 0, runSectors = 0;
  EXPECT_EQ(engine.GetUnUsedSectorCount(sector, runSectors), 1);
  EXPECT_EQ(sector, g.ClusterToSector(freed));
  EXPECT_EQ(runSectors, g.ClusterToSector(taken) - g.ClusterToSector(freed));
  sector = g.totalSectors + 5;
  EXPECT_EQ(engine.GetUnUsedSectorCount(sector, runSectors), 1);
  EXPECT_EQ(sector, g.totalSectors);
  EXPECT_EQ(runSectors, 0u);

  // The Photos directory's chain, from its first cluster to its second.
  uint32_t first = 0, second = 0;
  for (uint32_t c = 2; c < 50 && first == 0; ++c) {
    const size_t at = static_cast<size_t>(g.ClusterToSector(c)) * 512;
    if (bytes[at] == '.' && bytes[at + 32] == '.') first = c;
  }
  ASSERT_EQ(engine.GetNextClusterNO(first, second), 0);
  ASSERT_TRUE(g.IsValidCluster(first) && g.IsValidCluster(second));
  const std::vector<uint8_t> noise = test::RandomBytes(static_cast<size_t>(g.sectorsPerFat) * 512, 77);
  const struct {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> change;
    bool scans;  // the scan itself must succeed
  } cases[] = {
      {"the second cluster links back to the first", link(second, first), true},
      {"a link far beyond the volume ends the chain", link(second, 0xFF0), true},
      {"random bytes over the whole FAT", [&](auto& b) { std::copy(noise.begin(), noise.end(), b.begin() + fat); },
       false},
      {"cut short after the FAT", [&](auto& b) { b.resize(g.firstDataSector * 512 + 1024); }, false},
  };
  CategorySelection all;
  ParseCategoryList("all", all);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> damaged = bytes;
    c.change(damaged);
    test::WriteFileBytes(img, damaged);
    CFastFatRecovery broken;
    ASSERT_EQ(Init(broken, img), 0);
    const int status = broken.ScanDevice(nullptr);
    EXPECT_TRUE(status == 0 || !c.scans);
    std::vector<__SEARCH_FILE_INFO__> hits;
    broken.SearchFileNode(BuildSearchKey(all).c_str(), hits);
    // Saves may fail; they must end.
    for (_FILE_NODE_& hit : hits) broken.SaveFileData(&hit, Utf8ToUtf16((dir_ / "damaged").c_str()).c_str(), 0);
  }

  // A boot record that is not FAT at all is refused.
  test::WriteFileBytes(img, std::vector<uint8_t>(1024 * 1024, 0));
  CFastFatRecovery blank;
  EXPECT_EQ(Init(blank, img), kStatusInvalidParameter);
  EXPECT_EQ(blank.ScanDevice(nullptr), kStatusInvalidParameter);
}

// The FAT32 camera card: short names come back in their writer's case, and a deleted one's lost
// first letter where the volume settles it ("!" where two letters are possible or nothing tells).
// On it also a deleted photo with a Chinese long name and a deleted tree of two levels.
TEST_F(FastFatTest, CameraCardNamesComeBackAsTheCardWroteThemWithDeletedTreesAndNonAsciiNames) {
  const std::string img = dir_ / "camera.img";
  std::map<std::string, std::string> deleted;
  ASSERT_TRUE(test::MakeCameraCard(dir_.path(), img, deleted));
  deleted.erase("P1020005.JPG");  // its folder's entry is gone: only a deep pass finds it
  const std::string chinese = "DCIM/\xE7\x85\xA7\xE7\x89\x87 Zo\xC3\xAB.jpg";  // "照片 Zoë.jpg"
  const std::string clip = "Trip/Day1/A rather long video file name.mp4", note = "Trip/Notes about the trip.txt";
  deleted[chinese] = test::JpegFile(dir_ / "chinese.jpg", "900x700");
  deleted[clip] = MakeFile("clip.bin", 1500000, 2);
  deleted[note] = MakeFile("note.bin", 513, 3);
  ASSERT_TRUE(test::Mtools(img, "mmd", "::/Trip ::/Trip/Day1"));
  for (const std::string& path : {chinese, clip, note}) ASSERT_TRUE(PutFile(img, deleted[path], "::/" + path));
  ASSERT_TRUE(test::Mtools(img, "mdel", "'::/" + chinese + "'") && test::Mtools(img, "mdeltree", "::/Trip"));

  CFastFatRecovery engine;
  ASSERT_EQ(Init(engine, img), 0);
  const Found found = ScanAll(engine);
  ExpectRecovered(engine, found, deleted);
  // The node keeps the name in the 8-bit code page: GB18030 bytes for the Chinese letters.
  ASSERT_TRUE(found.count(chinese));
  EXPECT_EQ(std::string(found.at(chinese).FileName), Utf8ToAnsi(chinese.substr(5).c_str()));

  // Saving the deleted folder copies its whole tree, first level before second.
  std::vector<_FILE_NODE_> root;
  ASSERT_EQ(engine.GetChildrenFileNode(nullptr, 0, root), 0);
  const auto trip =
      std::find_if(root.begin(), root.end(), [](const _FILE_NODE_& n) { return std::string(n.FileName) == "Trip"; });
  ASSERT_NE(trip, root.end());
  const std::string target = Save(engine, *trip);
  EXPECT_EQ(test::Sha256OfFile(target + "/Notes about the trip.txt"), test::Sha256OfFile(deleted[note]));
  EXPECT_EQ(test::Sha256OfFile(target + "/Day1/A rather long video file name.mp4"), test::Sha256OfFile(deleted[clip]));
}

}  // namespace
}  // namespace vorlenta
