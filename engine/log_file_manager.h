// The scan-log folder: one numbered folder per deep scan holding its result files, and the
// index "config" of finished scans, so that a later scan of the same range can reopen one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vorlenta {

constexpr size_t kLogFileInfoSize = 592;
constexpr size_t kLogPathBytes = 256;
constexpr size_t kLogScanStateCount = 5;
// "config" starts with the folder number, then the records back to back.
constexpr size_t kLogConfigHeaderSize = 8;
constexpr const char* kLogConfigName = "config";
constexpr const char* kLogConfigTmpName = "config.tmp";

// One finished scan. Stored byte for byte in "config": encode and decode it only here.
struct _LOG_FILE_INFO_ {
  uint32_t DiskNumber;
  uint32_t Padding;
  uint64_t StartSector;
  uint64_t SectorCount;
  uint64_t ScanState[kLogScanStateCount];  // the coordinator's resume position, kept as given
  uint64_t FreeSpaceMark;                  // free space of the device path when saved; 0 with a source path
  uint64_t PathMark;
  char SourcePath[kLogPathBytes];  // empty for scans of a disk number
  char Folder[kLogPathBytes];      // the scan's folder, ending in "/"
};

static_assert(sizeof(_LOG_FILE_INFO_) == kLogFileInfoSize, "the scan-log record is 592 bytes on disk");
static_assert(offsetof(_LOG_FILE_INFO_, DiskNumber) == 0, "log record layout");
static_assert(offsetof(_LOG_FILE_INFO_, Padding) == 4, "log record layout");
static_assert(offsetof(_LOG_FILE_INFO_, StartSector) == 8, "log record layout");
static_assert(offsetof(_LOG_FILE_INFO_, SectorCount) == 16, "log record layout");
static_assert(offsetof(_LOG_FILE_INFO_, ScanState) == 24, "log record layout");
static_assert(offsetof(_LOG_FILE_INFO_, FreeSpaceMark) == 64, "log record layout");
static_assert(offsetof(_LOG_FILE_INFO_, PathMark) == 72, "log record layout");
static_assert(offsetof(_LOG_FILE_INFO_, SourcePath) == 80, "log record layout");
static_assert(offsetof(_LOG_FILE_INFO_, Folder) == 336, "log record layout");

void EncodeLogFileInfo(const _LOG_FILE_INFO_& info, uint8_t out[kLogFileInfoSize]);
// Both strings come back terminated, whatever the bytes hold.
void DecodeLogFileInfo(const uint8_t in[kLogFileInfoSize], _LOG_FILE_INFO_& info);

// Reads the content of "config": the folder number, then every whole record; a partial last
// record is ignored. Returns 0, or 30 (nothing loaded) when not even the folder number is whole.
int ParseLogConfig(const uint8_t* data, size_t length, uint64_t& folderNumber, std::vector<_LOG_FILE_INFO_>& list);
std::vector<uint8_t> SerializeLogConfig(uint64_t folderNumber, const std::vector<_LOG_FILE_INFO_>& list);

class CLogFileManager {
 public:
  // The process-wide manager, created (and loaded) on first use.
  static CLogFileManager& GetInstance();

  // Runs Init. The process uses GetInstance(); a separate manager is only for tests and tools.
  CLogFileManager();
  CLogFileManager(const CLogFileManager&) = delete;
  CLogFileManager& operator=(const CLogFileManager&) = delete;

  // Forgets the current state and loads "config" from the scan-log folder of the platform
  // layer (created if missing). 0; 87 when "config" is new or empty; 30 when it is damaged.
  int Init();

  // The current scan's folder: the reopened one, else base + number + "/".
  std::string GetLogFileDirPath() const;
  // Starts a new folder and deletes whatever already has its number.
  void AddDirIndex();
  // Gives back the number of a scan that never started.
  void ReduceDirIndex();

  // Records a finished scan and saves the index. Returns the status of the save.
  int SaveLogFileInfo(const char* devicePath, int disk, uint64_t start, uint64_t count,
                      const uint64_t (&state)[kLogScanStateCount], const char* folder, const char* sourcePath);
  // The same for a medium recognised by `mediumMark` (a fingerprint of the medium itself, kept
  // in the free-space field) rather than by the free space of a path; `phase` is kept in the
  // path-mark field. One entry per range.
  int SaveLogFileInfo(int disk, uint64_t start, uint64_t count, const uint64_t (&state)[kLogScanStateCount],
                      const char* folder, const char* sourcePath, uint64_t mediumMark, uint64_t phase);
  // 1 when an earlier scan of the same range is found and its folder reopened, else 0.
  int LoadRecoveryLogInfo(const char* devicePath, int disk, uint64_t start, uint64_t count, _LOG_FILE_INFO_* out);
  int LoadRecoveryLogInfo(int disk, uint64_t start, uint64_t count, uint64_t mediumMark, _LOG_FILE_INFO_* out);
  // The result file of `folder` named `prefix` + anything, leaving out the companion files a
  // store keeps beside it ("_Relation", "_DirInfo"). Empty when there is none.
  static std::string FindResultName(const char* folder, const char* prefix);
  // The first entry of `folder` whose name contains `prefix`; `out` is untouched if none. 0.
  int GetLogFileNameByFileType(const char* folder, const char* prefix, std::string& out) const;
  // Writes the index to "config.tmp" and, only when that is complete and on disk, puts it in
  // place of "config". On failure the old "config" stays and the errno is returned.
  int SaveLogConfigFile();
  // Drops the entry of `folder` (compared without case) and deletes the folder with all it holds.
  int DeleteLogFileDir(const char* folder);

  const std::vector<_LOG_FILE_INFO_>& GetLogList() const { return logList_; }
  uint64_t GetFolderNumber() const { return folderNumber_; }
  bool IsReopened() const { return reopened_; }
  const std::string& GetBasePath() const { return basePath_; }

 private:
  std::string FolderOfNumber(uint64_t number) const;
  int AppendEntry(int disk, uint64_t start, uint64_t count, const uint64_t (&state)[kLogScanStateCount],
                  const char* folder, const char* sourcePath, uint64_t mark, uint64_t phase);
  bool IsBelowBase(const std::string& folder) const;

  std::vector<_LOG_FILE_INFO_> logList_;
  std::string basePath_;
  uint64_t folderNumber_ = 0;
  bool reopened_ = false;
  std::string reopenedFolder_;
};

}  // namespace vorlenta
