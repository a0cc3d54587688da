// The FILE record primitives on records built byte by byte: the update-sequence fix-up, the
// run-list decoder, the bounded attribute walk and the record parser. Records made by the real
// tools are read end to end by the engine tests.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "ntfs/ntfs_parse.h"
#include "support/ntfs_image.h"

namespace vorlenta {
namespace {

using test::NtfsImage;
using test::RawAttribute;

constexpr size_t kRecord = 1024;

// A bare record: magic, first attribute at 56, sequence 0x1234 at both sector ends with the
// saved bytes 0xAABB and 0xCCDD in the array.
std::vector<uint8_t> BareRecord() {
  std::vector<uint8_t> r(kRecord, 0);
  std::memcpy(r.data(), "FILE", 4);
  WriteU16LE(r.data(), 20, 56);
  WriteU16LE(r.data(), 48, 0x1234);
  WriteU16LE(r.data(), 50, 0xAABB);
  WriteU16LE(r.data(), 52, 0xCCDD);
  WriteU16LE(r.data(), 510, 0x1234);
  WriteU16LE(r.data(), 1022, 0x1234);
  WriteU32LE(r.data(), 28, kRecord);
  return r;
}

// A non-resident attribute whose length field says `length` and whose run list is `runs`.
std::vector<uint8_t> NonResident(const std::vector<uint8_t>& runs, uint32_t length) {
  std::vector<uint8_t> a = test::NonResidentData(runs, 0, 0).bytes;
  WriteU32LE(a.data(), 4, length);
  a.resize(std::max<size_t>(length, a.size()));
  return a;
}

TEST(NtfsFixUp, RestoresSectorEndsAndFindsTornWrites) {
  CNtfsParse parser;
  parser.Init(512);
  // The sector end that no longer carries the sequence number (0: none), and the intact bytes.
  for (const auto& [changedEnd, intact] : {std::pair<size_t, size_t>{0, 1024}, {1022, 512}, {510, 0}}) {
    std::vector<uint8_t> r = BareRecord();
    if (changedEnd != 0) WriteU16LE(r.data(), changedEnd, 0x4321);
    size_t reported = 99;
    ASSERT_EQ(parser.FileRecordFixUp(r.data(), r.size(), &reported), 0);
    EXPECT_EQ(reported, intact) << changedEnd;
    EXPECT_EQ(ReadU16LE(r.data(), r.size(), 510), 0xAABB);
    EXPECT_EQ(ReadU16LE(r.data(), r.size(), 1022), 0xCCDD);
  }
  std::vector<uint8_t> empty = BareRecord();
  empty[0] = 0;
  const std::vector<uint8_t> before = empty;
  EXPECT_EQ(parser.FileRecordFixUp(empty.data(), empty.size()), -1);
  EXPECT_EQ(empty, before) << "a rejected record is left as it was";
  EXPECT_EQ(parser.FileRecordFixUp(nullptr, kRecord), -1);
  std::vector<uint8_t> tiny(40, 'F');
  EXPECT_EQ(parser.FileRecordFixUp(tiny.data(), tiny.size()), -1);
}

// Plain, sparse and backward runs are decoded end to end on lists the driver wrote.
TEST(NtfsRunList, DecodesHeadersAndStaysInsideTheAttribute) {
  struct Case {
    const char* what;
    std::vector<uint8_t> runs;
    uint32_t length;  // the attribute's length field
    size_t available;  // readable bytes from the attribute's start; 0 = the whole buffer
    std::vector<std::pair<uint64_t, int64_t>> expected;  // length, offset
  };
  const std::vector<Case> cases = {
      {"two-byte negative offset", {0x11, 0x30, 0x20, 0x21, 0x04, 0xFF, 0xFF, 0}, 72, 0, {{48, 32}, {4, -1}}},
      {"five-byte offset", {0x51, 0x02, 0x00, 0x00, 0x00, 0x80, 0xFF, 0}, 72, 0, {{2, -2147483648LL}}},
      {"length field of eight bytes", {0x08, 1, 2, 3, 4, 5, 6, 7, 8, 0}, 80, 0, {}},
      {"offset field of eight bytes", {0x80, 0}, 72, 0, {}},
      {"run cut by the attribute's end", {0x11, 0x30, 0x20, 0x31, 0x01, 0x02, 0x03, 0x04}, 68, 0, {{48, 32}}},
      {"attribute longer than the buffer", {0x11, 0x30, 0x20, 0x11, 0x01, 0x02, 0}, 4000, 67, {{48, 32}}},
  };
  CNtfsParse parser;
  parser.Init(512);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::vector<uint8_t> attribute = NonResident(c.runs, c.length);
    std::vector<__RUNLIST__> runs;
    parser.GetRunList(attribute.data(), c.available != 0 ? c.available : attribute.size(), runs);
    std::vector<std::pair<uint64_t, int64_t>> decoded;
    for (const __RUNLIST__& run : runs) decoded.emplace_back(run.u64RunLength, run.i64RunOffset);
    EXPECT_EQ(decoded, c.expected);
  }
  std::vector<__RUNLIST__> none;
  std::vector<uint8_t> pastEnd = NonResident({0x11, 0x30, 0x20, 0}, 72);
  WriteU16LE(pastEnd.data(), 32, 200);
  parser.GetRunList(pastEnd.data(), pastEnd.size(), none);
  EXPECT_TRUE(none.empty()) << "a run-list offset past the attribute yields nothing";
}

// A run after a sparse one counts from the run before it: the sparse file of the fast test.
TEST(NtfsRunList, ResolvingCutsRunsOutsideTheVolume) {
  struct Case {
    const char* what;
    std::vector<__RUNLIST__> runs;
    bool complete;
    size_t kept;
  };
  const std::vector<Case> cases = {
      {"inside", {{4, 10}, {2, 0}, {3, 20}}, true, 3},
      {"start before cluster 0", {{4, 10}, {3, -11}, {3, 1}}, false, 1},
      {"run reaching past the end", {{4, 10}, {95, 50}}, false, 1},
      {"absurd length", {{0xFFFFFFFFFFFFull, 10}}, false, 0},
      {"running sum overflows", {{1, INT64_MAX}, {1, INT64_MAX}}, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<NtfsExtent> extents;
    EXPECT_EQ(ResolveRunList(c.runs, 100, extents), c.complete);
    EXPECT_EQ(extents.size(), c.kept);
  }
}

TEST(NtfsAttributeWalk, StopsAtEveryBound) {
  std::vector<uint8_t> base = BareRecord();
  NtfsImage::SetAttributes(base, {test::ResidentAttribute(0x10, std::vector<uint8_t>(48, 1)),
                                  test::ResidentAttribute(0x30, std::vector<uint8_t>(76, 2)),
                                  test::ResidentAttribute(0x80, {'a', 'b', 'c'})});
  const std::vector<RawAttribute> attributes = NtfsImage::Attributes(base);
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
      {"type 0 does not end a lookup", at(1), 0, NtfsWalk::kLookup, {0x10, 0, 0x80}},
      {"filler type ends a name walk", at(2), 0xFDFDFDFD, NtfsWalk::kNames, {0x10, 0x30}},
      {"first attribute past the record", 20, 1020, NtfsWalk::kLookup, {}},
      {"length too short for a header", at(0) + 4, 8, NtfsWalk::kLookup, {}},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> record = base;
    WriteU32LE(record.data(), c.offset, c.value);
    std::vector<uint32_t> seen;
    WalkAttributes(record.data(), record.size(), c.kind, [&](const NtfsAttribute& a) {
      EXPECT_LE(a.offset + a.length, record.size());
      seen.push_back(a.type);
      return true;
    });
    EXPECT_EQ(seen, c.types) << c.what;
  }
}

// Name ranking is pinned by the deep test on names the driver wrote, and resident sizes by the
// engines' resident files. The content is the unnamed stream, though a named one comes first.
TEST(NtfsRecordParse, DataSizeComesFromTheUnnamedStream) {
  std::vector<uint8_t> record = BareRecord();
  NtfsImage::SetAttributes(record, {test::ResidentAttribute(0x10, std::vector<uint8_t>(48, 0)),
                                    test::ResidentAttribute(0x80, {1, 2}, u"Zone"),
                                    test::NonResidentData(test::EncodeRuns({{100, 3}}), 9999, 12288)});
  NtfsRecordInfo parsed;
  ParseFileRecord(record.data(), record.size(), parsed);
  EXPECT_TRUE(parsed.haveData);
  EXPECT_FALSE(parsed.dataResident);
  EXPECT_EQ(parsed.dataSize, 9999u);
}

}  // namespace
}  // namespace vorlenta
