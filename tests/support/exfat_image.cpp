#include "support/exfat_image.h"

#include "support/test_support.h"

namespace vorlenta::test {

bool MakeExfatVolume(const std::string& image, unsigned megabytes, const std::string& options) {
  return RunCommand("test -e " + ShellQuote(image) + " || truncate -s " + std::to_string(megabytes) + "M " +
                    ShellQuote(image)) == 0 &&
         RunCommand("mkfs.exfat " + options + " " + ShellQuote(image) + " >/dev/null 2>&1") == 0;
}

ExfatMount::ExfatMount(const std::string& image, const std::string& point) : point_(point) {
  // exfat-fuse needs a block device.
  if (RunCommand("losetup -f --show " + ShellQuote(image), &loop_) != 0) return;
  loop_.erase(loop_.find_last_not_of('\n') + 1);
  mounted_ = RunCommand("mkdir -p " + ShellQuote(point) + " && mount.exfat-fuse -o big_writes " + ShellQuote(loop_) +
                        " " + ShellQuote(point) + " >/dev/null 2>&1") == 0;
}

bool ExfatMount::Run(const std::string& command) const {
  return mounted_ && RunCommand("cd " + ShellQuote(point_) + " && " + command) == 0;
}

bool ExfatMount::Unmount() {
  bool ok = true;
  if (mounted_) ok = RunCommand("umount " + ShellQuote(point_) + " || fusermount -u " + ShellQuote(point_)) == 0;
  mounted_ = false;
  if (!loop_.empty()) ok = RunCommand("losetup -d " + ShellQuote(loop_)) == 0 && ok;
  loop_.clear();
  return ok;
}

}  // namespace vorlenta::test
