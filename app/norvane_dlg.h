// CNorvaneDlg: the main window's controller, apart from any widget. It creates the sync
// engine and the authentication service, starts and stops the authentication system, runs
// the commands of the menus, toolbar and tray, the daily update's timer and the one-second
// watchdog that follows the Zelto server, and decides what the window shows (MainView).
// With no view (service mode, or no display) every message-box text becomes an
// activity-log line.
//
// Threads: the controller belongs to the thread that constructs it (the window's thread),
// which must have a QCoreApplication and runs the controller's event loop. Every public
// operation is for that thread only, except PostClose. Long work started by a command (a
// sync, an update, an authentication switch, work of a dialog through RunWork) runs on a
// worker thread while the window's thread goes on dispatching events (timers, log lines,
// the view's repaints) in a nested loop; the command returns when the work is done.
// While work runs, a second long command is refused with a log line and reported as a
// failed run; Exit waits until the work has ended.
#ifndef NORVANE_APP_NORVANE_DLG_H_
#define NORVANE_APP_NORVANE_DLG_H_

#include <QEventLoop>
#include <QObject>
#include <QTimer>
#include <chrono>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/auto_sync.h"
#include "app/main_view.h"
#include "platform/prompt.h"

namespace norvane {

class AuthService;
class LiveSync;
class StatusPublisher;
class SyncEngine;

// The window's caption, also the tray tooltip and the caption of its message boxes.
inline constexpr char kMainWindowTitle[] = "LDAP同步工具";

// StartMode/StartType of the base folder's configuration: 1 service, 0 interface; 0 when
// the file or the value is missing.
int ReadConfiguredStartType();

class CNorvaneDlg {
 public:
  struct Options {
    // Service mode: the window is never shown and its loop runs with no flags.
    bool service_mode = false;
    // The Zelto server probe: 1 when it answers. The real probe (ProbeServer) when empty.
    std::function<int()> probe;
    // The daily update's clock; the system clock when empty.
    std::function<std::time_t()> now;
    // Periods of timer 1 (the daily update's schedule) and timer 3 (the watchdog).
    std::chrono::milliseconds auto_sync_period{60000};
    std::chrono::milliseconds watchdog_period{1000};
    // Live sync (ManageSync LiveSync) while the window lives; the program sets it, a
    // controller made for a test runs without it unless the test asks.
    bool live_sync = false;
    // Called on the window's thread each time login answering starts (the service tells
    // systemd it is ready then, not before).
    std::function<void()> on_answering;
    // Publishes the status file and the metrics (app/status_publisher.h) from Create on.
    bool publish_status = false;
  };

  explicit CNorvaneDlg(Options options);
  CNorvaneDlg() : CNorvaneDlg(Options{}) {}
  // Destroys the engines (the authentication service stops listening) and detaches the view.
  ~CNorvaneDlg();
  CNorvaneDlg(const CNorvaneDlg&) = delete;
  CNorvaneDlg& operator=(const CNorvaneDlg&) = delete;

  // The view to drive, or none. REQUIRES: before Create; the view outlives the controller
  // (or is detached with AttachView(nullptr) first). Activity-log lines reach it from here on.
  void AttachView(MainView* view);
  MainView* view() const { return view_; }

  // Creates the window: the start-mode check marks, then the initialisation sequence (probe
  // the server, arm the timers, create the engines, start the authentication system). True
  // when the window is up: with the authentication system started, or, in interface mode,
  // with the Zelto server not answering, said once, 启动 available and the watchdog starting
  // the system when the server answers. False when the window did not come up (in service
  // mode a server that does not answer ends it, so that systemd retries), after the reason
  // was shown or logged (the engines are then gone).
  bool Create();
  // Runs the window's loop until Exit or Close; shows the window first in interface mode.
  // Returns at once when the window has already ended.
  void RunModalLoop();
  bool Ended() const { return ended_; }

  // 1 when the Zelto application server answers. Never waits more than a few seconds. An
  // outage is logged once, when a probe first finds the server silent, and its end once.
  int ProbeServer();

  // Any thread: closes the window from its own thread, as the service's stop does. The tray
  // icon goes, the loop ends once running work has finished; the engines are not stopped
  // (the controller's destruction releases them).
  void PostClose();

  // ---- commands (window thread) ------------------------------------------------------
  // Starts the authentication system; 1 when this call started it. A start that takes also
  // puts the watchdog back to following the server, however long it had failed before.
  int Start();
  void Stop();
  // Full import. At the window it makes the change plan first and, when the plan removes
  // departments or accounts, asks (with the counts, offering the preview) before it runs; a
  // plan that cannot be made runs nothing. In service mode, or with no view, it runs at once.
  void SyncNow();
  // 变更预览 (command 32781): the full import's change plan in a dialog, from which the
  // sync can be run. Needs a view.
  void PreviewChanges();
  void UpdateNow();  // incremental update (the daily update runs the same, as "schedule")
  void AssociateAllUsers();
  void CancelAllUsers();
  void AssociateCurrentDomain();
  void CancelCurrentDomain();
  void ConfigurationWizard();
  void ExcludedUsers();
  void SpecifiedUsers();
  void StartAsService();    // next start in service mode
  void StartAsInterface();  // next start in interface mode
  void About();
  void Exit();
  // The window's close and minimise buttons hide it; a click on the tray icon brings it back.
  void HideWindow();
  void ShowWindow();

  // Runs `work` on a worker thread while the window's thread keeps dispatching events, and
  // reports its progress to the view (from `progress`'s counters when given). Returns the
  // work's result, or 0 without running it when other work is running. `task` names the
  // work in the progress display.
  int RunWork(const std::string& task, const std::function<int()>& work,
              const SyncEngine* progress = nullptr);

  // ---- state (window thread) ---------------------------------------------------------
  bool Running() const { return running_ != 0; }
  bool Busy() const { return busy_; }
  bool AutoSyncAllowedNow() const { return auto_sync_allowed_.allowed(); }
  bool ServiceModeResults() const { return service_mode_results_; }
  // The engines; null before Create and after Exit. Owned by the controller.
  SyncEngine* Engine() const { return sync_.get(); }
  AuthService* Auth() const { return auth_.get(); }
  // The prompt the engines use: the view's message box, or the activity log. Usable from
  // any thread (another thread's message is shown without waiting for the box).
  Prompt* MessagePrompt() { return &prompt_; }

  // ---- timers: called by the controller's own timers; public so tests can drive them --
  void AutoSyncTick();  // timer 1
  void WatchdogTick();  // timer 3
  unsigned WatchdogFailures() const { return watchdog_failures_; }
  bool ServerDown() const { return server_down_ != 0; }

 private:
  class WindowPrompt : public Prompt {
   public:
    explicit WindowPrompt(CNorvaneDlg* owner) : owner_(owner) {}
    void Show(const std::string& text) override;

   private:
    CNorvaneDlg* owner_;
  };

  // Sets a flag for its life.
  struct AuthBusy {
    explicit AuthBusy(bool& flag) : flag_(flag) { flag_ = true; }
    ~AuthBusy() { flag_ = false; }
    bool& flag_;
  };

  // A message box, or the activity log when there is no view.
  void Message(const std::string& text, const std::string& caption = "",
               MessageIcon icon = MessageIcon::kNone);
  // A result of a sync command: logged when service-mode results is set, else a message box.
  void SyncResult(const std::string& text);
  void ApplyRunningState(int running);
  void SetButtons(bool start_enabled, bool stop_enabled);
  // The watchdog's restart: Start with any exception logged.
  void Restart();
  // True when the sync engine is usable, initialising it first if an earlier attempt failed
  // (a Zelto server that did not answer at start); otherwise says why, in a box or the log,
  // when `report`.
  bool EngineReady(bool report = true);
  // True when the authentication service is not listening although running says it is
  // (released by a lost connection or a stopped application).
  bool ListeningLost() const;
  void SetStartMode(int start_type);
  void Close();
  void DestroyEngines();
  // With LiveSync on, one notification search per domain, its state shown in the view.
  void StartLiveSync();
  void EndLoop();
  int Switch(int scope, int type, const char* task);
  // The full import's plan from a dry run on a separate engine, made through RunWork; null
  // when it could not be made.
  std::unique_ptr<SyncEngine> MakePlan();
  // The full import or the update itself, with its result message; `trigger` goes into the
  // run's report.
  void RunSync();
  void RunUpdate(const char* trigger);
  // The newest run report, to the view's status bar.
  void ShowLastRun();

  Options options_;
  // The context of queued calls and the parent of the timers; lives on the window's thread.
  QObject context_;
  MainView* view_ = nullptr;
  WindowPrompt prompt_{this};

  int running_ = 0;
  int shown_running_ = 0;  // the state the buttons' icons and the tray show
  std::unique_ptr<SyncEngine> sync_;
  bool engine_ready_ = false;  // sync_'s EngineInit succeeded
  std::unique_ptr<AuthService> auth_;
  std::unique_ptr<LiveSync> live_;  // the notification searches, while the window lives
  std::unique_ptr<StatusPublisher> status_;
  AutoSyncAllowed auto_sync_allowed_;
  std::unique_ptr<AutoSyncSchedule> schedule_;
  bool service_mode_results_ = false;
  bool tray_added_ = false;
  unsigned watchdog_failures_ = 0;
  // Service mode, past the failure limit: periods between probes, and when the next is due.
  int backoff_ = 0;
  std::chrono::steady_clock::time_point next_probe_{};
  int server_down_ = 0;
  bool outage_logged_ = false;  // the current outage's line is written
  bool busy_ = false;
  bool in_watchdog_ = false;  // a tick that opened a message box is not entered again
  bool auth_busy_ = false;    // inside the authentication service's Init, Start or Stop
  bool exit_requested_ = false;
  bool created_ = false;
  bool ended_ = false;

  QTimer auto_sync_timer_;      // timer 1
  QTimer busy_timer_;           // timer 2: re-applies the buttons after Start pressed while running
  QTimer watchdog_timer_;       // timer 3
  QEventLoop* loop_ = nullptr;  // the running window loop, if any
};

}  // namespace norvane

#endif  // NORVANE_APP_NORVANE_DLG_H_
