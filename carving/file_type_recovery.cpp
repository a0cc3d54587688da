#include "carving/file_type_recovery.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "engine/node_extraction.h"
#include "engine/status.h"
#include "util/os_helpers.h"
#include "util/platform.h"
#include "util/text.h"

namespace vorlenta {

namespace {

constexpr size_t kCopyBytes = 65536;
constexpr size_t kStoreNameBytes = 128;
constexpr size_t kNameBytes = 256;
constexpr int kPercentDone = 100;

// Formats whose carved length is a declared size the pass cannot trust to skip by (or, for
// compound files, one that may be wrong): the pass goes on with the next sector, so a file
// hidden behind a bad size is still found.
bool AdvancesOneSector(EXTEND_NAME_TYPE type) {
  switch (type) {
    case kTypeWord:
    case kTypeOle:
    case kTypeExcel:
    case kTypePowerPoint:
    case kTypeWav:
    case kTypeAvi:
    case kTypeAsf:
    case kTypeSwf:
    case kTypeBmp:
    case kTypeCab:
    case kTypeTtf:
    case kTypeIco:
    case kTypeWebp:
    case kTypeAiff:
    case kTypeAu:
    case kTypeWoff:
    case kTypeWoff2:
      return true;
    default:
      return false;
  }
}

}  // namespace

int CFileTypeRecovery::StartStore(const char16_t* resultName) {
  return m_results.Open(resultName);
}

int CFileTypeRecovery::StartNewStore(long long startSector) {
  SYSTEMTIME now{};
  rsb_getLocalTime(&now);
  char name[kStoreNameBytes];
  std::snprintf(name, sizeof name, "File_Type_%lld_%d%d%d%d%2d", startSector, now.wYear, now.wMonth, now.wDay,
                now.wHour, now.wMinute);
  return StartStore(Ansi2Unicode(name).c_str());
}

int CFileTypeRecovery::Init(int diskNumber, long long startSector, long long sectorCount, char16_t volumeTag) {
  if (startSector < 0 || sectorCount < 0) return kStatusInvalidParameter;
  m_volumeTag = volumeTag;
  m_startSector = startSector;
  m_sectorCount = sectorCount;
  const int status = m_reader.Init(diskNumber, static_cast<unsigned long long>(startSector + sectorCount));
  const int stored = StartNewStore(startSector);
  return status != 0 ? status : stored;
}

int CFileTypeRecovery::Init(const char16_t* path, char16_t volumeTag) {
  if (path == nullptr) return kStatusInvalidParameter;
  m_volumeTag = volumeTag;
  m_startSector = 0;
  m_sectorCount = 0;
  // Reads may reach the end of the device or image, which only the open descriptor can tell.
  int status = m_reader.Init(path, 0);
  if (status == 0) {
    const int64_t size = GetDeviceSize(m_reader.Descriptor());
    if (size < 0) {
      status = errno;
    } else {
      m_sectorCount = size / m_nBytesPerSector;
      status = m_reader.Init(path, static_cast<unsigned long long>(m_sectorCount));
    }
  }
  const int stored = StartNewStore(0);
  return status != 0 ? status : stored;
}

int CFileTypeRecovery::InitLogFile(const char16_t* resultName, char16_t volumeTag, const char16_t* path,
                                   int bytesPerSector, unsigned long long endSector) {
  if (resultName == nullptr || path == nullptr || bytesPerSector <= 0) return kStatusInvalidParameter;
  m_volumeTag = volumeTag;
  m_nBytesPerSector = bytesPerSector;
  const int status = m_reader.Init(path, endSector);
  const int stored = StartStore(resultName);
  return status != 0 ? status : stored;
}

int CFileTypeRecovery::InitLogFile(const char16_t* resultName, char16_t volumeTag, int diskNumber, int bytesPerSector,
                                   unsigned long long endSector) {
  if (resultName == nullptr || bytesPerSector <= 0) return kStatusInvalidParameter;
  m_volumeTag = volumeTag;
  m_nBytesPerSector = bytesPerSector;
  const int status = m_reader.Init(diskNumber, endSector);
  const int stored = StartStore(resultName);
  return status != 0 ? status : stored;
}

CFileTypeRecovery::~CFileTypeRecovery() {
  if (CFileTypeJudge::m_pParam == m_context && CFileTypeJudge::m_progressFunc == m_scanCallback) {
    CFileTypeJudge::InitCallBack(nullptr, nullptr, nullptr, 0);
  }
}

int CFileTypeRecovery::InitCallBack(ScanCallback scanCallback, RecoveryCallback recoveryCallback, void* context,
                                    int weight) {
  m_scanCallback = scanCallback;
  m_recoveryCallback = recoveryCallback;
  m_context = context;
  m_weight = weight;
  return CFileTypeJudge::InitCallBack(scanCallback, recoveryCallback, context, weight);
}

int CFileTypeRecovery::ScanDevice(const char16_t* /*resultName*/) { return 0; }

int CFileTypeRecovery::ParseFileBuf(const unsigned char* sector, int len, unsigned long long sectorNo,
                                    unsigned long long scannedSectors, unsigned long long totalSectors, int secondsLeft,
                                    CDiskReader* reader, int bytesPerSector, unsigned long long& skipSectors,
                                    unsigned long long& filesFound) {
  skipSectors = 1;
  if (bytesPerSector <= 0) return kStatusInvalidParameter;
  m_nBytesPerSector = bytesPerSector;
  char name[kNameBytes] = {};
  EXTEND_NAME_TYPE type = kTypeNone;
  uint64_t length = 0;
  const int status = CFileTypeJudge::ParseFileBuf(sector, len, sectorNo, scannedSectors, totalSectors, secondsLeft,
                                                  filesFound, reader, bytesPerSector, name, type, length);
  if (status != 0) return status;
  CScanResultFileManager* store = m_results.Store();
  if (store == nullptr) return kStatusInvalidParameter;

  _FILE_NODE_ node;
  std::memset(&node, 0, sizeof node);
  node.VolumeTag = m_volumeTag;
  node.SourceKind = kSourceCarved;
  node.IsDirectory = 0;
  node.Reserved = 0;
  node.IsHealthy = 1;
  node.DirKey = 0;
  node.ClusterBytes = -1;
  node.FileSize = length;
  node.DataStartSector = 0;
  node.RecordSector = sectorNo;
  node.VolumeStartSector = 0;
  SetFileNodeName(node, name);
  const uint32_t index = store->AppendFileNode(node);
  if (index == 0) return kStatusNoMemory;
  store->AddChildren(0, 0, index, 0, nullptr);

  skipSectors = SkipSectors(type, length, bytesPerSector);
  ++filesFound;
  return 0;
}

unsigned long long CFileTypeRecovery::SkipSectors(EXTEND_NAME_TYPE type, uint64_t length, int bytesPerSector) {
  if (AdvancesOneSector(type) || bytesPerSector <= 0) return 1;
  const unsigned long long b = static_cast<unsigned long long>(bytesPerSector);
  // A zero length still moves the pass on by one sector.
  return std::max<unsigned long long>(length / b + (length % b != 0 ? 1 : 0), 1);
}

int CFileTypeRecovery::GetChildrenFileNode(_FILE_NODE_* parent, unsigned int qualifier, std::vector<_FILE_NODE_>& out) {
  if (parent == nullptr && qualifier != 0) return kStatusInvalidParameter;
  // Every carved file is filed under key 0: only the root has children.
  if (parent != nullptr) return 0;
  return m_results.Children(0, out);
}

int CFileTypeRecovery::GetChildrenFileCount(_FILE_NODE_* parent, unsigned int qualifier, unsigned int& count) {
  if (parent == nullptr && qualifier != 0) return kStatusInvalidParameter;
  if (parent != nullptr) return 0;
  return m_results.ChildrenCount(0, count);
}

unsigned int CFileTypeRecovery::GetLostFileCount() { return m_results.NodeCount(); }

int CFileTypeRecovery::GetFileNodeParentDirPath(_FILE_NODE_* /*node*/, char16_t* out, int capacity) {
  if (out != nullptr && capacity > 0) out[0] = 0;
  return 0;
}

int CFileTypeRecovery::ReadCarvedData(const _FILE_NODE_& node, uint64_t total,
                                      const std::function<int(const uint8_t*, size_t)>& sink) {
  const int sectorBytes = m_nBytesPerSector;
  if (sectorBytes <= 0 || static_cast<size_t>(sectorBytes) > kCopyBytes) return kStatusInvalidParameter;
  const uint64_t b = static_cast<uint64_t>(sectorBytes);
  std::vector<uint8_t> buffer(kCopyBytes);
  uint64_t sector = node.RecordSector;
  uint64_t remaining = total;
  const unsigned long long limit = m_reader.SectorLimit();
  while (remaining > 0) {
    // A declared size may reach past the device: what lies before its end is still copied.
    if (sector >= limit) return kStatusReadFault;
    uint64_t want = std::min<uint64_t>((remaining + b - 1) / b, kCopyBytes / b);
    want = std::min<uint64_t>(want, limit - sector);
    unsigned got = 0;
    const int status =
        m_reader.ReadData(buffer.data(), static_cast<int>(want), static_cast<long long>(sector), sectorBytes, &got);
    got = static_cast<unsigned>(std::min<uint64_t>(got, want));
    if (got == 0) return status != 0 ? status : kStatusReadFault;
    const size_t take = static_cast<size_t>(std::min<uint64_t>(static_cast<uint64_t>(got) * b, remaining));
    const int answer = sink(buffer.data(), take);
    if (answer != 0) return answer;
    remaining -= take;
    sector += got;
    if (status != 0) return status;
  }
  return 0;
}

int CFileTypeRecovery::SaveFileData(_FILE_NODE_* node, const char16_t* targetPath, int /*destDepth*/) {
  if (node == nullptr || targetPath == nullptr) {
    if (m_recoveryCallback != nullptr) {
      m_recoveryCallback(m_context, kPercentDone, kRecoveryPhaseFile, kStatusInvalidParameter, targetPath);
    }
    return kStatusInvalidParameter;
  }
  const _FILE_NODE_ copy = *node;
  return SaveNodeToNewFile(
      copy, targetPath, m_recoveryCallback, m_context,
      [&](uint64_t total, const DataPieceSink& sink) { return ReadCarvedData(copy, total, sink); });
}

int CFileTypeRecovery::GetUnUsedSectorCount(unsigned long long& /*a*/, unsigned long long& /*b*/) { return 0; }

int CFileTypeRecovery::InitSearchCallBack(SearchCallback searchCallback, void* context) {
  m_results.SetSearchCallback(searchCallback, context);
  return m_results.Store() == nullptr ? kStatusInvalidParameter : 0;
}

int CFileTypeRecovery::SearchFileNode(const char16_t* key, std::vector<__SEARCH_FILE_INFO__>& out) {
  return m_results.Search(key, out);
}

int CFileTypeRecovery::BuildBitMapInfo() { return 0; }

int CFileTypeRecovery::PreView(_FILE_NODE_* node, char16_t* tempPath, unsigned char* buffer, int& size,
                               PreviewCallback previewCallback, void* context) {
  if (node == nullptr) return kStatusInvalidParameter;
  const _FILE_NODE_ copy = *node;
  return PreviewNodeData(copy, tempPath, buffer, size, previewCallback, context,
                         [&](uint64_t total, const DataPieceSink& sink) { return ReadCarvedData(copy, total, sink); });
}

}  // namespace vorlenta
