// The process-wide detection context: the only definitions of CFileTypeJudge's static state.
#include "format/file_type_judge.h"

namespace vorlenta {

int CFileTypeJudge::m_nBytesPerSector = 512;
CDiskReader* CFileTypeJudge::m_pDiskReader = nullptr;
uint64_t CFileTypeJudge::m_u64StartSector = 0;
uint64_t CFileTypeJudge::m_u64CurrentSector = 0;
int CFileTypeJudge::m_bIsNeedCheckTsFileRange = 1;
std::vector<_TS_FILE_RANGE_> CFileTypeJudge::m_tsFileRangeVec;
int CFileTypeJudge::m_bIsMtsFileHead = 0;

void CFileTypeJudge::SetDetectionContext(CDiskReader* reader, int bytesPerSector, uint64_t startSector) {
  m_nBytesPerSector = bytesPerSector;
  m_pDiskReader = reader;
  m_u64StartSector = startSector;
  m_u64CurrentSector = startSector;
}

}  // namespace vorlenta
