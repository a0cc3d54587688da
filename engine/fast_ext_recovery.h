// Engine for ext volumes: recognised so the user is not told "unknown", but not parsed.
#pragma once

#include "engine/recovery_parse.h"

namespace vorlenta {

class CFastExtRecovery : public IFileRecoveryParse {
 public:
  CFastExtRecovery() = default;
  ~CFastExtRecovery() override;
  CFastExtRecovery(const CFastExtRecovery&) = delete;
  CFastExtRecovery& operator=(const CFastExtRecovery&) = delete;

  int Init(int diskNumber, long long startSector, long long sectorCount, char16_t volumeTag) override;
  int Init(const char16_t* path, char16_t volumeTag) override;
  int InitCallBack(ScanCallback, RecoveryCallback, void*, int) override { return 0; }
  int ScanDevice(const char16_t*) override { return 0; }
  int GetChildrenFileNode(_FILE_NODE_*, unsigned int, std::vector<_FILE_NODE_>&) override { return 0; }
  int GetChildrenFileCount(_FILE_NODE_*, unsigned int, unsigned int&) override { return 0; }
  unsigned int GetLostFileCount() override { return 0; }
  int GetFileNodeParentDirPath(_FILE_NODE_*, char16_t*, int) override { return 0; }
  int SaveFileData(_FILE_NODE_*, const char16_t*, int) override { return 0; }
  int GetUnUsedSectorCount(unsigned long long&, unsigned long long&) override { return 0; }
  int InitSearchCallBack(SearchCallback, void*) override { return 0; }
  int SearchFileNode(const char16_t*, std::vector<__SEARCH_FILE_INFO__>&) override { return 0; }
  int BuildBitMapInfo() override { return 0; }
  int PreView(_FILE_NODE_*, char16_t*, unsigned char*, int&, PreviewCallback, void*) override { return 0; }

  int Descriptor() const { return m_fd; }
  long long StartSector() const { return m_startSector; }
  long long SectorCount() const { return m_sectorCount; }

 private:
  int m_fd = -1;
  long long m_startSector = 0;
  long long m_sectorCount = 0;
};

}  // namespace vorlenta
