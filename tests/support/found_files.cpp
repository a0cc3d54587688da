#include "support/found_files.h"

#include <gtest/gtest.h>

#include <vector>

#include "engine/recovery_driver.h"
#include "util/text.h"

namespace vorlenta::test {

std::map<std::string, _FILE_NODE_> ListFoundFiles(IFileRecoveryParse& engine) {
  CategorySelection all;
  ParseCategoryList("all", all);
  std::vector<__SEARCH_FILE_INFO__> hits;
  engine.SearchFileNode(BuildSearchKey(all).c_str(), hits);
  std::map<std::string, _FILE_NODE_> found;
  for (_FILE_NODE_& hit : hits) {
    char16_t dir[1024];
    EXPECT_EQ(engine.GetFileNodeParentDirPath(&hit, dir, 1024), 0);
    found[Utf16ToUtf8(dir) + AnsiToUtf8(hit.FileName)] = hit;
  }
  return found;
}

}  // namespace vorlenta::test
