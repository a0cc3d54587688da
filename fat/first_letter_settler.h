// Deleting a FAT entry overwrites the first byte of its short name. Cameras and phones write
// short names only, a fixed prefix and a counter (IMG_0010.JPG), so the other names of the
// same volume, or failing them the prefixes such devices use, usually tell the lost letter.
// A restored letter is a guess: it is given only when every witness agrees on one letter.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fat/fat_entry_names.h"

namespace vorlenta {

using ShortNameHead = std::array<uint8_t, kShortNameHeadBytes>;

// The head of a short entry at `entry` (at least kShortNameHeadBytes bytes).
ShortNameHead HeadOfEntry(const uint8_t* entry);

class CFirstLetterSettler {
 public:
  // The folder of names handed over from another listing of the volume: they count for the
  // whole volume, never as the same folder.
  static constexpr uint64_t kForeignFolder = ~1ull;

  void Clear();
  // Notes one short entry of `folder` met in a directory: a live one, or a deleted one whose
  // long name (pending, with `checksum`) fixes the lost byte. Other entries tell nothing.
  void AddEntry(const uint8_t* entry, bool longNamePending, uint8_t checksum, uint64_t folder);
  // Adds the names `other` knows, as names of the whole volume.
  void AddVolumeNames(const CFirstLetterSettler& other);
  // The lost first byte of the deleted short name `head` in `folder`, or 0 when the volume
  // does not settle it: names of the same length whose other characters match (digits may
  // differ, the extension is ignored) in the same folder, else in the volume, all with one
  // letter; else exactly one letter among the well-known device prefixes that fit.
  uint8_t Settle(const ShortNameHead& head, uint64_t folder);
  // The shown name of `head` (a deleted short entry) with its letter restored where settled.
  std::string SettledName(const ShortNameHead& head, bool withExtension, uint64_t folder);
 private:
  struct Known {
    uint64_t pattern;
    uint64_t folder;
    uint8_t letter;
  };
  void AddKnown(uint64_t pattern, uint64_t folder, uint8_t letter);
  void Seal();

  std::vector<Known> m_known;
  size_t m_sealed = 0;    // leading entries sorted and unique
  size_t m_sealAt = 0;    // size at which the unsorted tail is folded in during a scan
};

}  // namespace vorlenta
