// Reads whole sectors of a disk or image, read-only, confined below a sector limit.
#pragma once

#include <cstdint>
#include <string>

namespace vorlenta {

constexpr int kSectorSize = 512;

class CDiskReader {
 public:
  CDiskReader() = default;
  ~CDiskReader();
  CDiskReader(const CDiskReader&) = delete;
  CDiskReader& operator=(const CDiskReader&) = delete;

  // Opens disk `diskNumber` of the platform layer read-only; reads may reach sectors below
  // `sectorLimit`. Returns 0 or the errno of the open (87 when the disk does not exist).
  int Init(int diskNumber, unsigned long long sectorLimit);
  // Opens a device or image by path (wide text), read-only, with the same limit rule.
  int Init(const char16_t* path, unsigned long long sectorLimit);
  // The same for a UTF-8 path.
  int InitPath(const std::string& path, unsigned long long sectorLimit);

  // Reads `sectorCount` sectors of `sectorSize` bytes from absolute sector `startSector`.
  // Returns 0; 87 when the run passes the limit or the reader is closed; 30 on a short read
  // (`sectorsRead` then holds the whole sectors that arrived); or the errno of a failed seek.
  int ReadData(unsigned char* buffer, int sectorCount, long long startSector, int sectorSize,
               unsigned int* sectorsRead);

  void Close();
  bool IsOpen() const { return m_fd != -1; }
  int Descriptor() const { return m_fd; }
  unsigned long long SectorLimit() const { return m_sectorLimit; }

 private:
  int m_fd = -1;
  unsigned long long m_sectorLimit = 0;
};

}  // namespace vorlenta
