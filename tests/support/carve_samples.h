// Real files of the carved formats, made by the real tools (ImageMagick, exiftool, ffmpeg, sox,
// zip, 7z, gzip, sqlite3, libheif, OpenJPEG, flac, vorbis-tools, opus-tools, enscript, groff,
// tar, bzip2, xz, zstd, the WOFF tools) in a folder, and laid out in one raw image for the
// carving and signature tests. Camera raw files, a GIMP image and the formats no tool here
// writes (MIDI, Monkey's Audio, RAR, cabinet) are byte-built.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "device/disk_reader.h"
#include "support/test_support.h"

namespace vorlenta::test {

constexpr int kSampleSector = 512;

// How far the carver can know a format's end.
enum class LengthRule {
  kExact,      // a declared size or an accepted trailer: the carved file is the original
  kBounded,    // only the end test: the original, then whatever precedes the next file
  kId3v1Tail,  // the ID3v1 rule: the original and the three bytes after it
  kNotAFile,   // a real file the signature tests turn down: nothing is carved at its start
};

struct CarveSample {
  std::string label;      // the file name
  std::string path;       // the original
  std::string extension;  // extension of the carved file's name
  LengthRule rule;
};

// Makes every sample in `folder`, in the order a test lays them out. Returns an empty string,
// or what failed.
std::string MakeCarveSamples(const std::string& folder, std::vector<CarveSample>& out);

std::vector<uint8_t> Text(const std::string& s);
std::vector<uint8_t> Join(std::initializer_list<std::vector<uint8_t>> parts);
// `head` padded with zeros to a sector.
std::vector<uint8_t> Sector(std::vector<uint8_t> head);
// Random data that no format test and no file-system test accepts in any of its sectors.
std::vector<uint8_t> Filler(size_t bytes, uint64_t seed);

// Resets the detection context as the carver does before it tests sector `start`.
void CarverContext(CDiskReader* reader, uint64_t start);

// Bytes written to a file and opened as a read-only device. With `extraSectors` the reader may
// ask for sectors past the file's end, so a read there comes back short: a read error.
class SampleDevice {
 public:
  explicit SampleDevice(const std::vector<uint8_t>& bytes, uint64_t extraSectors = 0);
  CDiskReader* reader() { return &m_reader; }
  int status() const { return m_status; }
  const std::string& path() const { return m_path; }
  uint64_t sectors() const { return m_bytes.size() / kSampleSector; }
  const uint8_t* sector(uint64_t n) const { return m_bytes.data() + n * kSampleSector; }

 private:
  TempDir m_dir;
  std::string m_path;
  std::vector<uint8_t> m_bytes;
  CDiskReader m_reader;
  int m_status = -1;
};

// The samples laid out: random data first, then each file on a sector boundary, its last
// sector padded with zeros, followed by nothing (the next file at once), random data, a zero
// run, an NTFS file record or a real FAT directory sector. Built once per process.
struct SampleImage {
  std::string error;
  std::vector<CarveSample> samples;
  std::vector<uint64_t> start;  // first sector of each sample
  std::vector<uint64_t> limit;  // first sector of what follows it that the carver must not take
  std::unique_ptr<SampleDevice> device;

  // The index of the sample made as `file`; a test failure when there is none.
  size_t Index(const std::string& file) const;
};
SampleImage& CarveSampleImage();

}  // namespace vorlenta::test
