// File signature detection: first sectors of files made by real tools, laid out as on a disk,
// byte-exact sectors of formats no tool here writes, the device-reading sub-type tests, the
// file-system sector test, and the first-byte dispatch against the plain table-order walk.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "format/file_type_judge.h"
#include "device/disk_reader.h"
#include "format/fat_record.h"
#include "support/carve_samples.h"
#include "support/test_support.h"
#include "util/endian.h"

namespace vorlenta {
namespace {

using test::RandomBytes;
using test::RelayFontHeadFirst;
using test::ReadFileBytes;
using test::RunCommand;
using test::ScopedEnv;
using test::ShellQuote;
using test::TempDir;
using test::WriteFileBytes;
using J = CFileTypeJudge;

constexpr int kSector = 512;

std::vector<uint8_t> Padded(std::vector<uint8_t> bytes, size_t multiple = kSector) {
  bytes.resize((bytes.size() + multiple - 1) / multiple * multiple, 0);
  if (bytes.empty()) bytes.resize(multiple, 0);
  return bytes;
}

// Bytes written to a file and opened as a read-only device.
class Device {
 public:
  explicit Device(const std::vector<uint8_t>& bytes) : path_(dir_ / "device.img") {
    WriteFileBytes(path_, bytes);
    status_ = reader_.InitPath(path_, bytes.size() / kSector);
  }
  CDiskReader* reader() { return &reader_; }
  int status() const { return status_; }

 private:
  TempDir dir_;
  std::string path_;
  CDiskReader reader_;
  int status_ = -1;
};

// Resets the context as the carver does before it tests sector `start`.
void CarverContext(CDiskReader* reader, uint64_t start) {
  J::SetDetectionContext(reader, kSector, start);
  J::m_bIsNeedCheckTsFileRange = 1;
  J::m_bIsMtsFileHead = 0;
  J::m_tsFileRangeVec.clear();
}

// A real file made by a real tool.
struct RealSample {
  const char* label;
  const char* file;
  const char* command;  // run in the corpus folder; makes `file`
  const char* ext;      // the extension IsFileTypeMatching is asked about
  EXTEND_NAME_TYPE walk;
  int matches;
};

#define FFMPEG "ffmpeg -nostdin -hide_banner -loglevel error -y "
#define PICTURE "convert -size 64x48 gradient:red-blue "

// The audio and video files come from three ffmpeg runs with several outputs each (rows with
// no command of their own); each option applies to the output named after it.
const char* const kMediaCommands[] = {
    FFMPEG "-f lavfi -i testsrc=size=64x48:rate=25:duration=1 clip.avi -c:v mpeg4 clip.mp4 -c:v mpeg4 clip.mov "
           "-c:v mpeg4 clip.3gp -f mpeg clip.mpg -f vob clip.vob -c:v mpeg1video -f mpeg1video clip.m1v "
           "-c:v mpeg2video -f mpeg2video clip.m2v clip.mkv clip.flv -f asf clip.wmv -c:v flv1 -f swf clip.swf "
           "-c:v mpeg2video -f mxf clip.mxf",
    FFMPEG "-f lavfi -i testsrc=size=64x48:rate=25:duration=4 -f mpegts clip.ts",
    FFMPEG "-f lavfi -i sine=frequency=440:duration=1 -c:a wmav2 -f asf tone.wma -c:a libmp3lame tone.mp3 "
           "-c:a ac3 -f rm tone.rm",
};

const RealSample kRealSamples[] = {
    {"JPEG (JFIF)", "photo.jpg", PICTURE "photo.jpg", "JPG", kTypeJpg, 1},
    {"PNG", "photo.png", PICTURE "photo.png", "png", kTypePng, 1},
    {"GIF", "photo.gif", PICTURE "photo.gif", "gif", kTypeGif, 1},
    {"BMP with BITMAPINFOHEADER", "old.bmp", PICTURE "BMP3:old.bmp", "bmp", kTypeBmp, 1},
    {"BMP with a V5 header (124 bytes)", "new.bmp", PICTURE "new.bmp", "bmp", kTypeNone, 0},
    {"TIFF little-endian", "le.tif", PICTURE "le.tif", "tif", kTypeTif, 1},
    {"TIFF big-endian", "be.tif", PICTURE "-define tiff:endian=msb be.tif", "tiff", kTypeTif, 1},
    {"Photoshop", "photo.psd", PICTURE "photo.psd", "psd", kTypePsd, 1},
    {"icon with three images", "icon.ico", PICTURE "-define icon:auto-resize=16,32,48 icon.ico", "ico", kTypeIco, 1},
    {"WAVE by sox", "tone.wav", "sox -n -r 8000 -c 1 tone.wav synth 0.5 sine 440", "wav", kTypeWav, 1},
    {"AVI", "clip.avi", "", "avi", kTypeAvi, 1},
    {"MPEG-4", "clip.mp4", "", "mp4", kTypeMp4, 1},
    {"QuickTime", "clip.mov", "", "mov", kTypeMov, 1},
    {"3GPP", "clip.3gp", "", "3gp", kType3gp, 1},
    {"MPEG-1 program stream", "clip.mpg", "", "mpg", kTypeMpg, 1},
    {"MPEG-2 program stream (VOB)", "clip.vob", "", "vob", kTypeMpg, 1},
    {"MPEG-1 video stream", "clip.m1v", "", "mpeg", kTypeMpg, 1},
    {"MPEG-2 video stream", "clip.m2v", "", "mpeg", kTypeMpg, 1},
    {"transport stream", "clip.ts", "", "ts", kTypeTs, 1},
    {"Matroska", "clip.mkv", "", "mkv", kTypeMkv, 1},
    {"Flash video", "clip.flv", "", "flv", kTypeFlv, 1},
    {"ASF video", "clip.wmv", "", "wmv", kTypeAsf, 1},
    {"ASF audio", "tone.wma", "", "wma", kTypeAsf, 1},
    {"uncompressed Flash movie of version 6", "clip.swf", "", "swf", kTypeNone, 0},
    {"MP3 with ID3v2", "tone.mp3", "", "mp3", kTypeMp3, 1},
    {"MXF", "clip.mxf", "", "mxf", kTypeMxf, 1},
    {"RealMedia", "tone.rm", "", "rm", kTypeRmvb, 1},
    {"ZIP", "plain.zip", "zip -q -X plain.zip notes.txt", "zip", kTypeZip, 1},
    {"word-processing package", "letter.docx", "zip -q -X letter.docx '[Content_Types].xml' word/document.xml", "docx",
     kTypeWordX, 1},
    {"spreadsheet package", "sheet.xlsx", "zip -q -X sheet.xlsx '[Content_Types].xml' xl/workbook.xml", "xlsx",
     kTypeExcelX, 1},
    {"presentation package", "talk.pptx", "zip -q -X talk.pptx '[Content_Types].xml' ppt/presentation.xml", "pptx",
     kTypePowerPointX, 1},
    {"package of no known kind", "odd.docx", "zip -q -X odd.docx '[Content_Types].xml' docProps/app.xml", "docx",
     kTypeZip, 0},
    {"word package whose word/ member starts in the second window", "late.docx",
     "zip -q -X -0 late.docx '[Content_Types].xml' filler3k.bin word/document.xml", "docx", kTypeWordX, 1},
    {"word package whose members lie past the fifth window", "far.docx",
     "zip -q -X -0 far.docx '[Content_Types].xml' filler12k.bin word/document.xml", "docx", kTypeZip, 0},
    {"gzip -9", "best.gz", "gzip -9 -c notes.txt > best.gz", "gz", kTypeGzip, 1},
    {"gzip -1", "fast.gz", "gzip -1 -c notes.txt > fast.gz", "gzip", kTypeGzip, 1},
    {"gzip -6 (extra flags 0)", "normal.gz", "gzip -6 -c notes.txt > normal.gz", "gz", kTypeNone, 0},
    {"7z", "notes.7z", "7z a -bd -y notes.7z notes.txt", "7z", kType7z, 1},
    {"SQLite", "data.db", "sqlite3 data.db 'create table t(x); insert into t values(1);'", "db", kTypeSqlite, 1},
    {"TrueType as shipped (FFTM table first)", "shipped.ttf", "cp /usr/share/fonts/truetype/dejavu/DejaVuSans.ttf shipped.ttf",
     "ttf", kTypeNone, 0},
    {"TrueType relaid with head first", "relaid.ttf", "", "ttf", kTypeTtf, 1},
};

// The real files, each starting on a sector, as one device. The package test reads 20 sectors
// on from a file's start; the zero gap keeps it from reaching the next file.
constexpr size_t kGapSectors = 24;

struct Corpus {
  std::string error;
  std::vector<uint8_t> image;
  std::map<std::string, uint64_t> start;        // file -> first sector
  std::map<std::string, uint64_t> sectors;      // file -> sectors it covers
  std::map<std::string, std::vector<uint8_t>> first;  // file -> its first sector
  std::unique_ptr<Device> device;
};

Corpus& RealCorpus() {
  static Corpus corpus;
  static bool built = false;
  if (built) return corpus;
  built = true;
  for (const char* tool : {"convert", "ffmpeg", "sox", "zip", "gzip", "7z", "sqlite3"}) {
    if (!test::HaveTool(tool)) corpus.error += std::string("missing tool ") + tool + "; ";
  }
  if (!corpus.error.empty()) return corpus;
  static TempDir dir;
  WriteFileBytes(dir / "notes.txt", std::vector<uint8_t>(2000, 'n'));
  WriteFileBytes(dir / "[Content_Types].xml", std::vector<uint8_t>(300, 'c'));
  RunCommand("mkdir -p " + ShellQuote(dir / "word") + " " + ShellQuote(dir / "xl") + " " + ShellQuote(dir / "ppt") + " " +
             ShellQuote(dir / "docProps"));
  for (const char* member : {"word/document.xml", "xl/workbook.xml", "ppt/presentation.xml", "docProps/app.xml"}) {
    WriteFileBytes(dir / member, std::vector<uint8_t>(400, 'x'));
  }
  WriteFileBytes(dir / "filler3k.bin", RandomBytes(3000, 3));
  WriteFileBytes(dir / "filler12k.bin", RandomBytes(12000, 12));
  WriteFileBytes(dir / "relaid.ttf", RelayFontHeadFirst(ReadFileBytes("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf")));

  for (const char* command : kMediaCommands) {
    if (RunCommand("cd " + ShellQuote(dir.path()) + " && (" + command + ") >/dev/null 2>&1") != 0) {
      corpus.error += std::string("failed: ") + command + "; ";
    }
  }
  corpus.image.assign(kGapSectors * kSector, 0);
  for (const RealSample& s : kRealSamples) {
    if (*s.command != '\0' &&
        RunCommand("cd " + ShellQuote(dir.path()) + " && (" + s.command + ") >/dev/null 2>&1") != 0) {
      corpus.error += std::string("cannot make ") + s.file + "; ";
      continue;
    }
    const std::vector<uint8_t> made = ReadFileBytes(dir / s.file);
    if (made.empty()) corpus.error += std::string("no ") + s.file + "; ";
    const std::vector<uint8_t> bytes = Padded(made);
    corpus.start[s.file] = corpus.image.size() / kSector;
    corpus.sectors[s.file] = bytes.size() / kSector;
    corpus.first[s.file].assign(bytes.begin(), bytes.begin() + kSector);
    corpus.image.insert(corpus.image.end(), bytes.begin(), bytes.end());
    corpus.image.insert(corpus.image.end(), kGapSectors * kSector, 0);
  }
  corpus.device = std::make_unique<Device>(corpus.image);
  if (corpus.device->status() != 0) corpus.error += "cannot open the corpus as a device";
  return corpus;
}

TEST(Signatures, FirstSectorsOfRealFiles) {
  Corpus& corpus = RealCorpus();
  ASSERT_TRUE(corpus.error.empty()) << corpus.error;
  for (const RealSample& s : kRealSamples) {
    SCOPED_TRACE(s.label);
    const std::vector<uint8_t>& sector = corpus.first[s.file];
    const uint64_t start = corpus.start[s.file];
    CarverContext(corpus.device->reader(), start);
    EXPECT_EQ(J::GetDataBufType(sector.data(), kSector), s.walk);
    EXPECT_EQ(J::GetDataBufTypeInTableOrder(sector.data(), kSector), s.walk);
    EXPECT_EQ(J::IsFileTypeMatching(sector.data(), kSector, s.ext, corpus.device->reader(), kSector, start), s.matches);
  }
}

TEST(Signatures, ExtensionLookUp) {
  Corpus& corpus = RealCorpus();
  ASSERT_TRUE(corpus.error.empty()) << corpus.error;
  CDiskReader* reader = corpus.device->reader();
  const std::vector<uint8_t>& jpeg = corpus.first["photo.jpg"];
  const uint64_t jpegStart = corpus.start["photo.jpg"];
  const std::vector<uint8_t>& docx = corpus.first["letter.docx"];
  const uint64_t docxStart = corpus.start["letter.docx"];
  struct Case {
    const std::vector<uint8_t>* sector;
    uint64_t start;
    const char* ext;
    int expected;
  };
  const Case cases[] = {
      {&jpeg, jpegStart, "jpg", 1},    {&jpeg, jpegStart, "JpEg", 1},  {&jpeg, jpegStart, "jfif", 1},
      {&jpeg, jpegStart, "png", 0},    {&jpeg, jpegStart, "txt", 1},   {&jpeg, jpegStart, nullptr, 1},
      {&jpeg, jpegStart, "jp", 1},     {&jpeg, jpegStart, "jpgx", 1},  {&docx, docxStart, "docx", 1},
      {&docx, docxStart, "dotx", 1},   {&docx, docxStart, "xlsx", 0},  {&docx, docxStart, "mso07", 0},
      {&docx, docxStart, "zip", 1},    {&docx, docxStart, "doc", 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(J::IsFileTypeMatching(c.sector->data(), kSector, c.ext, reader, kSector, c.start), c.expected)
        << (c.ext != nullptr ? c.ext : "(null)");
  }
}

TEST(Signatures, TransportStreamIsNewOnlyAtItsStart) {
  Corpus& corpus = RealCorpus();
  ASSERT_TRUE(corpus.error.empty()) << corpus.error;
  CDiskReader* reader = corpus.device->reader();
  const uint64_t start = corpus.start["clip.ts"];
  ASSERT_GE(corpus.sectors["clip.ts"], 47u + 8u);
  // 188-byte packets meet a sector start again every 47 sectors.
  const uint64_t inner = start + 47;
  const uint8_t* innerSector = &corpus.image[inner * kSector];
  ASSERT_EQ(innerSector[0], 0x47);

  CarverContext(reader, inner);
  EXPECT_EQ(J::IsTsType(innerSector, kSector), kTypeNone) << "continues the stream of the sector before";
  J::m_bIsNeedCheckTsFileRange = 0;
  EXPECT_EQ(J::IsTsType(innerSector, kSector), kTypeTs) << "a health check does not look back";

  const uint8_t* first = corpus.first["clip.ts"].data();
  CarverContext(reader, start);
  EXPECT_EQ(J::IsTsType(first, kSector), kTypeTs);
  J::m_tsFileRangeVec.push_back({start - 10, start});
  EXPECT_EQ(J::IsTsType(first, kSector), kTypeNone) << "inside a stream already carved";
  J::m_tsFileRangeVec = {{start + 1, start + 100}, {0, start - 1}};
  EXPECT_EQ(J::IsTsType(first, kSector), kTypeTs);
  J::m_tsFileRangeVec.clear();

  // The sync bytes must go on over the next 4096 bytes of the device.
  CarverContext(reader, start);
  J::m_u64CurrentSector = start + 1;  // the device then shows sector 1 of the stream, out of step
  EXPECT_EQ(J::IsTsType(first, kSector), kTypeNone);
  CarverContext(nullptr, start);
  EXPECT_EQ(J::IsTsType(first, kSector), kTypeNone) << "no device to read";
  // A stream at sector 0 has no sector before it to look at: new only to a health check.
  const auto tsBegin = corpus.image.begin() + static_cast<long>(start * kSector);
  Device alone(std::vector<uint8_t>(tsBegin, tsBegin + static_cast<long>(corpus.sectors["clip.ts"] * kSector)));
  ASSERT_EQ(alone.status(), 0);
  CarverContext(alone.reader(), 0);
  EXPECT_EQ(J::IsTsType(first, kSector), kTypeNone);
  J::m_bIsNeedCheckTsFileRange = 0;
  EXPECT_EQ(J::IsTsType(first, kSector), kTypeTs);
  // Only whole packets in the buffer are looked at.
  CarverContext(reader, start);
  EXPECT_EQ(J::IsTsType(first, 188), kTypeTs);
  EXPECT_EQ(J::IsTsType(first, 187), kTypeNone);
}

// One sector, built byte by byte, of a format no tool here writes.
struct SyntheticSample {
  const char* label;
  std::vector<uint8_t> head;  // the sector's first bytes; the rest is zero
  EXTEND_NAME_TYPE walk;
};

std::vector<uint8_t> Bytes(std::initializer_list<int> list) {
  std::vector<uint8_t> out;
  for (int v : list) out.push_back(static_cast<uint8_t>(v));
  return out;
}

std::vector<uint8_t> Text(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

std::vector<uint8_t> Join(std::vector<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

std::vector<uint8_t> PeSector(uint32_t headerOffset, uint16_t characteristics) {
  std::vector<uint8_t> s(kSector, 0);
  s[0] = 'M';
  s[1] = 'Z';
  WriteU32LE(s.data(), 60, headerOffset);
  if (headerOffset + 4 <= s.size()) std::memcpy(&s[headerOffset], "PE\0\0", 4);
  if (headerOffset + 24 <= s.size()) {
    WriteU16LE(s.data(), headerOffset + 4, 0x014C);  // i386
    WriteU16LE(s.data(), headerOffset + 22, characteristics);
  }
  return s;
}

// A 192-byte AVCHD packet carrying the programme association table.
std::vector<uint8_t> AvchdPacket(uint32_t timeStamp) {
  std::vector<uint8_t> p(192, 0xFF);
  WriteU32BE(p.data(), 0, timeStamp);
  const std::vector<uint8_t> header = Bytes({0x47, 0x40, 0x00, 0x10, 0x00, 0x00, 0xB0, 0x11, 0x00, 0x00, 0xC1, 0x00,
                                             0x00, 0x00, 0x00, 0xE0, 0x1F, 0x00, 0x01, 0xE1, 0x00});
  std::copy(header.begin(), header.end(), p.begin() + 4);
  return p;
}

std::vector<SyntheticSample> SyntheticSamples() {
  return {
      {"JPEG (Exif)", Join({Bytes({0xFF, 0xD8, 0xFF, 0xE1, 0x1F, 0xFE}), Text("Exif"), Bytes({0, 0}), Text("II*")}),
       kTypeJpg},
      {"JPEG with an APP1 that is not Exif", Join({Bytes({0xFF, 0xD8, 0xFF, 0xE1, 0x1F, 0xFE}), Text("http")}),
       kTypeNone},
      {"MPEG audio layer II frame", Bytes({0xFF, 0xFD, 0xE4, 0x00, 0x55, 0x55}), kTypeMp2},
      {"MPEG audio layer II frame, original bit set", Bytes({0xFF, 0xFD, 0xE4, 0x04, 0x55, 0x55}), kTypeNone},
      {"MIDI", Join({Text("MThd"), Bytes({0, 0, 0, 6, 0, 1, 0, 2, 0, 96}), Text("MTrk")}), kTypeMid},
      {"MIDI header of another length", Join({Text("MThd"), Bytes({0, 0, 0, 8, 0, 1, 0, 2, 0, 96}), Text("MTrk")}),
       kTypeNone},
      {"Monkey's Audio", Join({Text("MAC "), Bytes({0x96, 0x0F})}), kTypeApe},
      {"SMAF", Join({Text("MMMD"), Bytes({0, 0, 0x10, 0})}), kTypeMmf},
      {"ID3v2.3 tag", Join({Text("ID3"), Bytes({3, 0, 0, 0, 0, 0x23, 0x7F})}), kTypeMp3},
      {"ID3 tag with an undefined flag", Join({Text("ID3"), Bytes({3, 0, 0x10, 0, 0, 0x23, 0x7F})}), kTypeNone},
      {"ID3 tag with a size byte of 0x80", Join({Text("ID3"), Bytes({3, 0, 0, 0, 0x80, 0, 0})}), kTypeNone},
      {"compressed Flash movie", Join({Text("CWS"), Bytes({10, 0x20, 0, 0, 0})}), kTypeSwf},
      {"compressed Flash movie of version 5", Join({Text("CWS"), Bytes({5, 0x20, 0, 0, 0})}), kTypeNone},
      {"plain Flash movie of version 6", Join({Text("FWS"), Bytes({6, 0x20, 0, 0, 0})}), kTypeNone},
      {"RAR 4", Join({Text("Rar!"), Bytes({0x1A, 0x07, 0x00, 0xCF, 0x90, 0x73})}), kTypeRar},
      {"RAR 5", Join({Text("Rar!"), Bytes({0x1A, 0x07, 0x01, 0x00})}), kTypeNone},
      {"cabinet", Join({Text("MSCF"), Bytes({0, 0, 0, 0, 0x10, 0x27, 0, 0})}), kTypeCab},
      {"disk image", Bytes({0xFE, 0xEF, 0x00, 0x00, 0x01}), kTypeGho},
      {"DBX mail store", Bytes({0xCF, 0xAD, 0x12, 0xFE, 0xC5, 0xFD, 0x74, 0x6F}), kTypeDbx},
      {"PST mail store", Join({Text("!BDN"), Bytes({0x12, 0x34, 0x56, 0x78}), Text("SM"), Bytes({0x17, 0x00})}),
       kTypePst},
      {"PDF", Text("%PDF-1.4\n%\xE2\xE3\xCF\xD3\n1 0 obj\n<< /Type /Catalog >>\nendobj\n"), kTypePdf},
      {"PE executable", PeSector(0x80, 0x0102), kTypeExe},
      {"PE library", PeSector(0x80, 0x2102), kTypeDll},
      {"PE driver", PeSector(0x80, 0x1102), kTypeSys},
      {"PE library with the system bit", PeSector(0x80, 0x3102), kTypeSys},
      {"PE without the image bit", PeSector(0x80, 0x2100), kTypeNone},
      {"PE header at 488", PeSector(488, 0x0102), kTypeExe},
      {"PE header at 492", PeSector(492, 0x0102), kTypeNone},
      {"AVCHD packet without time stamp", AvchdPacket(0), kTypeMts},
      {"AVCHD packet with time stamp", AvchdPacket(0x0EBF4622), kTypeMts},
      {"MPEG pack header without a system header", Bytes({0, 0, 1, 0xBA, 0x44, 0, 4, 0, 4, 1, 1, 0x89, 0xC3, 0xF8}),
       kTypeNone},
      {"zero sector", {}, kTypeNone},
  };
}

TEST(Signatures, ByteExactSectors) {
  for (const SyntheticSample& s : SyntheticSamples()) {
    std::vector<uint8_t> sector = s.head;
    sector.resize(kSector, 0);
    CarverContext(nullptr, 1);
    EXPECT_EQ(J::GetDataBufType(sector.data(), kSector), s.walk) << s.label;
    EXPECT_EQ(J::GetDataBufTypeInTableOrder(sector.data(), kSector), s.walk) << s.label;
  }
}

TEST(Signatures, ZeroSectorAndShortBuffersMatchNothing) {
  const std::vector<uint8_t> zeros(kSector, 0);
  CarverContext(nullptr, 1);
  for (size_t row = 0; row < kFormatTableRows; ++row) {
    EXPECT_EQ(szExtendNameAndType[row].pfnIsType(zeros.data(), kSector), kTypeNone) << szExtendNameAndType[row].szExtendName;
    EXPECT_EQ(szExtendNameAndType[row].pfnIsType(nullptr, kSector), kTypeNone) << szExtendNameAndType[row].szExtendName;
    EXPECT_EQ(szExtendNameAndType[row].pfnIsType(zeros.data(), -1), kTypeNone);
  }
  EXPECT_EQ(J::GetDataBufType(nullptr, kSector), kTypeNone);
  EXPECT_EQ(J::GetDataBufType(zeros.data(), 0), kTypeNone);
}

TEST(Signatures, EachTestNeedsItsMinimumLength) {
  Corpus& corpus = RealCorpus();
  ASSERT_TRUE(corpus.error.empty()) << corpus.error;
  std::map<std::string, std::vector<uint8_t>> sectors = corpus.first;
  for (const SyntheticSample& s : SyntheticSamples()) {
    sectors[s.label] = s.head;
    sectors[s.label].resize(kSector, 0);
  }
  struct Case {
    FileTypeTest test;
    int minimum;
    const char* sample;
    EXTEND_NAME_TYPE code;
  };
  const Case cases[] = {
      {&J::IsMpgType, 16, "clip.mpg", kTypeMpg},        {&J::IsMp4Type, 32, "clip.mp4", kTypeMp4},
      {&J::IsRmvbType, 4, "tone.rm", kTypeRmvb},        {&J::IsAsfType, 24, "clip.wmv", kTypeAsf},
      {&J::IsSwfType, 8, "compressed Flash movie", kTypeSwf},        {&J::IsAviType, 16, "clip.avi", kTypeAvi},
      {&J::IsFlvType, 16, "clip.flv", kTypeFlv},        {&J::Is3pgType, 32, "clip.3gp", kType3gp},
      {&J::IsMkvType, 16, "clip.mkv", kTypeMkv},        {&J::IsMtsType, 16, "AVCHD packet with time stamp", kTypeMts},
      {&J::IsMxfType, 16, "clip.mxf", kTypeMxf},        {&J::IsMp3Type, 10, "tone.mp3", kTypeMp3},
      {&J::IsMidType, 18, "MIDI", kTypeMid},            {&J::IsApeType, 4, "Monkey's Audio", kTypeApe},
      {&J::IsWavType, 16, "tone.wav", kTypeWav},        {&J::IsMovType, 16, "clip.mov", kTypeMov},
      {&J::IsMp2Type, 4, "MPEG audio layer II frame", kTypeMp2},
      {&J::IsMmfType, 4, "SMAF", kTypeMmf},             {&J::IsGifType, 8, "photo.gif", kTypeGif},
      {&J::IsBmpType, 40, "old.bmp", kTypeBmp},         {&J::IsJpgType, 16, "photo.jpg", kTypeJpg},
      {&J::IsPngType, 8, "photo.png", kTypePng},        {&J::IsPsdType, 40, "photo.psd", kTypePsd},
      {&J::IsTifType, 4, "le.tif", kTypeTif},           {&J::IsPdfType, 5, "PDF", kTypePdf},
      {&J::IsGzipType, 16, "best.gz", kTypeGzip},       {&J::Is7zType, 5, "notes.7z", kType7z},
      {&J::IsZipType, 48, "plain.zip", kTypeZip},       {&J::IsRarType, 7, "RAR 4", kTypeRar},
      {&J::IsCabType, 36, "cabinet", kTypeCab},         {&J::IsPeType, 512, "PE executable", kTypeExe},
      {&J::IsGhoType, 4, "disk image", kTypeGho},       {&J::IsSqlType, 16, "data.db", kTypeSqlite},
      {&J::IsDbxEmailType, 16, "DBX mail store", kTypeDbx},
      {&J::IsPstEmailType, 16, "PST mail store", kTypePst},
      {&J::IsFlaType, 16, "word compound file", kTypeFla},
  };
  // A compound-file header, for the one test that needs no device.
  sectors["word compound file"] = Join({Bytes({0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1})});
  sectors["word compound file"].resize(kSector, 0);
  CarverContext(nullptr, 1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sample);
    ASSERT_EQ(sectors.count(c.sample), 1u);
    const std::vector<uint8_t>& sector = sectors[c.sample];
    EXPECT_EQ(c.test(sector.data(), kSector), c.code);
    EXPECT_EQ(c.test(sector.data(), c.minimum), c.code);
    EXPECT_EQ(c.test(sector.data(), c.minimum - 1), kTypeNone);
  }
  // The icon and font tests also need their directories inside the buffer.
  const std::vector<uint8_t>& icon = sectors["icon.ico"];
  const int iconDirectory = 6 + 16 * ReadU16LE(icon.data(), icon.size(), 4);
  EXPECT_EQ(J::IsIcoType(icon.data(), iconDirectory), kTypeIco);
  EXPECT_EQ(J::IsIcoType(icon.data(), iconDirectory - 1), kTypeNone);
  const std::vector<uint8_t>& font = sectors["relaid.ttf"];
  const int fontDirectory = 16 * ReadU16BE(font.data(), font.size(), 4) + 16;
  EXPECT_EQ(J::IsTtfType(font.data(), fontDirectory), kTypeTtf);
  EXPECT_EQ(J::IsTtfType(font.data(), fontDirectory - 1), kTypeNone);
}

TEST(Signatures, AvchdPacketWithTimeStampIsNewOnlyWhenNoStreamIsMeasured) {
  const std::vector<uint8_t> stamped = Padded(AvchdPacket(0x0EBF4622));
  const std::vector<uint8_t> unstamped = Padded(AvchdPacket(0));
  CarverContext(nullptr, 1);
  EXPECT_EQ(J::IsMtsType(stamped.data(), kSector), kTypeMts);
  J::m_bIsMtsFileHead = 1;
  EXPECT_EQ(J::IsMtsType(stamped.data(), kSector), kTypeNone);
  EXPECT_EQ(J::IsMtsType(unstamped.data(), kSector), kTypeMts);
  J::m_bIsMtsFileHead = 0;
}

TEST(Signatures, PackageMemberNames) {
  struct Case {
    const char* name;
    int len;
    EXTEND_NAME_TYPE expected;
  };
  const Case cases[] = {
      {"word/document.xml", 17, kTypeWordX}, {"WORD/", 5, kTypeWordX},     {"word", 4, kTypeNone},
      {"Word_", 5, kTypeWordX},              {"ppt/slides", 10, kTypePowerPointX},
      {"ppt", 3, kTypeNone},                 {"PPT/", 4, kTypePowerPointX}, {"xl/", 3, kTypeExcelX},
      {"Xl/", 3, kTypeExcelX},               {"xl", 2, kTypeNone},          {"docProps/app.xml", 16, kTypeNone},
      {"[Content_Types].xml", 19, kTypeNone},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(J::ReturnFileType(reinterpret_cast<const unsigned char*>(c.name), c.len), c.expected) << c.name;
  }
  EXPECT_EQ(J::ReturnFileType(nullptr, 10), kTypeNone);
}

// A compound file laid out on a device: header at sector 1, compound sector s at 2 + s.
struct CompoundCase {
  const char* label;
  std::vector<uint8_t> firstDataSector;   // compound sector 0
  uint32_t classId[4];                    // of the root entry
  std::vector<std::u16string> names;      // directory entries after the root
  uint32_t directorySector;               // first directory sector, from the header
  EXTEND_NAME_TYPE kind;
};

std::vector<uint8_t> CompoundDevice(const CompoundCase& c) {
  std::vector<uint8_t> device(6 * kSector, 0);
  uint8_t* header = &device[kSector];
  const uint8_t magic[] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
  std::memcpy(header, magic, sizeof magic);
  WriteU16LE(header, 24, 0x003E);  // minor version
  WriteU16LE(header, 26, 0x0003);  // major version 3: 512-byte sectors
  WriteU16LE(header, 28, 0xFFFE);  // little-endian
  WriteU16LE(header, 30, 9);       // sector shift
  WriteU16LE(header, 32, 6);       // mini sector shift
  WriteU32LE(header, 44, 1);       // FAT sectors
  WriteU32LE(header, 48, c.directorySector);
  std::copy(c.firstDataSector.begin(), c.firstDataSector.end(), device.begin() + 2 * kSector);
  if (c.directorySector < 3) {
    uint8_t* directory = &device[(2 + c.directorySector) * kSector];
    const std::u16string root = u"Root Entry";
    std::vector<std::u16string> names = {root};
    names.insert(names.end(), c.names.begin(), c.names.end());
    for (size_t e = 0; e < names.size() && e < 4; ++e) {
      uint8_t* entry = directory + 128 * e;
      for (size_t i = 0; i < names[e].size(); ++i) WriteU16LE(entry, 2 * i, names[e][i]);
      WriteU16LE(entry, 64, static_cast<uint16_t>(2 * (names[e].size() + 1)));
      entry[66] = e == 0 ? 5 : 2;  // root storage, then streams
    }
    for (int i = 0; i < 4; ++i) WriteU32LE(directory, 80 + 4 * static_cast<size_t>(i), c.classId[i]);
  }
  return device;
}

TEST(Signatures, CompoundFileKinds) {
  std::vector<uint8_t> biff(kSector, 0);
  WriteU16LE(biff.data(), 0, 0x0809);
  WriteU16LE(biff.data(), 2, 16);
  WriteU16LE(biff.data(), 4, 0x0600);
  std::vector<uint8_t> biff5 = biff;
  WriteU16LE(biff5.data(), 4, 0x0500);
  std::vector<uint8_t> fib(kSector, 0);
  WriteU16LE(fib.data(), 0, 0xA5EC);
  const std::vector<uint8_t> none(kSector, 0);
  const CompoundCase cases[] = {
      {"BIFF8 workbook stream first", biff, {0, 0, 0, 0}, {}, 1, kTypeExcel},
      {"BIFF5 beginning-of-file record", biff5, {0, 0, 0, 0}, {}, 1, kTypeOle},
      {"Word file information block first", fib, {0, 0, 0, 0}, {}, 1, kTypeWord},
      {"Word class identifier", none, {0x00020906, 0, 0xC0, 0x46000000}, {u"Contents"}, 1, kTypeWord},
      {"Excel 5 class identifier", none, {0x00020810, 0, 0xC0, 0x46000000}, {u"Contents"}, 1, kTypeExcel},
      {"Excel 97 class identifier", none, {0x00020820, 0, 0xC0, 0x46000000}, {u"Contents"}, 1, kTypeExcel},
      {"WordDocument stream", none, {0, 0, 0, 0}, {u"1Table", u"WordDocument"}, 1, kTypeWord},
      {"Workbook stream, upper case", none, {0, 0, 0, 0}, {u"WORKBOOK"}, 1, kTypeExcel},
      {"PowerPoint stream with the presentation class identifier", none,
       {0x64818D10, 0x11CF4F9B, 0xAA00EA86, 0xE829B900}, {u"Current User", u"PowerPoint Document"}, 1,
       kTypePowerPoint},
      {"stream whose name only starts like WordDocument", none, {0, 0, 0, 0}, {u"WordDocument2"}, 1, kTypeOle},
      {"directory in compound sector 0", none, {0x00020906, 0, 0xC0, 0x46000000}, {}, 0, kTypeWord},
      {"no hint", none, {0, 0, 0, 0}, {u"Contents", u"Pictures"}, 1, kTypeOle},
      {"directory beyond the device", none, {0, 0, 0, 0}, {}, 1000, kTypeOle},
  };
  struct Ext {
    const char* ext;
    EXTEND_NAME_TYPE kind;
  };
  const Ext exts[] = {{"doc", kTypeWord}, {"wps", kTypeWord}, {"xls", kTypeExcel}, {"et", kTypeExcel},
                      {"ppt", kTypePowerPoint}, {"dps", kTypePowerPoint}, {"ole", kTypeOle}};
  for (const CompoundCase& c : cases) {
    SCOPED_TRACE(c.label);
    const std::vector<uint8_t> bytes = CompoundDevice(c);
    Device device(bytes);
    ASSERT_EQ(device.status(), 0);
    const uint8_t* header = &bytes[kSector];
    CarverContext(device.reader(), 1);
    EXPECT_EQ(J::GetOffice2003Type(header, kSector), c.kind);
    // The walk stops at the "fla" row, which comes before the compound-file rows.
    EXPECT_EQ(J::GetDataBufType(header, kSector), kTypeFla);
    EXPECT_EQ(J::GetDataBufTypeInTableOrder(header, kSector), kTypeFla);
    for (const Ext& e : exts) {
      EXPECT_EQ(J::IsFileTypeMatching(header, kSector, e.ext, device.reader(), kSector, 1), e.kind == c.kind ? 1 : 0)
          << e.ext;
    }
    EXPECT_EQ(J::IsFileTypeMatching(header, kSector, "fla", device.reader(), kSector, 1), 1);
  }
  // Eight bytes are no "fla" (it needs 16) but still a compound file, whose kind the first data
  // sector gives; the directory's place (offset 48) lies outside such a buffer.
  {
    const std::vector<uint8_t> bytes = CompoundDevice(cases[0]);
    Device device(bytes);
    CarverContext(device.reader(), 1);
    EXPECT_EQ(J::GetDataBufType(&bytes[kSector], 8), kTypeExcel);
    EXPECT_EQ(J::GetDataBufType(&bytes[kSector], 7), kTypeNone);
  }
  // The header as the device's last sector: nothing after it to read.
  std::vector<uint8_t> lonely(2 * kSector, 0);
  const uint8_t magic[] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
  std::memcpy(&lonely[kSector], magic, sizeof magic);
  Device device(lonely);
  CarverContext(device.reader(), 1);
  EXPECT_EQ(J::GetOffice2003Type(&lonely[kSector], kSector), kTypeOle);
  CarverContext(nullptr, 1);
  EXPECT_EQ(J::GetOffice2003Type(&lonely[kSector], kSector), kTypeOle);
}

TEST(Signatures, PackageKindNeedsTheDevice) {
  Corpus& corpus = RealCorpus();
  ASSERT_TRUE(corpus.error.empty()) << corpus.error;
  const std::vector<uint8_t>& docx = corpus.first["letter.docx"];
  CarverContext(nullptr, corpus.start["letter.docx"]);
  EXPECT_EQ(J::IsOffice2007Type(docx.data(), kSector), kTypeNone);
  // Without the device the package falls through to the "zip" row.
  EXPECT_EQ(J::GetDataBufType(docx.data(), kSector), kTypeZip);
  // The kind comes from the device, not from the buffer: at the xlsx's sector it is a workbook.
  CarverContext(corpus.device->reader(), corpus.start["sheet.xlsx"]);
  EXPECT_EQ(J::IsOffice2007Type(docx.data(), kSector), kTypeExcelX);
  // The test needs 50 bytes: the alternative signature ends at byte 49.
  CarverContext(corpus.device->reader(), corpus.start["letter.docx"]);
  EXPECT_EQ(J::IsOffice2007Type(docx.data(), 50), kTypeWordX);
  EXPECT_EQ(J::IsOffice2007Type(docx.data(), 49), kTypeNone);
}

TEST(Signatures, FileSystemSectors) {
  VORLENTA_REQUIRE_TOOL("mkntfs");
  VORLENTA_REQUIRE_TOOL("mkfs.fat");
  ScopedEnv tz("TZ", "UTC0");
  TempDir dir;
  ASSERT_EQ(RunCommand("cd " + ShellQuote(dir.path()) +
                       " && truncate -s 16M ntfs.img && mkntfs -F -f -q ntfs.img >/dev/null 2>&1 && "
                       "MTOOLS_SKIP_CHECK=1 mkfs.fat -C -F 12 -n CARD fat.img 2048 >/dev/null && printf 'x' > a.txt && "
                       "MTOOLS_SKIP_CHECK=1 mcopy -i fat.img a.txt ::A.TXT"),
            0);
  const std::vector<uint8_t> ntfs = ReadFileBytes(dir / "ntfs.img");
  const std::vector<uint8_t> fat = ReadFileBytes(dir / "fat.img");
  ASSERT_GT(ntfs.size(), 1u << 20);
  ASSERT_GT(fat.size(), 1u << 20);

  // Every sector of the NTFS volume that starts with one of its metadata signatures.
  std::map<std::string, int> seen;
  for (size_t off = 0; off + kSector <= ntfs.size(); off += kSector) {
    const uint8_t* s = &ntfs[off];
    std::string kind;
    if (off == 0) kind = "boot";
    if (std::memcmp(s, "FILE", 4) == 0) kind = "FILE";
    if (std::memcmp(s, "INDX", 4) == 0) kind = "INDX";
    if (std::memcmp(s, "$\0S\0T\0A\0", 8) == 0) kind = "$AttrDef";
    if (kind.empty()) continue;
    ++seen[kind];
    EXPECT_TRUE(J::IsFileSystemSector(s, kSector)) << kind << " at " << off;
  }
  EXPECT_EQ(seen["boot"], 1);
  EXPECT_GT(seen["FILE"], 16);
  EXPECT_GE(seen["INDX"], 1);
  EXPECT_EQ(seen["$AttrDef"], 1);

  // A log restart page names its client "NTFS" in UTF-16.
  std::vector<uint8_t> restart(kSector, 0);
  std::memcpy(restart.data(), "RSTR", 4);
  EXPECT_FALSE(J::IsFileSystemSector(restart.data(), kSector));
  const uint8_t wide[] = {'N', 0, 'T', 0, 'F', 0, 'S', 0};
  std::memcpy(&restart[kSector - 8], wide, sizeof wide);
  EXPECT_TRUE(J::IsFileSystemSector(restart.data(), kSector));
  EXPECT_FALSE(J::IsFileSystemSector(restart.data(), kSector - 1));

  // The FAT root directory is a run of entries; the boot sector counts by its OEM name.
  std::vector<size_t> rootEntries;
  for (size_t off = 0; off + 32 <= fat.size(); off += 32) {
    if (std::memcmp(&fat[off], "A       TXT", 11) == 0) rootEntries.push_back(off);
  }
  ASSERT_EQ(rootEntries.size(), 1u);
  const uint8_t* root = &fat[rootEntries[0] / kSector * kSector];
  EXPECT_TRUE(J::IsFileSystemSector(root, kSector));
  EXPECT_EQ(IsFatFDTRecord(root, kSector), 1);
  for (const char* oem : {"MSDOS5.0", "MSWIN4.0", "MSWIN4.1", "EXFAT   ", "NTFS    "}) {
    std::vector<uint8_t> boot(fat.begin(), fat.begin() + kSector);
    std::memcpy(&boot[3], oem, 8);
    EXPECT_TRUE(J::IsFileSystemSector(boot.data(), kSector)) << oem;
  }

  const std::vector<uint8_t> zeros(kSector, 0);
  EXPECT_FALSE(J::IsFileSystemSector(zeros.data(), kSector));
  EXPECT_FALSE(J::IsFileSystemSector(&ntfs[0], 31));
  EXPECT_FALSE(J::IsFileSystemSector(nullptr, kSector));
}

// Counts the buffers on which the first-byte dispatch and the table-order walk disagree.
int CompareWalks(const uint8_t* buf, int len, std::string* first) {
  const EXTEND_NAME_TYPE fast = J::GetDataBufType(buf, len);
  const EXTEND_NAME_TYPE plain = J::GetDataBufTypeInTableOrder(buf, len);
  if (fast == plain) return 0;
  if (first->empty()) {
    *first = "len " + std::to_string(len) + " first byte " + std::to_string(len > 0 ? buf[0] : -1) + ": dispatch " +
             std::to_string(fast) + ", table " + std::to_string(plain);
  }
  return 1;
}

TEST(Signatures, FirstByteDispatchEqualsTableOrderWalk) {
  Corpus& corpus = RealCorpus();
  ASSERT_TRUE(corpus.error.empty()) << corpus.error;
  CDiskReader* reader = corpus.device->reader();
  int mismatches = 0;
  long compared = 0;
  std::string first;

  // Every sector of the real files, under each state of the context the tests read.
  const uint64_t sectors = corpus.image.size() / kSector;
  for (int state = 0; state < 4; ++state) {
    for (uint64_t s = 0; s < sectors; ++s) {
      CarverContext(reader, s);
      J::m_bIsNeedCheckTsFileRange = state & 1;
      J::m_bIsMtsFileHead = (state >> 1) & 1;
      mismatches += CompareWalks(&corpus.image[s * kSector], kSector, &first);
      ++compared;
    }
  }

  // Each recognised first sector, real or byte-exact, with every first byte, with single bytes
  // changed near the start, and cut to every length up to 80 bytes.
  std::vector<std::pair<std::vector<uint8_t>, uint64_t>> matching;
  for (const RealSample& s : kRealSamples) matching.push_back({corpus.first[s.file], corpus.start[s.file]});
  // And the first sectors of the carving samples, the newer formats among them.
  TempDir carveDir;
  std::vector<test::CarveSample> carveSamples;
  const std::string carveError = test::MakeCarveSamples(carveDir.path(), carveSamples);
  ASSERT_TRUE(carveError.empty()) << carveError;
  for (const test::CarveSample& c : carveSamples) matching.push_back({Padded(ReadFileBytes(c.path, kSector)), 1});
  for (const SyntheticSample& s : SyntheticSamples()) {
    std::vector<uint8_t> sector = s.head;
    sector.resize(kSector, 0);
    matching.push_back({sector, 1});
  }
  const std::vector<uint8_t> noise = RandomBytes(64 * 4096, 77);
  size_t n = 0;
  for (const auto& m : matching) {
    CarverContext(reader, m.second);
    for (int b = 0; b < 256; ++b) {
      std::vector<uint8_t> sector = m.first;
      sector[0] = static_cast<uint8_t>(b);
      mismatches += CompareWalks(sector.data(), kSector, &first);
      ++compared;
    }
    for (int k = 0; k < 64; ++k, ++n) {
      std::vector<uint8_t> sector = m.first;
      sector[noise[n % noise.size()] % 64] = noise[(n + 1) % noise.size()];
      mismatches += CompareWalks(sector.data(), kSector, &first);
      ++compared;
    }
    for (int len = 0; len <= 80; ++len) {
      mismatches += CompareWalks(m.first.data(), len, &first);
      ++compared;
    }
  }

  // Random sectors, their first bytes running through every value.
  const std::vector<uint8_t> random = RandomBytes(20000 * static_cast<size_t>(kSector), 2024);
  for (size_t s = 0; s < 20000; ++s) {
    std::vector<uint8_t> sector(random.begin() + static_cast<long>(s * kSector),
                                random.begin() + static_cast<long>((s + 1) * kSector));
    sector[0] = static_cast<uint8_t>(s);
    CarverContext(reader, s % sectors);
    mismatches += CompareWalks(sector.data(), kSector, &first);
    ++compared;
  }
  EXPECT_EQ(mismatches, 0) << "first: " << first;
  EXPECT_GT(compared, 50000);
}

// No test, old or new, takes a random sector for a file's start: 2^21 sectors of a fast
// generator's output, under the carver's context.
TEST(Signatures, NoTestFiresOnAGigabyteOfRandomSectors) {
  constexpr uint64_t kRandomSectors = (uint64_t{1} << 30) / kSector;
  J::SetDetectionContext(nullptr, kSector, 0);
  J::m_bIsNeedCheckTsFileRange = 1;
  J::m_bIsMtsFileHead = 0;
  std::vector<uint8_t> sector(kSector);
  uint64_t state = 0x2545F4914F6CDD1Dull;
  std::map<int, uint64_t> fired;
  for (uint64_t s = 0; s < kRandomSectors; ++s) {
    for (size_t i = 0; i < sector.size(); i += sizeof state) {
      state ^= state << 13;
      state ^= state >> 7;
      state ^= state << 17;
      std::memcpy(&sector[i], &state, sizeof state);
    }
    const EXTEND_NAME_TYPE type = J::GetDataBufType(sector.data(), kSector);
    if (type != kTypeNone) ++fired[type];
  }
  std::string names;
  for (const auto& [type, count] : fired) {
    names += std::to_string(type) + " x" + std::to_string(count) + " ";
  }
  EXPECT_TRUE(fired.empty()) << names;
}

}  // namespace
}  // namespace vorlenta
