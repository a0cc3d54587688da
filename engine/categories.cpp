#include "engine/categories.h"

#include <cstring>

#include "util/text.h"

namespace vorlenta {

const std::string& KnownExtensionList() {
  static const std::string list = std::string(kPhotoExtensionList) + "|" + kAudioExtensionList + "|" +
                                  kOfficeExtensionList + "|" + kVideoExtensionList + "|" + kArchiveExtensionList;
  return list;
}

bool GetLowerExtension(const char* name, std::string& ext) {
  ext.clear();
  if (name == nullptr) return false;
  ext.assign(std::strlen(name) + 1, '\0');
  if (GetExtendName(name, &ext[0]) != 0) {
    ext.clear();
    return false;
  }
  ext.resize(std::strlen(ext.c_str()));
  GetCharLowerA(&ext[0]);
  return true;
}

bool ListContains(const char* list, const std::string& text) {
  if (list == nullptr) return text.empty();
  return std::strstr(list, text.c_str()) != nullptr;
}

bool ListHasExtension(const char* list, const std::string& ext) {
  return list != nullptr && std::strstr(list, ("*." + ext + "|").c_str()) != nullptr;
}

}  // namespace vorlenta
