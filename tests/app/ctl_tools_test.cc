// norvanectl config protect-password and its refusal of arguments it does not know, run as
// the real binary.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

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

// An argument or option a command does not know is refused with the usage text and status 2
// before anything is read or written: `sync --dry-run` must not run a real sync.
TEST(CtlArgumentsTest, UnknownArgumentsAreRefusedBeforeAnythingRuns) {
  char tmpl[] = "/tmp/norvane-ctl-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string base = tmpl;
  const std::string ctl = std::string(NORVANE_BINARY_DIR) + "/bin/norvanectl --base " + base;
  for (const char* args :
       {"sync --dry-run", "update --json", "preview x", "config show --json", "import-users",
        "import-users a b", "verify --all", "frobnicate", "--bogus sync", "--base"}) {
    SCOPED_TRACE(args);
    std::string cmd = ctl + " " + std::string(args) + " 2>&1 </dev/null";
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    char buf[256];
    while (p && fgets(buf, sizeof buf, p)) out += buf;
    int status = p ? pclose(p) : -1;
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 2) << out;
    EXPECT_NE(out.find("用法: norvanectl"), std::string::npos) << out;
  }
  // Nothing read, so nothing logged and no lock taken.
  EXPECT_NE(access((base + "/logs/norvanelog.log").c_str(), F_OK), 0);
  EXPECT_NE(access((base + "/sync.lock").c_str(), F_OK), 0);
  std::system(("rm -rf " + base).c_str());
}

}  // namespace
}  // namespace norvane
