// Real NTFS volumes for the tests: made by mkntfs, filled by ntfscp, and changed in place
// where no tool can (deleting a file without mounting, directories, hand-built records).
// The record and run-list code here is written for the tests on its own, so the engine's
// parser is checked against an independent reading of the same bytes.
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

// Makes the directory `path` ("Docs/Year 2024"): an empty file turned into an empty index,
// which ntfscp can then fill. Returns its record number, 0 on failure.
uint32_t NtfsMakeDirectory(const std::string& image, const std::string& path);

// One attribute of a record, as its raw bytes.
struct RawAttribute {
  uint32_t type = 0;
  std::vector<uint8_t> bytes;
};

// One run of a hand-built run list: `clusters` at absolute `lcn`, or a sparse run.
struct TestRun {
  uint64_t lcn;
  uint64_t clusters;
  bool sparse = false;
};

// Run-list bytes for `runs` (each offset relative to the previous non-sparse run), with the
// terminating zero.
std::vector<uint8_t> EncodeRuns(const std::vector<TestRun>& runs);
// A resident attribute of `type` holding `value`, named `name` (UTF-16) when not empty.
RawAttribute ResidentAttribute(uint32_t type, const std::vector<uint8_t>& value, const std::u16string& name = u"");
// A non-resident unnamed data attribute with `runs` and the given sizes.
RawAttribute NonResidentData(const std::vector<uint8_t>& runs, uint64_t realSize, uint64_t allocatedSize,
                             uint64_t lowestVcn = 0, uint64_t highestVcn = 0);
// The value of a file name attribute.
std::vector<uint8_t> FileNameValue(uint32_t parent, const std::u16string& name, uint8_t nameSpace, uint64_t realSize);

class NtfsImage {
 public:
  // Opens the NTFS volume that starts `offsetBytes` into `path` for reading and writing.
  explicit NtfsImage(const std::string& path, uint64_t offsetBytes = 0);
  ~NtfsImage();
  NtfsImage(const NtfsImage&) = delete;
  NtfsImage& operator=(const NtfsImage&) = delete;

  bool ok() const { return fd_ >= 0 && clusterBytes_ != 0; }
  uint32_t clusterBytes() const { return clusterBytes_; }
  uint64_t clusters() const { return clusters_; }
  uint32_t recordCount() const;

  // Record `n` with its update sequence undone (as the driver sees it).
  std::vector<uint8_t> ReadRecord(uint32_t n) const;
  // Stores record `n`, protecting its sector ends with a new update sequence number.
  void WriteRecord(uint32_t n, std::vector<uint8_t> record);
  // Stores record `n` exactly as given, sector ends included.
  void WriteRawRecord(uint32_t n, const std::vector<uint8_t>& raw);
  std::vector<uint8_t> ReadRawRecord(uint32_t n) const;

  // The record whose (first) file name is `name`; 0 when none.
  uint32_t FindRecord(const std::u16string& name) const;
  // The absolute runs of record n's unnamed data; empty when resident.
  std::vector<TestRun> DataRuns(uint32_t n) const;

  // What ntfs-3g's delete leaves in the table: the record no longer in use, its clusters free.
  void DeleteFile(uint32_t n);
  // Turns the (empty) file record `n` into an empty directory that ntfscp can fill.
  void MakeDirectoryRecord(uint32_t n);

  bool ClusterUsed(uint64_t lcn) const;
  void SetClusters(uint64_t lcn, uint64_t count, bool used);
  // The first run of `count` free clusters at or after `from`, or 0 when none.
  uint64_t FindFreeClusters(uint64_t count, uint64_t from) const;
  void WriteClusters(uint64_t lcn, const std::vector<uint8_t>& bytes);
  std::vector<uint8_t> ReadClusters(uint64_t lcn, uint64_t count) const;

  // The attributes of a fixed-up record, and the record rebuilt from attributes.
  static std::vector<RawAttribute> Attributes(const std::vector<uint8_t>& record);
  static void SetAttributes(std::vector<uint8_t>& record, const std::vector<RawAttribute>& attributes);

 private:
  uint64_t RecordOffset(uint32_t n) const;
  // Where the bitmap byte of cluster `lcn` lies in the volume; UINT64_MAX past the bitmap.
  uint64_t BitmapByteOffset(uint64_t lcn) const;
  void ReadAt(uint64_t offset, void* data, size_t length) const;
  void WriteAt(uint64_t offset, const void* data, size_t length);

  int fd_ = -1;
  uint64_t base_ = 0;
  uint32_t clusterBytes_ = 0;
  uint64_t clusters_ = 0;
  std::vector<TestRun> mftRuns_;
  std::vector<TestRun> bitmapRuns_;
};

}  // namespace vorlenta::test
