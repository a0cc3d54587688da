// Runs the FILE record primitives over a fuzzed record: fix-up, the name and parent parse,
// both attribute walks, and the run-list decoder on every non-resident attribute. The record
// lives in a buffer of exactly its size, so any read past it is caught.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "ntfs/ntfs_parse.h"
#include "format/ntfs_record.h"

namespace {

constexpr size_t kSmallRecord = 1024;
constexpr size_t kLargeRecord = 4096;
constexpr uint64_t kVolumeClusters = 1ull << 32;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vorlenta;
  const size_t recordSize = size > kSmallRecord ? kLargeRecord : kSmallRecord;
  std::vector<uint8_t> record(data, data + std::min(size, recordSize));
  record.resize(recordSize, 0);
  (void)IsNtfsFileRecord(record.data(), record.size(), static_cast<int>(recordSize));

  CNtfsParse parser;
  parser.Init(recordSize == kSmallRecord ? 512 : 4096);
  size_t intact = 0;
  if (parser.FileRecordFixUp(record.data(), record.size(), &intact) != 0) return 0;
  if (intact > record.size()) __builtin_trap();
  const size_t inUse = ReadU32LE(record.data(), record.size(), ntfs::kRecordBytesInUse);
  NtfsRecordInfo info;
  ParseFileRecord(record.data(), std::min(intact, inUse), info);
  if (info.haveName && info.name.name.size() > 255) __builtin_trap();

  for (const NtfsWalk kind : {NtfsWalk::kNames, NtfsWalk::kLookup}) {
    size_t visited = 0;
    WalkAttributes(record.data(), intact, kind, [&](const NtfsAttribute& a) {
      if (a.offset + a.length > intact) __builtin_trap();
      ++visited;
      if (a.nonResident) {
        std::vector<__RUNLIST__> runs;
        parser.GetRunList(a.data, intact - a.offset, runs);
        std::vector<NtfsExtent> extents;
        ResolveRunList(runs, kVolumeClusters, extents);
        for (const NtfsExtent& e : extents) {
          if (!e.sparse && (e.lcn >= kVolumeClusters || e.clusters > kVolumeClusters - e.lcn)) __builtin_trap();
        }
      } else {
        const uint8_t* value = nullptr;
        uint32_t length = 0;
        if (ResidentValue(a, value, length) && value + length > a.data + a.length) __builtin_trap();
        NtfsFileName name;
        (void)DecodeFileName(a, name);
      }
      return true;
    });
    // Every attribute is at least a header long, so a walk ends within the record.
    if (visited > intact / ntfs::kAttrMinLength + 1) __builtin_trap();
  }
  return 0;
}
