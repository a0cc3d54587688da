// The interface every recovery engine presents to the window, the CLI and the coordinator.
#pragma once

#include <vector>

#include "engine/file_node.h"

namespace vorlenta {

// Progress reports. A non-zero answer asks the engine to stop; the operation returns it.
// secondsLeft is -1 while unknown; text is wide text (UTF-16, zero-terminated) or null.
using ScanCallback = int (*)(void* context, int percent, int weight, int secondsLeft,
                             unsigned long long currentSector, unsigned long long totalSectors,
                             unsigned long long filesFound, const char16_t* text);
// percent 100 reports one file done (failed non-zero if it could not be saved); phase 1000
// reports the end of the whole recovery. kStatusUserStop as answer means "stop".
using RecoveryCallback = int (*)(void* context, int percent, int phase, int failed, const char16_t* name);
using SearchCallback = int (*)(void* context, int percent, const char16_t* text);
using PreviewCallback = int (*)(void* context, int percent, int detail);

// Engine choice of the factory: fast reads only the volume's metadata.
enum RECOVERY_TYPE { kRecoveryFast = 0, kRecoveryProfessional = 1 };

// Room the window offers PreView for the first bytes of a file.
constexpr int kPreviewBufferBytes = 10240;

class IFileRecoveryParse {
 public:
  virtual int Init(int diskNumber, long long startSector, long long sectorCount, char16_t volumeTag) = 0;
  virtual int Init(const char16_t* path, char16_t volumeTag) = 0;
  virtual int InitCallBack(ScanCallback scanCallback, RecoveryCallback recoveryCallback, void* context,
                           int weight) = 0;
  virtual int ScanDevice(const char16_t* resultName) = 0;
  virtual int GetChildrenFileNode(_FILE_NODE_* parent, unsigned int qualifier, std::vector<_FILE_NODE_>& out) = 0;
  virtual int GetChildrenFileCount(_FILE_NODE_* parent, unsigned int qualifier, unsigned int& count) = 0;
  virtual unsigned int GetLostFileCount() = 0;
  virtual int GetFileNodeParentDirPath(_FILE_NODE_* node, char16_t* out, int capacity) = 0;
  virtual int SaveFileData(_FILE_NODE_* node, const char16_t* targetPath, int destDepth) = 0;
  virtual int GetUnUsedSectorCount(unsigned long long& a, unsigned long long& b) = 0;
  virtual int InitSearchCallBack(SearchCallback searchCallback, void* context) = 0;
  virtual int SearchFileNode(const char16_t* key, std::vector<__SEARCH_FILE_INFO__>& out) = 0;
  virtual int BuildBitMapInfo() = 0;
  // On entry `buffer` has room for `size` bytes and `tempPath` is empty; the engine returns
  // the first bytes of the file, or for a photo the path of a temporary copy in `tempPath`.
  virtual int PreView(_FILE_NODE_* node, char16_t* tempPath, unsigned char* buffer, int& size,
                      PreviewCallback previewCallback, void* context) = 0;
  virtual ~IFileRecoveryParse() = default;
};

}  // namespace vorlenta
