// The scan result store against real files in a temporary support folder: the node buffer,
// the relation text, listings, counts, parent paths, category searches, reloads of sound and
// damaged files, and write errors.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "engine/categories.h"
#include "engine/log_file_manager.h"
#include "engine/scan_result_store.h"
#include "support/test_support.h"
#include "util/debug_log.h"
#include "util/platform.h"

namespace vorlenta {
namespace {

off_t SizeOf(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

_FILE_NODE_ MakeNode(const char* name, bool directory = false, uint32_t dirKey = 0, bool healthy = true) {
  _FILE_NODE_ node;
  std::memset(&node, 0, sizeof node);
  node.VolumeTag = 'C';
  node.SourceKind = kSourceDeepFat;
  node.IsDirectory = directory ? 1 : 0;
  node.IsHealthy = healthy ? 1 : 0;
  node.DirKey = dirKey;
  node.ClusterBytes = 4096;
  node.FileSize = 1000 + std::strlen(name);
  SetFileNodeName(node, name);
  return node;
}

std::vector<std::string> Names(const std::vector<_FILE_NODE_>& nodes) {
  std::vector<std::string> names;
  for (const _FILE_NODE_& n : nodes) names.emplace_back(n.FileName);
  return names;
}

std::vector<std::string> Sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());
  return v;
}

// Every test gets its own support folder and a fresh scan-log folder numbered 1.
class StoreTest : public ::testing::Test {
 protected:
  StoreTest() : env_("VORLENTA_SUPPORT_DIR", support_.path()) {
    SetDebugLogPath(support_ / "Log.txt");
    CLogFileManager::GetInstance().Init();
    CLogFileManager::GetInstance().AddDirIndex();
  }
  ~StoreTest() override { SetDebugLogPath(""); }

  std::string ScanFolder() const { return support_.path() + "/ScanLog/1/"; }

  test::TempDir support_;
  test::ScopedEnv env_;
};

TEST(RelationText, ParserKeepsWholeGroupsOnly) {
  // A real text cut at every length keeps the groups whose list closed before the cut.
  const std::string whole = " | 2 - [1,2,5] | 4294967301 - [7]";
  const RelationMap first{{2, {1, 2, 5}}}, both{{2, {1, 2, 5}}, {(1ull << 32) | 5, {7}}};
  for (size_t n = 0; n <= whole.size(); ++n) {
    RelationMap parsed;
    CScanResultFileManager::GetDirRelationMap(whole.data(), n, parsed);
    EXPECT_EQ(parsed, n == whole.size() ? both : n > whole.find(']') ? first : RelationMap{}) << n;
  }
  // A damaged group is dropped whole, and the group after it stays.
  const char* damaged[] = {
      " | 2 - [] | 3 - [4]",                      // an empty list names nothing
      " | 2 - [1,,2] | 3 - [4]",
      " | 2 - [1,x] | 3 - [4]",
      " | 2 - [4294967296] | 3 - [4]",            // index past 32 bits
      " | 99999999999999999999 - [1] | 3 - [4]",  // key past 64 bits
      " | 2 -[1] | 3 - [4]",
      "garbage | 3 - [4]tail | junk",
      " | 3 - [1] | 3 - [4]",                     // a later group replaces
  };
  for (const char* text : damaged) {
    RelationMap parsed;
    CScanResultFileManager::GetDirRelationMap(text, std::strlen(text), parsed);
    EXPECT_EQ(parsed, (RelationMap{{3, {4}}})) << '"' << text << '"';
  }
}

// A small tree: root holds top.JPG, b, A and folder "Dir1" (key 10); Dir1 holds folder "Sub"
// (key 20) and one.txt; Sub holds deep.txt and a damaged photo. Sub has no directory entry, so
// its name is found in the node file by its key. Then an orphan and a relation loop.
TEST_F(StoreTest, ListsCountsAndParentPaths) {
  CScanResultFileManager store;
  ASSERT_EQ(store.Init(u"Pro_Fat_tree"), 0);
  struct stat st;
  ASSERT_EQ(::stat(ScanFolder().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & S_IRWXU, static_cast<mode_t>(S_IRWXU)) << "the scan folder must be enterable";
  const struct {
    _FILE_NODE_ node;
    uint32_t depth, parent;
    const char* dirName;
  } tree[] = {{MakeNode("top.JPG"), 0, 2, nullptr},       {MakeNode("b"), 0, 2, nullptr},
              {MakeNode("A"), 0, 2, nullptr},             {MakeNode("Dir1", true, 10), 0, 2, "Dir1"},
              {MakeNode("Sub", true, 20), 1, 10, nullptr}, {MakeNode("one.txt"), 1, 10, nullptr},
              {MakeNode("deep.txt"), 2, 20, nullptr},     {MakeNode("broken.jpg", false, 0, false), 2, 20, nullptr}};
  for (auto t : tree) store.AddChildren(t.parent, t.depth, store.AppendFileNode(t.node), t.node.DirKey, t.dirName);
  auto list = [&](uint64_t key) {
    std::vector<_FILE_NODE_> nodes;
    EXPECT_EQ(store.GetChildrenFileNode(key, nodes), 0);
    return nodes;
  };
  EXPECT_EQ(list(0).size(), 4u) << "queries see the nodes still buffered";
  ASSERT_EQ(store.FlushBufToFile(), 0);
  auto pathOf = [&](const _FILE_NODE_& node, int expectedStatus = 0) {
    char16_t out[512];
    EXPECT_EQ(store.GetParentDirPath(&node, out, 512), expectedStatus);
    return std::u16string(out);
  };
  // Files first, names without regard to case, then folders.
  const std::vector<_FILE_NODE_> root = list(0);
  EXPECT_EQ(Names(root), (std::vector<std::string>{"A", "b", "top.JPG", "Dir1"}));
  EXPECT_EQ(Names(list(2)), Names(root));
  const std::vector<_FILE_NODE_> sub = list(MakeRelationKey(2, 20));
  EXPECT_EQ(Names(sub), (std::vector<std::string>{"deep.txt"})) << "the damaged photo is hidden";

  unsigned int count = 99;
  ASSERT_EQ(store.GetChildrenFileCount(0, count), 0);
  EXPECT_EQ(count, 6u) << "files of the whole tree, the damaged photo included";
  ASSERT_EQ(store.GetChildrenFileCount(MakeRelationKey(1, 10), count), 0);
  EXPECT_EQ(count, 3u);

  // Sub's name comes from the node file; the engines' listings check paths end to end.
  EXPECT_EQ(pathOf(sub[0]), u"Dir1/Sub/");

  // A file filed under a folder that exists nowhere: the path query reports it.
  _FILE_NODE_ orphan = MakeNode("orphan.txt");
  store.AddChildren(555, 3, store.AppendFileNode(orphan), 0, nullptr);
  ASSERT_EQ(store.FlushBufToFile(), 0);
  EXPECT_EQ(pathOf(orphan, 87), u"");

  // Folder P (key 5) holds Q (key 6) and Q holds P: a damaged relation ends the walk and the count.
  _FILE_NODE_ p = MakeNode("P", true, 5), q = MakeNode("Q", true, 6), leaf = MakeNode("leaf.txt");
  store.AddChildren(6, 1, store.AppendFileNode(p), 5, "P");
  store.AddChildren(5, 1, store.AppendFileNode(q), 6, "Q");
  store.AddChildren(5, 2, store.AppendFileNode(leaf), 0, nullptr);
  ASSERT_EQ(store.FlushBufToFile(), 0);
  EXPECT_EQ(pathOf(leaf), u"Q/P/");
  ASSERT_EQ(store.GetChildrenFileCount(MakeRelationKey(1, 5), count), 0);
  EXPECT_EQ(count, 0u);
}

std::u16string Wide(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

TEST_F(StoreTest, SearchByCategory) {
  CScanResultFileManager store;
  ASSERT_EQ(store.Init(u"File_Type_search"), 0);
  // A damaged photo is hidden from every search; other damaged files are not. Whole
  // extensions only: "ps" is no photo, though "psd" is.
  const std::pair<const char*, bool> files[] = {
      {"song.MP3", true},    {"a.jpg", true},       {"notes.rtf", true},    {"README", true},
      {"clip.rmvb", true},   {"x.rm", true},        {"scan.tif", true},     {"paper.PDF", true},
      {"odd.xyz", true},     {"dotted.", true},     {"damaged.jpg", false}, {"damaged.tiff", false},
      {"broken.", false},    {"damaged.txt", false}, {"damaged.ps", false}};
  for (const auto& [name, healthy] : files) {
    _FILE_NODE_ node = MakeNode(name, false, 0, healthy);
    store.AddChildren(0, 0, store.AppendFileNode(node), 0, nullptr);
  }
  _FILE_NODE_ folder = MakeNode("folder.jpg", true, 33);
  store.AddChildren(0, 0, store.AppendFileNode(folder), 33, "folder.jpg");

  const struct {
    std::string key;
    std::vector<std::string> found;
  } cases[] = {
      {kAudioExtensionList, {"song.MP3", "x.rm"}},
      {kPhotoExtensionList, {"a.jpg", "scan.tif"}},
      {kVideoExtensionList, {"clip.rmvb", "x.rm"}},
      {kOfficeExtensionList, {"paper.PDF", "damaged.txt", "damaged.ps"}},
      // Other: unknown extensions and names without one, never a known extension.
      {kOtherCategoryKey, {"README", "dotted.", "notes.rtf", "odd.xyz"}},
      {std::string(kArchiveExtensionList) + kExtendedOfficeArchiveList, {"notes.rtf", "paper.PDF"}},
  };
  for (const auto& c : cases) {
    std::vector<__SEARCH_FILE_INFO__> hits;
    ASSERT_EQ(store.SearchFileNodeInfo(Wide(c.key).c_str(), hits), 1) << c.key;
    EXPECT_EQ(Sorted(Names(hits)), Sorted(c.found)) << c.key;
    EXPECT_TRUE(std::is_sorted(hits.begin(), hits.end(), VectorCmp));
  }
}

// Damaged files from an earlier scan: whole parts load, the rest is ignored, and the next
// flush leaves each file exactly as long as what the store now holds.
TEST_F(StoreTest, ReloadSurvivesDamagedFilesAndFlushCutsThem) {
  const std::string base = ScanFolder() + "Pro_Ntfs_damaged";
  ASSERT_EQ(MakeDirectories(ScanFolder(), 0755), 0);
  std::vector<uint8_t> nodes;
  for (uint32_t i = 1; i <= 3; ++i) {
    _FILE_NODE_ node = MakeNode(("n" + std::to_string(i) + ".txt").c_str());
    node.FileIndex = i;
    uint8_t record[kFileNodeSize];
    EncodeFileNode(node, record);
    nodes.insert(nodes.end(), record, record + kFileNodeSize);
  }
  nodes.resize(nodes.size() + 100, 0xAB);  // a torn fourth record
  test::WriteFileBytes(base, nodes);
  // Stale tail of a longer earlier text, plus an index that names no record.
  // A key with the top bit set is written as a signed number.
  const std::string relation = " | 2 - [1,2,3,77] | -9223372036854775801 - [2] | 4294967305 - [3,4";
  test::WriteFileBytes(base + "_Relation", std::vector<uint8_t>(relation.begin(), relation.end()));
  std::vector<uint8_t> dirs(kDirFileInfoSize * 2 + 50, 0);
  _DIR_FILE_INFO_ info;
  std::memset(&info, 0, sizeof info);
  info.DirKey = 9;
  info.FileIndex = 3;
  std::memset(info.FileName, 'Z', sizeof info.FileName);  // no terminator at all
  EncodeDirFileInfo(info, dirs.data());
  info.DirKey = 10;
  EncodeDirFileInfo(info, dirs.data() + kDirFileInfoSize);
  test::WriteFileBytes(base + "_DirInfo", dirs);

  CScanResultFileManager store;
  ASSERT_EQ(store.Init(u"Pro_Ntfs_damaged"), 0);
  EXPECT_EQ(store.GetRelationMap(), (RelationMap{{2, {1, 2, 3, 77}}, {0x8000000000000007ull, {2}}}));
  ASSERT_EQ(store.GetDirInfoList().size(), 2u);
  EXPECT_EQ(std::strlen(store.GetDirInfoList()[0].FileName), kFileNameBytes - 1);
  EXPECT_EQ(store.GetFileIndex(), 3u);
  std::vector<_FILE_NODE_> children;
  ASSERT_EQ(store.GetChildrenFileNode(0, children), 0);
  EXPECT_EQ(Names(children), (std::vector<std::string>{"n1.txt", "n2.txt", "n3.txt"}));
  unsigned int count = 0;
  ASSERT_EQ(store.GetChildrenFileCount(0, count), 0);
  EXPECT_EQ(count, 3u);

  ASSERT_EQ(store.FlushBufToFile(), 0);
  EXPECT_EQ(test::ReadFileText(base + "_Relation"), " | 2 - [1,2,3,77] | -9223372036854775801 - [2]");
  EXPECT_EQ(SizeOf(base + "_DirInfo"), static_cast<off_t>(2 * kDirFileInfoSize));
  // The next node takes the torn record's place.
  _FILE_NODE_ node = MakeNode("n4.txt");
  ASSERT_EQ(store.AppendFileNode(node), 4u);
  ASSERT_EQ(store.FlushBufToFile(), 0);
  EXPECT_EQ(SizeOf(base), 4 * 344);
}

// Writes that fail: a result file that cannot grow (a full disk) reports EFBIG, also for root,
// who can write into any read-only folder; a link planted in place of a result file is refused.
TEST_F(StoreTest, WriteErrorsAreReported) {
  ASSERT_EQ(MakeDirectories(ScanFolder(), 0755), 0);
  ASSERT_EQ(::symlink("/dev/full", (ScanFolder() + "Fast_link").c_str()), 0);
  {
    CScanResultFileManager store;
    EXPECT_EQ(store.Init(u"Fast_link"), ELOOP);
  }
  for (bool relation : {false, true}) {
    SCOPED_TRACE(relation ? "full relation file" : "full node file");
    CScanResultFileManager store;
    ASSERT_EQ(store.Init(relation ? u"Fast_fullR" : u"Fast_fullN"), 0);
    uint32_t index[3];
    for (uint32_t& i : index) {
      _FILE_NODE_ node = MakeNode("x.jpg");
      i = store.AppendFileNode(node);
    }
    // The relation case writes its nodes first, so only the relation file meets the limit.
    ASSERT_EQ(relation ? store.FlushBufToFile() : 0, 0);
    for (uint32_t i : index) store.AddChildren(0, 0, i, 0, "x");
    test::FileSizeLimit limit(relation ? 1 : 100);
    ASSERT_TRUE(limit.ok());
    if (relation) {
      EXPECT_EQ(store.FlushRelationToFile(), EFBIG);
      EXPECT_EQ(SizeOf(store.GetNodeFilePath()), static_cast<off_t>(3 * kFileNodeSize));
    } else {
      EXPECT_EQ(store.FlushBufToFile(), EFBIG);
      // The flush stops at the node file: the relation file is not touched.
      EXPECT_EQ(SizeOf(store.GetRelationFilePath()), 0);
    }
  }
}

}  // namespace
}  // namespace vorlenta
