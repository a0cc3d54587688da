// Every file an engine has found, by "directory path + name", through the engine's own search
// and path queries: how the tests see a scan's result as a person would.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "engine/categories.h"
#include "engine/recovery_driver.h"
#include "engine/recovery_parse.h"
#include "util/text.h"

namespace vorlenta::test {

inline std::map<std::string, _FILE_NODE_> FilesByPath(IFileRecoveryParse& engine) {
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
