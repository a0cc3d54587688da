// The rules the window's drivers and the command-line tool share: which categories a search
// key selects, which category folder a recovered file goes to, and the recovery loop itself.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "engine/crash_guard.h"
#include "engine/recovery_parse.h"

namespace vorlenta {

// The check boxes of the category page.
struct CategorySelection {
  bool photo = false;
  bool music = false;
  bool office = false;
  bool video = false;
  bool archive = false;
  bool other = false;
};

// The window's initial choice: photo, music and video.
CategorySelection DefaultCategories();
// Parses "photo,music,office,video,archive,other" (any subset, comma-separated) or "all".
// False for an unknown or empty word.
bool ParseCategoryList(const std::string& list, CategorySelection& out);
// The search key for the checked categories, in the window's order: photo, audio, office,
// video, archive list then the extended office-and-archive list, then "*.other".
std::u16string BuildSearchKey(const CategorySelection& categories);

// Category folders of a recovery.
constexpr const char* kFolderPhoto = "photo";
constexpr const char* kFolderAudio = "audio";
constexpr const char* kFolderVideo = "video";
constexpr const char* kFolderDocument = "document";
constexpr const char* kFolderArchive = "archive";
constexpr const char* kFolderOthers = "others";

// The category folder of a file name: the first list (photo, audio, video, office, archive or
// extended) holding "." + its lower-cased extension; "others" for none, or for an extension
// shorter than two characters.
const char* GetDirTypeByFileName(const char* name);
int GetDirTypeByFileName(const char* name, char* folder);

// Longest destination path handed to an engine, in UTF-16 code units with the terminator.
constexpr int kMaxRecoveryPathUnits = 512;

// Called after each file of a recovery with the path it was saved to (UTF-8) and the status
// of the save (0 when saved).
using RecoveredFileObserver = void (*)(void* context, const _FILE_NODE_& node, const std::string& path, int status);

struct RecoveryTotals {
  unsigned saved = 0;
  unsigned failed = 0;
  bool stopped = false;
};

// Saves each node into destination/<category>/<name>, never over an existing file (a
// clashing name gets (1), (2), … before its extension). Each save runs under `guard`: a fault
// fails that file and the next goes on. The loop ends early when `stop` becomes true (checked
// before each file) or when the engine answers kStatusUserStop. At the end it reports the
// end of the whole recovery (percent 100, phase 1000) to `recoveryCallback`, when given.
RecoveryTotals RecoverNodes(IFileRecoveryParse& engine, std::vector<_FILE_NODE_>& nodes, const std::string& destination,
                            CCrashGuard& guard, const std::atomic<bool>* stop, RecoveredFileObserver observer,
                            void* observerContext, RecoveryCallback recoveryCallback, void* callbackContext);

// A short reason for a failed operation's status, for people ("read fault", an errno text).
std::string DescribeStatus(int status);

// Phase value of the report that ends a whole recovery.
constexpr int kRecoveryPhaseFinished = 1000;

}  // namespace vorlenta
