// File-system metadata, where a carved file must end: NTFS records, index buffers, log and
// attribute-definition pages, boot sectors, and runs of FAT directory entries.
#include "format/file_type_judge.h"
#include "format/signature_match.h"
#include "format/fat_record.h"

namespace vorlenta {

namespace {

using signature::Match;
using signature::MatchText;

constexpr int kFileSystemMinLength = 32;
constexpr char kNtfsFileRecordTag[] = "FILE";
constexpr char kNtfsIndexBufferTag[] = "INDX";
constexpr char kNtfsRestartPageTag[] = "RSTR";
// "NTFS" in UTF-16LE, somewhere in a log restart page.
constexpr uint8_t kNtfsNameWide[] = {0x4E, 0x00, 0x54, 0x00, 0x46, 0x00, 0x53, 0x00};
// "$STA" in UTF-16LE: the first attribute name of $AttrDef, $STANDARD_INFORMATION.
constexpr uint8_t kAttrDefStart[] = {0x24, 0x00, 0x53, 0x00, 0x54, 0x00, 0x41, 0x00};

constexpr size_t kBootJumpOffset = 0;
constexpr uint8_t kBootJump = 0xEB;
constexpr size_t kBootNopOffset = 2;
constexpr uint8_t kBootNop = 0x90;
constexpr size_t kBootOemNameOffset = 3;
constexpr const char* kBootOemNames[] = {"MSDOS5.0", "MSWIN4.0", "MSWIN4.1", "EXFAT   ", "NTFS    "};
constexpr size_t kBootOemNameLength = 8;

}  // namespace

bool CFileTypeJudge::IsFileSystemSector(const unsigned char* buf, int len) {
  if (buf == nullptr || len < kFileSystemMinLength) return false;
  const size_t n = static_cast<size_t>(len);
  if (MatchText(buf, n, 0, kNtfsFileRecordTag) || MatchText(buf, n, 0, kNtfsIndexBufferTag)) return true;
  if (MatchText(buf, n, 0, kNtfsRestartPageTag)) {
    for (size_t p = 0; p + sizeof kNtfsNameWide <= n; ++p) {
      if (Match(buf, n, p, kNtfsNameWide)) return true;
    }
  }
  if (Match(buf, n, 0, kAttrDefStart)) return true;
  if (buf[kBootJumpOffset] == kBootJump && buf[kBootNopOffset] == kBootNop) {
    for (const char* oem : kBootOemNames) {
      if (BytesEqual(buf, n, kBootOemNameOffset, oem, kBootOemNameLength)) return true;
    }
  }
  return IsFatFDTRecord(buf, len) != 0;
}

}  // namespace vorlenta
