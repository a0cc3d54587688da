// The one place that asks the operating system for disks, folders and sizes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vorlenta {

constexpr int kMaxDiskNumber = 127;

// Path of disk N (0 to kMaxDiskNumber): "/dev/diskN" on macOS; $VORLENTA_DISK_DIR/diskN when that
// variable is set; otherwise the N-th whole disk of /sys/block. Returns 0 or 87 (no such disk).
int GetDiskPath(int diskNumber, std::string& path);

// The paths of disks 0 to kMaxDiskNumber, as GetDiskPath gives them, from one look at the
// machine's disks; an empty path where there is no such disk.
std::vector<std::string> GetDiskPaths();

// Whole disks listed under a sysfs root (normally "/sys"), sorted by name: entries of block/
// with a device link, and loop devices with a backing file; never ram, zram or partitions.
std::vector<std::string> ListBlockDisks(const std::string& sysRoot);

// Size in bytes of an open file or block device, or -1 with errno set.
int64_t GetDeviceSize(int fd);

// The support folder, ending in "/": $VORLENTA_SUPPORT_DIR, else the system or user data folder.
std::string GetSupportDir();
// The scan-log folder inside the support folder, ending in "/".
std::string GetScanLogDir();

// Creates `path` and its missing parents with `mode` (which must let the owner enter it).
// Returns 0, or the errno of the mkdir that failed.
int MakeDirectories(const std::string& path, unsigned mode);

// Mode of the folders this program creates: enterable by everyone, writable by the owner.
constexpr unsigned kFolderMode = 0755;
// Mode of an ordinary user's own support and scan-log folders.
constexpr unsigned kSupportFolderMode = 0777;
// As root the support folders are root's alone: a folder every user can write would let anyone
// plant links that redirect root's writes.
constexpr unsigned kRootSupportFolderMode = 0755;
// The mode for the support folders of this process: kRootSupportFolderMode as root.
unsigned SupportFolderMode();
// Creates a support folder (and its parents) with SupportFolderMode(). As root an existing
// folder must be a real folder owned by root, and is narrowed to kRootSupportFolderMode.
// Returns 0, or errno (EPERM for a folder root must not trust).
int MakeSupportFolder(const std::string& path);

// The model name the system gives the disk at `path` (sysfs "device/model"), or "".
std::string GetDiskModel(const std::string& path);
// Mode of files this program creates.
constexpr unsigned kFileMode = 0644;

}  // namespace vorlenta
