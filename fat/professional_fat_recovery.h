// The deep FAT engine: FAT directory sectors found anywhere on a device become files and
// folders, with their long names, even where no boot record describes the volume. The geometry
// of a volume (sectors per cluster, where cluster 2 starts) comes from the boot record when
// there is one, or from pairs of directory heads ("." naming cluster c found at sector s).
// Sectors that cannot be placed yet wait in a temporary file until a geometry places them or
// the final pass does. A file's data is read back as one contiguous run from its first
// cluster, with the geometry stored in its node.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "device/disk_reader.h"
#include "engine/engine_results.h"
#include "engine/node_extraction.h"
#include "engine/recovery_parse.h"
#include "fat/fat_entry_names.h"
#include "fat/fat_extraction.h"
#include "fat/first_letter_settler.h"

namespace vorlenta {

// One geometry (a virtual boot record): cluster c >= 2 starts at absolute sector
// VolumeStartSector + DataStartSector + (c - 2) * SectorsPerCluster.
struct __VIRTUAL_DBR_INFO__ {
  uint32_t SectorsPerCluster;
  uint32_t DataStartSector;
  uint64_t VolumeStartSector;
};

// One directory head seen: its "." entry names ClusterNo, and it lies at absolute SectorNo.
struct __FAT_SECTOR_OFFSET__ {
  uint32_t ClusterNo;
  uint64_t SectorNo;
};

class CProfessionalFatRecovery : public IFileRecoveryParse {
 public:
  CProfessionalFatRecovery();
  ~CProfessionalFatRecovery() override;
  CProfessionalFatRecovery(const CProfessionalFatRecovery&) = delete;
  CProfessionalFatRecovery& operator=(const CProfessionalFatRecovery&) = delete;

  int Init(int diskNumber, long long startSector, long long sectorCount, char16_t volumeTag) override;
  int Init(const char16_t* path, char16_t volumeTag) override;
  int InitCallBack(ScanCallback scanCallback, RecoveryCallback recoveryCallback, void* context, int weight) override;
  int ScanDevice(const char16_t* resultName) override;
  int GetChildrenFileNode(_FILE_NODE_* parent, unsigned int qualifier, std::vector<_FILE_NODE_>& out) override;
  int GetChildrenFileCount(_FILE_NODE_* parent, unsigned int qualifier, unsigned int& count) override;
  unsigned int GetLostFileCount() override;
  int GetFileNodeParentDirPath(_FILE_NODE_* node, char16_t* out, int capacity) override;
  int SaveFileData(_FILE_NODE_* node, const char16_t* targetPath, int destDepth) override;
  int GetUnUsedSectorCount(unsigned long long& a, unsigned long long& b) override;
  int InitSearchCallBack(SearchCallback searchCallback, void* context) override;
  int SearchFileNode(const char16_t* key, std::vector<__SEARCH_FILE_INFO__>& out) override;
  int BuildBitMapInfo() override;
  int PreView(_FILE_NODE_* node, char16_t* tempPath, unsigned char* buffer, int& size,
              PreviewCallback previewCallback, void* context) override;

  // Empties everything and opens the result store: a new one, or the existing store named
  // `storePrefix` when that is not empty. Status of the store.
  int ClearProfessionalVec(const char16_t* storePrefix);
  // Makes the boot record at the start of the region the first geometry, when it is one.
  int InitVirtualDbrInfo();
  // A directory head ("." and "..") at absolute sector `sectorNo`; 512 bytes, the caller's.
  int ParseFatFileRecord(const uint8_t* sector, uint64_t sectorNo);
  // A directory sector that is not a head.
  int ParseFDTFileRecord(const uint8_t* sector, uint64_t sectorNo);
  // The final pass: places what waits, writes the files that waited for their first letter
  // and the folders, and files the relations.
  int DealProfessionalRecordVec();
  // Short names another listing of the same volume met, to settle lost first letters with.
  void AddVolumeNames(const CFirstLetterSettler& names) { m_letters.AddVolumeNames(names); }
  // Puts the nodes written so far on disk (a checkpoint of the deep pass).
  int FlushResults() { return m_results.Flush(); }
  int SaveDataToTargetFile(_FILE_NODE_* node, const char16_t* target);
  int IsFileDataHealth(const _FILE_NODE_& node, unsigned sectorsPerCluster);

  // 1 and appends a geometry when the heads (c1 at s1) and (c2 at s2), c1 > c2, s1 > s2,
  // give one; else 0.
  int CalcVirtualDbr(uint32_t c1, uint64_t s1, uint32_t c2, uint64_t s2);
  // 1 and the first geometry under which `cluster` starts exactly at `sector`; else 0.
  int GetVirtualDbrInfo(uint64_t sector, uint32_t cluster, __VIRTUAL_DBR_INFO__* out) const;
  // 1 and the first geometry under which `sector` lies inside `cluster`; else 0.
  int GetNearestVirtualDbrInfo(uint64_t sector, uint32_t cluster, __VIRTUAL_DBR_INFO__* out) const;
  // 1 and the geometry whose data area starts closest before `sector`; 0 without any.
  int GetBestVirtalDbr(uint64_t sector, __VIRTUAL_DBR_INFO__* out) const;
  size_t GeometryCount() const { return m_geometries.size(); }
  // Sectors kept in the waiting file so far (for the bench's memory figures).
  uint64_t WaitingSectorCount() const { return m_waitingWritten; }

 private:
  struct Geometry {
    __VIRTUAL_DBR_INFO__ dbr;
    uint64_t dataStart;        // absolute sector of cluster 2
    uint32_t rootCluster;      // clusters that stand for the root besides 0
    uint64_t rootAreaStart;    // FAT12/16 boot geometry: the fixed root area
    uint32_t rootAreaSectors;
    bool boot;
    bool fat32;                // high cluster words mean something
    int agreements;            // heads or ".." entries that agreed with a derived geometry
  };
  // Which directory a sector belongs to: (geometry << 32 | cluster), or the root.
  using DirRef = uint64_t;
  static constexpr DirRef kRootRef = ~0ull;
  // What the first sector of a cluster shows, cached per (geometry, cluster).
  struct SectorFacts {
    bool readable = false;
    bool head = false;
    bool label = false;
    uint32_t dot = 0;
    uint32_t dotdot = 0;
  };
  // The place of the sector being parsed and of the directory it continues.
  struct Context {
    int geometry = -1;
    uint32_t cluster = 0;
    uint64_t clusterStart = 0;
    uint64_t end = 0;  // first sector after the cluster (or the root area)
    DirRef dir = kRootRef;
    bool ended = false;
    // A head no geometry places yet: the sectors right after it wait with it.
    bool waiting = false;
    uint64_t lastSector = 0;
  };
  // A long name cut by the end of a buffer.
  struct Fragment {
    uint8_t checksum = 0;
    int geometry = -1;
    DirRef dir = kRootRef;
    uint64_t sector = 0;  // where the kept bytes lie
    std::vector<uint8_t> bytes;
  };
  // A directory entry met in some directory sector.
  struct DirEntryInfo {
    _FILE_NODE_ node;
    DirRef parent;
    bool lostLetter;  // deleted and known by its short name alone
    ShortNameHead head;
  };
  // A deleted file known by its short name alone, written in the final pass when every name
  // met can settle its lost letter.
  struct WaitingFile {
    _FILE_NODE_ node;
    DirRef dir;
    ShortNameHead head;
  };
  struct ParsePlace {
    int geometry;
    DirRef dir;
    uint64_t firstSector;  // holds bytes [0, firstBytes)
    size_t firstBytes;
    uint64_t nextSector;  // holds the bytes after them
  };

  DirRef RefOf(int g, uint32_t cluster) const;
  uint64_t ClusterStart(int g, uint32_t cluster) const;
  bool IsClusterStart(int g, uint64_t sector, uint32_t& cluster) const;
  bool InRootArea(int g, uint64_t sector) const;
  int FindHeadGeometry(uint32_t cluster, uint64_t sector) const;
  int ObserveHead(uint32_t cluster, uint64_t sector);
  int AddGeometry(uint32_t spc, uint64_t dataStart);
  int BestGeometryIndex(uint64_t sector) const;
  bool TrustedGeometry(int g) const { return m_geometries[g].boot || m_geometries[g].agreements > 0; }

  const SectorFacts& FirstSectorFacts(int g, uint32_t cluster);
  uint16_t GetDirRealHighClusterNO(int g, uint16_t low);
  uint16_t GetFileRealHighClusterNO(int g, uint16_t low, const std::string& name);
  uint32_t EntryCluster(int g, const FAT32_Entry& entry, bool directory, const std::string& name);
  // The directory a sector belongs to from its own entries: a volume label marks the root, a
  // subdirectory whose head checks out names its parent. False when nothing tells.
  bool GetParentClusterNO(int g, const uint8_t* buffer, size_t length, DirRef& dir);
  // Directory levels between `dir` and the root along the placement parents.
  uint32_t GetRootParentDirIndex(DirRef dir);
  DirRef PlacementParent(DirRef dir);
  DirRef ResolvedParent(DirRef dir);

  bool PlaceHead(const uint8_t* buffer, uint64_t sector, Context& ctx);
  bool PlaceSector(const uint8_t* buffer, uint64_t sector, Context& ctx, bool final);
  void ParseWithPlace(const uint8_t* buffer, uint64_t sector, int g, uint32_t cluster, DirRef dir, uint64_t spanEnd,
                      Context& ctx);
  bool ParseEntries(const uint8_t* buffer, size_t length, const ParsePlace& place, Fragment& fragment);
  void AddFile(int g, const FAT32_Entry& entry, const std::string& name, uint64_t recordSector, DirRef dir,
               bool lostLetter);
  void AddDirectoryEntry(int g, const FAT32_Entry& entry, const std::string& name, uint64_t recordSector, DirRef dir,
                         bool lostLetter);
  bool ContinuesFragment(const Fragment& fragment, const uint8_t* sector) const;
  void JoinAndParse(Fragment fragment, const uint8_t* sector, uint64_t sectorNo, Context& ctx);
  void KeepFragment(Fragment&& fragment, Context& ctx);
  bool TakeFragmentFor(const uint8_t* sector, uint64_t sectorNo, Fragment& out);

  int KeepWaiting(const uint8_t* sector, uint64_t sectorNo);
  bool ReadWaiting(size_t index, uint8_t* sector) const;
  // Places the waiting sectors that can be placed now, in ascending order; `final` places
  // every one with the best geometry there is.
  void ParseUnDealFileMap(bool final);
  int OpenWaitingFile();

  uint32_t StoreKeyOf(DirRef dir);
  uint32_t DirectoryDepth(uint32_t storeKey) const;
  int ReadNodeData(const _FILE_NODE_& node, uint64_t total, const DataPieceSink& sink);

  CDiskReader m_reader;
  bool m_open = false;
  long long m_start = 0;
  long long m_count = 0;
  char16_t m_volumeTag = 0;

  std::vector<Geometry> m_geometries;
  std::vector<__FAT_SECTOR_OFFSET__> m_observations;
  // (sectors per cluster, data start) a head implies for each allowed cluster size, to the
  // first head that implied it: a second head of the same volume finds the first at once.
  std::unordered_map<uint64_t, size_t> m_pairIndex;
  std::unordered_map<DirRef, SectorFacts> m_facts;
  std::unordered_map<uint64_t, uint16_t> m_fileHighWords;
  std::unordered_map<DirRef, DirEntryInfo> m_dirMap;
  // Files written during the pass, filed under their directory in the final pass.
  std::vector<std::pair<uint32_t, DirRef>> m_fileRelations;
  std::vector<WaitingFile> m_letterWaiting;
  CFirstLetterSettler m_letters;
  std::unordered_map<DirRef, uint32_t> m_storeKeys;
  uint32_t m_nextStoreKey = 0;
  std::unordered_map<DirRef, uint32_t> m_depths;
  std::unordered_map<DirRef, DirRef> m_parents;

  Context m_context;
  // Cut long names by the sector that would continue them, and those that end a cluster (a
  // later cluster start of the same geometry may continue them).
  std::unordered_map<uint64_t, Fragment> m_fragments;
  std::vector<Fragment> m_clusterEndFragments;

  // Waiting sectors: (sector, offset in the waiting file), ascending by sector; the offset's
  // top bit marks a sector placed since.
  std::vector<std::pair<uint64_t, uint64_t>> m_waiting;
  int m_waitingFd = -1;
  uint64_t m_waitingWritten = 0;
  bool m_replaying = false;

  CEngineResults m_results;
  CFatExtraction m_extraction;
  ScanCallback m_scanCallback = nullptr;
  RecoveryCallback m_recoveryCallback = nullptr;
  void* m_callbackContext = nullptr;
  int m_weight = 0;
};

}  // namespace vorlenta
