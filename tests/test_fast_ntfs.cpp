// The fast NTFS engine on real volumes made by mkntfs and filled by ntfscp, with files deleted
// the way the driver deletes them (record no longer in use, clusters free) and records built
// by hand for what no tool makes: what it lists, what it recovers byte for byte, and how it
// copes with damage.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "engine/log_file_manager.h"
#include "engine/status.h"
#include "ntfs/fast_ntfs_recovery.h"
#include "support/ntfs_image.h"
#include "support/found_files.h"
#include "support/test_support.h"
#include "util/text.h"

namespace vorlenta {
namespace {

using test::NtfsImage;
using test::RawAttribute;
using test::TestRun;

constexpr uint32_t kCluster = 4096;
constexpr uint32_t kTypeStandardInformation = 0x10;
constexpr uint32_t kTypeAttributeList = 0x20;
constexpr uint32_t kTypeFileName = 0x30;
constexpr uint32_t kTypeData = 0x80;

std::vector<uint8_t> Zeros(size_t n) { return std::vector<uint8_t>(n, 0); }

std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

class FastNtfsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {"mkntfs", "ntfscp", "convert"}) VORLENTA_REQUIRE_TOOL(tool);
    support_ = std::make_unique<test::ScopedEnv>("VORLENTA_SUPPORT_DIR", dir_ / "support");
    CLogFileManager::GetInstance().Init();
    CLogFileManager::GetInstance().AddDirIndex();
  }

  std::string Volume(const std::string& name, unsigned megabytes = 32) {
    const std::string image = dir_ / name;
    EXPECT_TRUE(test::MakeNtfsVolume(image, megabytes));
    return image;
  }

  std::string MakeFile(const std::string& name, size_t size, uint64_t seed) {
    return test::RandomFile(dir_ / name, size, seed);
  }
  std::string MakeText(const std::string& name, size_t size) { return test::TextFile(dir_ / name, size); }
  std::string MakeJpeg(const std::string& name) { return test::JpegFile(dir_ / name); }

  void Put(const std::string& image, const std::string& source, const std::string& target) {
    ASSERT_TRUE(test::NtfsCopy(image, source, target)) << target;
  }

  uint32_t MakeDir(const std::string& image, const std::string& path) {
    const uint32_t n = test::NtfsMakeDirectory(image, path);
    EXPECT_NE(n, 0u) << path;
    return n;
  }

  uint32_t Delete(const std::string& image, const std::string& name) {
    NtfsImage volume(image);
    const uint32_t n = volume.FindRecord(Utf8ToUtf16(name.c_str()));
    EXPECT_NE(n, 0u) << name;
    if (n != 0) volume.DeleteFile(n);
    return n;
  }

  std::unique_ptr<CFastNtfsRecovery> Open(const std::string& image) {
    auto engine = std::make_unique<CFastNtfsRecovery>();
    EXPECT_EQ(engine->Init(Utf8ToUtf16(image.c_str()).c_str(), u'N'), 0);
    return engine;
  }

  // Every file the engine lists, by "directory path + name".
  std::map<std::string, _FILE_NODE_> ScanAll(IFileRecoveryParse& engine, int expectedStatus = 0) {
    EXPECT_EQ(engine.ScanDevice(nullptr), expectedStatus);
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

  _FILE_NODE_ Child(IFileRecoveryParse& engine, _FILE_NODE_* parent, unsigned depth, const std::string& name) {
    std::vector<_FILE_NODE_> children;
    EXPECT_EQ(engine.GetChildrenFileNode(parent, depth, children), 0);
    for (const _FILE_NODE_& c : children) {
      if (AnsiToUtf8(c.FileName) == name) return c;
    }
    ADD_FAILURE() << "no child " << name;
    return _FILE_NODE_{};
  }

  // A deleted non-resident file `name` of `size` bytes, ready to be changed by hand.
  uint32_t PlaceholderRecord(const std::string& image, const std::string& name, size_t size, uint64_t seed,
                             std::string* host = nullptr) {
    const std::string source = MakeFile(name + ".src", size, seed);
    EXPECT_TRUE(test::NtfsCopy(image, source, name));
    if (host != nullptr) *host = source;
    NtfsImage volume(image);
    return volume.FindRecord(Utf8ToUtf16(name.c_str()));
  }

  test::TempDir dir_;
  std::unique_ptr<test::ScopedEnv> support_;
  int saves_ = 0;
};

TEST_F(FastNtfsTest, DeletedFilesComeBackByteExactWithNamesAndPaths) {
  const std::string img = Volume("vol.img");
  const std::string note = MakeText("notes.txt", 300);
  const std::string photo = MakeJpeg("photo.jpg");
  const std::string foreign = MakeFile("foreign.bin", 40000, 1);
  const std::string report = MakeFile("report.bin", 70001, 2);
  const std::string memo = MakeText("memo.txt", 9000);
  const std::string live = MakeFile("live.bin", 5000, 3);
  const std::string foreignName = "\xC3\x9C" "berstunden \xE6\x97\xA5\xE6\x9C\xAC.bin";  // "Überstunden 日本.bin"
  Put(img, note, "notes.txt");
  Put(img, photo, "photo.jpg");
  Put(img, foreign, foreignName);
  Put(img, live, "keep.bin");
  MakeDir(img, "Docs");
  MakeDir(img, "Docs/Year 2024");
  MakeDir(img, "Other");
  Put(img, report, "Docs/Year 2024/report.bin");
  Put(img, memo, "Docs/memo.txt");
  Put(img, live, "Docs/live.bin");
  Put(img, live, "Other/also live.bin");
  for (const char* name : {"notes.txt", "photo.jpg", "report.bin", "memo.txt"}) Delete(img, name);
  Delete(img, foreignName);

  auto engine = Open(img);
  const auto found = ScanAll(*engine);
  const std::map<std::string, std::string> expected = {
      {"notes.txt", note},
      {"photo.jpg", photo},
      {foreignName, foreign},
      {"Docs/memo.txt", memo},
      {"Docs/Year 2024/report.bin", report},
  };
  ASSERT_EQ(found.size(), expected.size());
  for (const auto& [path, original] : expected) {
    ASSERT_TRUE(found.count(path)) << path;
    EXPECT_EQ(Recover(*engine, found.at(path)), test::ReadFileBytes(original)) << path;
    EXPECT_EQ(found.at(path).IsHealthy, 1u) << path;
  }
  // The record sector holds the file's own record.
  const _FILE_NODE_& resident = found.at("notes.txt");
  const std::vector<uint8_t> raw = NtfsImage(img).ReadRawRecord(resident.DirKey);
  const std::vector<uint8_t> image = test::ReadFileBytes(img);
  ASSERT_LE(resident.RecordSector * 512 + raw.size(), image.size());
  EXPECT_TRUE(std::equal(raw.begin(), raw.end(), image.begin() + static_cast<long>(resident.RecordSector * 512)));

  // The tree: deleted files in the root, then Docs; Other leads to nothing deleted.
  std::vector<_FILE_NODE_> root;
  ASSERT_EQ(engine->GetChildrenFileNode(nullptr, 0, root), 0);
  ASSERT_EQ(root.size(), 4u);
  _FILE_NODE_ docs = root.back();
  EXPECT_EQ(std::string(docs.FileName), "Docs");

  // A directory save is breadth-first, makes enterable folders and never overwrites.
  std::vector<std::string> saved;
  engine->InitCallBack(
      nullptr,
      [](void* context, int percent, int, int failed, const char16_t* name) {
        if (percent == 100 && failed == 0) static_cast<std::vector<std::string>*>(context)->push_back(Utf16ToUtf8(name));
        return 0;
      },
      &saved, 100);
  const std::string target = dir_ / "restored/Docs";
  ASSERT_EQ(::mkdir((dir_ / "restored").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir(target.c_str(), 0755), 0);
  test::WriteFileBytes(target + "/memo.txt", {'k', 'e', 'e', 'p'});
  ASSERT_EQ(engine->SaveFileData(&docs, Utf8ToUtf16(target.c_str()).c_str(), 0), 0);
  EXPECT_EQ(test::ReadFileBytes(target + "/memo.txt"), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
  EXPECT_EQ(test::ReadFileBytes(target + "/memo(1).txt"), test::ReadFileBytes(memo));
  EXPECT_EQ(test::ReadFileBytes(target + "/Year 2024/report.bin"), test::ReadFileBytes(report));
  EXPECT_EQ(::access((target + "/Year 2024").c_str(), R_OK | W_OK | X_OK), 0) << "folders are made enterable";
  EXPECT_EQ(saved, (std::vector<std::string>{target + "/memo(1).txt", target + "/Year 2024/report.bin"}))
      << "the first level is written before the second";

  // Preview: a photo goes to "tmp.jpg" in the scan log, other files into the buffer.
  _FILE_NODE_ shot = found.at("photo.jpg");
  char16_t temp[512] = {};
  unsigned char buffer[kPreviewBufferBytes];
  int size = sizeof buffer;
  ASSERT_EQ(engine->PreView(&shot, temp, buffer, size, nullptr, nullptr), 0);
  EXPECT_EQ(size, 0);
  EXPECT_EQ(Utf16ToUtf8(temp), dir_ / "support/ScanLog/tmp.jpg");
  EXPECT_EQ(test::ReadFileBytes(Utf16ToUtf8(temp)), test::ReadFileBytes(photo));
  _FILE_NODE_ letter = found.at("Docs/memo.txt");
  char16_t none[512] = {};
  size = 100;
  ASSERT_EQ(engine->PreView(&letter, none, buffer, size, nullptr, nullptr), 0);
  EXPECT_EQ(none[0], 0);
  ASSERT_EQ(size, 100);
  EXPECT_TRUE(std::equal(buffer, buffer + 100, test::ReadFileBytes(memo).begin()));
}

// Parents that are gone, reused, deleted or looping: files gather in LostFolders or keep the
// deleted directory's name, and the parent walk ends.
TEST_F(FastNtfsTest, FilesWhoseDirectoryRecordIsGoneGatherInLostFolders) {
  const std::string img = Volume("lost.img");
  const std::string a = MakeFile("a.bin", 20000, 6);
  const std::string b = MakeText("b.txt", 200);
  const std::string c = MakeFile("c.bin", 9000, 7);
  const uint32_t trip = MakeDir(img, "Trip");
  const uint32_t moved = MakeDir(img, "Moved");
  const uint32_t gone = MakeDir(img, "Gone");
  const uint32_t loopA = MakeDir(img, "LoopA");
  const uint32_t loopB = MakeDir(img, "LoopB");
  Put(img, a, "Gone/d.bin");
  Put(img, a, "Trip/a.bin");
  Put(img, b, "Trip/b.txt");
  Put(img, c, "Moved/c.bin");
  Put(img, c, "LoopA/inside.bin");
  for (const char* name : {"a.bin", "b.txt", "c.bin", "d.bin", "inside.bin"}) Delete(img, name);
  {
    NtfsImage volume(img);
    // Gone was deleted with its file: its record keeps its name, no longer in use.
    std::vector<uint8_t> goneRecord = volume.ReadRecord(gone);
    goneRecord[22] = 2;
    volume.WriteRecord(gone, goneRecord);
    // Trip's record is wiped; Moved's record now describes a file.
    volume.WriteRawRecord(trip, std::vector<uint8_t>(1024, 0));
    std::vector<uint8_t> record = volume.ReadRecord(moved);
    record[22] = 1;
    std::vector<RawAttribute> kept;
    for (const RawAttribute& attribute : NtfsImage::Attributes(record)) {
      if (attribute.type != 0x90) kept.push_back(attribute);
    }
    NtfsImage::SetAttributes(record, kept);
    volume.WriteRecord(moved, record);
    // LoopA and LoopB name each other as their parent.
    for (const auto& [n, parent] : {std::pair<uint32_t, uint32_t>{loopA, loopB}, {loopB, loopA}}) {
      std::vector<uint8_t> loop = volume.ReadRecord(n);
      std::vector<RawAttribute> attributes = NtfsImage::Attributes(loop);
      for (RawAttribute& attribute : attributes) {
        if (attribute.type != kTypeFileName) continue;
        const size_t value = static_cast<size_t>(attribute.bytes[20] | (attribute.bytes[21] << 8));
        for (size_t i = 0; i < 4; ++i) attribute.bytes[value + i] = static_cast<uint8_t>(parent >> (8 * i));
      }
      NtfsImage::SetAttributes(loop, attributes);
      volume.WriteRecord(n, loop);
    }
  }

  auto engine = Open(img);
  auto found = ScanAll(*engine);
  const std::string tripFolder = "LostFolder" + std::to_string(trip);
  const std::map<std::string, std::string> expected = {
      {tripFolder + "/a.bin", a},
      {tripFolder + "/b.txt", b},
      {"LostFolder" + std::to_string(moved) + "/c.bin", c},
      {"Gone/d.bin", a},
  };
  const auto inside = std::find_if(found.begin(), found.end(),
                                   [](const auto& entry) { return AnsiToUtf8(entry.second.FileName) == "inside.bin"; });
  ASSERT_NE(inside, found.end()) << "a file under a parent loop is still listed";
  EXPECT_EQ(Recover(*engine, inside->second), test::ReadFileBytes(c));
  found.erase(inside);
  ASSERT_EQ(found.size(), expected.size());
  for (const auto& [path, original] : expected) {
    ASSERT_TRUE(found.count(path)) << path;
    EXPECT_EQ(Recover(*engine, found.at(path)), test::ReadFileBytes(original)) << path;
  }
  _FILE_NODE_ lost = Child(*engine, nullptr, 0, tripFolder);
  EXPECT_EQ(lost.IsDirectory, 1u);
  EXPECT_EQ(lost.DirKey, trip);
  // A lost folder is saved like any directory.
  const std::string target = dir_ / "lost-copy";
  ASSERT_EQ(engine->SaveFileData(&lost, Utf8ToUtf16(target.c_str()).c_str(), 0), 0);
  EXPECT_EQ(test::ReadFileBytes(target + "/a.bin"), test::ReadFileBytes(a));
}

// Records rebuilt by hand for what the tools do not make: a long fragmented run list, sparse
// runs, and a data attribute split over two records named by an attribute list.
TEST_F(FastNtfsTest, HandBuiltRunListsComeBackExactly) {
  const std::string img = Volume("runs.img");
  const uint32_t fragmented = PlaceholderRecord(img, "fragmented.bin", 10, 20);
  const uint32_t sparse = PlaceholderRecord(img, "sparse.bin", 10, 21);
  const uint32_t listed = PlaceholderRecord(img, "listed.bin", 10, 22);
  const uint32_t firstPiece = PlaceholderRecord(img, "piece1.bin", 10, 23);
  const uint32_t secondPiece = PlaceholderRecord(img, "piece2.bin", 10, 24);
  NtfsImage volume(img);
  auto dataOf = [](const std::vector<uint8_t>& record, uint32_t type) {
    for (const RawAttribute& a : NtfsImage::Attributes(record)) {
      if (a.type == type) return a;
    }
    return RawAttribute{};
  };
  // Rewrites `n` with its standard information and name, the extra attributes and `data`.
  auto rebuild = [&](uint32_t n, const std::vector<RawAttribute>& extra, const RawAttribute& data) {
    std::vector<uint8_t> record = volume.ReadRecord(n);
    std::vector<RawAttribute> attributes = {dataOf(record, kTypeStandardInformation)};
    attributes.insert(attributes.end(), extra.begin(), extra.end());
    attributes.push_back(dataOf(record, kTypeFileName));
    if (!data.bytes.empty()) attributes.push_back(data);
    NtfsImage::SetAttributes(record, attributes);
    record[22] = 0;  // deleted
    volume.WriteRecord(n, record);
  };
  const uint64_t area = volume.FindFreeClusters(400, 2000);
  ASSERT_NE(area, 0u);

  // 160 single clusters, every other one: a run list of more than 480 bytes.
  std::vector<TestRun> runs;
  std::vector<uint8_t> fragmentedBytes;
  for (uint64_t i = 0; i < 160; ++i) {
    const std::vector<uint8_t> cluster = test::RandomBytes(kCluster, 100 + i);
    volume.WriteClusters(area + 2 * i, cluster);
    runs.push_back({area + 2 * i, 1});
    fragmentedBytes.insert(fragmentedBytes.end(), cluster.begin(), cluster.end());
  }
  fragmentedBytes.resize(fragmentedBytes.size() - 1234);
  const std::vector<uint8_t> longList = test::EncodeRuns(runs);
  ASSERT_GE(longList.size() + 64, 512u);
  rebuild(fragmented, {}, test::NonResidentData(longList, fragmentedBytes.size(), 160 * kCluster, 0, 159));

  // Two clusters, three never written, two more; the file ends inside the last cluster.
  const uint64_t sparseAt = area + 330;
  const std::vector<uint8_t> head = test::RandomBytes(2 * kCluster, 7);
  const std::vector<uint8_t> tail = test::RandomBytes(2 * kCluster, 8);
  volume.WriteClusters(sparseAt, head);
  volume.WriteClusters(sparseAt + 5, tail);
  std::vector<uint8_t> sparseBytes = Concat({head, Zeros(3 * kCluster), tail});
  sparseBytes.resize(sparseBytes.size() - 100);
  rebuild(sparse, {},
          test::NonResidentData(test::EncodeRuns({{sparseAt, 2}, {0, 3, true}, {sparseAt + 5, 2}}), sparseBytes.size(),
                                7 * kCluster, 0, 6));

  // Clusters 0-2 of the stream in one record, 3-5 in another; the base holds only the list,
  // and its file name still says the file is empty.
  const uint64_t listAt = area + 350;
  const std::vector<uint8_t> listedBytes = test::RandomBytes(6 * kCluster - 77, 9);
  std::vector<uint8_t> padded = listedBytes;
  padded.resize(6 * kCluster);
  volume.WriteClusters(listAt, std::vector<uint8_t>(padded.begin(), padded.begin() + 3 * kCluster));
  volume.WriteClusters(listAt + 10, std::vector<uint8_t>(padded.begin() + 3 * kCluster, padded.end()));
  auto entry = [](uint32_t type, uint64_t vcn, uint32_t record) {
    std::vector<uint8_t> e(32, 0);
    for (int i = 0; i < 4; ++i) e[static_cast<size_t>(i)] = static_cast<uint8_t>(type >> (8 * i));
    e[4] = 32;
    e[7] = 0x1A;
    for (int i = 0; i < 8; ++i) e[8 + static_cast<size_t>(i)] = static_cast<uint8_t>(vcn >> (8 * i));
    for (int i = 0; i < 4; ++i) e[16 + static_cast<size_t>(i)] = static_cast<uint8_t>(record >> (8 * i));
    e[22] = 1;  // sequence number
    return e;
  };
  const std::vector<uint8_t> list = Concat({entry(kTypeStandardInformation, 0, listed), entry(kTypeFileName, 0, listed),
                                            entry(kTypeData, 0, firstPiece), entry(kTypeData, 3, secondPiece)});
  {
    std::vector<uint8_t> record = volume.ReadRecord(listed);
    RawAttribute name = dataOf(record, kTypeFileName);
    // The name attribute's size field says 0: only the data attribute knows the size.
    const size_t value = static_cast<size_t>(name.bytes[20] | (name.bytes[21] << 8));
    std::fill(name.bytes.begin() + static_cast<long>(value + 48), name.bytes.begin() + static_cast<long>(value + 56), 0);
    std::vector<RawAttribute> attributes = {dataOf(record, kTypeStandardInformation),
                                            test::ResidentAttribute(kTypeAttributeList, list), name};
    NtfsImage::SetAttributes(record, attributes);
    record[22] = 0;
    volume.WriteRecord(listed, record);
  }
  auto extension = [&](uint32_t n, const RawAttribute& data) {
    std::vector<uint8_t> record = volume.ReadRecord(n);
    for (int i = 0; i < 8; ++i) record[32 + static_cast<size_t>(i)] = static_cast<uint8_t>((uint64_t{listed} | (uint64_t{1} << 48)) >> (8 * i));
    NtfsImage::SetAttributes(record, {data});
    record[22] = 0;
    volume.WriteRecord(n, record);
  };
  extension(firstPiece, test::NonResidentData(test::EncodeRuns({{listAt, 3}}), listedBytes.size(), 6 * kCluster, 0, 2));
  extension(secondPiece, test::NonResidentData(test::EncodeRuns({{listAt + 10, 3}}), 0, 0, 3, 5));

  auto engine = Open(img);
  const auto found = ScanAll(*engine);
  ASSERT_EQ(found.size(), 3u) << "extension records are no files of their own";
  ASSERT_TRUE(found.count("fragmented.bin"));
  ASSERT_TRUE(found.count("sparse.bin"));
  ASSERT_TRUE(found.count("listed.bin"));
  EXPECT_EQ(Recover(*engine, found.at("fragmented.bin")), fragmentedBytes);
  EXPECT_EQ(Recover(*engine, found.at("sparse.bin")), sparseBytes) << "a sparse run reads as zeros";
  EXPECT_EQ(found.at("listed.bin").FileSize, listedBytes.size());
  EXPECT_EQ(Recover(*engine, found.at("listed.bin")), listedBytes);

  // The lookups the deep engine and the coordinator share.
  std::vector<__RUNLIST__> decoded;
  ASSERT_EQ(engine->GetRunListInfo(static_cast<long long>(found.at("fragmented.bin").RecordSector), 0x80, decoded), 0);
  ASSERT_EQ(decoded.size(), 160u);
  EXPECT_EQ(decoded[0].i64RunOffset, static_cast<int64_t>(area));
  EXPECT_EQ(decoded[1].i64RunOffset, 2);
  decoded.clear();
  ASSERT_EQ(engine->GetRunListInfo(static_cast<long long>(found.at("listed.bin").RecordSector), 0x80, decoded), 0);
  ASSERT_EQ(decoded.size(), 2u);
  EXPECT_EQ(decoded[0].i64RunOffset, static_cast<int64_t>(listAt));
  EXPECT_EQ(decoded[1].i64RunOffset, 10) << "the second record's list goes on from the first one's";
}

TEST_F(FastNtfsTest, ReadingStopsOnceTheFileIsWhole) {
  const std::string img = Volume("short.img");
  const uint32_t n = PlaceholderRecord(img, "ends-early.bin", 10, 30);
  NtfsImage volume(img);
  const uint64_t first = volume.FindFreeClusters(1, 3000);
  const uint64_t last = volume.clusters() - 16;
  ASSERT_FALSE(volume.ClusterUsed(last));
  const std::vector<uint8_t> data = test::RandomBytes(kCluster, 31);
  volume.WriteClusters(first, data);
  std::vector<uint8_t> record = volume.ReadRecord(n);
  std::vector<RawAttribute> attributes;
  for (const RawAttribute& a : NtfsImage::Attributes(record)) {
    if (a.type != kTypeData) attributes.push_back(a);
  }
  // The second run lies where the image below is cut off: reading it would fail.
  attributes.push_back(test::NonResidentData(test::EncodeRuns({{first, 1}, {last, 1}}), kCluster - 100, 2 * kCluster, 0, 1));
  NtfsImage::SetAttributes(record, attributes);
  record[22] = 0;
  volume.WriteRecord(n, record);
  ASSERT_EQ(::truncate(img.c_str(), static_cast<off_t>((last - 8) * kCluster)), 0);

  // Presented as a disk of the volume's full size, as a damaged card would be.
  ASSERT_EQ(::symlink(img.c_str(), (dir_ / "disk0").c_str()), 0);
  test::ScopedEnv disks("VORLENTA_DISK_DIR", dir_.path());
  CFastNtfsRecovery engine;
  ASSERT_EQ(engine.Init(0, 0, static_cast<long long>(volume.clusters()) * 8, u'C'), 0);
  const auto found = ScanAll(engine);
  ASSERT_TRUE(found.count("ends-early.bin"));
  EXPECT_EQ(Recover(engine, found.at("ends-early.bin")), std::vector<uint8_t>(data.begin(), data.end() - 100));
}

// Damaged records: each case changes one deleted file's record and says whether the file is
// still listed and whether its data still comes back whole.
TEST_F(FastNtfsTest, DamagedRecordsAreSkippedOrCutShort) {
  enum class Expect { kMissing, kListedNoData, kRecovered };
  struct Case {
    const char* what;
    std::function<void(std::vector<uint8_t>& raw, uint64_t volumeClusters)> damage;  // raw record, sector ends in place
    Expect expect;
  };
  auto firstAttribute = [](const std::vector<uint8_t>& r) { return static_cast<size_t>(r[20] | (r[21] << 8)); };
  auto attributeOf = [&](const std::vector<uint8_t>& r, uint32_t type) {
    size_t p = firstAttribute(r);
    while (p + 8 < r.size()) {
      const uint32_t t = static_cast<uint32_t>(r[p] | (r[p + 1] << 8) | (r[p + 2] << 16) | (static_cast<uint32_t>(r[p + 3]) << 24));
      const size_t length = static_cast<size_t>(r[p + 4] | (r[p + 5] << 8));
      if (t == type) return p;
      if (length == 0) break;
      p += length;
    }
    return size_t{0};
  };
  const std::vector<Case> cases = {
      {"torn second sector", [](std::vector<uint8_t>& r, uint64_t) { r[1022] ^= 0xFF; }, Expect::kRecovered},
      {"torn first sector", [](std::vector<uint8_t>& r, uint64_t) { r[510] ^= 0xFF; }, Expect::kMissing},
      {"first attribute past the record", [](std::vector<uint8_t>& r, uint64_t) { r[20] = 0xF0; r[21] = 0x0F; },
       Expect::kMissing},
      {"zero-length first attribute",
       [&](std::vector<uint8_t>& r, uint64_t) { const size_t p = firstAttribute(r); r[p + 4] = r[p + 5] = r[p + 6] = r[p + 7] = 0; },
       Expect::kMissing},
      {"data attribute running past the record",
       [&](std::vector<uint8_t>& r, uint64_t) { const size_t p = attributeOf(r, kTypeData); r[p + 4] = 0xF0; r[p + 5] = 0x03; },
       Expect::kListedNoData},
      {"run of absurd length",
       [&](std::vector<uint8_t>& r, uint64_t) {
         // Six length bytes of 0xFF and a one-byte offset fill the run list to its end.
         const size_t p = attributeOf(r, kTypeData) + 64;
         r[p] = 0x16;
         std::fill(r.begin() + static_cast<long>(p + 1), r.begin() + static_cast<long>(p + 7), 0xFF);
         r[p + 7] = 0x10;
       },
       Expect::kListedNoData},
      {"run starting outside the volume",
       [&](std::vector<uint8_t>& r, uint64_t) {
         const size_t p = attributeOf(r, kTypeData) + 64;
         const size_t lengthBytes = r[p] & 0x0F;
         r[p + 1 + lengthBytes + (r[p] >> 4) - 1] = 0x7F;
       },
       Expect::kListedNoData},
      {"name longer than its attribute",
       [&](std::vector<uint8_t>& r, uint64_t) { const size_t p = attributeOf(r, kTypeFileName); r[p + 24 + 64] = 200; },
       Expect::kMissing},
      {"bytes in use past the record", [](std::vector<uint8_t>& r, uint64_t) { r[24] = 0xFF; r[25] = 0xFF; },
       Expect::kRecovered},
  };
  const std::string img = Volume("damaged.img");
  std::vector<std::string> hosts(cases.size());
  std::vector<uint32_t> records;
  for (size_t i = 0; i < cases.size(); ++i) {
    records.push_back(PlaceholderRecord(img, "damaged" + std::to_string(i) + ".bin", 6000, 40 + i, &hosts[i]));
  }
  {
    NtfsImage volume(img);
    for (size_t i = 0; i < cases.size(); ++i) {
      volume.DeleteFile(records[i]);
      std::vector<uint8_t> raw = volume.ReadRawRecord(records[i]);
      ASSERT_EQ(raw[firstAttribute(raw)], kTypeStandardInformation);
      ASSERT_NE(attributeOf(raw, kTypeData), 0u);
      cases[i].damage(raw, volume.clusters());
      volume.WriteRawRecord(records[i], raw);
    }
  }
  auto engine = Open(img);
  const auto found = ScanAll(*engine);
  for (size_t i = 0; i < cases.size(); ++i) {
    const std::string name = "damaged" + std::to_string(i) + ".bin";
    SCOPED_TRACE(cases[i].what);
    if (cases[i].expect == Expect::kMissing) {
      EXPECT_FALSE(found.count(name));
      continue;
    }
    ASSERT_TRUE(found.count(name));
    int status = 0;
    const std::vector<uint8_t> bytes = Recover(*engine, found.at(name), &status);
    if (cases[i].expect == Expect::kRecovered) {
      EXPECT_EQ(status, 0);
      EXPECT_EQ(bytes, test::ReadFileBytes(hosts[i]));
    } else {
      EXPECT_NE(status, 0);
      EXPECT_TRUE(bytes.empty());
    }
  }
}

TEST_F(FastNtfsTest, BitmapGuidesTheWalkThroughUnusedSpace) {
  const std::string img = Volume("bitmap.img");
  Put(img, MakeFile("filler.bin", 300000, 60), "filler.bin");
  auto engine = Open(img);
  unsigned long long sector = 100;
  unsigned long long count = 99;
  EXPECT_EQ(engine->GetUnUsedSectorCount(sector, count), 1);
  EXPECT_EQ(count, 0u) << "no bitmap built yet";
  ASSERT_EQ(engine->BuildBitMapInfo(), 0);
  NtfsImage volume(img);
  const uint64_t volumeSectors = test::ReadFileBytes(img).size() / 512;
  // Inside a used cluster, whole clusters are skipped and the offset inside the cluster kept.
  unsigned long long inside = 3;
  unsigned long long length = 0;
  ASSERT_EQ(engine->GetUnUsedSectorCount(inside, length), 1);
  EXPECT_EQ(inside % 8, 3u);
  EXPECT_FALSE(volume.ClusterUsed(inside / 8));
  EXPECT_TRUE(volume.ClusterUsed(inside / 8 - 1));

  // Walking from sector 0 visits exactly the free clusters of the volume's bitmap.
  unsigned long long at = 0;
  uint64_t visited = 0;
  for (int runs = 0; runs < 100000 && at < volumeSectors; ++runs) {
    unsigned long long run = 0;
    ASSERT_EQ(engine->GetUnUsedSectorCount(at, run), 1);
    if (run == 0) break;
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
