#include "util/image_disks.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "util/platform.h"

namespace vorlenta {
namespace {

constexpr char kDiskDirVariable[] = "VORLENTA_DISK_DIR";
constexpr char kDiskSourcePrefix[] = "disk:";

std::string AbsolutePath(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  std::vector<char> cwd(4096);
  while (::getcwd(cwd.data(), cwd.size()) == nullptr) {
    if (errno != ERANGE) return path;
    cwd.resize(cwd.size() * 2);
  }
  return std::string(cwd.data()) + "/" + path;
}

int OpenReadable(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  ::close(fd);
  return 0;
}

}  // namespace

CImageDisks::~CImageDisks() { Release(); }

void CImageDisks::Release() {
  if (m_folder.empty()) return;
  for (const std::string& link : m_links) ::unlink(link.c_str());
  ::rmdir(m_folder.c_str());
  m_links.clear();
  m_folder.clear();
  if (m_hadDiskDir) {
    ::setenv(kDiskDirVariable, m_oldDiskDir.c_str(), 1);
  } else {
    ::unsetenv(kDiskDirVariable);
  }
}

int CImageDisks::Present(const std::vector<std::string>& paths) {
  Release();
  if (paths.empty() || paths.size() > static_cast<size_t>(kMaxDiskNumber) + 1) return 87;
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/vorlenta-disks-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (::mkdtemp(buffer.data()) == nullptr) return errno;
  m_folder = buffer.data();
  const char* old = std::getenv(kDiskDirVariable);
  m_hadDiskDir = old != nullptr;
  m_oldDiskDir = old != nullptr ? old : "";
  for (size_t i = 0; i < paths.size(); ++i) {
    const std::string link = m_folder + "/disk" + std::to_string(i);
    if (::symlink(AbsolutePath(paths[i]).c_str(), link.c_str()) != 0) {
      const int err = errno;
      Release();
      return err;
    }
    m_links.push_back(link);
  }
  ::setenv(kDiskDirVariable, m_folder.c_str(), 1);
  return 0;
}

int PresentSource(const std::string& source, CImageDisks& images, int& diskNumber) {
  const std::string prefix = kDiskSourcePrefix;
  if (source.compare(0, prefix.size(), prefix) == 0) {
    const std::string digits = source.substr(prefix.size());
    if (digits.empty() || digits.size() > 3 || digits.find_first_not_of("0123456789") != std::string::npos) return 87;
    const int n = std::atoi(digits.c_str());
    std::string path;
    const int status = GetDiskPath(n, path);
    if (status != 0) return status;
    const int readable = OpenReadable(path);
    if (readable != 0) return readable;
    diskNumber = n;
    return 0;
  }
  const int readable = OpenReadable(source);
  if (readable != 0) return readable;
  const int status = images.Present({source});
  if (status != 0) return status;
  diskNumber = 0;
  return 0;
}

}  // namespace vorlenta
