// The main window's controller against a real zeltod and slapd: results of sync commands as
// log lines in service mode, the daily update in its minute, long work that leaves the
// window's thread free, a Stop that does not wait for a directory that does not answer,
// a window that outlives a Zelto server down at its start, the watchdog's limit, and a
// Sync now at the window that asks before it removes.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QThread>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "app/norvane_dlg.h"
#include "config/ldap_config.h"
#include "directory/ldap_client.h"
#include "server/auth_service.h"
#include "sync/change_set.h"
#include "sync/run_report.h"
#include "tests/app/app_test_support.h"
#include "tests/auth/auth_test_support.h"
#include "tests/fixtures/slapd_fixture.h"
#include "tests/fixtures/zeltod_fixture.h"

namespace norvane {
namespace {

using namespace std::chrono_literals;
using testing::AuthBase;
using testing::AuthConfigSpec;
using testing::ReadLog;
using testing::WaitUntil;

const std::string kAlice = "uid=alice,ou=Sales,o=corp";

int ClosedPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

CNorvaneDlg::Options ServiceOptions() {
  CNorvaneDlg::Options options;
  options.service_mode = true;
  return options;
}

// Records what the controller shows, and on which thread.
class RecordingView : public MainView {
 public:
  void SetButtons(bool start, bool) override { start_enabled = start; }
  void SetTrayState(bool, const std::string&) override {}
  void RemoveTrayIcon() override {}
  void SetStartModeChecks(int) override {}
  void ShowMessage(const std::string& text, const std::string&, MessageIcon) override {
    messages.push_back(text);
    if (during_message) during_message(text);  // as timers would, inside the box's loop
  }
  void AppendLogLine(const std::string& line) override {
    if (QThread::currentThread() != thread_) foreign_thread = true;
    lines.push_back(line);
    if (in_progress) lines_during_work.push_back(line);
  }
  void SetWindowVisible(bool) override {}
  void ShowProgress(const WorkProgress& progress) override {
    if (progress.active) ++progress_reports;
    in_progress = progress.active;
    users_seen = std::max(users_seen, progress.users);
  }
  void RunConfigurationWizard() override {}
  void ShowExcludedUsers() override {}
  void RunSpecifiedUsers() override {}
  void ShowAbout() override {}
  bool ConfirmRemovals(const std::string& question, const ChangeSet& plan) override {
    questions.push_back(question);
    planned_removals = plan.UsersRemoved();
    return confirm;
  }
  void ShowLastRun(const std::string& text) override { last_run = text; }

  std::function<void(const std::string&)> during_message;
  bool confirm = false;
  std::vector<std::string> questions, planned_removals;
  std::string last_run;
  QThread* thread_ = QThread::currentThread();
  std::vector<std::string> messages, lines, lines_during_work;
  bool foreign_thread = false, in_progress = false, start_enabled = false;
  int progress_reports = 0;
  long users_seen = 0;
};

class Controller : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    testing::EnsureQtApplication();
    slapd_ = testing::StartSuiteSlapd();
  }
  static void TearDownTestSuite() {
    delete slapd_;
    slapd_ = nullptr;
  }

  void SetUp() override {
    ASSERT_NE(slapd_, nullptr);
    ASSERT_TRUE(zeltod_.Start()) << zeltod_.LogText();
  }

  // The configuration for the slapd corp tree (or `ldap_port`), with the start type (1
  // makes sync results log lines) and the daily update's settings.
  void Configure(int start_type, int ldap_port = 0, int auto_sync = 0, std::int64_t update_time = 0,
                 int same_cover = 1) {
    AuthConfigSpec settings;
    settings.same_cover = same_cover;
    settings.ldap_port = ldap_port ? ldap_port : slapd_->port();
    settings.admin = slapd_->admin_dn();
    settings.password = slapd_->admin_password();
    ASSERT_TRUE(base_.WriteConfig(settings, zeltod_));
    CLdapConfig config;
    config.Init();
    ASSERT_TRUE(config.SaveStartMode(start_type));
    ManageSyncInfo info;
    ASSERT_TRUE(config.LoadManageSync(info));
    info.auto_sync = auto_sync;
    info.update_time = update_time;
    ASSERT_TRUE(config.SaveManageSync(info));
  }

  int LogCount(const std::string& fragment) const {
    const std::string log = ReadLog(base_.dir());
    int n = 0;
    for (std::size_t pos = log.find(fragment); pos != std::string::npos;
         pos = log.find(fragment, pos + 1)) {
      ++n;
    }
    return n;
  }

  static testing::Slapd* slapd_;
  AuthBase base_;
  Zeltod zeltod_;
};

testing::Slapd* Controller::slapd_ = nullptr;

TEST_F(Controller, SyncResultsAreLogLinesInServiceMode) {
  Configure(1);
  CNorvaneDlg dlg(ServiceOptions());
  ASSERT_TRUE(dlg.Create()) << ReadLog(base_.dir());
  EXPECT_TRUE(dlg.Running());
  EXPECT_TRUE(dlg.ServiceModeResults());

  dlg.SyncNow();
  EXPECT_EQ(LogCount("LDAP数据已成功导入Zelto服务器，请打开Zelto管理器查看!"), 1);

  Configure(1, ClosedPort());
  dlg.SyncNow();
  EXPECT_EQ(LogCount("] LDAP数据导入失败，详情请见系统日志.\n"), 1);
  EXPECT_TRUE(dlg.AutoSyncAllowedNow());
}

TEST_F(Controller, ACancelOfAllUsersThatFailsSaysSo) {
  Configure(1);
  CNorvaneDlg dlg(ServiceOptions());
  ASSERT_TRUE(dlg.Create()) << ReadLog(base_.dir());
  zeltod_.Kill();
  dlg.CancelAllUsers();
  EXPECT_EQ(LogCount("取消所有用户LDAP认证失败，详情请见系统日志"), 1);
  EXPECT_EQ(LogCount("取消所有用户LDAP认证成功"), 0);
}

TEST_F(Controller, TheDailyUpdateRunsInTheConfiguredMinuteOnly) {
  const std::time_t update_time = 1293849000;  // some day at a fixed local minute
  Configure(1, 0, 1, update_time);
  std::atomic<std::time_t> now{update_time + 3600};
  CNorvaneDlg::Options options = ServiceOptions();
  options.now = [&] { return now.load(); };
  options.auto_sync_period = 100ms;
  options.watchdog_period = 100ms;
  CNorvaneDlg dlg(options);
  ASSERT_TRUE(dlg.Create()) << ReadLog(base_.dir());

  const char* kUpdated = "LDAP数据已成功更新到Zelto服务器，请打开Zelto管理器查看!";
  QTimer::singleShot(1000, [&] { now = update_time + 5 * 86400 + 20; });
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (LogCount(kUpdated) > 0) dlg.PostClose();
  });
  poll.start(100);
  QTimer::singleShot(120000, [&] { dlg.PostClose(); });
  dlg.RunModalLoop();
  EXPECT_EQ(LogCount(kUpdated), 1) << ReadLog(base_.dir());
  const auto reports = ReadRunReports(1);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].value("trigger", ""), "schedule");
}

TEST_F(Controller, ASyncLeavesTheWindowThreadFreeAndReportsProgress) {
  Configure(0);
  RecordingView view;
  CNorvaneDlg dlg;
  dlg.AttachView(&view);
  ASSERT_TRUE(dlg.Create()) << ReadLog(base_.dir());
  dlg.SyncNow();
  EXPECT_EQ(view.messages.back(), "LDAP数据已成功导入Zelto服务器，请打开Zelto管理器查看!");
  EXPECT_GT(view.progress_reports, 0);
  // The engine's lines reached the view while the import was still running.
  EXPECT_FALSE(view.lines_during_work.empty());
  EXPECT_FALSE(view.foreign_thread);
  EXPECT_FALSE(view.in_progress);
}

TEST_F(Controller, TheServiceIsFreeWhileItsMessageBoxIsOpen) {
  Configure(0);
  RecordingView view;
  CNorvaneDlg dlg;
  dlg.AttachView(&view);
  ASSERT_TRUE(dlg.Create()) << ReadLog(base_.dir());
  // Released by the server: a Stop then says that nothing runs, in a box.
  ASSERT_EQ(zeltod_.Ctl({"stop-app"}), 0);
  ASSERT_TRUE(WaitUntil([&] { return !dlg.Auth()->Initialised(); }, 10s));
  int inits = 0;
  view.during_message = [&](const std::string& text) {
    if (text != "应用未启动") return;
    inits += dlg.Auth()->Init();
    dlg.WatchdogTick();
  };
  dlg.Stop();
  EXPECT_EQ(inits, 1);
  EXPECT_FALSE(dlg.Running());
}

TEST_F(Controller, StopDoesNotWaitForACheckOnADirectoryThatDoesNotAnswer) {
  auto silent = std::make_unique<testing::SilentServer>();
  Configure(1, silent->port());
  ASSERT_TRUE(testing::AddZeltoUser(zeltod_, kAlice, 3));
  CNorvaneDlg dlg(ServiceOptions());
  SetOperationTimeout(1);  // the engine's own connect gives up at once
  const bool created = dlg.Create();
  SetOperationTimeout(kOperationTimeoutSeconds);
  ASSERT_TRUE(created) << ReadLog(base_.dir());
  const int before = silent->Connections();

  std::atomic<int> result{-2};
  std::atomic<std::chrono::steady_clock::time_point> answered{};
  std::thread login([&] {
    result = testing::Login(zeltod_, kAlice, slapd_->User("alice").password);
    answered = std::chrono::steady_clock::now();
  });
  ASSERT_TRUE(WaitUntil([&] { return silent->Connections() > before; }, 10s));

  const auto stop_at = std::chrono::steady_clock::now();
  dlg.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - stop_at, 2s);
  EXPECT_FALSE(dlg.Running());
  login.join();
  EXPECT_EQ(result, 1);
  // zeltod itself would have given up only after 10 s.
  EXPECT_LT(answered.load() - stop_at, 4s);
  silent.reset();  // the abandoned check fails and ends
}

TEST_F(Controller, TheWindowStaysWhileTheServerIsDownAndAnswersWhenItReturns) {
  Configure(0);
  ASSERT_TRUE(testing::AddZeltoUser(zeltod_, kAlice, 3));
  ASSERT_TRUE(zeltod_.Stop());
  RecordingView view;
  CNorvaneDlg::Options options;
  options.watchdog_period = 100ms;
  CNorvaneDlg dlg(options);
  dlg.AttachView(&view);
  ASSERT_TRUE(dlg.Create()) << ReadLog(base_.dir());
  EXPECT_FALSE(dlg.Ended());
  EXPECT_FALSE(dlg.Running());
  EXPECT_TRUE(view.start_enabled);

  // Down for ten watchdog periods or more, then back on the same ports.
  bool restarted = false;
  QTimer::singleShot(1000, [&] { restarted = zeltod_.Start(); });
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (dlg.Running()) dlg.PostClose();
  });
  poll.start(100);
  QTimer::singleShot(60000, [&] { dlg.PostClose(); });
  dlg.RunModalLoop();
  ASSERT_TRUE(restarted) << zeltod_.LogText();
  EXPECT_TRUE(dlg.Running()) << ReadLog(base_.dir());
  EXPECT_EQ(view.messages,
            std::vector<std::string>{
                "检测到Zelto服务器的APPServer处于已停止或异常状态，请打开Zelto管理器启动!"});
  EXPECT_EQ(LogCount("AppServer或SdkServer没有启动"), 1) << ReadLog(base_.dir());
  EXPECT_EQ(LogCount("AppServer和SdkServer已恢复响应"), 1);

  EXPECT_EQ(testing::Login(zeltod_, kAlice, slapd_->User("alice").password), 0);
  EXPECT_EQ(testing::Login(zeltod_, kAlice, "Wrong-Secret"), 2);
  EXPECT_EQ(LogCount("帐号登录='" + kAlice + "'验证未通过: 帐号或密码错误"), 1)
      << ReadLog(base_.dir());
  EXPECT_EQ(LogCount("Wrong-Secret"), 0);
}

TEST_F(Controller, CommandsSayTheEngineIsUnusableUntilTheSettingIsFixed) {
  Configure(0);
  {
    CLdapConfig config;
    config.Init();
    ASSERT_TRUE(config.SaveTrustSetting("SDKCredentialFile", base_.dir() + "/missing"));
  }
  RecordingView view;
  CNorvaneDlg dlg;
  dlg.AttachView(&view);
  ASSERT_TRUE(dlg.Create()) << ReadLog(base_.dir());
  dlg.SyncNow();
  dlg.AssociateAllUsers();
  ASSERT_EQ(view.messages.size(), 3u);
  EXPECT_EQ(view.messages[1].rfind("同步引擎不可用", 0), 0u) << view.messages[1];
  EXPECT_EQ(view.messages[2], view.messages[1]);
  dlg.WatchdogTick();
  EXPECT_EQ(LogCount("Zelto服务器的设置不可用"), 1) << ReadLog(base_.dir());
  EXPECT_EQ(LogCount("AppServer或SdkServer没有启动"), 0);

  Configure(0);  // the wizard puts the server's credential file back
  dlg.WatchdogTick();
  EXPECT_TRUE(dlg.Running()) << ReadLog(base_.dir());
  dlg.SyncNow();
  EXPECT_EQ(view.messages.back(), "LDAP数据已成功导入Zelto服务器，请打开Zelto管理器查看!");
}

TEST_F(Controller, SyncNowAsksBeforeARunThatRemovesAndWritesNothingUnlessTold) {
  Configure(0, 0, 0, 0, /*same_cover=*/0);
  ASSERT_EQ(zeltod_.Ctl({"add-dept", "HandMade\\"}), 0);
  ASSERT_EQ(zeltod_.Ctl({"add-user", "hand-made", "HandMade\\"}), 0);
  RecordingView view;
  CNorvaneDlg dlg;
  dlg.AttachView(&view);
  ASSERT_TRUE(dlg.Create()) << ReadLog(base_.dir());
  EXPECT_EQ(view.last_run, "上次运行：无记录");
  const auto dump = [&] {
    std::string out;
    zeltod_.Ctl({"dump"}, &out);
    return out;
  };

  dlg.SyncNow();  // answered no
  ASSERT_EQ(view.questions.size(), 1u);
  EXPECT_NE(view.questions[0].find("删除部门1个、帐号1个"), std::string::npos) << view.questions[0];
  EXPECT_EQ(view.planned_removals, std::vector<std::string>{"hand-made"});
  EXPECT_EQ(view.messages, std::vector<std::string>{});
  const std::string before = dump();
  EXPECT_NE(before.find("HandMade"), std::string::npos);
  EXPECT_NE(before.find("hand-made"), std::string::npos);
  EXPECT_EQ(before.find("alice"), std::string::npos);  // nothing at all was written
  EXPECT_TRUE(ReadRunReports(1).empty());
  EXPECT_TRUE(dlg.AutoSyncAllowedNow());

  view.confirm = true;
  dlg.SyncNow();
  EXPECT_EQ(view.questions.size(), 2u);
  EXPECT_EQ(view.messages.back(), "LDAP数据已成功导入Zelto服务器，请打开Zelto管理器查看!");
  const std::string after = dump();
  EXPECT_EQ(after.find("HandMade"), std::string::npos);
  EXPECT_EQ(after.find("hand-made"), std::string::npos);
  EXPECT_NE(after.find("alice"), std::string::npos);
  const auto reports = ReadRunReports(1);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].value("trigger", ""), "window");
  EXPECT_EQ(view.last_run.rfind("上次运行：数据同步（窗口） ", 0), 0u) << view.last_run;
  EXPECT_NE(view.last_run.find(" 成功，变更"), std::string::npos) << view.last_run;

  // Nothing left to remove: the sync runs without a question.
  dlg.SyncNow();
  EXPECT_EQ(view.questions.size(), 2u);
  EXPECT_EQ(view.messages.size(), 2u);
}

TEST(ControllerWatchdog, StopsProbingAfter1001FailuresInARow) {
  testing::EnsureQtApplication();
  int probes = 0;
  CNorvaneDlg::Options options;
  options.probe = [&] {
    ++probes;
    return 0;
  };
  CNorvaneDlg dlg(options);
  for (int i = 0; i < 1100; ++i) dlg.WatchdogTick();
  EXPECT_EQ(probes, 1001);
  EXPECT_EQ(dlg.WatchdogFailures(), 1001u);
  EXPECT_TRUE(dlg.ServerDown());
}

TEST(ControllerWatchdog, TheServiceKeepsProbingEverMoreSeldomAndSeesTheServerReturn) {
  testing::EnsureQtApplication();
  int probes = 0;
  bool up = false;
  CNorvaneDlg::Options options;
  options.service_mode = true;
  options.watchdog_period = 1ms;  // so the longest wait between probes is 30 ms
  options.probe = [&] {
    ++probes;
    return up ? 1 : 0;
  };
  CNorvaneDlg dlg(options);
  for (int i = 0; i < 1001; ++i) dlg.WatchdogTick();
  ASSERT_EQ(probes, 1001);
  // Past the limit: probed again, but not at every tick.
  const auto until = std::chrono::steady_clock::now() + 300ms;
  int ticks = 0;
  while (std::chrono::steady_clock::now() < until) {
    dlg.WatchdogTick();
    ++ticks;
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_GT(probes, 1001 + 3);
  EXPECT_LT(probes - 1001, ticks / 2);
  EXPECT_TRUE(dlg.ServerDown());
  up = true;
  std::this_thread::sleep_for(40ms);
  dlg.WatchdogTick();
  EXPECT_FALSE(dlg.ServerDown());
  EXPECT_EQ(dlg.WatchdogFailures(), 0u);
}

}  // namespace
}  // namespace norvane
