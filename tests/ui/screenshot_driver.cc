// Opens the main window, the wizard's three pages and each dialog on the demo directory and
// a fresh zeltod, and saves a PNG picture of each into the folder named on the command line.
// Run by screenshots_test under Xvfb; exits 0 when every picture was saved.
#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTest>
#include <QWindow>
#include <cstdio>

#include "app/norvane_dlg.h"
#include "tests/ui/ui_test_support.h"
#include "ui/config_wizard.h"
#include "ui/dept_dialog.h"
#include "ui/excluded_users_dialog.h"
#include "ui/main_window.h"
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

int Run(const QString& folder) {
  SlapdServer slapd;
  if (!slapd.Start({"--bare", "--ldif", NORVANE_SOURCE_DIR "/res/sample/directory.ldif"})) {
    return 2;
  }
  Zeltod zeltod;
  if (!zeltod.Start()) return 2;
  BaseFolderScope base;
  if (!base.WriteConfig(CorpSettings(slapd), zeltod)) return 2;

  MessageBoxWatcher boxes;  // the sync's result box
  CNorvaneDlg controller;
  CNorvaneWindow window(controller, QSystemTrayIcon::isSystemTrayAvailable());
  controller.AttachView(&window);
  if (!controller.Create()) return 3;
  controller.ShowWindow();
  controller.SyncNow();
  QTest::qWait(200);
  bool ok = Shoot(&window, folder, "main_window");

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
