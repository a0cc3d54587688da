// What both FAT engines do the same way with one directory entry once it is judged valid:
// its displayed name (the long name assembled from the entries before it, or the 8.3 name),
// its times and size in a node, the directory-head test, and the health test of a file's
// first sector.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/file_node.h"
#include "format/fat_record.h"

namespace vorlenta {

class CDiskReader;

// "." + blank and ".." at the start of a buffer, the first a directory: the head of a
// directory's first cluster.
bool IsDirectoryHead(const uint8_t* buffer, size_t length);

// The bytes of a short entry its shown name depends on: the 11 name bytes, the attribute and
// the case flags.
constexpr size_t kShortNameHeadBytes = kFatCaseOffset + 1;

// The 8.3 name as its writer recorded it: upper case, or lower case for the base or the
// extension where the entry's case flags say so; a deleted entry's lost letter as "!".
// Reads the first kShortNameHeadBytes bytes of `entry`.
std::string ShortName(const uint8_t* entry, bool withExtension);

// A deleted entry's slots may be reused one by one: when the first slot of a long name (which
// holds the name's end) is taken by a new entry, what is left is the name without its end.
// The short entry keeps the start of the real extension; restore the extension from it.
std::string MendTruncatedLongName(const std::string& longName, const uint8_t* entry);

// The three times and the size of a node, from its short entry.
void FillNodeFromEntry(const FAT32_Entry& entry, _FILE_NODE_& node);

// True when the long-name checksum fits the short entry. A deleted entry has lost its first
// byte, so it fits when some valid first byte gives the checksum (the sum is a bijection of
// that byte, so exactly one does).
bool LongNameFitsShortEntry(uint8_t checksum, const uint8_t* shortEntry);
// The first byte of a short entry that gives the long-name checksum: the entry's own byte when
// it is live, the lost one when it is deleted; 0 when none does.
uint8_t FirstByteForChecksum(uint8_t checksum, const uint8_t* shortEntry);

// The health test of a file: without an extension, or when its first sector cannot be read,
// healthy (1); otherwise 1 exactly when that sector (absolute) matches the extension's format.
int IsFirstSectorHealthy(CDiskReader& reader, const char* fileName, uint64_t absoluteSector);

// Collects the long-name entries that stand before a short entry, in the order they are
// stored (the name's end first), into one name of at most 255 units.
class CLongNameAssembler {
 public:
  void Reset() {
    m_valid = false;
    m_start = kUnits;
  }
  bool Pending() const { return m_valid; }
  uint8_t Checksum() const { return m_checksum; }
  // Adds one long-name entry in front of the pending name; false (nothing added) when the
  // name would no longer fit.
  bool Add(const FAT32_Entry& entry);
  // The pending name in the 8-bit code page, and resets.
  std::string Take();

 private:
  static constexpr int kUnits = 256;
  char16_t m_units[kUnits] = {};
  int m_start = kUnits;
  bool m_valid = false;
  uint8_t m_checksum = 0;
};

}  // namespace vorlenta
