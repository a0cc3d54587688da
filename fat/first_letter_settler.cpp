#include "fat/first_letter_settler.h"

#include <algorithm>
#include <cstring>
#include <tuple>

#include "format/fat_record.h"

namespace vorlenta {
namespace {

// Prefixes cameras, phones and action cameras put before their counters, and the folder
// they all write to. A prefix fits only where a digit or the end of the base follows it, so
// that ordinary words ("?SCII") are left alone.
constexpr const char* kDevicePrefixes[] = {
    "IMG_", "DSC",  "DSCF", "DSCN", "DSC_", "MVI_", "SND_", "CIMG", "PICT", "SAM_", "GOPR", "DJI_",
    "VID_", "PXL_", "MOV_", "IMAG", "HPIM", "KIF_", "MAH0", "SANY", "DCIM",
};
// The known names are sorted and made unique once this many wait unsorted, so that a volume
// of many files keeps one entry per distinct pattern.
constexpr size_t kFirstSealSize = 4096;
constexpr unsigned kPatternCharBits = 8;

bool IsDigit(uint8_t c) { return c >= '0' && c <= '9'; }

size_t BaseLength(const uint8_t* name) {
  size_t length = kFatNameLength;
  while (length > 0 && name[length - 1] == ' ') --length;
  return length;
}

// The base's length and its characters after the first, digits all alike: two names with
// the same pattern differ only in their first letter, their counters and their extensions.
uint64_t PatternOf(const uint8_t* name) {
  const size_t length = BaseLength(name);
  uint64_t pattern = length;
  for (size_t i = 1; i < length; ++i) {
    const uint8_t c = IsDigit(name[i]) ? '#' : name[i];
    pattern |= static_cast<uint64_t>(c) << (kPatternCharBits * i);
  }
  return pattern;
}

bool IsKnownFirstByte(uint8_t c) {
  return c != kFatDeletedMarker && c != ' ' && c != '.' && IsValidShortNameByte(c);
}

// Folds one witness into the answer: its letter, or kMany once two letters disagree.
constexpr int kNone = 0;
constexpr int kMany = -1;
void Witness(int& answer, uint8_t letter) {
  if (answer == kNone) {
    answer = letter;
  } else if (answer != letter) {
    answer = kMany;
  }
}

}  // namespace

ShortNameHead HeadOfEntry(const uint8_t* entry) {
  ShortNameHead head;
  std::memcpy(head.data(), entry, head.size());
  return head;
}

void CFirstLetterSettler::Clear() {
  m_known.clear();
  m_sealed = 0;
  m_sealAt = 0;
}

void CFirstLetterSettler::AddEntry(const uint8_t* entry, bool longNamePending, uint8_t checksum, uint64_t folder) {
  uint8_t first = entry[0];
  if (first == kFatDeletedMarker) first = longNamePending ? FirstByteForChecksum(checksum, entry) : 0;
  if (!IsKnownFirstByte(first) || BaseLength(entry) == 0) return;
  AddKnown(PatternOf(entry), folder, first);
}

void CFirstLetterSettler::AddVolumeNames(const CFirstLetterSettler& other) {
  for (const Known& k : other.m_known) AddKnown(k.pattern, kForeignFolder, k.letter);
}

void CFirstLetterSettler::AddKnown(uint64_t pattern, uint64_t folder, uint8_t letter) {
  m_known.push_back({pattern, folder, letter});
  if (m_known.size() >= std::max(m_sealAt, kFirstSealSize)) {
    Seal();
    m_sealAt = 2 * m_known.size();
  }
}

void CFirstLetterSettler::Seal() {
  if (m_sealed == m_known.size()) return;
  auto less = [](const Known& a, const Known& b) {
    return std::tie(a.pattern, a.folder, a.letter) < std::tie(b.pattern, b.folder, b.letter);
  };
  auto same = [](const Known& a, const Known& b) {
    return a.pattern == b.pattern && a.folder == b.folder && a.letter == b.letter;
  };
  std::sort(m_known.begin(), m_known.end(), less);
  m_known.erase(std::unique(m_known.begin(), m_known.end(), same), m_known.end());
  m_sealed = m_known.size();
}

uint8_t CFirstLetterSettler::Settle(const ShortNameHead& head, uint64_t folder) {
  const size_t length = BaseLength(head.data());
  if (head[0] != kFatDeletedMarker || length == 0) return 0;
  Seal();
  const uint64_t pattern = PatternOf(head.data());
  const auto first = std::lower_bound(m_known.begin(), m_known.end(), pattern,
                                      [](const Known& k, uint64_t p) { return k.pattern < p; });
  int inFolder = kNone;
  int inVolume = kNone;
  for (auto it = first; it != m_known.end() && it->pattern == pattern; ++it) {
    if (it->folder == folder) Witness(inFolder, it->letter);
    Witness(inVolume, it->letter);
  }
  // Names that disagree mean two letters are possible: no prefix may then pick one.
  if (inFolder != kNone) return inFolder == kMany ? 0 : static_cast<uint8_t>(inFolder);
  if (inVolume != kNone) return inVolume == kMany ? 0 : static_cast<uint8_t>(inVolume);
  int byPrefix = kNone;
  for (const char* prefix : kDevicePrefixes) {
    const size_t n = std::strlen(prefix);
    if (n > length || std::memcmp(head.data() + 1, prefix + 1, n - 1) != 0) continue;
    if (n == length || IsDigit(head[n])) Witness(byPrefix, static_cast<uint8_t>(prefix[0]));
  }
  return byPrefix == kNone || byPrefix == kMany ? 0 : static_cast<uint8_t>(byPrefix);
}

std::string CFirstLetterSettler::SettledName(const ShortNameHead& head, bool withExtension, uint64_t folder) {
  ShortNameHead settled = head;
  const uint8_t letter = Settle(head, folder);
  if (letter != 0) settled[0] = letter;
  return ShortName(settled.data(), withExtension);
}

}  // namespace vorlenta
