// Which known file format begins in a buffer (as a rule one 512-byte sector). The same tests
// serve the carver (does a file start here?), the length finders (does another file or
// file-system metadata start here?) and the FAT/NTFS engines (do a file's first bytes match
// its extension?). Everything is static: one detection runs at a time, on the worker thread.
#pragma once

#include <cstdint>
#include <vector>

#include "carving/file_types.h"

namespace vorlenta {

class CDiskReader;

// One carved transport stream, absolute sectors, both ends inclusive.
struct _TS_FILE_RANGE_ {
  uint64_t u64FirstSector;
  uint64_t u64LastSector;
};

class CFileTypeJudge {
 public:
  CFileTypeJudge() = delete;

  // The process-wide detection context, set by whoever starts a detection.
  static int m_nBytesPerSector;           // sector size of the tests that read the device
  static CDiskReader* m_pDiskReader;      // the device those tests read
  static uint64_t m_u64StartSector;       // absolute sector where the candidate file starts
  static uint64_t m_u64CurrentSector;     // absolute sector of the buffer under test
  static int m_bIsNeedCheckTsFileRange;   // transport streams must be new, not continuations
  static std::vector<_TS_FILE_RANGE_> m_tsFileRangeVec;  // transport streams carved so far
  static int m_bIsMtsFileHead;            // an AVCHD stream is being measured

  // Points the context at a device and a candidate that starts (and is tested) at `startSector`.
  static void SetDetectionContext(CDiskReader* reader, int bytesPerSector, uint64_t startSector);

  // The detection walk: the first result other than kTypeNone of the table's tests, in row
  // order. Rows whose test cannot accept the buffer's first byte are skipped.
  static EXTEND_NAME_TYPE GetDataBufType(const unsigned char* buf, int len);
  // The same walk over every row, one by one: the reference the fast walk must equal.
  static EXTEND_NAME_TYPE GetDataBufTypeInTableOrder(const unsigned char* buf, int len);

  // 1 when `buf` matches the format of extension `ext` (or when no row carries `ext`), else 0.
  static int IsFileTypeMatching(const unsigned char* buf, int len, const char* ext, CDiskReader* reader,
                                int bytesPerSector, uint64_t startSector);
  // Kind of an OOXML package from one member name with `len` bytes available.
  static EXTEND_NAME_TYPE ReturnFileType(const unsigned char* name, int len);
  // True when the buffer is NTFS or FAT metadata, where a carved file must stop.
  static bool IsFileSystemSector(const unsigned char* buf, int len);

  // Audio and video.
  static EXTEND_NAME_TYPE IsMpgType(const unsigned char* buf, int len);
  static EXTEND_NAME_TYPE IsTsType(const unsigned char* buf, int len);
  static EXTEND_NAME_TYPE IsMtsType(const unsigned char* buf, int len);
  static EXTEND_NAME_TYPE IsMp4Type(const unsigned char* buf, int len);
  static EXTEND_NAME_TYPE Is3pgType(const unsigned char* buf, int len);
  static EXTEND_NAME_TYPE IsMovType(const unsigned char* buf, int len);
  static EXTEND_NAME_TYPE IsAviType(const unsigned char* buf, int len);
  static EXTEND_NAME_TYPE IsWavType(const unsigned char* buf, int len);
  static EXTEND_NAME_TYPE IsRmvbType(const unsigned char* buf, int len);
  static EXTEND_NAME_TYPE IsAsfType(const unsigned char* buf, int len);
  static EXTEND_NAME_TYPE IsSwfType(const unsigned char* buf, int len);
  static EXTEND_NAME_TYPE IsFlvType(const unsigned char* buf, int len);
  static EXTEND_NAME_TYPE IsMkvType(const unsigned char* buf, int len);
  static EXTEND_NAME_TYPE IsMxfType(const unsigned char* buf, int len);
  static EXTEND_NAME_TYPE IsMp3Type(const unsigned char* buf, int len);
  static EXTEND_NAME_TYPE IsMp2Type(const unsigned char* buf, int len);
  static EXTEND_NAME_TYPE IsMidType(const unsigned char* buf, int len);
  static EXTEND_NAME_TYPE IsApeType(const unsigned char* buf, int len);
  static EXTEND_NAME_TYPE IsMmfType(const unsigned char* buf, int len);

  // Pictures.
  static EXTEND_NAME_TYPE IsJpgType(const unsigned char* buf, int len);
  static EXTEND_NAME_TYPE IsGifType(const unsigned char* buf, int len);
  static EXTEND_NAME_TYPE IsBmpType(const unsigned char* buf, int len);
  static EXTEND_NAME_TYPE IsPngType(const unsigned char* buf, int len);
  static EXTEND_NAME_TYPE IsPsdType(const unsigned char* buf, int len);
  static EXTEND_NAME_TYPE IsTifType(const unsigned char* buf, int len);
  static EXTEND_NAME_TYPE IsIcoType(const unsigned char* buf, int len);

  // Documents.
  static EXTEND_NAME_TYPE IsFlaType(const unsigned char* buf, int len);
  static EXTEND_NAME_TYPE IsOffice2003Type(const unsigned char* buf, int len);
  static EXTEND_NAME_TYPE IsOffice2007Type(const unsigned char* buf, int len);
  static EXTEND_NAME_TYPE IsPdfType(const unsigned char* buf, int len);
  // Kind of a compound file whose header is `header`; its sector 0 is the device sector
  // after m_u64CurrentSector. A failed read means kTypeOle.
  static EXTEND_NAME_TYPE GetOffice2003Type(const unsigned char* header, int len);
  // Kind of an OOXML package that starts at m_u64CurrentSector, from its member names.
  static EXTEND_NAME_TYPE GetOffice2007Type(const unsigned char* buf, int len);

  // Archives.
  static EXTEND_NAME_TYPE IsGzipType(const unsigned char* buf, int len);
  static EXTEND_NAME_TYPE Is7zType(const unsigned char* buf, int len);
  static EXTEND_NAME_TYPE IsZipType(const unsigned char* buf, int len);
  static EXTEND_NAME_TYPE IsRarType(const unsigned char* buf, int len);
  static EXTEND_NAME_TYPE IsCabType(const unsigned char* buf, int len);

  // Executables, disk images, databases, mail stores, fonts.
  static EXTEND_NAME_TYPE IsPeType(const unsigned char* buf, int len);
  static EXTEND_NAME_TYPE IsGhoType(const unsigned char* buf, int len);
  static EXTEND_NAME_TYPE IsSqlType(const unsigned char* buf, int len);
  static EXTEND_NAME_TYPE IsDbxEmailType(const unsigned char* buf, int len);
  static EXTEND_NAME_TYPE IsPstEmailType(const unsigned char* buf, int len);
  static EXTEND_NAME_TYPE IsTtfType(const unsigned char* buf, int len);
};

}  // namespace vorlenta
