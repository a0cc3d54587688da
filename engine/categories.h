// The file categories the user picks (photo, music, office, video, archive, other): one
// extension list each, shared by the store's search, the window's search keys and the CLI.
#pragma once

#include <string>

namespace vorlenta {

// Each list holds entries "*." + lower-case extension separated by "|". An extension belongs
// to a list when "." + the extension occurs in it as a substring, so ".rm" also matches
// "*.rmvb|" and ".tif" matches "*.tiff|"; search keys saved by earlier versions rely on that.
inline constexpr char kPhotoExtensionList[] =
    "*.bmp|*.gif|*.jpg|*.jpeg|*.png|*.psd|*.tif|*.tiff|*.pcx|*.scr|*.ico|*.nef|*.nrw|*.crw|*.cr2|*.sr2|*.arw|"
    "*.srf|*.divu|*.pgm|*.k25|*.kdc|*.dcr|*.raf|*.iff|*.pbm|*.mef|*.jp2|*.mos|*.x3f|*.orf|*.erf|*.indd|*.pef|"
    "*.psp|*.mrw|*.dng|*.raw|*.pct|*.tga|*.thm|*.icns|*.heic|*.heif|*.avif|*.webp|*.cr3|*.rw2|*.j2k|*.j2c|"
    "*.ppm|*.xcf|";
inline constexpr char kAudioExtensionList[] =
    "*.mp3|*.wav|*.ape|*.aiff|*.rps|*.mid|*.midi|*.m4a|*.m4p|*.au|*.ogg|*.wma|*.rm|*.ra|*.acd|*.amr|*.at3|*.caf|"
    "*.dss|*.m4r|*.nra|*.snd|*.flac|*.oga|*.opus|*.m4b|*.aif|";
inline constexpr char kOfficeExtensionList[] =
    "*.doc|*.xls|*.ppt|*.odt|*.ods|*.pdf|*.docx|*.xlsx|*.pptx|*.ole|*.txt|*.xml|*.chm|*.htm|*.html|*.pst|*.dbx|"
    "*.wps|*.dps|*.et|*.one|*.mpp|*.mdb|*.accdb|*.epub|*.ps|*.eps|";
inline constexpr char kVideoExtensionList[] =
    "*.rmvb|*.rm|*.mpeg|*.mov|*.avi|*.wmv|*.asf|*.mp4|*.flv|*.fla|*.swf|*.m4v|*.3gp|*.dv|*.3g2|*.m4b|*.mkv|*.mts|"
    "*.divx|*.ogm|*.moi|*.vob|*.ajp|*.f4v|*.mqv|*.svi|*.vid|*.tod|*.hdmov|*.mod|*.mxf|*.lrv|*.webm|*.ogv|*.m2ts|";
inline constexpr char kArchiveExtensionList[] =
    "*.zip|*.rar|*.gzip|*.tar|*.7z|*.cab|*.arj|*.lzh|*.ace|*.gz|*.uue|*.bz2|*.jar|*.iso|*.exe|*.dmg|*.xz|*.zst|"
    "*.otf|*.woff|*.woff2|";
// Appended after the archive list in a search key, and the last list tried when a recovered
// file is given its category folder.
inline constexpr char kExtendedOfficeArchiveList[] =
    "*.pdf|*.doc|*.dot|*.docx|*.dotx|*.docm|*.dotm|*.rtf|*.odt|*.ppt|*.pptx|*.pptm|*.pps|*.ppsx|*.ppsm|*.odp|"
    "*.xls|*.xlsx|*.xlsm|*.csv|*.odc|*.vsd|*.vsdm|*.vsdx|*.pub|*.mpp|*.ics|*.vcf|*.msg|*.zip|*.rar|*.gzip|*.tar|"
    "*.7z|*.cab|*.arj|*.lzh|*.ace|*.gz|*.uue|*.bz2|*.jar|*.iso";
// A search key containing ".other" also selects files of unknown or no extension.
inline constexpr char kOtherCategoryKey[] = "*.other";
inline constexpr char kOtherCategoryNeedle[] = ".other";

// photo|audio|office|video|archive: the extensions a search treats as belonging to a category.
const std::string& KnownExtensionList();

// The text after the last "." of `name`, lower-cased (ASCII letters only). False, with `ext`
// empty, when the name has no "."; "a." gives true and an empty extension.
bool GetLowerExtension(const char* name, std::string& ext);

// True when `text` occurs anywhere in `list` (an empty text always does).
bool ListContains(const char* list, const std::string& text);
// True when the "*.ext|" entry of `ext` (lower case, no dot) is one of `list`'s: whole
// entries only, so "ps" is not taken for "psd".
bool ListHasExtension(const char* list, const std::string& ext);

}  // namespace vorlenta
