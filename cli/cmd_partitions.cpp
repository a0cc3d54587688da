#include "cli/cmd_partitions.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "device/partition_manager.h"
#include "util/image_disks.h"
#include "util/platform.h"

namespace vorlenta {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitUsage = 2;
constexpr int kExitSource = 3;
constexpr unsigned long long kBytesPerSector = 512;

// A tab or line break inside a stored name would break the row format.
std::string PrintableName(std::string name) {
  for (char& c : name) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  return name;
}

constexpr int kCannotOpen = 1;
constexpr int kCannotRead = 2;

// Opens the image read-only and reads its first byte, leaving errno set on failure: a folder
// opens but cannot be read.
int ProbeImage(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return kCannotOpen;
  unsigned char byte;
  ssize_t n;
  do {
    n = ::read(fd, &byte, 1);
  } while (n < 0 && errno == EINTR);
  const int err = errno;
  ::close(fd);
  errno = err;
  return n < 0 ? kCannotRead : 0;
}

}  // namespace

int RunPartitionsCommand(const std::vector<std::string>& args) {
  for (const std::string& arg : args) {
    if (!arg.empty() && arg[0] == '-') {
      std::fprintf(stderr, "vorlenta-cli: unknown option %s for partitions\n", arg.c_str());
      return kExitUsage;
    }
  }
  if (args.size() > static_cast<size_t>(kMaxDiskNumber) + 1) {
    std::fprintf(stderr, "vorlenta-cli: at most %d images can be listed at once\n", kMaxDiskNumber + 1);
    return kExitUsage;
  }
  for (const std::string& image : args) {
    const int status = ProbeImage(image);
    if (status != 0) {
      std::fprintf(stderr, "vorlenta-cli: cannot %s %s: %s\n", status == kCannotOpen ? "open" : "read", image.c_str(),
                   std::strerror(errno));
      return kExitSource;
    }
  }
  CImageDisks images;
  if (!args.empty()) {
    const int status = images.Present(args);
    if (status != 0) {
      std::fprintf(stderr, "vorlenta-cli: cannot present the images as disks: %s\n", std::strerror(status));
      return kExitSource;
    }
  }

  CPartitionManager manager;
  PartitionMap disks;
  manager.GetPartitionItems(disks);
  std::printf("disk\tpartition\tstart\tend\tsize\tname\n");
  for (const auto& disk : disks) {
    int index = 0;
    for (const _PARTITION_ITEM_& item : disk.second) {
      std::printf("%d\t%d\t%llu\t%llu\t%llu\t%s\n", disk.first, ++index,
                  static_cast<unsigned long long>(item.u64StartSector),
                  static_cast<unsigned long long>(item.u64EndSector),
                  static_cast<unsigned long long>(PartitionSectorCount(item)) * kBytesPerSector,
                  PrintableName(PartitionNameUtf8(item)).c_str());
    }
  }
  return kExitOk;
}

}  // namespace vorlenta
