// MainView: the main window as its controller (CNorvaneDlg) sees it. The controller owns the
// state (running or not, busy, start mode) and decides what is shown; a view only draws it
// and turns the user's clicks into the controller's commands. ui/ implements it with Qt
// widgets; with no display, and in service mode, there is no view at all and the controller
// writes to the activity log what a view would have shown.
//
// Threads: every call below is made by the controller on the window's thread (the thread
// that runs the controller and its event loop), and a view calls the controller's commands
// on that same thread only. Activity-log lines are handed to AppendLogLine by the controller
// through a queued call, so a line written on any thread reaches the view on the window's
// thread and the writer never waits for it.
//
// Calls that open a modal dialog (ShowMessage, RunConfigurationWizard, RunSpecifiedUsers)
// return when the dialog is closed. While it is open, the window's thread keeps dispatching
// events, so the controller's timers and queued calls run meanwhile and may call the view
// again (another message box, a log line, a new button state).
#ifndef NORVANE_APP_MAIN_VIEW_H_
#define NORVANE_APP_MAIN_VIEW_H_

#include <string>

namespace norvane {

class ChangeSet;

enum class MessageIcon { kNone, kInformation, kQuestion, kWarning };

// Progress of long work started from a command (a sync, an update, an authentication
// switch), reported about four times a second while it runs and once more when it ends.
struct WorkProgress {
  bool active = false;   // false: the work has ended; take the progress display down
  std::string task;      // what runs, e.g. "同步LDAP数据"
  long departments = 0;  // departments written so far (0 when the work has none)
  long users = 0;        // user entries processed so far
};

class MainView {
 public:
  virtual ~MainView() = default;

  // The start and stop buttons (and their menu items).
  virtual void SetButtons(bool start_enabled, bool stop_enabled) = 0;
  // The tray icon: the running or stopped picture and its tooltip. The first call adds the
  // icon; RemoveTrayIcon takes it away (the window is closing).
  virtual void SetTrayState(bool running, const std::string& tooltip) = 0;
  virtual void RemoveTrayIcon() = 0;
  // The check marks of the two start-mode items: 1 service, 0 interface.
  virtual void SetStartModeChecks(int start_type) = 0;
  // A modal message box with an OK button. An empty caption means the window's title.
  virtual void ShowMessage(const std::string& text, const std::string& caption,
                           MessageIcon icon) = 0;
  // Appends one activity-log line (time stamp and trailing "\n" included) to the log view.
  virtual void AppendLogLine(const std::string& line) = 0;
  // Shows (and brings to the front) or hides the window; the tray icon stays either way.
  virtual void SetWindowVisible(bool visible) = 0;
  // Long work: see WorkProgress. While active, the view may disable the commands that
  // start long work; the controller refuses them anyway.
  virtual void ShowProgress(const WorkProgress& progress) = 0;
  // Whether live sync is connected, per domain (LiveSyncStateText); a view without a place
  // for it ignores it.
  virtual void ShowLiveSyncState(const std::string& text) { (void)text; }

  // The dialogs. They read and write the configuration themselves; long work they start
  // goes through CNorvaneDlg::RunWork so that the window keeps painting.
  virtual void RunConfigurationWizard() = 0;  // modal
  virtual void ShowExcludedUsers() = 0;       // modeless; created hidden with the view
  virtual void RunSpecifiedUsers() = 0;       // modal
  virtual void ShowAbout() = 0;               // modal

  // Change plans (a dry run's ChangeSet; it lives until the call returns). ShowChangePlan
  // opens the preview dialog, modal; ConfirmRemovals asks `question` before a sync that
  // removes departments or accounts, offering the preview too. Each returns true when the
  // person chose to run the sync. A view without them never lets such a sync run.
  virtual bool ShowChangePlan(const ChangeSet& /*plan*/) { return false; }
  virtual bool ConfirmRemovals(const std::string& /*question*/, const ChangeSet& /*plan*/) {
    return false;
  }
  // The last run's time and result (or why there is none), for the status bar.
  virtual void ShowLastRun(const std::string& /*text*/) {}
};

}  // namespace norvane

#endif  // NORVANE_APP_MAIN_VIEW_H_
