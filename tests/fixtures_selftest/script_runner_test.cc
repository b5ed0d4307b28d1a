// RunScript is how every fixture talks to its script: input, output, exit codes, and a
// time-out that must not leave a hung script (or what it started) behind.
#include "tests/fixtures/script_runner.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

namespace norvane::testing {
namespace {

using std::chrono::seconds;

TEST(RunScriptTest, PassesInputAndSeparatesOutputFromErrors) {
  std::string big(300000, 'x');  // more than a pipe holds, so writing and reading interleave
  ScriptResult r = RunScript({"sh", "-c", "wc -c; echo oops >&2; exit 3"}, big, seconds(30));
  EXPECT_EQ(r.exit_code, 3);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(std::atoi(r.output.c_str()), 300000);
  EXPECT_EQ(r.errors, "oops\n");
}

TEST(RunScriptTest, MissingProgramFails) {
  ScriptResult r = RunScript({"/nonexistent/fixture-script"}, "", seconds(10));
  EXPECT_EQ(r.exit_code, 127);
}

TEST(RunScriptTest, TimeOutKillsTheScriptAndItsChildren) {
  const auto start = std::chrono::steady_clock::now();
  ScriptResult r = RunScript({"sh", "-c", "sleep 300 & echo $!; wait"}, "", seconds(1));
  EXPECT_TRUE(r.timed_out);
  EXPECT_EQ(r.exit_code, -1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, seconds(20));
  const int child = std::atoi(r.output.c_str());
  ASSERT_GT(child, 0);
  // The killed child may linger as a zombie of init for a moment.
  bool gone = false;
  for (int i = 0; i < 50 && !gone; ++i) {
    gone = ::kill(child, 0) != 0;
    if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(gone) << "sleep " << child << " outlived the time-out";
}

TEST(FactsTest, ReadsKeyValueLinesAndTabSeparatedRecords) {
  const std::string out =
      "PORT=389\nnoise line\nADMIN_DN=CN=Administrator,CN=Users,DC=corp\n"
      "USER=alice\tpw=1\t512\tCN=Smith\\, John,OU=Sales\nUSER=bob\tb\t514\tCN=Bob\nPORT=636\n";
  auto facts = ParseFacts(out);
  EXPECT_EQ(facts["PORT"], "636");
  EXPECT_EQ(facts["ADMIN_DN"], "CN=Administrator,CN=Users,DC=corp");
  EXPECT_EQ(facts.count("noise line"), 0u);
  auto users = FactLines(out, "USER");
  ASSERT_EQ(users.size(), 2u);
  EXPECT_EQ(SplitTabs(users[0]),
            (std::vector<std::string>{"alice", "pw=1", "512", "CN=Smith\\, John,OU=Sales"}));
  EXPECT_EQ(SplitTabs("a\t\tc"), (std::vector<std::string>{"a", "", "c"}));
}

// The benchmark and demo directories must be the same on every machine and every run.
TEST(GenerateDirectoryTest, SameArgumentsGiveTheSameBytes) {
  const std::string gen = std::string(NORVANE_SOURCE_DIR) + "/bench/gen_directory.py";
  for (const char* kind : {"slapd", "samba"}) {
    ScriptResult a =
        RunScript({"python3", gen, kind, "--users", "250", "--per-ou", "30"}, "", seconds(60));
    ScriptResult b =
        RunScript({"python3", gen, kind, "--users", "250", "--per-ou", "30"}, "", seconds(60));
    ScriptResult other = RunScript(
        {"python3", gen, kind, "--users", "250", "--per-ou", "30", "--seed", "7"}, "", seconds(60));
    ASSERT_EQ(a.exit_code, 0) << a.errors;
    EXPECT_EQ(a.output, b.output) << kind;
    EXPECT_NE(a.output, other.output) << kind;
  }
}

TEST(GenerateDirectoryTest, SampleDirectoryIsUpToDate) {
  const std::string gen = std::string(NORVANE_SOURCE_DIR) + "/bench/gen_directory.py";
  ScriptResult fresh = RunScript(
      {"python3", gen, "slapd", "--users", "300", "--per-ou", "20", "--groups"}, "", seconds(60));
  ASSERT_EQ(fresh.exit_code, 0) << fresh.errors;
  ScriptResult committed = RunScript(
      {"cat", std::string(NORVANE_SOURCE_DIR) + "/res/sample/directory.ldif"}, "", seconds(10));
  ASSERT_EQ(committed.exit_code, 0);
  EXPECT_EQ(fresh.output, committed.output)
      << "regenerate res/sample/directory.ldif with the arguments on its first line";
}

}  // namespace
}  // namespace norvane::testing
