// What every engine does the same way once it can read a node's data: copy it into a new
// file that never overwrites anything, preview it into memory or into a temporary photo file,
// and copy a found directory tree breadth-first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "engine/file_node.h"
#include "engine/recovery_parse.h"

namespace vorlenta {

// Phase of the recovery callback's per-file reports.
constexpr int kRecoveryPhaseFile = 100;

// Receives the next piece of a node's data; a non-zero answer stops the reading and is
// returned by it.
using DataPieceSink = std::function<int(const uint8_t* data, size_t length)>;
// Delivers the first `total` bytes of a node's data, in order, to the sink; 0 or a status.
using NodeDataReader = std::function<int(uint64_t total, const DataPieceSink& sink)>;

// Writes node.FileSize bytes from `read` into a new file at the UTF-16 path `target`, or at
// target(1).ext … when that name is taken. Reports each piece (percent, phase 100, status,
// the path used) and an error once more at percent 100. 0, an errno, a read status, or a
// non-zero callback answer.
int SaveNodeToNewFile(const _FILE_NODE_& node, const char16_t* target, RecoveryCallback callback, void* context,
                      const NodeDataReader& read);

// The preview of a node: a photo (by extension) goes whole to "tmp." + extension in the
// scan-log folder, whose path is returned in `tempPath`; anything else fills `buffer` with at
// most `size` bytes and `size` becomes the count. A failed file preview deletes its file.
int PreviewNodeData(const _FILE_NODE_& node, char16_t* tempPath, unsigned char* buffer, int& size,
                    PreviewCallback callback, void* context, const NodeDataReader& read);

// One directory still to copy in a breadth-first directory save: the node, the folder it
// goes to, and the depth under which the store keeps its children.
struct __FILE_DATA_RECOVERY__ {
  _FILE_NODE_ node;
  std::u16string targetPath;
  uint32_t childDepth;
};

// The breadth-first copy of a directory tree. One engine owns one; a save runs at a time.
class CDirectoryTreeSave {
 public:
  using ListChildren = std::function<int(_FILE_NODE_& directory, uint32_t depth, std::vector<_FILE_NODE_>& out)>;
  using SaveChild = std::function<int(_FILE_NODE_& child, const char16_t* target)>;

  // A directory met while saving: creates the folder `target` (enterable, an existing one is
  // fine) and queues it behind the others. 0 or the errno of the mkdir.
  int QueueDirectory(const _FILE_NODE_& node, const char16_t* target, uint32_t childDepth);
  // Copies everything below `node` into the folder `target`: each queued directory is listed
  // with `list` and each child saved with `save` (which queues child directories through
  // QueueDirectory). A child answering kStatusUserStop ends the copy. The result is the status
  // of the last child saved, or of the last listing that failed.
  int SaveTree(const _FILE_NODE_& node, const char16_t* target, uint32_t childDepth, const ListChildren& list,
               const SaveChild& save);
  // The same, listing each directory through the engine's own children query.
  int SaveTree(IFileRecoveryParse& engine, const _FILE_NODE_& node, const char16_t* target, uint32_t childDepth,
               const SaveChild& save);

 private:
  std::deque<__FILE_DATA_RECOVERY__> m_queue;
  std::u16string m_currentDest;
};

}  // namespace vorlenta
