// What both exFAT engines do the same way: the queries answered from their result store
// (listing, counts, paths, search), saves and previews through the shared extraction, and
// the node fields an entry set gives.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/engine_results.h"
#include "engine/recovery_parse.h"
#include "fat/fat_extraction.h"
#include "format/exfat_record.h"

namespace vorlenta {

// Largest directory exFAT allows (256 MiB); anything claiming more is damage.
constexpr uint64_t kExfatMaxDirectoryBytes = 0x10000000;

// Fills the node fields an entry set gives: name, size, times, first cluster, run flags.
void FillNodeFromEntrySet(const ExfatEntrySet& set, _FILE_NODE_& node);

class CExfatEngine : public IFileRecoveryParse {
 public:
  int InitCallBack(ScanCallback scanCallback, RecoveryCallback recoveryCallback, void* context, int weight) override;
  int GetChildrenFileNode(_FILE_NODE_* parent, unsigned int depth, std::vector<_FILE_NODE_>& out) override;
  int GetChildrenFileCount(_FILE_NODE_* parent, unsigned int depth, unsigned int& count) override;
  unsigned int GetLostFileCount() override;
  int GetFileNodeParentDirPath(_FILE_NODE_* node, char16_t* out, int capacity) override;
  int SaveFileData(_FILE_NODE_* node, const char16_t* targetPath, int destDepth) override;
  int InitSearchCallBack(SearchCallback searchCallback, void* context) override;
  int SearchFileNode(const char16_t* key, std::vector<__SEARCH_FILE_INFO__>& out) override;
  int PreView(_FILE_NODE_* node, char16_t* tempPath, unsigned char* buffer, int& size, PreviewCallback previewCallback,
              void* context) override;

 protected:
  CExfatEngine();
  // The key the root's children are filed under.
  virtual uint32_t RootKey() const = 0;
  // Delivers the first `total` bytes of a node's data to `sink`; 0 or a status.
  virtual int ReadNodeData(const _FILE_NODE_& node, uint64_t total, const DataPieceSink& sink) = 0;
  // The size in 512-byte sectors of the device or image at `path`, and the path as UTF-8.
  // 0 or the errno of the open.
  static int PathSectors(const char16_t* path, std::string& utf8, long long& sectors);

  CEngineResults m_results;
  ScanCallback m_scanCallback = nullptr;
  RecoveryCallback m_recoveryCallback = nullptr;
  void* m_context = nullptr;
  int m_weight = 0;

 private:
  // Directory levels between a listed folder and the root, from the folders above it.
  uint32_t FolderDepth(const _FILE_NODE_& folder);

  CFatExtraction m_extraction;
};

}  // namespace vorlenta
