// Opens the main window, the wizard's three pages and each dialog on the demo directory and
// a fresh zeltod, and saves a PNG picture of each into the folder named on the command line;
// then starts the norvane program itself in interface mode on the same display and pictures
// its window. Run by screenshots_test under Xvfb; exits 0 when every picture was saved.
#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTest>
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

// The norvane program in interface mode (-Testing) with `base` as its base folder, pictured
// once its window is up: the part of the screen that is not the bare root window.
bool ShootProgram(const std::string& base, const QString& folder) {
  std::ofstream(base + "/logs/norvanelog.log", std::ios::trunc).close();
  SystemRoot root(/*systemd_runs=*/false);  // its own lock folder
  Program program(base);
  if (!program.Start({"-Testing"}, root.Environment())) return false;
  const bool up = WaitUntil([&] { return ReadLog(base).find("启动成功") != std::string::npos; },
                            std::chrono::seconds(60));
  if (!up) {
    std::fprintf(stderr, "norvane did not come up: %s\n%s\n", program.Errors().c_str(),
                 ReadLog(base).c_str());
    return false;
  }
  QTest::qWait(1500);  // its window shows and paints after start-up
  const QImage screen = QGuiApplication::primaryScreen()->grabWindow(0).toImage();
  const QRgb root_colour = screen.pixel(screen.width() - 1, screen.height() - 1);
  QRect used;
  for (int y = 0; y < screen.height(); ++y) {
    for (int x = 0; x < screen.width(); ++x) {
      if (screen.pixel(x, y) != root_colour) used |= QRect(x, y, 1, 1);
    }
  }
  if (used.isEmpty()) return false;
  const QString path = folder + "/program_main_window.png";
  std::printf("saved %s\n", qPrintable(path));
  return screen.copy(used).save(path, "PNG");
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
