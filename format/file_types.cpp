#include "format/file_types.h"

#include "format/file_type_judge.h"
#include "format/signature_match.h"

namespace vorlenta {

// Rows without a length finder (exe, dll, sys, gho) are recognised but never carved.
const _EXTEND_NAME_AND_TYPE_ szExtendNameAndType[] = {
    {"mpeg", kTypeMpg, &CFileTypeJudge::IsMpgType, &CFileTypeJudge::GetMPGFileBytesSize},
    {"mpg", kTypeMpg, &CFileTypeJudge::IsMpgType, &CFileTypeJudge::GetMPGFileBytesSize},
    {"vob", kTypeMpg, &CFileTypeJudge::IsMpgType, &CFileTypeJudge::GetMPGFileBytesSize},
    {"mp4", kTypeMp4, &CFileTypeJudge::IsMp4Type, &CFileTypeJudge::GetIsoMediaFileBytesSize},
    {"heic", kTypeHeic, &CFileTypeJudge::IsIsoMediaBrandType, &CFileTypeJudge::GetIsoMediaFileBytesSize},
    {"heif", kTypeHeif, &CFileTypeJudge::IsIsoMediaBrandType, &CFileTypeJudge::GetIsoMediaFileBytesSize},
    {"avif", kTypeAvif, &CFileTypeJudge::IsIsoMediaBrandType, &CFileTypeJudge::GetIsoMediaFileBytesSize},
    {"m4a", kTypeM4a, &CFileTypeJudge::IsIsoMediaBrandType, &CFileTypeJudge::GetIsoMediaFileBytesSize},
    {"m4b", kTypeM4b, &CFileTypeJudge::IsIsoMediaBrandType, &CFileTypeJudge::GetIsoMediaFileBytesSize},
    {"m4v", kTypeM4v, &CFileTypeJudge::IsIsoMediaBrandType, &CFileTypeJudge::GetIsoMediaFileBytesSize},
    {"cr3", kTypeCr3, &CFileTypeJudge::IsIsoMediaBrandType, &CFileTypeJudge::GetIsoMediaFileBytesSize},
    {"rmvb", kTypeRmvb, &CFileTypeJudge::IsRmvbType, &CFileTypeJudge::GetRMVBFileBytesSize},
    {"rm", kTypeRmvb, &CFileTypeJudge::IsRmvbType, &CFileTypeJudge::GetRMVBFileBytesSize},
    {"wmv", kTypeAsf, &CFileTypeJudge::IsAsfType, &CFileTypeJudge::GetASFFileBytesSize},
    {"asf", kTypeAsf, &CFileTypeJudge::IsAsfType, &CFileTypeJudge::GetASFFileBytesSize},
    {"wma", kTypeAsf, &CFileTypeJudge::IsAsfType, &CFileTypeJudge::GetASFFileBytesSize},
    {"swf", kTypeSwf, &CFileTypeJudge::IsSwfType, &CFileTypeJudge::GetSWFFileBytesSize},
    {"avi", kTypeAvi, &CFileTypeJudge::IsAviType, &CFileTypeJudge::GetAVIFileBytesSize},
    {"flv", kTypeFlv, &CFileTypeJudge::IsFlvType, &CFileTypeJudge::GetDefaultVedioFileBytesSize},
    {"3gp", kType3gp, &CFileTypeJudge::Is3pgType, &CFileTypeJudge::GetIsoMediaFileBytesSize},
    {"webm", kTypeWebm, &CFileTypeJudge::IsWebmType, &CFileTypeJudge::GetEbmlFileBytesSize},
    {"mkv", kTypeMkv, &CFileTypeJudge::IsMkvType, &CFileTypeJudge::GetEbmlFileBytesSize},
    {"ts", kTypeTs, &CFileTypeJudge::IsTsType, &CFileTypeJudge::GetTSFileBytesSize},
    {"mts", kTypeMts, &CFileTypeJudge::IsMtsType, &CFileTypeJudge::GetMTSFileBytesSize},
    {"mxf", kTypeMxf, &CFileTypeJudge::IsMxfType, &CFileTypeJudge::GetDefaultVedioFileBytesSize},
    {"flac", kTypeFlac, &CFileTypeJudge::IsFlacType, &CFileTypeJudge::GetFlacFileBytesSize},
    {"ogg", kTypeOgg, &CFileTypeJudge::IsOggType, &CFileTypeJudge::GetOggFileBytesSize},
    {"oga", kTypeOgg, &CFileTypeJudge::IsOggType, &CFileTypeJudge::GetOggFileBytesSize},
    {"opus", kTypeOpus, &CFileTypeJudge::IsOggType, &CFileTypeJudge::GetOggFileBytesSize},
    {"ogv", kTypeOgv, &CFileTypeJudge::IsOggType, &CFileTypeJudge::GetOggFileBytesSize},
    {"aiff", kTypeAiff, &CFileTypeJudge::IsAiffType, &CFileTypeJudge::GetRiffFileBytesSize},
    {"aif", kTypeAiff, &CFileTypeJudge::IsAiffType, &CFileTypeJudge::GetRiffFileBytesSize},
    {"au", kTypeAu, &CFileTypeJudge::IsAuType, &CFileTypeJudge::GetAuFileBytesSize},
    {"snd", kTypeAu, &CFileTypeJudge::IsAuType, &CFileTypeJudge::GetAuFileBytesSize},
    {"amr", kTypeAmr, &CFileTypeJudge::IsAmrType, &CFileTypeJudge::GetAmrFileBytesSize},
    {"mp3", kTypeMp3, &CFileTypeJudge::IsMp3Type, &CFileTypeJudge::GetMP3FileBytesSize},
    {"mid", kTypeMid, &CFileTypeJudge::IsMidType, &CFileTypeJudge::GetMIDFileBytesSize},
    {"ape", kTypeApe, &CFileTypeJudge::IsApeType, &CFileTypeJudge::GetAPEFileBytesSize},
    {"wav", kTypeWav, &CFileTypeJudge::IsWavType, &CFileTypeJudge::GetWAVFileBytesSize},
    {"mov", kTypeMov, &CFileTypeJudge::IsMovType, &CFileTypeJudge::GetIsoMediaFileBytesSize},
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
    {"webp", kTypeWebp, &CFileTypeJudge::IsWebpType, &CFileTypeJudge::GetRiffFileBytesSize},
    {"cr2", kTypeCr2, &CFileTypeJudge::IsCameraRawType, &CFileTypeJudge::GetCameraRawFileBytesSize},
    {"nef", kTypeNef, &CFileTypeJudge::IsCameraRawType, &CFileTypeJudge::GetCameraRawFileBytesSize},
    {"arw", kTypeArw, &CFileTypeJudge::IsCameraRawType, &CFileTypeJudge::GetCameraRawFileBytesSize},
    {"dng", kTypeDng, &CFileTypeJudge::IsCameraRawType, &CFileTypeJudge::GetCameraRawFileBytesSize},
    {"orf", kTypeOrf, &CFileTypeJudge::IsCameraRawType, &CFileTypeJudge::GetCameraRawFileBytesSize},
    {"rw2", kTypeRw2, &CFileTypeJudge::IsCameraRawType, &CFileTypeJudge::GetCameraRawFileBytesSize},
    {"raf", kTypeRaf, &CFileTypeJudge::IsCameraRawType, &CFileTypeJudge::GetCameraRawFileBytesSize},
    {"pef", kTypePef, &CFileTypeJudge::IsCameraRawType, &CFileTypeJudge::GetCameraRawFileBytesSize},
    {"jp2", kTypeJp2, &CFileTypeJudge::IsJp2Type, &CFileTypeJudge::GetIsoMediaFileBytesSize},
    {"j2k", kTypeJ2k, &CFileTypeJudge::IsJ2kType, &CFileTypeJudge::GetJ2kFileBytesSize},
    {"j2c", kTypeJ2k, &CFileTypeJudge::IsJ2kType, &CFileTypeJudge::GetJ2kFileBytesSize},
    {"pbm", kTypePbm, &CFileTypeJudge::IsPnmType, &CFileTypeJudge::GetPnmFileBytesSize},
    {"pgm", kTypePgm, &CFileTypeJudge::IsPnmType, &CFileTypeJudge::GetPnmFileBytesSize},
    {"ppm", kTypePpm, &CFileTypeJudge::IsPnmType, &CFileTypeJudge::GetPnmFileBytesSize},
    {"xcf", kTypeXcf, &CFileTypeJudge::IsXcfType, &CFileTypeJudge::GetDefaultPictureFileBytesSize},
    {"tif", kTypeTif, &CFileTypeJudge::IsTifType, &CFileTypeJudge::GetCameraRawFileBytesSize},
    {"tiff", kTypeTif, &CFileTypeJudge::IsTifType, &CFileTypeJudge::GetCameraRawFileBytesSize},
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
    {"odt", kTypeOdt, &CFileTypeJudge::IsOpenDocumentType, &CFileTypeJudge::GetOFFICE2007FileBytesSize},
    {"ods", kTypeOds, &CFileTypeJudge::IsOpenDocumentType, &CFileTypeJudge::GetOFFICE2007FileBytesSize},
    {"odp", kTypeOdp, &CFileTypeJudge::IsOpenDocumentType, &CFileTypeJudge::GetOFFICE2007FileBytesSize},
    {"epub", kTypeEpub, &CFileTypeJudge::IsOpenDocumentType, &CFileTypeJudge::GetOFFICE2007FileBytesSize},
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
    {"ps", kTypePs, &CFileTypeJudge::IsPostScriptType, &CFileTypeJudge::GetPostScriptFileBytesSize},
    {"eps", kTypePs, &CFileTypeJudge::IsPostScriptType, &CFileTypeJudge::GetPostScriptFileBytesSize},
    {"rtf", kTypeRtf, &CFileTypeJudge::IsRtfType, &CFileTypeJudge::GetRtfFileBytesSize},
    {"html", kTypeHtml, &CFileTypeJudge::IsHtmlType, &CFileTypeJudge::GetMarkupFileBytesSize},
    {"htm", kTypeHtml, &CFileTypeJudge::IsHtmlType, &CFileTypeJudge::GetMarkupFileBytesSize},
    {"xml", kTypeXml, &CFileTypeJudge::IsXmlType, &CFileTypeJudge::GetMarkupFileBytesSize},
    {"gz", kTypeGzip, &CFileTypeJudge::IsGzipType, &CFileTypeJudge::GetDefaultVedioFileBytesSize},
    {"gzip", kTypeGzip, &CFileTypeJudge::IsGzipType, &CFileTypeJudge::GetDefaultVedioFileBytesSize},
    {"bz2", kTypeBz2, &CFileTypeJudge::IsBzip2Type, &CFileTypeJudge::GetBzip2FileBytesSize},
    {"xz", kTypeXz, &CFileTypeJudge::IsXzType, &CFileTypeJudge::GetXzFileBytesSize},
    {"zst", kTypeZst, &CFileTypeJudge::IsZstdType, &CFileTypeJudge::GetZstdFileBytesSize},
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
    // The tests that look past the first byte (a tar header's magic, a Targa header's fields)
    // come last: they cost every sector a call.
    {"otf", kTypeOtf, &CFileTypeJudge::IsOtfType, &CFileTypeJudge::GetTTFFileBytesSize},
    {"woff", kTypeWoff, &CFileTypeJudge::IsWoffType, &CFileTypeJudge::GetWoffFileBytesSize},
    {"woff2", kTypeWoff2, &CFileTypeJudge::IsWoffType, &CFileTypeJudge::GetWoffFileBytesSize},
    {"tar", kTypeTar, &CFileTypeJudge::IsTarType, &CFileTypeJudge::GetTarFileBytesSize},
    {"tga", kTypeTga, &CFileTypeJudge::IsTgaType, &CFileTypeJudge::GetTgaFileBytesSize},
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
