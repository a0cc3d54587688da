#include "engine/node_extraction.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "engine/categories.h"
#include "engine/recovery_driver.h"
#include "engine/status.h"
#include "util/os_helpers.h"
#include "util/platform.h"
#include "util/text.h"

namespace vorlenta {
namespace {

constexpr int kPercentDone = 100;
// Longest preview temporary path, in characters.
constexpr size_t kMaxTempPath = 256;
constexpr char kTempPrefix[] = "tmp.";

int Percent(uint64_t done, uint64_t total) {
  return total == 0 ? kPercentDone : static_cast<int>(done * 100 / total);
}

}  // namespace

int SaveNodeToNewFile(const _FILE_NODE_& node, const char16_t* target, RecoveryCallback callback, void* context,
                      const NodeDataReader& read) {
  if (target == nullptr) return kStatusInvalidParameter;
  std::string actual;
  const int fd = OpenNewFile(Utf16ToUtf8(target), actual);
  if (fd < 0) return -fd;
  const std::u16string shown = Utf8ToUtf16(actual.c_str());
  auto report = [&](int percent, int status) {
    return callback != nullptr ? callback(context, percent, kRecoveryPhaseFile, status, shown.c_str()) : 0;
  };
  const uint64_t size = node.FileSize;
  if (size == 0) {
    ::close(fd);
    return report(kPercentDone, 0);
  }
  uint64_t written = 0;
  int answer = 0;
  const int status = read(size, [&](const uint8_t* data, size_t length) {
    const size_t take = static_cast<size_t>(std::min<uint64_t>(length, size - written));
    const int writeStatus = WriteAll(fd, data, take);
    if (writeStatus != 0) return writeStatus;
    written += take;
    answer = report(Percent(written, size), 0);
    return answer;
  });
  ::close(fd);
  if (answer != 0) return answer;
  if (status > 0) {
    answer = report(kPercentDone, status);
    if (answer == kStatusUserStop) return answer;
  }
  return status;
}

int PreviewNodeData(const _FILE_NODE_& node, char16_t* tempPath, unsigned char* buffer, int& size,
                    PreviewCallback callback, void* context, const NodeDataReader& read) {
  if (tempPath == nullptr) return kStatusInvalidParameter;
  const int capacity = size;
  size = 0;
  tempPath[0] = 0;
  auto report = [&](int percent, int detail) { return callback != nullptr ? callback(context, percent, detail) : 0; };
  std::string ext;
  int fd = -1;
  std::string tempFile;
  if (GetLowerExtension(node.FileName, ext) && !ext.empty() && ListContains(kPhotoExtensionList, "." + ext)) {
    const std::string folder = GetScanLogDir();
    if (MakeDirectories(folder, SupportFolderMode()) == 0 &&
        folder.size() + std::strlen(kTempPrefix) + ext.size() < kMaxTempPath) {
      tempFile = folder + kTempPrefix + ext;
      ::unlink(tempFile.c_str());
      // The scan-log folder is writable by everyone: never follow a link planted there.
      fd = ::open(tempFile.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kFileMode);
      if (fd < 0) return errno;
      const std::u16string wide = Utf8ToUtf16(tempFile.c_str());
      std::copy(wide.begin(), wide.end(), tempPath);
      tempPath[wide.size()] = 0;
    }
  }
  const bool toFile = fd >= 0;
  if (!toFile && (buffer == nullptr || capacity < 0)) return kStatusInvalidParameter;
  const uint64_t total = toFile ? node.FileSize : std::min<uint64_t>(node.FileSize, static_cast<uint64_t>(capacity));
  int status = 0;
  if (total == 0) {
    status = report(kPercentDone, 0);
  } else {
    uint64_t done = 0;
    status = read(total, [&](const uint8_t* data, size_t length) {
      const size_t take = static_cast<size_t>(std::min<uint64_t>(length, total - done));
      int pieceStatus = 0;
      if (toFile) {
        pieceStatus = WriteAll(fd, data, take);
      } else {
        std::memcpy(buffer + done, data, take);
      }
      if (pieceStatus == 0) done += take;
      const int answer = report(Percent(done, total), pieceStatus);
      return answer != 0 ? answer : pieceStatus;
    });
    if (!toFile) size = static_cast<int>(done);
    const int answer = report(kPercentDone, status);
    if (status == 0) status = answer;
  }
  if (toFile) {
    ::close(fd);
    if (status != 0) {
      ::unlink(tempFile.c_str());
      tempPath[0] = 0;
    }
    size = 0;
  }
  return status;
}

int CDirectoryTreeSave::QueueDirectory(const _FILE_NODE_& node, const char16_t* target, uint32_t childDepth) {
  if (target == nullptr) return kStatusInvalidParameter;
  const int status = MakeRecoveryFolder(Utf16ToUtf8(target));
  if (status != 0) return status;
  m_queue.push_back(__FILE_DATA_RECOVERY__{node, target, childDepth});
  return 0;
}

int CDirectoryTreeSave::SaveTree(const _FILE_NODE_& node, const char16_t* target, uint32_t childDepth,
                                 const ListChildren& list, const SaveChild& save) {
  m_queue.clear();
  int result = QueueDirectory(node, target, childDepth);
  if (result != 0) return result;
  while (!m_queue.empty()) {
    __FILE_DATA_RECOVERY__ record = m_queue.front();
    m_queue.pop_front();
    m_currentDest = record.targetPath;
    std::vector<_FILE_NODE_> children;
    const int listed = list(record.node, record.childDepth, children);
    if (listed != 0) {
      result = listed;
      continue;
    }
    for (_FILE_NODE_& child : children) {
      const std::u16string childTarget = m_currentDest + u"/" + Ansi2Unicode(SafeFileName(child.FileName).c_str());
      if (childTarget.size() >= static_cast<size_t>(kMaxRecoveryPathUnits)) {
        result = ENAMETOOLONG;
        continue;
      }
      result = save(child, childTarget.c_str());
      if (result == kStatusUserStop) {
        m_queue.clear();
        return result;
      }
    }
  }
  return result;
}

int CDirectoryTreeSave::SaveTree(IFileRecoveryParse& engine, const _FILE_NODE_& node, const char16_t* target,
                                 uint32_t childDepth, const SaveChild& save) {
  return SaveTree(
      node, target, childDepth,
      [&engine](_FILE_NODE_& dir, uint32_t depth, std::vector<_FILE_NODE_>& out) {
        return engine.GetChildrenFileNode(&dir, depth, out);
      },
      save);
}

}  // namespace vorlenta
