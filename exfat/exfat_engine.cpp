#include "exfat/exfat_engine.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "engine/status.h"
#include "exfat/exfat_volume.h"
#include "util/platform.h"
#include "util/text.h"

namespace vorlenta {

void FillNodeFromEntrySet(const ExfatEntrySet& set, _FILE_NODE_& node) {
  node.IsDirectory = set.directory ? 1 : 0;
  node.Reserved = (set.noFatChain ? kExfatRunNoFatChain : 0) | (set.inUse ? 0 : kExfatRunDeleted);
  node.DirKey = set.firstCluster;
  node.CreateTime = static_cast<uint64_t>(ExfatTimeToSeconds(set.createTime));
  node.AccessTime = static_cast<uint64_t>(ExfatTimeToSeconds(set.accessTime));
  node.WriteTime = static_cast<uint64_t>(ExfatTimeToSeconds(set.modifyTime));
  node.FileSize = set.directory ? 0 : set.dataLength;
  SetFileNodeName(node, Unicode2Ansi(set.name.c_str()).c_str());
}

CExfatEngine::CExfatEngine()
    : m_extraction([this](const _FILE_NODE_& node, uint64_t total,
                          const DataPieceSink& sink) { return ReadNodeData(node, total, sink); },
                   [this](const _FILE_NODE_& folder) { return FolderDepth(folder); },
                   [this](_FILE_NODE_& dir, uint32_t depth, std::vector<_FILE_NODE_>& out) {
                     return GetChildrenFileNode(&dir, depth, out);
                   }) {}

int CExfatEngine::PathSectors(const char16_t* path, std::string& utf8, long long& sectors) {
  if (path == nullptr) return kStatusInvalidParameter;
  utf8 = Utf16ToUtf8(path);
  const int fd = ::open(utf8.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  const int64_t size = GetDeviceSize(fd);
  const int err = errno;
  ::close(fd);
  if (size < 0) return err;
  sectors = size / kSectorSize;
  return 0;
}

uint32_t CExfatEngine::FolderDepth(const _FILE_NODE_& folder) {
  CScanResultFileManager* store = m_results.Store();
  if (store == nullptr) return 0;
  std::vector<_FILE_NODE_> chain;
  (void)store->GetParentFileNode(&folder, chain);
  return static_cast<uint32_t>(chain.size()) + 1;
}

int CExfatEngine::InitCallBack(ScanCallback scanCallback, RecoveryCallback recoveryCallback, void* context,
                               int weight) {
  m_scanCallback = scanCallback;
  m_recoveryCallback = recoveryCallback;
  m_context = context;
  m_weight = weight;
  return 0;
}

int CExfatEngine::GetChildrenFileNode(_FILE_NODE_* parent, unsigned int depth, std::vector<_FILE_NODE_>& out) {
  if (parent == nullptr && depth != 0) return kStatusInvalidParameter;
  const uint32_t key = parent == nullptr || parent->DirKey == 0 ? RootKey() : parent->DirKey;
  return m_results.Children(MakeRelationKey(depth, key), out);
}

int CExfatEngine::GetChildrenFileCount(_FILE_NODE_* parent, unsigned int depth, unsigned int& count) {
  count = 0;
  if (parent == nullptr && depth != 0) return kStatusInvalidParameter;
  const uint32_t key = parent == nullptr || parent->DirKey == 0 ? RootKey() : parent->DirKey;
  return m_results.ChildrenCount(MakeRelationKey(depth, key), count);
}

unsigned int CExfatEngine::GetLostFileCount() { return m_results.NodeCount(); }

int CExfatEngine::GetFileNodeParentDirPath(_FILE_NODE_* node, char16_t* out, int capacity) {
  return m_results.ParentDirPath(node, out, capacity);
}

int CExfatEngine::InitSearchCallBack(SearchCallback searchCallback, void* context) {
  return m_results.SetSearchCallback(searchCallback, context);
}

int CExfatEngine::SearchFileNode(const char16_t* key, std::vector<__SEARCH_FILE_INFO__>& out) {
  return m_results.Search(key, out);
}

int CExfatEngine::SaveFileData(_FILE_NODE_* node, const char16_t* targetPath, int /*destDepth*/) {
  return m_extraction.SaveFileData(node, targetPath, m_recoveryCallback, m_context);
}

int CExfatEngine::PreView(_FILE_NODE_* node, char16_t* tempPath, unsigned char* buffer, int& size,
                          PreviewCallback previewCallback, void* context) {
  return m_extraction.PreView(node, tempPath, buffer, size, previewCallback, context);
}

}  // namespace vorlenta
