#include "app/startup.h"

#include <gtest/gtest.h>

namespace norvane {
namespace {

StartDecision Choose(std::string_view line, int start_type = 0, bool installed = true) {
  int reads = 0;
  StartDecision d = ChooseStart(
      line,
      [&] {
        ++reads;
        return start_type;
      },
      [&] { return installed; });
  // The configuration is consulted only by a line without switch characters.
  EXPECT_EQ(reads, line.find_first_of("-/") == std::string_view::npos ? 1 : 0) << line;
  return d;
}

TEST(StartupGrammarTest, KeywordsCountOnlyAtTheEndOfTheLine) {
  EXPECT_EQ(Choose("-install"), StartDecision::kInstall);
  EXPECT_EQ(Choose("/regserver"), StartDecision::kInstall);
  EXPECT_EQ(Choose("/UNINSTALL"), StartDecision::kRemove);
  EXPECT_EQ(Choose("-unregserver"), StartDecision::kRemove);
  // One trailing blank and the keyword no longer matches: service mode.
  EXPECT_EQ(Choose("-install "), StartDecision::kServiceMode);
  EXPECT_EQ(Choose("-install -Testing"), StartDecision::kInterfaceMode);
  EXPECT_EQ(Choose("-Testing -install"), StartDecision::kInstall);
}

TEST(StartupGrammarTest, TestingWinsOverTheConfiguration) {
  EXPECT_EQ(Choose("-Testing", 1), StartDecision::kInterfaceMode);
  EXPECT_EQ(Choose("x /testing", 1), StartDecision::kInterfaceMode);
}

TEST(StartupGrammarTest, UnknownSwitchesRunAsAService) {
  EXPECT_EQ(Choose("--verbose", 0), StartDecision::kServiceMode);
  EXPECT_EQ(Choose("--verbose", 0, false), StartDecision::kNothing);
  // A hyphen anywhere (here inside an argument) disables the configured start type.
  EXPECT_EQ(Choose("my-config", 0), StartDecision::kServiceMode);
}

TEST(StartupGrammarTest, StartTypeDecidesALineWithoutSwitches) {
  EXPECT_EQ(Choose("", 0), StartDecision::kInterfaceMode);
  EXPECT_EQ(Choose("", 1), StartDecision::kServiceMode);
  EXPECT_EQ(Choose("", 1, false), StartDecision::kNothing);
  EXPECT_EQ(Choose("", 7), StartDecision::kServiceMode);  // other values keep the default
}

TEST(StartupGrammarTest, TheProgramPathIsNotScanned) {
  const char* argv[] = {"/opt/norvane/bin/norvane"};
  EXPECT_EQ(JoinArguments(1, argv), "");
  EXPECT_EQ(Choose(JoinArguments(1, argv), 0), StartDecision::kInterfaceMode);
  const char* argv2[] = {"/opt/norvane/bin/norvane", "a", "-install"};
  EXPECT_EQ(JoinArguments(3, argv2), "a -install");
}

}  // namespace
}  // namespace norvane
