// Real exFAT volumes for the tests: made by mkfs.exfat, written through exfat-fuse on a loop
// device.
#pragma once

#include <string>

namespace vorlenta::test {

// Formats `image` (created at `megabytes` MiB unless it exists) with mkfs.exfat and `options`.
bool MakeExfatVolume(const std::string& image, unsigned megabytes, const std::string& options);

// The volume of `image`, mounted at `point` through a loop device; unmounted and detached when
// the object goes, whatever the test's outcome.
class ExfatMount {
 public:
  ExfatMount(const std::string& image, const std::string& point);
  ~ExfatMount() { Unmount(); }
  ExfatMount(const ExfatMount&) = delete;
  ExfatMount& operator=(const ExfatMount&) = delete;
  // Runs a shell command with the mount point as working folder. True on success.
  bool Run(const std::string& command) const;
  // Puts everything on the image and lets the loop device go. True when both worked.
  bool Unmount();

 private:
  std::string point_;
  std::string loop_;
  bool mounted_ = false;
};

}  // namespace vorlenta::test
