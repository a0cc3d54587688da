// File signature detection: the first sectors of the real files of tests/support/carve_samples
// as laid out on their image, byte-exact sectors of formats no tool here writes, the
// file-system sector test, and the first-byte dispatch against the plain table-order walk.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "device/disk_reader.h"
#include "format/file_type_judge.h"
#include "support/carve_samples.h"
#include "util/endian.h"

namespace vorlenta {
namespace {

using test::Join;
using test::LengthRule;
using test::RandomBytes;
using test::ReadFileBytes;
using test::Sector;
using test::RunCommand;
using test::ShellQuote;
using test::TempDir;
using test::Text;
using test::CarverContext;
using J = CFileTypeJudge;

constexpr int kSector = test::kSampleSector;

TEST(Signatures, FirstSectorsOfRealFilesAndExtensionLookUp) {
  test::SampleImage& image = test::CarveSampleImage();
  ASSERT_TRUE(image.error.empty()) << image.error;
  CDiskReader* reader = image.device->reader();
  for (size_t i = 0; i < image.samples.size(); ++i) {
    const test::CarveSample& s = image.samples[i];
    const uint8_t* first = image.device->sector(image.start[i]);
    const bool file = s.rule != LengthRule::kNotAFile;
    CarverContext(reader, image.start[i]);
    EXPECT_EQ(J::IsFileTypeMatching(first, kSector, s.extension.c_str(), reader, kSector, image.start[i]), file ? 1 : 0)
        << s.label;
  }
  const std::tuple<const char*, const char*, int> cases[] = {
      {"phone.jpg", "JpEg", 1},   {"phone.jpg", "jfif", 1},     {"phone.jpg", "png", 0},     {"phone.jpg", "txt", 1},
      {"phone.jpg", nullptr, 1},  {"phone.jpg", "jpgx", 1},     {"letter.docx", "dotx", 1}, {"letter.docx", "xlsx", 0},
      {"letter.docx", "mso07", 0}, {"letter.docx", "zip", 1}, {"letter.docx", "doc", 0},
  };
  for (const auto& [file, ext, expected] : cases) {
    const uint64_t start = image.start[image.Index(file)];
    EXPECT_EQ(J::IsFileTypeMatching(image.device->sector(start), kSector, ext, reader, kSector, start), expected)
        << file << " as " << (ext != nullptr ? ext : "(null)");
  }
}

std::vector<uint8_t> PeSector(uint32_t headerOffset, uint16_t characteristics) {
  std::vector<uint8_t> s = Sector(Text("MZ"));
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
  const uint8_t header[] = {0x47, 0x40, 0x00, 0x10, 0x00, 0x00, 0xB0, 0x11, 0x00, 0x00, 0xC1,
                            0x00, 0x00, 0x00, 0x00, 0xE0, 0x1F, 0x00, 0x01, 0xE1, 0x00};
  std::copy(header, header + sizeof header, p.begin() + 4);
  return p;
}

// One sector, built byte by byte, of a format no tool here writes, or a near miss of one.
struct SyntheticSample {
  const char* label;
  std::vector<uint8_t> head;  // the sector's first bytes; the rest is zero
  EXTEND_NAME_TYPE walk;
};

const SyntheticSample kSynthetic[] = {
    {"JPEG with an APP1 that is not Exif", Join({{0xFF, 0xD8, 0xFF, 0xE1, 0x1F, 0xFE}, Text("http")}), kTypeNone},
    {"MPEG audio layer II frame", {0xFF, 0xFD, 0xE4, 0x00, 0x55, 0x55}, kTypeMp2},
    {"MPEG audio layer II frame, original bit set", {0xFF, 0xFD, 0xE4, 0x04, 0x55, 0x55}, kTypeNone},
    {"MIDI header of another length", Join({Text("MThd"), {0, 0, 0, 8, 0, 1, 0, 2, 0, 96}, Text("MTrk")}), kTypeNone},
    {"SMAF", Join({Text("MMMD"), {0, 0, 0x10, 0}}), kTypeMmf},
    {"ID3 tag with an undefined flag", Join({Text("ID3"), {3, 0, 0x10, 0, 0, 0x23, 0x7F}}), kTypeNone},
    {"ID3 tag with a size byte of 0x80", Join({Text("ID3"), {3, 0, 0, 0, 0x80, 0, 0}}), kTypeNone},
    {"compressed Flash movie", Join({Text("CWS"), {10, 0x20, 0, 0, 0}}), kTypeSwf},
    {"compressed Flash movie of version 5", Join({Text("CWS"), {5, 0x20, 0, 0, 0}}), kTypeNone},
    {"RAR 5", Join({Text("Rar!"), {0x1A, 0x07, 0x01, 0x00}}), kTypeNone},
    {"disk image", {0xFE, 0xEF, 0x00, 0x00, 0x01}, kTypeGho},
    {"DBX mail store", {0xCF, 0xAD, 0x12, 0xFE, 0xC5, 0xFD, 0x74, 0x6F}, kTypeDbx},
    {"PST mail store", Join({Text("!BDN"), {0x12, 0x34, 0x56, 0x78}, Text("SM"), {0x17, 0x00}}), kTypePst},
    {"PE executable", PeSector(0x80, 0x0102), kTypeExe},
    {"PE library", PeSector(0x80, 0x2102), kTypeDll},
    {"PE driver", PeSector(0x80, 0x1102), kTypeSys},
    {"PE without the image bit", PeSector(0x80, 0x2100), kTypeNone},
    {"PE header at 488", PeSector(488, 0x0102), kTypeExe},
    {"PE header at 492", PeSector(492, 0x0102), kTypeNone},
    {"AVCHD packet without time stamp", AvchdPacket(0), kTypeMts},
    {"AVCHD packet with time stamp", AvchdPacket(0x0EBF4622), kTypeMts},
    {"MPEG pack without a system header", {0, 0, 1, 0xBA, 0x44, 0, 4, 0, 4, 1, 1, 0x89, 0xC3, 0xF8}, kTypeNone},
    {"zero sector", {}, kTypeNone},
};

TEST(Signatures, FileSystemSectors) {
  VORLENTA_REQUIRE_TOOL("mkntfs");
  TempDir dir;
  ASSERT_EQ(RunCommand("cd " + ShellQuote(dir.path()) +
                       " && truncate -s 16M ntfs.img && mkntfs -F -f -q ntfs.img >/dev/null 2>&1"),
            0);
  const std::vector<uint8_t> ntfs = ReadFileBytes(dir / "ntfs.img");
  // Every sector of the NTFS volume that starts with one of its metadata signatures.
  std::map<std::string, int> seen;
  for (size_t off = 0; off + kSector <= ntfs.size(); off += kSector) {
    std::string kind = off == 0 ? "boot" : "";
    for (const char* magic : {"FILE", "INDX"}) kind = std::memcmp(&ntfs[off], magic, 4) == 0 ? magic : kind;
    if (std::memcmp(&ntfs[off], "$\0S\0T\0A\0", 8) == 0) kind = "$AttrDef";
    if (kind.empty()) continue;
    ++seen[kind];
    EXPECT_TRUE(J::IsFileSystemSector(&ntfs[off], kSector)) << kind << " at " << off;
  }
  EXPECT_EQ(seen.size(), 4u);
  EXPECT_GT(seen["FILE"], 16);

  // A log restart page names its client "NTFS" in UTF-16.
  std::vector<uint8_t> restart = Sector(Text("RSTR"));
  EXPECT_FALSE(J::IsFileSystemSector(restart.data(), kSector));
  std::memcpy(&restart[kSector - 8], "N\0T\0F\0S\0", 8);
  EXPECT_TRUE(J::IsFileSystemSector(restart.data(), kSector));
  EXPECT_FALSE(J::IsFileSystemSector(restart.data(), kSector - 1));

  // A boot sector counts by its OEM name. (The carving samples' image takes its FAT directory
  // sector from a real volume by this test.)
  std::vector<uint8_t> boot(ntfs.begin(), ntfs.begin() + kSector);
  std::memcpy(&boot[3], "MSWIN4.1", 8);
  EXPECT_TRUE(J::IsFileSystemSector(boot.data(), kSector));
  EXPECT_FALSE(J::IsFileSystemSector(std::vector<uint8_t>(kSector, 0).data(), kSector));
  EXPECT_FALSE(J::IsFileSystemSector(&ntfs[0], 31));
  EXPECT_FALSE(J::IsFileSystemSector(nullptr, kSector));
}

// Counts the buffers on which the first-byte dispatch and the table-order walk disagree.
int CompareWalks(const uint8_t* buf, int len, std::string* first) {
  const EXTEND_NAME_TYPE fast = J::GetDataBufType(buf, len);
  const EXTEND_NAME_TYPE plain = J::GetDataBufTypeInTableOrder(buf, len);
  if (fast == plain) return 0;
  if (first->empty()) {
    const int firstByte = buf != nullptr && len > 0 ? buf[0] : -1;
    *first = "len " + std::to_string(len) + " first byte " + std::to_string(firstByte) + ": dispatch " +
             std::to_string(fast) + ", table " + std::to_string(plain);
  }
  return 1;
}

TEST(Signatures, FirstByteDispatchEqualsTableOrderWalk) {
  test::SampleImage& image = test::CarveSampleImage();
  ASSERT_TRUE(image.error.empty()) << image.error;
  CDiskReader* reader = image.device->reader();
  int mismatches = 0;
  long compared = 0;
  std::string first;

  // Every sector of the real files, under each state of the context the tests read.
  const uint64_t sectors = image.device->sectors();
  for (int state = 0; state < 4; ++state) {
    for (uint64_t s = 0; s < sectors; ++s) {
      CarverContext(reader, s);
      J::m_bIsNeedCheckTsFileRange = state & 1;
      J::m_bIsMtsFileHead = (state >> 1) & 1;
      mismatches += CompareWalks(image.device->sector(s), kSector, &first);
      ++compared;
    }
  }

  // Each first sector, real or byte-exact, with every first byte, with single bytes changed
  // near the start, and cut to every length up to a sector: a copy of just that length, so a
  // test that reads past the length it is given reads outside its buffer (the sanitizers stop
  // there).
  std::vector<std::pair<std::vector<uint8_t>, uint64_t>> matching;
  for (size_t i = 0; i < image.samples.size(); ++i) {
    const uint8_t* head = image.device->sector(image.start[i]);
    matching.push_back({std::vector<uint8_t>(head, head + kSector), image.start[i]});
  }
  for (const SyntheticSample& s : kSynthetic) {
    matching.push_back({Sector(s.head), 1});
    CarverContext(nullptr, 1);
    EXPECT_EQ(J::GetDataBufType(matching.back().first.data(), kSector), s.walk) << s.label;
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
    for (int len = 0; len <= kSector; ++len) {
      const std::vector<uint8_t> cut(m.first.begin(), m.first.begin() + len);
      mismatches += CompareWalks(cut.data(), len, &first);
      ++compared;
    }
  }
  // No buffer, or a negative length: every row of the plain walk turns it down.
  mismatches += CompareWalks(nullptr, kSector, &first) + CompareWalks(noise.data(), -1, &first);
  EXPECT_EQ(mismatches, 0) << "first: " << first;
  EXPECT_GT(compared, 50000);
}

// No test, old or new, takes a random sector for a file's start: 2^21 sectors of a fast
// generator's output, under the carver's context.
TEST(Signatures, NoTestFiresOnAGigabyteOfRandomSectors) {
  constexpr uint64_t kRandomSectors = (uint64_t{1} << 30) / kSector;
  CarverContext(nullptr, 0);
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
  for (const auto& [type, count] : fired) names += std::to_string(type) + " x" + std::to_string(count) + " ";
  EXPECT_TRUE(fired.empty()) << names;
}

}  // namespace
}  // namespace vorlenta
