// Save, folder copy and preview as both FAT engines do them. The engines differ only in how a
// node's data is found (its FAT chain, or a contiguous run from its first cluster) and in how
// deep a folder's children are filed; they hand both in.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "engine/node_extraction.h"
#include "engine/recovery_parse.h"

namespace vorlenta {

// Largest cluster a copy buffer is made for.
constexpr int kMaxClusterBytes = 0x6400000;

class CFatExtraction {
 public:
  using ReadData = std::function<int(const _FILE_NODE_& node, uint64_t total, const DataPieceSink& sink)>;
  using FolderDepth = std::function<uint32_t(const _FILE_NODE_& folder)>;

  CFatExtraction(ReadData read, FolderDepth depth, CDirectoryTreeSave::ListChildren list)
      : m_read(std::move(read)), m_depth(std::move(depth)), m_list(std::move(list)) {}

  // One node: a file is copied to a new file at `target`, a folder is created and queued.
  int SaveDataToTargetFile(_FILE_NODE_* node, const char16_t* target, RecoveryCallback callback, void* context);
  // A file, or a folder with everything below it.
  int SaveFileData(_FILE_NODE_* node, const char16_t* target, RecoveryCallback callback, void* context);
  int PreView(_FILE_NODE_* node, char16_t* tempPath, unsigned char* buffer, int& size, PreviewCallback callback,
              void* context);

 private:
  ReadData m_read;
  FolderDepth m_depth;
  CDirectoryTreeSave::ListChildren m_list;
  CDirectoryTreeSave m_treeSave;
};

}  // namespace vorlenta
