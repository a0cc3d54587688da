// The relation-file parser over arbitrary bytes: it must never read past the text, and what it
// keeps must survive being written back and parsed again unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/scan_result_store.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vorlenta;
  RelationMap parsed;
  CScanResultFileManager::GetDirRelationMap(reinterpret_cast<const char*>(data), size, parsed);
  std::string text;
  for (const auto& [key, children] : parsed) {
    if (children.empty()) std::abort();
    AppendRelationGroup(text, key, children);
  }
  RelationMap again;
  CScanResultFileManager::GetDirRelationMap(text.data(), text.size(), again);
  if (again != parsed) std::abort();
  return 0;
}
