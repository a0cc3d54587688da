// exFAT card of 20,000 files: the fast scan (its metadata read once) and the whole deep scan
// through the coordinator, with their times.
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench.h"
#include "engine/log_file_manager.h"
#include "engine/recovery_driver.h"
#include "exfat/fast_exfat_recovery.h"
#include "scan/recovery_factory.h"
#include "util/text.h"

namespace vorlenta::bench {
namespace {

constexpr unsigned kCardMegabytes = 1024;
constexpr int kFolders = 200;
constexpr int kFilesPerFolder = 100;
constexpr int kDeletedPerFolder = 10;

int Shell(const std::string& command) { return std::system(command.c_str()); }

// Made by mkfs.exfat (32 KiB clusters, as on a card) and written through exfat-fuse: text
// notes of 2 to 12 KiB in folders, the first files of every folder deleted.
bool MakeExfatCard(const std::string& work, const std::string& image) {
  const std::string mount = work + "/mnt";
  const std::string script = work + "/fill.sh";
  FILE* out = std::fopen(script.c_str(), "w");
  if (out == nullptr) return false;
  std::fprintf(out,
               "set -e\ncd '%s'\nline=$(printf 'field notes of the survey, line after line %%.0s' $(seq 1 300))\n"
               "for ((f = 1; f <= %d; f++)); do printf -v ff '%%03d' $f; mkdir \"Folder $ff\"\n"
               "  for ((n = 1; n <= %d; n++)); do printf -v nn '%%03d' $n\n"
               "    printf '%%s' \"${line:0:$((2048 + (f * 37 + n * 101) %% 10240))}\" > \"Folder $ff/Field notes "
               "$ff-$nn.txt\"\n"
               "  done\n  for ((n = 1; n <= %d; n++)); do printf -v nn '%%03d' $n; rm \"Folder $ff/Field notes "
               "$ff-$nn.txt\"; done\n"
               "done\n",
               mount.c_str(), kFolders, kFilesPerFolder, kDeletedPerFolder);
  std::fclose(out);
  std::fprintf(stderr, "exfat: writing %d files through exfat-fuse...\n", kFolders * kFilesPerFolder);
  const std::string loop = work + "/loop";
  const bool made =
      Shell("truncate -s " + std::to_string(kCardMegabytes) + "M '" + image + "' && mkfs.exfat -c 32K -L BENCH '" +
            image + "' >/dev/null && losetup -f --show '" + image + "' > '" + loop + "' && mkdir -p '" + mount +
            "' && mount.exfat-fuse -o big_writes $(cat '" + loop + "') '" + mount + "' 2>/dev/null") == 0;
  const bool filled = made && Shell("bash '" + script + "'") == 0;
  Shell("umount '" + mount + "' 2>/dev/null; test -s '" + loop + "' && losetup -d $(cat '" + loop + "')");
  return filled;
}

}  // namespace

int RunExfatBench(const Args& args) {
  char pattern[] = "/tmp/vorlenta-bench-exfat-XXXXXX";
  const char* made = mkdtemp(pattern);
  if (made == nullptr) return 1;
  const std::string work = made;
  setenv("VORLENTA_SUPPORT_DIR", (work + "/support").c_str(), 1);
  const std::string image = args.empty() ? work + "/card.img" : args[0];
  if (args.empty() && !MakeExfatCard(work, image)) {
    std::fprintf(stderr, "exfat: cannot make the card image (mkfs.exfat, exfat-fuse and losetup needed)\n");
    Shell("rm -rf '" + work + "'");
    return 1;
  }
  CLogFileManager::GetInstance().Init();
  CLogFileManager::GetInstance().AddDirIndex();
  const std::u16string path = Utf8ToUtf16(image.c_str());
  CategorySelection all;
  ParseCategoryList("all", all);

  CFastExfatRecovery fast;
  double t0 = NowSeconds();
  if (fast.Init(path.c_str(), u'C') != 0 || fast.ScanDevice(nullptr) != 0) {
    std::fprintf(stderr, "exfat: %s is not an exFAT volume the fast scan can read\n", image.c_str());
    return 1;
  }
  const double fastSeconds = NowSeconds() - t0;
  std::vector<__SEARCH_FILE_INFO__> fastHits;
  fast.SearchFileNode(BuildSearchKey(all).c_str(), fastHits);

  t0 = NowSeconds();
  std::unique_ptr<IFileRecoveryParse> deep =
      CFileRecoveryFactory::GetInstance().CreateFileRecoveryInstance(path.c_str(), u'C', kRecoveryProfessional);
  if (deep == nullptr || deep->ScanDevice(nullptr) != 0) {
    std::fprintf(stderr, "exfat: the deep scan of %s failed\n", image.c_str());
    return 1;
  }
  const double deepSeconds = NowSeconds() - t0;
  std::vector<__SEARCH_FILE_INFO__> deepHits;
  deep->SearchFileNode(BuildSearchKey(all).c_str(), deepHits);

  CCrashGuard guard("recvSignal");
  t0 = NowSeconds();
  const RecoveryTotals totals =
      RecoverNodes(fast, fastHits, work + "/recovered", guard, nullptr, nullptr, nullptr, nullptr, nullptr);
  const double recoverSeconds = NowSeconds() - t0;
  Shell("rm -rf '" + work + "'");

  std::printf("exfat: directory clusters read by the fast scan: %llu (each once)\n",
              static_cast<unsigned long long>(fast.DirectoryClustersRead()));
  std::printf("exfat: deep scan (fast phase and pass over the free clusters): %.3f s, %zu files listed\n", deepSeconds,
              deepHits.size());
  std::printf("exfat: recovery: %u files, %u failed in %.3f s\n", totals.saved, totals.failed, recoverSeconds);
  std::printf("exfat: fast scan %.3f s, %zu deleted files found\n", fastSeconds, fastHits.size());
  return 0;
}

}  // namespace vorlenta::bench
