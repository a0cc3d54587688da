// The sample images of the benchmarks: real files made by ffmpeg, ImageMagick, sox, zip, 7z,
// gzip, sqlite3 and groff, laid on sector boundaries between random data and zero runs.
#include "bench/sample_image.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "util/os_helpers.h"

namespace vorlenta::bench {
namespace {

constexpr int kSector = 512;
constexpr double kMegabyte = 1e6;
constexpr size_t kWriteChunk = 1u << 20;

#define FFMPEG "ffmpeg -nostdin -hide_banner -loglevel error -y "
#define CLIP FFMPEG "-f lavfi -i testsrc2=size=640x480:rate=25 -f lavfi -i sine=frequency=330 -t 6 "

// The real files of the image, made in a scratch folder.
const char* const kSampleCommands[] = {
    "convert -seed 1 -size 1600x1200 plasma:fractal -quality 92 a.jpg",
    "convert -seed 2 -size 2000x1500 plasma:fractal -quality 90 b.jpg",
    "convert -seed 3 -size 1200x900 plasma:fractal c.jpg && convert c.jpg -resize 160x120 t.jpg && "
    "exiftool -q -overwrite_original -JFIF:all= '-ThumbnailImage<=t.jpg' -Make=Canon c.jpg",
    "convert -seed 4 -size 800x600 plasma:fractal d.png",
    "convert -size 320x240 gradient:red-blue e.gif",
    "convert -size 320x240 gradient:green-yellow BMP3:f.bmp",
    "convert -seed 5 -size 400x300 plasma:fractal g.tif",
    "seq 1 300000 > n.txt && zip -q -X h.zip n.txt",
    "7z a -bd -y i.7z n.txt >/dev/null",
    "gzip -9 -c n.txt > j.gz",
    "sqlite3 k.db 'create table t(x); insert into t values(randomblob(200000)); insert into t "
    "values(randomblob(90000));'",
    "printf '.TL\\nBench\\n.PP\\nA page of text.\\n' | groff -ms -Tpdf > l.pdf",
    FFMPEG "-f lavfi -i sine=frequency=440:duration=20 -c:a libmp3lame -id3v2_version 3 -write_id3v1 1 m.mp3",
    "sox -n -r 44100 -c 2 n.wav synth 6 sine 440",
    CLIP "-c:v mpeg4 -c:a mp2 o.avi",
    CLIP "-c:v libx264 -preset ultrafast -c:a aac p.mp4",
    CLIP "-c:v mpeg4 -c:a aac q.mov",
    CLIP "-c:v mpeg1video -c:a mp2 -f mpeg r.mpg",
    CLIP "-c:v mpeg2video -c:a mp2 -f mpegts s.ts",
    CLIP "-c:v libx264 -preset ultrafast -c:a mp2 t.mkv",
    CLIP "-c:v flv1 -c:a mp3 u.flv",
};

// Random data from a xorshift generator: fast enough for a gigabyte.
class Noise {
 public:
  void Fill(uint8_t* out, size_t bytes) {
    for (size_t i = 0; i < bytes; i += 8) {
      m_state ^= m_state << 13;
      m_state ^= m_state >> 7;
      m_state ^= m_state << 17;
      std::memcpy(out + i, &m_state, std::min<size_t>(8, bytes - i));
    }
  }

 private:
  uint64_t m_state = 0x2545F4914F6CDD1Dull;
};

std::vector<uint8_t> ReadWhole(const std::string& path) {
  std::vector<uint8_t> out;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return out;
  uint8_t buf[65536];
  size_t n = 0;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
  std::fclose(f);
  return out;
}

}  // namespace

std::string MakeScratchFolder(const char* tag) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/vorlenta-bench-" + tag + "-XXXXXX";
  if (::mkdtemp(&pattern[0]) == nullptr) return std::string();
  return pattern;
}

int MakeSampleImage(const std::string& image, uint64_t megabytes, unsigned zeroPercent, const char* tag) {
  const std::string folder = MakeScratchFolder("sample-files");
  if (folder.empty()) {
    std::perror("mkdtemp");
    return 1;
  }
  std::vector<std::vector<uint8_t>> files;
  for (const char* command : kSampleCommands) {
    const std::string line = "cd '" + folder + "' && (" + command + ") >/dev/null 2>&1";
    if (std::system(line.c_str()) != 0) {
      std::fprintf(stderr, "%s: cannot make a sample file: %s (run scripts/install-deps.sh)\n", tag, command);
      continue;
    }
  }
  for (const char* name :
       {"a.jpg", "b.jpg", "c.jpg", "d.png", "e.gif", "f.bmp", "g.tif", "h.zip", "i.7z",  "j.gz", "k.db",
        "l.pdf", "m.mp3", "n.wav", "o.avi", "p.mp4", "q.mov", "r.mpg", "s.ts",  "t.mkv", "u.flv"}) {
    std::vector<uint8_t> bytes = ReadWhole(folder + "/" + name);
    if (!bytes.empty()) files.push_back(std::move(bytes));
  }
  if (std::system(("rm -rf '" + folder + "'").c_str()) != 0)
    std::fprintf(stderr, "%s: %s left behind\n", tag, folder.c_str());
  if (files.empty()) {
    std::fprintf(stderr, "%s: no sample files could be made\n", tag);
    return 1;
  }
  const int fd = ::open(image.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    std::perror(image.c_str());
    return 1;
  }
  const uint64_t target = megabytes << 20;
  uint64_t written = 0;
  uint64_t fileBytes = 0;
  uint64_t placed = 0;
  Noise noise;
  std::vector<uint8_t> buffer(kWriteChunk);
  auto writeNoise = [&](uint64_t bytes) {
    while (bytes > 0) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(bytes, buffer.size()));
      noise.Fill(buffer.data(), n);
      if (WriteAll(fd, buffer.data(), n) != 0) return false;
      bytes -= n;
      written += n;
    }
    return true;
  };
  bool ok = true;
  for (size_t i = 0; ok && written < target; ++i) {
    const std::vector<uint8_t>& file = files[i % files.size()];
    const uint64_t padded = (file.size() + kSector - 1) / kSector * kSector;
    // A gap in front of each file, in whole sectors: zeros for `zeroPercent` of the image,
    // the rest random data.
    const uint64_t before = std::max<uint64_t>(padded * (100 + 2 * zeroPercent) / 100 / kSector * kSector, kSector);
    const uint64_t zeros = padded * 3 * zeroPercent / 100 / kSector * kSector;
    if (written + before + zeros + padded > target) break;
    ok = writeNoise(before);
    std::vector<uint8_t> zeroRun(static_cast<size_t>(zeros), 0);
    ok = ok && WriteAll(fd, zeroRun.data(), zeroRun.size()) == 0;
    written += zeros;
    std::vector<uint8_t> sectorAligned(file);
    sectorAligned.resize(static_cast<size_t>(padded), 0);
    ok = ok && WriteAll(fd, sectorAligned.data(), sectorAligned.size()) == 0;
    written += padded;
    fileBytes += padded;
    ++placed;
  }
  ok = ok && writeNoise(target - written);
  ::close(fd);
  if (!ok) {
    std::fprintf(stderr, "%s: cannot write %s\n", tag, image.c_str());
    return 1;
  }
  std::printf("%s: made %s: %.0f MB, %llu real files (%.0f MB) between random data and zeros\n", tag, image.c_str(),
              static_cast<double>(target) / kMegabyte, static_cast<unsigned long long>(placed),
              static_cast<double>(fileBytes) / kMegabyte);
  return 0;
}

// Reads the image once so that a timed pass measures the engines, not the disk.
void WarmPageCache(const std::string& image) {
  const int fd = ::open(image.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  std::vector<uint8_t> buffer(kWriteChunk);
  while (::read(fd, buffer.data(), buffer.size()) > 0) {
  }
  ::close(fd);
}

}  // namespace vorlenta::bench
