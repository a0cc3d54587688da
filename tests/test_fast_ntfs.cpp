// The fast NTFS engine on real volumes made by mkntfs and filled and emptied through ntfs-3g,
// with records built by hand only for what no tool makes: what it lists, what it recovers byte
// for byte, and how it copes with damage.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <tuple>

#include "engine/log_file_manager.h"
#include "ntfs/fast_ntfs_recovery.h"
#include "support/found_files.h"
#include "support/ntfs_image.h"
#include "support/test_support.h"
#include "util/text.h"

namespace vorlenta {
namespace {

namespace fs = std::filesystem;
using test::NtfsImage;
using test::NtfsMount;
using test::RawAttribute;

constexpr uint32_t kCluster = 4096;
constexpr uint32_t kTypeFileName = 0x30;
constexpr uint32_t kTypeData = 0x80;

class FastNtfsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {"mkntfs", "ntfscp", "ntfs-3g", "ntfscat", "losetup", "convert"}) VORLENTA_REQUIRE_TOOL(tool);
    support_ = std::make_unique<test::ScopedEnv>("VORLENTA_SUPPORT_DIR", dir_ / "support");
    CLogFileManager::GetInstance().Init();
    CLogFileManager::GetInstance().AddDirIndex();
  }

  // Every file the engine lists, by "directory path + name".
  std::map<std::string, _FILE_NODE_> ScanAll(IFileRecoveryParse& engine) {
    EXPECT_EQ(engine.ScanDevice(nullptr), 0);
    return test::ListFoundFiles(engine);
  }

  // Saves `node` into a fresh file and returns what was written, or the status on failure.
  std::vector<uint8_t> Recover(IFileRecoveryParse& engine, _FILE_NODE_ node, int* status = nullptr) {
    const std::string target = dir_ / ("out-" + std::to_string(++saves_));
    const int result = engine.SaveFileData(&node, Utf8ToUtf16(target.c_str()).c_str(), 0);
    if (status != nullptr) {
      *status = result;
    } else {
      EXPECT_EQ(result, 0) << node.FileName;
    }
    return test::ReadFileBytes(target);
  }

  // Each of `expected` is listed under its path and comes back byte for byte.
  void ExpectRecovered(IFileRecoveryParse& engine, const std::map<std::string, _FILE_NODE_>& found,
                       const std::map<std::string, std::vector<uint8_t>>& expected) {
    EXPECT_EQ(found.size(), expected.size());
    for (const auto& [path, bytes] : expected) {
      ASSERT_TRUE(found.count(path)) << path;
      EXPECT_EQ(Recover(engine, found.at(path)), bytes) << path;
    }
  }

  test::TempDir dir_;
  std::unique_ptr<test::ScopedEnv> support_;
  int saves_ = 0;
};

// Deleted files come back under their paths. Parents that are gone, reused, deleted or looping
// gather their files in LostFolders or keep the deleted directory's name, and the walk ends.
// Damaged records are skipped or give no data, and never take other files with them.
TEST_F(FastNtfsTest, DeletedFilesComeBackByteExactWithNamesAndPaths) {
  enum class Expect { kMissing, kListedNoData, kRecovered };
  auto attributeOf = [](const std::vector<uint8_t>& r, uint32_t type) {
    for (const RawAttribute& a : NtfsImage::Attributes(r)) {
      if (a.type == type) return a.offset;
    }
    return size_t{0};
  };
  // Each changes the raw record (sector ends in place) of one deleted file.
  const std::vector<std::tuple<const char*, std::function<void(std::vector<uint8_t>&)>, Expect>> damage = {
      {"torn second sector", [](std::vector<uint8_t>& r) { r[1022] ^= 0xFF; }, Expect::kRecovered},
      {"torn first sector", [](std::vector<uint8_t>& r) { r[510] ^= 0xFF; }, Expect::kMissing},
      {"data attribute running past the record",
       [&](std::vector<uint8_t>& r) { const size_t p = attributeOf(r, kTypeData); r[p + 4] = 0xF0; r[p + 5] = 0x03; },
       Expect::kListedNoData},
      {"run starting outside the volume",
       [&](std::vector<uint8_t>& r) {
         const size_t p = attributeOf(r, kTypeData) + 64;
         r[p + (r[p] & 0x0F) + (r[p] >> 4)] = 0x7F;
       },
       Expect::kListedNoData},
      {"name longer than its attribute",
       [&](std::vector<uint8_t>& r) { const size_t p = attributeOf(r, kTypeFileName); r[p + 24 + 64] = 200; },
       Expect::kMissing},
      {"bytes in use past the record", [](std::vector<uint8_t>& r) { r[24] = 0xFF; r[25] = 0xFF; },
       Expect::kRecovered},
  };
  auto damagedName = [](size_t i) { return "damaged" + std::to_string(i) + ".bin"; };
  const std::string img = dir_ / "vol.img";
  ASSERT_TRUE(test::MakeNtfsVolume(img, 32));
  const std::string foreignName = "\xC3\x9C" "berstunden \xE6\x97\xA5\xE6\x9C\xAC.bin";  // "Überstunden 日本.bin"
  std::map<std::string, std::vector<uint8_t>> expected = {
      {"notes.txt", test::ReadFileBytes(test::TextFile(dir_ / "notes.txt", 300))},
      {"photo.jpg", test::ReadFileBytes(test::JpegFile(dir_ / "photo.jpg"))},
      {foreignName, test::RandomBytes(40000, 1)},
      {"Docs/memo.txt", test::ReadFileBytes(test::TextFile(dir_ / "memo.txt", 9000))},
      {"Docs/Year 2024/report.bin", test::RandomBytes(70001, 2)},
      {"Gone/d.bin", test::RandomBytes(200, 4)},
  };
  const std::vector<uint8_t> lost = test::RandomBytes(9000, 5);
  const char* const lostFiles[] = {"Trip/a.bin", "Moved/c.bin", "LoopA/inside.bin"};
  uint32_t trip = 0;
  uint32_t moved = 0;
  uint32_t loop[2] = {};
  std::vector<uint32_t> damaged;
  {
    NtfsMount mount(img);
    ASSERT_TRUE(mount.ok());
    fs::create_directories(mount / "Docs/Year 2024");
    for (const char* dir : {"Other", "Trip", "Moved", "Gone", "LoopA", "LoopB"}) fs::create_directory(mount / dir);
    for (const auto& [path, bytes] : expected) test::WriteFileBytes(mount / path, bytes);
    // A named stream after the unnamed one: the content is the unnamed stream.
    ASSERT_EQ(::setxattr((mount / "notes.txt").c_str(), "user.Zone", "Zone=3", 6, 0), 0);
    for (const char* path : lostFiles) test::WriteFileBytes(mount / path, lost);
    for (size_t i = 0; i < damage.size(); ++i) test::WriteFileBytes(mount / damagedName(i), test::RandomBytes(6000, 40 + i));
    for (const char* live : {"keep.bin", "Docs/live.bin", "Other/also live.bin"}) {
      test::WriteFileBytes(mount / live, test::RandomBytes(5000, 3));
    }
    trip = mount.Record("Trip");
    moved = mount.Record("Moved");
    loop[0] = mount.Record("LoopA");
    loop[1] = mount.Record("LoopB");
    for (size_t i = 0; i < damage.size(); ++i) {
      damaged.push_back(mount.Record(damagedName(i)));
      ASSERT_TRUE(fs::remove(mount / damagedName(i)));
    }
    for (const auto& entry : expected) ASSERT_TRUE(fs::remove(mount / entry.first));
    for (const char* path : {lostFiles[0], lostFiles[1], lostFiles[2], "Gone"}) ASSERT_TRUE(fs::remove(mount / path));
  }
  {
    NtfsImage volume(img);
    // Trip's record is wiped; Moved's record now describes a file; the loops name each other.
    volume.WriteRawRecord(trip, std::vector<uint8_t>(1024, 0));
    std::vector<uint8_t> record = volume.ReadRecord(moved);
    record[22] = 1;
    volume.WriteRecord(moved, record);
    volume.SetParent(loop[0], loop[1]);
    volume.SetParent(loop[1], loop[0]);
    for (size_t i = 0; i < damage.size(); ++i) {
      std::vector<uint8_t> raw = volume.ReadRawRecord(damaged[i]);
      ASSERT_NE(attributeOf(raw, kTypeData), 0u);
      std::get<1>(damage[i])(raw);
      volume.WriteRawRecord(damaged[i], raw);
    }
  }
  const std::string tripFolder = "LostFolder" + std::to_string(trip);
  expected[tripFolder + "/a.bin"] = lost;
  expected["LostFolder" + std::to_string(moved) + "/c.bin"] = lost;

  auto engine = std::make_unique<CFastNtfsRecovery>();
  ASSERT_EQ(engine->Init(Utf8ToUtf16(img.c_str()).c_str(), u'N'), 0);
  auto found = ScanAll(*engine);
  for (size_t i = 0; i < damage.size(); ++i) {
    SCOPED_TRACE(std::get<0>(damage[i]));
    const Expect expect = std::get<2>(damage[i]);
    const auto it = found.find(damagedName(i));
    ASSERT_EQ(it != found.end(), expect != Expect::kMissing);
    if (it == found.end()) continue;
    int status = 0;
    const std::vector<uint8_t> bytes = Recover(*engine, it->second, &status);
    EXPECT_EQ(status == 0, expect == Expect::kRecovered);
    EXPECT_EQ(bytes, expect == Expect::kRecovered ? test::RandomBytes(6000, 40 + i) : std::vector<uint8_t>{});
    found.erase(it);
  }
  const auto inside = std::find_if(found.begin(), found.end(),
                                   [](const auto& entry) { return AnsiToUtf8(entry.second.FileName) == "inside.bin"; });
  ASSERT_NE(inside, found.end()) << "a file under a parent loop is still listed";
  EXPECT_EQ(Recover(*engine, inside->second), lost);
  found.erase(inside);
  ExpectRecovered(*engine, found, expected);
  for (const auto& entry : found) EXPECT_EQ(entry.second.IsHealthy, 1u) << entry.first;

  // The tree: Other leads to nothing deleted; a lost folder is saved like any directory.
  std::vector<_FILE_NODE_> root;
  ASSERT_EQ(engine->GetChildrenFileNode(nullptr, 0, root), 0);
  auto named = [&](const std::string& name) {
    return std::find_if(root.begin(), root.end(), [&](const _FILE_NODE_& n) { return AnsiToUtf8(n.FileName) == name; });
  };
  EXPECT_EQ(named("Other"), root.end());
  const auto tripNode = named(tripFolder);
  ASSERT_NE(tripNode, root.end());
  EXPECT_EQ(tripNode->DirKey, trip);
  ASSERT_EQ(engine->SaveFileData(&*tripNode, Utf8ToUtf16((dir_ / "lost-copy").c_str()).c_str(), 0), 0);
  EXPECT_EQ(test::ReadFileBytes(dir_ / "lost-copy/a.bin"), lost);
  ASSERT_NE(named("Docs"), root.end());
  _FILE_NODE_ docs = *named("Docs");

  // A directory save makes enterable folders and never overwrites.
  const std::string target = dir_ / "restored/Docs";
  fs::create_directories(target);
  test::WriteFileBytes(target + "/memo.txt", {'k', 'e', 'e', 'p'});
  ASSERT_EQ(engine->SaveFileData(&docs, Utf8ToUtf16(target.c_str()).c_str(), 0), 0);
  EXPECT_EQ(test::ReadFileBytes(target + "/memo.txt"), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
  EXPECT_EQ(test::ReadFileBytes(target + "/memo(1).txt"), expected.at("Docs/memo.txt"));
  EXPECT_EQ(test::ReadFileBytes(target + "/Year 2024/report.bin"), expected.at("Docs/Year 2024/report.bin"));
  EXPECT_EQ(::access((target + "/Year 2024").c_str(), R_OK | W_OK | X_OK), 0) << "folders are made enterable";

  // Preview: a photo goes to "tmp.jpg" in the scan log, other files into the buffer.
  _FILE_NODE_ shot = found.at("photo.jpg");
  char16_t temp[512] = {};
  unsigned char buffer[kPreviewBufferBytes];
  int size = sizeof buffer;
  ASSERT_EQ(engine->PreView(&shot, temp, buffer, size, nullptr, nullptr), 0);
  EXPECT_EQ(size, 0);
  EXPECT_EQ(Utf16ToUtf8(temp), dir_ / "support/ScanLog/tmp.jpg");
  EXPECT_EQ(test::ReadFileBytes(Utf16ToUtf8(temp)), expected.at("photo.jpg"));
  _FILE_NODE_ letter = found.at("Docs/memo.txt");
  temp[0] = 0;
  size = 100;
  ASSERT_EQ(engine->PreView(&letter, temp, buffer, size, nullptr, nullptr), 0);
  EXPECT_EQ(temp[0], 0);
  ASSERT_EQ(size, 100);
  EXPECT_TRUE(std::equal(buffer, buffer + 100, expected.at("Docs/memo.txt").begin()));
}

// What the driver writes for two files grown a cluster at a time in turn (a run list of 160
// runs, longer than a sector) and for a file written past a hole (a sparse run); and a file
// whose second run lies at the volume's end, past its size, so that a read of whole clusters
// would fail. The walk through unused space follows the volume's bitmap.
TEST_F(FastNtfsTest, FragmentedSparseAndShortFilesComeBackExactly) {
  const std::string img = dir_ / "runs.img";
  ASSERT_TRUE(test::MakeNtfsVolume(img, 32));
  std::vector<uint8_t> fragmented;
  const std::vector<uint8_t> head = test::RandomBytes(2 * kCluster, 7);
  const std::vector<uint8_t> tail = test::RandomBytes(2 * kCluster - 100, 8);
  const std::vector<uint8_t> early = test::RandomBytes(kCluster - 100, 9);
  uint32_t n = 0;
  {
    NtfsMount mount(img);
    ASSERT_TRUE(mount.ok());
    const int one = ::open((mount / "fragmented.bin").c_str(), O_WRONLY | O_CREAT, 0644);
    const int two = ::open((mount / "partner.bin").c_str(), O_WRONLY | O_CREAT, 0644);
    for (uint64_t i = 0; i < 160; ++i) {
      std::vector<uint8_t> cluster = test::RandomBytes(kCluster, 100 + i);
      ASSERT_EQ(::write(two, cluster.data(), cluster.size()), static_cast<ssize_t>(kCluster));
      if (i == 159) cluster.resize(kCluster - 1234);
      ASSERT_EQ(::write(one, cluster.data(), cluster.size()), static_cast<ssize_t>(cluster.size()));
      fragmented.insert(fragmented.end(), cluster.begin(), cluster.end());
    }
    const int holed = ::open((mount / "sparse.bin").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_EQ(::pwrite(holed, head.data(), head.size(), 0), static_cast<ssize_t>(head.size()));
    ASSERT_EQ(::pwrite(holed, tail.data(), tail.size(), 5 * kCluster), static_cast<ssize_t>(tail.size()));
    ASSERT_EQ(::close(one) | ::close(two) | ::close(holed), 0);
    test::WriteFileBytes(mount / "ends-early.bin", {});
    n = mount.Record("ends-early.bin");
    for (const char* name : {"fragmented.bin", "sparse.bin", "ends-early.bin"}) ASSERT_TRUE(fs::remove(mount / name));
  }
  NtfsImage volume(img);
  const uint64_t first = volume.FindFreeClusters(1, 3000);
  const uint64_t last = volume.clusters() - 16;
  ASSERT_FALSE(volume.ClusterUsed(last));
  volume.WriteClusters(first, early);
  std::vector<uint8_t> record = volume.ReadRecord(n);
  std::vector<RawAttribute> attributes = NtfsImage::Attributes(record);
  ASSERT_EQ(attributes.back().type, kTypeData);
  attributes.back() = test::NonResidentData(test::EncodeRuns({{first, 1}, {last, 1}}), early.size(), 2 * kCluster, 0, 1);
  NtfsImage::SetAttributes(record, attributes);
  volume.WriteRecord(n, record);
  // Cut off and presented as a disk of the volume's full size, as a damaged card would be:
  // only the first run of ends-early.bin can be read.
  ASSERT_EQ(::truncate(img.c_str(), static_cast<off_t>((last - 8) * kCluster)), 0);
  ASSERT_EQ(::symlink(img.c_str(), (dir_ / "disk0").c_str()), 0);
  test::ScopedEnv disks("VORLENTA_DISK_DIR", dir_.path());
  auto engine = std::make_unique<CFastNtfsRecovery>();
  ASSERT_EQ(engine->Init(0, 0, static_cast<long long>(volume.clusters()) * 8, u'C'), 0);
  unsigned long long sector = 100;
  unsigned long long count = 99;
  EXPECT_EQ(engine->GetUnUsedSectorCount(sector, count), 1);
  EXPECT_EQ(count, 0u) << "no bitmap built yet";
  const auto found = ScanAll(*engine);
  std::vector<uint8_t> sparse = head;
  sparse.resize(5 * kCluster);  // a sparse run reads as zeros
  sparse.insert(sparse.end(), tail.begin(), tail.end());
  ExpectRecovered(*engine, found, {{"fragmented.bin", fragmented}, {"sparse.bin", sparse}, {"ends-early.bin", early}});
  // The look-up the coordinator makes.
  std::vector<__RUNLIST__> decoded;
  ASSERT_EQ(engine->GetRunListInfo(static_cast<long long>(found.at("fragmented.bin").RecordSector), 0x80, decoded), 0);
  EXPECT_EQ(decoded.size(), 160u);

  // Walking from sector 3 visits exactly the free clusters of the volume's bitmap, keeping the
  // offset inside a cluster.
  ASSERT_EQ(engine->BuildBitMapInfo(), 0);
  unsigned long long at = 3;
  uint64_t visited = 0;
  for (int runs = 0; runs < 100000; ++runs) {
    unsigned long long run = 0;
    ASSERT_EQ(engine->GetUnUsedSectorCount(at, run), 1);
    if (run == 0) break;
    EXPECT_TRUE(runs > 0 || (at % 8 == 3 && volume.ClusterUsed(at / 8 - 1)));
    for (uint64_t c = at / 8; c < (at + run) / 8 && c < volume.clusters(); ++c) {
      EXPECT_FALSE(volume.ClusterUsed(c)) << c;
      ++visited;
    }
    at += run;
  }
  uint64_t freeClusters = 0;
  for (uint64_t c = 0; c < volume.clusters(); ++c) freeClusters += volume.ClusterUsed(c) ? 0 : 1;
  EXPECT_EQ(visited, freeClusters);
}

}  // namespace
}  // namespace vorlenta
