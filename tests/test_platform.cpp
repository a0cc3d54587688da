// Disk numbering and the support folder.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/test_support.h"
#include "util/platform.h"

namespace vorlenta {
namespace {

// Lays out a fake sysfs tree the way the kernel shows whole disks, loops, RAM disks.
void MakeBlockEntry(const test::TempDir& root, const std::string& name, const std::string& extra) {
  const std::string dir = root / ("block/" + name);
  ASSERT_EQ(test::RunCommand("mkdir -p " + test::ShellQuote(dir) + " && cd " + test::ShellQuote(dir) + " && " + extra), 0);
}

TEST(DiskNumbering, WholeDisksFromSysBlockSortedByName) {
  test::TempDir root;
  MakeBlockEntry(root, "sdb", "ln -s ../../devices/x device");
  MakeBlockEntry(root, "sda", "ln -s ../../devices/y device");
  MakeBlockEntry(root, "nvme0n1", "ln -s ../../devices/z device");
  MakeBlockEntry(root, "mmcblk0", "ln -s ../../devices/w device");
  MakeBlockEntry(root, "loop0", "mkdir loop && echo /images/card.img > loop/backing_file");
  MakeBlockEntry(root, "loop1", "true");  // unbound loop device: no backing file
  MakeBlockEntry(root, "ram0", "ln -s ../../devices/r device");
  MakeBlockEntry(root, "zram0", "ln -s ../../devices/q device");
  MakeBlockEntry(root, "dm-0", "true");  // a mapper device without a device link
  MakeBlockEntry(root, "sda1", "ln -s ../../devices/y device && echo 1 > partition");
  const std::vector<std::string> expected = {"loop0", "mmcblk0", "nvme0n1", "sda", "sdb"};
  EXPECT_EQ(ListBlockDisks(root.path()), expected);
  EXPECT_TRUE(ListBlockDisks(root / "missing").empty());
}

TEST(DiskNumbering, DiskDirectoryOverridesTheMachinesDisks) {
  test::TempDir dir;
  test::ScopedEnv env("VORLENTA_DISK_DIR", dir.path());
  std::string path;
  ASSERT_EQ(GetDiskPath(0, path), 0);
  EXPECT_EQ(path, dir / "disk0");
  ASSERT_EQ(GetDiskPath(127, path), 0);
  EXPECT_EQ(path, dir / "disk127");
  EXPECT_EQ(GetDiskPath(128, path), 87);
  EXPECT_EQ(GetDiskPath(-1, path), 87);
}

TEST(SupportFolder, EnvironmentOverrideAndScanLogBelowIt) {
  test::TempDir dir;
  {
    test::ScopedEnv env("VORLENTA_SUPPORT_DIR", dir.path());
    EXPECT_EQ(GetSupportDir(), dir.path() + "/");
    EXPECT_EQ(GetScanLogDir(), dir.path() + "/ScanLog/");
  }
  test::ScopedEnv unset("VORLENTA_SUPPORT_DIR", "");
  if (geteuid() == 0) {
    EXPECT_EQ(GetSupportDir(), "/var/lib/tarnivel/");
  } else {
    test::ScopedEnv xdg("XDG_DATA_HOME", dir.path());
    EXPECT_EQ(GetSupportDir(), dir.path() + "/tarnivel/");
  }
}

}  // namespace
}  // namespace vorlenta
