#include "scan/recovery_factory.h"

#include <fcntl.h>
#include <unistd.h>

#include <vector>

#include "device/boot_probe.h"
#include "device/exfat_boot.h"
#include "engine/fast_ext_recovery.h"
#include "exfat/fast_exfat_recovery.h"
#include "fat/fast_fat_recovery.h"
#include "ntfs/fast_ntfs_recovery.h"
#include "scan/professional_recovery.h"
#include "util/debug_log.h"
#include "util/os_helpers.h"
#include "util/platform.h"
#include "util/text.h"

namespace vorlenta {
namespace {

std::unique_ptr<IFileRecoveryParse> MakeEngine(VolumeKind kind, RECOVERY_TYPE type) {
  // The deep scan serves every volume, also one no probe recognises.
  if (type != kRecoveryFast) return std::make_unique<CProfessionalRecovery>();
  switch (kind) {
    case VolumeKind::kFat: return std::make_unique<CFastFatRecovery>();
    case VolumeKind::kExt: return std::make_unique<CFastExtRecovery>();
    case VolumeKind::kNtfs: return std::make_unique<CFastNtfsRecovery>();
    case VolumeKind::kExfat: return std::make_unique<CFastExfatRecovery>();
    case VolumeKind::kUnknown: return nullptr;
  }
  return nullptr;
}

// Reads the probe bytes at `offset` of an open descriptor. 0, or the failing step's status.
int ReadProbe(int fd, long long offset, std::vector<uint8_t>& buffer, bool& seekFailed) {
  seekFailed = false;
  if (::lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0) {
    seekFailed = true;
    return errno;
  }
  buffer.assign(kProbeBytes, 0);
  unsigned got = 0;
  return ReadData(fd, buffer.data(), kProbeBytes, &got);
}

}  // namespace

VolumeKind ProbeVolume(const uint8_t* buffer, size_t length) {
  if (IsNtfs(buffer, length)) return VolumeKind::kNtfs;
  if (IsFat(buffer, length)) return VolumeKind::kFat;
  // A damaged main boot region leaves the backup, 12 sectors in, to tell.
  constexpr size_t kBackupOffset = static_cast<size_t>(kExfatBackupBootSector) * kBootSectorBytes;
  if (IsExfat(buffer, length) || (length > kBackupOffset && IsExfat(buffer + kBackupOffset, length - kBackupOffset))) {
    return VolumeKind::kExfat;
  }
  if (IsExt(buffer, length)) return VolumeKind::kExt;
  return VolumeKind::kUnknown;
}

CFileRecoveryFactory& CFileRecoveryFactory::GetInstance() {
  static CFileRecoveryFactory factory;
  return factory;
}

std::unique_ptr<IFileRecoveryParse> CFileRecoveryFactory::CreateFileRecoveryInstance(int diskNumber, long long startSector,
                                                                                     long long sectorCount,
                                                                                     char16_t volumeTag,
                                                                                     RECOVERY_TYPE type) {
  std::string path;
  const int fd = GetDiskPath(diskNumber, path) == 0 ? ::open(path.c_str(), O_RDONLY | O_CLOEXEC) : -1;
  if (fd < 0) {
    DebugMessage("Open Failed\n");
    return nullptr;
  }
  std::vector<uint8_t> buffer;
  bool seekFailed = false;
  const int status = ReadProbe(fd, startSector * kSectorSize, buffer, seekFailed);
  ::close(fd);
  if (status != 0) DebugMessage(seekFailed ? "lseek Failed\n" : "read Failed\n");
  // An unreadable start is no file system the probes know, which the deep scan still reads.
  const VolumeKind kind = status == 0 ? ProbeVolume(buffer.data(), buffer.size()) : VolumeKind::kUnknown;
  std::unique_ptr<IFileRecoveryParse> engine = MakeEngine(kind, type);
  if (engine != nullptr) {
    const int initStatus = engine->Init(diskNumber, startSector, sectorCount, volumeTag);
    if (initStatus != 0) {
      DebugMessage(("engine Init failed " + std::to_string(initStatus) + "\n").c_str());
      return nullptr;
    }
  }
  return engine;
}

std::unique_ptr<IFileRecoveryParse> CFileRecoveryFactory::CreateFileRecoveryInstance(const char16_t* path,
                                                                                     char16_t volumeTag,
                                                                                     RECOVERY_TYPE type) {
  if (path == nullptr) return nullptr;
  const int fd = ::open(Utf16ToUtf8(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  std::vector<uint8_t> buffer;
  bool seekFailed = false;
  const int status = ReadProbe(fd, 0, buffer, seekFailed);
  ::close(fd);
  const VolumeKind kind = status == 0 ? ProbeVolume(buffer.data(), buffer.size()) : VolumeKind::kUnknown;
  std::unique_ptr<IFileRecoveryParse> engine = MakeEngine(kind, type);
  if (engine != nullptr && engine->Init(path, volumeTag) != 0) return nullptr;
  return engine;
}

}  // namespace vorlenta
