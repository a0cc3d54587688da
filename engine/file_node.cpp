#include "engine/file_node.h"

#include <strings.h>

#include <cstring>

#include "util/endian.h"

namespace vorlenta {

void EncodeFileNode(const _FILE_NODE_& n, uint8_t out[kFileNodeSize]) {
  WriteU32LE(out, offsetof(_FILE_NODE_, VolumeTag), n.VolumeTag);
  WriteU32LE(out, offsetof(_FILE_NODE_, SourceKind), n.SourceKind);
  WriteU32LE(out, offsetof(_FILE_NODE_, IsDirectory), n.IsDirectory);
  WriteU32LE(out, offsetof(_FILE_NODE_, Reserved), n.Reserved);
  WriteU32LE(out, offsetof(_FILE_NODE_, IsHealthy), n.IsHealthy);
  WriteU32LE(out, offsetof(_FILE_NODE_, FileIndex), n.FileIndex);
  WriteU32LE(out, offsetof(_FILE_NODE_, DirKey), n.DirKey);
  WriteU32LE(out, offsetof(_FILE_NODE_, ClusterBytes), static_cast<uint32_t>(n.ClusterBytes));
  WriteU64LE(out, offsetof(_FILE_NODE_, CreateTime), n.CreateTime);
  WriteU64LE(out, offsetof(_FILE_NODE_, AccessTime), n.AccessTime);
  WriteU64LE(out, offsetof(_FILE_NODE_, WriteTime), n.WriteTime);
  WriteU64LE(out, offsetof(_FILE_NODE_, FileSize), n.FileSize);
  WriteU64LE(out, offsetof(_FILE_NODE_, DataStartSector), n.DataStartSector);
  WriteU64LE(out, offsetof(_FILE_NODE_, RecordSector), n.RecordSector);
  WriteU64LE(out, offsetof(_FILE_NODE_, VolumeStartSector), n.VolumeStartSector);
  std::memcpy(out + offsetof(_FILE_NODE_, FileName), n.FileName, kFileNameBytes);
}

void DecodeFileNode(const uint8_t in[kFileNodeSize], _FILE_NODE_& n) {
  constexpr size_t len = kFileNodeSize;
  n.VolumeTag = ReadU32LE(in, len, offsetof(_FILE_NODE_, VolumeTag));
  n.SourceKind = ReadU32LE(in, len, offsetof(_FILE_NODE_, SourceKind));
  n.IsDirectory = ReadU32LE(in, len, offsetof(_FILE_NODE_, IsDirectory));
  n.Reserved = ReadU32LE(in, len, offsetof(_FILE_NODE_, Reserved));
  n.IsHealthy = ReadU32LE(in, len, offsetof(_FILE_NODE_, IsHealthy));
  n.FileIndex = ReadU32LE(in, len, offsetof(_FILE_NODE_, FileIndex));
  n.DirKey = ReadU32LE(in, len, offsetof(_FILE_NODE_, DirKey));
  n.ClusterBytes = static_cast<int32_t>(ReadU32LE(in, len, offsetof(_FILE_NODE_, ClusterBytes)));
  n.CreateTime = ReadU64LE(in, len, offsetof(_FILE_NODE_, CreateTime));
  n.AccessTime = ReadU64LE(in, len, offsetof(_FILE_NODE_, AccessTime));
  n.WriteTime = ReadU64LE(in, len, offsetof(_FILE_NODE_, WriteTime));
  n.FileSize = ReadU64LE(in, len, offsetof(_FILE_NODE_, FileSize));
  n.DataStartSector = ReadU64LE(in, len, offsetof(_FILE_NODE_, DataStartSector));
  n.RecordSector = ReadU64LE(in, len, offsetof(_FILE_NODE_, RecordSector));
  n.VolumeStartSector = ReadU64LE(in, len, offsetof(_FILE_NODE_, VolumeStartSector));
  std::memcpy(n.FileName, in + offsetof(_FILE_NODE_, FileName), kFileNameBytes);
  n.FileName[kFileNameBytes - 1] = '\0';
}

bool VectorCmp(const _FILE_NODE_& a, const _FILE_NODE_& b) {
  const bool aDir = a.IsDirectory != 0;
  const bool bDir = b.IsDirectory != 0;
  if (aDir != bDir) return !aDir;
  return ::strcasecmp(a.FileName, b.FileName) < 0;
}

void SetFileNodeName(_FILE_NODE_& node, const char* name) {
  std::memset(node.FileName, 0, kFileNameBytes);
  if (name == nullptr) return;
  std::strncpy(node.FileName, name, kFileNameBytes - 1);
}

}  // namespace vorlenta
