#include "engine/log_file_manager.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "engine/scan_result_store.h"
#include "engine/status.h"
#include "util/debug_log.h"
#include "util/endian.h"
#include "util/os_helpers.h"
#include "util/platform.h"

namespace vorlenta {
namespace {

// Field offsets of the on-disk record.
constexpr size_t kOffDiskNumber = 0;
constexpr size_t kOffPadding = 4;
constexpr size_t kOffStartSector = 8;
constexpr size_t kOffSectorCount = 16;
constexpr size_t kOffScanState = 24;
constexpr size_t kOffFreeSpaceMark = 64;
constexpr size_t kOffPathMark = 72;
constexpr size_t kOffSourcePath = 80;
constexpr size_t kOffFolder = 336;
static_assert(kOffFolder + kLogPathBytes == kLogFileInfoSize, "log record fields fill the record");

// A larger "config" is damaged: no machine keeps this many scans. Whatever lies beyond is ignored.
constexpr size_t kMaxLogRecords = 65536;
constexpr size_t kMaxConfigBytes = kLogConfigHeaderSize + kMaxLogRecords * kLogFileInfoSize;

void CopyPath(char (&field)[kLogPathBytes], const char* text) {
  std::memset(field, 0, kLogPathBytes);
  if (text != nullptr) std::strncpy(field, text, kLogPathBytes - 1);
}

uint64_t FreeSpaceMark(const char* devicePath) {
  unsigned high = 0;
  unsigned low = 0;
  if (devicePath == nullptr) return 0;
  if (rsb_getFreeSpace(devicePath, static_cast<int>(std::strlen(devicePath)), &high, &low) != 0) return 0;
  return (static_cast<uint64_t>(high) << 32) | low;
}

// Deletes everything inside the open folder `dirFd` (which it closes), sub-folders first.
// Works on descriptors rather than by changing the current directory, which every thread
// shares (the debug log is opened relative to it); symbolic links are removed, never followed.
void RemoveFolderContents(int dirFd) {
  DIR* dir = ::fdopendir(dirFd);
  if (dir == nullptr) {
    ::close(dirFd);
    return;
  }
  // Collect first: removing entries while readdir walks the folder may skip some.
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    names.emplace_back(entry->d_name);
  }
  const int fd = ::dirfd(dir);
  for (const std::string& name : names) {
    struct stat st;
    if (::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      const int sub = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (sub >= 0) RemoveFolderContents(sub);
      if (::unlinkat(fd, name.c_str(), AT_REMOVEDIR) != 0) DebugPrint("rmdir %s failed %d\n", name.c_str(), errno);
    } else if (::unlinkat(fd, name.c_str(), 0) != 0) {
      DebugPrint("unlink %s failed %d\n", name.c_str(), errno);
    }
  }
  ::closedir(dir);
}

void RemoveFolderTree(const std::string& folder) {
  std::string path = folder;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return;  // a folder that cannot be entered is left whole
  RemoveFolderContents(fd);
  if (::rmdir(path.c_str()) != 0) DebugPrint("rmdir %s failed %d\n", path.c_str(), errno);
}

// Makes a rename inside `folder` survive a power cut.
void SyncFolder(const std::string& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

bool SameRange(const _LOG_FILE_INFO_& info, int disk, uint64_t start, uint64_t count) {
  return info.DiskNumber == static_cast<uint32_t>(disk) && info.StartSector == start && info.SectorCount == count;
}

}  // namespace

void EncodeLogFileInfo(const _LOG_FILE_INFO_& info, uint8_t out[kLogFileInfoSize]) {
  std::memset(out, 0, kLogFileInfoSize);
  WriteU32LE(out, kOffDiskNumber, info.DiskNumber);
  WriteU32LE(out, kOffPadding, info.Padding);
  WriteU64LE(out, kOffStartSector, info.StartSector);
  WriteU64LE(out, kOffSectorCount, info.SectorCount);
  for (size_t i = 0; i < kLogScanStateCount; ++i) WriteU64LE(out, kOffScanState + 8 * i, info.ScanState[i]);
  WriteU64LE(out, kOffFreeSpaceMark, info.FreeSpaceMark);
  WriteU64LE(out, kOffPathMark, info.PathMark);
  std::memcpy(out + kOffSourcePath, info.SourcePath, kLogPathBytes);
  std::memcpy(out + kOffFolder, info.Folder, kLogPathBytes);
}

void DecodeLogFileInfo(const uint8_t in[kLogFileInfoSize], _LOG_FILE_INFO_& info) {
  constexpr size_t len = kLogFileInfoSize;
  info.DiskNumber = ReadU32LE(in, len, kOffDiskNumber);
  info.Padding = ReadU32LE(in, len, kOffPadding);
  info.StartSector = ReadU64LE(in, len, kOffStartSector);
  info.SectorCount = ReadU64LE(in, len, kOffSectorCount);
  for (size_t i = 0; i < kLogScanStateCount; ++i) info.ScanState[i] = ReadU64LE(in, len, kOffScanState + 8 * i);
  info.FreeSpaceMark = ReadU64LE(in, len, kOffFreeSpaceMark);
  info.PathMark = ReadU64LE(in, len, kOffPathMark);
  std::memcpy(info.SourcePath, in + kOffSourcePath, kLogPathBytes);
  std::memcpy(info.Folder, in + kOffFolder, kLogPathBytes);
  info.SourcePath[kLogPathBytes - 1] = '\0';
  info.Folder[kLogPathBytes - 1] = '\0';
}

int ParseLogConfig(const uint8_t* data, size_t length, uint64_t& folderNumber, std::vector<_LOG_FILE_INFO_>& list) {
  if (data == nullptr || !FieldFits(length, 0, kLogConfigHeaderSize)) return kStatusReadFault;
  folderNumber = ReadU64LE(data, length, 0);
  for (size_t off = kLogConfigHeaderSize; FieldFits(length, off, kLogFileInfoSize); off += kLogFileInfoSize) {
    _LOG_FILE_INFO_ info;
    DecodeLogFileInfo(data + off, info);
    list.push_back(info);
  }
  return kStatusOk;
}

std::vector<uint8_t> SerializeLogConfig(uint64_t folderNumber, const std::vector<_LOG_FILE_INFO_>& list) {
  std::vector<uint8_t> out(kLogConfigHeaderSize + list.size() * kLogFileInfoSize);
  WriteU64LE(out.data(), 0, folderNumber);
  for (size_t i = 0; i < list.size(); ++i) {
    EncodeLogFileInfo(list[i], out.data() + kLogConfigHeaderSize + i * kLogFileInfoSize);
  }
  return out;
}

CLogFileManager& CLogFileManager::GetInstance() {
  static CLogFileManager instance;
  return instance;
}

CLogFileManager::CLogFileManager() { Init(); }

int CLogFileManager::Init() {
  logList_.clear();
  folderNumber_ = 0;
  reopened_ = false;
  reopenedFolder_.clear();
  basePath_ = GetScanLogDir();
  // Every front end needs the folder, not only the window that creates it at start-up.
  const int made = MakeSupportFolder(basePath_);
  if (made != 0) DebugPrint("cannot create %s: %d\n", basePath_.c_str(), made);

  const std::string config = basePath_ + kLogConfigName;
  const std::string tmp = basePath_ + kLogConfigTmpName;
  struct stat st;
  if (::stat(config.c_str(), &st) != 0 && errno == ENOENT && ::stat(tmp.c_str(), &st) == 0) {
    // The first save of this folder was interrupted: keep what it wrote.
    if (::rename(tmp.c_str(), config.c_str()) != 0) DebugPrint("rename %s failed %d\n", tmp.c_str(), errno);
  }

  const int fd = ::open(config.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, kFileMode);
  if (fd < 0) {
    DebugPrint("open %s failed %d\n", config.c_str(), errno);
    return kStatusInvalidParameter;
  }
  if (::fstat(fd, &st) != 0) {
    ::close(fd);
    return kStatusReadFault;
  }
  if (st.st_size <= 0) {
    ::close(fd);
    return kStatusInvalidParameter;
  }
  const size_t size = std::min(static_cast<size_t>(st.st_size), kMaxConfigBytes);
  std::vector<uint8_t> content(size);
  unsigned got = 0;
  const int read = ReadData(fd, content.data(), static_cast<int>(size), &got);
  ::close(fd);
  if (read != 0) {
    DebugPrint("read %s failed: %u of %zu bytes\n", config.c_str(), got, size);
    return kStatusReadFault;
  }
  return ParseLogConfig(content.data(), content.size(), folderNumber_, logList_);
}

std::string CLogFileManager::FolderOfNumber(uint64_t number) const {
  return basePath_ + std::to_string(static_cast<long long>(number)) + "/";
}

bool CLogFileManager::IsBelowBase(const std::string& folder) const {
  if (basePath_.empty() || folder.compare(0, basePath_.size(), basePath_) != 0) return false;
  bool named = false;
  size_t pos = basePath_.size();
  while (pos <= folder.size()) {
    size_t slash = folder.find('/', pos);
    if (slash == std::string::npos) slash = folder.size();
    const std::string part = folder.substr(pos, slash - pos);
    if (part == "..") return false;
    if (!part.empty() && part != ".") named = true;
    pos = slash + 1;
  }
  return named;
}

std::string CLogFileManager::GetLogFileDirPath() const {
  return reopened_ ? reopenedFolder_ : FolderOfNumber(folderNumber_);
}

void CLogFileManager::AddDirIndex() {
  ++folderNumber_;
  reopened_ = false;
  reopenedFolder_.clear();
  DeleteLogFileDir(FolderOfNumber(folderNumber_).c_str());
}

void CLogFileManager::ReduceDirIndex() {
  if (folderNumber_ > 0) --folderNumber_;
}

int CLogFileManager::SaveLogFileInfo(const char* devicePath, int disk, uint64_t start, uint64_t count,
                                     const uint64_t (&state)[kLogScanStateCount], const char* folder,
                                     const char* sourcePath) {
  const bool withSource = sourcePath != nullptr && *sourcePath != '\0';
  if (withSource) return AppendEntry(disk, start, count, state, folder, sourcePath, 0, 0);
  return SaveLogFileInfo(disk, start, count, state, folder, sourcePath, FreeSpaceMark(devicePath), 0);
}

int CLogFileManager::SaveLogFileInfo(int disk, uint64_t start, uint64_t count,
                                     const uint64_t (&state)[kLogScanStateCount], const char* folder,
                                     const char* sourcePath, uint64_t mediumMark, uint64_t phase) {
  auto it = std::find_if(logList_.begin(), logList_.end(),
                         [&](const _LOG_FILE_INFO_& e) { return SameRange(e, disk, start, count); });
  if (it != logList_.end()) {
    if (it->FreeSpaceMark == mediumMark) {
      std::copy(std::begin(state), std::end(state), it->ScanState);
      it->PathMark = phase;
      return SaveLogConfigFile();
    }
    // The device changed since that scan: its results no longer describe it.
    const std::string stale = it->Folder;
    DeleteLogFileDir(stale.c_str());
  }
  return AppendEntry(disk, start, count, state, folder, sourcePath, mediumMark, phase);
}

int CLogFileManager::AppendEntry(int disk, uint64_t start, uint64_t count, const uint64_t (&state)[kLogScanStateCount],
                                 const char* folder, const char* sourcePath, uint64_t mark, uint64_t phase) {
  _LOG_FILE_INFO_ entry;
  std::memset(&entry, 0, sizeof entry);
  entry.DiskNumber = static_cast<uint32_t>(disk);
  entry.StartSector = start;
  entry.SectorCount = count;
  std::copy(std::begin(state), std::end(state), entry.ScanState);
  entry.FreeSpaceMark = mark;
  entry.PathMark = phase;
  CopyPath(entry.Folder, folder);
  if (sourcePath != nullptr) CopyPath(entry.SourcePath, sourcePath);
  logList_.push_back(entry);
  return SaveLogConfigFile();
}

int CLogFileManager::LoadRecoveryLogInfo(const char* devicePath, int disk, uint64_t start, uint64_t count,
                                         _LOG_FILE_INFO_* out) {
  return LoadRecoveryLogInfo(disk, start, count, FreeSpaceMark(devicePath), out);
}

int CLogFileManager::LoadRecoveryLogInfo(int disk, uint64_t start, uint64_t count, uint64_t mediumMark,
                                         _LOG_FILE_INFO_* out) {
  reopened_ = false;
  reopenedFolder_.clear();
  auto it = std::find_if(logList_.begin(), logList_.end(),
                         [&](const _LOG_FILE_INFO_& e) { return SameRange(e, disk, start, count); });
  if (it == logList_.end()) return 0;
  // A damaged index must not make a scan write its files somewhere else.
  if (it->FreeSpaceMark == mediumMark && IsBelowBase(it->Folder)) {
    reopened_ = true;
    reopenedFolder_ = it->Folder;
    if (out != nullptr) *out = *it;
    return 1;
  }
  const std::string stale = it->Folder;
  DeleteLogFileDir(stale.c_str());
  return 0;
}

int CLogFileManager::GetLogFileNameByFileType(const char* folder, const char* prefix, std::string& out) const {
  if (folder == nullptr || prefix == nullptr) return kStatusOk;
  DIR* dir = ::opendir(folder);
  if (dir == nullptr) {
    DebugPrint("open dir failed\n");
    return kStatusOk;
  }
  while (const dirent* entry = ::readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    if (std::strstr(entry->d_name, prefix) != nullptr) {
      out = entry->d_name;
      break;
    }
  }
  ::closedir(dir);
  return kStatusOk;
}

std::string CLogFileManager::FindResultName(const char* folder, const char* prefix) {
  std::string found;
  if (folder == nullptr || prefix == nullptr) return found;
  DIR* dir = ::opendir(folder);
  if (dir == nullptr) return found;
  auto endsWith = [](const std::string& name, const char* suffix) {
    const size_t n = std::strlen(suffix);
    return name.size() >= n && name.compare(name.size() - n, n, suffix) == 0;
  };
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.rfind(prefix, 0) != 0) continue;
    if (endsWith(name, kRelationFileSuffix) || endsWith(name, kDirInfoFileSuffix)) continue;
    found = name;
    break;
  }
  ::closedir(dir);
  return found;
}

int CLogFileManager::SaveLogConfigFile() {
  const std::string config = basePath_ + kLogConfigName;
  const std::string tmp = basePath_ + kLogConfigTmpName;
  const std::vector<uint8_t> content = SerializeLogConfig(folderNumber_, logList_);
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, kFileMode);
  if (fd < 0) {
    const int err = errno;
    DebugPrint("open %s failed %d\n", tmp.c_str(), err);
    return err;
  }
  int status = WriteAll(fd, content.data(), content.size());
  if (status == 0 && ::fsync(fd) != 0) status = errno;
  if (::close(fd) != 0 && status == 0) status = errno;
  // Only a complete index on disk may replace the old one, else every earlier scan is lost.
  if (status == 0 && ::rename(tmp.c_str(), config.c_str()) != 0) status = errno;
  if (status != 0) {
    DebugPrint("save %s failed %d\n", tmp.c_str(), status);
    ::unlink(tmp.c_str());
    return status;
  }
  SyncFolder(basePath_);
  return kStatusOk;
}

int CLogFileManager::DeleteLogFileDir(const char* folder) {
  if (folder == nullptr || *folder == '\0') return kStatusOk;
  const std::string path = folder;  // `folder` may point into an entry erased below
  logList_.erase(std::remove_if(logList_.begin(), logList_.end(),
                                [&](const _LOG_FILE_INFO_& e) { return ::strcasecmp(e.Folder, path.c_str()) == 0; }),
                 logList_.end());
  // The folder names come from a file anyone may have damaged; delete only scan folders.
  if (!IsBelowBase(path)) {
    DebugPrint("not deleting %s: outside the scan-log folder\n", path.c_str());
    return kStatusOk;
  }
  RemoveFolderTree(path);
  return kStatusOk;
}

}  // namespace vorlenta
