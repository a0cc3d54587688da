// The result page with 100,000 found files: building the page, and filling the table with one
// extension's 50,000 files (the click the user waits for).
#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bench/bench.h"
#include "ui/drui.h"

struct DruiBench {
  static int Run() {
    constexpr size_t kFiles = 100000;
    if (std::getenv("QT_QPA_PLATFORM") == nullptr) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    int argc = 1;
    char name[] = "vorlenta-bench";
    char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    DRUI window;
    window.Init();
    window.m_searchResults.resize(kFiles);
    for (size_t i = 0; i < kFiles; ++i) {
      vorlenta::_FILE_NODE_& node = window.m_searchResults[i];
      std::memset(&node, 0, sizeof node);
      node.FileIndex = static_cast<uint32_t>(i);
      node.FileSize = 1000 + i;
      std::snprintf(node.FileName, sizeof node.FileName, i % 2 == 0 ? "IMG_%06zu.JPG" : "clip_%06zu.mp4", i);
    }
    const double start = vorlenta::bench::NowSeconds();
    window.InitLayout3Widget();
    const double built = vorlenta::bench::NowSeconds();
    QTreeWidgetItem* jpg = window.m_resultTree->topLevelItem(0)->child(0);
    window.UpdateTreeInfo(jpg, 0);
    const double filled = vorlenta::bench::NowSeconds();
    window.m_resultTree->topLevelItem(0)->setCheckState(0, Qt::Checked);
    const double checked = vorlenta::bench::NowSeconds();
    std::printf("result page of %zu files built in %.3f s\n", kFiles, built - start);
    std::printf("checking the Photo category (%zu files) took %.3f s\n", window.m_selection.size(), checked - filled);
    std::printf("table filled with %d files of one extension in %.3f s\n", window.m_table->rowCount(), filled - built);
    return window.m_table->rowCount() == static_cast<int>(kFiles / 2) ? 0 : 1;
  }
};

namespace vorlenta::bench {

int RunWindowBench(const Args&) { return DruiBench::Run(); }

}  // namespace vorlenta::bench
