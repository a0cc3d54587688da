// The on-disk store of one engine's scan results: the node file (344-byte _FILE_NODE_ records),
// the relation file (which nodes a directory holds, as text) and the directory-information
// file (264-byte records naming directories). Only the relation map and the directory list
// stay in memory; nodes are read back from the node file when asked for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/file_node.h"
#include "engine/recovery_parse.h"

namespace vorlenta {

constexpr size_t kDirFileInfoSize = 264;

// One named directory. Stored byte for byte in the directory-information file: encode and
// decode it only here.
struct _DIR_FILE_INFO_ {
  uint32_t DirKey;     // the directory's own key
  uint32_t FileIndex;  // its node's index in the node file
  char FileName[kFileNameBytes];
};

static_assert(sizeof(_DIR_FILE_INFO_) == kDirFileInfoSize, "the directory record is 264 bytes on disk");
static_assert(offsetof(_DIR_FILE_INFO_, DirKey) == 0, "directory record layout");
static_assert(offsetof(_DIR_FILE_INFO_, FileIndex) == 4, "directory record layout");
static_assert(offsetof(_DIR_FILE_INFO_, FileName) == 8, "directory record layout");

void EncodeDirFileInfo(const _DIR_FILE_INFO_& info, uint8_t out[kDirFileInfoSize]);
// The name comes back terminated, whatever the bytes hold.
void DecodeDirFileInfo(const uint8_t in[kDirFileInfoSize], _DIR_FILE_INFO_& info);

// New nodes wait in a buffer of exactly 200 records before they go to the node file.
constexpr uint32_t kNodeBufferRecords = 200;
constexpr uint32_t kNodeBufferCapacity = kNodeBufferRecords * static_cast<uint32_t>(kFileNodeSize);
constexpr const char* kRelationFileSuffix = "_Relation";
constexpr const char* kDirInfoFileSuffix = "_DirInfo";
// Longest result name, in 8-bit bytes with the terminator.
constexpr int kResultNameBytes = 256;
// Longest search key, in 8-bit bytes with the terminator.
constexpr int kSearchKeyBytes = 4096;
// Above this node-file size a search no longer offers the Other category: on a huge store it
// would list nearly every node.
constexpr uint64_t kOtherSearchMaxNodeBytes = 0x7FFFFFF;

// Relation key -> FileIndex of each child, in the order they were filed.
using RelationMap = std::map<uint64_t, std::vector<uint32_t>>;

// Appends the relation text of one entry: " | " key " - [" a "," b … "]", the key as a
// signed decimal number. An entry without children writes nothing.
void AppendRelationGroup(std::string& out, uint64_t key, const std::vector<uint32_t>& children);

class CScanResultFileManager {
 public:
  CScanResultFileManager();
  // Flushes, then closes the files; they stay on disk.
  ~CScanResultFileManager();
  CScanResultFileManager(const CScanResultFileManager&) = delete;
  CScanResultFileManager& operator=(const CScanResultFileManager&) = delete;

  // Opens (or creates) the three files of `resultName` in the current scan-log folder and
  // reloads what existing files hold. 0, 8 (no buffer), 87 (no name) or the errno of an open.
  int Init(const char16_t* resultName);

  // Room for a new node of `size` bytes (engines pass kFileNodeSize), zero-filled; null when
  // the store is not open or the size does not fit the buffer. The room is valid until the
  // next call. When the buffer is full its nodes go to the node file first.
  uint8_t* CreateFileNode(int size);
  // The node count: the FileIndex of the node created last.
  uint32_t GetFileIndex() const { return nodeCount_; }
  // CreateFileNode(kFileNodeSize), then sets node.FileIndex and encodes the node into the
  // room. Returns the new FileIndex, or 0 when there was no room.
  uint32_t AppendFileNode(_FILE_NODE_& node);

  // Files `childIndex` under (depth << 32) | parentKey; a non-null `childName` also records
  // the child as a named directory with key `childDirKey`.
  void AddChildren(uint32_t parentKey, uint32_t depth, uint32_t childIndex, uint32_t childDirKey,
                   const char* childName);

  // Writes the buffered nodes, then the relation file, then the directory file.
  int FlushBufToFile();
  // Rewrites the relation file whole, and cuts it to the new length. Does nothing when the
  // map has not changed since the last rewrite.
  int FlushRelationToFile();
  // Brings the directory file up to the list, and cuts it to the list's length.
  int FlushDirFileInfoVec();

  // Appends the children filed under `key` (0 = the smallest key, the root), without damaged
  // photos, and sorts `out` (files first, then names without case).
  int GetChildrenFileNode(uint64_t key, std::vector<_FILE_NODE_>& out);
  // Counts the files of the whole subtree under `key`, without any filter.
  int GetChildrenFileCount(uint64_t key, unsigned int& count);
  // The ancestors of `node`, nearest first, without the root.
  int GetParentFileNode(const _FILE_NODE_* node, std::vector<_FILE_NODE_>& chain);
  // The names of the ancestors, farthest first, each followed by "/", as wide text.
  int GetParentDirPath(const _FILE_NODE_* node, char16_t* out, int capacity);
  // Finds the directory node whose DirKey is `dirKey` by reading the node file. 87 if none.
  int GetFileNodeByClusterNO(uint32_t dirKey, _FILE_NODE_* out);
  // Parses relation text into `out`; groups that are not whole are ignored.
  static void GetDirRelationMap(const char* text, size_t length, RelationMap& out);

  int InitSearchCallBack(SearchCallback callback, void* context);
  // Appends the nodes of the categories in `key` (extension lists, "*.other" for the rest) and
  // sorts `out`. 1 when the node file was searched, 0 when it could not be opened.
  int SearchFileNodeInfo(const char16_t* key, std::vector<__SEARCH_FILE_INFO__>& out);

  const std::string& GetNodeFilePath() const { return nodePath_; }
  const std::string& GetRelationFilePath() const { return relationPath_; }
  const std::string& GetDirInfoFilePath() const { return dirInfoPath_; }
  const RelationMap& GetRelationMap() const { return relationMap_; }
  const std::vector<_DIR_FILE_INFO_>& GetDirInfoList() const { return dirInfoList_; }
  // How often the relation file has been rewritten, to keep an eye on flushes during a scan.
  uint64_t GetRelationWriteCount() const { return relationWrites_; }

 private:
  void CloseFiles();
  int WriteBufferedNodes();
  const std::vector<uint32_t>* FindEntry(uint64_t key) const;
  // Reads node `index` from the node file or the write buffer. `present` is false (status 0)
  // for an index that names no whole record.
  int ReadNode(uint32_t index, _FILE_NODE_& node, bool& present) const;
  void BuildParentIndex();

  uint32_t bufferedBytes_ = 0;
  uint32_t bufferCapacity_ = kNodeBufferCapacity;
  uint32_t nodeCount_ = 0;
  uint64_t totalNodeBytes_ = 0;
  std::unique_ptr<uint8_t[]> buffer_;
  // Node-file offset where the buffered nodes belong: each node stays at (FileIndex - 1) × 344
  // even when an earlier write failed.
  uint64_t nodeWriteOffset_ = 0;
  int nodeFd_ = -1;
  int relationFd_ = -1;
  int dirInfoFd_ = -1;
  SearchCallback searchCallback_ = nullptr;
  void* searchContext_ = nullptr;
  std::string nodePath_;
  std::string relationPath_;
  std::string dirInfoPath_;
  RelationMap relationMap_;
  std::vector<_DIR_FILE_INFO_> dirInfoList_;
  // First record of each DirKey in dirInfoList_, for parent lookups.
  std::unordered_map<uint32_t, size_t> dirInfoByKey_;
  const std::string& knownExtensions_;

  bool relationDirty_ = false;
  uint64_t relationWrites_ = 0;
  size_t dirInfoOnDisk_ = 0;     // records of dirInfoList_ already in the file
  uint64_t dirInfoFileBytes_ = 0;  // what the file holds, whole or not

  // Which entry first holds each FileIndex, built on the first parent query after a change.
  bool parentIndexStale_ = true;
  std::vector<uint64_t> entryKeys_;
  std::vector<uint32_t> entryOfIndex_;
};

}  // namespace vorlenta
