// Opens the main window, the wizard's three pages and each dialog on the demo directory and
// a fresh zeltod, and saves a PNG picture of each into the folder named on the command line;
// then starts the norvane program itself in interface mode on the same display, opens its
// wizard and its excluded-users dialog from the keyboard (xdotool) and pictures them. Run by
// screenshots_test under Xvfb; exits 0 when every picture was saved.
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <QWindow>
#include <chrono>
#include <cstdio>
#include <fstream>

#include "app/norvane_dlg.h"
#include "tests/app/app_test_support.h"
#include "tests/ui/ui_test_support.h"
#include "ui/config_wizard.h"
#include "ui/dept_dialog.h"
#include "ui/excluded_users_dialog.h"
#include "ui/main_window.h"
#include "ui/plan_dialog.h"
#include "ui/progress_window.h"
#include "ui/specified_users_dialog.h"

namespace norvane::testing {
namespace {

bool Shoot(QWidget* widget, const QString& folder, const char* name) {
  widget->raise();
  widget->activateWindow();
  if (!QTest::qWaitForWindowExposed(widget, 5000)) {
    std::fprintf(stderr, "%s: never exposed\n", name);
    return false;
  }
  QTest::qWait(300);  // let the window paint before the X server is read
  QPixmap picture = widget->screen()->grabWindow(widget->winId());
  if (picture.isNull()) picture = widget->grab();
  const QString path = folder + "/" + name + ".png";
  if (!picture.save(path, "PNG")) {
    std::fprintf(stderr, "%s: cannot save %s\n", name, qPrintable(path));
    return false;
  }
  std::printf("saved %s\n", qPrintable(path));
  return true;
}

// xdotool, for the windows of another process: its standard output, or "" when it fails.
std::string Xdo(const std::string& args) {
  FILE* pipe = ::popen(("xdotool " + args + " 2>/dev/null").c_str(), "r");
  if (!pipe) return "";
  std::string out;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, pipe)) out += buffer;
  return ::pclose(pipe) == 0 ? out : "";
}

// The id of the shown window whose title matches `pattern`, waited for up to 30 s; 0 if none.
WId FindWindow(const std::string& pattern) {
  WId id = 0;
  WaitUntil(
      [&] {
        const std::string out = Xdo("search --onlyvisible --name '" + pattern + "'");
        id = out.empty() ? 0 : std::stoul(out);
        return id != 0;
      },
      std::chrono::seconds(30));
  return id;
}

bool ShootForeign(WId id, const QString& folder, const char* name) {
  QTest::qWait(500);  // the other process paints its window
  const QPixmap picture = QGuiApplication::primaryScreen()->grabWindow(id);
  const QString path = folder + "/" + name + ".png";
  if (picture.isNull() || !picture.save(path, "PNG")) {
    std::fprintf(stderr, "%s: cannot picture window %lu\n", name, static_cast<unsigned long>(id));
    return false;
  }
  std::printf("saved %s\n", qPrintable(path));
  return true;
}

// The norvane program itself in interface mode (-Testing) with `base` as its base folder,
// driven from the keyboard as a user would: its main window, the wizard's three pages
// (设置 → LDAP服务器配置, then Enter for 下一步 twice, which tests the connection to the
// demo directory) and the excluded-users dialog (设置 → 禁止导入的用户配置).
bool ShootProgram(const std::string& base, const QString& folder) {
  std::ofstream(base + "/logs/norvanelog.log", std::ios::trunc).close();
  SystemRoot root(/*systemd_runs=*/false);  // its own lock folder
  Program program(base);
  if (!program.Start({"-Testing"}, root.Environment())) return false;
  const bool up = WaitUntil([&] { return ReadLog(base).find("启动成功") != std::string::npos; },
                            std::chrono::seconds(60));
  const WId main = up ? FindWindow("^LDAP同步工具$") : 0;
  if (!main) {
    std::fprintf(stderr, "norvane did not come up: %s\n%s\n", program.Errors().c_str(),
                 ReadLog(base).c_str());
    return false;
  }
  bool ok = ShootForeign(main, folder, "program_main_window");
  // There is no window manager to give the focus back to the main window between dialogs.
  const std::string focus_main = "windowfocus --sync " + std::to_string(main);
  Xdo(focus_main + " key alt+t");
  QTest::qWait(300);
  Xdo("key Return");
  const struct {
    const char* title;
    const char* name;
    const char* key;  // 下一步, or 取消 on the last page
  } pages[] = {{"^配置LDAP---步骤1", "program_wizard_step1", "Return"},
               {"^配置LDAP---步骤2", "program_wizard_step2", "Return"},
               {"^配置LDAP---步骤3", "program_wizard_step3", "Escape"}};
  for (const auto& page : pages) {
    const WId wizard = FindWindow(page.title);
    ok = wizard && ShootForeign(wizard, folder, page.name) && ok;
    if (!wizard) break;
    Xdo("windowfocus --sync " + std::to_string(wizard) + " key " + page.key);
  }
  QTest::qWait(500);
  Xdo(focus_main + " key alt+t");
  QTest::qWait(300);
  Xdo("key Down Return");
  const WId excluded = FindWindow("^配置禁用用户$");
  ok = excluded && ShootForeign(excluded, folder, "program_excluded_users") && ok;
  return ok;
}

int Run(const QString& folder) {
  SlapdServer slapd;
  if (!slapd.Start({"--bare", "--ldif", NORVANE_SOURCE_DIR "/res/sample/directory.ldif"})) {
    return 2;
  }
  Zeltod zeltod;
  if (!zeltod.Start()) return 2;
  BaseFolderScope base;
  if (!base.WriteConfig(CorpSettings(slapd), zeltod)) return 2;

  // Made on the server by hand: the plan removes them, so Sync now asks first.
  if (zeltod.Ctl({"add-dept", "人工部门\\"}) != 0) return 2;
  if (zeltod.Ctl({"add-user", "hand-made", "人工部门\\"}) != 0) return 2;

  MessageBoxWatcher boxes;  // the sync's question and result boxes
  CNorvaneDlg controller;
  CNorvaneWindow window(controller, QSystemTrayIcon::isSystemTrayAvailable());
  controller.AttachView(&window);
  if (!controller.Create()) return 3;
  controller.ShowWindow();
  bool ok = true;
  // 变更预览 from the menu: the first plan is pictured and closed; a plan opened later (from
  // Sync now's question) runs the sync.
  int plans = 0;
  QTimer plan_closer;
  QObject::connect(&plan_closer, &QTimer::timeout, [&] {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
      auto* plan = qobject_cast<CChangePlanDlg*>(widget);
      if (!plan || !plan->isVisible() || plan->property("answered").toBool()) continue;
      plan->setProperty("answered", true);
      if (plans++ == 0) {
        // The accounts' branch unfolded, to show where each one goes.
        for (QTreeWidgetItem* branch : plan->Tree()->findItems("新增帐号", Qt::MatchStartsWith)) {
          branch->setExpanded(true);
          plan->Tree()->setCurrentItem(branch);
        }
        ok = Shoot(plan, folder, "plan_dialog") && ok;
        plan->reject();
      } else {
        plan->RunButton()->click();
      }
    }
  });
  plan_closer.start(50);
  window.findChild<QAction*>("previewAction")->trigger();
  ok = plans == 1 && ok;
  controller.SyncNow();
  plan_closer.stop();
  QTest::qWait(200);
  ok = Shoot(&window, folder, "main_window") && ok;

  {
    CLdapConfigSheet wizard(&window);
    wizard.show();
    ok = Shoot(&wizard, folder, "wizard_step1") && ok;
    wizard.button(QWizard::NextButton)->click();
    ok = wizard.currentId() == CLdapConfigSheet::kStep2 && ok;
    ok = Shoot(&wizard, folder, "wizard_step2") && ok;
    wizard.findChild<QPushButton*>("selectDepartments")->click();
    CDeptSelectDlg* departments = wizard.Step2()->DeptDialog();
    ok = departments->isVisible() && Shoot(departments, folder, "dept_dialog") && ok;
    departments->hide();
    wizard.button(QWizard::NextButton)->click();
    ok = Shoot(&wizard, folder, "wizard_step3") && ok;
    wizard.reject();
  }

  controller.ExcludedUsers();
  ok = Shoot(window.ExcludedUsersDialog(), folder, "excluded_users") && ok;
  window.ExcludedUsersDialog()->hide();

  {
    CSpecifiedUsersDlg specified(&window);
    specified.findChild<QLineEdit*>("authAccounts")->setText("u000001;u000002");
    specified.show();
    ok = Shoot(&specified, folder, "specified_users") && ok;
    specified.hide();
  }
  {
    ProgressWindow progress(kProgressConnect, &window);
    progress.show();
    ok = Shoot(&progress, folder, "progress_window") && ok;
  }
  controller.Exit();
  for (QWidget* widget : QApplication::topLevelWidgets()) widget->hide();
  ok = ShootProgram(base.dir(), folder) && ok;
  return ok ? 0 : 1;
}

}  // namespace
}  // namespace norvane::testing

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: ui_screenshot_driver FOLDER\n");
    return 2;
  }
  const QString folder = QString::fromLocal8Bit(argv[1]);
  QDir().mkpath(folder);
  return norvane::testing::Run(folder);
}
