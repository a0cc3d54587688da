// The scan result store an engine owns, and the queries every engine answers from it in the
// same way: children of a key, files below a key, node count, directory paths and searches.
#pragma once

#include <memory>
#include <vector>

#include "engine/recovery_parse.h"
#include "engine/scan_result_store.h"

namespace vorlenta {

class CEngineResults {
 public:
  // Replaces the store by a new one on the files of `resultName`. 0, or the store's status
  // (the engine then has no store).
  int Open(const char16_t* resultName);
  // The open store, or null before a successful Open.
  CScanResultFileManager* Store() { return m_store.get(); }
  const CScanResultFileManager* Store() const { return m_store.get(); }

  // Flushes, then lists (or counts the files below) the children filed under `key`.
  // Without a store: nothing, status 0.
  int Children(uint64_t key, std::vector<_FILE_NODE_>& out);
  int ChildrenCount(uint64_t key, unsigned int& count);
  // Puts everything written so far on disk. 0 without a store.
  int Flush();
  // Nodes written so far.
  unsigned int NodeCount() const;
  // The node's directory path; the empty path without a store.
  int ParentDirPath(const _FILE_NODE_* node, char16_t* out, int capacity);
  // Kept for this store and every later one.
  int SetSearchCallback(SearchCallback callback, void* context);
  // A search of the store by category key; nothing without a store.
  int Search(const char16_t* key, std::vector<__SEARCH_FILE_INFO__>& out);

 private:
  std::unique_ptr<CScanResultFileManager> m_store;
  SearchCallback m_searchCallback = nullptr;
  void* m_searchContext = nullptr;
};

}  // namespace vorlenta
