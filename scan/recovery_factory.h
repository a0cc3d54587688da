// Turns a volume and a kind of scan into a ready engine: the one place engine classes are chosen.
#pragma once

#include <memory>

#include "engine/recovery_parse.h"

namespace vorlenta {

// Bytes read from the start of a volume to recognise its file system.
constexpr int kProbeBytes = 16384;

// What the probes say a volume holds.
enum class VolumeKind { kUnknown, kNtfs, kFat, kExt, kExfat };

// Recognises the file system from the first kProbeBytes of a volume (NTFS, then FAT, then
// exFAT by its main or backup boot region, then ext).
VolumeKind ProbeVolume(const uint8_t* buffer, size_t length);

class CFileRecoveryFactory {
 public:
  static CFileRecoveryFactory& GetInstance();

  // Engine for `sectorCount` sectors from `startSector` of disk `diskNumber`: the fast engine of
  // its file system, or for a deep scan the coordinator, which serves any area that can be
  // opened, readable start or not. Null when there is no such engine or its Init failed.
  std::unique_ptr<IFileRecoveryParse> CreateFileRecoveryInstance(int diskNumber, long long startSector,
                                                                 long long sectorCount, char16_t volumeTag,
                                                                 RECOVERY_TYPE type);
  // The same for a device or image given by path (wide text).
  std::unique_ptr<IFileRecoveryParse> CreateFileRecoveryInstance(const char16_t* path, char16_t volumeTag,
                                                                 RECOVERY_TYPE type);

 private:
  CFileRecoveryFactory() = default;
};

}  // namespace vorlenta
