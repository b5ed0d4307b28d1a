// The main window's controller: initialisation, the authentication system's start and stop,
// the commands, the daily update's timer and the server watchdog.
#include "app/norvane_dlg.h"

#include <QCoreApplication>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <exception>
#include <map>
#include <thread>
#include <vector>

#include "app/auto_sync_config.h"
#include "app/live_sync.h"
#include "app/status_publisher.h"
#include "config/ldap_config.h"
#include "platform/activity_log.h"
#include "platform/text.h"
#include "server/auth_service.h"
#include "server/auth_switch.h"
#include "server/organisation.h"
#include "server/sdk.h"
#include "sync/run_report.h"
#include "sync/sync_engine.h"

namespace norvane {
namespace {

// In interface mode the watchdog stops probing after this many consecutive failed probes
// plus one. The service never stops: past the limit it probes ever more seldom, down to once
// every kWatchdogMaxBackoff watchdog periods (30 s), so that logins are answered again when
// the server returns after however long an outage.
constexpr unsigned kWatchdogFailureLimit = 1000;
constexpr int kWatchdogMaxBackoff = 30;
// A probe of a server that accepts connections but does not answer gives up after this.
constexpr std::chrono::milliseconds kProbeTimeout{3000};
constexpr std::chrono::milliseconds kBusyButtonDelay{2000};
constexpr std::chrono::milliseconds kProgressPeriod{250};

// The question Sync now asks before a run that removes; empty when the plan removes nothing.
std::string RemovalQuestion(const ChangeSet& plan) {
  const std::size_t departments = plan.DepartmentsRemoved().size();
  const std::size_t accounts = plan.UsersRemoved().size();
  if (departments + accounts == 0) return {};
  std::string text = Format(
      "本次数据同步将从Zelto服务器删除部门%zu个、帐号%zu个（另新增部门%zu个、帐号%zu个，"
      "移动帐号%zu个），删除后无法恢复。",
      departments, accounts, plan.DepartmentsAdded().size(), plan.UsersAdded().size(),
      plan.UsersMoved().size());
  if (plan.GuardVerdict().stops_run) {
    text += "\n删除数量超过删除保护的上限，同步将被阻止，不会删除任何数据。";
  }
  return text + "\n是否继续同步？点\"查看变更...\"可先查看要删除的部门和帐号。";
}

// "上次运行：数据同步（窗口） 2026-12-09 14:30:05 成功，变更3项" from the newest run report.
std::string LastRunText(const std::vector<nlohmann::json>& reports) {
  if (reports.empty()) return "上次运行：无记录";
  static const std::map<std::string, std::string> kKinds = {{"sync", "数据同步"},
                                                            {"update", "数据更新"},
                                                            {"import-users", "同步指定用户"},
                                                            {"auth", "切换认证方式"},
                                                            {"remove-users", "删除禁止导入的用户"}};
  static const std::map<std::string, std::string> kTriggers = {
      {"command", "命令行"}, {"window", "窗口"}, {"schedule", "定时"}, {"live", "实时"}};
  try {
    const nlohmann::json& report = reports.back();
    const std::string kind = report.value("kind", "");
    const std::string trigger = report.value("trigger", "");
    std::string ended = report.value("ended", "").substr(0, 19);
    std::replace(ended.begin(), ended.end(), 'T', ' ');
    const auto k = kKinds.find(kind);
    const auto t = kTriggers.find(trigger);
    std::string text = "上次运行：" + (k != kKinds.end() ? k->second : kind);
    if (t != kTriggers.end()) text += "（" + t->second + "）";
    text += " " + ended + (report.value("result", "") == "success" ? " 成功" : " 失败");
    if (report.contains("changes") && report["changes"].is_number_unsigned()) {
      text += "，变更" + std::to_string(report["changes"].get<std::size_t>()) + "项";
    }
    return text;
  } catch (const nlohmann::json::exception&) {
    return "上次运行：记录无法读取";
  }
}

}  // namespace

int ReadConfiguredStartType() {
  CLdapConfig config;
  config.Init();
  int start_type = 0;
  config.LoadStartMode(start_type);
  return start_type;
}

void CNorvaneDlg::WindowPrompt::Show(const std::string& text) {
  if (!owner_->view_) {
    WriteLog(text);
    return;
  }
  if (QThread::currentThread() == owner_->context_.thread()) {
    owner_->Message(text);
    return;
  }
  // Another thread (a worker, the SDK's event thread) does not wait for the box.
  CNorvaneDlg* owner = owner_;
  QMetaObject::invokeMethod(
      &owner_->context_, [owner, text] { owner->Message(text); }, Qt::QueuedConnection);
}

CNorvaneDlg::CNorvaneDlg(Options options) : options_(std::move(options)) {
  auto_sync_timer_.setInterval(static_cast<int>(options_.auto_sync_period.count()));
  QObject::connect(&auto_sync_timer_, &QTimer::timeout, &context_, [this] { AutoSyncTick(); });
  busy_timer_.setSingleShot(true);
  busy_timer_.setInterval(static_cast<int>(kBusyButtonDelay.count()));
  QObject::connect(&busy_timer_, &QTimer::timeout, &context_,
                   [this] { SetButtons(running_ == 0, running_ != 0); });
  watchdog_timer_.setInterval(static_cast<int>(options_.watchdog_period.count()));
  QObject::connect(&watchdog_timer_, &QTimer::timeout, &context_, [this] { WatchdogTick(); });
}

CNorvaneDlg::~CNorvaneDlg() {
  auto_sync_timer_.stop();
  busy_timer_.stop();
  watchdog_timer_.stop();
  DestroyEngines();
  AttachView(nullptr);
}

void CNorvaneDlg::AttachView(MainView* view) {
  if (view_ && !view) SetLogListener({});
  view_ = view;
  if (!view) return;
  // Lines come from any thread; they reach the view on the window's thread, in order, and
  // the writer never waits. Queued calls die with context_.
  QObject* context = &context_;
  SetLogListener([this, context](const std::string& line) {
    QMetaObject::invokeMethod(
        context,
        [this, line] {
          if (view_) view_->AppendLogLine(line);
        },
        Qt::QueuedConnection);
  });
}

// ---- messages -------------------------------------------------------------------------

void CNorvaneDlg::Message(const std::string& text, const std::string& caption, MessageIcon icon) {
  if (view_) {
    view_->ShowMessage(text, caption, icon);
  } else {
    WriteLog(text);
  }
}

void CNorvaneDlg::SyncResult(const std::string& text) {
  if (service_mode_results_) {
    WriteLog(text);
  } else {
    Message(text);
  }
}

void CNorvaneDlg::SetButtons(bool start_enabled, bool stop_enabled) {
  if (view_) view_->SetButtons(start_enabled, stop_enabled);
}

// ---- creation -------------------------------------------------------------------------

bool CNorvaneDlg::Create() {
  if (created_) return !ended_;
  created_ = true;
  if (options_.publish_status) {
    StatusPublisher::Options publish;
    publish.service_mode = options_.service_mode;
    publish.notify_systemd = options_.service_mode;
    status_ = std::make_unique<StatusPublisher>(publish);
  }
  if (view_) view_->SetStartModeChecks(ReadConfiguredStartType() == 1 ? 1 : 0);

  const bool server_up = ProbeServer() != 0;
  if (!server_up) {
    Message("检测到Zelto服务器的APPServer处于已停止或异常状态，请打开Zelto管理器启动!");
    if (options_.service_mode) {
      ended_ = true;
      return false;
    }
    // The window stays so that the wizard can fix a wrong address or credential file; the
    // watchdog starts the authentication system once the server answers.
    server_down_ = 1;
  }
  SetButtons(true, false);

  const bool auto_sync = ConfiguredAutoSyncEnabled();
  AutoSyncSchedule::Hooks hooks = ConfiguredAutoSyncHooks([this] { RunUpdate("schedule"); });
  hooks.now = options_.now;
  schedule_ = std::make_unique<AutoSyncSchedule>(auto_sync, std::move(hooks), auto_sync_allowed_);
  if (auto_sync) auto_sync_timer_.start();
  watchdog_timer_.start();

  sync_ = std::make_unique<SyncEngine>(&prompt_);
  auth_ = std::make_unique<AuthService>(&prompt_);
  engine_ready_ = sync_->EngineInit() != 0;
  if (!server_up) {
    // No second box: the one above already says what to do.
    WriteLog(engine_ready_ ? "Zelto服务器没有响应，LDAP认证系统未启动，服务器恢复后自动启动"
                           : "Zelto服务器没有响应，同步引擎和LDAP认证系统未启动，服务器恢复后"
                             "自动启动");
  } else {
    bool ok;
    if (!engine_ready_) {
      Message("初始化失败");
      ok = false;
    } else {
      ok = Start() == 1;
    }
    if (!ok) {
      Exit();
      WriteLog("启动失败");
      return false;
    }
    WriteLog("启动成功");
  }
  service_mode_results_ = ReadConfiguredStartType() == 1;
  if (options_.live_sync) StartLiveSync();
  if (view_) view_->SetTrayState(running_ != 0, kMainWindowTitle);
  tray_added_ = true;
  ShowLastRun();
  return true;
}

void CNorvaneDlg::RunModalLoop() {
  if (ended_ || !created_) return;
  if (!options_.service_mode && view_) view_->SetWindowVisible(true);
  QEventLoop loop;
  loop_ = &loop;
  loop.exec();
  loop_ = nullptr;
  if (exit_requested_) DestroyEngines();
}

int CNorvaneDlg::ProbeServer() {
  int up = 0;
  bool usable = true;
  if (options_.probe) {
    up = options_.probe();
  } else if (std::unique_ptr<SdkRoot> root = CreateConfiguredSdkRoot()) {
    try {
      root->SetCallTimeout(kProbeTimeout);
      root->ServerText();
      up = 1;
    } catch (...) {
    }
  } else {
    usable = false;
  }
  // The watchdog probes every second: one line when an outage begins, one when it ends.
  if (!up && !outage_logged_) {
    WriteLog(usable ? "AppServer或SdkServer没有启动"
                    : "Zelto服务器的设置不可用(SDKSVRIP、SDKSVRPort、SDKCredentialFile、"
                      "SDKCAFile)，请用配置向导检查，或检查凭据文件是否可读");
    outage_logged_ = true;
  } else if (up && outage_logged_) {
    WriteLog("AppServer和SdkServer已恢复响应");
    outage_logged_ = false;
  }
  return up;
}

// ---- the authentication system --------------------------------------------------------

int CNorvaneDlg::Start() {
  // A message box of a start or stop in progress runs the loop; nothing re-enters them.
  if (ended_ || auth_busy_) return 0;
  if (running_ == 1) {
    SetButtons(false, true);
    WriteLog("服务正在启动,请稍候...");
    busy_timer_.start();
    return 0;
  }
  if (!auth_) {
    WriteLog("模块指针为空，可能出常异常引起的，请重启服务!");
    return 0;
  }
  int started;
  {
    AuthBusy busy(auth_busy_);
    if (!auth_->Init()) {
      WriteLog("初始化失败!");
      return 0;
    }
    started = auth_->Start();
  }
  running_ = started == 1 ? 1 : 0;
  int result;
  if (running_) {
    SetButtons(false, true);
    WriteLog("启动成功!");
    result = 1;
    server_down_ = 0;
    watchdog_failures_ = 0;
    backoff_ = 0;
  } else {
    SetButtons(true, false);
    WriteLog("启动失败!");
    result = 0;
  }
  ApplyRunningState(running_);
  return result;
}

void CNorvaneDlg::Stop() {
  if (running_ != 1 || !auth_ || auth_busy_) return;
  int stopped;
  {
    AuthBusy busy(auth_busy_);
    stopped = auth_->Stop();
  }
  if (stopped == 1) {
    SetButtons(true, false);
    running_ = 0;
    WriteLog("服务已停止");
  } else {
    SetButtons(false, true);
    WriteLog("停止服务失败");
  }
  ApplyRunningState(running_);
}

void CNorvaneDlg::ApplyRunningState(int running) {
  if (status_) status_->SetAnswering(running == 1);
  if (running == shown_running_) return;
  shown_running_ = running;
  if (view_ && tray_added_) view_->SetTrayState(running != 0, kMainWindowTitle);
  if (running == 1 && options_.on_answering) options_.on_answering();
}

bool CNorvaneDlg::ListeningLost() const { return running_ == 1 && auth_ && !auth_->Listening(); }

void CNorvaneDlg::Restart() {
  if (ListeningLost()) {
    // Released by a lost event connection or a stopped application: start afresh.
    WriteLog("第三方认证应用与Zelto服务器的连接已断开，正在重新启动");
    running_ = 0;
    SetButtons(true, false);
    ApplyRunningState(0);
  }
  try {
    Start();
  } catch (const std::exception& e) {
    WriteLog(std::string("重新启动第三方认证时发生异常: ") + e.what());
  } catch (...) {
    WriteLog("重新启动第三方认证时发生未知异常");
  }
}

void CNorvaneDlg::WatchdogTick() {
  if (in_watchdog_ || auth_busy_ || ended_) return;
  if (watchdog_failures_ > kWatchdogFailureLimit) {
    if (!options_.service_mode) return;
    const auto now = std::chrono::steady_clock::now();
    if (now < next_probe_) return;
    backoff_ = std::min(backoff_ == 0 ? 2 : backoff_ * 2, kWatchdogMaxBackoff);
    next_probe_ = now + backoff_ * options_.watchdog_period;
  }
  in_watchdog_ = true;
  if (ProbeServer()) {
    if (!engine_ready_) EngineReady(false);
    if (server_down_ == 1 || ListeningLost()) Restart();
    // A restart that did not take is tried again on the next tick.
    server_down_ = running_ == 1 || !auth_ ? 0 : server_down_;
    watchdog_failures_ = 0;
    backoff_ = 0;
  } else {
    if (ListeningLost()) {
      // Nothing is registered any more: stopping would only complain that nothing runs.
      running_ = 0;
      SetButtons(true, false);
      WriteLog("服务已停止");
      ApplyRunningState(0);
    } else {
      Stop();
    }
    server_down_ = 1;
    ++watchdog_failures_;
  }
  in_watchdog_ = false;
}

// ---- long work ------------------------------------------------------------------------

int CNorvaneDlg::RunWork(const std::string& task, const std::function<int()>& work,
                         const SyncEngine* progress) {
  if (ended_) return 0;
  if (busy_) {
    WriteLog("另一项任务正在运行，请等待其完成后再试: " + task);
    return 0;
  }
  busy_ = true;
  AutoSyncAllowed::Hold hold(auto_sync_allowed_);
  auto report = [&](bool active) {
    if (!view_) return;
    WorkProgress p;
    p.active = active;
    p.task = task;
    if (progress) {
      p.departments = progress->DepartmentsDone();
      p.users = progress->UsersDone();
    }
    view_->ShowProgress(p);
  };
  report(true);

  QEventLoop loop;
  QTimer ticker;
  ticker.setInterval(static_cast<int>(kProgressPeriod.count()));
  QObject::connect(&ticker, &QTimer::timeout, &loop, [&] { report(true); });
  ticker.start();

  std::atomic<bool> done{false};
  int result = 0;
  std::thread worker([&] {
    try {
      result = work();
    } catch (const std::exception& e) {
      WriteLog(task + ": " + e.what());
      result = 0;
    } catch (...) {
      result = 0;
    }
    done = true;
    QMetaObject::invokeMethod(
        &loop, [&loop] { loop.quit(); }, Qt::QueuedConnection);
  });
  while (!done) loop.exec();
  worker.join();
  ticker.stop();
  busy_ = false;
  if (status_) status_->Poke();  // the run's report is in
  report(false);
  ShowLastRun();
  return result;
}

void CNorvaneDlg::ShowLastRun() {
  if (view_) view_->ShowLastRun(LastRunText(ReadRunReports(1)));
}

// ---- sync commands --------------------------------------------------------------------

void CNorvaneDlg::SyncNow() {
  AutoSyncAllowed::Hold hold(auto_sync_allowed_);
  if (!EngineReady()) return;
  // Nothing is removed at the window without the person's yes; the service has no one to ask.
  if (view_ && !options_.service_mode) {
    std::unique_ptr<SyncEngine> plan = MakePlan();
    if (!plan) {
      WriteLog("无法生成变更预览，本次未同步，原因见窗口日志中标有[预演]的行");
      SyncResult(service_mode_results_ ? "LDAP数据导入失败，详情请见系统日志."
                                       : "LDAP数据导入失败，详情请见系统日志，谢谢!");
      return;
    }
    const std::string question = RemovalQuestion(plan->Changes());
    if (!question.empty() && !(view_ && view_->ConfirmRemovals(question, plan->Changes()))) {
      WriteLog("数据同步已取消，未写入任何数据");
      return;
    }
  }
  RunSync();
}

void CNorvaneDlg::PreviewChanges() {
  if (!view_ || ended_) return;
  AutoSyncAllowed::Hold hold(auto_sync_allowed_);
  if (!EngineReady()) return;
  std::unique_ptr<SyncEngine> plan = MakePlan();
  if (!plan) {
    Message("无法生成变更预览，详情请见系统日志");
    return;
  }
  if (view_ && view_->ShowChangePlan(plan->Changes())) RunSync();
}

std::unique_ptr<SyncEngine> CNorvaneDlg::MakePlan() {
  auto plan = std::make_unique<SyncEngine>(&prompt_);
  plan->SetDryRun(true);
  plan->SetTrigger("window");
  SyncEngine* engine = plan.get();
  const int made = RunWork(
      "生成变更预览", [engine] { return engine->EngineInit() && engine->SyncOneDC(0) ? 1 : 0; },
      engine);
  if (!made) return nullptr;
  return plan;
}

void CNorvaneDlg::RunSync() {
  // A box that was open meanwhile may have ended the window.
  if (ended_ || !sync_) return;
  SyncEngine* engine = sync_.get();
  if (RunWork(
          "同步LDAP数据",
          [engine] {
            engine->SetTrigger("window");
            return engine->SyncOneDC(0);
          },
          engine)) {
    SyncResult("LDAP数据已成功导入Zelto服务器，请打开Zelto管理器查看!");
  } else {
    SyncResult(service_mode_results_ ? "LDAP数据导入失败，详情请见系统日志."
                                     : "LDAP数据导入失败，详情请见系统日志，谢谢!");
  }
}

void CNorvaneDlg::UpdateNow() { RunUpdate("window"); }

void CNorvaneDlg::RunUpdate(const char* trigger) {
  if (!EngineReady()) return;
  SyncEngine* engine = sync_.get();
  // Set on the worker: only there is it sure that no other run of this engine is under way.
  if (RunWork(
          "更新LDAP数据",
          [engine, trigger] {
            engine->SetTrigger(trigger);
            return engine->SyncOneDC(1);
          },
          engine)) {
    SyncResult("LDAP数据已成功更新到Zelto服务器，请打开Zelto管理器查看!");
  } else {
    SyncResult(service_mode_results_ ? "LDAP数据更新失败."
                                     : "LDAP数据更新失败，详情请见系统日志，谢谢!");
  }
}

bool CNorvaneDlg::EngineReady(bool report) {
  if (!sync_) return false;  // after Exit
  if (engine_ready_) return true;
  engine_ready_ = sync_->EngineInit() != 0;
  if (engine_ready_) {
    WriteLog("同步引擎初始化成功");
  } else if (report) {
    Message(
        "同步引擎不可用：Zelto服务器没有响应，或其设置(SDKSVRIP、SDKSVRPort、"
        "SDKCredentialFile)不可用。请启动Zelto服务器或用配置向导改正设置后重试");
  }
  return engine_ready_;
}

void CNorvaneDlg::AutoSyncTick() {
  if (schedule_ && !ended_) schedule_->Tick();
}

// ---- authentication switches ----------------------------------------------------------

int CNorvaneDlg::Switch(int scope, int type, const char* task) {
  SyncEngine* engine = sync_.get();
  return RunWork(task, [engine, scope, type] {
    engine->SetTrigger("window");
    return engine->SetAuthType(scope, type);
  });
}

void CNorvaneDlg::AssociateAllUsers() {
  AutoSyncAllowed::Hold hold(auto_sync_allowed_);
  if (!EngineReady()) return;
  if (Switch(kAuthScopeAllUsers, kThirdPartyAuthType, "关联所有用户LDAP认证")) {
    Message("关联所有用户LDAP认证成功，请用LDAP用户密码登录");
  } else {
    Message("关联所有用户LDAP认证失败，请用Zelto用户密码登录");
  }
}

void CNorvaneDlg::CancelAllUsers() {
  AutoSyncAllowed::Hold hold(auto_sync_allowed_);
  if (!EngineReady()) return;
  if (Switch(kAuthScopeAllUsers, kLocalAuthType, "取消所有用户LDAP认证")) {
    Message("取消所有用户LDAP认证成功，请用Zelto用户密码登录");
  } else {
    Message("取消所有用户LDAP认证失败，详情请见系统日志");
  }
}

void CNorvaneDlg::AssociateCurrentDomain() {
  if (!EngineReady()) return;
  if (Switch(kAuthScopeSpecified, kThirdPartyAuthType, "设置当前配置域同步用户第三方认证")) {
    Message("设置当前配置域同步用户第三方认证成功!");
  } else {
    Message("设置当前配置域同步用户第三方认证失败!");
  }
}

void CNorvaneDlg::CancelCurrentDomain() {
  if (!EngineReady()) return;
  if (Switch(kAuthScopeSpecified, kLocalAuthType, "取消当前配置域同步用户第三方认证")) {
    Message("取消当前配置域同步用户第三方认证成功!");
  } else {
    Message("取消当前配置域同步域用户第三方认证失败!");
  }
}

// ---- dialogs and settings -------------------------------------------------------------

void CNorvaneDlg::ConfigurationWizard() {
  if (view_ && !ended_) view_->RunConfigurationWizard();
}

void CNorvaneDlg::ExcludedUsers() {
  if (view_ && !ended_) view_->ShowExcludedUsers();
}

void CNorvaneDlg::SpecifiedUsers() {
  if (view_ && !ended_) view_->RunSpecifiedUsers();
}

void CNorvaneDlg::About() {
  if (view_ && !ended_) view_->ShowAbout();
}

void CNorvaneDlg::StartAsService() { SetStartMode(1); }
void CNorvaneDlg::StartAsInterface() { SetStartMode(0); }

void CNorvaneDlg::SetStartMode(int start_type) {
  CLdapConfig config;
  config.Init();
  if (!config.SaveStartMode(start_type)) return;
  if (view_) view_->SetStartModeChecks(start_type);
  Message(start_type == 1 ? "设置以服务方式启动成功，请先退出进程重启服务才生效"
                          : "设置以界面方式启动成功，请先退出进程重启进程才生效",
          "温馨提示", MessageIcon::kQuestion);
}

void CNorvaneDlg::HideWindow() {
  if (view_) view_->SetWindowVisible(false);
}

void CNorvaneDlg::ShowWindow() {
  if (view_ && !ended_) view_->SetWindowVisible(true);
}

// ---- ending ---------------------------------------------------------------------------

void CNorvaneDlg::Exit() {
  auto_sync_timer_.stop();
  watchdog_timer_.stop();
  busy_timer_.stop();
  exit_requested_ = true;
  if (tray_added_ && view_) view_->RemoveTrayIcon();
  tray_added_ = false;
  if (loop_) {
    // The engines go once the loop has returned, after any running work and any open box
    // have finished with them.
    EndLoop();
  } else {
    ended_ = true;
    if (!busy_) DestroyEngines();
  }
}

void CNorvaneDlg::Close() {
  if (tray_added_ && view_) view_->RemoveTrayIcon();
  tray_added_ = false;
  EndLoop();
}

void CNorvaneDlg::PostClose() {
  QMetaObject::invokeMethod(
      &context_, [this] { Close(); }, Qt::QueuedConnection);
}

void CNorvaneDlg::EndLoop() {
  ended_ = true;
  if (loop_) loop_->quit();
}

void CNorvaneDlg::StartLiveSync() {
  // States come from the watchers' threads; the view hears them on the window's thread.
  QObject* context = &context_;
  live_ = std::make_unique<LiveSync>([this, context](const std::vector<LiveSync::DomainState>& s) {
    const std::string text = LiveSyncStateText(s);
    QMetaObject::invokeMethod(
        context,
        [this, text] {
          if (view_) view_->ShowLiveSyncState(text);
        },
        Qt::QueuedConnection);
  });
  live_->Start();
  if (view_) view_->ShowLiveSyncState(LiveSyncStateText(live_->States()));
}

void CNorvaneDlg::DestroyEngines() {
  live_.reset();
  sync_.reset();
  engine_ready_ = false;
  auth_.reset();
  running_ = 0;
}

}  // namespace norvane
