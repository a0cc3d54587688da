// Real NTFS volumes for the tests: made by mkntfs, filled by ntfscp or through an ntfs-3g mount
// (folders, deletions, sparse and fragmented files), and changed in place only where no tool
// can (hand-built run lists, attribute lists, damaged records). The record code here is written
// for the tests on its own, so the engine's parser is checked against an independent reading.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vorlenta::test {

// Formats `image` (created at `megabytes` MiB) with mkntfs: 512-byte sectors, 4 KiB clusters
// unless told otherwise.
bool MakeNtfsVolume(const std::string& image, unsigned megabytes, unsigned clusterBytes = 4096);
// Copies the host file `source` into the volume as `target` ("Docs/name.txt"), names in UTF-8.
bool NtfsCopy(const std::string& image, const std::string& source, const std::string& target);

// The volume of `image` mounted by ntfs-3g through a loop device while this lives. Unmounting
// waits for the driver, so the image holds everything once this is gone.
class NtfsMount {
 public:
  explicit NtfsMount(const std::string& image);
  ~NtfsMount();
  NtfsMount(const NtfsMount&) = delete;
  NtfsMount& operator=(const NtfsMount&) = delete;

  bool ok() const { return mounted_; }
  std::string operator/(const std::string& path) const { return point_ + "/" + path; }
  // The record number of `path` (the driver's inode number); 0 when missing.
  uint32_t Record(const std::string& path) const;

 private:
  std::string point_;
  std::string loop_;
  bool mounted_ = false;
};

// One attribute of a record, as its raw bytes, and where it starts in its record.
struct RawAttribute {
  uint32_t type = 0;
  std::vector<uint8_t> bytes;
  size_t offset = 0;
};

// One run of a hand-built run list: `clusters` at absolute `lcn`. The driver writes sparse runs.
struct TestRun {
  uint64_t lcn;
  uint64_t clusters;
};

// Run-list bytes for `runs` (each offset relative to the previous run), with the terminating
// zero.
std::vector<uint8_t> EncodeRuns(const std::vector<TestRun>& runs);
// A non-resident unnamed data attribute with `runs` and the given sizes.
RawAttribute NonResidentData(const std::vector<uint8_t>& runs, uint64_t realSize, uint64_t allocatedSize,
                             uint64_t lowestVcn = 0, uint64_t highestVcn = 0);

// The volume in `path`, opened for reading and writing. Its table of records must be in one
// piece, as it is on the small volumes of the tests; a record read elsewhere throws.
class NtfsImage {
 public:
  explicit NtfsImage(const std::string& path);
  ~NtfsImage();
  NtfsImage(const NtfsImage&) = delete;
  NtfsImage& operator=(const NtfsImage&) = delete;

  uint64_t clusters() const { return clusters_; }

  // Record `n` with its update sequence undone (as the driver sees it).
  std::vector<uint8_t> ReadRecord(uint32_t n) const;
  // Stores record `n`, protecting its sector ends with its update sequence number.
  void WriteRecord(uint32_t n, std::vector<uint8_t> record);
  // Record `n` exactly as stored, sector ends included.
  void WriteRawRecord(uint32_t n, const std::vector<uint8_t>& raw);
  std::vector<uint8_t> ReadRawRecord(uint32_t n) const;

  // Makes directory `n` name `parent` as its parent.
  void SetParent(uint32_t n, uint32_t parent);
  // Rebuilds record `base` (keeping its standard information and name) as a file of `bytes`
  // spread over six clusters from `at`: clusters 0-2 in scattered runs that jump backwards, in
  // record `pieces[0]`, 3-5 in `pieces[1]`, both named by an attribute list. The records keep
  // their in-use flags.
  void BuildListedFile(uint32_t base, const uint32_t (&pieces)[2], uint64_t at, const std::vector<uint8_t>& bytes);

  // As the volume's bitmap said when this was opened.
  bool ClusterUsed(uint64_t lcn) const;
  // The first run of `count` free clusters at or after `from`, or 0 when none.
  uint64_t FindFreeClusters(uint64_t count, uint64_t from) const;
  void WriteClusters(uint64_t lcn, const std::vector<uint8_t>& bytes);

  // The attributes of a fixed-up record, and the record rebuilt from attributes.
  static std::vector<RawAttribute> Attributes(const std::vector<uint8_t>& record);
  static void SetAttributes(std::vector<uint8_t>& record, const std::vector<RawAttribute>& attributes);

 private:
  void ReadAt(uint64_t offset, void* data, size_t length) const;
  void WriteAt(uint64_t offset, const void* data, size_t length);

  int fd_ = -1;
  uint32_t clusterBytes_ = 0;
  uint64_t clusters_ = 0;
  uint64_t mftOffset_ = 0;
  std::vector<uint8_t> bitmap_;
};

}  // namespace vorlenta::test
