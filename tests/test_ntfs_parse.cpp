// The FILE record primitives on the records of a volume made by mkntfs and ntfscp: the record
// test, the update-sequence fix-up, the bounded attribute walk, the record parser and the
// run-list decoder, on whole records, on records cut at every length and on damaged ones.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "format/ntfs_record.h"
#include "ntfs/ntfs_parse.h"
#include "support/ntfs_image.h"
#include "support/test_support.h"

namespace vorlenta {
namespace {

using Runs = std::vector<std::pair<uint64_t, int64_t>>;  // length, offset

// A non-resident attribute's header up to its run-list offset field.
constexpr size_t kRunListHeader = ntfs::kAttrRunListOffset + 2;

Runs DecodeRuns(const uint8_t* attribute, size_t available) {
  CNtfsParse parser;
  parser.Init(512);
  std::vector<__RUNLIST__> runs;
  parser.GetRunList(attribute, available, runs);
  Runs out;
  for (const __RUNLIST__& run : runs) out.emplace_back(run.u64RunLength, run.i64RunOffset);
  return out;
}

std::vector<uint32_t> WalkTypes(const std::vector<uint8_t>& record, NtfsWalk kind) {
  std::vector<uint32_t> types;
  WalkAttributes(record.data(), record.size(), kind, [&](const NtfsAttribute& a) {
    types.push_back(a.type);
    return true;
  });
  return types;
}

template <class T>
bool IsPrefix(const std::vector<T>& part, const std::vector<T>& whole) {
  return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

// Every record of a fresh volume holding a resident and a non-resident file, the last two.
class NtfsRecordTest : public ::testing::Test {
 protected:
  void SetUp() override {
    VORLENTA_REQUIRE_TOOL("mkntfs");
    VORLENTA_REQUIRE_TOOL("ntfscp");
    ASSERT_TRUE(test::MakeNtfsVolume(img_, 16));
    ASSERT_TRUE(test::NtfsCopy(img_, test::TextFile(dir_ / "small.txt", 300), "small.txt"));
    ASSERT_TRUE(test::NtfsCopy(img_, test::RandomFile(dir_ / "big.bin", 20000, 1), "big.bin"));
    test::NtfsImage volume(img_);
    for (uint32_t n = 0; std::memcmp(volume.ReadRawRecord(n).data(), "FILE", 4) == 0; ++n) {
      raw_.push_back(volume.ReadRawRecord(n));
      fixed_.push_back(volume.ReadRecord(n));
    }
    // The system files take records 0-15; the copied files come after them.
    ASSERT_GT(raw_.size(), 17u);
    small_ = raw_.size() - 2;
  }

  test::TempDir dir_;
  const std::string img_ = dir_ / "ntfs.img";
  std::vector<std::vector<uint8_t>> raw_;
  std::vector<std::vector<uint8_t>> fixed_;
  size_t small_ = 0;
};

// Each record cut at every length, in a buffer of just that length: what a parser finds in the
// cut record is the start of what it finds in the whole one.
TEST_F(NtfsRecordTest, EveryParserStaysInsideRecordsCutAtEveryLength) {
  CNtfsParse parser;
  parser.Init(512);
  for (size_t n = 0; n < raw_.size(); ++n) {
    SCOPED_TRACE("record " + std::to_string(n));
    const std::vector<uint8_t>& fixed = fixed_[n];
    const std::vector<uint32_t> names = WalkTypes(fixed, NtfsWalk::kNames);
    const std::vector<uint32_t> lookups = WalkTypes(fixed, NtfsWalk::kLookup);
    NtfsRecordInfo whole;
    ParseFileRecord(fixed.data(), fixed.size(), whole);
    std::vector<std::pair<size_t, Runs>> runLists;  // attribute offset, runs
    for (const test::RawAttribute& a : test::NtfsImage::Attributes(fixed)) {
      if (a.bytes[8] != 0) runLists.emplace_back(a.offset, DecodeRuns(a.bytes.data(), a.bytes.size()));
    }
    for (size_t length = 0; length <= fixed.size(); ++length) {
      const std::vector<uint8_t> raw(raw_[n].begin(), raw_[n].begin() + static_cast<long>(length));
      EXPECT_EQ(IsNtfsFileRecord(raw.data(), length, kNtfsFileRecordSize), length >= 512) << length;
      std::vector<uint8_t> copy = raw;
      size_t intact = 99;
      ASSERT_EQ(parser.FileRecordFixUp(copy.data(), length, &intact), length >= 512 ? 0 : -1) << length;
      EXPECT_EQ(intact, length / 512 * 512);
      // Only whole sectors are fixed up; a rejected record is left as it was.
      std::vector<uint8_t> expected = raw;
      std::copy_n(fixed.begin(), intact, expected.begin());
      EXPECT_EQ(copy, expected) << length;

      const std::vector<uint8_t> cut(fixed.begin(), fixed.begin() + static_cast<long>(length));
      EXPECT_TRUE(IsPrefix(WalkTypes(cut, NtfsWalk::kNames), names)) << length;
      EXPECT_TRUE(IsPrefix(WalkTypes(cut, NtfsWalk::kLookup), lookups)) << length;
      NtfsRecordInfo part;
      ParseFileRecord(cut.data(), cut.size(), part);
      EXPECT_TRUE(!part.haveName || part.name.name == whole.name.name) << length;
      EXPECT_TRUE(!part.haveData || part.dataSize == whole.dataSize) << length;
      // The engines hand over attributes whose header is whole; their run lists may be cut.
      for (const auto& [offset, runs] : runLists) {
        if (offset + kRunListHeader > length) continue;
        EXPECT_TRUE(IsPrefix(DecodeRuns(cut.data() + offset, length - offset), runs)) << length;
      }
    }
  }
}

TEST_F(NtfsRecordTest, DamageIsFoundAndWalksStopAtIt) {
  // The record test on records edited one field at a time.
  const struct {
    const char* what;
    size_t offset;  // of the four bytes changed
    uint32_t value;
    bool expected;
  } edits[] = {
      {"magic BAAD", kNtfsMagicOffset, 0x44414142, false},
      {"bytes in use equal to the record size", kNtfsBytesInUseOffset, 1024, true},
      {"bytes in use above the record size", kNtfsBytesInUseOffset, 1025, false},
      {"bytes allocated 4096", kNtfsBytesAllocatedOffset, 4096, false},
      {"update sequence number changed", kNtfsUpdateSequenceOffset, 0xBEEFBEEF, false},
      {"second sector's end is not looked at", 1020, 0xFFFFFFFF, true},
  };
  for (const auto& edit : edits) {
    std::vector<uint8_t> record = raw_[5];  // the root directory
    WriteU32LE(record.data(), edit.offset, edit.value);
    EXPECT_EQ(IsNtfsFileRecord(record.data(), record.size(), kNtfsFileRecordSize), edit.expected) << edit.what;
  }

  const std::vector<uint8_t>& base = fixed_[small_];
  const std::vector<test::RawAttribute> attributes = test::NtfsImage::Attributes(base);
  auto at = [&](size_t index) { return attributes.at(index).offset; };
  const struct {
    const char* what;
    size_t offset;  // of the four bytes changed
    uint32_t value;
    NtfsWalk kind;
    std::vector<uint32_t> types;
  } cases[] = {
      {"zero length", at(1) + 4, 0, NtfsWalk::kLookup, {0x10}},
      {"length past the bound", at(1) + 4, 5000, NtfsWalk::kLookup, {0x10}},
      {"type 0 ends a name walk", at(1), 0, NtfsWalk::kNames, {0x10}},
      {"type 0 does not end a lookup", at(1), 0, NtfsWalk::kLookup, {0x10, 0, 0x50, 0x80}},
      {"filler type ends a name walk", at(3), 0xFDFDFDFD, NtfsWalk::kNames, {0x10, 0x30, 0x50}},
      {"first attribute past the record", 20, 1020, NtfsWalk::kLookup, {}},
      {"length too short for a header", at(0) + 4, 8, NtfsWalk::kLookup, {}},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> record = base;
    WriteU32LE(record.data(), c.offset, c.value);
    EXPECT_EQ(WalkTypes(record, c.kind), c.types) << c.what;
  }
}

// Run headers no tool writes: wide offsets keep their sign, wider fields end the list.
TEST(NtfsRunList, DecodesHeadersAndStaysInsideTheAttribute) {
  const struct {
    const char* what;
    std::vector<uint8_t> runs;
    uint32_t length;  // the attribute's length field
    Runs expected;
  } cases[] = {
      {"two-byte negative offset", {0x11, 0x30, 0x20, 0x21, 0x04, 0xFF, 0xFF, 0}, 72, {{48, 32}, {4, -1}}},
      {"five-byte offset", {0x51, 0x02, 0x00, 0x00, 0x00, 0x80, 0xFF, 0}, 72, {{2, -2147483648LL}}},
      {"length field of eight bytes", {0x08, 1, 2, 3, 4, 5, 6, 7, 8, 0}, 80, {}},
      {"offset field of eight bytes", {0x80, 0}, 72, {}},
      {"run cut by the attribute's end", {0x11, 0x30, 0x20, 0x31, 0x01, 0x02, 0x03, 0x04}, 68, {{48, 32}}},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> attribute = test::NonResidentData(c.runs, 0, 0).bytes;
    WriteU32LE(attribute.data(), 4, c.length);
    EXPECT_EQ(DecodeRuns(attribute.data(), attribute.size()), c.expected) << c.what;
  }
}

// A run after a sparse one counts from the run before it: the sparse file of the fast test.
TEST(NtfsRunList, ResolvingCutsRunsOutsideTheVolume) {
  const struct {
    const char* what;
    std::vector<__RUNLIST__> runs;
    bool complete;
    size_t kept;
  } cases[] = {
      {"inside", {{4, 10}, {2, 0}, {3, 20}}, true, 3},
      {"start before cluster 0", {{4, 10}, {3, -11}, {3, 1}}, false, 1},
      {"run reaching past the end", {{4, 10}, {95, 50}}, false, 1},
      {"absurd length", {{0xFFFFFFFFFFFFull, 10}}, false, 0},
      {"running sum overflows", {{1, INT64_MAX}, {1, INT64_MAX}}, false, 0},
  };
  for (const auto& c : cases) {
    std::vector<NtfsExtent> extents;
    EXPECT_EQ(ResolveRunList(c.runs, 100, extents), c.complete) << c.what;
    EXPECT_EQ(extents.size(), c.kept) << c.what;
  }
}

}  // namespace
}  // namespace vorlenta
