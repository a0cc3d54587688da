// The deep FAT engine driven as the deep pass drives it, over volumes made by mkfs.fat and
// mtools and then quick-formatted, wiped or reformatted: every file whose directory sector
// and data survive comes back byte for byte, with its long name and its folders.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>

#include "engine/log_file_manager.h"
#include "fat/fat_geometry.h"
#include "fat/professional_fat_recovery.h"
#include "support/deep_fat_driver.h"
#include "support/fat_image.h"
#include "support/found_files.h"
#include "support/test_support.h"
#include "util/endian.h"
#include "util/text.h"

namespace vorlenta {
namespace {

using test::PutFile;
using Expected = std::map<std::string, std::string>;  // path in the tree -> original file

class DeepFatTest : public test::FatEngineTest {
 protected:
  void Start(CProfessionalFatRecovery& engine, const std::string& img) {
    // A scan folder of its own: stores named in the same minute would meet in one folder.
    CLogFileManager::GetInstance().AddDirIndex();
    ASSERT_EQ(engine.Init(Utf8ToUtf16(img.c_str()).c_str(), u'D'), 0);
    ASSERT_EQ(engine.ClearProfessionalVec(nullptr), 0);
    ASSERT_EQ(engine.InitVirtualDbrInfo(), 0);
  }

  std::map<std::string, _FILE_NODE_> Found(CProfessionalFatRecovery& engine) {
    auto found = test::ListFoundFiles(engine);
    for (const auto& [path, node] : found) EXPECT_EQ(node.SourceKind, static_cast<uint32_t>(kSourceDeepFat)) << path;
    return found;
  }

  std::map<std::string, _FILE_NODE_> Scan(const std::string& img, CProfessionalFatRecovery& engine) {
    Start(engine, img);
    EXPECT_EQ(test::RunDeepFatPass(engine, img), 0);
    return Found(engine);
  }

  // Finds the 32-byte directory entry whose 11 name bytes are `name11` (any first byte when
  // `deleted`), and returns its offset in the image.
  static size_t FindEntry(const std::vector<uint8_t>& image, const char* name11, bool deleted) {
    for (size_t at = 0; at + kFatEntrySize <= image.size(); at += kFatEntrySize) {
      if (std::memcmp(&image[at + 1], name11 + 1, 10) == 0 &&
          (deleted ? image[at] == kFatDeletedMarker : image[at] == static_cast<uint8_t>(name11[0])) &&
          image[at + kFatAttrOffset] != kFatAttrLongName) {
        return at;
      }
    }
    return SIZE_MAX;
  }
};

// A FAT32 card of 512-byte clusters: a deleted folder of eight clusters between file data, a
// deleted photo beyond cluster 65535 whose entry lost its high cluster word, live files.
TEST_F(DeepFatTest, QuickFormattedOrWipedFat32CardGivesBackNamedFilesInTheirFolders) {
  const std::string card = dir_ / "card.img";
  ASSERT_TRUE(test::MakeFatVolume(card, 64 * 1024, "-F 32 -s 1"));
  ASSERT_TRUE(test::Mtools(card, "mmd", "::/Keep ::/Keep/Trip"));
  Expected trip;
  std::string sources;
  for (int i = 0; i < 40; ++i) {
    const std::string name = "Trip picture number " + std::to_string(10 + i) + ".bin";
    trip["Trip/" + name] = MakeFile(name, 600 + static_cast<size_t>(i) * 23, static_cast<uint64_t>(i));
    sources += " " + test::ShellQuote(trip["Trip/" + name]);
  }
  ASSERT_TRUE(test::Mtools(card, "mcopy", sources + " ::/Keep/Trip/"));
  const std::string notes = MakeFile("live notes.txt", 3000, 50);
  const std::string filler = MakeFile("filler.bin", 34u << 20, 51);
  const std::string photo = test::JpegFile(dir_ / "far photo.jpg", "300x200");
  const std::string gone = MakeFile("Root deleted.bin", 5000, 52);
  ASSERT_TRUE(PutFile(card, notes, "::/Keep/live notes.txt"));
  ASSERT_TRUE(PutFile(card, filler, "::/filler.bin"));
  ASSERT_TRUE(PutFile(card, photo, "::/Keep/far photo.jpg"));
  ASSERT_TRUE(PutFile(card, gone, "::/Root deleted.bin"));
  ASSERT_TRUE(test::Mtools(card, "mdel", "'::/Keep/far photo.jpg' '::/Root deleted.bin'"));
  ASSERT_TRUE(test::Mtools(card, "mdeltree", "::/Keep/Trip"));
  const std::vector<uint8_t> bytes = test::ReadFileBytes(card);
  FatGeometry fg;
  ASSERT_EQ(ParseFatGeometry(bytes.data(), bytes.size(), fg), 0);
  // Some systems clear the high cluster word on deletion.
  const size_t far = FindEntry(bytes, "FARPHO~1JPG", true);
  ASSERT_NE(far, SIZE_MAX);
  ASSERT_NE(bytes[far + kFatClusterHighOffset], 0) << "the photo must lie beyond cluster 65535";

  for (const bool wipe : {false, true}) {
    SCOPED_TRACE(wipe ? "boot, backup boot and FATs zeroed" : "quick format");
    std::vector<uint8_t> changed = bytes;
    changed[far + kFatClusterHighOffset] = changed[far + kFatClusterHighOffset + 1] = 0;
    if (wipe) {
      constexpr size_t kBackupBootSector = 6;
      std::fill_n(changed.begin(), 512, 0);
      std::fill_n(changed.begin() + kBackupBootSector * 512, 512, 0);
      std::fill(changed.begin() + fg.fatStartSector * 512, changed.begin() + fg.firstDataSector * 512, 0);
    }
    test::WriteFileBytes(card, changed);
    if (!wipe) {
      ASSERT_EQ(test::RunCommand("mkfs.fat -F 32 -s 1 " + test::ShellQuote(card) + " >/dev/null"), 0);
    }

    CProfessionalFatRecovery engine;
    const auto found = Scan(card, engine);
    // The root went with the quick format: its folder Keep (cluster 3) is a lost folder.
    const std::string keep = wipe ? "Keep/" : "LostFolder3/";
    Expected expected = {{keep + "live notes.txt", notes}, {keep + "far photo.jpg", photo}};
    for (const auto& [path, original] : trip) expected[keep + path] = original;
    if (wipe) {
      expected["filler.bin"] = filler;
      expected["Root deleted.bin"] = gone;
    }
    ExpectRecovered(engine, found, expected);

    // A folder saves whole, into enterable folders.
    std::vector<_FILE_NODE_> root;
    ASSERT_EQ(engine.GetChildrenFileNode(nullptr, 0, root), 0);
    const auto folder = std::find_if(root.begin(), root.end(),
                                     [&](const _FILE_NODE_& n) { return keep == n.FileName + std::string("/"); });
    ASSERT_NE(folder, root.end());
    EXPECT_EQ(test::Sha256OfFile(Save(engine, *folder) + "/Trip/Trip picture number 49.bin"),
              test::Sha256OfFile(trip["Trip/Trip picture number 49.bin"]));
  }
}

// FAT12 and FAT16 with their boot records: the fixed root area maps to the root; long names
// whose entries end exactly at a sector's end keep their names, whichever sector comes first;
// a long name whose checksum does not fit its entry is not used; data at cluster 0 is refused;
// a folder whose entry is gone and whose ".." names its own subfolder ends under the root.
TEST_F(DeepFatTest, Fat12AndFat16RootsLongNamesCutBySectorEndsAndParentLoops) {
  for (const bool fat16 : {false, true}) {
    SCOPED_TRACE(fat16 ? "FAT16" : "FAT12");
    const std::string img = dir_ / "small.img";
    ASSERT_TRUE(test::MakeFatVolume(img, fat16 ? 32 * 1024 : 1440, fat16 ? "-F 16 -s 4" : "-F 12"));
    ASSERT_TRUE(test::Mtools(img, "mmd", "::/Docs"));
    // "." and "..", then five names of three slots: the fifth's short entry opens sector 2.
    Expected pictures;
    for (int i = 1; i <= 6; ++i) {
      const std::string name = "Picture number 0" + std::to_string(i) + ".bin";
      pictures["Docs/" + name] = MakeFile(name, 1000 + static_cast<size_t>(i), 60 + static_cast<uint64_t>(i));
      ASSERT_TRUE(PutFile(img, pictures["Docs/" + name], "::/Docs/" + name));
    }
    pictures["Docs/PICTUR~2.BIN"] = pictures["Docs/Picture number 02.bin"];
    pictures.erase("Docs/Picture number 02.bin");
    const std::string letter = MakeFile("Root letter.txt", 2000, 70), inner = MakeFile("inner file.bin", 5000, 90);
    ASSERT_TRUE(PutFile(img, letter, "::/Root letter.txt"));
    ASSERT_TRUE(PutFile(img, letter, "::/Docs/report one.bin"));
    ASSERT_TRUE(PutFile(img, letter, "::/Docs/zeroed.bin"));
    ASSERT_TRUE(test::Mtools(img, "mmd", "::/Docs/Sub"));
    ASSERT_TRUE(PutFile(img, inner, "::/Docs/Sub/inner file.bin"));
    ASSERT_TRUE(test::Mtools(img, "mdel", "'::/Root letter.txt' '::/Docs/Picture number 03.bin'"));

    std::vector<uint8_t> bytes = test::ReadFileBytes(img);
    FatGeometry fg;
    ASSERT_EQ(ParseFatGeometry(bytes.data(), bytes.size(), fg), 0);
    const size_t head = FindEntry(bytes, ".          ", false);
    const size_t fifth = FindEntry(bytes, "PICTUR~5BIN", false);
    ASSERT_NE(fifth, SIZE_MAX);
    ASSERT_EQ(fifth % 512, 0u) << "the fifth short entry must open a sector";
    ASSERT_EQ(bytes[head + 512 - kFatEntrySize + kFatAttrOffset], kFatAttrLongName);
    // A long name whose checksum no longer fits (in the head, which no run test guards), and
    // a file that claims cluster 0.
    const size_t second = FindEntry(bytes, "PICTUR~2BIN", false);
    ASSERT_NE(second, SIZE_MAX);
    bytes[second - kFatEntrySize + kLfnChecksumOffset] ^= 0x5A;
    bytes[second - 2 * kFatEntrySize + kLfnChecksumOffset] ^= 0x5A;
    const size_t zeroed = FindEntry(bytes, "ZEROED  BIN", false);
    ASSERT_NE(zeroed, SIZE_MAX);
    bytes[zeroed + kFatClusterLowOffset] = bytes[zeroed + kFatClusterLowOffset + 1] = 0;
    test::WriteFileBytes(img, bytes);

    CProfessionalFatRecovery engine;
    Expected expected = pictures;
    expected["Root letter.txt"] = letter;
    expected["Docs/report one.bin"] = letter;
    expected["Docs/Sub/inner file.bin"] = inner;
    ExpectRecovered(engine, Scan(img, engine), expected);
    if (!fat16) continue;

    // The sector holding the short entry comes first and waits for the long name's start.
    CProfessionalFatRecovery reversed;
    Start(reversed, img);
    ASSERT_EQ(reversed.ParseFDTFileRecord(&bytes[fifth], fifth / 512), 0);
    ASSERT_EQ(reversed.ParseFatFileRecord(&bytes[head], head / 512), 0);
    ASSERT_EQ(reversed.DealProfessionalRecordVec(), 0);
    const uint32_t docs = static_cast<uint32_t>((head / 512 - fg.firstDataSector) / fg.sectorsPerCluster + 2);
    const std::string folder = "LostFolder" + std::to_string(docs) + "/";
    expected.clear();
    for (const auto& [path, original] : pictures) expected[folder + path.substr(5)] = original;
    expected[folder + "report one.bin"] = letter;
    ExpectRecovered(reversed, Found(reversed), expected);

    // Docs's ".." now names Sub, and the root that named Docs is gone: the walk from Sub ends on
    // the loop and hangs Sub, the folder that closes it, under the root.
    const size_t sub = FindEntry(bytes, "SUB        ", false);
    ASSERT_NE(sub, SIZE_MAX);
    std::copy_n(&bytes[sub + kFatClusterLowOffset], 2, &bytes[head + kFatEntrySize + kFatClusterLowOffset]);
    std::fill(bytes.begin() + fg.rootAreaSector * 512, bytes.begin() + fg.firstDataSector * 512, 0);
    test::WriteFileBytes(img, bytes);
    Expected underSub = {{"Sub/inner file.bin", inner}};
    for (const auto& [path, original] : expected) underSub["Sub/" + path] = original;
    CProfessionalFatRecovery looped;
    ExpectRecovered(looped, Scan(img, looped), underSub);
    unsigned count = 0;
    ASSERT_EQ(looped.GetChildrenFileCount(nullptr, 0, count), 0);
    EXPECT_EQ(count, underSub.size());
  }
}

// The deep pass over a whole camera card settles lost first letters from the names it meets,
// live ones included: 102_PANA's entry is gone, its photo is named after 100_PANA's. The card was
// made over an old volume of 1 KiB clusters: both geometries are kept apart, and each file is read
// with its own.
TEST_F(DeepFatTest, CameraCardOverAnOldVolumeGivesBackBothWithTheirLettersAndClusterSizes) {
  const std::string img = dir_ / "camera.img";
  ASSERT_TRUE(test::MakeFatVolume(img, 80 * 1024, "-F 32 -s 2"));  // the card keeps its first 64 MiB
  ASSERT_TRUE(PutFile(img, MakeFile("old filler.bin", 4u << 20, 80), "::/old filler.bin"));
  ASSERT_TRUE(test::Mtools(img, "mmd", "::/Old ::/Old/Sub"));
  const std::string one = MakeFile("old one.bin", 9000, 81), two = MakeFile("old two.bin", 20000, 82);
  ASSERT_TRUE(PutFile(img, one, "::/Old/old one.bin"));
  ASSERT_TRUE(PutFile(img, two, "::/Old/Sub/old two.bin"));
  Expected deleted;
  ASSERT_TRUE(test::MakeCameraCard(dir_.path(), img, deleted));

  CProfessionalFatRecovery engine;
  const auto found = Scan(img, engine);
  ASSERT_EQ(engine.GeometryCount(), 2u);
  std::string photo, old;
  for (const auto& [path, node] : found) {
    if (path.find("/P1020005.JPG") != std::string::npos) photo = path;
    if (path.find("/old one.bin") != std::string::npos) old = path.substr(0, path.find('/') + 1);
  }
  ASSERT_EQ(photo.rfind("DCIM/LostFolder", 0), 0u) << photo;
  ASSERT_EQ(old.rfind("LostFolder", 0), 0u) << old;
  deleted[photo] = deleted.at("P1020005.JPG");
  deleted.erase("P1020005.JPG");
  deleted[old + "old one.bin"] = one;
  deleted[old + "Sub/old two.bin"] = two;
  ExpectRecovered(engine, found, deleted, false);
}

// Geometry from two heads: exact division, an allowed cluster size, each sector with its own
// cluster, 64-bit sectors, and no data area before the scanned one.
TEST_F(DeepFatTest, HeadPairsGiveAGeometryOnlyWhenTheyFit) {
  const std::string img = dir_ / "blank.img";
  test::WriteFileBytes(img, std::vector<uint8_t>(4096, 0));
  constexpr uint64_t kFar = (0x0FFFFF00ull - 2) * 128 + 10;
  const struct {
    uint32_t c1;
    uint64_t s1;
    uint32_t c2;
    uint64_t s2;
    int result;
    uint32_t spc;
    uint64_t dataStart;
  } cases[] = {
      {5, 1016, 3, 1000, 1, 8, 992},
      {5, 1012, 3, 1000, 0, 0, 0},
      {10, 5000, 4, 4952, 1, 8, 4936},
      {4, 4952, 4, 5000, 0, 0, 0},
      {5, 1000, 3, 1016, 0, 0, 0},
      {100001, 201, 100000, 200, 0, 0, 0},
      {0x0FFFFF01, kFar + 128, 0x0FFFFF00, kFar, 1, 128, 10},
  };
  for (const auto& c : cases) {
    CProfessionalFatRecovery engine;
    Start(engine, img);
    EXPECT_EQ(engine.CalcVirtualDbr(c.c1, c.s1, c.c2, c.s2), c.result) << c.c1 << "@" << c.s1;
    __VIRTUAL_DBR_INFO__ dbr{};
    ASSERT_EQ(engine.GetVirtualDbrInfo(c.s1, c.c1, &dbr), c.result);
    if (c.result == 0) continue;
    EXPECT_EQ(dbr.SectorsPerCluster, c.spc);
    EXPECT_EQ(dbr.DataStartSector, c.dataStart);
    EXPECT_EQ(engine.GetNearestVirtualDbrInfo(c.s2 + c.spc - 1, c.c2, nullptr), 1);
    EXPECT_EQ(engine.GetNearestVirtualDbrInfo(c.s2 + c.spc, c.c2, nullptr), 0);
  }
}

}  // namespace
}  // namespace vorlenta
