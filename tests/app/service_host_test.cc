// The program as an installer and as a copy that must not run: install and remove against a
// stand-in systemctl, a start by hand while service mode is configured, a second copy, the
// single-instance lock file left by another user, and the subscriber lists' markers.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

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
  ASSERT_EQ(program_->Run({"-install"}, root.Environment()), 0) << program_->Errors();
  EXPECT_EQ(program_->Output(), "Install succeeded .\n");
  EXPECT_EQ(root.Calls(),
            (std::vector<std::string>{"daemon-reload", "enable NORVANE_SVC.service"}));
  std::string unit;
  ASSERT_TRUE(ReadFile(root.UnitPath(), &unit));
  for (const std::string& line : std::vector<std::string>{
           "Type=notify", "Requires=Zelto_SvrMain.service", "After=Zelto_SvrMain.service",
           "ExecStart=\"" + program_->path() + "\"", "Restart=on-failure",
           "ReadWritePaths=\"" + base_ + "/\" -/run/lock", "WantedBy=multi-user.target"}) {
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
  EXPECT_EQ(program_->Output(), "");
  ASSERT_FALSE(root.Calls().empty());
  EXPECT_EQ(root.Calls().front(), "stop --no-block NORVANE_SVC.service");
  EXPECT_EQ(root.Calls().back(), "daemon-reload");

  // Removing what is not installed succeeds silently, without a call.
  root.ClearCalls();
  ASSERT_EQ(program_->Run({"-UnRegserver"}, root.Environment()), 0);
  EXPECT_EQ(program_->Output() + program_->Errors(), "");
  EXPECT_TRUE(root.Calls().empty());
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

// The lock folder is shared by every user, like /run/lock.
class InstanceLockFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/norvane-lock-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    ASSERT_EQ(::chmod(dir_.c_str(), 01777), 0);
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

TEST_F(InstanceLockFile, AnyUserTakesTheLockWhoeverLeftTheFile) {
  if (::geteuid() != 0) {
    // Without root: a file that cannot be written to is still usable.
    std::ofstream(dir_ + "/guard").close();
    ASSERT_EQ(::chmod((dir_ + "/guard").c_str(), 0444), 0);
    InstanceLock lock("guard", dir_);
    EXPECT_TRUE(lock.Acquire()) << lock.LastError();
    return;
  }
  {
    InstanceLock by_root("guard", dir_);
    ASSERT_TRUE(by_root.Acquire());
  }
  EXPECT_EQ(AsNobody([&] { return InstanceLock("guard", dir_).Acquire(); }), 0);

  ASSERT_EQ(::unlink((dir_ + "/guard").c_str()), 0);
  ASSERT_EQ(AsNobody([&] { return InstanceLock("guard", dir_).Acquire(); }), 0);
  InstanceLock by_root("guard", dir_);
  EXPECT_TRUE(by_root.Acquire()) << by_root.LastError();
  InstanceLock second("guard", dir_);
  EXPECT_FALSE(second.Acquire());
  EXPECT_EQ(second.LastError(), kErrorAlreadyExists);
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
