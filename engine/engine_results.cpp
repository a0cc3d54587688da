#include "engine/engine_results.h"

#include "engine/status.h"

namespace vorlenta {

int CEngineResults::Open(const char16_t* resultName) {
  m_store = std::make_unique<CScanResultFileManager>();
  const int status = m_store->Init(resultName);
  if (status != 0) {
    m_store.reset();
    return status;
  }
  m_store->InitSearchCallBack(m_searchCallback, m_searchContext);
  return 0;
}

int CEngineResults::Children(uint64_t key, std::vector<_FILE_NODE_>& out) {
  if (m_store == nullptr) return 0;
  m_store->FlushBufToFile();
  return m_store->GetChildrenFileNode(key, out);
}

int CEngineResults::ChildrenCount(uint64_t key, unsigned int& count) {
  count = 0;
  if (m_store == nullptr) return 0;
  m_store->FlushBufToFile();
  return m_store->GetChildrenFileCount(key, count);
}

int CEngineResults::Flush() { return m_store != nullptr ? m_store->FlushBufToFile() : 0; }

unsigned int CEngineResults::NodeCount() const { return m_store != nullptr ? m_store->GetFileIndex() : 0; }

int CEngineResults::ParentDirPath(const _FILE_NODE_* node, char16_t* out, int capacity) {
  if (node == nullptr || out == nullptr) return kStatusInvalidParameter;
  if (m_store == nullptr) {
    if (capacity > 0) out[0] = 0;
    return 0;
  }
  return m_store->GetParentDirPath(node, out, capacity);
}

int CEngineResults::SetSearchCallback(SearchCallback callback, void* context) {
  m_searchCallback = callback;
  m_searchContext = context;
  if (m_store != nullptr) m_store->InitSearchCallBack(callback, context);
  return 0;
}

int CEngineResults::Search(const char16_t* key, std::vector<__SEARCH_FILE_INFO__>& out) {
  if (m_store == nullptr) return 0;
  return m_store->SearchFileNodeInfo(key, out);
}

}  // namespace vorlenta
