// Carving: files made by real tools laid in a raw image between random data, zero runs and
// file-system sectors, carved as the deep pass offers the sectors and compared byte for byte
// with the originals; byte-built files for every trailer, header and packet rule; bad input
// (absurd sizes, missing trailers, a device that ends, a read error); the fast end test
// against the plain walk; and the engine's store, search and save.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "carving/carve_pass.h"
#include "carving/file_length.h"
#include "format/file_type_judge.h"
#include "carving/file_type_recovery.h"
#include "device/disk_reader.h"
#include "engine/categories.h"
#include "engine/log_file_manager.h"
#include "engine/status.h"
#include "support/carve_samples.h"
#include "support/fat_image.h"
#include "support/test_support.h"
#include "util/debug_log.h"
#include "util/endian.h"
#include "util/platform.h"
#include "util/text.h"

namespace vorlenta {
namespace {

using test::LengthRule;
using test::RandomBytes;
using test::ReadFileBytes;
using test::TempDir;
using test::WriteFileBytes;
using J = CFileTypeJudge;

constexpr int kSector = 512;
constexpr uint64_t kChunk = 65536;

std::vector<uint8_t> Bytes(std::initializer_list<int> list) {
  std::vector<uint8_t> out;
  for (int v : list) out.push_back(static_cast<uint8_t>(v));
  return out;
}

std::vector<uint8_t> Text(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

std::vector<uint8_t> Join(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

void Put(std::vector<uint8_t>& image, size_t offset, const std::vector<uint8_t>& bytes) {
  if (image.size() < offset + bytes.size()) image.resize(offset + bytes.size(), 0);
  std::copy(bytes.begin(), bytes.end(), image.begin() + static_cast<long>(offset));
}

// A raw image built sector by sector.
class ImageBuilder {
 public:
  // Appends `bytes` at the next sector, padded with zeros to a whole sector; its first sector.
  uint64_t Add(const std::vector<uint8_t>& bytes) {
    const uint64_t start = Sectors();
    m_bytes.insert(m_bytes.end(), bytes.begin(), bytes.end());
    m_bytes.resize((m_bytes.size() + kSector - 1) / kSector * kSector, 0);
    return start;
  }
  uint64_t AddRandom(size_t sectors, uint64_t seed) {
    std::vector<uint8_t> r = RandomBytes(sectors * kSector, seed);
    // Random data that happens to look like a transport stream or a FAT directory is not what
    // this filler is for.
    for (size_t s = 0; s < sectors; ++s) r[s * kSector] = static_cast<uint8_t>(0xA0 + s % 7);
    return Add(r);
  }
  uint64_t AddZeros(size_t sectors) { return Add(std::vector<uint8_t>(sectors * kSector, 0)); }
  uint64_t Sectors() const { return m_bytes.size() / kSector; }
  std::vector<uint8_t>& bytes() { return m_bytes; }

 private:
  std::vector<uint8_t> m_bytes;
};

// Bytes written to a file and opened as a read-only device. With `extraSectors` the reader may
// ask for sectors past the file's end, so a read there comes back short: a read error.
class Device {
 public:
  explicit Device(const std::vector<uint8_t>& bytes, uint64_t extraSectors = 0)
      : m_path(m_dir / "device.img"), m_bytes(bytes) {
    WriteFileBytes(m_path, bytes);
    m_status = m_reader.InitPath(m_path, bytes.size() / kSector + extraSectors);
  }
  CDiskReader* reader() { return &m_reader; }
  int status() const { return m_status; }
  const std::string& path() const { return m_path; }
  uint64_t sectors() const { return m_bytes.size() / kSector; }
  const uint8_t* sector(uint64_t n) const { return m_bytes.data() + n * kSector; }

 private:
  TempDir m_dir;
  std::string m_path;
  std::vector<uint8_t> m_bytes;
  CDiskReader m_reader;
  int m_status = -1;
};

struct Carved {
  int status = -1;
  std::string name;
  EXTEND_NAME_TYPE type = kTypeNone;
  uint64_t length = 0;
};

// Measures the file at `start` as the carving entry does.
Carved Carve(Device& device, uint64_t start) {
  Carved c;
  char name[256] = {};
  c.status = J::ParseFileBuf(device.sector(start), kSector, start, start, device.sectors(), -1, 0, device.reader(),
                             kSector, name, c.type, c.length);
  c.name = name;
  return c;
}

// Points the detection context at `start` of `device`, as the carving entry does, for a direct
// call of one finder.
void Context(Device& device, uint64_t start) {
  J::SetDetectionContext(device.reader(), kSector, start);
  J::m_bIsNeedCheckTsFileRange = 0;
  J::m_bIsMtsFileHead = 0;
}

std::vector<uint8_t> PngHeader() {
  return Join({Bytes({0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13}), Text("IHDR")});
}
std::vector<uint8_t> PngEnd() { return Join({Bytes({0, 0, 0, 0}), Text("IEND"), Bytes({0xAE, 0x42, 0x60, 0x82})}); }
std::vector<uint8_t> JfifHeader() {
  return Join({Bytes({0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10}), Text("JFIF"), Bytes({0, 1, 1, 0, 0, 1, 0, 1, 0, 0})});
}
std::vector<uint8_t> PsdHeader() { return Join({Text("8BPS"), Bytes({0, 1, 0, 0, 0, 0, 0, 0, 0, 3})}); }
// Data that no format test and no file-system test accepts in any of its sectors.
std::vector<uint8_t> Filler(size_t bytes, uint64_t seed) {
  std::vector<uint8_t> r = RandomBytes(bytes, seed);
  for (size_t s = 0; s < bytes; s += kSector) r[s] = static_cast<uint8_t>(0xA0 + (s / kSector) % 7);
  return r;
}
// Entropy-coded JPEG data: byte stuffing keeps FF out of it.
std::vector<uint8_t> JpegData(size_t bytes, uint64_t seed) {
  std::vector<uint8_t> r = Filler(bytes, seed);
  for (uint8_t& c : r) c = c == 0xFF ? 0xFE : c;
  return r;
}
std::vector<uint8_t> NtfsFileRecord() {
  std::vector<uint8_t> s = Join({Text("FILE"), Bytes({0x30, 0, 3, 0})});
  s.resize(kSector, 0);
  return s;
}

// The whole device as the deep pass offers it to a carving engine.
class CarvingTest : public ::testing::Test {
 protected:
  CarvingTest() : m_env("VORLENTA_SUPPORT_DIR", m_support.path()) {
    SetDebugLogPath(m_support / "Log.txt");
    CLogFileManager::GetInstance().Init();
    CLogFileManager::GetInstance().AddDirIndex();
    J::InitCallBack(nullptr, nullptr, nullptr, 0);
    J::m_tsFileRangeVec.clear();
  }
  ~CarvingTest() override {
    J::InitCallBack(nullptr, nullptr, nullptr, 0);
    SetDebugLogPath("");
  }

  // Every node of the engine, by first sector.
  static std::map<uint64_t, _FILE_NODE_> NodesByStart(CFileTypeRecovery& engine) {
    std::vector<_FILE_NODE_> nodes;
    EXPECT_EQ(engine.GetChildrenFileNode(nullptr, 0, nodes), 0);
    std::map<uint64_t, _FILE_NODE_> out;
    for (const _FILE_NODE_& n : nodes) out[n.RecordSector] = n;
    return out;
  }

  std::vector<uint8_t> Save(CFileTypeRecovery& engine, _FILE_NODE_& node, int* status = nullptr) {
    const std::string target = m_out / node.FileName;
    const int s = engine.SaveFileData(&node, Utf8ToUtf16(target.c_str()).c_str(), 0);
    if (status != nullptr) *status = s;
    return ReadFileBytes(target);
  }

  TempDir m_support;
  test::ScopedEnv m_env;
  TempDir m_out;
};

// ---------------------------------------------------------------------------------------------
// Files made by real tools.

struct RealImage {
  std::string error;
  std::vector<test::CarveSample> samples;
  std::vector<uint64_t> start;  // first sector of each sample
  std::vector<uint64_t> limit;  // first sector of what follows it that the carver must not take
  std::unique_ptr<Device> device;
};

// What follows a sample in the image.
enum class Gap { kNone, kRandom, kZeros, kNtfsRecord, kFatDirectory };

// The samples laid out: random data first, then each file on a sector boundary, its last
// sector padded with zeros, followed by nothing (the next file at once), random data, a zero
// run, an NTFS file record or a FAT directory sector.
RealImage& RealFilesImage() {
  static RealImage image;
  static bool built = false;
  if (built) return image;
  built = true;
  static TempDir folder;
  image.error = test::MakeCarveSamples(folder.path(), image.samples);
  if (!image.error.empty()) return image;

  // A real FAT directory sector, from a volume mkfs.fat made and mtools filled.
  const std::string fatImage = folder / "fat.img";
  WriteFileBytes(folder / "a.txt", Text("hello"));
  std::vector<uint8_t> fatDirectory;
  if (test::MakeFatVolume(fatImage, 1024, "-F 12") && test::PutFile(fatImage, folder / "a.txt", "::/A.TXT") &&
      test::PutFile(fatImage, folder / "a.txt", "::/B.TXT")) {
    const std::vector<uint8_t> fat = ReadFileBytes(fatImage);
    for (size_t s = 0; s + kSector <= fat.size() && fatDirectory.empty(); s += kSector) {
      if (J::IsFileSystemSector(&fat[s], kSector) && J::GetDataBufType(&fat[s], kSector) == kTypeNone) {
        fatDirectory.assign(fat.begin() + static_cast<long>(s), fat.begin() + static_cast<long>(s + kSector));
      }
    }
  }
  if (fatDirectory.empty()) {
    image.error = "no FAT directory sector from mkfs.fat and mtools";
    return image;
  }

  ImageBuilder b;
  b.AddRandom(64, 1);
  for (size_t i = 0; i < image.samples.size(); ++i) {
    const test::CarveSample& s = image.samples[i];
    image.start.push_back(b.Add(ReadFileBytes(s.path)));
    Gap gap = Gap::kNone;
    if (i == 0) {
      gap = Gap::kNone;  // the camera JPEG is followed at once by the PNG
    } else if (s.rule == LengthRule::kId3v1Tail) {
      gap = Gap::kZeros;  // the ID3v1 rule looks for "TAG" in every chunk it passes
    } else if (s.extension == "amr") {
      gap = Gap::kZeros;  // AMR records no length: its frame chain stops at the zeros
    } else if (s.extension == "zip" || s.extension == "docx" || s.extension == "xlsx" || s.extension == "pptx" ||
               s.extension == "odt" || s.extension == "ods" || s.extension == "odp" || s.extension == "epub") {
      // The package test reads 20 sectors from a ZIP's start and would type a plain ZIP by
      // the member names of a package right behind it.
      gap = Gap::kZeros;
    } else {
      const Gap cycle[] = {Gap::kRandom,     Gap::kNone, Gap::kZeros,       Gap::kRandom,
                           Gap::kNtfsRecord, Gap::kNone, Gap::kFatDirectory};
      gap = cycle[i % (sizeof cycle / sizeof cycle[0])];
    }
    const uint64_t here = b.Sectors();
    switch (gap) {
      case Gap::kNone:
        break;
      case Gap::kRandom:
        b.AddRandom(3 + (i * 7) % 40, 100 + i);
        break;
      case Gap::kZeros:
        b.AddZeros(24);
        break;
      case Gap::kNtfsRecord:
        b.Add(NtfsFileRecord());
        b.AddRandom(5, 200 + i);
        break;
      case Gap::kFatDirectory:
        b.Add(fatDirectory);
        b.AddRandom(5, 300 + i);
        break;
    }
    // Random data and zero runs do not end a walk; the next file or file-system sector does.
    image.limit.push_back(gap == Gap::kNtfsRecord || gap == Gap::kFatDirectory ? here : 0);
  }
  b.AddRandom(64, 2);
  for (size_t i = 0; i < image.limit.size(); ++i) {
    if (image.limit[i] == 0) image.limit[i] = i + 1 < image.start.size() ? image.start[i + 1] : b.Sectors();
  }
  image.device = std::make_unique<Device>(b.bytes());
  if (image.device->status() != 0) image.error = "cannot open the image";
  return image;
}

TEST_F(CarvingTest, RealFilesAreCarvedWholeAndNeverTakeTheNextFile) {
  RealImage& image = RealFilesImage();
  ASSERT_TRUE(image.error.empty()) << image.error;
  CFileTypeRecovery engine;
  ASSERT_EQ(engine.Init(Utf8ToUtf16(image.device->path().c_str()).c_str(), u'C'), 0);
  const CarvePassResult pass = RunCarvingPass(engine, *image.device->reader(), 0, image.device->sectors(), kSector);
  ASSERT_EQ(pass.status, 0);
  std::map<uint64_t, _FILE_NODE_> nodes = NodesByStart(engine);

  for (size_t i = 0; i < image.samples.size(); ++i) {
    const test::CarveSample& s = image.samples[i];
    SCOPED_TRACE(s.label);
    const std::vector<uint8_t> original = ReadFileBytes(s.path);
    const auto found = nodes.find(image.start[i]);
    ASSERT_NE(found, nodes.end()) << "not carved";
    _FILE_NODE_ node = found->second;
    EXPECT_EQ(std::string(node.FileName), std::to_string(image.start[i]) + "." + s.extension);
    const std::vector<uint8_t> saved = Save(engine, node);
    ASSERT_EQ(saved.size(), node.FileSize);
    switch (s.rule) {
      case LengthRule::kExact:
        EXPECT_EQ(saved.size(), original.size());
        EXPECT_TRUE(saved == original) << "carved bytes differ from the original";
        break;
      case LengthRule::kId3v1Tail: {
        // The tag is found; the length runs three bytes on, unless the end test comes first.
        const uint64_t padded = (original.size() + kSector - 1) / kSector * kSector;
        EXPECT_EQ(node.FileSize, std::min<uint64_t>(original.size() + 3, padded));
        EXPECT_TRUE(std::equal(original.begin(), original.end(), saved.begin()));
        break;
      }
      case LengthRule::kBounded:
        ASSERT_GE(saved.size(), original.size());
        EXPECT_TRUE(std::equal(original.begin(), original.end(), saved.begin()));
        break;
    }
    std::printf("carved %-45s %8zu -> %8llu bytes%s\n", s.label.c_str(), original.size(),
                static_cast<unsigned long long>(node.FileSize), saved == original ? "  byte-exact" : "");
    // Whatever the rule, the file stops before what follows it.
    EXPECT_LE(image.start[i] * kSector + node.FileSize, image.limit[i] * kSector) << "takes in what follows";
  }

  // Nothing else is carved, except inside the formats the pass walks into one sector at a time.
  for (const auto& [start, node] : nodes) {
    bool known = false;
    for (size_t i = 0; i < image.start.size(); ++i) {
      const bool inside = start > image.start[i] && start < image.limit[i];
      const std::string& ext = image.samples[i].extension;
      known =
          known || start == image.start[i] ||
          (inside && (ext == "wav" || ext == "avi" || ext == "wmv" || ext == "bmp" || ext == "ico" || ext == "ttf" ||
                      ext == "webp" || ext == "aiff" || ext == "au" || ext == "woff" || ext == "woff2"));
    }
    EXPECT_TRUE(known) << "unexpected " << node.FileName;
  }
  EXPECT_EQ(pass.files, engine.GetLostFileCount());
}

TEST_F(CarvingTest, FastEndTestEqualsThePlainWalk) {
  RealImage& image = RealFilesImage();
  ASSERT_TRUE(image.error.empty()) << image.error;
  Device& device = *image.device;
  // Chunks of the real image at every offset step, and random chunks with one sector of a real
  // file's start or of file-system metadata planted at a random place.
  struct Probe {
    const uint8_t* data;
    int bytes;
    uint64_t firstSector;
  };
  std::vector<std::vector<uint8_t>> planted;
  std::vector<Probe> probes;
  for (uint64_t s = 0; s + 8 < device.sectors(); s += 5) {
    probes.push_back({device.sector(s), static_cast<int>(std::min<uint64_t>(128, device.sectors() - s) * kSector), s});
  }
  std::vector<const uint8_t*> heads;
  for (uint64_t start : image.start) heads.push_back(device.sector(start));
  const std::vector<uint8_t> ntfs = NtfsFileRecord();
  heads.push_back(ntfs.data());
  for (uint64_t seed = 0; seed < 400; ++seed) {
    std::vector<uint8_t> chunk = RandomBytes(16 * kSector, 7000 + seed);
    if (seed % 4 != 0) {
      const uint8_t* head = heads[seed % heads.size()];
      std::copy(head, head + kSector, chunk.begin() + static_cast<long>((seed % 16) * kSector));
    }
    planted.push_back(std::move(chunk));
  }
  for (const auto& chunk : planted) probes.push_back({chunk.data(), static_cast<int>(chunk.size()), 1});

  size_t ended = 0;
  for (const Probe& p : probes) {
    J::SetDetectionContext(device.reader(), kSector, p.firstSector - 1);
    J::m_bIsNeedCheckTsFileRange = 0;
    uint64_t fastLength = 1000;
    const bool fast = J::IsEndOfFile(p.data, p.bytes, fastLength);
    const uint64_t fastSector = J::m_u64CurrentSector;
    J::SetDetectionContext(device.reader(), kSector, p.firstSector - 1);
    uint64_t plainLength = 1000;
    const bool plain = J::IsEndOfFileInTableOrder(p.data, p.bytes, plainLength);
    ASSERT_EQ(fast, plain) << "chunk at sector " << p.firstSector;
    ASSERT_EQ(fastLength, plainLength);
    ASSERT_EQ(fastSector, J::m_u64CurrentSector);
    ended += fast ? 1 : 0;
  }
  // Both outcomes were seen many times.
  EXPECT_GT(ended, probes.size() / 4);
  EXPECT_LT(ended, probes.size());
}

TEST_F(CarvingTest, StoppedWalkRecordsNothing) {
  RealImage& image = RealFilesImage();
  ASSERT_TRUE(image.error.empty()) << image.error;
  CFileTypeRecovery engine;
  ASSERT_EQ(engine.Init(Utf8ToUtf16(image.device->path().c_str()).c_str(), u'C'), 0);
  struct Stop {
    int calls = 0;
    int answer = 0;
  } stop{0, kStatusUserStop};
  engine.InitCallBack(
      [](void* ctx, int, int, int, unsigned long long, unsigned long long, unsigned long long, const char16_t*) {
        auto* s = static_cast<Stop*>(ctx);
        ++s->calls;
        return s->answer;
      },
      nullptr, &stop, 9);
  const uint64_t jpeg = image.start[0];
  unsigned long long skip = 77;
  unsigned long long files = 0;
  EXPECT_EQ(engine.ParseFileBuf(image.device->sector(jpeg), kSector, jpeg, 0, image.device->sectors(), -1,
                                image.device->reader(), kSector, skip, files),
            kStatusUserStop);
  EXPECT_EQ(stop.calls, 1);
  EXPECT_EQ(files, 0u);
  EXPECT_EQ(engine.GetLostFileCount(), 0u);
  const CarvePassResult pass = RunCarvingPass(engine, *image.device->reader(), 0, image.device->sectors(), kSector);
  EXPECT_EQ(pass.status, kStatusUserStop);
  EXPECT_EQ(engine.GetLostFileCount(), 0u);

  // Any other answer ends the walk too, but the file is recorded with the length so far: the
  // sectors its marker segments cover, up to the one where the scan starts.
  const std::vector<uint8_t> original = ReadFileBytes(image.samples[0].path);
  size_t scan = 2;
  while (scan + 4 <= original.size() && original[scan + 1] != 0xDA)
    scan += 2 + ReadU16BE(original.data(), original.size(), scan + 2);
  ASSERT_GT(scan / kSector, 1u) << "the Exif block and the thumbnail span sectors";
  stop.answer = 5;
  EXPECT_EQ(engine.ParseFileBuf(image.device->sector(jpeg), kSector, jpeg, 0, image.device->sectors(), -1,
                                image.device->reader(), kSector, skip, files),
            0);
  EXPECT_EQ(files, 1u);
  EXPECT_EQ(J::m_ErrorCode, 5);
  std::map<uint64_t, _FILE_NODE_> nodes = NodesByStart(engine);
  ASSERT_EQ(nodes.count(jpeg), 1u);
  EXPECT_EQ(nodes[jpeg].FileSize, scan / kSector * kSector);
  EXPECT_EQ(skip, scan / kSector);
}

TEST(CarvingSearch, FirstAndLastOccurrenceAsAPlainSearchFindsThem) {
  const std::vector<std::vector<uint8_t>> needles = {
      Bytes({0xFF, 0xD9}),     Bytes({0x00, 0x3B}),
      Bytes({0, 0, 1, 0xB9}),  Text("%%EOF"),
      Bytes({'P', 'K', 5, 6}), Bytes({0xFF, 0xFF}),
      Bytes({0x00}),           Bytes({0xC4, 0x3D, 0x7B, 0x00, 0x40, 0x07, 0x00})};
  for (uint64_t seed = 0; seed < 300; ++seed) {
    // Data of few distinct bytes, so needles occur often, sometimes at both ends.
    std::vector<uint8_t> data = RandomBytes(1 + seed * 7 % 3000, seed);
    const uint8_t alphabet[] = {0x00, 0xFF, 0xD9, 0x3B, 0x01, 0xB9, '%', 'E', 'O', 'F', 'P', 'K', 5, 6};
    for (uint8_t& c : data) c = alphabet[c % sizeof alphabet];
    for (const std::vector<uint8_t>& needle : needles) {
      const size_t from = seed % 5;
      const auto hit = std::search(data.begin() + static_cast<long>(std::min(from, data.size())), data.end(),
                                   needle.begin(), needle.end());
      const size_t expected = hit == data.end() ? carving::kNotFound : static_cast<size_t>(hit - data.begin());
      ASSERT_EQ(carving::FindForward(data.data(), data.size(), from, needle.data(), needle.size()), expected);
      const auto last = std::find_end(data.begin(), data.end(), needle.begin(), needle.end());
      const size_t expectedLast = last == data.end() ? carving::kNotFound : static_cast<size_t>(last - data.begin());
      ASSERT_EQ(carving::FindLast(data.data(), data.size(), needle.data(), needle.size()), expectedLast);
    }
  }
  EXPECT_EQ(carving::FindForward(nullptr, 10, 0, needles[0].data(), 2), carving::kNotFound);
  EXPECT_EQ(carving::FindForward(needles[0].data(), 2, 1, needles[0].data(), 2), carving::kNotFound);
}

// ---------------------------------------------------------------------------------------------
// Byte-built files: one rule at a time.

TEST_F(CarvingTest, JpegTrailerRules) {
  struct Case {
    const char* label;
    std::vector<uint8_t> file;
    uint64_t expected;
  };
  // A picture whose end marker falls in the first sector, followed by zeros.
  std::vector<uint8_t> small = Join({JfifHeader(), JpegData(200, 1), Bytes({0xFF, 0xD9})});
  // A thumbnail's marker in the first sector, followed by the picture: not the end.
  std::vector<uint8_t> thumb =
      Join({JfifHeader(), JpegData(100, 2), Bytes({0xFF, 0xD9}), JpegData(300000, 3), Bytes({0xFF, 0xD9})});
  // No marker the padding rule accepts: the file runs to the next file.
  std::vector<uint8_t> unended = Join({JfifHeader(), JpegData(3000, 4), Bytes({0xFF, 0xD9, 0x12})});
  // A marker that ends exactly on a sector boundary.
  std::vector<uint8_t> aligned =
      Join({JfifHeader(), JpegData(4 * kSector - JfifHeader().size() - 2, 5), Bytes({0xFF, 0xD9})});
  const Case cases[] = {
      {"marker in the first sector", small, small.size()},
      {"thumbnail marker in the first sector", thumb, thumb.size()},
      {"no accepted marker: up to the next file", unended, 0},
      {"marker on a sector boundary", aligned, aligned.size()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ImageBuilder b;
    const uint64_t start = b.Add(c.file);
    b.AddZeros(3);
    b.AddRandom(2, 9);
    const uint64_t next = b.Add(PngHeader());
    b.AddZeros(1);
    Device d(b.bytes());
    const Carved got = Carve(d, start);
    EXPECT_EQ(got.status, 0);
    EXPECT_EQ(got.type, kTypeJpg);
    EXPECT_EQ(got.name, "0.jpg");
    EXPECT_EQ(got.length, c.expected != 0 ? c.expected : next * kSector);
  }
}

TEST_F(CarvingTest, PngAndGifTrailers) {
  struct Case {
    const char* label;
    std::vector<uint8_t> file;
    EXTEND_NAME_TYPE type;
    uint64_t expected;  // 0: the file's own size
  };
  const std::vector<uint8_t> gifHead = Join({Text("GIF89a"), Bytes({64, 0, 48, 0, 0xF7, 0, 0})});
  // IEND ending exactly at a sector boundary.
  const std::vector<uint8_t> pngAligned =
      Join({PngHeader(), Filler(3 * kSector - PngHeader().size() - 12, 1), PngEnd()});
  // A GIF whose data holds 00 3B followed by more data before the real trailer.
  const std::vector<uint8_t> gif =
      Join({gifHead, Filler(700, 2), Bytes({0x00, 0x3B, 0x55}), Filler(900, 3), Bytes({0x00, 0x3B})});
  const Case cases[] = {
      {"PNG ending on a sector boundary", pngAligned, kTypePng, 0},
      {"PNG in one sector", Join({PngHeader(), Filler(100, 4), PngEnd()}), kTypePng, 0},
      {"PNG over several chunks", Join({PngHeader(), Filler(150000, 5), PngEnd()}), kTypePng, 0},
      {"GIF with a false trailer inside", gif, kTypeGif, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ImageBuilder b;
    const uint64_t start = b.Add(c.file);
    b.AddRandom(40, 6);
    b.Add(JfifHeader());
    Device d(b.bytes());
    const Carved got = Carve(d, start);
    EXPECT_EQ(got.type, c.type);
    EXPECT_EQ(got.length, c.expected != 0 ? c.expected : c.file.size());
  }
}

TEST_F(CarvingTest, WalkStopsBeforeTheNextFileOrFileSystemSector) {
  struct Case {
    const char* label;
    std::vector<uint8_t> next;
  };
  std::vector<uint8_t> boot = Join({Bytes({0xEB, 0x3C, 0x90}), Text("MSWIN4.1")});
  boot.resize(kSector, 0);
  const Case cases[] = {
      {"NTFS file record", NtfsFileRecord()},
      {"FAT boot sector", boot},
      {"NTFS index buffer", Join({Text("INDX"), Bytes({0x28, 0, 9, 0})})},
      {"another file's signature", JfifHeader()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ImageBuilder b;
    const uint64_t start = b.Add(Join({PsdHeader(), Filler(20000, 1)}));
    b.AddZeros(5);
    b.AddRandom(30, 2);
    const uint64_t stop = b.Add(c.next);
    b.AddRandom(10, 3);
    Device d(b.bytes());
    const Carved got = Carve(d, start);
    EXPECT_EQ(got.type, kTypePsd);
    EXPECT_EQ(got.length, (stop - start) * kSector);
  }
}

TEST_F(CarvingTest, PdfEndsAtItsLastEndMarkerOrTrailer) {
  // %%EOF and its line end, in the same chunk.
  const std::vector<uint8_t> whole = Join({Text("%PDF-1.4\n"), Filler(5000, 1), Text("trailer\n<<>>\n%%EOF\n")});
  // "trailer" closes the first chunk after the header sector, "%%EOF" lies in the next one.
  std::vector<uint8_t> split = Join({Text("%PDF-1.4\n"), Filler(kSector + kChunk - 100 - 9, 2)});
  const uint64_t trailerAt = split.size();
  split = Join({split, Text("trailer"), Filler(200, 3), Text("%%EOF\r\n")});
  struct Case {
    const char* label;
    std::vector<uint8_t> file;
    uint64_t expected;
  };
  const Case cases[] = {{"end marker with its line end", whole, whole.size()},
                        {"trailer in one chunk, end marker in the next", split, trailerAt + 7}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ImageBuilder b;
    const uint64_t start = b.Add(c.file);
    b.AddRandom(4, 4);
    b.Add(Text("%PDF-1.5\n%%EOF\n"));
    Device d(b.bytes());
    const Carved got = Carve(d, start);
    EXPECT_EQ(got.name, "0.pdf");
    EXPECT_EQ(got.length, c.expected);
  }
}

// A compound file's first sector and FAT sectors, with 512-byte compound sectors: `fatSectors`
// FAT sectors listed in the header (and in DIFAT sectors after the first 109), the last one
// ending with `freeAtEnd` free entries.
std::vector<uint8_t> CompoundFile(uint32_t fatSectors, uint32_t freeAtEnd, uint16_t shift = 9) {
  const uint32_t sectorBytes = 1u << shift;
  const uint32_t perFat = sectorBytes / 4;
  const uint32_t perDifat = perFat - 1;
  const uint32_t difatSectors = fatSectors > 109 ? (fatSectors - 109 + perDifat - 1) / perDifat : 0;
  // Compound sectors: the FAT sectors first, then the DIFAT sectors.
  const uint32_t used = fatSectors + difatSectors;
  std::vector<uint8_t> f(sectorBytes * (used + 1), 0);
  Put(f, 0, Bytes({0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1}));
  WriteU16LE(f.data(), 26, shift == 9 ? 3 : 4);
  WriteU16LE(f.data(), 28, 0xFFFE);
  WriteU16LE(f.data(), 30, shift);
  WriteU16LE(f.data(), 32, 6);
  WriteU32LE(f.data(), 44, fatSectors);
  WriteU32LE(f.data(), 48, 0xFFFFFFFE);
  WriteU32LE(f.data(), 60, 0xFFFFFFFE);
  WriteU32LE(f.data(), 68, difatSectors > 0 ? fatSectors : 0xFFFFFFFE);
  WriteU32LE(f.data(), 72, difatSectors);
  for (uint32_t i = 0; i < 109; ++i) WriteU32LE(f.data(), 76 + 4 * i, i < fatSectors ? i : 0xFFFFFFFF);
  for (uint32_t d = 0; d < difatSectors; ++d) {
    const size_t at = static_cast<size_t>(sectorBytes) * (fatSectors + d + 1);
    for (uint32_t k = 0; k < perDifat; ++k) {
      const uint32_t index = 109 + d * perDifat + k;
      WriteU32LE(f.data(), at + 4 * k, index < fatSectors ? index : 0xFFFFFFFF);
    }
    WriteU32LE(f.data(), at + 4 * perDifat, d + 1 < difatSectors ? fatSectors + d + 1 : 0xFFFFFFFE);
  }
  for (uint32_t s = 0; s < fatSectors; ++s) {
    const size_t at = static_cast<size_t>(sectorBytes) * (s + 1);
    for (uint32_t k = 0; k < perFat; ++k) {
      const bool freeEntry = s + 1 == fatSectors && k >= perFat - freeAtEnd;
      WriteU32LE(f.data(), at + 4 * k, freeEntry ? 0xFFFFFFFF : 0xFFFFFFFD);
    }
  }
  return f;
}

TEST_F(CarvingTest, CompoundFileHeaderMethod) {
  struct Case {
    const char* label;
    std::vector<uint8_t> file;
    uint64_t expected;
  };
  std::vector<uint8_t> badShift = CompoundFile(3, 10);
  WriteU16LE(badShift.data(), 30, 10);
  std::vector<uint8_t> tooManyFat = CompoundFile(3, 10);
  WriteU32LE(tooManyFat.data(), 44, 0x2000001);
  std::vector<uint8_t> listedBeyondHeader = CompoundFile(3, 10);
  WriteU32LE(listedBeyondHeader.data(), 44, 110);
  std::vector<uint8_t> huge = CompoundFile(3, 0);
  WriteU32LE(huge.data(), 44, 3000);
  WriteU32LE(huge.data(), 72, 27);
  const Case cases[] = {
      {"20 FAT sectors, 30 free at the end", CompoundFile(20, 30), (20 * 128 + 1 - 30) * 512ull},
      {"one FAT sector, all but one entry free", CompoundFile(1, 127), 2 * 512ull},
      {"FAT sectors listed in two DIFAT sectors", CompoundFile(109 + 127 + 5, 64),
       ((109 + 127 + 5) * 128ull + 1 - 64) * 512},
      {"FAT sectors filling a DIFAT sector exactly", CompoundFile(109 + 127, 1), ((109 + 127) * 128ull + 1 - 1) * 512},
      {"4096-byte compound sectors", CompoundFile(2, 100, 12), (2 * 1024ull + 1 - 100) * 4096},
      {"sector shift of 10", badShift, 0},
      {"more FAT sectors than sector numbers", tooManyFat, 0},
      {"110 FAT sectors without a DIFAT sector", listedBeyondHeader, 0},
      {"DIFAT chain that cannot be read: capped", huge, 0x7FFFFFF},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ImageBuilder b;
    b.AddRandom(3, 1);
    const uint64_t start = b.Add(c.file);
    b.AddZeros(2);
    Device d(b.bytes());
    Context(d, start);
    EXPECT_EQ(J::GetOFFICE2003FileBytesSizeByFileHead(d.sector(start), kSector), c.expected);
    if (c.expected != 0) {
      EXPECT_EQ(J::GetOFFICE2003FileBytesSize(d.sector(start), kSector), c.expected);
    }
  }
  // The carving walk types every compound file as a Flash source and measures it to the next file.
  ImageBuilder b;
  const uint64_t start = b.Add(CompoundFile(20, 30));
  const uint64_t next = b.Add(JfifHeader());
  Device d(b.bytes());
  const Carved got = Carve(d, start);
  EXPECT_EQ(got.name, "0.fla");
  EXPECT_EQ(got.length, next * kSector);
}

TEST_F(CarvingTest, CompoundFileWordTrailerWhenTheHeaderSaysNothing) {
  std::vector<uint8_t> file = CompoundFile(1, 10);
  WriteU16LE(file.data(), 30, 0);  // no usable sector shift
  file = Join({file, Filler(3000, 1), Bytes({0x01, 0x00, 0xFE, 0xFF, 0x03, 0x0A}), Filler(700, 2),
               Text("Microsoft Office Word "), Bytes({0xCE, 0xC4, 0xB5, 0xB5})});
  const uint64_t nameEnd = file.size();
  file = Join({file, Filler(2000, 3)});
  ImageBuilder b;
  const uint64_t start = b.Add(file);
  b.AddRandom(20, 4);
  Device d(b.bytes());
  Context(d, start);
  EXPECT_EQ(J::GetOFFICE2003FileBytesSize(d.sector(start), kSector), (nameEnd + kSector - 1) / kSector * kSector);
}

TEST_F(CarvingTest, DeclaredSizes) {
  struct Case {
    const char* label;
    std::vector<uint8_t> head;
    EXTEND_NAME_TYPE type;
    const char* name;
    uint64_t expected;
  };
  const std::vector<uint8_t> asfHead =
      Bytes({0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11, 0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C});
  const std::vector<uint8_t> fileProperties =
      Bytes({0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11, 0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65});
  auto asf = [&](uint64_t size, uint32_t flags) {
    std::vector<uint8_t> s = asfHead;
    s.resize(kSector, 0);
    Put(s, 30, fileProperties);
    WriteU64LE(s.data(), 30 + 40, size);
    WriteU32LE(s.data(), 30 + 88, flags);
    return s;
  };
  auto riff = [](const char* kind, uint32_t size) {
    std::vector<uint8_t> s = Join({Text("RIFF"), Bytes({0, 0, 0, 0}), Text(kind)});
    WriteU32LE(s.data(), 4, size);
    return s;
  };
  auto bmp = [](uint32_t size) {
    std::vector<uint8_t> s(54, 0);
    s[0] = 'B';
    s[1] = 'M';
    WriteU32LE(s.data(), 2, size);
    WriteU32LE(s.data(), 14, 40);
    return s;
  };
  auto cab = [](uint32_t size) {
    std::vector<uint8_t> s = Join({Text("MSCF"), Bytes({0, 0, 0, 0})});
    s.resize(36, 0);
    WriteU32LE(s.data(), 8, size);
    return s;
  };
  auto swf = [](char first, uint8_t version, uint32_t size) {
    std::vector<uint8_t> s = Join({Text(std::string(1, first) + "WS"), Bytes({version, 0, 0, 0, 0})});
    WriteU32LE(s.data(), 4, size);
    return s;
  };
  const Case cases[] = {
      {"ASF", asf(123456, 2), kTypeAsf, "wmv", 123456},
      {"broadcast ASF", asf(123456, 3), kTypeAsf, "wmv", kSector},
      {"ASF larger than 256 MiB", asf(0x20000000, 0), kTypeAsf, "wmv", 0x10000000},
      {"AVI of 3 GiB", Join({riff("AVI ", 0xC0000000), Text("LIST")}), kTypeAvi, "avi", 0xC0000008ull},
      {"WAVE whose size wraps", Join({riff("WAVE", 0xFFFFFFFC), Text("fmt ")}), kTypeWav, "wav", 4},
      {"bitmap", bmp(70000), kTypeBmp, "bmp", 70000},
      {"bitmap of an absurd size", bmp(0xFFFFFFFF), kTypeBmp, "bmp", 0x8000000},
      {"cabinet", cab(99999), kTypeCab, "cab", 99999},
      {"cabinet of an absurd size", cab(0xFFFFFFFF), kTypeCab, "cab", 0x40000000},
      {"plain Flash movie", swf('F', 5, 4321), kTypeSwf, "swf", 4321},
      {"compressed Flash movie", swf('C', 10, 4321), kTypeSwf, "swf", kSector},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ImageBuilder b;
    const uint64_t start = b.Add(c.head);
    b.AddRandom(4, 1);
    Device d(b.bytes());
    const Carved got = Carve(d, start);
    EXPECT_EQ(got.type, c.type);
    EXPECT_EQ(got.name, std::string("0.") + c.name);
    EXPECT_EQ(got.length, c.expected);
  }
}

TEST_F(CarvingTest, IconAndFontTablesOutsideTheGivenBuffer) {
  // Three icon images back to back after the directory.
  std::vector<uint8_t> ico = Bytes({0, 0, 1, 0, 3, 0});
  uint32_t offset = 6 + 3 * 16;
  const uint32_t sizes[] = {1000, 2000, 3000};
  for (uint32_t size : sizes) {
    std::vector<uint8_t> entry(16, 0);
    entry[0] = 16;
    entry[1] = 16;
    WriteU32LE(entry.data(), 8, size);
    WriteU32LE(entry.data(), 12, offset);
    ico.insert(ico.end(), entry.begin(), entry.end());
    offset += size;
  }
  ico.resize(offset, 0x11);
  ImageBuilder b;
  const uint64_t start = b.Add(ico);
  b.AddRandom(3, 1);
  Device d(b.bytes());
  EXPECT_EQ(Carve(d, start).length, offset);
  // Handed only the first 16 bytes, the finder reads the directory from the device.
  Context(d, start);
  EXPECT_EQ(J::GetICOFileBytesSize(d.sector(start), 16), offset);
  Context(d, d.sectors());  // nothing can be read there
  EXPECT_EQ(J::GetICOFileBytesSize(d.sector(start), 16), static_cast<uint64_t>(kSector));

  const std::vector<uint8_t> font =
      test::RelayFontHeadFirst(ReadFileBytes("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"));
  ASSERT_GT(font.size(), 100000u);
  ImageBuilder fb;
  const uint64_t fontStart = fb.Add(font);
  Device fd(fb.bytes());
  Context(fd, fontStart);
  EXPECT_EQ(J::GetTTFFileBytesSize(fd.sector(fontStart), 16), font.size());
  EXPECT_EQ(J::GetTTFFileBytesSize(fd.sector(fontStart), kSector), font.size());
  std::vector<uint8_t> noTables(fd.sector(fontStart), fd.sector(fontStart) + kSector);
  WriteU16LE(noTables.data(), 4, 0);
  EXPECT_EQ(J::GetTTFFileBytesSize(noTables.data(), kSector), 0u);
}

// 188-byte transport packets with sync bytes and payload that holds no sync byte at a packet
// start; `count` of them.
std::vector<uint8_t> TransportStream(size_t count, uint64_t seed) {
  std::vector<uint8_t> ts = RandomBytes(count * 188, seed);
  for (size_t i = 0; i < count; ++i) {
    ts[i * 188] = 0x47;
    ts[i * 188 + 1] = 0x40;
    ts[i * 188 + 2] = 0x11;
    ts[i * 188 + 3] = static_cast<uint8_t>(0x10 | (i & 0x0F));
  }
  // A sector boundary that falls on a packet start shows the sync byte first; the other
  // sector starts are payload, kept clear of any signature.
  for (size_t s = kSector; s < ts.size(); s += kSector) {
    if (s % 188 != 0) ts[s] = static_cast<uint8_t>(0xA0 + (s / kSector) % 7);
  }
  return ts;
}

TEST_F(CarvingTest, TransportStreamIsCutAtItsLastGoodPacketAndRecorded) {
  const size_t packets = (1u << 20) / 188;
  const std::vector<uint8_t> ts = TransportStream(packets, 5);
  // Unrelated data straight after the last packet, in the same sector.
  std::vector<uint8_t> file = Join({ts, Filler(30000, 6)});
  file[ts.size()] = 0x12;
  ImageBuilder b;
  b.AddZeros(2);
  const uint64_t start = b.Add(file);
  b.AddRandom(2, 2);
  Device d(b.bytes());
  const Carved got = Carve(d, start);
  EXPECT_EQ(got.type, kTypeTs);
  EXPECT_EQ(got.name, std::to_string(start) + ".ts");
  EXPECT_EQ(got.length, ts.size());
  ASSERT_EQ(J::m_tsFileRangeVec.size(), 1u);
  EXPECT_EQ(J::m_tsFileRangeVec[0].u64FirstSector, start);
  EXPECT_EQ(J::m_tsFileRangeVec[0].u64LastSector, start + (ts.size() + kSector - 1) / kSector - 1);
  EXPECT_EQ(J::m_bIsNeedCheckTsFileRange, 1);
  // A packet that starts a sector inside the stream is not a new stream.
  const uint64_t inner = start + 47 * 3;
  ASSERT_EQ(d.sector(inner)[0], 0x47);
  EXPECT_NE(Carve(d, inner).status, 0);
  // Nor is the stream itself, once carved.
  EXPECT_NE(Carve(d, start).status, 0);
  // A health check in between turns the range check off; the carver turns it on again before
  // it tests a sector, so the continuing stream is still no new file.
  EXPECT_EQ(J::IsFileTypeMatching(d.sector(inner), kSector, "ts", d.reader(), kSector, inner), 1);
  EXPECT_EQ(J::m_bIsNeedCheckTsFileRange, 0);
  EXPECT_EQ(Carve(d, inner).status, kStatusInvalidParameter);
}

TEST_F(CarvingTest, MpegEndCodes) {
  // A program stream: pack headers with system headers (each one typed MPEG by the tests), and
  // the program end code.
  auto pack = [](size_t bytes, uint64_t seed) {
    std::vector<uint8_t> p =
        Join({Bytes({0, 0, 1, 0xBA, 0x44, 0, 4, 0, 4, 1, 1, 0x89, 0xC3, 0xF8}), Bytes({0, 0, 1, 0xBB, 0, 0x12})});
    p = Join({p, Filler(bytes - p.size(), seed)});
    return p;
  };
  const std::vector<uint8_t> end = Bytes({0, 0, 1, 0xB9});
  // Packs of 2048 bytes, so some sectors inside start with a pack header.
  std::vector<uint8_t> stream;
  for (int i = 0; i < 40; ++i) stream = Join({stream, pack(2048, 10 + i)});
  const std::vector<uint8_t> padded = Join({stream, end});
  // An end code followed by more data in its sector does not end the stream; the next does.
  std::vector<uint8_t> twoEnds = Join({stream, end, Filler(100, 3)});
  twoEnds.resize((twoEnds.size() + kSector - 1) / kSector * kSector + 2048, 0x5A);
  twoEnds = Join({twoEnds, end});
  std::vector<uint8_t> video = Join({Bytes({0, 0, 1, 0xB3, 0x0A, 0, 0x78, 0x13, 0, 0, 1, 0xB8}), Filler(6000, 4),
                                     Bytes({0, 0, 1, 0xB9}), Filler(300, 5), Bytes({0, 0, 1, 0xB7})});
  struct Case {
    const char* label;
    std::vector<uint8_t> file;
    uint64_t expected;
  };
  const Case cases[] = {
      {"program end followed by zeros", padded, padded.size()},
      {"program end followed by data, then another", twoEnds, twoEnds.size()},
      {"video stream ends with its sequence end", video, video.size()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ImageBuilder b;
    const uint64_t start = b.Add(c.file);
    b.AddRandom(5, 7);
    Device d(b.bytes());
    const Carved got = Carve(d, start);
    EXPECT_EQ(got.name, "0.mpeg");
    EXPECT_EQ(got.length, c.expected);
  }
  // Without an end code: pack headers inside do not end the stream, a JPEG header does.
  ImageBuilder b;
  const uint64_t start = b.Add(stream);
  b.AddRandom(3, 8);
  const uint64_t jpeg = b.Add(JfifHeader());
  Device d(b.bytes());
  EXPECT_EQ(Carve(d, start).length, (jpeg - start) * kSector);
}

// A MIDI file of `tracks` tracks with the given data lengths.
std::vector<uint8_t> Midi(const std::vector<uint32_t>& lengths, uint16_t declared) {
  std::vector<uint8_t> f = Join({Text("MThd"), Bytes({0, 0, 0, 6, 0, 1, 0, 0, 0, 96})});
  f[10] = static_cast<uint8_t>(declared >> 8);
  f[11] = static_cast<uint8_t>(declared);
  uint64_t seed = 20;
  for (uint32_t length : lengths) {
    std::vector<uint8_t> header = Join({Text("MTrk"), Bytes({0, 0, 0, 0})});
    WriteU32BE(header.data(), 4, length);
    f = Join({f, header, Filler(length, seed++)});
  }
  return f;
}

TEST_F(CarvingTest, MidiTrackChainGivesTheEnd) {
  struct Case {
    const char* label;
    std::vector<uint8_t> file;
    bool exact;
  };
  // The third header straddles the first chunk's end (file offset 512 + 65536).
  const uint32_t second = static_cast<uint32_t>(kSector + kChunk - 4 - (14 + 8 + 300) - 8);
  const Case cases[] = {
      {"one short track", Midi({100}, 1), true},
      {"three tracks, a header across a chunk boundary", Midi({300, second, 5000}, 3), true},
      {"more tracks declared than present", Midi({300, 2000}, 3), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ImageBuilder b;
    const uint64_t start = b.Add(c.file);
    b.AddRandom(200, 9);
    const uint64_t next = b.Add(PngHeader());
    Device d(b.bytes());
    const Carved got = Carve(d, start);
    EXPECT_EQ(got.name, "0.mid");
    EXPECT_EQ(got.length, c.exact ? c.file.size() : next * kSector);
  }
}

TEST_F(CarvingTest, ApeTagFooterEndsTheFile) {
  auto tag = [](bool footer) {
    std::vector<uint8_t> t = Join({Text("APETAGEX"), Bytes({0xD0, 0x07, 0, 0})});
    t.resize(32, 0);
    t[20] = footer ? 0 : 0x20;
    return t;
  };
  const std::vector<uint8_t> both =
      Join({Text("MAC "), Bytes({0x96, 0x0F}), Filler(9000, 1), tag(false), Filler(200, 2), tag(true)});
  const std::vector<uint8_t> headerOnly =
      Join({Text("MAC "), Bytes({0x96, 0x0F}), Filler(2000, 3), tag(false), Filler(200, 4)});
  struct Case {
    const char* label;
    std::vector<uint8_t> file;
    bool footer;
  };
  for (const Case& c : {Case{"header and footer in one chunk", both, true}, Case{"no footer", headerOnly, false}}) {
    SCOPED_TRACE(c.label);
    ImageBuilder b;
    const uint64_t start = b.Add(c.file);
    b.AddZeros(2);
    const uint64_t next = b.Add(PngHeader());
    Device d(b.bytes());
    const Carved got = Carve(d, start);
    EXPECT_EQ(got.name, "0.ape");
    // Without a footer: the end of the file's part of the chunk, where the next file begins.
    EXPECT_EQ(got.length, c.footer ? c.file.size() : next * kSector);
  }
}

TEST_F(CarvingTest, RarEndOfArchiveBlock) {
  // A RAR 4 archive: marker block, archive header, one stored file, end-of-archive block.
  std::vector<uint8_t> rar = Join(
      {Text("Rar!"), Bytes({0x1A, 0x07, 0x00}), Bytes({0xCF, 0x90, 0x73, 0x00, 0x00, 0x0D, 0x00, 0, 0, 0, 0, 0, 0})});
  std::vector<uint8_t> data = Filler(3000, 1);
  std::vector<uint8_t> fileHeader =
      Join({Bytes({0, 0, 0x74, 0x00, 0x80, 0, 0}), Bytes({0, 0, 0, 0, 0, 0, 0, 0}),
            Bytes({0, 0, 0, 0, 0, 0, 0, 0, 20, 0x30, 5, 0, 0x20, 0, 0, 0}), Text("a.txt")});
  WriteU16LE(fileHeader.data(), 5, static_cast<uint16_t>(fileHeader.size()));
  WriteU32LE(fileHeader.data(), 7, static_cast<uint32_t>(data.size()));
  WriteU32LE(fileHeader.data(), 11, static_cast<uint32_t>(data.size()));
  rar = Join({rar, fileHeader, data, Bytes({0xC4, 0x3D, 0x7B, 0x00, 0x40, 0x07, 0x00})});
  ImageBuilder b;
  const uint64_t start = b.Add(rar);
  b.AddRandom(6, 2);
  Device d(b.bytes());
  const Carved got = Carve(d, start);
  EXPECT_EQ(got.name, "0.rar");
  EXPECT_EQ(got.length, rar.size());
}

TEST_F(CarvingTest, BadInputGivesABoundedLength) {
  // A trailer that never comes: the walk stops at the cap (128 MiB past the first sector)
  // on a device of zeros.
  {
    TempDir dir;
    const std::string path = dir / "sparse.img";
    WriteFileBytes(path, Join({PngHeader()}));
    ASSERT_EQ(::truncate(path.c_str(), 0x9000000), 0);
    CDiskReader reader;
    ASSERT_EQ(reader.InitPath(path, 0x9000000 / kSector), 0);
    std::vector<uint8_t> first = PngHeader();
    first.resize(kSector, 0);
    char name[256];
    EXTEND_NAME_TYPE type;
    uint64_t length = 0;
    ASSERT_EQ(J::ParseFileBuf(first.data(), kSector, 0, 0, 1, -1, 0, &reader, kSector, name, type, length), 0);
    EXPECT_EQ(length, 0x8000000u + kSector);
  }
  // A device that ends in the middle of a file.
  {
    ImageBuilder b;
    b.AddRandom(2, 1);
    const uint64_t start = b.Add(Join({PsdHeader(), Filler(12345, 2)}));
    Device d(b.bytes());
    EXPECT_EQ(Carve(d, start).length, (d.sectors() - start) * kSector);
  }
  // A read error in the middle of a walk: the reader may ask beyond the image, whose end then
  // comes back short. What was read counts.
  {
    ImageBuilder b;
    const uint64_t start = b.Add(Join({JfifHeader(), JpegData(70000, 3)}));
    Device d(b.bytes(), 500);
    EXPECT_EQ(Carve(d, start).length, d.sectors() * kSector);
  }
  // No device at all: the finders that walk keep the first sector.
  {
    std::vector<uint8_t> first = Join({PsdHeader()});
    first.resize(kSector, 0);
    char name[256];
    EXTEND_NAME_TYPE type;
    uint64_t length = 0;
    EXPECT_EQ(J::ParseFileBuf(first.data(), kSector, 9, 0, 1, -1, 0, nullptr, kSector, name, type, length), 0);
    EXPECT_EQ(length, static_cast<uint64_t>(kSector));
  }
  // A sector that only the executable test accepts carves nothing.
  {
    std::vector<uint8_t> pe(kSector, 0);
    pe[0] = 'M';
    pe[1] = 'Z';
    WriteU32LE(pe.data(), 60, 0x80);
    Put(pe, 0x80, Text(std::string("PE\0\0", 4)));
    WriteU16LE(pe.data(), 0x80 + 22, 0x0102);
    Device d(pe);
    EXPECT_EQ(Carve(d, 0).status, kStatusInvalidParameter);
    EXPECT_EQ(Carve(d, 0).status, kStatusInvalidParameter);
  }
}

// ---------------------------------------------------------------------------------------------
// The engine.

TEST_F(CarvingTest, EngineRecordsNamesSkipsAndListsUnderTheRoot) {
  // A JPEG of 1 MiB at sector 5000, a bitmap, an MPEG stream, an ASF file and a compound file.
  ImageBuilder b;
  b.AddRandom(5000, 1);
  const std::vector<uint8_t> jpeg =
      Join({JfifHeader(), JpegData((1u << 20) - JfifHeader().size() - 2, 2), Bytes({0xFF, 0xD9})});
  const uint64_t jpegStart = b.Add(jpeg);
  std::vector<uint8_t> bmp(54, 0);
  bmp[0] = 'B';
  bmp[1] = 'M';
  WriteU32LE(bmp.data(), 2, 70000);
  WriteU32LE(bmp.data(), 14, 40);
  const uint64_t bmpStart = b.Add(Join({bmp, Filler(70000 - 54, 3)}));
  Device d(b.bytes());
  CFileTypeRecovery engine;
  ASSERT_EQ(engine.Init(Utf8ToUtf16(d.path().c_str()).c_str(), u'Z'), 0);
  unsigned long long skip = 0;
  unsigned long long files = 3;
  ASSERT_EQ(engine.ParseFileBuf(d.sector(jpegStart), kSector, jpegStart, 0, d.sectors(), -1, d.reader(), kSector, skip,
                                files),
            0);
  EXPECT_EQ(skip, 2048u);
  EXPECT_EQ(files, 4u);
  ASSERT_EQ(
      engine.ParseFileBuf(d.sector(bmpStart), kSector, bmpStart, 0, d.sectors(), -1, d.reader(), kSector, skip, files),
      0);
  EXPECT_EQ(skip, 1u) << "the pass goes on inside a bitmap";
  EXPECT_EQ(engine.ParseFileBuf(d.sector(1), kSector, 1, 0, d.sectors(), -1, d.reader(), kSector, skip, files),
            kStatusInvalidParameter);
  EXPECT_EQ(files, 5u);

  std::vector<_FILE_NODE_> root;
  ASSERT_EQ(engine.GetChildrenFileNode(nullptr, 0, root), 0);
  ASSERT_EQ(root.size(), 2u);
  std::map<std::string, _FILE_NODE_> byName;
  for (const _FILE_NODE_& node : root) byName[node.FileName] = node;
  ASSERT_EQ(byName.count("5000.jpg"), 1u);
  const _FILE_NODE_& j = byName["5000.jpg"];
  EXPECT_EQ(j.FileSize, jpeg.size());
  EXPECT_EQ(j.RecordSector, 5000u);
  EXPECT_EQ(byName[std::to_string(bmpStart) + ".bmp"].FileSize, 70000u);

  unsigned int count = 99;
  EXPECT_EQ(engine.GetChildrenFileCount(nullptr, 0, count), 0);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(engine.GetLostFileCount(), 2u);
  // The store of a path-opened engine is named after sector 0.
  EXPECT_EQ(engine.Store()->GetNodeFilePath().find(CLogFileManager::GetInstance().GetLogFileDirPath() + "File_Type_0_"),
            0u);

  // Search by category.
  std::vector<__SEARCH_FILE_INFO__> hits;
  EXPECT_EQ(engine.SearchFileNode(Ansi2Unicode(kPhotoExtensionList).c_str(), hits), 1);
  EXPECT_EQ(hits.size(), 2u);
  hits.clear();
  EXPECT_EQ(engine.SearchFileNode(Ansi2Unicode(kAudioExtensionList).c_str(), hits), 1);
  EXPECT_TRUE(hits.empty());

  // A new engine reopening the store by its result name lists the same files.
  const std::string resultName =
      engine.Store()->GetNodeFilePath().substr(CLogFileManager::GetInstance().GetLogFileDirPath().size());
  CFileTypeRecovery reopened;
  ASSERT_EQ(reopened.InitLogFile(Ansi2Unicode(resultName.c_str()).c_str(), u'Z', Utf8ToUtf16(d.path().c_str()).c_str(),
                                 kSector, d.sectors()),
            0);
  std::vector<_FILE_NODE_> again;
  ASSERT_EQ(reopened.GetChildrenFileNode(nullptr, 0, again), 0);
  ASSERT_EQ(again.size(), 2u);
  _FILE_NODE_ jpegNode = byName["5000.jpg"];
  EXPECT_TRUE(Save(reopened, jpegNode) == jpeg);
}

TEST_F(CarvingTest, EngineSavesWithoutOverwritingAndStopsAtTheDevicesEnd) {
  ImageBuilder b;
  b.AddRandom(3, 1);
  const std::vector<uint8_t> content = Filler(1000, 2);
  const uint64_t start = b.Add(content);
  const std::vector<uint8_t> big = Filler(200000, 3);
  const uint64_t bigStart = b.Add(big);
  Device d(b.bytes());
  CFileTypeRecovery engine;
  ASSERT_EQ(engine.Init(Utf8ToUtf16(d.path().c_str()).c_str(), u'A'), 0);
  struct Reports {
    std::vector<std::pair<int, int>> calls;  // percent, failed
    std::u16string last;
  } reports;
  engine.InitCallBack(
      nullptr,
      [](void* ctx, int percent, int, int failed, const char16_t* name) {
        auto* r = static_cast<Reports*>(ctx);
        r->calls.push_back({percent, failed});
        r->last = name != nullptr ? name : u"";
        return 0;
      },
      &reports, 100);
  _FILE_NODE_ node{};
  node.SourceKind = kSourceCarved;
  node.RecordSector = start;
  node.FileSize = 1000;
  SetFileNodeName(node, "3.mp3");
  // Saving a 1000-byte file writes exactly 1000 bytes.
  EXPECT_TRUE(Save(engine, node) == content);
  // A second save never overwrites the first.
  const std::string target = m_out / "3.mp3";
  EXPECT_EQ(engine.SaveFileData(&node, Utf8ToUtf16(target.c_str()).c_str(), 0), 0);
  EXPECT_TRUE(ReadFileBytes(m_out / "3(1).mp3") == content);
  EXPECT_EQ(Utf16ToUtf8(reports.last.c_str()), m_out / "3(1).mp3");
  EXPECT_EQ(reports.calls.back(), std::make_pair(100, 0));
  // A file whose declared size runs past the device keeps what the device holds.
  _FILE_NODE_ past = node;
  past.RecordSector = bigStart;
  past.FileSize = big.size() + 5000;
  SetFileNodeName(past, "past.bin");
  int status = 0;
  const std::vector<uint8_t> partial = Save(engine, past, &status);
  EXPECT_EQ(status, kStatusReadFault);
  EXPECT_EQ(partial.size(), (d.sectors() - bigStart) * kSector);
  EXPECT_EQ(reports.calls.back(), std::make_pair(100, kStatusReadFault));
}

TEST_F(CarvingTest, EngineOpensADiskByNumberUpToTheEndOfItsArea) {
  TempDir disks;
  const std::vector<uint8_t> bytes = Filler(200 * kSector, 1);
  WriteFileBytes(disks / "disk0", bytes);
  test::ScopedEnv diskDir("VORLENTA_DISK_DIR", disks.path());
  CFileTypeRecovery engine;
  ASSERT_EQ(engine.Init(0, 100, 50, u'D'), 0);
  EXPECT_EQ(
      engine.Store()->GetNodeFilePath().find(CLogFileManager::GetInstance().GetLogFileDirPath() + "File_Type_100_"),
      0u);
  // Data is read up to the area's end, sector 150, and no further.
  _FILE_NODE_ node{};
  node.RecordSector = 140;
  node.FileSize = 20 * kSector;
  SetFileNodeName(node, "140.psd");
  int status = 0;
  const std::vector<uint8_t> saved = Save(engine, node, &status);
  EXPECT_EQ(status, kStatusReadFault);
  EXPECT_TRUE(saved == std::vector<uint8_t>(bytes.begin() + 140 * kSector, bytes.begin() + 150 * kSector));
  CFileTypeRecovery missing;
  EXPECT_NE(missing.Init(7, 0, 10, u'D'), 0);
}

}  // namespace
}  // namespace vorlenta
