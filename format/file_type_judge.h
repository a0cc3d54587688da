// Which known file format begins in a buffer (as a rule one 512-byte sector). The same tests
// serve the carver (does a file start here?), the length finders (does another file or
// file-system metadata start here?) and the FAT/NTFS engines (do a file's first bytes match
// its extension?); for the carver, the length finders then measure the file found. Everything
// is static: one detection runs at a time, on the worker thread.
#pragma once

#include <cstdint>
#include <vector>

#include "format/file_types.h"
#include "engine/recovery_parse.h"

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

  // Formats phones, cameras and current software write.
  static EXTEND_NAME_TYPE IsIsoMediaBrandType(const unsigned char* buf, int len);  // heic heif avif m4a m4b m4v cr3
  static EXTEND_NAME_TYPE IsJp2Type(const unsigned char* buf, int len);
  static EXTEND_NAME_TYPE IsJ2kType(const unsigned char* buf, int len);
  static EXTEND_NAME_TYPE IsWebpType(const unsigned char* buf, int len);
  static EXTEND_NAME_TYPE IsAiffType(const unsigned char* buf, int len);
  static EXTEND_NAME_TYPE IsCameraRawType(const unsigned char* buf, int len);  // cr2 nef arw dng orf rw2 raf pef
  static EXTEND_NAME_TYPE IsPnmType(const unsigned char* buf, int len);
  static EXTEND_NAME_TYPE IsXcfType(const unsigned char* buf, int len);
  static EXTEND_NAME_TYPE IsTgaType(const unsigned char* buf, int len);
  static EXTEND_NAME_TYPE IsFlacType(const unsigned char* buf, int len);
  static EXTEND_NAME_TYPE IsOggType(const unsigned char* buf, int len);  // ogg opus ogv
  static EXTEND_NAME_TYPE IsAuType(const unsigned char* buf, int len);
  static EXTEND_NAME_TYPE IsAmrType(const unsigned char* buf, int len);
  static EXTEND_NAME_TYPE IsWebmType(const unsigned char* buf, int len);
  static EXTEND_NAME_TYPE IsOpenDocumentType(const unsigned char* buf, int len);  // odt ods odp epub
  static EXTEND_NAME_TYPE IsRtfType(const unsigned char* buf, int len);
  static EXTEND_NAME_TYPE IsPostScriptType(const unsigned char* buf, int len);
  static EXTEND_NAME_TYPE IsHtmlType(const unsigned char* buf, int len);
  static EXTEND_NAME_TYPE IsXmlType(const unsigned char* buf, int len);
  static EXTEND_NAME_TYPE IsTarType(const unsigned char* buf, int len);
  static EXTEND_NAME_TYPE IsBzip2Type(const unsigned char* buf, int len);
  static EXTEND_NAME_TYPE IsXzType(const unsigned char* buf, int len);
  static EXTEND_NAME_TYPE IsZstdType(const unsigned char* buf, int len);
  static EXTEND_NAME_TYPE IsOtfType(const unsigned char* buf, int len);
  static EXTEND_NAME_TYPE IsWoffType(const unsigned char* buf, int len);  // woff woff2

  // Length determination: the carving entry, the sector walk and the length finders.

  // Every walk reads into this one buffer of kReadBufBytes.
  static constexpr int kReadBufBytes = 65536;
  static unsigned char* const m_pReadBuf;
  static uint64_t m_u64ScanSectorCount;   // sectors of the device scanned so far (progress only)
  static uint64_t m_u64SectorTotalCount;  // sectors the whole scan covers
  static int m_nRemaidSecond;             // estimated seconds left, passed through
  static uint64_t m_u64FileCount;         // files found so far, passed through
  static ScanCallback m_progressFunc;
  static RecoveryCallback m_pRecoveryFunc;
  static void* m_pParam;
  static int m_nPercent;
  static int m_ErrorCode;  // the last non-zero answer of the scan callback during a walk

  static int InitCallBack(ScanCallback scanCallback, RecoveryCallback recoveryCallback, void* context, int weight);
  // Detects, names ("%lld.%s") and measures the file that may start at `startSector`, whose
  // first sector is `buf`. 0 when a file was found, 87 when none can be carved here, -9527
  // when the scan callback stopped the measurement.
  static int ParseFileBuf(const unsigned char* buf, int len, uint64_t startSector, uint64_t scannedSectors,
                          uint64_t totalSectors, int secondsLeft, uint64_t filesFound, CDiskReader* reader,
                          int bytesPerSector, char* nameOut, EXTEND_NAME_TYPE& typeOut, uint64_t& lengthOut);

  // The end test over the whole sectors of a chunk read by a walk: true when a sector starts
  // another known file or holds file-system metadata; `length` then grows by the sectors
  // before it. Advances m_u64CurrentSector over every sector it examines.
  static bool IsEndOfFile(const unsigned char* chunk, int bytes, uint64_t& length);
  static bool IsEndOfVedioFile(const unsigned char* chunk, int bytes, uint64_t& length);
  // As IsEndOfFile, but an MPEG pack or sequence header inside the stream does not end it.
  static bool IsEndOfMPGFile(const unsigned char* chunk, int bytes, uint64_t& length);
  // The end test with the plain table-order walk: the reference IsEndOfFile must equal.
  static bool IsEndOfFileInTableOrder(const unsigned char* chunk, int bytes, uint64_t& length);

  // Trailer rules: the offset just past an accepted trailer (one that ends on a sector
  // boundary or is followed by zeros up to it), relative to `buf`.
  static bool GetJPGFileTailOffset(const unsigned char* buf, int len, uint64_t& offset);
  static bool GetPNGFileTailOffset(const unsigned char* buf, int len, uint64_t& offset);
  static bool GetGIFFileTailOffset(const unsigned char* buf, int len, uint64_t& offset);

  // Length finders: bytes of the file whose first sector is `buf`; the ones that need more
  // data read it through the detection context.
  static uint64_t GetJPGFileBytesSize(const unsigned char* buf, int len);
  static uint64_t GetPNGFileBytesSize(const unsigned char* buf, int len);
  static uint64_t GetGIFFileBytesSize(const unsigned char* buf, int len);
  static uint64_t GetBMPFileBytesSize(const unsigned char* buf, int len);
  static uint64_t GetICOFileBytesSize(const unsigned char* buf, int len);
  static uint64_t GetDefaultPictureFileBytesSize(const unsigned char* buf, int len);
  static uint64_t GetOFFICE2003FileBytesSize(const unsigned char* buf, int len);
  // The compound-file header method: the length the FAT implies, or 0 when the header is
  // not usable.
  static uint64_t GetOFFICE2003FileBytesSizeByFileHead(const unsigned char* header, int len);
  static uint64_t GetOFFICE2007FileBytesSize(const unsigned char* buf, int len);
  static uint64_t GetZIPFileBytesSize(const unsigned char* buf, int len);
  static uint64_t GetPDFFileBytesSize(const unsigned char* buf, int len);
  static uint64_t Get7ZFileBytesSize(const unsigned char* buf, int len);
  static uint64_t GetRARFileBytesSize(const unsigned char* buf, int len);
  static uint64_t GetCABFileBytesSize(const unsigned char* buf, int len);
  static uint64_t GetDBFileBytesSize(const unsigned char* buf, int len);
  static uint64_t GetMailFileBytesSize(const unsigned char* buf, int len);
  static uint64_t GetTTFFileBytesSize(const unsigned char* buf, int len);

  // Audio and video finders.
  static uint64_t GetMPGFileBytesSize(const unsigned char* buf, int len);
  static uint64_t GetMP4FileBytesSize(const unsigned char* buf, int len);
  static uint64_t GetRMVBFileBytesSize(const unsigned char* buf, int len);
  static uint64_t GetASFFileBytesSize(const unsigned char* buf, int len);
  static uint64_t GetSWFFileBytesSize(const unsigned char* buf, int len);
  static uint64_t GetAVIFileBytesSize(const unsigned char* buf, int len);
  static uint64_t GetDefaultVedioFileBytesSize(const unsigned char* buf, int len);
  static uint64_t GetMKVFileBytes(const unsigned char* buf, int len);
  static uint64_t GetTSFileBytesSize(const unsigned char* buf, int len);
  static uint64_t GetMTSFileBytesSize(const unsigned char* buf, int len);
  static uint64_t GetMP3FileBytesSize(const unsigned char* buf, int len);
  static uint64_t GetMIDFileBytesSize(const unsigned char* buf, int len);
  static uint64_t GetAPEFileBytesSize(const unsigned char* buf, int len);
  static uint64_t GetWAVFileBytesSize(const unsigned char* buf, int len);
  static uint64_t GetDefaultAudioFileBytesSize(const unsigned char* buf, int len);
  static uint64_t GetFLAFileBytesSize(const unsigned char* buf, int len);

  // Finders of the formats phones, cameras and current software write.
  static uint64_t GetIsoMediaFileBytesSize(const unsigned char* buf, int len);  // the top-level box chain
  static uint64_t GetJ2kFileBytesSize(const unsigned char* buf, int len);
  static uint64_t GetRiffFileBytesSize(const unsigned char* buf, int len);  // RIFF and IFF FORM sizes
  static uint64_t GetCameraRawFileBytesSize(const unsigned char* buf, int len);
  static uint64_t GetPnmFileBytesSize(const unsigned char* buf, int len);
  static uint64_t GetTgaFileBytesSize(const unsigned char* buf, int len);
  static uint64_t GetFlacFileBytesSize(const unsigned char* buf, int len);
  static uint64_t GetOggFileBytesSize(const unsigned char* buf, int len);
  static uint64_t GetAuFileBytesSize(const unsigned char* buf, int len);
  static uint64_t GetAmrFileBytesSize(const unsigned char* buf, int len);
  static uint64_t GetEbmlFileBytesSize(const unsigned char* buf, int len);
  static uint64_t GetRtfFileBytesSize(const unsigned char* buf, int len);
  static uint64_t GetPostScriptFileBytesSize(const unsigned char* buf, int len);
  static uint64_t GetMarkupFileBytesSize(const unsigned char* buf, int len);  // HTML and XML
  static uint64_t GetTarFileBytesSize(const unsigned char* buf, int len);
  static uint64_t GetBzip2FileBytesSize(const unsigned char* buf, int len);
  static uint64_t GetXzFileBytesSize(const unsigned char* buf, int len);
  static uint64_t GetZstdFileBytesSize(const unsigned char* buf, int len);
  static uint64_t GetWoffFileBytesSize(const unsigned char* buf, int len);
};

}  // namespace vorlenta
