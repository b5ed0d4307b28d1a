// The main window: the view of CNorvaneDlg. Menu bar, toolbar, the start and stop buttons,
// the log view, the tray icon, the progress of long work, and the dialogs. It draws what the
// controller decides and turns clicks into the controller's commands.
//
// Closing or minimising hides the window while a tray icon can bring it back; on a desktop
// without a tray it is minimised instead, so that it is never out of reach.
// Main-window thread only.
#ifndef NORVANE_UI_MAIN_WINDOW_H_
#define NORVANE_UI_MAIN_WINDOW_H_

#include <QMainWindow>
#include <functional>
#include <memory>
#include <string>

#include "app/main_view.h"
#include "ui/progress_window.h"

class QAction;
class QLabel;
class QMenu;
class QPlainTextEdit;
class QProgressBar;
class QSystemTrayIcon;
class QToolButton;

namespace norvane {

class CExcludedUsersDlg;
class CNorvaneDlg;

class CNorvaneWindow : public QMainWindow, public MainView {
  Q_OBJECT

 public:
  // `tray_available`: whether the desktop shows tray icons (tests decide it themselves).
  CNorvaneWindow(CNorvaneDlg& controller, bool tray_available);
  ~CNorvaneWindow() override;

  // MainView
  void SetButtons(bool start_enabled, bool stop_enabled) override;
  void SetTrayState(bool running, const std::string& tooltip) override;
  void RemoveTrayIcon() override;
  void SetStartModeChecks(int start_type) override;
  void ShowMessage(const std::string& text, const std::string& caption, MessageIcon icon) override;
  void AppendLogLine(const std::string& line) override;
  void SetWindowVisible(bool visible) override;
  void ShowProgress(const WorkProgress& progress) override;
  void ShowLiveSyncState(const std::string& text) override;
  void RunConfigurationWizard() override;
  void ShowExcludedUsers() override;
  void RunSpecifiedUsers() override;
  void ShowAbout() override;
  bool ShowChangePlan(const ChangeSet& plan) override;
  bool ConfirmRemovals(const std::string& question, const ChangeSet& plan) override;
  void ShowLastRun(const std::string& text) override;

  // What the tray shows; the icon exists only where the desktop has a tray.
  bool TrayShown() const { return tray_shown_; }
  bool TrayRunning() const { return tray_running_; }
  QString TrayToolTip() const { return tray_tooltip_; }
  QMenu* TrayMenu() const { return tray_menu_; }
  // A click on the tray icon.
  void TrayClicked();
  CExcludedUsersDlg* ExcludedUsersDialog() const { return excluded_; }

 protected:
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  // A menu item running one of the controller's commands.
  QAction* Action(QMenu* menu, const QString& text, const char* name,
                  std::function<void(CNorvaneDlg&)> command);
  void BuildMenus();
  void BuildToolBar();
  void BuildCentre();
  void BuildTray();
  // Runs a dialog's work through the controller, with the progress window over the dialog.
  int RunDialogWork(int code, const std::string& task, const std::function<int()>& work);

  CNorvaneDlg& controller_;
  const bool tray_available_;
  WorkRunner runner_;

  QAction* start_action_ = nullptr;
  QAction* stop_action_ = nullptr;
  QAction* service_mode_ = nullptr;
  QAction* interface_mode_ = nullptr;
  QList<QAction*> work_actions_;  // commands that start long work
  int current_start_type_ = 0;
  QToolButton* start_button_ = nullptr;
  QToolButton* stop_button_ = nullptr;
  QPlainTextEdit* log_ = nullptr;
  QLabel* progress_text_ = nullptr;
  QLabel* live_sync_text_ = nullptr;  // the permanent live-sync state in the status bar
  QProgressBar* progress_bar_ = nullptr;
  QLabel* last_run_ = nullptr;
  QMenu* tray_menu_ = nullptr;
  QSystemTrayIcon* tray_ = nullptr;
  bool tray_shown_ = false;
  bool tray_running_ = false;
  QString tray_tooltip_;
  CExcludedUsersDlg* excluded_ = nullptr;
};

}  // namespace norvane

#endif  // NORVANE_UI_MAIN_WINDOW_H_
