// Recognises the file system at the start of a volume from its first bytes.
// The probes read nothing themselves and answer false for a buffer too short for their fields.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorlenta {

constexpr size_t kBootSectorBytes = 512;
// The ext superblock starts at byte 1024 and its last field read ends at byte 1024 + 88.
constexpr size_t kExtProbeBytes = 1024 + 88;

bool IsNtfs(const uint8_t* buffer, size_t length);
bool IsFat(const uint8_t* buffer, size_t length);
bool IsExt(const uint8_t* buffer, size_t length);
// A whole exFAT boot region (boot sector checks and checksum); the buffer must hold its 12
// sectors.
bool IsExfat(const uint8_t* buffer, size_t length);
bool IsBitlockerDBR(const uint8_t* buffer, size_t length);
bool IsFullValidFAT16DBR(const uint8_t* buffer, size_t length);
bool IsFullValidFAT32DBR(const uint8_t* buffer, size_t length);

uint32_t GetDefaultNtfsSectorPerCluster(uint64_t sectorCount, uint32_t bytesPerSector);
uint32_t GetFat32DefaultSectorPerCluster(uint64_t sectorCount, uint32_t bytesPerSector);

// True for the sectors-per-cluster values a FAT or NTFS boot record may hold (1 to 64).
bool IsAllowedSectorsPerCluster(uint8_t value);

// Boot-record field offsets shared by the probes and the FAT and NTFS engines.
namespace boot {
constexpr size_t kOemName = 3;
constexpr size_t kBytesPerSector = 11;
constexpr size_t kSectorsPerCluster = 13;
constexpr size_t kReservedSectors = 14;
constexpr size_t kNumberOfFats = 16;
constexpr size_t kRootEntries = 17;
constexpr size_t kTotalSectors16 = 19;
constexpr size_t kMediaDescriptor = 21;
constexpr size_t kSectorsPerFat16 = 22;
constexpr size_t kTotalSectors32 = 32;
constexpr size_t kSectorsPerFat32 = 36;
constexpr size_t kFat32RootCluster = 44;
constexpr size_t kNtfsTotalSectors = 40;
constexpr size_t kFat16VolumeLabel = 43;
constexpr size_t kFat32VolumeLabel = 71;
constexpr size_t kFat32TypeLabel = 82;
constexpr size_t kBitlockerSignatureArea = 480;
constexpr size_t kSignature = 510;
constexpr uint8_t kSignatureByte0 = 0x55;
constexpr uint8_t kSignatureByte1 = 0xAA;
}  // namespace boot

}  // namespace vorlenta
