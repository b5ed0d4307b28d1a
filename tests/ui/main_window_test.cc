// The main window driven through its widgets, on the real controller, against a real slapd
// and zeltod.
#include <gtest/gtest.h>

#include <QAction>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QTest>
#include <QToolBar>
#include <QToolButton>
#include <thread>

#include "app/norvane_dlg.h"
#include "config/ldap_config.h"
#include "platform/activity_log.h"
#include "tests/ui/ui_test_support.h"
#include "ui/excluded_users_dialog.h"
#include "ui/main_window.h"

namespace norvane::testing {
namespace {

class MainWindowTest : public UiServersTest {
 protected:
  void SetUp() override {
    UiServersTest::SetUp();
    if (HasFatalFailure()) return;
    CNorvaneDlg::Options options;
    options.probe = [this] { return server_answers_ ? 1 : 0; };
    controller_ = std::make_unique<CNorvaneDlg>(options);
    window_ = std::make_unique<CNorvaneWindow>(*controller_, /*tray_available=*/true);
    controller_->AttachView(window_.get());
    ASSERT_TRUE(controller_->Create());
    controller_->ShowWindow();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window_.get()));
  }
  void TearDown() override {
    controller_.reset();
    window_.reset();
    UiServersTest::TearDown();
  }

  template <typename T>
  T* Find(const char* name) const {
    return window_->findChild<T*>(name);
  }
  void Trigger(const char* action) const { Find<QAction>(action)->trigger(); }
  QString LogText() const { return Find<QPlainTextEdit>("logView")->toPlainText(); }
  bool StartEnabled() const { return Find<QToolButton>("startButton")->isEnabled(); }
  bool StopEnabled() const { return Find<QToolButton>("stopButton")->isEnabled(); }
  static QStringList Texts(const QList<QAction*>& actions) {
    QStringList texts;
    for (QAction* action : actions) texts << (action->isSeparator() ? "-" : action->text());
    return texts;
  }

  bool server_answers_ = true;
  std::unique_ptr<CNorvaneDlg> controller_;
  std::unique_ptr<CNorvaneWindow> window_;
};

// The Zelto server does not answer when the window is created.
class MainWindowServerDownTest : public MainWindowTest {
 protected:
  MainWindowServerDownTest() { server_answers_ = false; }
};

TEST_F(MainWindowTest, MenusAndToolbarCarryTheirItemsInOrder) {
  EXPECT_EQ(window_->windowTitle(), "LDAP同步工具");
  // The icons are SVG: drawn only where the SVG icon engine is installed.
  EXPECT_FALSE(window_->windowIcon().pixmap(32, 32).isNull());
  EXPECT_FALSE(Find<QToolButton>("startButton")->icon().pixmap(32, 32).isNull());
  const QList<QAction*> menus = window_->menuBar()->actions();
  ASSERT_EQ(menus.size(), 3);
  EXPECT_EQ(Texts(menus), (QStringList{"文件(&F)", "设置(&T)", "帮助(&H)"}));
  EXPECT_EQ(Texts(menus[0]->menu()->actions()).mid(0, 6),
            (QStringList{"启动LDAP认证系统", "停止LDAP认证系统", "-", "同步LDAP数据",
                         "关联所有用户LDAP认证", "取消所有用户LDAP认证"}));
  EXPECT_EQ(Texts(menus[0]->menu()->actions()).last(), "退出");
  EXPECT_EQ(Texts(menus[1]->menu()->actions()),
            (QStringList{"LDAP服务器配置", "禁止导入的用户配置", "-", "以服务方式启动（需重启）",
                         "以界面方式启动（需重启）"}));
  EXPECT_EQ(Texts(menus[2]->menu()->actions()), (QStringList{"关于(&A)", "-", "退出"}));
  EXPECT_EQ(Texts(Find<QToolBar>("toolBar")->actions()),
            (QStringList{"配置向导", "数据同步", "高级配置", "变更预览"}));
  EXPECT_EQ(Texts(window_->TrayMenu()->actions()), (QStringList{"关于", "-", "退出"}));
}

TEST_F(MainWindowTest, StartedSystemShowsInButtonsTrayAndLogLinesOnceInOrder) {
  EXPECT_FALSE(StartEnabled());
  EXPECT_TRUE(StopEnabled());
  EXPECT_TRUE(window_->TrayShown());
  EXPECT_TRUE(window_->TrayRunning());
  EXPECT_EQ(window_->TrayToolTip(), "LDAP同步工具");
  ASSERT_TRUE(WaitUntil(
      [&] { return LogText().contains("启动成功\n") || LogText().endsWith("启动成功"); }));
  const QString log = LogText();
  EXPECT_EQ(log.count("启动成功!"), 1);
  EXPECT_LT(log.indexOf("启动成功!"), log.lastIndexOf("启动成功"));
  EXPECT_TRUE(log.startsWith("["));  // each line keeps its time stamp

  // The menu's Start stays enabled while running, and says so when chosen.
  ASSERT_TRUE(Find<QAction>("startAction")->isEnabled());
  Trigger("startAction");
  ASSERT_TRUE(WaitUntil([&] { return LogText().contains("服务正在启动,请稍候..."); }));
  EXPECT_EQ(LogText().count("启动成功!"), 1);
  EXPECT_FALSE(StartEnabled());
  EXPECT_TRUE(StopEnabled());
  EXPECT_TRUE(window_->TrayRunning());

  Find<QToolButton>("stopButton")->click();
  EXPECT_TRUE(StartEnabled());
  EXPECT_FALSE(StopEnabled());
  EXPECT_FALSE(window_->TrayRunning());
  ASSERT_TRUE(WaitUntil([&] { return LogText().contains("服务已停止"); }));

  Find<QToolButton>("startButton")->click();
  EXPECT_FALSE(StartEnabled());
  EXPECT_TRUE(window_->TrayRunning());
}

TEST_F(MainWindowTest, LinesWrittenOnAnotherThreadAppearOnceEachInOrder) {
  std::thread writer([] {
    for (int i = 0; i < 50; ++i) WriteLog("worker line " + std::to_string(i));
  });
  writer.join();
  ASSERT_TRUE(WaitUntil([&] { return LogText().contains("worker line 49"); }));
  const QStringList lines = LogText().split('\n');
  int expected = 0;
  for (const QString& line : lines) {
    if (!line.contains("worker line ")) continue;
    EXPECT_TRUE(line.endsWith(QStringLiteral("worker line %1").arg(expected)))
        << line.toStdString();
    ++expected;
  }
  EXPECT_EQ(expected, 50);
}

TEST_F(MainWindowTest, StartModeItemsMoveTheirCheckMarkAndStoreTheType) {
  EXPECT_TRUE(Find<QAction>("interfaceModeAction")->isChecked());
  Trigger("serviceModeAction");
  ASSERT_EQ(boxes_.Shown().size(), 1u);
  EXPECT_EQ(boxes_.Shown()[0].caption, "温馨提示");
  EXPECT_EQ(boxes_.Shown()[0].text, "设置以服务方式启动成功，请先退出进程重启服务才生效");
  EXPECT_EQ(boxes_.Shown()[0].icon, QMessageBox::Question);
  EXPECT_TRUE(Find<QAction>("serviceModeAction")->isChecked());
  EXPECT_FALSE(Find<QAction>("interfaceModeAction")->isChecked());
  CLdapConfig config;
  config.Init();
  int start_type = 0;
  config.LoadStartMode(start_type);
  EXPECT_EQ(start_type, 1);

  Trigger("interfaceModeAction");
  EXPECT_EQ(boxes_.Texts().last(), "设置以界面方式启动成功，请先退出进程重启进程才生效");
  EXPECT_TRUE(Find<QAction>("interfaceModeAction")->isChecked());
  EXPECT_FALSE(Find<QAction>("serviceModeAction")->isChecked());
}

TEST_F(MainWindowTest, SyncShowsItsProgressThenItsResult) {
  QStringList progress;
  QTimer sampler;
  QObject::connect(&sampler, &QTimer::timeout, [&] {
    const QString text = Find<QLabel>("progressText")->text();
    if (!text.isEmpty() && !progress.contains(text)) progress << text;
  });
  sampler.start(10);
  Trigger("syncButton");
  sampler.stop();
  EXPECT_EQ(boxes_.Texts(), QStringList{"LDAP数据已成功导入Zelto服务器，请打开Zelto管理器查看!"});
  ASSERT_FALSE(progress.isEmpty());
  // The plan comes first (a dry run), then the sync itself.
  EXPECT_TRUE(progress.front().startsWith("生成变更预览：")) << progress.front().toStdString();
  EXPECT_TRUE(progress.last().startsWith("同步LDAP数据：")) << progress.last().toStdString();
  EXPECT_TRUE(Find<QLabel>("lastRun")->text().startsWith("上次运行：数据同步（窗口） "));
  EXPECT_TRUE(Find<QLabel>("progressText")->text().isEmpty());
  EXPECT_TRUE(Find<QAction>("syncAction")->isEnabled());
  EXPECT_TRUE(DumpOrg(Server()).users.count("alice"));
}

TEST_F(MainWindowTest, CloseAndMinimiseHideTheWindowAndTheTrayBringsItBack) {
  window_->close();
  EXPECT_FALSE(window_->isVisible());
  window_->TrayClicked();
  EXPECT_TRUE(window_->isVisible());
  window_->showMinimized();
  EXPECT_TRUE(WaitUntil([&] { return !window_->isVisible(); }));
  window_->TrayClicked();
  EXPECT_TRUE(window_->isVisible());
  EXPECT_FALSE(window_->isMinimized());
}

TEST_F(MainWindowTest, AboutShowsABoxAndFileExitEnds) {
  Trigger("aboutAction");
  ASSERT_EQ(boxes_.Shown().size(), 1u);
  EXPECT_EQ(boxes_.Shown()[0].caption, "关于 LDAP同步工具");
  Trigger("fileExitAction");
  EXPECT_TRUE(controller_->Ended());
  EXPECT_FALSE(window_->TrayShown());
  EXPECT_EQ(controller_->Engine(), nullptr);
}

TEST_F(MainWindowTest, AdvancedButtonShowsTheExcludedUsersDialog) {
  Ctl({"add-user", "mw-user"});
  Trigger("advancedButton");
  CExcludedUsersDlg* dialog = window_->ExcludedUsersDialog();
  EXPECT_TRUE(dialog->isVisible());
  EXPECT_FALSE(dialog->Candidates()->findItems("mw-user", Qt::MatchExactly).isEmpty());
}

TEST_F(MainWindowServerDownTest, StaysOpenWithStartAndTheWizardUntilTheWatchdogStartsTheSystem) {
  EXPECT_EQ(
      boxes_.Texts(),
      QStringList{"检测到Zelto服务器的APPServer处于已停止或异常状态，请打开Zelto管理器启动!"});
  EXPECT_FALSE(controller_->Ended());
  EXPECT_FALSE(controller_->Running());
  EXPECT_TRUE(StartEnabled());
  EXPECT_FALSE(StopEnabled());
  EXPECT_TRUE(Find<QAction>("wizardAction")->isEnabled());
  EXPECT_TRUE(Find<QAction>("wizardButton")->isEnabled());
  controller_->WatchdogTick();
  EXPECT_FALSE(controller_->Running());

  server_answers_ = true;
  controller_->WatchdogTick();
  EXPECT_TRUE(controller_->Running());
  EXPECT_FALSE(StartEnabled());
  EXPECT_TRUE(StopEnabled());
  EXPECT_EQ(boxes_.Shown().size(), 1u);
}

}  // namespace
}  // namespace norvane::testing
