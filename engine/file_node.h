// The 344-byte record of one file or directory found by an engine. It is stored byte for byte
// in the scan result store, so its layout is a file format: encode and decode it only here.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorlenta {

// Which engine produced a node; the coordinator routes saves and previews by it.
enum SourceKindValue : uint32_t {
  kSourceFast = 0,
  kSourceFastFat = 1,
  kSourceDeepNtfs = 2,
  kSourceDeepFat = 3,
  kSourceCarved = 4,
  kSourceExfat = 5,
  kSourceDeepExfat = 6,
};

constexpr size_t kFileNodeSize = 344;
constexpr size_t kFileNameBytes = 256;

struct _FILE_NODE_ {
  uint32_t VolumeTag;
  uint32_t SourceKind;
  uint32_t IsDirectory;
  uint32_t Reserved;
  uint32_t IsHealthy;
  uint32_t FileIndex;
  uint32_t DirKey;
  int32_t ClusterBytes;
  uint64_t CreateTime;
  uint64_t AccessTime;
  uint64_t WriteTime;
  uint64_t FileSize;
  uint64_t DataStartSector;
  uint64_t RecordSector;
  uint64_t VolumeStartSector;
  char FileName[kFileNameBytes];
};

static_assert(sizeof(_FILE_NODE_) == kFileNodeSize, "the node record is 344 bytes on disk");
static_assert(offsetof(_FILE_NODE_, VolumeTag) == 0, "node layout");
static_assert(offsetof(_FILE_NODE_, SourceKind) == 4, "node layout");
static_assert(offsetof(_FILE_NODE_, IsDirectory) == 8, "node layout");
static_assert(offsetof(_FILE_NODE_, Reserved) == 12, "node layout");
static_assert(offsetof(_FILE_NODE_, IsHealthy) == 16, "node layout");
static_assert(offsetof(_FILE_NODE_, FileIndex) == 20, "node layout");
static_assert(offsetof(_FILE_NODE_, DirKey) == 24, "node layout");
static_assert(offsetof(_FILE_NODE_, ClusterBytes) == 28, "node layout");
static_assert(offsetof(_FILE_NODE_, CreateTime) == 32, "node layout");
static_assert(offsetof(_FILE_NODE_, AccessTime) == 40, "node layout");
static_assert(offsetof(_FILE_NODE_, WriteTime) == 48, "node layout");
static_assert(offsetof(_FILE_NODE_, FileSize) == 56, "node layout");
static_assert(offsetof(_FILE_NODE_, DataStartSector) == 64, "node layout");
static_assert(offsetof(_FILE_NODE_, RecordSector) == 72, "node layout");
static_assert(offsetof(_FILE_NODE_, VolumeStartSector) == 80, "node layout");
static_assert(offsetof(_FILE_NODE_, FileName) == 88, "node layout");

// A search hit is a copy of the matching node.
using __SEARCH_FILE_INFO__ = _FILE_NODE_;

// Little-endian encoding of the on-disk record. The name's bytes are copied as they are;
// decoding forces a terminator into the last byte so a damaged record cannot run off.
void EncodeFileNode(const _FILE_NODE_& node, uint8_t out[kFileNodeSize]);
void DecodeFileNode(const uint8_t in[kFileNodeSize], _FILE_NODE_& node);

// Children order: files before directories, then names compared case-insensitively.
bool VectorCmp(const _FILE_NODE_& a, const _FILE_NODE_& b);

// Copies an 8-bit name into the node, cut to fit and always terminated.
void SetFileNodeName(_FILE_NODE_& node, const char* name);

// 64-bit key under which the store files children: qualifier << 32 | parent key.
inline uint64_t MakeRelationKey(uint32_t qualifier, uint32_t dirKey) {
  return (static_cast<uint64_t>(qualifier) << 32) | dirKey;
}

}  // namespace vorlenta
