#include "cli/cmd_scan.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "device/disk_reader.h"
#include "device/partition_manager.h"
#include "engine/file_node.h"
#include "engine/log_file_manager.h"
#include "engine/recovery_driver.h"
#include "engine/status.h"
#include "scan/professional_recovery.h"
#include "scan/recovery_factory.h"
#include "util/destination_check.h"
#include "util/image_disks.h"
#include "util/os_helpers.h"
#include "util/platform.h"
#include "util/text.h"

namespace vorlenta {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitSomeFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitSource = 3;
constexpr int kExitInterrupted = 130;
constexpr char16_t kVolumeTag = u'C';

std::atomic<bool> g_interrupted{false};

// The first Ctrl-C asks the work to stop at its next report; a second one ends at once.
void OnInterrupt(int) {
  if (g_interrupted.exchange(true)) _exit(kExitInterrupted);
}

struct Options {
  std::string source;
  std::string destination;
  int partition = 0;
  bool haveStart = false;
  bool haveCount = false;
  long long start = 0;
  long long count = 0;
  bool fast = false;
  bool resume = false;
  bool json = false;
  CategorySelection categories = DefaultCategories();
};

bool ParseNumber(const std::string& text, long long& value) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 18) return false;
  value = std::atoll(text.c_str());
  return true;
}

// Fills `o` from the words after the command; an error sentence on failure.
bool ParseOptions(const std::vector<std::string>& args, bool recover, Options& o, std::string& error) {
  std::vector<std::string> positional;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= args.size()) {
        error = a + " needs a value";
        return false;
      }
      out = args[++i];
      return true;
    };
    std::string v;
    long long n = 0;
    if (a == "--fast") {
      o.fast = true;
    } else if (a == "--resume") {
      o.resume = true;
    } else if (a == "--json") {
      o.json = true;
    } else if (a == "--partition") {
      if (!value(v) || !ParseNumber(v, n) || n < 1 || n > 1000) {
        if (error.empty()) error = "--partition takes a partition number from 1";
        return false;
      }
      o.partition = static_cast<int>(n);
    } else if (a == "--start" || a == "--count") {
      if (!value(v) || !ParseNumber(v, n)) {
        if (error.empty()) error = a + " takes a sector number";
        return false;
      }
      (a == "--start" ? o.start : o.count) = n;
      (a == "--start" ? o.haveStart : o.haveCount) = true;
    } else if (a == "--categories") {
      if (!value(v) || !ParseCategoryList(v, o.categories)) {
        if (error.empty()) error = "--categories takes a comma list of photo,music,office,video,archive,other or all";
        return false;
      }
    } else if (a.size() > 1 && a[0] == '-') {
      error = "unknown option " + a;
      return false;
    } else {
      positional.push_back(a);
    }
  }
  const size_t wanted = recover ? 2 : 1;
  if (positional.size() != wanted) {
    error = recover ? "recover needs SOURCE and DEST" : "scan needs one SOURCE";
    return false;
  }
  o.source = positional[0];
  if (recover) o.destination = positional[1];
  if (o.partition != 0 && (o.haveStart || o.haveCount)) {
    error = "--partition and --start/--count exclude each other";
    return false;
  }
  if (o.haveStart != o.haveCount) {
    error = "--start and --count go together";
    return false;
  }
  if (o.haveCount && o.count == 0) {
    error = "--count must be at least 1";
    return false;
  }
  return true;
}

std::string JsonString(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

const char* KindName(uint32_t sourceKind) {
  switch (sourceKind) {
    case kSourceDeepNtfs: return "deep-ntfs";
    case kSourceDeepFat: return "deep-fat";
    case kSourceCarved: return "carved";
    case kSourceExfat: return "exfat";
    case kSourceDeepExfat: return "deep-exfat";
    default: return "fast";
  }
}

// Progress on standard error, only when a person is watching it.
struct Progress {
  bool enabled = ::isatty(STDERR_FILENO) != 0;
  bool dirty = false;
  void Line(const std::string& text) {
    if (!enabled) return;
    std::fprintf(stderr, "\r\033[K%s", text.c_str());
    std::fflush(stderr);
    dirty = true;
  }
  void Done() {
    if (enabled && dirty) std::fputs("\r\033[K", stderr);
    dirty = false;
  }
};

struct Session {
  Progress progress;
  const Options* options = nullptr;
  unsigned recovered = 0;
  unsigned failed = 0;
};

int OnScan(void* context, int percent, int /*weight*/, int secondsLeft, unsigned long long current,
           unsigned long long total, unsigned long long found, const char16_t* /*text*/) {
  Session& s = *static_cast<Session*>(context);
  char line[256];
  std::snprintf(line, sizeof line, "scanning %3d%%  %llu/%llu sectors  %llu files  %s", percent, current, total, found,
                secondsLeft >= 0 ? (GetTimeString(secondsLeft) + " left").c_str() : "");
  s.progress.Line(line);
  return g_interrupted.load() ? kStatusUserStop : 0;
}

int OnSearch(void* context, int percent, const char16_t* /*text*/) {
  Session& s = *static_cast<Session*>(context);
  s.progress.Line("searching " + std::to_string(percent) + "%");
  return 0;
}

// The recovery never stops inside a file: an interruption takes effect before the next one.
int OnRecovery(void*, int, int, int, const char16_t*) { return 0; }

void OnRecovered(void* context, const _FILE_NODE_& /*node*/, const std::string& path, int status) {
  Session& s = *static_cast<Session*>(context);
  s.progress.Done();
  if (status == 0) {
    ++s.recovered;
  } else {
    ++s.failed;
  }
  if (s.options->json) {
    std::printf("{\"status\":%s,\"path\":%s%s}\n", status == 0 ? "\"ok\"" : "\"failed\"", JsonString(path).c_str(),
                status == 0 ? "" : (",\"reason\":" + JsonString(DescribeStatus(status))).c_str());
  } else if (status == 0) {
    std::printf("ok\t%s\n", path.c_str());
  } else {
    std::printf("failed\t%s\t%s\n", path.c_str(), DescribeStatus(status).c_str());
  }
  std::fflush(stdout);
  s.progress.Line("recovering: " + std::to_string(s.recovered + s.failed) + " files");
}

// The scanned area: a partition, an explicit range, or the whole source.
int ResolveArea(int disk, Options& o, std::string& error) {
  if (o.partition != 0) {
    uint64_t start = 0, count = 0;
    const int status = GetPartitionRange(disk, o.partition, start, count);
    if (status != 0) {
      error = status == kStatusInvalidParameter ? "SOURCE has no partition " + std::to_string(o.partition)
                                                : "cannot read the partition table of SOURCE: " + DescribeStatus(status);
      return status == kStatusInvalidParameter ? kExitUsage : kExitSource;
    }
    o.start = static_cast<long long>(start);
    o.count = static_cast<long long>(count);
    return kExitOk;
  }
  if (o.haveStart) return kExitOk;
  std::string path;
  if (GetDiskPath(disk, path) != 0) {
    error = "cannot open SOURCE: no such disk";
    return kExitSource;
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  const int64_t size = fd >= 0 ? GetDeviceSize(fd) : -1;
  const int err = errno;
  if (fd >= 0) ::close(fd);
  if (size < 0) {
    error = std::string("cannot open SOURCE: ") + std::strerror(err);
    return kExitSource;
  }
  o.start = 0;
  o.count = size / kSectorSize;
  return kExitOk;
}

}  // namespace

int RunScanCommand(const std::vector<std::string>& args, bool recover) {
  Options options;
  std::string error;
  if (!ParseOptions(args, recover, options, error)) {
    std::fprintf(stderr, "vorlenta-cli: %s (see vorlenta-cli --help)\n", error.c_str());
    return kExitUsage;
  }
  if (options.resume && options.fast) {
    std::fprintf(stderr, "vorlenta-cli: --resume continues a deep scan and does not go with --fast\n");
    return kExitUsage;
  }

  CImageDisks images;
  int disk = -1;
  int status = PresentSource(options.source, images, disk);
  if (status != 0) {
    std::fprintf(stderr, "vorlenta-cli: cannot open %s: %s\n", options.source.c_str(),
                 status == kStatusInvalidParameter ? "no such disk" : std::strerror(status));
    return kExitSource;
  }
  const int area = ResolveArea(disk, options, error);
  if (area != kExitOk) {
    std::fprintf(stderr, "vorlenta-cli: %s\n", error.c_str());
    return area;
  }

  // Refused before anything is read or written: recovering onto the medium being read would
  // overwrite the very data being recovered.
  std::string sourcePath;
  if (recover && GetDiskPath(disk, sourcePath) == 0 &&
      CheckDestination(options.destination, sourcePath, 0, error) == DestinationVerdict::kOnSource) {
    std::fprintf(stderr, "vorlenta-cli: %s\n", error.c_str());
    return kExitUsage;
  }

  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  std::unique_ptr<IFileRecoveryParse> engine = CFileRecoveryFactory::GetInstance().CreateFileRecoveryInstance(
      disk, options.start, options.count, kVolumeTag, options.fast ? kRecoveryFast : kRecoveryProfessional);
  if (engine == nullptr) {
    if (options.fast) {
      std::fprintf(stderr, "vorlenta-cli: no FAT or NTFS file system the fast scan can read at sector %lld of %s\n",
                   options.start, options.source.c_str());
    } else {
      std::fprintf(stderr, "vorlenta-cli: cannot read %s at sector %lld\n", options.source.c_str(), options.start);
    }
    return kExitSource;
  }
  auto* deep = dynamic_cast<CProfessionalRecovery*>(engine.get());
  if (deep != nullptr) {
    // Like the window, a scan starts afresh unless asked to continue the earlier one.
    if (options.resume && deep->IsFindLogFile() == 0) {
      std::fprintf(stderr, "vorlenta-cli: no stopped scan of this area to resume; starting afresh\n");
    }
    if (!options.resume) deep->SetNotLoadLogFile();
  } else {
    // Every scan writes its results into a folder of its own, so a second scan of the same
    // volume never reopens and extends the first one's store.
    CLogFileManager::GetInstance().AddDirIndex();
  }
  Session session;
  session.options = &options;
  engine->InitCallBack(OnScan, OnRecovery, &session, 100);
  status = engine->ScanDevice(nullptr);
  session.progress.Done();
  const bool interrupted = g_interrupted.load();
  if (status != 0 && !interrupted) {
    std::fprintf(stderr, "vorlenta-cli: cannot scan %s: %s\n", options.source.c_str(), DescribeStatus(status).c_str());
    return kExitSource;
  }
  if (deep != nullptr && deep->UnreadableSectors() != 0) {
    std::fprintf(stderr, "vorlenta-cli: %llu unreadable sectors of %s were skipped\n", deep->UnreadableSectors(),
                 options.source.c_str());
  }
  if (interrupted && deep != nullptr) {
    std::fprintf(stderr, "vorlenta-cli: scan stopped; run it again with --resume to continue\n");
  }

  engine->InitSearchCallBack(OnSearch, &session);
  std::vector<__SEARCH_FILE_INFO__> hits;
  engine->SearchFileNode(BuildSearchKey(options.categories).c_str(), hits);
  session.progress.Done();

  if (!recover) {
    unsigned long long total = 0;
    for (_FILE_NODE_& hit : hits) {
      char16_t dir[4096];
      dir[0] = 0;
      engine->GetFileNodeParentDirPath(&hit, dir, 4096);
      const std::string path = Utf16ToUtf8(dir) + AnsiToUtf8(hit.FileName);
      total += hit.FileSize;
      if (options.json) {
        std::printf("{\"kind\":\"%s\",\"size\":%llu,\"healthy\":%u,\"path\":%s}\n", KindName(hit.SourceKind),
                    static_cast<unsigned long long>(hit.FileSize), hit.IsHealthy != 0 ? 1u : 0u, JsonString(path).c_str());
      } else {
        std::printf("%s\t%llu\t%u\t%s\n", KindName(hit.SourceKind), static_cast<unsigned long long>(hit.FileSize),
                    hit.IsHealthy != 0 ? 1u : 0u, path.c_str());
      }
    }
    const std::string size = GetFileSizeString(static_cast<long long>(total));
    if (options.json) {
      std::printf("{\"found\":%zu,\"size\":%s}\n", hits.size(), JsonString(size).c_str());
    } else {
      std::printf("found %zu files (%s)\n", hits.size(), size.c_str());
    }
    return interrupted ? kExitInterrupted : kExitOk;
  }

  unsigned long long needed = 0;
  for (const _FILE_NODE_& hit : hits) needed += hit.FileSize;
  if (CheckDestination(options.destination, sourcePath, needed, error) != DestinationVerdict::kFine) {
    std::fprintf(stderr, "vorlenta-cli: %s\n", error.c_str());
    return kExitUsage;
  }
  // Hits found before an interrupted scan are still recovered; a further Ctrl-C stops the
  // recovery before its next file.
  g_interrupted.store(false);
  {
    static CCrashGuard guard("recvSignal");
    RecoverNodes(*engine, hits, options.destination, guard, &g_interrupted, OnRecovered, &session, nullptr, nullptr);
  }
  session.progress.Done();
  if (options.json) {
    std::printf("{\"recovered\":%u,\"failed\":%u}\n", session.recovered, session.failed);
  } else {
    std::printf("recovered %u files, %u failed\n", session.recovered, session.failed);
  }
  if (interrupted || g_interrupted.load()) return kExitInterrupted;
  return session.failed != 0 ? kExitSomeFailed : kExitOk;
}

}  // namespace vorlenta
