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

std::string ReadText(const std::string& path) {
  const std::vector<uint8_t> bytes = test::ReadFileBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

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

TEST_F(StoreTest, The201stNodeWritesTheFirst200Records) {
  CScanResultFileManager store;
  ASSERT_EQ(store.Init(u"File_Type_1"), 0);
  struct stat st;
  ASSERT_EQ(::stat(ScanFolder().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & S_IRWXU, static_cast<mode_t>(S_IRWXU)) << "the scan folder must be enterable";
  std::vector<uint8_t> expected;
  for (uint32_t i = 1; i <= 201; ++i) {
    _FILE_NODE_ node = MakeNode(("f" + std::to_string(i) + ".jpg").c_str());
    ASSERT_EQ(store.AppendFileNode(node), i);
    EXPECT_EQ(store.GetFileIndex(), i);
    store.AddChildren(0, 0, i, 0, nullptr);
    uint8_t record[kFileNodeSize];
    EncodeFileNode(node, record);
    if (i <= 200) expected.insert(expected.end(), record, record + kFileNodeSize);
    if (i == 200) {
      EXPECT_EQ(SizeOf(store.GetNodeFilePath()), 0) << "200 nodes still fit the buffer";
    }
  }
  const std::vector<uint8_t> written = test::ReadFileBytes(store.GetNodeFilePath());
  ASSERT_EQ(written.size(), 68800u);
  EXPECT_EQ(written, expected);
  // Creating nodes never rewrites the relation file: only an explicit flush does.
  EXPECT_EQ(SizeOf(store.GetRelationFilePath()), 0);
  EXPECT_EQ(store.GetRelationWriteCount(), 0u);
  // Queries see the 200 written nodes and the one still buffered.
  std::vector<_FILE_NODE_> children;
  ASSERT_EQ(store.GetChildrenFileNode(0, children), 0);
  ASSERT_EQ(children.size(), 201u);
  EXPECT_EQ(std::count_if(children.begin(), children.end(),
                          [](const _FILE_NODE_& n) { return std::strcmp(n.FileName, "f201.jpg") == 0; }),
            1);

  ASSERT_EQ(store.FlushBufToFile(), 0);
  EXPECT_EQ(SizeOf(store.GetNodeFilePath()), 201 * 344);
  EXPECT_EQ(store.GetRelationWriteCount(), 1u);
  // A flush with nothing new leaves the relation file alone.
  ASSERT_EQ(store.FlushBufToFile(), 0);
  EXPECT_EQ(store.GetRelationWriteCount(), 1u);
}

TEST_F(StoreTest, RelationTextIsExact) {
  CScanResultFileManager store;
  ASSERT_EQ(store.Init(u"Fast_1"), 0);
  for (const char* name : {"a.txt", "b.txt", "c.txt"}) {
    _FILE_NODE_ node = MakeNode(name);
    store.AppendFileNode(node);
  }
  store.AddChildren(2, 0, 1, 0, nullptr);
  store.AddChildren(2, 0, 2, 0, nullptr);
  store.AddChildren(9, 1, 3, 0, nullptr);
  ASSERT_EQ(store.FlushBufToFile(), 0);
  EXPECT_EQ(ReadText(store.GetRelationFilePath()), " | 2 - [1,2] | 4294967305 - [3]");

  // A key with the top bit set is written as a signed number and read back unchanged.
  store.AddChildren(7, 0x80000000u, 2, 0, nullptr);
  ASSERT_EQ(store.FlushRelationToFile(), 0);
  const std::string text = ReadText(store.GetRelationFilePath());
  EXPECT_EQ(text, " | 2 - [1,2] | 4294967305 - [3] | -9223372036854775801 - [2]");
  RelationMap parsed;
  CScanResultFileManager::GetDirRelationMap(text.data(), text.size(), parsed);
  EXPECT_EQ(parsed, store.GetRelationMap());
}

TEST(RelationText, ParserKeepsWholeGroupsOnly) {
  const uint64_t big = (1ull << 32) | 5;
  const struct {
    const char* text;
    RelationMap expected;
  } cases[] = {
      {" | 2 - [1,2,5] | 4294967301 - [7]", {{2, {1, 2, 5}}, {big, {7}}}},
      {"", {}},
      {" | ", {}},
      {" | 2 - [1,2", {}},                                   // torn inside the list
      {" | 2 - [1,2] | 4294967301 - [7", {{2, {1, 2}}}},     // torn last group
      {" | 2 - [1,2] | 42949", {{2, {1, 2}}}},               // torn key
      {" | 2 - [] | 3 - [4]", {{3, {4}}}},                   // an empty list names nothing
      {" | 2 - [1,,2] | 3 - [4]", {{3, {4}}}},
      {" | 2 - [1,x] | 3 - [4]", {{3, {4}}}},
      {" | 2 - [4294967296] | 3 - [4]", {{3, {4}}}},         // index past 32 bits
      {" | 99999999999999999999 - [1] | 3 - [4]", {{3, {4}}}},  // key past 64 bits
      {" | 2 - [1] | 2 - [3,4]", {{2, {3, 4}}}},             // a later group replaces
      {"garbage | 5 - [6]tail | junk", {{5, {6}}}},
      {" | 2 -[1] | 3 - [4]", {{3, {4}}}},
  };
  for (const auto& c : cases) {
    RelationMap parsed;
    CScanResultFileManager::GetDirRelationMap(c.text, std::strlen(c.text), parsed);
    EXPECT_EQ(parsed, c.expected) << '"' << c.text << '"';
  }
  // The length bounds the parse even when the bytes go on.
  const char text[] = " | 2 - [1,2] | 3 - [4]";
  RelationMap parsed;
  CScanResultFileManager::GetDirRelationMap(text, 12, parsed);
  EXPECT_EQ(parsed, (RelationMap{{2, {1, 2}}}));
}

// A small tree: root holds top.JPG, b, A and folder "Dir1" (key 10); Dir1 holds folder "Sub"
// (key 20) and one.txt; Sub holds deep.txt and a damaged photo.
class TreeStoreTest : public StoreTest {
 protected:
  void Build(CScanResultFileManager& store, bool nameDirectories = true) {
    ASSERT_EQ(store.Init(u"Pro_Fat_tree"), 0);
    Add(store, MakeNode("top.JPG"), 0, 2, nullptr);
    Add(store, MakeNode("b"), 0, 2, nullptr);
    Add(store, MakeNode("A"), 0, 2, nullptr);
    Add(store, MakeNode("Dir1", true, 10), 0, 2, nameDirectories ? "Dir1" : nullptr);
    Add(store, MakeNode("Sub", true, 20), 1, 10, nameDirectories ? "Sub" : nullptr);
    Add(store, MakeNode("one.txt"), 1, 10, nullptr);
    Add(store, MakeNode("deep.txt"), 2, 20, nullptr);
    Add(store, MakeNode("broken.jpg", false, 0, false), 2, 20, nullptr);
    ASSERT_EQ(store.FlushBufToFile(), 0);
  }
  void Add(CScanResultFileManager& store, _FILE_NODE_ node, uint32_t depth, uint32_t parent, const char* name) {
    const uint32_t index = store.AppendFileNode(node);
    ASSERT_NE(index, 0u);
    store.AddChildren(parent, depth, index, node.DirKey, name);
  }
  _FILE_NODE_ Child(CScanResultFileManager& store, uint64_t key, const char* name) {
    std::vector<_FILE_NODE_> children;
    EXPECT_EQ(store.GetChildrenFileNode(key, children), 0);
    for (const _FILE_NODE_& n : children) {
      if (std::strcmp(n.FileName, name) == 0) return n;
    }
    ADD_FAILURE() << "no " << name << " under " << key;
    return MakeNode("");
  }
  std::u16string PathOf(CScanResultFileManager& store, const _FILE_NODE_& node, int* status = nullptr) {
    char16_t out[512];
    const int st = store.GetParentDirPath(&node, out, 512);
    if (status != nullptr) *status = st;
    return out;
  }
};

TEST_F(TreeStoreTest, ListsCountsAndParentPaths) {
  CScanResultFileManager store;
  Build(store);
  std::vector<_FILE_NODE_> root;
  ASSERT_EQ(store.GetChildrenFileNode(0, root), 0);
  // Files first, names without regard to case, then folders.
  EXPECT_EQ(Names(root), (std::vector<std::string>{"A", "b", "top.JPG", "Dir1"}));
  std::vector<_FILE_NODE_> sameRoot;
  ASSERT_EQ(store.GetChildrenFileNode(2, sameRoot), 0);
  EXPECT_EQ(Names(sameRoot), Names(root));

  std::vector<_FILE_NODE_> sub;
  ASSERT_EQ(store.GetChildrenFileNode(MakeRelationKey(2, 20), sub), 0);
  EXPECT_EQ(Names(sub), (std::vector<std::string>{"deep.txt"})) << "the damaged photo is hidden";
  std::vector<_FILE_NODE_> none;
  ASSERT_EQ(store.GetChildrenFileNode(MakeRelationKey(5, 77), none), 0);
  EXPECT_TRUE(none.empty());

  unsigned int count = 99;
  ASSERT_EQ(store.GetChildrenFileCount(0, count), 0);
  EXPECT_EQ(count, 6u) << "files of the whole tree, the damaged photo included";
  ASSERT_EQ(store.GetChildrenFileCount(MakeRelationKey(1, 10), count), 0);
  EXPECT_EQ(count, 3u);

  const _FILE_NODE_ top = Child(store, 0, "top.JPG");
  EXPECT_EQ(PathOf(store, top), u"");
  const _FILE_NODE_ one = Child(store, MakeRelationKey(1, 10), "one.txt");
  EXPECT_EQ(PathOf(store, one), u"Dir1/");
  const _FILE_NODE_ deep = Child(store, MakeRelationKey(2, 20), "deep.txt");
  EXPECT_EQ(PathOf(store, deep), u"Dir1/Sub/");
  std::vector<_FILE_NODE_> chain;
  ASSERT_EQ(store.GetParentFileNode(&deep, chain), 0);
  ASSERT_EQ(chain.size(), 2u);
  EXPECT_STREQ(chain[0].FileName, "Sub");
  EXPECT_EQ(chain[0].FileIndex, 5u);
  EXPECT_STREQ(chain[1].FileName, "Dir1");
  EXPECT_EQ(store.GetParentFileNode(nullptr, chain), 87);
}

TEST_F(TreeStoreTest, ParentsWithoutNamesAreFoundInTheNodeFile) {
  CScanResultFileManager store;
  Build(store, /*nameDirectories=*/false);
  EXPECT_TRUE(store.GetDirInfoList().empty());
  const _FILE_NODE_ deep = Child(store, MakeRelationKey(2, 20), "deep.txt");
  EXPECT_EQ(PathOf(store, deep), u"Dir1/Sub/");
  _FILE_NODE_ found;
  ASSERT_EQ(store.GetFileNodeByClusterNO(20, &found), 0);
  EXPECT_STREQ(found.FileName, "Sub");
  EXPECT_EQ(found.FileIndex, 5u);
  EXPECT_EQ(store.GetFileNodeByClusterNO(4242, &found), 87);

  // A file filed under a folder that exists nowhere: the path query reports it.
  _FILE_NODE_ orphan = MakeNode("orphan.txt");
  store.AddChildren(555, 3, store.AppendFileNode(orphan), 0, nullptr);
  ASSERT_EQ(store.FlushBufToFile(), 0);
  int status = 0;
  EXPECT_EQ(PathOf(store, orphan, &status), u"");
  EXPECT_EQ(status, 87);
}

std::u16string Wide(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

TEST_F(StoreTest, SearchByCategory) {
  CScanResultFileManager store;
  ASSERT_EQ(store.Init(u"File_Type_search"), 0);
  for (const char* name : {"song.MP3", "a.jpg", "notes.rtf", "README", "clip.rmvb", "x.rm", "scan.tif", "paper.PDF",
                           "odd.xyz", "dotted."}) {
    _FILE_NODE_ node = MakeNode(name);
    store.AddChildren(0, 0, store.AppendFileNode(node), 0, nullptr);
  }
  // A damaged photo is hidden from every search; other damaged files are not.
  for (const char* name : {"damaged.jpg", "damaged.tiff", "broken."}) {
    _FILE_NODE_ node = MakeNode(name, false, 0, false);
    store.AddChildren(0, 0, store.AppendFileNode(node), 0, nullptr);
  }
  // Whole extensions only: "ps" is no photo, though "psd" is.
  for (const char* name : {"damaged.txt", "damaged.ps"}) {
    _FILE_NODE_ node = MakeNode(name, false, 0, false);
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
      {"", {}},
  };
  for (const auto& c : cases) {
    std::vector<__SEARCH_FILE_INFO__> hits;
    ASSERT_EQ(store.SearchFileNodeInfo(Wide(c.key).c_str(), hits), 1) << c.key;
    EXPECT_EQ(Sorted(Names(hits)), Sorted(c.found)) << c.key;
    EXPECT_TRUE(std::is_sorted(hits.begin(), hits.end(), VectorCmp));
  }
  // The listing filters damaged photos by whole extensions too.
  std::vector<_FILE_NODE_> listed;
  ASSERT_EQ(store.GetChildrenFileNode(0, listed), 0);
  const std::vector<std::string> names = Names(listed);
  EXPECT_NE(std::find(names.begin(), names.end(), "damaged.ps"), names.end());
  EXPECT_EQ(std::find(names.begin(), names.end(), "damaged.jpg"), names.end());
}

struct ProgressLog {
  std::vector<int> percents;
  int stopAfter = -1;
};

int RecordProgress(void* context, int percent, const char16_t* text) {
  auto* log = static_cast<ProgressLog*>(context);
  EXPECT_EQ(text, nullptr);
  log->percents.push_back(percent);
  return static_cast<int>(log->percents.size()) == log->stopAfter ? 1 : 0;
}

TEST_F(StoreTest, SearchReportsProgressPerChunkAndStops) {
  CScanResultFileManager store;
  ASSERT_EQ(store.Init(u"File_Type_progress"), 0);
  for (int i = 0; i < 500; ++i) {
    _FILE_NODE_ node = MakeNode(("p" + std::to_string(i) + ".png").c_str());
    store.AddChildren(0, 0, store.AppendFileNode(node), 0, nullptr);
  }
  ProgressLog all;
  store.InitSearchCallBack(&RecordProgress, &all);
  std::vector<__SEARCH_FILE_INFO__> hits;
  ASSERT_EQ(store.SearchFileNodeInfo(u"*.png|", hits), 1);
  EXPECT_EQ(hits.size(), 500u);
  // 500 records are three chunks: 200, 200, 100.
  EXPECT_EQ(all.percents, (std::vector<int>{40, 80, 100}));

  ProgressLog stopping;
  stopping.stopAfter = 1;
  store.InitSearchCallBack(&RecordProgress, &stopping);
  hits.clear();
  ASSERT_EQ(store.SearchFileNodeInfo(u"*.png|", hits), 1);
  EXPECT_EQ(hits.size(), 200u) << "a non-zero answer ends the reading after the first chunk";
}

TEST_F(StoreTest, OtherCategoryIsDroppedForAHugeNodeFile) {
  CScanResultFileManager store;
  ASSERT_EQ(store.Init(u"File_Type_huge"), 0);
  for (const char* name : {"README", "a.jpg"}) {
    _FILE_NODE_ node = MakeNode(name);
    store.AddChildren(0, 0, store.AppendFileNode(node), 0, nullptr);
  }
  ASSERT_EQ(store.FlushBufToFile(), 0);
  std::vector<__SEARCH_FILE_INFO__> hits;
  ASSERT_EQ(store.SearchFileNodeInfo(u"*.jpg|*.other", hits), 1);
  EXPECT_EQ(Sorted(Names(hits)), (std::vector<std::string>{"README", "a.jpg"}));

  // Grow the node file past 0x7FFFFFF bytes with empty (nameless) records, sparsely.
  ASSERT_EQ(::truncate(store.GetNodeFilePath().c_str(), 0x7FFFFFF + 1), 0);
  hits.clear();
  ASSERT_EQ(store.SearchFileNodeInfo(u"*.jpg|*.other", hits), 1);
  EXPECT_EQ(Names(hits), (std::vector<std::string>{"a.jpg"}));
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
  const std::string relation = " | 2 - [1,2,3,77] | 4294967305 - [3,4";
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
  EXPECT_EQ(store.GetRelationMap(), (RelationMap{{2, {1, 2, 3, 77}}}));
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
  EXPECT_EQ(ReadText(base + "_Relation"), " | 2 - [1,2,3,77]");
  EXPECT_EQ(SizeOf(base + "_DirInfo"), static_cast<off_t>(2 * kDirFileInfoSize));
  // The next node takes the torn record's place.
  _FILE_NODE_ node = MakeNode("n4.txt");
  ASSERT_EQ(store.AppendFileNode(node), 4u);
  ASSERT_EQ(store.FlushBufToFile(), 0);
  EXPECT_EQ(SizeOf(base), 4 * 344);
}

TEST_F(StoreTest, RelationLoopsEndTheParentWalk) {
  CScanResultFileManager store;
  ASSERT_EQ(store.Init(u"Pro_Fat_loop"), 0);
  // Folder P (key 5, index 2) holds Q (key 6, index 3) and Q holds P: a damaged relation.
  _FILE_NODE_ root = MakeNode("root.txt");
  store.AddChildren(0, 0, store.AppendFileNode(root), 0, nullptr);
  _FILE_NODE_ p = MakeNode("P", true, 5);
  _FILE_NODE_ q = MakeNode("Q", true, 6);
  store.AppendFileNode(p);
  store.AppendFileNode(q);
  store.AddChildren(6, 1, 2, 5, "P");
  store.AddChildren(5, 1, 3, 6, "Q");
  _FILE_NODE_ leaf = MakeNode("leaf.txt");
  store.AddChildren(5, 2, store.AppendFileNode(leaf), 0, nullptr);
  ASSERT_EQ(store.FlushBufToFile(), 0);
  char16_t path[512];
  ASSERT_EQ(store.GetParentDirPath(&leaf, path, 512), 0);
  EXPECT_EQ(std::u16string(path), u"Q/P/");
  unsigned int count = 0;
  ASSERT_EQ(store.GetChildrenFileCount(MakeRelationKey(1, 5), count), 0);
  EXPECT_EQ(count, 0u);
}

// Writes that fail: a result file that cannot grow (a full disk) reports EFBIG, also for root,
// who can write into any read-only folder; a link planted in place of a result file is refused.
TEST_F(StoreTest, WriteErrorsAreReported) {
  ASSERT_EQ(MakeDirectories(ScanFolder(), 0755), 0);
  ASSERT_EQ(::symlink("/dev/full", (ScanFolder() + "Fast_link").c_str()), 0);
  {
    CScanResultFileManager store;
    EXPECT_EQ(store.Init(Wide("Fast_link").c_str()), ELOOP);
  }
  for (const char* broken : {"", "_Relation"}) {
    SCOPED_TRACE(std::string("full file: node file") + broken);
    const std::string name = std::string("Fast_full") + (broken[0] ? "R" : "N");
    CScanResultFileManager store;
    ASSERT_EQ(store.Init(Wide(name).c_str()), 0);
    uint32_t index[3];
    for (uint32_t& i : index) {
      _FILE_NODE_ node = MakeNode("x.jpg");
      i = store.AppendFileNode(node);
    }
    if (broken[0] != '\0') {
      ASSERT_EQ(store.FlushBufToFile(), 0);
    }
    for (uint32_t i : index) store.AddChildren(0, 0, i, 0, "x");
    test::FileSizeLimit limit(broken[0] == '\0' ? 100 : 1);
    ASSERT_TRUE(limit.ok());
    if (broken[0] == '\0') {
      EXPECT_EQ(store.FlushBufToFile(), EFBIG);
      // The flush stops at the node file: the relation file is not touched.
      EXPECT_EQ(SizeOf(store.GetRelationFilePath()), 0);
    } else {
      EXPECT_EQ(store.FlushRelationToFile(), EFBIG);
      EXPECT_EQ(SizeOf(store.GetNodeFilePath()), 3 * 344);
    }
  }
}

}  // namespace
}  // namespace vorlenta
