// The program as an installer and as a copy that must not run: install and remove against a
// stand-in systemctl, a start by hand while service mode is configured, a second copy, the
// single-instance lock file left by another user, and the subscriber lists' markers.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <vector>

#include "app/service_host.h"
#include "platform/files.h"
#include "platform/instance_lock.h"
#include "platform/xml.h"
#include "tests/app/app_test_support.h"

namespace norvane {
namespace {

using testing::Program;
using testing::SystemRoot;

class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/norvane-app-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    base_ = pattern;
    ::mkdir((base_ + "/logs").c_str(), 0755);
    program_ = std::make_unique<Program>(base_);
  }
  void TearDown() override {
    program_.reset();
    std::system(("rm -rf '" + base_ + "'").c_str());
  }

  void WriteStartType(int start_type) {
    XmlDocument doc;
    ASSERT_TRUE(doc.Load(std::string(NORVANE_SOURCE_DIR) + "/res/LdapConfig.xml"));
    doc.Root().FirstChild("StartMode").SetAttribute("StartType", std::to_string(start_type));
    ASSERT_TRUE(doc.Save(base_ + "/LdapConfig.xml"));
  }

  std::string base_;
  std::unique_ptr<Program> program_;
};

TEST_F(ProgramTest, InstallsEnablesReinstallsAndRemovesTheUnit) {
  SystemRoot root;
  // The Zelto server's credential file, readable by its group: the service joins it.
  const std::string credential = base_ + "/zelto.credential";
  std::ofstream(credential) << "secret\n";
  ASSERT_EQ(::chown(credential.c_str(), ::geteuid(), 65534), 0);
  ASSERT_EQ(::chmod(credential.c_str(), 0640), 0);
  XmlDocument doc;
  ASSERT_TRUE(doc.Load(std::string(NORVANE_SOURCE_DIR) + "/res/LdapConfig.xml"));
  doc.Root().FirstChild("SysConfig").SetAttribute("SDKCredentialFile", credential);
  ASSERT_TRUE(doc.Save(base_ + "/LdapConfig.xml"));
  ASSERT_EQ(program_->Run({"-install"}, root.Environment()), 0) << program_->Errors();
  EXPECT_EQ(program_->Output(), "Install succeeded .\n");
  // The shipped start type is the window's, and nothing provides the server's unit yet.
  EXPECT_NE(program_->Errors().find("StartType=\"0\""), std::string::npos) << program_->Errors();
  EXPECT_NE(program_->Errors().find("Zelto_SvrMain.service 尚未安装"), std::string::npos);
  EXPECT_EQ(root.Calls(),
            (std::vector<std::string>{"daemon-reload", "enable NORVANE_SVC.service"}));
  std::string unit;
  ASSERT_TRUE(ReadFile(root.UnitPath(), &unit));
  for (const std::string& line : std::vector<std::string>{
           "Type=notify", "Requires=Zelto_SvrMain.service", "After=Zelto_SvrMain.service",
           "ExecStart=\"" + program_->path() + "\"", "Restart=always",
           "ReadWritePaths=\"" + base_ + "/\"", "RuntimeDirectory=norvane",
           "SupplementaryGroups=nogroup", "WantedBy=multi-user.target"}) {
    EXPECT_NE(unit.find("\n" + line + "\n"), std::string::npos) << line << "\n" << unit;
  }

  // Installing again removes the installed service first.
  root.ClearCalls();
  ASSERT_EQ(program_->Run({"/REGSERVER"}, root.Environment()), 0) << program_->Errors();
  EXPECT_EQ(root.Calls(),
            (std::vector<std::string>{"stop --no-block NORVANE_SVC.service",
                                      "--quiet is-active NORVANE_SVC.service",
                                      "disable NORVANE_SVC.service", "daemon-reload",
                                      "daemon-reload", "enable NORVANE_SVC.service"}));

  root.ClearCalls();
  ASSERT_EQ(program_->Run({"-uninstall"}, root.Environment()), 0) << program_->Errors();
  EXPECT_FALSE(FileExists(root.UnitPath()));
  EXPECT_EQ(program_->Output(), "服务 NORVANE_SVC 已卸载.\n");
  ASSERT_FALSE(root.Calls().empty());
  EXPECT_EQ(root.Calls().front(), "stop --no-block NORVANE_SVC.service");
  EXPECT_EQ(root.Calls().back(), "daemon-reload");

  // Removing what is not installed succeeds, without a call.
  root.ClearCalls();
  ASSERT_EQ(program_->Run({"-UnRegserver"}, root.Environment()), 0);
  EXPECT_EQ(program_->Output() + program_->Errors(), "服务 NORVANE_SVC 未安装, 无需卸载.\n");
  EXPECT_TRUE(root.Calls().empty());

  // Where systemd does not run (an image being built), the unit is written and the
  // administrator told that nothing enabled it.
  SystemRoot image(/*systemd_runs=*/false);
  ASSERT_EQ(program_->Run({"-install"}, image.Environment()), 0) << program_->Errors();
  EXPECT_NE(program_->Output().find("systemd 未在运行"), std::string::npos) << program_->Output();
  EXPECT_TRUE(image.Calls().empty());
}

TEST_F(ProgramTest, InstallWithoutAServiceManagerFailsOnStandardError) {
  SystemRoot root;
  std::system(("rm -rf '" + root.dir + "/etc'").c_str());
  EXPECT_EQ(program_->Run({"-install"}, root.Environment()), 1);
  EXPECT_EQ(program_->Errors(), "Couldn't open service manager\n");
  EXPECT_EQ(program_->Output(), "");
}

TEST_F(ProgramTest, StartedByHandWhileServiceModeIsConfiguredExitsSilently) {
  SystemRoot root;
  WriteStartType(1);
  ASSERT_EQ(program_->Run({"-install"}, root.Environment()), 0);
  auto env = root.Environment();
  env["NOTIFY_SOCKET"] = "";
  env["INVOCATION_ID"] = "";
  EXPECT_EQ(program_->Run({}, env), 0);
  EXPECT_EQ(program_->Output() + program_->Errors(), "");
  EXPECT_EQ(testing::ReadLog(base_), "");
}

TEST_F(ProgramTest, ASecondCopyIsRefusedWithErrorCode183) {
  SystemRoot root;
  ::setenv("NORVANE_SYSTEM_ROOT", root.dir.c_str(), 1);
  InstanceLock first;
  ASSERT_TRUE(first.Acquire());
  ::unsetenv("NORVANE_SYSTEM_ROOT");
  // Without a display the refusal goes to standard error instead of a message box.
  auto env = root.Environment();
  env["QT_QPA_PLATFORM"] = env["DISPLAY"] = env["WAYLAND_DISPLAY"] = "";
  EXPECT_EQ(program_->Run({"-Testing"}, env), 1);
  EXPECT_NE(
      program_->Errors().find("已经有一个Norvane 服务进程在运行中, 请先退出该进程。! ErrCode =183"),
      std::string::npos)
      << program_->Errors();
}

// Exit status of `program` run with its output (standard output and error) into a pipe
// nobody reads any more; -signal when a signal ended it.
int RunIntoClosedPipe(const std::string& program, const std::vector<std::string>& args,
                      const std::string& system_root) {
  int p[2];
  if (::pipe(p) != 0) return -1000;
  ::close(p[0]);
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(p[1], 1);
    ::dup2(p[1], 2);
    ::signal(SIGPIPE, SIG_DFL);  // as a shell or systemd starts it
    ::setenv("NORVANE_SYSTEM_ROOT", system_root.c_str(), 1);
    ::setenv("PATH", (system_root + "/bin:/usr/bin:/bin").c_str(), 1);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(p[1]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFSIGNALED(status) ? -WTERMSIG(status) : WEXITSTATUS(status);
}

// A write to a closed pipe or socket (a directory that dropped an idle connection) is an
// error for the program to handle, never its silent death.
TEST_F(ProgramTest, NoProgramIsKilledByAWriteToAClosedPipe) {
  SystemRoot root;
  WriteStartType(0);
  const std::string bin = std::string(NORVANE_BINARY_DIR) + "/bin/";
  EXPECT_NE(RunIntoClosedPipe(bin + "norvanectl", {"--base", base_, "config", "show"}, root.dir),
            -SIGPIPE);
  EXPECT_NE(RunIntoClosedPipe(program_->path(), {"-install"}, root.dir), -SIGPIPE);
}

// The lock folder is root's, like /run/norvane.
class InstanceLockFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/norvane-lock-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    ASSERT_EQ(::chmod(dir_.c_str(), 0755), 0);
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

  // Runs `body` in a child process as the user nobody; its exit status.
  static int AsNobody(const std::function<bool()>& body) {
    pid_t pid = ::fork();
    if (pid == 0) {
      if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
      ::_exit(body() ? 0 : 1);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::string dir_;
};

TEST_F(InstanceLockFile, AnotherUserCanNeitherHoldNorBlockTheLock) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  // A lock file anyone may open, as earlier versions left it, opened and locked by nobody.
  const std::string path = dir_ + "/guard";
  std::ofstream(path).close();
  ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  pid_t holder = ::fork();
  if (holder == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
    int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0) ::_exit(3);
    if (::write(ready[1], "x", 1) != 1) ::_exit(4);
    ::pause();
    ::_exit(0);
  }
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  {
    InstanceLock by_root("guard", dir_);
    EXPECT_TRUE(by_root.Acquire()) << by_root.LastError() << " " << by_root.UntrustedReason();
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    InstanceLock second("guard", dir_);
    EXPECT_FALSE(second.Acquire());
    EXPECT_EQ(second.LastError(), kErrorAlreadyExists);
  }
  ::kill(holder, SIGKILL);
  ::waitpid(holder, nullptr, 0);
  ::close(ready[0]);
  ::close(ready[1]);
  // Nobody can open root's file, nor make one of its own in root's folder.
  EXPECT_EQ(AsNobody([&] { return InstanceLock("guard", dir_).Acquire(); }), 1);
  EXPECT_EQ(AsNobody([&] { return InstanceLock("other", dir_).Acquire(); }), 1);
  // A folder every user can write is no place for a lock.
  ASSERT_EQ(::chmod(dir_.c_str(), 01777), 0);
  InstanceLock shared("guard", dir_);
  EXPECT_FALSE(shared.Acquire());
  EXPECT_EQ(shared.LastError(), EPERM);
  EXPECT_FALSE(shared.UntrustedReason().empty());
}

TEST_F(InstanceLockFile, ALinkIsNotFollowed) {
  const std::string target = dir_ + "/elsewhere";
  ASSERT_EQ(::symlink(target.c_str(), (dir_ + "/guard").c_str()), 0);
  InstanceLock lock("guard", dir_);
  EXPECT_FALSE(lock.Acquire());
  EXPECT_EQ(lock.LastError(), ELOOP);
  EXPECT_FALSE(FileExists(target));
}

TEST(ServiceHostLists, ASubscriberWhoseMarkerIsWipedIsDroppedWithoutACall) {
  ServiceHost host;
  char alive[kAliveMarkerBytes], gone[kAliveMarkerBytes];
  std::memcpy(alive, kAliveMarkerText, kAliveMarkerBytes);
  std::memcpy(gone, kAliveMarkerText, kAliveMarkerBytes);
  std::vector<std::string> calls;
  host.SubscribeRun([&] { calls.push_back("alive"); }, alive);
  host.SubscribeRun([&] { calls.push_back("gone"); }, gone);
  std::memset(gone, 0, kAliveMarkerBytes);
  EXPECT_EQ(host.InvokeRunSubscribers(), 1);
  std::memcpy(gone, kAliveMarkerText, kAliveMarkerBytes);  // dropped for good
  EXPECT_EQ(host.InvokeRunSubscribers(), 1);
  EXPECT_EQ(calls, (std::vector<std::string>{"alive", "alive"}));
}

}  // namespace
}  // namespace norvane
