// vorlenta-cli: the command-line front end on the core library.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli/cmd_partitions.h"
#include "cli/cmd_scan.h"
#include "util/debug_log.h"
#include "util/platform.h"
#include "util/text.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "usage:\n"
    "  vorlenta-cli partitions [IMAGE...]\n"
    "  vorlenta-cli scan    SOURCE      [--partition K | --start S --count C] [--fast]\n"
    "                       [--categories LIST] [--resume] [--json]\n"
    "  vorlenta-cli recover SOURCE DEST [--partition K | --start S --count C] [--fast]\n"
    "                       [--categories LIST] [--resume] [--json]\n"
    "  vorlenta-cli --help | --version\n"
    "\n"
    "SOURCE is an image file, a device path (opened read-only) or disk:N.\n"
    "LIST is a comma list of photo,music,office,video,archive,other, or all.\n"
    "The default is the deep scan: the file system's own records, then every unused sector\n"
    "for directories, file records and file signatures. --fast reads the records only;\n"
    "--resume continues a stopped deep scan of the same area.\n";

// Debug lines go to the support folder, not to wherever the user happens to stand.
void RouteDebugChannel() {
  const std::string support = vorlenta::GetSupportDir();
  if (vorlenta::MakeSupportFolder(support) == 0) {
    vorlenta::SetDebugLogPath(support + vorlenta::kDefaultDebugLogName);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs(kUsage, stderr);
    return kExitUsage;
  }
  const std::string command = argv[1];
  if (command == "--help" || command == "-h") {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  if (command == "--version") {
    std::printf("vorlenta-cli %s\n", VORLENTA_VERSION);
    return kExitOk;
  }
  RouteDebugChannel();
  if (vorlenta::inner_initUnicodeMap("UTF-8") != 0) vorlenta::DebugMessage("inner_initUnicodeMap failed\n");
  if (command == "partitions") return vorlenta::RunPartitionsCommand(std::vector<std::string>(argv + 2, argv + argc));
  if (command == "scan" || command == "recover") {
    return vorlenta::RunScanCommand(std::vector<std::string>(argv + 2, argv + argc), command == "recover");
  }
  std::fprintf(stderr, "vorlenta-cli: unknown command %s\n%s", command.c_str(), kUsage);
  return kExitUsage;
}
