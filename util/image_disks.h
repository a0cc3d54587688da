// Presents image files and device paths as disk numbers, so that they are read through the
// same disk-number code path as the machine's disks: a private folder holds links disk0,
// disk1, … to them and VORLENTA_DISK_DIR points there while the object lives.
#pragma once

#include <string>
#include <vector>

namespace vorlenta {

class CImageDisks {
 public:
  CImageDisks() = default;
  // Removes the links and the folder and restores VORLENTA_DISK_DIR.
  ~CImageDisks();
  CImageDisks(const CImageDisks&) = delete;
  CImageDisks& operator=(const CImageDisks&) = delete;

  // Presents `paths` (relative ones are taken from the current folder) as disks 0, 1, ….
  // Returns 0; 87 for no paths or more than the platform's disk numbers; or the errno of
  // creating the folder or a link. A previous presentation is released first.
  int Present(const std::vector<std::string>& paths);
  void Release();

  const std::string& Folder() const { return m_folder; }
  size_t Count() const { return m_links.size(); }

 private:
  std::string m_folder;
  std::vector<std::string> m_links;
  bool m_hadDiskDir = false;
  std::string m_oldDiskDir;
};

// Turns a SOURCE of the command line into a disk number: "disk:N" is disk N of the platform
// layer; anything else is an image or device path, presented through `images` as disk 0.
// The disk is opened read-only once to make sure it can be read. Returns 0, 87 for a
// malformed or unknown "disk:N", or the errno of the open.
int PresentSource(const std::string& source, CImageDisks& images, int& diskNumber);

}  // namespace vorlenta
