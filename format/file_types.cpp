#include "format/file_types.h"

#include "format/file_type_judge.h"
#include "format/signature_match.h"

namespace vorlenta {

// Rows without a length finder (exe, dll, sys, gho) are recognised but never carved.
const _EXTEND_NAME_AND_TYPE_ szExtendNameAndType[] = {
    {"mpeg", kTypeMpg, &CFileTypeJudge::IsMpgType, &CFileTypeJudge::GetMPGFileBytesSize},
    {"mpg", kTypeMpg, &CFileTypeJudge::IsMpgType, &CFileTypeJudge::GetMPGFileBytesSize},
    {"vob", kTypeMpg, &CFileTypeJudge::IsMpgType, &CFileTypeJudge::GetMPGFileBytesSize},
    {"mp4", kTypeMp4, &CFileTypeJudge::IsMp4Type, &CFileTypeJudge::GetMP4FileBytesSize},
    {"rmvb", kTypeRmvb, &CFileTypeJudge::IsRmvbType, &CFileTypeJudge::GetRMVBFileBytesSize},
    {"rm", kTypeRmvb, &CFileTypeJudge::IsRmvbType, &CFileTypeJudge::GetRMVBFileBytesSize},
    {"wmv", kTypeAsf, &CFileTypeJudge::IsAsfType, &CFileTypeJudge::GetASFFileBytesSize},
    {"asf", kTypeAsf, &CFileTypeJudge::IsAsfType, &CFileTypeJudge::GetASFFileBytesSize},
    {"wma", kTypeAsf, &CFileTypeJudge::IsAsfType, &CFileTypeJudge::GetASFFileBytesSize},
    {"swf", kTypeSwf, &CFileTypeJudge::IsSwfType, &CFileTypeJudge::GetSWFFileBytesSize},
    {"avi", kTypeAvi, &CFileTypeJudge::IsAviType, &CFileTypeJudge::GetAVIFileBytesSize},
    {"flv", kTypeFlv, &CFileTypeJudge::IsFlvType, &CFileTypeJudge::GetDefaultVedioFileBytesSize},
    {"3gp", kType3gp, &CFileTypeJudge::Is3pgType, &CFileTypeJudge::GetDefaultVedioFileBytesSize},
    {"mkv", kTypeMkv, &CFileTypeJudge::IsMkvType, &CFileTypeJudge::GetMKVFileBytes},
    {"ts", kTypeTs, &CFileTypeJudge::IsTsType, &CFileTypeJudge::GetTSFileBytesSize},
    {"mts", kTypeMts, &CFileTypeJudge::IsMtsType, &CFileTypeJudge::GetDefaultVedioFileBytesSize},
    {"mxf", kTypeMxf, &CFileTypeJudge::IsMxfType, &CFileTypeJudge::GetDefaultVedioFileBytesSize},
    {"mp3", kTypeMp3, &CFileTypeJudge::IsMp3Type, &CFileTypeJudge::GetMP3FileBytesSize},
    {"mid", kTypeMid, &CFileTypeJudge::IsMidType, &CFileTypeJudge::GetMIDFileBytesSize},
    {"ape", kTypeApe, &CFileTypeJudge::IsApeType, &CFileTypeJudge::GetAPEFileBytesSize},
    {"wav", kTypeWav, &CFileTypeJudge::IsWavType, &CFileTypeJudge::GetWAVFileBytesSize},
    {"mov", kTypeMov, &CFileTypeJudge::IsMovType, &CFileTypeJudge::GetDefaultVedioFileBytesSize},
    {"mp2", kTypeMp2, &CFileTypeJudge::IsMp2Type, &CFileTypeJudge::GetDefaultAudioFileBytesSize},
    {"mmf", kTypeMmf, &CFileTypeJudge::IsMmfType, &CFileTypeJudge::GetDefaultAudioFileBytesSize},
    {"fla", kTypeFla, &CFileTypeJudge::IsFlaType, &CFileTypeJudge::GetFLAFileBytesSize},
    {"gif", kTypeGif, &CFileTypeJudge::IsGifType, &CFileTypeJudge::GetGIFFileBytesSize},
    {"bmp", kTypeBmp, &CFileTypeJudge::IsBmpType, &CFileTypeJudge::GetBMPFileBytesSize},
    {"dib", kTypeBmp, &CFileTypeJudge::IsBmpType, &CFileTypeJudge::GetBMPFileBytesSize},
    {"jpg", kTypeJpg, &CFileTypeJudge::IsJpgType, &CFileTypeJudge::GetJPGFileBytesSize},
    {"jpeg", kTypeJpg, &CFileTypeJudge::IsJpgType, &CFileTypeJudge::GetJPGFileBytesSize},
    {"jpe", kTypeJpg, &CFileTypeJudge::IsJpgType, &CFileTypeJudge::GetJPGFileBytesSize},
    {"jfif", kTypeJpg, &CFileTypeJudge::IsJpgType, &CFileTypeJudge::GetJPGFileBytesSize},
    {"png", kTypePng, &CFileTypeJudge::IsPngType, &CFileTypeJudge::GetPNGFileBytesSize},
    {"psd", kTypePsd, &CFileTypeJudge::IsPsdType, &CFileTypeJudge::GetDefaultPictureFileBytesSize},
    {"tif", kTypeTif, &CFileTypeJudge::IsTifType, &CFileTypeJudge::GetDefaultPictureFileBytesSize},
    {"tiff", kTypeTif, &CFileTypeJudge::IsTifType, &CFileTypeJudge::GetDefaultPictureFileBytesSize},
    {"ico", kTypeIco, &CFileTypeJudge::IsIcoType, &CFileTypeJudge::GetICOFileBytesSize},
    {"doc", kTypeWord, &CFileTypeJudge::IsOffice2003Type, &CFileTypeJudge::GetOFFICE2003FileBytesSize},
    {"dot", kTypeWord, &CFileTypeJudge::IsOffice2003Type, &CFileTypeJudge::GetOFFICE2003FileBytesSize},
    {"wps", kTypeWord, &CFileTypeJudge::IsOffice2003Type, &CFileTypeJudge::GetOFFICE2003FileBytesSize},
    {"wpt", kTypeWord, &CFileTypeJudge::IsOffice2003Type, &CFileTypeJudge::GetOFFICE2003FileBytesSize},
    {"xls", kTypeExcel, &CFileTypeJudge::IsOffice2003Type, &CFileTypeJudge::GetOFFICE2003FileBytesSize},
    {"xlt", kTypeExcel, &CFileTypeJudge::IsOffice2003Type, &CFileTypeJudge::GetOFFICE2003FileBytesSize},
    {"xla", kTypeExcel, &CFileTypeJudge::IsOffice2003Type, &CFileTypeJudge::GetOFFICE2003FileBytesSize},
    {"et", kTypeExcel, &CFileTypeJudge::IsOffice2003Type, &CFileTypeJudge::GetOFFICE2003FileBytesSize},
    {"ett", kTypeExcel, &CFileTypeJudge::IsOffice2003Type, &CFileTypeJudge::GetOFFICE2003FileBytesSize},
    {"ppt", kTypePowerPoint, &CFileTypeJudge::IsOffice2003Type, &CFileTypeJudge::GetOFFICE2003FileBytesSize},
    {"pot", kTypePowerPoint, &CFileTypeJudge::IsOffice2003Type, &CFileTypeJudge::GetOFFICE2003FileBytesSize},
    {"pps", kTypePowerPoint, &CFileTypeJudge::IsOffice2003Type, &CFileTypeJudge::GetOFFICE2003FileBytesSize},
    {"dps", kTypePowerPoint, &CFileTypeJudge::IsOffice2003Type, &CFileTypeJudge::GetOFFICE2003FileBytesSize},
    {"dpt", kTypePowerPoint, &CFileTypeJudge::IsOffice2003Type, &CFileTypeJudge::GetOFFICE2003FileBytesSize},
    {"ole", kTypeOle, &CFileTypeJudge::IsOffice2003Type, &CFileTypeJudge::GetOFFICE2003FileBytesSize},
    {"docx", kTypeWordX, &CFileTypeJudge::IsOffice2007Type, &CFileTypeJudge::GetOFFICE2007FileBytesSize},
    {"docm", kTypeWordX, &CFileTypeJudge::IsOffice2007Type, &CFileTypeJudge::GetOFFICE2007FileBytesSize},
    {"dotm", kTypeWordX, &CFileTypeJudge::IsOffice2007Type, &CFileTypeJudge::GetOFFICE2007FileBytesSize},
    {"dotx", kTypeWordX, &CFileTypeJudge::IsOffice2007Type, &CFileTypeJudge::GetOFFICE2007FileBytesSize},
    {"xlsx", kTypeExcelX, &CFileTypeJudge::IsOffice2007Type, &CFileTypeJudge::GetOFFICE2007FileBytesSize},
    {"xlsb", kTypeExcelX, &CFileTypeJudge::IsOffice2007Type, &CFileTypeJudge::GetOFFICE2007FileBytesSize},
    {"xlsm", kTypeExcelX, &CFileTypeJudge::IsOffice2007Type, &CFileTypeJudge::GetOFFICE2007FileBytesSize},
    {"xlsx", kTypeExcelX, &CFileTypeJudge::IsOffice2007Type, &CFileTypeJudge::GetOFFICE2007FileBytesSize},
    {"xlam", kTypeExcelX, &CFileTypeJudge::IsOffice2007Type, &CFileTypeJudge::GetOFFICE2007FileBytesSize},
    {"xltx", kTypeExcelX, &CFileTypeJudge::IsOffice2007Type, &CFileTypeJudge::GetOFFICE2007FileBytesSize},
    {"xltm", kTypeExcelX, &CFileTypeJudge::IsOffice2007Type, &CFileTypeJudge::GetOFFICE2007FileBytesSize},
    {"pptx", kTypePowerPointX, &CFileTypeJudge::IsOffice2007Type, &CFileTypeJudge::GetOFFICE2007FileBytesSize},
    {"pptm", kTypePowerPointX, &CFileTypeJudge::IsOffice2007Type, &CFileTypeJudge::GetOFFICE2007FileBytesSize},
    {"potx", kTypePowerPointX, &CFileTypeJudge::IsOffice2007Type, &CFileTypeJudge::GetOFFICE2007FileBytesSize},
    {"potm", kTypePowerPointX, &CFileTypeJudge::IsOffice2007Type, &CFileTypeJudge::GetOFFICE2007FileBytesSize},
    {"ppsx", kTypePowerPointX, &CFileTypeJudge::IsOffice2007Type, &CFileTypeJudge::GetOFFICE2007FileBytesSize},
    {"ppsm", kTypePowerPointX, &CFileTypeJudge::IsOffice2007Type, &CFileTypeJudge::GetOFFICE2007FileBytesSize},
    {"mso07", kTypeOfficeX, &CFileTypeJudge::IsOffice2007Type, &CFileTypeJudge::GetOFFICE2007FileBytesSize},
    {"pdf", kTypePdf, &CFileTypeJudge::IsPdfType, &CFileTypeJudge::GetPDFFileBytesSize},
    {"gz", kTypeGzip, &CFileTypeJudge::IsGzipType, &CFileTypeJudge::GetDefaultVedioFileBytesSize},
    {"gzip", kTypeGzip, &CFileTypeJudge::IsGzipType, &CFileTypeJudge::GetDefaultVedioFileBytesSize},
    {"7z", kType7z, &CFileTypeJudge::Is7zType, &CFileTypeJudge::Get7ZFileBytesSize},
    {"zip", kTypeZip, &CFileTypeJudge::IsZipType, &CFileTypeJudge::GetZIPFileBytesSize},
    {"rar", kTypeRar, &CFileTypeJudge::IsRarType, &CFileTypeJudge::GetRARFileBytesSize},
    {"cab", kTypeCab, &CFileTypeJudge::IsCabType, &CFileTypeJudge::GetCABFileBytesSize},
    {"exe", kTypeExe, &CFileTypeJudge::IsPeType, nullptr},
    {"dll", kTypeDll, &CFileTypeJudge::IsPeType, nullptr},
    {"sys", kTypeSys, &CFileTypeJudge::IsPeType, nullptr},
    {"gho", kTypeGho, &CFileTypeJudge::IsGhoType, nullptr},
    {"db", kTypeSqlite, &CFileTypeJudge::IsSqlType, &CFileTypeJudge::GetDBFileBytesSize},
    {"dbx", kTypeDbx, &CFileTypeJudge::IsDbxEmailType, &CFileTypeJudge::GetMailFileBytesSize},
    {"pst", kTypePst, &CFileTypeJudge::IsPstEmailType, &CFileTypeJudge::GetMailFileBytesSize},
    {"fla", kTypeFla, &CFileTypeJudge::IsFlaType, &CFileTypeJudge::GetFLAFileBytesSize},
    {"ttf", kTypeTtf, &CFileTypeJudge::IsTtfType, &CFileTypeJudge::GetTTFFileBytesSize},
    {"ico", kTypeIco, &CFileTypeJudge::IsIcoType, &CFileTypeJudge::GetICOFileBytesSize},
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
