#include "app/norvane_app.h"

#include <grp.h>
#include <sys/stat.h>
#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/main_window_factory.h"
#include "app/norvane_dlg.h"
#include "config/ldap_config.h"
#include "platform/activity_log.h"

namespace norvane {
namespace {

bool DisplayAvailable() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    const char* value = std::getenv(name);
    if (value && *value) return true;
  }
  return false;
}

// The group that may read the configured credential file of the Zelto server, when that is
// not root's: the service joins it, since it has no capability to read another user's file.
std::string CredentialGroup() {
  CLdapConfig config;
  config.Init();
  SysConfigInfo sys;
  if (!config.LoadSysConfig(sys) || sys.sdk_credential_file.empty()) return {};
  struct stat st;
  if (::stat(sys.sdk_credential_file.c_str(), &st) != 0 || st.st_gid == 0 ||
      (st.st_mode & S_IRGRP) == 0) {
    return {};
  }
  const group* g = ::getgrgid(st.st_gid);
  return g && g->gr_name ? g->gr_name : "";
}

// One activity-log line on standard output with the journal's priority prefix: failures as
// errors, warnings as warnings, the rest as information.
void JournalLine(const std::string& line) {
  const char* priority = "<6>";
  if (line.find("失败") != std::string::npos || line.find("错误") != std::string::npos ||
      line.find("异常") != std::string::npos || line.find("Error") != std::string::npos) {
    priority = "<3>";
  } else if (line.find("警告") != std::string::npos || line.find("删除保护") != std::string::npos ||
             line.find("没有启动") != std::string::npos) {
    priority = "<4>";
  }
  std::fputs(priority, stdout);
  std::fputs(line.c_str(), stdout);
  if (line.empty() || line.back() != '\n') std::fputc('\n', stdout);
  std::fflush(stdout);
}

}  // namespace

CNorvaneApp::CNorvaneApp(int argc, char** argv) : argc_(argc), argv_(argv) {
  std::memcpy(AliveMarker, kAliveMarkerText, kAliveMarkerBytes);
}

CNorvaneApp::~CNorvaneApp() { std::memset(AliveMarker, 0, kAliveMarkerBytes); }

int CNorvaneApp::InitInstance() {
  ServiceHost& host = ServiceHost::Instance();
  host.SetServiceName(kServiceName);
  host.SubscribeRun([this] { RunMainWindow(); }, AliveMarker);
  host.SubscribeStop([this] { CloseMainWindow(); }, AliveMarker);
  service_name_ = kServiceName;

  decision_ = ChooseStart(JoinArguments(argc_, argv_), &ReadConfiguredStartType,
                          [&host] { return host.IsServiceInstalled() == 1; });
  switch (decision_) {
    case StartDecision::kRemove: {
      const bool installed = host.IsServiceInstalled() == 1;
      install_result_ = host.RemoveService();
      if (install_result_) {
        std::printf("%s\n",
                    installed ? "服务 NORVANE_SVC 已卸载." : "服务 NORVANE_SVC 未安装, 无需卸载.");
      }
      return install_result_;
    }
    case StartDecision::kInstall:
      host.AddDependency(kZeltoServiceName);
      if (std::string group = CredentialGroup(); !group.empty()) host.AddSupplementaryGroup(group);
      install_result_ = host.InstallService();
      if (install_result_ && ReadConfiguredStartType() != 1) {
        // systemd would start the window, which never reports ready: say so now.
        std::fprintf(stderr,
                     "注意: LdapConfig.xml 的启动方式为界面方式 (StartMode StartType=\"0\"), "
                     "服务启动时会失败; 请在窗口中选择“以服务方式启动”, 或把 StartType 设为 1\n");
      }
      return install_result_;
    case StartDecision::kInterfaceMode:
      RunAsService = 0;
      RunMainWindow();
      break;
    case StartDecision::kServiceMode:
      RunAsService = 1;
      // systemd keeps the service's standard output in the journal: every activity-log line
      // goes there too, so journalctl -u NORVANE_SVC shows what the log file shows.
      SetLogListener(JournalLine);
      // Not started by systemd: the host clears its service flag and nothing runs.
      host.RunDispatcher();
      break;
    case StartDecision::kNothing:
      break;
  }
  return 0;
}

int CNorvaneApp::ExitInstance() {
  instance_lock_.reset();
  qt_.reset();
  if (decision_ == StartDecision::kInstall || decision_ == StartDecision::kRemove) {
    return install_result_ ? 0 : 1;
  }
  // A window that did not come up because a stop came first is not a failure.
  std::lock_guard<std::mutex> lock(window_mu_);
  return window_failed_ && !close_requested_ ? 1 : 0;
}

int CNorvaneApp::RunMainWindow() {
  const bool service = RunAsService != 0;
  const bool gui = !service && DisplayAvailable();
  if (!QCoreApplication::instance()) {
    if (gui) {
      auto app = std::make_unique<QApplication>(argc_, argv_);
      // The window hides instead of closing; only Exit and the service's stop end it.
      app->setQuitOnLastWindowClosed(false);
      qt_ = std::move(app);
    } else {
      qt_ = std::make_unique<QCoreApplication>(argc_, argv_);
    }
  }

  CNorvaneDlg::Options options;
  options.service_mode = service;
  options.live_sync = true;
  if (service) options.on_answering = [] { ServiceHost::Instance().NotifyReady(); };
  options.publish_status = true;
  CNorvaneDlg dlg(options);
  // Made before the single-instance check so that a refusal is shown in its message box.
  std::unique_ptr<MainView> view;
  if (gui) view = CreateMainWindow(dlg);

  instance_lock_ = std::make_unique<InstanceLock>();
  if (!instance_lock_->Acquire()) {
    char text[512];
    if (instance_lock_->UntrustedReason().empty()) {
      std::snprintf(text, sizeof text, kSecondCopyFormat, instance_lock_->LastError());
    } else {
      // Someone else's lock file or folder: nothing to wait for, something to fix.
      std::snprintf(text, sizeof text, "单实例锁不可信, Norvane 不启动: %s",
                    instance_lock_->UntrustedReason().c_str());
    }
    if (view) {
      view->ShowMessage(text, kMainWindowTitle, MessageIcon::kWarning);
    } else {
      WriteLog(text);
      std::fprintf(stderr, "%s\n", text);
    }
    window_failed_ = true;
    return 0;
  }

  bool echo = false;
  if (view) {
    dlg.AttachView(view.get());
  } else if (!service) {
    // Interface mode with nothing to show it in: the activity log is the only output.
    echo = true;
    SetLogListener([](const std::string& line) {
      std::fputs(line.c_str(), stderr);
      std::fflush(stderr);
    });
    WriteLog("没有可用的窗口，界面方式在无窗口状态下运行，信息写入系统日志");
  }

  if (dlg.Create()) {
    {
      std::lock_guard<std::mutex> lock(window_mu_);
      main_window_ = &dlg;
      if (close_requested_) dlg.PostClose();
    }
    // The service does not answer for a server that went away during the start: systemd
    // retries. The window stays for the administrator whatever the server does.
    if (!service || dlg.ProbeServer()) {
      dlg.RunModalLoop();
    } else {
      window_failed_ = true;
    }
    std::lock_guard<std::mutex> lock(window_mu_);
    main_window_ = nullptr;
  } else {
    window_failed_ = true;
  }
  dlg.AttachView(nullptr);
  view.reset();
  if (echo) SetLogListener({});
  return 0;
}

void CNorvaneApp::CloseMainWindow() {
  std::lock_guard<std::mutex> lock(window_mu_);
  close_requested_ = true;
  if (main_window_) main_window_->PostClose();
  main_window_ = nullptr;
}

}  // namespace norvane
