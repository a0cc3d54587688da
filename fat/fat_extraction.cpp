#include "fat/fat_extraction.h"

#include "engine/status.h"

namespace vorlenta {

int CFatExtraction::SaveDataToTargetFile(_FILE_NODE_* node, const char16_t* target, RecoveryCallback callback,
                                         void* context) {
  if (node == nullptr || target == nullptr) return kStatusInvalidParameter;
  if (node->IsDirectory != 0) return m_treeSave.QueueDirectory(*node, target, m_depth(*node));
  if (node->ClusterBytes > kMaxClusterBytes) return kStatusClusterTooLarge;
  const _FILE_NODE_& file = *node;
  return SaveNodeToNewFile(file, target, callback, context,
                           [&](uint64_t total, const DataPieceSink& sink) { return m_read(file, total, sink); });
}

int CFatExtraction::SaveFileData(_FILE_NODE_* node, const char16_t* target, RecoveryCallback callback, void* context) {
  if (node == nullptr || target == nullptr) return kStatusInvalidParameter;
  if (node->IsDirectory == 0) return SaveDataToTargetFile(node, target, callback, context);
  // The children of a folder are filed under its depth in the tree, not the destination's.
  return m_treeSave.SaveTree(*node, target, m_depth(*node), m_list, [&](_FILE_NODE_& child, const char16_t* to) {
    return SaveDataToTargetFile(&child, to, callback, context);
  });
}

int CFatExtraction::PreView(_FILE_NODE_* node, char16_t* tempPath, unsigned char* buffer, int& size,
                            PreviewCallback callback, void* context) {
  if (node == nullptr || tempPath == nullptr) return kStatusInvalidParameter;
  const _FILE_NODE_& file = *node;
  return PreviewNodeData(file, tempPath, buffer, size, callback, context,
                         [&](uint64_t total, const DataPieceSink& sink) { return m_read(file, total, sink); });
}

}  // namespace vorlenta
