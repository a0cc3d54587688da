// Feeds the deep NTFS engine as the deep pass does: every sector of an image, in ascending
// order, that starts a FILE record goes to ParseNtfsFileRecord, then the directories are
// built. Header-only and on the core alone, so the benches use it too.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "format/ntfs_record.h"
#include "ntfs/professional_ntfs_recovery.h"

namespace vorlenta::test {

struct DeepNtfsPass {
  int status = 0;
  uint64_t records = 0;  // sectors handed to the engine
};

// Runs the pass over `image` into a new result of `engine`.
inline DeepNtfsPass DriveDeepNtfs(CProfessionalNtfsRecovery& engine, const std::string& image) {
  constexpr size_t kChunk = 1 << 20;
  constexpr size_t kRecord = kNtfsFileRecordSize;
  DeepNtfsPass pass;
  pass.status = engine.InitProfessionalScan(nullptr);
  if (pass.status != 0) return pass;
  const int fd = ::open(image.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    pass.status = errno;
    return pass;
  }
  // Each chunk reads one record further, so a record that starts near its end is whole.
  std::vector<uint8_t> buffer(kChunk + kRecord);
  for (uint64_t offset = 0;; offset += kChunk) {
    const ssize_t got = ::pread(fd, buffer.data(), buffer.size(), static_cast<off_t>(offset));
    if (got <= 0) break;
    const size_t available = static_cast<size_t>(got);
    for (size_t at = 0; at < kChunk && at + kRecord <= available; at += kNtfsSectorSize) {
      if (!IsNtfsFileRecord(buffer.data() + at, available - at, static_cast<int>(kRecord))) continue;
      ++pass.records;
      engine.ParseNtfsFileRecord(buffer.data() + at, kRecord, (offset + at) / kNtfsSectorSize);
    }
    if (available < buffer.size()) break;
  }
  ::close(fd);
  pass.status = engine.ParseProfessionalRecordVec();
  return pass;
}

}  // namespace vorlenta::test
