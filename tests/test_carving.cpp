// Carving: the real files of tests/support/carve_samples, laid between random data, zero runs
// and file-system sectors, carved as the deep pass offers the sectors and compared byte for
// byte with the originals; byte-built files for the rules no real file here reaches; bad input
// (absurd sizes, a device that ends, a read error, tables outside the given buffer); a
// stopped walk; and the engine's store and save.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "carving/carve_pass.h"
#include "carving/file_type_recovery.h"
#include "engine/log_file_manager.h"
#include "engine/status.h"
#include "format/file_type_judge.h"
#include "support/carve_samples.h"
#include "util/debug_log.h"
#include "util/endian.h"
#include "util/text.h"

namespace vorlenta {
namespace {

using test::Filler;
using test::Join;
using test::LengthRule;
using test::ReadFileBytes;
using test::Sector;
using test::TempDir;
using test::Text;
using Device = test::SampleDevice;
using J = CFileTypeJudge;

constexpr int kSector = test::kSampleSector;

struct Carved {
  int status = -1;
  std::string name;
  EXTEND_NAME_TYPE type = kTypeNone;
  uint64_t length = 0;
};

// Measures the file at `start` as the carving entry does (or with no device to read from).
Carved Carve(Device& device, uint64_t start, bool noReader = false) {
  Carved c;
  char name[256] = {};
  c.status = J::ParseFileBuf(device.sector(start), kSector, start, start, device.sectors(), -1, 0,
                             noReader ? nullptr : device.reader(), kSector, name, c.type, c.length);
  c.name = name;
  return c;
}

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

// Each sample's type (by the name's extension), start and carved length, from one pass; then
// the engine's store and save.
TEST_F(CarvingTest, RealFilesAreCarvedWholeAndNeverTakeTheNextFile) {
  test::SampleImage& image = test::CarveSampleImage();
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
    if (s.rule == LengthRule::kNotAFile) {
      EXPECT_EQ(found, nodes.end()) << "carved";
      continue;
    }
    ASSERT_NE(found, nodes.end()) << "not carved";
    _FILE_NODE_ node = found->second;
    EXPECT_EQ(std::string(node.FileName), std::to_string(image.start[i]) + "." + s.extension);
    const std::vector<uint8_t> saved = Save(engine, node);
    ASSERT_EQ(saved.size(), node.FileSize);
    ASSERT_GE(saved.size(), original.size());
    EXPECT_TRUE(std::equal(original.begin(), original.end(), saved.begin())) << "carved bytes differ";
    if (s.rule == LengthRule::kExact) {
      EXPECT_EQ(saved.size(), original.size());
    }
    if (s.rule == LengthRule::kId3v1Tail) {
      // The tag is found; the length runs three bytes on, unless the end test comes first.
      const uint64_t padded = (original.size() + kSector - 1) / kSector * kSector;
      EXPECT_EQ(node.FileSize, std::min<uint64_t>(original.size() + 3, padded));
    }
    // Whatever the rule, the file stops before what follows it.
    EXPECT_LE(image.start[i] * kSector + node.FileSize, image.limit[i] * kSector) << "takes in what follows";
  }

  // Nothing else is carved, except inside the formats the pass walks into one sector at a time.
  const std::string walkedInto = " wav avi wmv bmp ico ttf webp aiff au woff woff2 cab ";
  for (const auto& [start, node] : nodes) {
    bool known = false;
    for (size_t i = 0; i < image.start.size(); ++i) {
      const bool inside = start > image.start[i] && start < image.limit[i];
      known = known || start == image.start[i] ||
              (inside && walkedInto.find(" " + image.samples[i].extension + " ") != std::string::npos);
    }
    EXPECT_TRUE(known) << "unexpected " << node.FileName;
  }
  EXPECT_EQ(pass.files, engine.GetLostFileCount());
  // The store of a path-opened engine is named after sector 0.
  const std::string logDir = CLogFileManager::GetInstance().GetLogFileDirPath();
  EXPECT_EQ(engine.Store()->GetNodeFilePath().find(logDir + "File_Type_0_"), 0u);

  // A second save never overwrites the first; a file whose size runs past the device keeps
  // what the device holds.
  _FILE_NODE_ node = nodes[image.start[0]];
  int status = -1;
  Save(engine, node, &status);
  EXPECT_EQ(status, 0);
  const std::string second = m_out / (std::to_string(image.start[0]) + "(1).jpg");
  EXPECT_TRUE(ReadFileBytes(second) == ReadFileBytes(image.samples[0].path));
  node.RecordSector = image.device->sectors() - 3;
  SetFileNodeName(node, "past.jpg");
  EXPECT_EQ(Save(engine, node, &status).size(), 3u * kSector);
  EXPECT_EQ(status, kStatusReadFault);
}

TEST_F(CarvingTest, StoppedWalkRecordsNothing) {
  test::SampleImage& image = test::CarveSampleImage();
  ASSERT_TRUE(image.error.empty()) << image.error;
  Device& d = *image.device;
  CFileTypeRecovery engine;
  ASSERT_EQ(engine.Init(Utf8ToUtf16(d.path().c_str()).c_str(), u'C'), 0);
  int calls = 0;
  engine.InitCallBack(
      [](void* ctx, int, int, int, unsigned long long, unsigned long long, unsigned long long, const char16_t*) {
        ++*static_cast<int*>(ctx);
        return kStatusUserStop;
      },
      nullptr, &calls, 9);
  // The first report during the camera picture's walk says stop.
  EXPECT_EQ(RunCarvingPass(engine, *d.reader(), 0, d.sectors(), kSector).status, kStatusUserStop);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(engine.GetLostFileCount(), 0u);
}

// A compound file's header and FAT sectors (512-byte compound sectors with `shift` 9, 4096 with
// 12): `fatSectors` FAT sectors listed in the header (and in DIFAT sectors after the first 109),
// the last one ending with `freeAtEnd` free entries. No tool here writes compound files.
std::vector<uint8_t> CompoundFile(uint32_t fatSectors, uint32_t freeAtEnd, uint16_t shift = 9) {
  const uint32_t sectorBytes = 1u << shift;
  const uint32_t perFat = sectorBytes / 4;
  const uint32_t perDifat = perFat - 1;
  const uint32_t difatSectors = fatSectors > 109 ? (fatSectors - 109 + perDifat - 1) / perDifat : 0;
  // Compound sectors: the FAT sectors first, then the DIFAT sectors.
  std::vector<uint8_t> f(sectorBytes * (fatSectors + difatSectors + 1), 0);
  const uint8_t magic[] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
  std::copy(magic, magic + sizeof magic, f.begin());
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
    for (uint32_t k = 0; k < perFat; ++k) {
      const bool freeEntry = s + 1 == fatSectors && k >= perFat - freeAtEnd;
      WriteU32LE(f.data(), static_cast<size_t>(sectorBytes) * (s + 1) + 4 * k, freeEntry ? 0xFFFFFFFF : 0xFFFFFFFD);
    }
  }
  return f;
}

// A compound file at sector 1 of a device, random data after it. With `directorySector` below
// 3, `firstData` replaces compound sector 0 (its first FAT sector) and, at `directorySector`, a
// root entry with `classId` and streams named `names`.
std::vector<uint8_t> CompoundDevice(std::vector<uint8_t> file, const std::vector<uint8_t>& firstData = {},
                                    std::vector<uint32_t> classId = {}, std::vector<std::u16string> names = {},
                                    uint32_t directorySector = 3) {
  if (directorySector != 3) WriteU32LE(file.data(), 48, directorySector);
  if (directorySector < 3) {
    std::copy(firstData.begin(), firstData.end(), file.begin() + kSector);
    uint8_t* directory = &file[(1 + directorySector) * kSector];
    std::fill(directory, directory + kSector, 0);
    names.insert(names.begin(), u"Root Entry");
    for (size_t e = 0; e < names.size() && e < 4; ++e) {
      uint8_t* entry = directory + 128 * e;
      for (size_t i = 0; i < names[e].size(); ++i) WriteU16LE(entry, 2 * i, names[e][i]);
      WriteU16LE(entry, 64, static_cast<uint16_t>(2 * (names[e].size() + 1)));
      entry[66] = e == 0 ? 5 : 2;  // root storage, then streams
    }
    for (size_t i = 0; i < classId.size(); ++i) WriteU32LE(directory, 80 + 4 * i, classId[i]);
  }
  return Join({std::vector<uint8_t>(kSector, 0), file, Filler(20 * kSector, 2)});
}

// The compound-file header method (FAT and DIFAT sector counts, damaged headers, the Word
// summary trailer when the header says nothing) and the kinds by first data sector, class
// identifier and stream names.
TEST_F(CarvingTest, CompoundFiles) {
  std::vector<uint8_t> badShift = CompoundFile(3, 10);
  WriteU16LE(badShift.data(), 30, 10);
  std::vector<uint8_t> tooManyFat = CompoundFile(3, 10);
  WriteU32LE(tooManyFat.data(), 44, 0x2000001);
  std::vector<uint8_t> listedBeyondHeader = CompoundFile(3, 10);
  WriteU32LE(listedBeyondHeader.data(), 44, 110);
  std::vector<uint8_t> huge = CompoundFile(3, 0);
  WriteU32LE(huge.data(), 44, 3000);
  WriteU32LE(huge.data(), 72, 27);
  std::vector<uint8_t> word = CompoundFile(1, 10);
  WriteU16LE(word.data(), 30, 0);
  word = Join({word, Filler(3000, 1), {0x01, 0x00, 0xFE, 0xFF, 0x03, 0x0A}, Filler(700, 2),
               Text("Microsoft Office Word "), {0xCE, 0xC4, 0xB5, 0xB5}});
  const uint64_t wordEnd = (word.size() + kSector - 1) / kSector * kSector;
  std::vector<uint8_t> biff(kSector, 0);
  WriteU16LE(biff.data(), 0, 0x0809);
  WriteU16LE(biff.data(), 2, 16);
  WriteU16LE(biff.data(), 4, 0x0600);
  std::vector<uint8_t> fib(kSector, 0);
  WriteU16LE(fib.data(), 0, 0xA5EC);
  const std::vector<uint8_t> four = CompoundFile(4, 0), none(kSector, 0);
  const std::vector<uint32_t> wordClass = {0x00020906, 0, 0xC0, 0x46000000};
  const std::vector<uint32_t> powerPointClass = {0x64818D10, 0x11CF4F9B, 0xAA00EA86, 0xE829B900};
  const uint64_t fourBytes = (4 * 128 + 1) * 512ull;
  const uint64_t toEnd = (4 + 20) * kSector;  // header and FAT sectors, then random data to the device's end
  const struct {
    const char* label;
    std::vector<uint8_t> device;
    EXTEND_NAME_TYPE kind;
    uint64_t size;
    bool byHeader;  // else the header gives no size, and the walk finds the end
  } cases[] = {
      {"20 FAT sectors, 30 free at the end", CompoundDevice(CompoundFile(20, 30)), kTypeOle,
       (20 * 128 + 1 - 30) * 512ull, true},
      {"FAT sectors listed in two DIFAT sectors", CompoundDevice(CompoundFile(109 + 127 + 5, 64)), kTypeOle,
       ((109 + 127 + 5) * 128ull + 1 - 64) * 512, true},
      {"4096-byte compound sectors", CompoundDevice(CompoundFile(2, 100, 12)), kTypeOle,
       (2 * 1024ull + 1 - 100) * 4096, true},
      {"sector shift of 10", CompoundDevice(badShift), kTypeOle, toEnd, false},
      {"more FAT sectors than sector numbers", CompoundDevice(tooManyFat), kTypeOle, toEnd, false},
      {"110 FAT sectors without a DIFAT sector", CompoundDevice(listedBeyondHeader), kTypeOle, toEnd, false},
      {"DIFAT chain that cannot be read: capped", CompoundDevice(huge), kTypeOle, 0x7FFFFFF, true},
      {"Word summary trailer", CompoundDevice(word), kTypeOle, wordEnd, false},
      {"BIFF8 workbook stream first", CompoundDevice(four, biff, {}, {}, 1), kTypeExcel, fourBytes, true},
      {"Word file information block first", CompoundDevice(four, fib, {}, {}, 1), kTypeWord, fourBytes, true},
      {"Word class identifier", CompoundDevice(four, none, wordClass, {u"Contents"}, 1), kTypeWord, fourBytes, true},
      {"Workbook stream, upper case", CompoundDevice(four, none, {}, {u"WORKBOOK"}, 1), kTypeExcel, fourBytes, true},
      {"PowerPoint stream", CompoundDevice(four, none, powerPointClass, {u"Current User", u"PowerPoint Document"}, 1),
       kTypePowerPoint, fourBytes, true},
      {"stream whose name only starts like WordDocument", CompoundDevice(four, none, {}, {u"WordDocument2"}, 1),
       kTypeOle, fourBytes, true},
      {"directory in compound sector 0", CompoundDevice(four, none, wordClass, {}, 0), kTypeWord, fourBytes, true},
      {"directory beyond the device", CompoundDevice(four, {}, {}, {}, 1000), kTypeOle, fourBytes, true},
  };
  const std::pair<const char*, EXTEND_NAME_TYPE> exts[] = {
      {"doc", kTypeWord}, {"et", kTypeExcel}, {"ppt", kTypePowerPoint}, {"ole", kTypeOle}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Device d(c.device);
    const uint8_t* header = d.sector(1);
    test::CarverContext(d.reader(), 1);
    EXPECT_EQ(J::GetOFFICE2003FileBytesSizeByFileHead(header, kSector), c.byHeader ? c.size : 0);
    EXPECT_EQ(J::GetOFFICE2003FileBytesSize(header, kSector), c.size);
    EXPECT_EQ(J::GetOffice2003Type(header, kSector), c.kind);
    // The walk stops at the "fla" row, which comes before the compound-file rows.
    EXPECT_EQ(J::GetDataBufType(header, kSector), kTypeFla);
    for (const auto& [ext, kind] : exts) {
      EXPECT_EQ(J::IsFileTypeMatching(header, kSector, ext, d.reader(), kSector, 1), kind == c.kind) << ext;
    }
  }
  // Eight bytes are no "fla" (it needs 16) but still a compound file, whose kind the first data
  // sector gives; the directory's place (offset 48) lies outside such a buffer.
  Device biffDevice(cases[8].device);
  test::CarverContext(biffDevice.reader(), 1);
  EXPECT_EQ(J::GetDataBufType(biffDevice.sector(1), 8), kTypeExcel);
  EXPECT_EQ(J::GetDataBufType(biffDevice.sector(1), 7), kTypeNone);
  // The header as the device's last sector, or with no device: nothing after it to read.
  Device lonely(std::vector<uint8_t>(cases[8].device.begin(), cases[8].device.begin() + 2 * kSector));
  test::CarverContext(lonely.reader(), 1);
  EXPECT_EQ(J::GetOffice2003Type(lonely.sector(1), kSector), kTypeOle);
  test::CarverContext(nullptr, 1);
  EXPECT_EQ(J::GetOffice2003Type(lonely.sector(1), kSector), kTypeOle);
}

// The carved stream's sector range is recorded, so a packet that starts a sector inside it
// (188-byte packets meet a sector start every 47 sectors) is no new stream.
TEST_F(CarvingTest, TransportStreamRangeIsRecorded) {
  test::SampleImage& image = test::CarveSampleImage();
  ASSERT_TRUE(image.error.empty()) << image.error;
  Device& d = *image.device;
  const size_t i = image.Index("clip.ts");
  const uint64_t start = image.start[i], inner = start + 47;
  const uint64_t sectors = (ReadFileBytes(image.samples[i].path).size() + kSector - 1) / kSector;
  ASSERT_EQ(Carve(d, start).status, 0);
  ASSERT_EQ(J::m_tsFileRangeVec.size(), 1u);
  EXPECT_EQ(J::m_tsFileRangeVec[0].u64FirstSector, start);
  EXPECT_EQ(J::m_tsFileRangeVec[0].u64LastSector, start + sectors - 1);
  EXPECT_EQ(J::m_bIsNeedCheckTsFileRange, 1);
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

TEST_F(CarvingTest, BadInputGivesABoundedLength) {
  const std::vector<uint8_t> png = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13, 'I', 'H', 'D', 'R'};
  const std::vector<uint8_t> psd = Join({Text("8BPS"), {0, 1, 0, 0, 0, 0, 0, 0, 0, 3}});
  // A trailer that never comes: the walk stops at the cap (128 MiB past the first sector)
  // on a device of zeros.
  {
    Device d(Sector(png), 0x9000000 / kSector - 1);
    ASSERT_EQ(::truncate(d.path().c_str(), 0x9000000), 0);
    EXPECT_EQ(Carve(d, 0).length, 0x8000000u + kSector);
  }
  // A device that ends in the middle of a file; no device at all, where the finders that walk
  // keep the first sector.
  {
    Device d(Join({Filler(2 * kSector, 1), psd, Filler(12345, 2)}));
    EXPECT_EQ(Carve(d, 2).length, (d.sectors() - 2) * kSector);
    EXPECT_EQ(Carve(d, 2, true).length, static_cast<uint64_t>(kSector));
  }
  // A read error in the middle of a walk: the reader may ask beyond the image, whose end then
  // comes back short. What was read counts.
  test::SampleImage& image = test::CarveSampleImage();
  ASSERT_TRUE(image.error.empty()) << image.error;
  {
    std::vector<uint8_t> jpeg = ReadFileBytes(image.samples[image.Index("camera.jpg")].path);
    jpeg.resize(jpeg.size() - 2 * kSector);  // no end marker
    Device d(jpeg, 500);
    EXPECT_EQ(Carve(d, 0).length, d.sectors() * kSector);
  }
  // Declared sizes beyond reason are capped; one that wraps is taken as it reads.
  std::vector<uint8_t> bmp = Sector(Text("BM")), cab = Sector(Text("MSCF")), wav = Sector(Text("RIFF....WAVEfmt "));
  WriteU32LE(bmp.data(), 2, 0xFFFFFFFF);
  WriteU32LE(bmp.data(), 14, 40);
  WriteU32LE(cab.data(), 8, 0xFFFFFFFF);
  WriteU32LE(wav.data(), 4, 0xFFFFFFFC);
  for (const auto& [head, expected] : {std::make_pair(bmp, 0x8000000ull), std::make_pair(cab, 0x40000000ull),
                                       std::make_pair(wav, 4ull)}) {
    Device d(Join({head, Filler(4 * kSector, 1)}));
    EXPECT_EQ(Carve(d, 0).length, expected) << head[0];
  }
  // An icon or font directory beyond the bytes handed over is read from the device, and only
  // from there.
  for (const char* file : {"icon.ico", "headfirst.ttf"}) {
    const size_t i = image.Index(file);
    const bool icon = std::string(file) == "icon.ico";
    const auto measure = icon ? &J::GetICOFileBytesSize : &J::GetTTFFileBytesSize;
    std::vector<uint8_t> first(image.device->sector(image.start[i]), image.device->sector(image.start[i]) + kSector);
    test::CarverContext(image.device->reader(), image.start[i]);
    EXPECT_EQ(measure(first.data(), 16), ReadFileBytes(image.samples[i].path).size()) << file;
    test::CarverContext(image.device->reader(), image.device->sectors());  // nothing can be read there
    if (icon) {
      EXPECT_EQ(measure(first.data(), 16), static_cast<uint64_t>(kSector));
    } else {
      WriteU16LE(first.data(), 4, 0);  // no tables
      EXPECT_EQ(measure(first.data(), kSector), 0u);
    }
  }
}

}  // namespace
}  // namespace vorlenta
