#include "fat/fat_entry_names.h"

#include <algorithm>
#include <cstring>

#include "format/file_type_judge.h"
#include "device/disk_reader.h"
#include "engine/categories.h"
#include "util/os_helpers.h"
#include "util/text.h"

namespace vorlenta {
namespace {

constexpr uint32_t kSector = 512;

std::string TrimmedField(const uint8_t* bytes, size_t count) {
  std::string s(reinterpret_cast<const char*>(bytes), count);
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

uint64_t TimeOf(void (*get)(const FAT32_Entry&, _FILETIME*), const FAT32_Entry& entry) {
  _FILETIME t;
  get(entry, &t);
  return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

}  // namespace

bool IsDirectoryHead(const uint8_t* buffer, size_t length) {
  return length >= 2 * kFatEntrySize && buffer[0] == '.' && buffer[1] == ' ' && buffer[32] == '.' &&
         buffer[33] == '.' && (buffer[kFatAttrOffset] & kFatAttrDirectory) != 0;
}

std::string ShortName(const uint8_t* entry, bool withExtension) {
  const uint8_t caseFlags = entry[kFatCaseOffset];
  std::string name = TrimmedField(entry + kFatNameOffset, kFatNameLength);
  if ((caseFlags & kFatCaseLowerBase) != 0) GetCharLowerA(&name[0]);
  if (!name.empty() && static_cast<uint8_t>(name[0]) == kFatDeletedMarker) name[0] = kFatDeletedNameShown;
  if (withExtension && entry[kFatExtOffset] != ' ') {
    std::string ext = TrimmedField(entry + kFatExtOffset, kFatExtLength);
    if ((caseFlags & kFatCaseLowerExt) != 0) GetCharLowerA(&ext[0]);
    name += "." + ext;
  }
  return name;
}

std::string MendTruncatedLongName(const std::string& longName, const uint8_t* entry) {
  std::string shortExt = TrimmedField(entry + kFatExtOffset, kFatExtLength);
  if (shortExt.empty()) return longName;
  GetCharLowerA(&shortExt[0]);
  std::string longExt;
  GetLowerExtension(longName.c_str(), longExt);
  if (longExt.compare(0, shortExt.size(), shortExt) == 0) return longName;
  const size_t dot = longName.rfind('.');
  return (dot == std::string::npos ? longName : longName.substr(0, dot)) + "." + shortExt;
}

void FillNodeFromEntry(const FAT32_Entry& entry, _FILE_NODE_& node) {
  node.CreateTime = TimeOf(&Fat32GetFileCreateTime, entry);
  node.AccessTime = TimeOf(&Fat32GetFileLastAccessTime, entry);
  node.WriteTime = TimeOf(&Fat32GetFileLastChangeTime, entry);
  node.FileSize = entry.FileSize();
}

bool LongNameFitsShortEntry(uint8_t checksum, const uint8_t* shortEntry) {
  return FirstByteForChecksum(checksum, shortEntry) != 0;
}

uint8_t FirstByteForChecksum(uint8_t checksum, const uint8_t* shortEntry) {
  if (shortEntry[0] != kFatDeletedMarker) return GetShortNameCheckSum(shortEntry) == checksum ? shortEntry[0] : 0;
  uint8_t name[kFatShortNameLength];
  std::memcpy(name, shortEntry, sizeof name);
  for (unsigned first = 0x20; first <= 0xFF; ++first) {
    name[0] = static_cast<uint8_t>(first);
    if (first != kFatDeletedMarker && IsValidShortNameByte(name[0]) && GetShortNameCheckSum(name) == checksum) {
      return name[0];
    }
  }
  return 0;
}

int IsFirstSectorHealthy(CDiskReader& reader, const char* fileName, uint64_t absoluteSector) {
  std::string ext;
  if (!GetLowerExtension(fileName, ext) || ext.empty()) return 1;
  uint8_t sector[kSector];
  unsigned got = 0;
  if (reader.ReadData(sector, 1, static_cast<long long>(absoluteSector), kSector, &got) != 0 || got == 0) return 1;
  return CFileTypeJudge::IsFileTypeMatching(sector, sizeof sector, ext.c_str(), &reader, kSector, absoluteSector) != 0
             ? 1
             : 0;
}

bool CLongNameAssembler::Add(const FAT32_Entry& entry) {
  char16_t units[kLfnUnitsPerEntry];
  const int count = entry.LongNameUnits(units);
  if (!m_valid) {
    m_start = kUnits - 1;
    m_units[m_start] = 0;
    m_checksum = entry.LongNameChecksum();
  }
  // The name is filled from its end: each entry holds the part before the previous one.
  if (m_start - count < 1) return false;
  m_start -= count;
  std::copy(units, units + count, m_units + m_start);
  m_valid = true;
  return true;
}

std::string CLongNameAssembler::Take() {
  std::string name = m_valid ? Unicode2Ansi(m_units + m_start) : std::string();
  Reset();
  return name;
}

}  // namespace vorlenta
