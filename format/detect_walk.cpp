// The detection walk over the format table, and the look-up of one format by extension.
//
// The walk runs on every sector of a deep scan, so it does not call every row's test: each
// test rejects unless the buffer's first byte is one of a few values (or, for the few tests
// that look elsewhere first, any value). A table indexed by the first byte lists, in row
// order, the tests that can accept it; a test that repeats in later rows is called once,
// since the walk only reaches the repeat after the same test has said no.
#include <array>
#include <vector>

#include "format/file_type_judge.h"

namespace vorlenta {

namespace {

// The first bytes each test can accept. Tests not listed here may accept any first byte.
struct LeadBytes {
  FileTypeTest test;
  std::vector<uint8_t> bytes;
};

// A tar header opens with its member's name: printable ASCII or the first byte of a UTF-8
// sequence, never a control byte, a space or a continuation byte.
std::vector<uint8_t> TarNameBytes() {
  std::vector<uint8_t> bytes;
  for (int b = '!'; b <= '~'; ++b) bytes.push_back(static_cast<uint8_t>(b));
  for (int b = 0xC2; b <= 0xF4; ++b) bytes.push_back(static_cast<uint8_t>(b));
  return bytes;
}

const std::vector<LeadBytes>& KnownLeadBytes() {
  using J = CFileTypeJudge;
  static const std::vector<LeadBytes> table = {
      {&J::IsMpgType, {0x00}},        {&J::IsRmvbType, {'.'}},        {&J::IsAsfType, {0x30}},
      {&J::IsSwfType, {'C', 'F'}},    {&J::IsAviType, {'R'}},         {&J::IsFlvType, {'F'}},
      {&J::IsMkvType, {0x1A}},        {&J::IsTsType, {0x47}},         {&J::IsMxfType, {0x06}},
      {&J::IsMp3Type, {'I'}},         {&J::IsMidType, {'M'}},         {&J::IsApeType, {'M'}},
      {&J::IsWavType, {'R'}},         {&J::IsMp2Type, {0xFF}},        {&J::IsMmfType, {'M'}},
      {&J::IsFlaType, {0xD0}},        {&J::IsGifType, {'G'}},         {&J::IsBmpType, {'B'}},
      {&J::IsJpgType, {0xFF}},        {&J::IsPngType, {0x89}},        {&J::IsPsdType, {'8'}},
      {&J::IsTifType, {'I', 'M'}},    {&J::IsIcoType, {0x00}},        {&J::IsOffice2003Type, {0xD0}},
      {&J::IsPdfType, {'%'}},         {&J::IsGzipType, {0x1F}},       {&J::Is7zType, {'7'}},
      {&J::IsZipType, {'P'}},         {&J::IsRarType, {'R'}},         {&J::IsCabType, {'M'}},
      {&J::IsPeType, {'M'}},          {&J::IsGhoType, {0xFE}},        {&J::IsSqlType, {'S'}},
      {&J::IsDbxEmailType, {0xCF}},   {&J::IsPstEmailType, {'!'}},    {&J::IsTtfType, {0x00}},
      {&J::IsMp4Type, {0x00}},        {&J::Is3pgType, {0x00}},        {&J::IsMovType, {0x00, 'm'}},
      {&J::IsIsoMediaBrandType, {0x00}}, {&J::IsJp2Type, {0x00}},     {&J::IsJ2kType, {0xFF}},
      {&J::IsWebpType, {'R'}},        {&J::IsAiffType, {'F'}},        {&J::IsCameraRawType, {'I', 'M', 'F'}},
      {&J::IsPnmType, {'P'}},         {&J::IsXcfType, {'g'}},         {&J::IsFlacType, {'f'}},
      {&J::IsOggType, {'O'}},         {&J::IsAuType, {'.'}},          {&J::IsAmrType, {'#'}},
      {&J::IsWebmType, {0x1A}},       {&J::IsOpenDocumentType, {'P'}}, {&J::IsRtfType, {'{'}},
      {&J::IsPostScriptType, {'%'}},  {&J::IsHtmlType, {'<'}},        {&J::IsXmlType, {'<'}},
      {&J::IsBzip2Type, {'B'}},       {&J::IsXzType, {0xFD}},         {&J::IsZstdType, {0x28}},
      {&J::IsOtfType, {'O'}},         {&J::IsWoffType, {'w'}},        {&J::IsTgaType, {0x00}},
      {&J::IsTarType, TarNameBytes()},
  };
  return table;
}

class FirstByteDispatch {
 public:
  FirstByteDispatch() {
    std::vector<FileTypeTest> seen;
    for (size_t row = 0; row < kFormatTableRows; ++row) {
      const FileTypeTest test = szExtendNameAndType[row].pfnIsType;
      if (test == nullptr) continue;
      bool repeated = false;
      for (FileTypeTest s : seen) repeated = repeated || s == test;
      if (repeated) continue;
      seen.push_back(test);
      const LeadBytes* lead = nullptr;
      for (const LeadBytes& l : KnownLeadBytes()) {
        if (l.test == test) lead = &l;
      }
      for (int b = 0; b < 256; ++b) {
        bool accepts = lead == nullptr;
        if (lead != nullptr) {
          for (uint8_t v : lead->bytes) accepts = accepts || v == b;
        }
        if (accepts) m_tests[static_cast<size_t>(b)].push_back(test);
      }
    }
  }

  const std::vector<FileTypeTest>& TestsFor(uint8_t firstByte) const { return m_tests[firstByte]; }

 private:
  std::array<std::vector<FileTypeTest>, 256> m_tests;
};

const FirstByteDispatch& Dispatch() {
  static const FirstByteDispatch dispatch;
  return dispatch;
}

}  // namespace

EXTEND_NAME_TYPE CFileTypeJudge::GetDataBufType(const unsigned char* buf, int len) {
  if (buf == nullptr || len <= 0) return kTypeNone;
  for (FileTypeTest test : Dispatch().TestsFor(buf[0])) {
    const EXTEND_NAME_TYPE type = test(buf, len);
    if (type != kTypeNone) return type;
  }
  return kTypeNone;
}

EXTEND_NAME_TYPE CFileTypeJudge::GetDataBufTypeInTableOrder(const unsigned char* buf, int len) {
  for (size_t row = 0; row < kFormatTableRows; ++row) {
    const FileTypeTest test = szExtendNameAndType[row].pfnIsType;
    if (test == nullptr) continue;
    const EXTEND_NAME_TYPE type = test(buf, len);
    if (type != kTypeNone) return type;
  }
  return kTypeNone;
}

int CFileTypeJudge::IsFileTypeMatching(const unsigned char* buf, int len, const char* ext, CDiskReader* reader,
                                       int bytesPerSector, uint64_t startSector) {
  const _EXTEND_NAME_AND_TYPE_* row = FindFormatRowByExtension(ext);
  // An extension no row carries has nothing to check against.
  if (row == nullptr) return 1;
  SetDetectionContext(reader, bytesPerSector, startSector);
  // A health check looks at one file's own first sector: a stream carved earlier is no reason
  // to reject it.
  m_bIsNeedCheckTsFileRange = 0;
  if (row->pfnIsType == nullptr) return 0;
  return row->pfnIsType(buf, len) == row->nType ? 1 : 0;
}

}  // namespace vorlenta
