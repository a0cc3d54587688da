#include "device/boot_probe.h"

#include "device/exfat_boot.h"
#include "util/endian.h"

namespace vorlenta {
namespace {

constexpr char kNtfsOemName[] = "NTFS    ";
constexpr char kBitlockerOemName[] = "-FVE-FS-";
constexpr char kFat32TypeLabel[] = "FAT32   ";
constexpr size_t kLabelLength = 8;
// Second BitLocker signature: eight 0x78, nineteen 0xFF, then 00 1F 2C.
constexpr size_t kBitlockerAreaLength = 30;
// Highest cluster count a FAT volume can address.
constexpr uint32_t kMaxFatClusters = 0xFFFFFEF;

// Superblock fields, relative to the superblock at byte 1024.
constexpr size_t kExtSuperblock = 1024;
constexpr size_t kExtInodeCount = 0;
constexpr size_t kExtBlockCount = 4;
constexpr size_t kExtFirstDataBlock = 20;
constexpr size_t kExtLogBlockSize = 24;
constexpr size_t kExtBlocksPerGroup = 32;
constexpr size_t kExtInodesPerGroup = 40;
constexpr size_t kExtMagic = 56;
constexpr size_t kExtFirstInode = 84;
constexpr uint16_t kExtMagicValue = 0xEF53;
constexpr uint32_t kExtSmallBlock = 1024;
// A log field this large would shift the block size out of 32 bits.
constexpr uint32_t kExtMaxLogBlockSize = 21;

bool HasBootSignature(const uint8_t* b) {
  return b[boot::kSignature] == boot::kSignatureByte0 && b[boot::kSignature + 1] == boot::kSignatureByte1;
}

bool Usable(const uint8_t* buffer, size_t length, size_t needed) { return buffer != nullptr && length >= needed; }

}  // namespace

bool IsAllowedSectorsPerCluster(uint8_t value) {
  switch (value) {
    case 1: case 2: case 4: case 8: case 16: case 32: case 64:
      return true;
    default:
      return false;
  }
}

bool IsNtfs(const uint8_t* b, size_t length) {
  if (!Usable(b, length, kBootSectorBytes)) return false;
  if (!BytesEqual(b, length, boot::kOemName, kNtfsOemName, kLabelLength)) return false;
  if ((ReadU16LE(b, length, boot::kBytesPerSector) & 0x1FF) != 0) return false;
  if (ReadU16LE(b, length, boot::kReservedSectors) != 0) return false;
  if (!IsAllowedSectorsPerCluster(b[boot::kSectorsPerCluster])) return false;
  if (ReadU64LE(b, length, boot::kNtfsTotalSectors) == 0) return false;
  // The FAT-only fields must be zero; the media descriptor (21) and bytes 24-31 are not checked.
  static constexpr size_t kMustBeZero[] = {16, 17, 18, 19, 20, 22, 23, 32, 33, 34, 35};
  for (size_t offset : kMustBeZero) {
    if (b[offset] != 0) return false;
  }
  return HasBootSignature(b);
}

bool IsBitlockerDBR(const uint8_t* b, size_t length) {
  if (!Usable(b, length, kBootSectorBytes)) return false;
  if (BytesEqual(b, length, boot::kOemName, kBitlockerOemName, kLabelLength)) return true;
  uint8_t pattern[kBitlockerAreaLength];
  for (size_t i = 0; i < 8; ++i) pattern[i] = 0x78;
  for (size_t i = 8; i < 27; ++i) pattern[i] = 0xFF;
  pattern[27] = 0x00;
  pattern[28] = 0x1F;
  pattern[29] = 0x2C;
  return BytesEqual(b, length, boot::kBitlockerSignatureArea, pattern, kBitlockerAreaLength);
}

bool IsFullValidFAT16DBR(const uint8_t* b, size_t length) {
  if (!Usable(b, length, kBootSectorBytes)) return false;
  return b[boot::kNumberOfFats] != 0 &&
         (ReadU16LE(b, length, boot::kTotalSectors16) != 0 || ReadU32LE(b, length, boot::kTotalSectors32) != 0) &&
         IsAllowedSectorsPerCluster(b[boot::kSectorsPerCluster]) && ReadU16LE(b, length, boot::kSectorsPerFat16) != 0 &&
         HasBootSignature(b);
}

bool IsFullValidFAT32DBR(const uint8_t* b, size_t length) {
  if (!Usable(b, length, kBootSectorBytes)) return false;
  return BytesEqual(b, length, boot::kFat32TypeLabel, kFat32TypeLabel, kLabelLength) && b[boot::kNumberOfFats] != 0 &&
         ReadU32LE(b, length, boot::kTotalSectors32) != 0 && IsAllowedSectorsPerCluster(b[boot::kSectorsPerCluster]) &&
         ReadU32LE(b, length, boot::kSectorsPerFat32) != 0 && HasBootSignature(b);
}

bool IsFat(const uint8_t* b, size_t length) {
  if (!Usable(b, length, kBootSectorBytes)) return false;
  if (IsBitlockerDBR(b, length)) return false;
  const uint16_t fat16Size = ReadU16LE(b, length, boot::kSectorsPerFat16);
  const uint32_t fatSize = fat16Size != 0 ? fat16Size : ReadU32LE(b, length, boot::kSectorsPerFat32);
  const uint32_t total32 = ReadU32LE(b, length, boot::kTotalSectors32);
  const uint32_t total = total32 != 0 ? total32 : ReadU16LE(b, length, boot::kTotalSectors16);
  const uint16_t bytesPerSector = ReadU16LE(b, length, boot::kBytesPerSector);
  const uint8_t sectorsPerCluster = b[boot::kSectorsPerCluster];
  if (bytesPerSector == 0 || sectorsPerCluster == 0 || bytesPerSector % 512 != 0) return false;
  const uint32_t rootSectors = static_cast<uint32_t>(ReadU16LE(b, length, boot::kRootEntries)) * 32u / bytesPerSector;
  // The byte fields are taken as signed here: a count of 128 or more sign-extends, wraps, and
  // leaves a cluster count of 0 or 1, which the record tests then reject.
  const uint32_t fats = static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(b[boot::kNumberOfFats])));
  const uint32_t perCluster = static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(sectorsPerCluster)));
  const uint32_t dataSectors = total - ReadU16LE(b, length, boot::kReservedSectors) - fatSize * fats - rootSectors;
  const uint32_t clusters = dataSectors / perCluster;
  if (clusters > kMaxFatClusters) return false;
  return IsFullValidFAT16DBR(b, length) || IsFullValidFAT32DBR(b, length);
}

bool IsExfat(const uint8_t* b, size_t length) { return IsExfatBootRegion(b, length, nullptr); }

bool IsExt(const uint8_t* b, size_t length) {
  if (!Usable(b, length, kExtProbeBytes)) return false;
  const uint8_t* sb = b + kExtSuperblock;
  const size_t sbLength = length - kExtSuperblock;
  const uint32_t inodes = ReadU32LE(sb, sbLength, kExtInodeCount);
  const uint32_t blocks = ReadU32LE(sb, sbLength, kExtBlockCount);
  const uint32_t firstDataBlock = ReadU32LE(sb, sbLength, kExtFirstDataBlock);
  const uint32_t logBlockSize = ReadU32LE(sb, sbLength, kExtLogBlockSize);
  const uint32_t blocksPerGroup = ReadU32LE(sb, sbLength, kExtBlocksPerGroup);
  const uint32_t inodesPerGroup = ReadU32LE(sb, sbLength, kExtInodesPerGroup);
  const uint32_t firstInode = ReadU32LE(sb, sbLength, kExtFirstInode);
  if (ReadU16LE(sb, sbLength, kExtMagic) != kExtMagicValue || blocks == 0 || inodes == 0 || blocksPerGroup == 0 ||
      inodesPerGroup == 0 || firstInode < 3) {
    return false;
  }
  if ((inodes - 1) / inodesPerGroup != (blocks - 1 - firstDataBlock) / blocksPerGroup) return false;
  if (logBlockSize > kExtMaxLogBlockSize) return false;
  const uint32_t blockSize = kExtSmallBlock << logBlockSize;
  if (firstDataBlock != (blockSize == kExtSmallBlock ? 1u : 0u)) return false;
  return inodes > firstInode;
}

uint32_t GetDefaultNtfsSectorPerCluster(uint64_t sectorCount, uint32_t bytesPerSector) {
  const double k = static_cast<double>(bytesPerSector / 512);
  const double mib = static_cast<double>(sectorCount) * static_cast<double>(bytesPerSector) / 1048576.0;
  if (mib > 7 * k && mib <= 512 * k) return 1;
  if (mib > 512 * k && mib <= 1024 * k) return 2;
  if (mib > 1024 * k && mib <= 2048 * k) return 4;
  return 8;
}

uint32_t GetFat32DefaultSectorPerCluster(uint64_t sectorCount, uint32_t bytesPerSector) {
  struct Row {
    uint32_t sectorsPerCluster;
    uint64_t lower;
    uint64_t upper;
  };
  static constexpr Row kRows[] = {
      {1, 68544, 133056},          {2, 133056, 264096},         {4, 264096, 526176},
      {8, 526176, 16777152},       {16, 16777152, 33554304},    {32, 33554304, 67108608},
      {64, 67108608, 268435440},   {128, 268435440, 4294967167},
  };
  constexpr uint32_t kLargeSectorBytes = 4096;
  if (sectorCount == 0) return 0;
  for (const Row& row : kRows) {
    if (sectorCount >= row.lower && sectorCount < row.upper) {
      // A 4096-byte sector cannot take 128 sectors per cluster (512 KiB clusters).
      if (row.sectorsPerCluster == 128 && bytesPerSector == kLargeSectorBytes) return 64;
      return row.sectorsPerCluster;
    }
  }
  return 8;
}

}  // namespace vorlenta
