// Fixtures shared by the test groups: temporary folders, files, environment, real tools.
#pragma once

#include <sys/resource.h>

#include <csignal>
#include <cstdint>
#include <string>
#include <vector>

namespace vorlenta::test {

// A fresh folder under $TMPDIR, removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Sets an environment variable for the life of the object, then restores it.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  bool had_ = false;
  std::string old_;
};

// Runs a shell command; returns its exit status (-1 if it could not run) and, when asked,
// what it printed on standard output.
int RunCommand(const std::string& command, std::string* output = nullptr);
// Quotes a string for the shell.
std::string ShellQuote(const std::string& s);
// True when `tool` is on the PATH (the test scripts install every tool the tests use).
bool HaveTool(const std::string& tool);

// The file's bytes, or its first `limit` bytes.
std::vector<uint8_t> ReadFileBytes(const std::string& path, size_t limit = SIZE_MAX);
std::string ReadFileText(const std::string& path);
void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);
// Hex SHA-256 of a file, through sha256sum; empty if it cannot be computed.
std::string Sha256OfFile(const std::string& path);
// Deterministic pseudo-random bytes (xorshift), for filler data and file contents.
std::vector<uint8_t> RandomBytes(size_t count, uint64_t seed);

// Runs vorlenta-cli with `args`, the support folder `dir`/support and standard error into
// `dir`/stderr; returns its exit status and, when asked, its standard output.
int RunCli(const TempDir& dir, const std::string& args, std::string* output);

// Host files to put on test volumes; each returns `path`. A photo is made by ImageMagick.
std::string RandomFile(const std::string& path, size_t size, uint64_t seed);
std::string TextFile(const std::string& path, size_t size);
std::string JpegFile(const std::string& path, const std::string& geometry = "320x240");

// Limits the size of every file this process writes (RLIMIT_FSIZE) while it lives: writes
// past it fail with EFBIG, as on a full disk.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &old_);
    oldHandler_ = ::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = old_;
    limit.rlim_cur = bytes;
    ok_ = ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &old_);
    ::signal(SIGXFSZ, oldHandler_);
  }
  bool ok() const { return ok_; }

 private:
  rlimit old_;
  sighandler_t oldHandler_;
  bool ok_ = false;
};

}  // namespace vorlenta::test

// Fails the current test unless `tool` is installed.
#define VORLENTA_REQUIRE_TOOL(tool) \
  ASSERT_TRUE(::vorlenta::test::HaveTool(tool)) << "missing tool " << (tool) << ": run scripts/install-deps.sh"
