// Throughput of carving as the deep pass runs it: every sector of an image offered to the
// carving engine in 64 KiB reads, carved files jumped over by the skip rule. With --make the
// benchmark first builds its image: real files made by ffmpeg, ImageMagick, sox, zip, 7z,
// gzip, sqlite3 and groff, laid on sector boundaries, each after a stretch of random data of
// about its own size, so that half the image is files and half is noise.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "bench/bench.h"
#include "carving/carve_pass.h"
#include "carving/file_type_recovery.h"
#include "engine/categories.h"
#include "engine/log_file_manager.h"
#include "util/debug_log.h"
#include "util/os_helpers.h"
#include "util/platform.h"
#include "util/text.h"

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

std::string MakeScratchFolder(const char* tag) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/vorlenta-bench-" + tag + "-XXXXXX";
  if (::mkdtemp(&pattern[0]) == nullptr) return std::string();
  return pattern;
}

int MakeImage(const std::string& image, uint64_t megabytes) {
  const std::string folder = MakeScratchFolder("carve-files");
  if (folder.empty()) {
    std::perror("carve: mkdtemp");
    return 1;
  }
  std::vector<std::vector<uint8_t>> files;
  for (const char* command : kSampleCommands) {
    const std::string line = "cd '" + folder + "' && (" + command + ") >/dev/null 2>&1";
    if (std::system(line.c_str()) != 0) {
      std::fprintf(stderr, "carve: cannot make a sample file: %s (run scripts/install-deps.sh)\n", command);
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
    std::fprintf(stderr, "carve: %s left behind\n", folder.c_str());
  if (files.empty()) {
    std::fprintf(stderr, "carve: no sample files could be made\n");
    return 1;
  }
  const int fd = ::open(image.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    std::perror(("carve: " + image).c_str());
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
    // Noise of about the file's size in front of it, in whole sectors.
    const uint64_t before = std::max<uint64_t>(padded, kSector);
    if (written + before + padded > target) break;
    ok = writeNoise(before);
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
    std::fprintf(stderr, "carve: cannot write %s\n", image.c_str());
    return 1;
  }
  std::printf("carve: made %s: %.0f MB, %llu real files (%.0f MB) between random data\n", image.c_str(),
              static_cast<double>(target) / kMegabyte, static_cast<unsigned long long>(placed),
              static_cast<double>(fileBytes) / kMegabyte);
  return 0;
}

// Reads the image once so that the timed pass measures the carver, not the disk.
void WarmPageCache(const std::string& image) {
  const int fd = ::open(image.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  std::vector<uint8_t> buffer(kWriteChunk);
  while (::read(fd, buffer.data(), buffer.size()) > 0) {
  }
  ::close(fd);
}

}  // namespace

int RunCarveBench(const Args& args) {
  std::string image;
  if (args.size() == 3 && args[0] == "--make") {
    image = args[1];
    const uint64_t megabytes = std::strtoull(args[2].c_str(), nullptr, 10);
    if (megabytes == 0) {
      std::fprintf(stderr, "usage: vorlenta-bench carve [--make IMAGE SIZE_MB | IMAGE]\n");
      return 2;
    }
    const int made = MakeImage(image, megabytes);
    if (made != 0) return made;
  } else if (args.size() == 1) {
    image = args[0];
  } else {
    std::fprintf(stderr, "usage: vorlenta-bench carve [--make IMAGE SIZE_MB | IMAGE]\n");
    return 2;
  }

  const std::string support = MakeScratchFolder("carve");
  if (support.empty()) {
    std::perror("carve: mkdtemp");
    return 1;
  }
  ::setenv("VORLENTA_SUPPORT_DIR", support.c_str(), 1);
  SetDebugLogPath(support + "/Log.txt");
  CLogFileManager& logs = CLogFileManager::GetInstance();
  logs.Init();
  logs.AddDirIndex();

  CFileTypeRecovery engine;
  const int opened = engine.Init(Utf8ToUtf16(image.c_str()).c_str(), u'B');
  CDiskReader reader;
  const int readerOpened = reader.InitPath(image, 0);
  struct stat st;
  if (opened != 0 || readerOpened != 0 || ::stat(image.c_str(), &st) != 0) {
    std::fprintf(stderr, "carve: cannot open %s\n", image.c_str());
    return 3;
  }
  const uint64_t sectors = static_cast<uint64_t>(st.st_size) / kSector;
  reader.InitPath(image, sectors);
  WarmPageCache(image);

  const double start = NowSeconds();
  const CarvePassResult pass = RunCarvingPass(engine, reader, 0, sectors, kSector);
  const double seconds = NowSeconds() - start;

  std::vector<_FILE_NODE_> nodes;
  engine.GetChildrenFileNode(nullptr, 0, nodes);
  std::map<std::string, std::pair<uint64_t, uint64_t>> byExtension;  // count, bytes
  for (const _FILE_NODE_& node : nodes) {
    std::string ext;
    GetLowerExtension(node.FileName, ext);
    auto& entry = byExtension[ext];
    ++entry.first;
    entry.second += node.FileSize;
  }
  for (const auto& [ext, entry] : byExtension) {
    std::printf("carve: %-5s %6llu files, %10.1f MB\n", ext.c_str(), static_cast<unsigned long long>(entry.first),
                static_cast<double>(entry.second) / kMegabyte);
  }
  const double bytes = static_cast<double>(sectors) * kSector;
  std::printf("carve: image %.0f MB, %llu sectors offered to the carver, %llu read by the pass, %.3f s\n",
              bytes / kMegabyte, static_cast<unsigned long long>(pass.sectorsOffered),
              static_cast<unsigned long long>(pass.sectorsRead), seconds);
  if (std::system(("rm -rf '" + support + "'").c_str()) != 0)
    std::fprintf(stderr, "carve: %s left behind\n", support.c_str());
  std::printf("carve: %llu files, %.0f MB/s\n", static_cast<unsigned long long>(pass.files),
              seconds > 0 ? bytes / kMegabyte / seconds : 0.0);
  return pass.status == 0 ? 0 : 1;
}

}  // namespace vorlenta::bench
