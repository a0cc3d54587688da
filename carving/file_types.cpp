#include "carving/file_types.h"

#include "carving/file_type_judge.h"
#include "carving/signature_match.h"

namespace vorlenta {

// Length finders belong to the carving engine and are filled in with it; rows without one
// (exe, dll, sys, gho) are recognised but never carved.
const _EXTEND_NAME_AND_TYPE_ szExtendNameAndType[] = {
    {"mpeg", kTypeMpg, &CFileTypeJudge::IsMpgType, nullptr},
    {"mpg", kTypeMpg, &CFileTypeJudge::IsMpgType, nullptr},
    {"vob", kTypeMpg, &CFileTypeJudge::IsMpgType, nullptr},
    {"mp4", kTypeMp4, &CFileTypeJudge::IsMp4Type, nullptr},
    {"rmvb", kTypeRmvb, &CFileTypeJudge::IsRmvbType, nullptr},
    {"rm", kTypeRmvb, &CFileTypeJudge::IsRmvbType, nullptr},
    {"wmv", kTypeAsf, &CFileTypeJudge::IsAsfType, nullptr},
    {"asf", kTypeAsf, &CFileTypeJudge::IsAsfType, nullptr},
    {"wma", kTypeAsf, &CFileTypeJudge::IsAsfType, nullptr},
    {"swf", kTypeSwf, &CFileTypeJudge::IsSwfType, nullptr},
    {"avi", kTypeAvi, &CFileTypeJudge::IsAviType, nullptr},
    {"flv", kTypeFlv, &CFileTypeJudge::IsFlvType, nullptr},
    {"3gp", kType3gp, &CFileTypeJudge::Is3pgType, nullptr},
    {"mkv", kTypeMkv, &CFileTypeJudge::IsMkvType, nullptr},
    {"ts", kTypeTs, &CFileTypeJudge::IsTsType, nullptr},
    {"mts", kTypeMts, &CFileTypeJudge::IsMtsType, nullptr},
    {"mxf", kTypeMxf, &CFileTypeJudge::IsMxfType, nullptr},
    {"mp3", kTypeMp3, &CFileTypeJudge::IsMp3Type, nullptr},
    {"mid", kTypeMid, &CFileTypeJudge::IsMidType, nullptr},
    {"ape", kTypeApe, &CFileTypeJudge::IsApeType, nullptr},
    {"wav", kTypeWav, &CFileTypeJudge::IsWavType, nullptr},
    {"mov", kTypeMov, &CFileTypeJudge::IsMovType, nullptr},
    {"mp2", kTypeMp2, &CFileTypeJudge::IsMp2Type, nullptr},
    {"mmf", kTypeMmf, &CFileTypeJudge::IsMmfType, nullptr},
    {"fla", kTypeFla, &CFileTypeJudge::IsFlaType, nullptr},
    {"gif", kTypeGif, &CFileTypeJudge::IsGifType, nullptr},
    {"bmp", kTypeBmp, &CFileTypeJudge::IsBmpType, nullptr},
    {"dib", kTypeBmp, &CFileTypeJudge::IsBmpType, nullptr},
    {"jpg", kTypeJpg, &CFileTypeJudge::IsJpgType, nullptr},
    {"jpeg", kTypeJpg, &CFileTypeJudge::IsJpgType, nullptr},
    {"jpe", kTypeJpg, &CFileTypeJudge::IsJpgType, nullptr},
    {"jfif", kTypeJpg, &CFileTypeJudge::IsJpgType, nullptr},
    {"png", kTypePng, &CFileTypeJudge::IsPngType, nullptr},
    {"psd", kTypePsd, &CFileTypeJudge::IsPsdType, nullptr},
    {"tif", kTypeTif, &CFileTypeJudge::IsTifType, nullptr},
    {"tiff", kTypeTif, &CFileTypeJudge::IsTifType, nullptr},
    {"ico", kTypeIco, &CFileTypeJudge::IsIcoType, nullptr},
    {"doc", kTypeWord, &CFileTypeJudge::IsOffice2003Type, nullptr},
    {"dot", kTypeWord, &CFileTypeJudge::IsOffice2003Type, nullptr},
    {"wps", kTypeWord, &CFileTypeJudge::IsOffice2003Type, nullptr},
    {"wpt", kTypeWord, &CFileTypeJudge::IsOffice2003Type, nullptr},
    {"xls", kTypeExcel, &CFileTypeJudge::IsOffice2003Type, nullptr},
    {"xlt", kTypeExcel, &CFileTypeJudge::IsOffice2003Type, nullptr},
    {"xla", kTypeExcel, &CFileTypeJudge::IsOffice2003Type, nullptr},
    {"et", kTypeExcel, &CFileTypeJudge::IsOffice2003Type, nullptr},
    {"ett", kTypeExcel, &CFileTypeJudge::IsOffice2003Type, nullptr},
    {"ppt", kTypePowerPoint, &CFileTypeJudge::IsOffice2003Type, nullptr},
    {"pot", kTypePowerPoint, &CFileTypeJudge::IsOffice2003Type, nullptr},
    {"pps", kTypePowerPoint, &CFileTypeJudge::IsOffice2003Type, nullptr},
    {"dps", kTypePowerPoint, &CFileTypeJudge::IsOffice2003Type, nullptr},
    {"dpt", kTypePowerPoint, &CFileTypeJudge::IsOffice2003Type, nullptr},
    {"ole", kTypeOle, &CFileTypeJudge::IsOffice2003Type, nullptr},
    {"docx", kTypeWordX, &CFileTypeJudge::IsOffice2007Type, nullptr},
    {"docm", kTypeWordX, &CFileTypeJudge::IsOffice2007Type, nullptr},
    {"dotm", kTypeWordX, &CFileTypeJudge::IsOffice2007Type, nullptr},
    {"dotx", kTypeWordX, &CFileTypeJudge::IsOffice2007Type, nullptr},
    {"xlsx", kTypeExcelX, &CFileTypeJudge::IsOffice2007Type, nullptr},
    {"xlsb", kTypeExcelX, &CFileTypeJudge::IsOffice2007Type, nullptr},
    {"xlsm", kTypeExcelX, &CFileTypeJudge::IsOffice2007Type, nullptr},
    {"xlsx", kTypeExcelX, &CFileTypeJudge::IsOffice2007Type, nullptr},
    {"xlam", kTypeExcelX, &CFileTypeJudge::IsOffice2007Type, nullptr},
    {"xltx", kTypeExcelX, &CFileTypeJudge::IsOffice2007Type, nullptr},
    {"xltm", kTypeExcelX, &CFileTypeJudge::IsOffice2007Type, nullptr},
    {"pptx", kTypePowerPointX, &CFileTypeJudge::IsOffice2007Type, nullptr},
    {"pptm", kTypePowerPointX, &CFileTypeJudge::IsOffice2007Type, nullptr},
    {"potx", kTypePowerPointX, &CFileTypeJudge::IsOffice2007Type, nullptr},
    {"potm", kTypePowerPointX, &CFileTypeJudge::IsOffice2007Type, nullptr},
    {"ppsx", kTypePowerPointX, &CFileTypeJudge::IsOffice2007Type, nullptr},
    {"ppsm", kTypePowerPointX, &CFileTypeJudge::IsOffice2007Type, nullptr},
    {"mso07", kTypeOfficeX, &CFileTypeJudge::IsOffice2007Type, nullptr},
    {"pdf", kTypePdf, &CFileTypeJudge::IsPdfType, nullptr},
    {"gz", kTypeGzip, &CFileTypeJudge::IsGzipType, nullptr},
    {"gzip", kTypeGzip, &CFileTypeJudge::IsGzipType, nullptr},
    {"7z", kType7z, &CFileTypeJudge::Is7zType, nullptr},
    {"zip", kTypeZip, &CFileTypeJudge::IsZipType, nullptr},
    {"rar", kTypeRar, &CFileTypeJudge::IsRarType, nullptr},
    {"cab", kTypeCab, &CFileTypeJudge::IsCabType, nullptr},
    {"exe", kTypeExe, &CFileTypeJudge::IsPeType, nullptr},
    {"dll", kTypeDll, &CFileTypeJudge::IsPeType, nullptr},
    {"sys", kTypeSys, &CFileTypeJudge::IsPeType, nullptr},
    {"gho", kTypeGho, &CFileTypeJudge::IsGhoType, nullptr},
    {"db", kTypeSqlite, &CFileTypeJudge::IsSqlType, nullptr},
    {"dbx", kTypeDbx, &CFileTypeJudge::IsDbxEmailType, nullptr},
    {"pst", kTypePst, &CFileTypeJudge::IsPstEmailType, nullptr},
    {"fla", kTypeFla, &CFileTypeJudge::IsFlaType, nullptr},
    {"ttf", kTypeTtf, &CFileTypeJudge::IsTtfType, nullptr},
    {"ico", kTypeIco, &CFileTypeJudge::IsIcoType, nullptr},
    {"", kTypeNone, nullptr, nullptr},
};

const size_t kFormatTableRows = sizeof szExtendNameAndType / sizeof szExtendNameAndType[0] - 1;

const _EXTEND_NAME_AND_TYPE_* FindFormatRowByType(EXTEND_NAME_TYPE type) {
  for (size_t i = 0; i < kFormatTableRows; ++i) {
    if (szExtendNameAndType[i].nType == type) return &szExtendNameAndType[i];
  }
  return nullptr;
}

const _EXTEND_NAME_AND_TYPE_* FindFormatRowByExtension(const char* ext) {
  if (ext == nullptr) return nullptr;
  const unsigned char* wanted = reinterpret_cast<const unsigned char*>(ext);
  for (size_t i = 0; i < kFormatTableRows; ++i) {
    const char* name = szExtendNameAndType[i].szExtendName;
    size_t k = 0;
    while (name[k] != '\0' && signature::FoldAsciiCase(wanted[k]) == static_cast<uint8_t>(name[k])) ++k;
    if (name[k] == '\0' && wanted[k] == '\0') return &szExtendNameAndType[i];
  }
  return nullptr;
}

}  // namespace vorlenta
