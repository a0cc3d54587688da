// The command-line tool's usage contract.
#include <gtest/gtest.h>

#include "support/test_support.h"

namespace vorlenta {
namespace {

std::string Cli() { return test::ShellQuote(VORLENTA_CLI_PATH); }

TEST(CliBasics, HelpVersionAndBadUsage) {
  std::string out;
  EXPECT_EQ(test::RunCommand(Cli() + " --help", &out), 0);
  EXPECT_NE(out.find("vorlenta-cli recover SOURCE DEST"), std::string::npos);
  out.clear();
  EXPECT_EQ(test::RunCommand(Cli() + " --version", &out), 0);
  EXPECT_EQ(out.rfind("vorlenta-cli ", 0), 0u);
  EXPECT_EQ(test::RunCommand(Cli() + " 2>/dev/null"), 2);
  EXPECT_EQ(test::RunCommand(Cli() + " frobnicate 2>/dev/null"), 2);
}

}  // namespace
}  // namespace vorlenta
