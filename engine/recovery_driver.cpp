#include "engine/recovery_driver.h"

#include <cerrno>
#include <cstring>
#include <sstream>

#include "engine/categories.h"
#include "engine/status.h"
#include "util/os_helpers.h"
#include "util/text.h"

namespace vorlenta {

CategorySelection DefaultCategories() {
  CategorySelection c;
  c.photo = c.music = c.video = true;
  return c;
}

bool ParseCategoryList(const std::string& list, CategorySelection& out) {
  CategorySelection result;
  std::stringstream words(list);
  std::string word;
  bool any = false;
  while (std::getline(words, word, ',')) {
    if (word == "all") {
      result.photo = result.music = result.office = result.video = result.archive = result.other = true;
    } else if (word == "photo") {
      result.photo = true;
    } else if (word == "music") {
      result.music = true;
    } else if (word == "office") {
      result.office = true;
    } else if (word == "video") {
      result.video = true;
    } else if (word == "archive") {
      result.archive = true;
    } else if (word == "other") {
      result.other = true;
    } else {
      return false;
    }
    any = true;
  }
  if (!any) return false;
  out = result;
  return true;
}

std::u16string BuildSearchKey(const CategorySelection& c) {
  std::string key;
  if (c.photo) key += kPhotoExtensionList;
  if (c.music) key += kAudioExtensionList;
  if (c.office) key += kOfficeExtensionList;
  if (c.video) key += kVideoExtensionList;
  if (c.archive) key += std::string(kArchiveExtensionList) + kExtendedOfficeArchiveList;
  if (c.other) key += kOtherCategoryKey;
  return Ansi2Unicode(key.c_str());
}

const char* GetDirTypeByFileName(const char* name) {
  std::string ext;
  if (!GetLowerExtension(name, ext) || ext.size() < 2) return kFolderOthers;
  if (ListHasExtension(kPhotoExtensionList, ext)) return kFolderPhoto;
  if (ListHasExtension(kAudioExtensionList, ext)) return kFolderAudio;
  if (ListHasExtension(kVideoExtensionList, ext)) return kFolderVideo;
  if (ListHasExtension(kOfficeExtensionList, ext)) return kFolderDocument;
  if (ListHasExtension(kArchiveExtensionList, ext) || ListHasExtension(kExtendedOfficeArchiveList, ext)) {
    return kFolderArchive;
  }
  return kFolderOthers;
}

int GetDirTypeByFileName(const char* name, char* folder) {
  if (folder == nullptr) return kStatusInvalidParameter;
  std::strcpy(folder, GetDirTypeByFileName(name));
  return 0;
}

std::string DescribeStatus(int status) {
  switch (status) {
    case kStatusInvalidParameter: return "not a readable volume there";
    case kStatusReadFault: return "read fault";
    case kStatusClusterTooLarge: return "cluster too large";
    case kStatusNoMemory: return "not enough memory";
    default: return std::strerror(status);
  }
}

RecoveryTotals RecoverNodes(IFileRecoveryParse& engine, std::vector<_FILE_NODE_>& nodes, const std::string& destination,
                            CCrashGuard& guard, const std::atomic<bool>* stop, RecoveredFileObserver observer,
                            void* observerContext, RecoveryCallback recoveryCallback, void* callbackContext) {
  RecoveryTotals totals;
  std::string dest = destination;
  while (dest.size() > 1 && dest.back() == '/') dest.pop_back();
  const std::u16string wideDest = Utf8ToUtf16(dest.c_str());
  int destDepth = 0;
  GetPathDirIndex(wideDest.c_str(), destDepth);
  for (_FILE_NODE_& node : nodes) {
    if (stop != nullptr && stop->load()) {
      totals.stopped = true;
      break;
    }
    const std::string folder = dest + "/" + GetDirTypeByFileName(node.FileName);
    std::string path = folder + "/" + AnsiToUtf8(SafeFileName(node.FileName).c_str());
    int status = MakeRecoveryFolder(folder);
    if (status == 0) {
      path = GetFreePathUtf8(path);
      const std::u16string target = Utf8ToUtf16(path.c_str());
      if (target.size() >= static_cast<size_t>(kMaxRecoveryPathUnits)) {
        status = ENAMETOOLONG;
      } else {
        const bool completed = guard.Run([&] { status = engine.SaveFileData(&node, target.c_str(), destDepth); });
        if (!completed) status = kStatusReadFault;
      }
    }
    if (status == kStatusUserStop) {
      totals.stopped = true;
      break;
    }
    if (status == 0) {
      ++totals.saved;
    } else {
      ++totals.failed;
    }
    if (observer != nullptr) observer(observerContext, node, path, status);
  }
  if (recoveryCallback != nullptr) recoveryCallback(callbackContext, 100, kRecoveryPhaseFinished, 0, u"");
  return totals;
}

}  // namespace vorlenta
