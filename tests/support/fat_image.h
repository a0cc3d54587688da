// Real FAT volumes for the tests, made by mkfs.fat and changed with mtools.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/recovery_parse.h"
#include "support/test_support.h"

namespace vorlenta::test {

// Formats `image` (created at `kilobytes` KiB) with mkfs.fat and the given options, e.g.
// "-F 12" or "-F 32 -n CARD". With `offsetSectors`, the volume starts that many sectors into
// the image (the image then holds a partition, not a superfloppy).
bool MakeFatVolume(const std::string& image, unsigned kilobytes, const std::string& options,
                   unsigned offsetSectors = 0);

// Runs one mtools command ("mcopy", "mdel", …) on the volume of `image` (at `offsetSectors`),
// with `args` as given (already quoted where needed). True on success.
bool Mtools(const std::string& image, const std::string& command, const std::string& args, unsigned offsetSectors = 0);

// Copies the host file `source` into the volume as `target` ("::/DIR/name.ext").
bool PutFile(const std::string& image, const std::string& source, const std::string& target,
             unsigned offsetSectors = 0);

// A FAT32 camera card of short names only, some deleted: live IMG_0001.JPG, MVI_0117.MOV,
// XYZ_0001.DAT in DCIM/100CANON and P1000001.JPG in DCIM/100_PANA; the folder DCIM/101_PANA
// deleted whole; DCIM/102_PANA deleted and its entry reused, so that only a deep pass finds
// its P1020005.JPG; ABC_0001.TXT, XBC_0002.TXT and WYZ_0001.DAT live in the root. `deleted`
// gets the path each deleted file is listed under by a walk of the tree (102_PANA's file by
// its name alone), with the host file holding its bytes.
bool MakeCameraCard(const std::string& folder, const std::string& image, std::map<std::string, std::string>& deleted);

// The tests of the FAT engines: the tools, a support folder of their own and a scan folder.
class FatEngineTest : public ::testing::Test {
 protected:
  void SetUp() override;
  std::string MakeFile(const std::string& name, size_t size, uint64_t seed);
  // Saves `node` into a fresh file of the test's folder and returns its path.
  std::string Save(IFileRecoveryParse& engine, _FILE_NODE_ node);
  // Each expected file (path -> original) is listed, and nothing else when `exact`, and saves
  // to a file with the original's hash.
  void ExpectRecovered(IFileRecoveryParse& engine, const std::map<std::string, _FILE_NODE_>& found,
                       const std::map<std::string, std::string>& expected, bool exact = true);

  TempDir dir_;
  std::unique_ptr<ScopedEnv> support_;
  int saved_ = 0;
};

}  // namespace vorlenta::test
