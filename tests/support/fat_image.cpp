#include "support/fat_image.h"

#include "support/test_support.h"

namespace vorlenta::test {
namespace {

std::string Drive(const std::string& image, unsigned offsetSectors) {
  std::string drive = image;
  if (offsetSectors != 0) drive += "@@" + std::to_string(static_cast<unsigned long long>(offsetSectors) * 512);
  return ShellQuote(drive);
}

}  // namespace

bool MakeFatVolume(const std::string& image, unsigned kilobytes, const std::string& options, unsigned offsetSectors) {
  const unsigned long long totalBytes = static_cast<unsigned long long>(kilobytes) * 1024 + offsetSectors * 512ull;
  std::string command = "truncate -s " + std::to_string(totalBytes) + " " + ShellQuote(image) + " && mkfs.fat " +
                        options + " ";
  if (offsetSectors != 0) command += "--offset " + std::to_string(offsetSectors) + " ";
  command += ShellQuote(image) + " " + std::to_string(kilobytes) + " >/dev/null 2>&1";
  return RunCommand(command) == 0;
}

bool Mtools(const std::string& image, const std::string& command, const std::string& args, unsigned offsetSectors) {
  // C.UTF-8 lets mtools store non-ASCII names as long names.
  return RunCommand("MTOOLS_SKIP_CHECK=1 LC_ALL=C.UTF-8 " + command + " -i " + Drive(image, offsetSectors) + " " + args +
                    " >/dev/null 2>&1") == 0;
}

bool PutFile(const std::string& image, const std::string& source, const std::string& target, unsigned offsetSectors) {
  return Mtools(image, "mcopy", ShellQuote(source) + " " + ShellQuote(target), offsetSectors);
}

}  // namespace vorlenta::test
