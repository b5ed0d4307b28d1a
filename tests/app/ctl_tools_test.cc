// norvanectl config protect-password, its command line (refusals, help), run as the real
// binary.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <utility>

#include "config/credential.h"

namespace norvane {
namespace {

struct CtlRun {
  int status = -1;
  std::string out;
};

CtlRun Protect(const std::string& input) {
  char tmpl[] = "/tmp/norvane-pw-XXXXXX";
  int fd = mkstemp(tmpl);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(write(fd, input.data(), input.size()), static_cast<ssize_t>(input.size()));
  close(fd);
  std::string cmd = std::string(NORVANE_BINARY_DIR) + "/bin/norvanectl config protect-password < " +
                    tmpl + " 2>/dev/null";
  CtlRun run;
  FILE* p = popen(cmd.c_str(), "r");
  char buf[256];
  while (p && fgets(buf, sizeof buf, p)) run.out += buf;
  int status = p ? pclose(p) : -1;
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  unlink(tmpl);
  return run;
}

TEST(ProtectPasswordTest, PrintsAFormThatLoadsBackAsThePassword) {
  CtlRun run = Protect("s3cret pass\n");
  ASSERT_EQ(run.status, 0);
  ASSERT_FALSE(run.out.empty());
  std::string stored = run.out.substr(0, run.out.find('\n'));
  EXPECT_EQ(stored.find("s3cret"), std::string::npos);
  std::string text = stored;
  ASSERT_TRUE(DecryptPassword(text));
  EXPECT_EQ(text, "s3cret pass");  // blanks kept, line end dropped
}

TEST(ProtectPasswordTest, RefusesEmptyAndOverLongPasswords) {
  EXPECT_EQ(Protect("").status, 1);
  EXPECT_EQ(Protect("\n").status, 1);
  EXPECT_EQ(Protect(std::string(32, 'x') + "\n").status, 1);
  EXPECT_EQ(Protect(std::string(31, 'x') + "\n").status, 0);
}

// norvanectl with `args`, its base folder `base`, no standard input; `out` gets what it
// writes to the streams `redirect` leaves (standard output and error by default).
int Ctl(const std::string& base, const std::string& args, std::string* out,
        const char* redirect = "2>&1") {
  const std::string cmd = std::string(NORVANE_BINARY_DIR) + "/bin/norvanectl --base " + base + " " +
                          args + " " + redirect + " </dev/null";
  out->clear();
  FILE* p = popen(cmd.c_str(), "r");
  char buf[256];
  while (p && fgets(buf, sizeof buf, p)) *out += buf;
  int status = p ? pclose(p) : -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class CtlArgumentsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/norvane-ctl-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    base_ = tmpl;
  }
  void TearDown() override {
    // Nothing read, so nothing logged and no lock taken.
    EXPECT_NE(access((base_ + "/logs/norvanelog.log").c_str(), F_OK), 0);
    EXPECT_NE(access((base_ + "/sync.lock").c_str(), F_OK), 0);
    std::system(("rm -rf " + base_).c_str());
  }
  std::string base_;
};

// An argument or option a command does not know is refused with the usage text and status 2
// before anything is read or written: `sync --dry-run extra` must not run a real sync.
TEST_F(CtlArgumentsTest, UnknownArgumentsAreRefusedBeforeAnythingRuns) {
  for (const char* args :
       {"sync --dry-run extra", "update --json --bogus", "preview x", "config show --json",
        "import-users", "import-users a b", "verify --all", "frobnicate", "--bogus sync", "--base",
        "config", "sync update", "auth --all --domain --type ldap", "auth --all --type 3",
        "auth --type ldap", "sync --allow-removals -1", "runs --last x"}) {
    SCOPED_TRACE(args);
    std::string out;
    EXPECT_EQ(Ctl(base_, args, &out), 2) << out;
    EXPECT_NE(out.find("用法: norvanectl"), std::string::npos) << out;
  }
}

// The reasons and the help are in Chinese; help goes to standard output with status 0.
TEST_F(CtlArgumentsTest, SaysWhatIsWrongAndHelpsInChinese) {
  const std::pair<const char*, const char*> refusals[] = {
      {"verify --all", "norvanectl: verify 不认识选项 --all"},
      {"preview x", "norvanectl: preview 不接受参数 x"},
      {"import-users", "norvanectl: import-users 缺少参数 \"ACCOUNT;ACCOUNT...\""},
      {"frobnicate", "norvanectl: 未知命令 frobnicate"},
      {"--bogus sync", "norvanectl: 未知选项 --bogus"},
      {"config", "norvanectl: config 缺少命令"},
      {"auth --all --domain --type ldap", "norvanectl: auth 只能用 --all|--users|--domain 之一"},
      {"auth --all --type 3", "norvanectl: auth --type 的值只能是 ldap、local"},
      {"auth --all", "norvanectl: auth 缺少选项 --type ldap|local"},
      {"sync --allow-removals x", "norvanectl: sync --allow-removals 的值应为不小于 0 的整数"},
  };
  std::string out;
  for (const auto& [args, reason] : refusals) {
    EXPECT_EQ(Ctl(base_, args, &out, "2>&1 >/dev/null"), 2) << args;
    EXPECT_NE(out.find(reason), std::string::npos) << out;
  }

  ASSERT_EQ(Ctl(base_, "--help", &out, "2>/dev/null"), 0);
  for (const char* line :
       {"用法: norvanectl [--base DIR] COMMAND [ARGS...]\n", "  config set NAME VALUE",
        "  sync [--dry-run] [--json] [--allow-removals N]",
        "  auth --all|--users \"ACCOUNT;ACCOUNT...\"|--domain --type ldap|local",
        "  runs [--last N] [--json]", "  status [--json]", "显示本帮助"}) {
    EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
  }
  EXPECT_EQ(out.find("Usage"), std::string::npos) << out;
  ASSERT_EQ(Ctl(base_, "auth -h", &out, "2>/dev/null"), 0);
  EXPECT_NE(out.find("用法: norvanectl [--base DIR] auth --all|"), std::string::npos) << out;
  EXPECT_NE(out.find("--type ldap|local"), std::string::npos) << out;
}

// --json alone would run the sync a script meant only to look at; the reports and the
// status read nothing that must exist.
TEST_F(CtlArgumentsTest, JsonNeedsADryRunAndReportsWorkOnAFreshBase) {
  std::string out;
  for (const char* args : {"sync --json", "update --json --allow-removals 3"}) {
    EXPECT_EQ(Ctl(base_, args, &out), 2) << args;
    EXPECT_NE(out.find("只能与 --dry-run 一起使用"), std::string::npos) << out;
  }
  EXPECT_EQ(Ctl(base_, "runs --last 0", &out), 2);
  EXPECT_EQ(Ctl(base_, "runs --last 2", &out), 0);
  EXPECT_NE(out.find("还没有运行记录"), std::string::npos) << out;
  EXPECT_EQ(Ctl(base_, "status --json", &out, "2>/dev/null"), 0);
  EXPECT_NE(out.find("\"running\": false"), std::string::npos) << out;
}

// The status file is believed only while its writer lives and keeps it fresh: a program that
// died without removing it does not look like one answering logins.
TEST_F(CtlArgumentsTest, StatusBelievesOnlyALiveFreshStatusFile) {
  auto write_status = [&](long pid, std::time_t updated) {
    char when[32];
    std::tm utc{};
    gmtime_r(&updated, &utc);
    std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", &utc);
    std::ofstream(base_ + "/norvane-status.json")
        << "{\"pid\": " << pid << ", \"mode\": \"service\", \"updated\": \"" << when
        << "\", \"answering\": true, \"logins\": {\"accepted\": 7}}";
  };
  std::string out;
  write_status(getpid(), std::time(nullptr));
  ASSERT_EQ(Ctl(base_, "status --json", &out, "2>/dev/null"), 0);
  EXPECT_NE(out.find("\"running\": true"), std::string::npos) << out;
  EXPECT_NE(out.find("\"accepted\": 7"), std::string::npos) << out;
  write_status(getpid(), std::time(nullptr) - 120);  // not refreshed for two minutes
  ASSERT_EQ(Ctl(base_, "status --json", &out, "2>/dev/null"), 0);
  EXPECT_NE(out.find("\"running\": false"), std::string::npos) << out;
  write_status(0x3ffffff0, std::time(nullptr));  // no such process
  ASSERT_EQ(Ctl(base_, "status", &out, "2>/dev/null"), 0);
  EXPECT_NE(out.find("程序: 未运行"), std::string::npos) << out;
  std::remove((base_ + "/norvane-status.json").c_str());
}

}  // namespace
}  // namespace norvane
