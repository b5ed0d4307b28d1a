// norvanectl config protect-password, run as the real binary.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
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

}  // namespace
}  // namespace norvane
