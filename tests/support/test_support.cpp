#include "support/test_support.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace vorlenta::test {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/vorlenta-test-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (::mkdtemp(buffer.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = buffer.data();
}

TempDir::~TempDir() {
  // Tests may leave read-only folders behind on purpose; make them writable to remove them.
  RunCommand("chmod -R u+rwx " + ShellQuote(path_) + " 2>/dev/null; rm -rf " + ShellQuote(path_));
}

ScopedEnv::ScopedEnv(const char* name, const std::string& value) : name_(name) {
  if (const char* old = std::getenv(name)) {
    had_ = true;
    old_ = old;
  }
  ::setenv(name, value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() {
  if (had_) {
    ::setenv(name_.c_str(), old_.c_str(), 1);
  } else {
    ::unsetenv(name_.c_str());
  }
}

int RunCommand(const std::string& command, std::string* output) {
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
    if (output != nullptr) output->append(buffer, n);
  }
  const int status = ::pclose(pipe);
  if (status == -1) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string ShellQuote(const std::string& s) {
  std::string quoted = "'";
  for (char c : s) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

bool HaveTool(const std::string& tool) {
  return RunCommand("command -v " + ShellQuote(tool) + " >/dev/null 2>&1") == 0;
}

std::vector<uint8_t> ReadFileBytes(const std::string& path, size_t limit) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return {};
  const std::streamoff size = in.tellg();
  const size_t count = std::min(static_cast<size_t>(size < 0 ? 0 : size), limit);
  std::vector<uint8_t> bytes(count);
  in.seekg(0);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(count));
  bytes.resize(static_cast<size_t>(in.gcount()));
  return bytes;
}

std::string ReadFileText(const std::string& path) {
  const std::vector<uint8_t> bytes = ReadFileBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string Sha256OfFile(const std::string& path) {
  std::string output;
  if (RunCommand("sha256sum " + ShellQuote(path) + " 2>/dev/null", &output) != 0) return std::string();
  return output.substr(0, output.find(' '));
}

std::vector<uint8_t> RandomBytes(size_t count, uint64_t seed) {
  std::vector<uint8_t> bytes(count);
  uint64_t state = seed * 0x9E3779B97F4A7C15ull + 1;
  for (size_t i = 0; i < count; ++i) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    bytes[i] = static_cast<uint8_t>(state >> 24);
  }
  return bytes;
}

int RunCli(const TempDir& dir, const std::string& args, std::string* output) {
  return RunCommand("VORLENTA_SUPPORT_DIR=" + ShellQuote(dir / "support") + " " + ShellQuote(VORLENTA_CLI_PATH) + " " +
                        args + " 2>" + ShellQuote(dir / "stderr"),
                    output);
}

std::string RandomFile(const std::string& path, size_t size, uint64_t seed) {
  WriteFileBytes(path, RandomBytes(size, seed));
  return path;
}

std::string TextFile(const std::string& path, size_t size) {
  std::string text;
  while (text.size() < size) text += "Line " + std::to_string(text.size()) + " of a small note.\n";
  text.resize(size);
  WriteFileBytes(path, std::vector<uint8_t>(text.begin(), text.end()));
  return path;
}

std::string JpegFile(const std::string& path, const std::string& geometry) {
  EXPECT_EQ(RunCommand("convert -size " + geometry + " plasma:fractal -quality 90 " + ShellQuote(path)), 0) << path;
  return path;
}

}  // namespace vorlenta::test
