#include "engine/scan_result_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstring>
#include <deque>
#include <new>
#include <string_view>
#include <unordered_set>

#include "engine/categories.h"
#include "engine/log_file_manager.h"
#include "engine/status.h"
#include "util/debug_log.h"
#include "util/endian.h"
#include "util/os_helpers.h"
#include "util/platform.h"
#include "util/text.h"

namespace vorlenta {
namespace {

constexpr size_t kOffDirKey = 0;
constexpr size_t kOffFileIndex = 4;
constexpr size_t kOffFileName = 8;
static_assert(kOffFileName + kFileNameBytes == kDirFileInfoSize, "directory record fields fill the record");

// Offset of DirKey inside a node record, to test it before decoding the whole record.
constexpr size_t kNodeDirKeyOffset = offsetof(_FILE_NODE_, DirKey);

constexpr std::string_view kGroupMark = " | ";
constexpr std::string_view kListMark = " - [";
constexpr char kListSeparator = ',';
constexpr char kListEnd = ']';

// Relation text goes to the file in pieces of about this size.
constexpr size_t kRelationWriteChunk = 1 << 16;
// Largest piece handed to ReadData when a whole file is read.
constexpr size_t kWholeReadChunk = 1u << 30;

constexpr uint32_t kNoEntry = UINT32_MAX;

// Reads `size` bytes from the start of `fd`. 0, 30 (short read) or the errno of the seek.
int ReadWholeFile(int fd, size_t size, std::vector<uint8_t>& out) {
  out.assign(size, 0);
  if (::lseek(fd, 0, SEEK_SET) < 0) return errno;
  size_t done = 0;
  while (done < size) {
    const size_t piece = std::min(size - done, kWholeReadChunk);
    unsigned got = 0;
    const int status = ReadData(fd, out.data() + done, static_cast<int>(piece), &got);
    if (status != 0) {
      out.resize(done + got);
      return status;
    }
    done += piece;
  }
  return kStatusOk;
}

// Writes all of `data` at `offset`. 0 or the errno of the failure; `end` receives the file
// position reached, so a failed write can be cut back to what actually arrived.
int WriteAt(int fd, uint64_t offset, const void* data, size_t length, uint64_t& end) {
  end = offset;
  if (::lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0) return errno;
  const int status = WriteAll(fd, data, length);
  if (status == 0) {
    end = offset + length;
  } else {
    const off_t reached = ::lseek(fd, 0, SEEK_CUR);
    if (reached >= 0) end = static_cast<uint64_t>(reached);
  }
  return status;
}

int64_t FileSize(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

// A damaged photo shows nothing useful and would only confuse: it is hidden from listings
// and searches. An empty extension ("name.") counts as a photo one.
bool IsHiddenDamagedPhoto(const _FILE_NODE_& node, std::string& ext) {
  if (node.IsHealthy != 0) return false;
  if (!GetLowerExtension(node.FileName, ext)) return false;
  return ext.empty() || ListHasExtension(kPhotoExtensionList, ext);
}

// Parses the decimal key at `pos` (advanced past it). Keys are written as signed numbers, so
// a key with the top bit set comes back from its negative form.
bool ParseKey(std::string_view text, size_t& pos, uint64_t& key) {
  if (pos >= text.size()) return false;
  const char* begin = text.data() + pos;
  int64_t value = 0;
  const auto result = std::from_chars(begin, text.data() + text.size(), value);
  if (result.ec != std::errc() || result.ptr == begin) return false;
  pos = static_cast<size_t>(result.ptr - text.data());
  key = static_cast<uint64_t>(value);
  return true;
}

bool ParseIndex(std::string_view text, size_t& pos, uint32_t& index) {
  if (pos >= text.size() || text[pos] < '0' || text[pos] > '9') return false;
  const char* begin = text.data() + pos;
  const auto result = std::from_chars(begin, text.data() + text.size(), index);
  if (result.ec != std::errc()) return false;
  pos = static_cast<size_t>(result.ptr - text.data());
  return true;
}

}  // namespace

void EncodeDirFileInfo(const _DIR_FILE_INFO_& info, uint8_t out[kDirFileInfoSize]) {
  WriteU32LE(out, kOffDirKey, info.DirKey);
  WriteU32LE(out, kOffFileIndex, info.FileIndex);
  std::memcpy(out + kOffFileName, info.FileName, kFileNameBytes);
}

void DecodeDirFileInfo(const uint8_t in[kDirFileInfoSize], _DIR_FILE_INFO_& info) {
  info.DirKey = ReadU32LE(in, kDirFileInfoSize, kOffDirKey);
  info.FileIndex = ReadU32LE(in, kDirFileInfoSize, kOffFileIndex);
  std::memcpy(info.FileName, in + kOffFileName, kFileNameBytes);
  info.FileName[kFileNameBytes - 1] = '\0';
}

void AppendRelationGroup(std::string& out, uint64_t key, const std::vector<uint32_t>& children) {
  if (children.empty()) return;
  char number[24];
  out += kGroupMark;
  auto written = std::to_chars(number, number + sizeof number, static_cast<int64_t>(key));
  out.append(number, written.ptr);
  out += kListMark;
  for (size_t i = 0; i < children.size(); ++i) {
    if (i != 0) out += kListSeparator;
    written = std::to_chars(number, number + sizeof number, children[i]);
    out.append(number, written.ptr);
  }
  out += kListEnd;
}

CScanResultFileManager::CScanResultFileManager() : knownExtensions_(KnownExtensionList()) {}

CScanResultFileManager::~CScanResultFileManager() {
  if (nodeFd_ >= 0) FlushBufToFile();
  CloseFiles();
}

void CScanResultFileManager::CloseFiles() {
  for (int* fd : {&nodeFd_, &relationFd_, &dirInfoFd_}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
}

int CScanResultFileManager::Init(const char16_t* resultName) {
  if (resultName == nullptr) return kStatusInvalidParameter;
  CloseFiles();
  buffer_.reset();
  bufferedBytes_ = 0;
  nodeCount_ = 0;
  totalNodeBytes_ = 0;
  nodeWriteOffset_ = 0;
  relationMap_.clear();
  dirInfoList_.clear();
  dirInfoByKey_.clear();
  relationDirty_ = false;
  dirInfoOnDisk_ = 0;
  dirInfoFileBytes_ = 0;
  parentIndexStale_ = true;

  const std::string folder = CLogFileManager::GetInstance().GetLogFileDirPath();
  const int made = MakeDirectories(folder, SupportFolderMode());
  if (made != 0) DebugPrint("cannot create %s: %d\n", folder.c_str(), made);

  char name[kResultNameBytes];
  Unicode2Ansi(resultName, name, kResultNameBytes);
  nodePath_ = folder + AnsiToUtf8(name);
  relationPath_ = nodePath_ + kRelationFileSuffix;
  dirInfoPath_ = nodePath_ + kDirInfoFileSuffix;

  constexpr int kOpenFlags = O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC;
  nodeFd_ = ::open(nodePath_.c_str(), kOpenFlags, kFileMode);
  int status = nodeFd_ < 0 ? errno : 0;
  relationFd_ = ::open(relationPath_.c_str(), kOpenFlags, kFileMode);
  if (relationFd_ < 0 && status == 0) status = errno;
  if (status != 0) {
    DebugPrint("open %s failed %d\n", nodeFd_ < 0 ? nodePath_.c_str() : relationPath_.c_str(), status);
    CloseFiles();
    return status;
  }

  // New nodes follow the whole records already there; a torn last record is overwritten.
  const int64_t nodeBytes = FileSize(nodeFd_);
  if (nodeBytes < 0) {
    status = errno;
    CloseFiles();
    return status;
  }
  const uint64_t records = static_cast<uint64_t>(nodeBytes) / kFileNodeSize;
  nodeCount_ = records > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(records);
  nodeWriteOffset_ = static_cast<uint64_t>(nodeCount_) * kFileNodeSize;
  totalNodeBytes_ = nodeWriteOffset_;

  const int64_t relationBytes = FileSize(relationFd_);
  if (relationBytes > 0) {
    std::vector<uint8_t> text;
    const int read = ReadWholeFile(relationFd_, static_cast<size_t>(relationBytes), text);
    if (read != 0) DebugPrint("read %s failed %d\n", relationPath_.c_str(), read);
    // Whatever arrived is parsed; groups that are not whole are dropped.
    GetDirRelationMap(reinterpret_cast<const char*>(text.data()), text.size(), relationMap_);
    // A file that is not exactly the map's own text (a damaged or stale tail) is written
    // back whole by the next flush.
    std::string canonical;
    for (const auto& [key, children] : relationMap_) AppendRelationGroup(canonical, key, children);
    relationDirty_ = canonical.size() != text.size() ||
                     (!text.empty() && std::memcmp(canonical.data(), text.data(), text.size()) != 0);
  }
  ::lseek(relationFd_, 0, SEEK_SET);

  buffer_.reset(new (std::nothrow) uint8_t[bufferCapacity_]);
  if (!buffer_) status = kStatusNoMemory;

  dirInfoFd_ = ::open(dirInfoPath_.c_str(), kOpenFlags, kFileMode);
  if (dirInfoFd_ >= 0) {
    const int64_t dirBytes = FileSize(dirInfoFd_);
    if (dirBytes > 0) {
      std::vector<uint8_t> records;
      const int read = ReadWholeFile(dirInfoFd_, static_cast<size_t>(dirBytes), records);
      if (read != 0) DebugPrint("read %s failed %d\n", dirInfoPath_.c_str(), read);
      for (size_t off = 0; FieldFits(records.size(), off, kDirFileInfoSize); off += kDirFileInfoSize) {
        _DIR_FILE_INFO_ info;
        DecodeDirFileInfo(records.data() + off, info);
        dirInfoByKey_.emplace(info.DirKey, dirInfoList_.size());
        dirInfoList_.push_back(info);
      }
      dirInfoOnDisk_ = dirInfoList_.size();
      dirInfoFileBytes_ = static_cast<uint64_t>(dirBytes);
    }
    ::lseek(dirInfoFd_, 0, SEEK_SET);
  } else {
    DebugPrint("open %s failed %d\n", dirInfoPath_.c_str(), errno);
  }
  return status;
}

int CScanResultFileManager::WriteBufferedNodes() {
  if (bufferedBytes_ == 0) return kStatusOk;
  int status = kStatusInvalidParameter;
  uint64_t end = 0;
  if (nodeFd_ >= 0) status = WriteAt(nodeFd_, nodeWriteOffset_, buffer_.get(), bufferedBytes_, end);
  if (status != 0) DebugPrint("write %s failed %d at %llu\n", nodePath_.c_str(), status,
                              static_cast<unsigned long long>(nodeWriteOffset_));
  // Lost nodes keep their places, so every later node still sits at its FileIndex.
  nodeWriteOffset_ += bufferedBytes_;
  bufferedBytes_ = 0;
  return status;
}

uint8_t* CScanResultFileManager::CreateFileNode(int size) {
  if (!buffer_ || size <= 0 || static_cast<uint32_t>(size) > bufferCapacity_) return nullptr;
  if (bufferedBytes_ + static_cast<uint32_t>(size) > bufferCapacity_) WriteBufferedNodes();
  uint8_t* slot = buffer_.get() + bufferedBytes_;
  std::memset(slot, 0, static_cast<size_t>(size));
  bufferedBytes_ += static_cast<uint32_t>(size);
  totalNodeBytes_ += static_cast<uint32_t>(size);
  ++nodeCount_;
  parentIndexStale_ = true;
  return slot;
}

uint32_t CScanResultFileManager::AppendFileNode(_FILE_NODE_& node) {
  uint8_t* slot = CreateFileNode(static_cast<int>(kFileNodeSize));
  if (slot == nullptr) return 0;
  node.FileIndex = GetFileIndex();
  EncodeFileNode(node, slot);
  return node.FileIndex;
}

void CScanResultFileManager::AddChildren(uint32_t parentKey, uint32_t depth, uint32_t childIndex,
                                         uint32_t childDirKey, const char* childName) {
  relationMap_[MakeRelationKey(depth, parentKey)].push_back(childIndex);
  relationDirty_ = true;
  parentIndexStale_ = true;
  if (childName == nullptr) return;
  _DIR_FILE_INFO_ info;
  std::memset(&info, 0, sizeof info);
  info.DirKey = childDirKey;
  info.FileIndex = childIndex;
  std::strncpy(info.FileName, childName, kFileNameBytes - 1);
  dirInfoByKey_.emplace(childDirKey, dirInfoList_.size());
  dirInfoList_.push_back(info);
}

int CScanResultFileManager::FlushBufToFile() {
  const int status = WriteBufferedNodes();
  if (status != 0) return status;
  const int relation = FlushRelationToFile();
  const int dirInfo = FlushDirFileInfoVec();
  return relation != 0 ? relation : dirInfo;
}

int CScanResultFileManager::FlushRelationToFile() {
  if (relationFd_ < 0) return kStatusInvalidParameter;
  if (!relationDirty_) return kStatusOk;
  std::string text;
  text.reserve(kRelationWriteChunk + 4096);
  uint64_t offset = 0;
  int status = kStatusOk;
  for (auto it = relationMap_.begin(); it != relationMap_.end() && status == 0;) {
    AppendRelationGroup(text, it->first, it->second);
    ++it;
    if (text.size() >= kRelationWriteChunk || it == relationMap_.end()) {
      uint64_t end = offset;
      status = WriteAt(relationFd_, offset, text.data(), text.size(), end);
      offset = end;
      text.clear();
    }
  }
  // Cut away whatever a longer earlier text left behind, also after a failed write, so that a
  // reload never parses stale groups.
  if (::ftruncate(relationFd_, static_cast<off_t>(offset)) != 0 && status == 0) status = errno;
  ::lseek(relationFd_, 0, SEEK_SET);
  if (status != 0) {
    DebugPrint("write %s failed %d\n", relationPath_.c_str(), status);
    return status;
  }
  relationDirty_ = false;
  ++relationWrites_;
  return kStatusOk;
}

int CScanResultFileManager::FlushDirFileInfoVec() {
  if (dirInfoFd_ < 0) return kStatusInvalidParameter;
  int status = kStatusOk;
  // The list only grows and the file already holds its first records: write the rest.
  if (dirInfoOnDisk_ < dirInfoList_.size()) {
    std::vector<uint8_t> records((dirInfoList_.size() - dirInfoOnDisk_) * kDirFileInfoSize);
    for (size_t i = dirInfoOnDisk_; i < dirInfoList_.size(); ++i) {
      EncodeDirFileInfo(dirInfoList_[i], records.data() + (i - dirInfoOnDisk_) * kDirFileInfoSize);
    }
    uint64_t end = 0;
    const uint64_t offset = static_cast<uint64_t>(dirInfoOnDisk_) * kDirFileInfoSize;
    status = WriteAt(dirInfoFd_, offset, records.data(), records.size(), end);
    dirInfoFileBytes_ = std::max(dirInfoFileBytes_, end);
    dirInfoOnDisk_ = static_cast<size_t>(end / kDirFileInfoSize);
  }
  const uint64_t wanted = static_cast<uint64_t>(dirInfoOnDisk_) * kDirFileInfoSize;
  if (dirInfoFileBytes_ > wanted) {
    if (::ftruncate(dirInfoFd_, static_cast<off_t>(wanted)) == 0) {
      dirInfoFileBytes_ = wanted;
    } else if (status == 0) {
      status = errno;
    }
  }
  ::lseek(dirInfoFd_, 0, SEEK_SET);
  if (status != 0) DebugPrint("write %s failed %d\n", dirInfoPath_.c_str(), status);
  return status;
}

const std::vector<uint32_t>* CScanResultFileManager::FindEntry(uint64_t key) const {
  if (key == 0) return relationMap_.empty() ? nullptr : &relationMap_.begin()->second;
  const auto it = relationMap_.find(key);
  return it == relationMap_.end() ? nullptr : &it->second;
}

int CScanResultFileManager::ReadNode(uint32_t index, _FILE_NODE_& node, bool& present) const {
  present = false;
  if (index == 0 || index > nodeCount_) return kStatusOk;
  const uint64_t offset = static_cast<uint64_t>(index - 1) * kFileNodeSize;
  uint8_t record[kFileNodeSize];
  if (offset >= nodeWriteOffset_) {
    // Not flushed yet: still in the write buffer.
    const uint64_t inBuffer = offset - nodeWriteOffset_;
    if (!buffer_ || inBuffer + kFileNodeSize > bufferedBytes_) return kStatusOk;
    std::memcpy(record, buffer_.get() + inBuffer, kFileNodeSize);
  } else {
    if (nodeFd_ < 0) return kStatusInvalidParameter;
    size_t done = 0;
    while (done < kFileNodeSize) {
      const ssize_t n = ::pread(nodeFd_, record + done, kFileNodeSize - done, static_cast<off_t>(offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return errno;
      if (n == 0) return kStatusOk;  // a record lost to a failed write
      done += static_cast<size_t>(n);
    }
  }
  DecodeFileNode(record, node);
  present = true;
  return kStatusOk;
}

int CScanResultFileManager::GetChildrenFileNode(uint64_t key, std::vector<_FILE_NODE_>& out) {
  const std::vector<uint32_t>* children = FindEntry(key);
  int status = kStatusOk;
  if (children != nullptr) {
    std::string ext;
    for (uint32_t index : *children) {
      _FILE_NODE_ node;
      bool present = false;
      status = ReadNode(index, node, present);
      if (status != 0) break;
      if (!present || IsHiddenDamagedPhoto(node, ext)) continue;
      out.push_back(node);
    }
  }
  std::sort(out.begin(), out.end(), VectorCmp);
  return status;
}

int CScanResultFileManager::GetChildrenFileCount(uint64_t key, unsigned int& count) {
  count = 0;
  int status = kStatusOk;
  std::deque<uint64_t> queue{key};
  // Damaged relations may file one folder twice or in a loop: count each entry once.
  std::unordered_set<const std::vector<uint32_t>*> visited;
  while (!queue.empty()) {
    const uint64_t current = queue.front();
    queue.pop_front();
    const std::vector<uint32_t>* children = FindEntry(current);
    if (children == nullptr || !visited.insert(children).second) continue;
    const uint32_t childDepth = static_cast<uint32_t>(current >> 32) + 1;
    for (uint32_t index : *children) {
      _FILE_NODE_ node;
      bool present = false;
      const int read = ReadNode(index, node, present);
      if (read != 0) {
        status = read;
        break;
      }
      if (!present) continue;
      if (node.IsDirectory != 0) {
        queue.push_back(MakeRelationKey(childDepth, node.DirKey));
      } else {
        ++count;
      }
    }
  }
  return status;
}

int CScanResultFileManager::GetFileNodeByClusterNO(uint32_t dirKey, _FILE_NODE_* out) {
  if (out == nullptr) return kStatusInvalidParameter;
  const int fd = ::open(nodePath_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  const int64_t size = FileSize(fd);
  if (size < 0) {
    const int err = errno;
    ::close(fd);
    return err;
  }
  uint64_t remaining = static_cast<uint64_t>(size) - static_cast<uint64_t>(size) % kFileNodeSize;
  std::vector<uint8_t> chunk(kNodeBufferCapacity);
  int status = kStatusInvalidParameter;
  while (remaining > 0 && status != 0) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(remaining, kNodeBufferCapacity));
    unsigned got = 0;
    if (ReadData(fd, chunk.data(), static_cast<int>(want), &got) != 0) {
      DebugPrint("read %s failed: %u of %zu bytes\n", nodePath_.c_str(), got, want);
      break;
    }
    remaining -= want;
    for (size_t off = 0; off + kFileNodeSize <= want; off += kFileNodeSize) {
      if (ReadU32LE(chunk.data(), want, off + kNodeDirKeyOffset) != dirKey) continue;
      DecodeFileNode(chunk.data() + off, *out);
      if (out->IsDirectory != 0) {
        status = kStatusOk;
        break;
      }
    }
  }
  ::close(fd);
  return status;
}

void CScanResultFileManager::BuildParentIndex() {
  entryKeys_.clear();
  entryOfIndex_.assign(static_cast<size_t>(nodeCount_) + 1, kNoEntry);
  uint32_t ordinal = 0;
  for (const auto& [key, children] : relationMap_) {
    entryKeys_.push_back(key);
    for (uint32_t index : children) {
      // The first entry in key order wins; indexes past the node file name nothing.
      if (index < entryOfIndex_.size() && entryOfIndex_[index] == kNoEntry) entryOfIndex_[index] = ordinal;
    }
    ++ordinal;
  }
  parentIndexStale_ = false;
}

int CScanResultFileManager::GetParentFileNode(const _FILE_NODE_* node, std::vector<_FILE_NODE_>& chain) {
  if (node == nullptr) return kStatusInvalidParameter;
  if (parentIndexStale_) BuildParentIndex();
  std::unordered_set<uint32_t> seen{node->FileIndex};
  uint32_t current = node->FileIndex;
  for (;;) {
    if (current >= entryOfIndex_.size() || entryOfIndex_[current] == kNoEntry) return kStatusOk;
    const uint32_t ordinal = entryOfIndex_[current];
    if (ordinal == 0) return kStatusOk;  // the root's children
    const uint32_t parentKey = static_cast<uint32_t>(entryKeys_[ordinal]);
    _FILE_NODE_ parent;
    std::memset(&parent, 0, sizeof parent);
    const auto named = dirInfoByKey_.find(parentKey);
    if (named != dirInfoByKey_.end()) {
      const _DIR_FILE_INFO_& info = dirInfoList_[named->second];
      parent.IsDirectory = 1;
      parent.DirKey = info.DirKey;
      parent.FileIndex = info.FileIndex;
      std::memcpy(parent.FileName, info.FileName, kFileNameBytes);
    } else {
      const int status = GetFileNodeByClusterNO(parentKey, &parent);
      if (status != 0) return status;
    }
    if (parent.FileIndex == current) return kStatusOk;
    // A loop can only come from damaged relations; the path ends where it repeats.
    if (!seen.insert(parent.FileIndex).second) return kStatusOk;
    chain.push_back(parent);
    current = parent.FileIndex;
  }
}

int CScanResultFileManager::GetParentDirPath(const _FILE_NODE_* node, char16_t* out, int capacity) {
  if (node == nullptr || out == nullptr || capacity <= 0) return kStatusInvalidParameter;
  out[0] = 0;
  std::vector<_FILE_NODE_> chain;
  const int status = GetParentFileNode(node, chain);
  if (status != 0) return status;
  std::string path;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    path += it->FileName;
    path += '/';
  }
  return Ansi2Unicode(path.c_str(), out, capacity);
}

void CScanResultFileManager::GetDirRelationMap(const char* text, size_t length, RelationMap& out) {
  if (text == nullptr) return;
  const std::string_view view(text, length);
  size_t pos = view.find(kGroupMark);
  while (pos != std::string_view::npos) {
    size_t p = pos + kGroupMark.size();
    uint64_t key = 0;
    bool whole = false;
    std::vector<uint32_t> children;
    if (ParseKey(view, p, key) && view.compare(p, kListMark.size(), kListMark) == 0) {
      p += kListMark.size();
      uint32_t index = 0;
      while (ParseIndex(view, p, index)) {
        children.push_back(index);
        if (p < view.size() && view[p] == kListSeparator) {
          ++p;
          continue;
        }
        whole = p < view.size() && view[p] == kListEnd;
        break;
      }
    }
    if (whole) {
      out[key] = std::move(children);
      pos = view.find(kGroupMark, p + 1);
    } else {
      pos = view.find(kGroupMark, pos + 1);
    }
  }
}

int CScanResultFileManager::InitSearchCallBack(SearchCallback callback, void* context) {
  searchCallback_ = callback;
  searchContext_ = context;
  return kStatusOk;
}

int CScanResultFileManager::SearchFileNodeInfo(const char16_t* key, std::vector<__SEARCH_FILE_INFO__>& out) {
  char searchKey[kSearchKeyBytes];
  Unicode2Ansi(key != nullptr ? key : u"", searchKey, kSearchKeyBytes);
  bool other = std::strstr(searchKey, kOtherCategoryNeedle) != nullptr;

  FlushBufToFile();
  const int fd = nodePath_.empty() ? -1 : ::open(nodePath_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    std::sort(out.begin(), out.end(), VectorCmp);
    return 0;
  }
  const int64_t size = FileSize(fd);
  const uint64_t fileBytes = size > 0 ? static_cast<uint64_t>(size) : 0;
  if (fileBytes > kOtherSearchMaxNodeBytes) other = false;

  uint64_t remaining = fileBytes - fileBytes % kFileNodeSize;
  uint64_t readSoFar = 0;
  std::vector<uint8_t> chunk(kNodeBufferCapacity);
  std::string ext;
  while (remaining > 0) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(remaining, kNodeBufferCapacity));
    unsigned got = 0;
    if (ReadData(fd, chunk.data(), static_cast<int>(want), &got) != 0) {
      DebugPrint("read %s failed: %u of %zu bytes\n", nodePath_.c_str(), got, want);
      break;
    }
    remaining -= want;
    readSoFar += want;
    for (size_t off = 0; off + kFileNodeSize <= want; off += kFileNodeSize) {
      _FILE_NODE_ node;
      DecodeFileNode(chunk.data() + off, node);
      if (node.IsDirectory != 0 || IsHiddenDamagedPhoto(node, ext)) continue;
      bool selected;
      if (GetLowerExtension(node.FileName, ext) && !ext.empty()) {
        if (ListHasExtension(searchKey, ext)) {
          selected = true;
        } else {
          selected = other && !ListHasExtension(knownExtensions_.c_str(), ext);
        }
      } else {
        selected = other;
      }
      if (selected) out.push_back(node);
    }
    if (searchCallback_ != nullptr &&
        searchCallback_(searchContext_, static_cast<int>(readSoFar * 100 / fileBytes), nullptr) != 0) {
      break;
    }
  }
  ::close(fd);
  std::sort(out.begin(), out.end(), VectorCmp);
  return 1;
}

}  // namespace vorlenta
