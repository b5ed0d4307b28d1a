// The systemd service: the unit file, systemctl, sd_notify, the signal-driven control
// thread and syslog.
#include "app/service_host.h"

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/files.h"
#include "platform/paths.h"

extern char** environ;

namespace norvane {
namespace {

constexpr std::size_t kNameBytes = 255;
constexpr std::size_t kMaxDependencies = 256;
constexpr std::size_t kEventLogBytes = 256;
constexpr int kStopWaitSeconds = 20;

bool IsDirectory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string ExecutablePath() {
  char buf[4096];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

// A path as one word of a unit file: quoted, with the characters systemd would otherwise
// expand or unquote escaped.
std::string UnitWord(const std::string& path) {
  std::string word = "\"";
  for (char c : path) {
    if (c == '"' || c == '\\') {
      word += '\\';
      word += c;
    } else if (c == '%') {
      word += "%%";
    } else if (c == '$') {
      word += "$$";
    } else {
      word += c;
    }
  }
  return word + "\"";
}

// Runs systemctl with `args` (found on PATH, no shell); its exit status, -1 when it could not
// run. Its own output goes where ours goes.
int Systemctl(const std::vector<std::string>& args) {
  std::vector<std::string> words = {"systemctl"};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  pid_t pid;
  if (::posix_spawnp(&pid, "systemctl", nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void Report(bool success, const char* text) {
  std::FILE* out = success ? stdout : stderr;
  std::fputs(text, out);
  std::fputc('\n', out);
  std::fflush(out);
}

}  // namespace

ServiceHost& ServiceHost::Instance() {
  static ServiceHost host;
  return host;
}

ServiceHost::ServiceHost() : module_path_(ExecutablePath()) {}

void ServiceHost::SetServiceName(std::string_view name) {
  name_ = std::string(name.substr(0, kNameBytes));
}

void ServiceHost::AddSupplementaryGroup(std::string_view group) {
  // A group name as useradd allows it; anything else could carry a line of its own into
  // the unit.
  if (group.empty() || group.size() > 32 || group[0] == '-') return;
  for (char c : group) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-' && c != '.') return;
  }
  groups_.emplace_back(group);
}

void ServiceHost::AddDependency(std::string_view service) {
  if (dependencies_.size() >= kMaxDependencies || service.empty()) return;
  std::string name(service.substr(0, kNameBytes));
  if (name.find('.') == std::string::npos) name += ".service";
  dependencies_.push_back(name);
}

void ServiceHost::SubscribeRun(std::function<void()> operation, const char* alive_marker) {
  std::lock_guard<std::mutex> lock(run_mu_);
  run_subscribers_.push_front({std::move(operation), alive_marker});
}

void ServiceHost::SubscribeStop(std::function<void()> operation, const char* alive_marker) {
  std::lock_guard<std::mutex> lock(stop_mu_);
  stop_subscribers_.push_front({std::move(operation), alive_marker});
}

int ServiceHost::Invoke(std::mutex& mu, std::list<Subscription>& list) {
  std::lock_guard<std::mutex> lock(mu);
  int called = 0;
  for (auto it = list.begin(); it != list.end();) {
    if (std::memcmp(it->alive_marker, kAliveMarkerText, kAliveMarkerBytes) != 0) {
      it = list.erase(it);  // its target is gone
      continue;
    }
    it->operation();
    ++called;
    ++it;
  }
  return called;
}

int ServiceHost::InvokeRunSubscribers() { return Invoke(run_mu_, run_subscribers_); }
int ServiceHost::InvokeStopSubscribers() { return Invoke(stop_mu_, stop_subscribers_); }

// ---- installation ---------------------------------------------------------------------

std::string ServiceHost::UnitPath() const {
  return SystemRoot() + "/etc/systemd/system/" + UnitName();
}

bool ServiceHost::SystemdRuns() const { return IsDirectory(SystemRoot() + "/run/systemd/system"); }

// The sandbox keeps what a root service that reads a directory, talks to the Zelto server
// and writes only below its base folder needs: no capabilities, no new privileges, the
// system read-only apart from the base folder and the lock folder of the single-instance
// guard, no home folders, no kernel tunables, modules, logs or clock, Internet and local
// sockets only, and the system calls of an ordinary service.
std::string ServiceHost::UnitText() const {
  const std::string base = BaseFolderOf(module_path_);
  std::string text;
  text += "# Written by \"norvane -install\"; \"norvane -uninstall\" removes it.\n";
  text += "[Unit]\n";
  text += "Description=" + name_ + "\n";
  for (const std::string& d : dependencies_) {
    text += "Requires=" + d + "\n";
    text += "After=" + d + "\n";
  }
  text += "\n[Service]\n";
  text += "Type=notify\n";
  text += "NotifyAccess=main\n";
  text += "ExecStart=" + UnitWord(module_path_) + "\n";
  // Any end that systemctl did not ask for restarts it: a death by SIGPIPE, say, counts as
  // clean for on-failure.
  text += "Restart=always\n";
  text += "RestartSec=5\n";
  // A stop lets a running sync finish.
  text += "TimeoutStopSec=300\n";
  text += "UMask=0027\n";
  text += "ReadWritePaths=" + UnitWord(base.empty() ? std::string(1, '/') : base) + "\n";
  // The single-instance lock's folder, root's alone; kept between runs so that a window
  // started meanwhile still finds the lock.
  text += "RuntimeDirectory=norvane\n";
  text += "RuntimeDirectoryMode=0755\n";
  text += "RuntimeDirectoryPreserve=yes\n";
  for (const std::string& g : groups_) text += "SupplementaryGroups=" + g + "\n";
  text +=
      "CapabilityBoundingSet=\n"
      "NoNewPrivileges=yes\n"
      "ProtectSystem=strict\n"
      "ProtectHome=yes\n"
      "PrivateTmp=yes\n"
      "PrivateDevices=yes\n"
      "DevicePolicy=closed\n"
      "ProtectKernelTunables=yes\n"
      "ProtectKernelModules=yes\n"
      "ProtectKernelLogs=yes\n"
      "ProtectControlGroups=yes\n"
      "ProtectClock=yes\n"
      "ProtectHostname=yes\n"
      "ProtectProc=invisible\n"
      "ProcSubset=pid\n"
      "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6\n"
      "RestrictNamespaces=yes\n"
      "RestrictRealtime=yes\n"
      "RestrictSUIDSGID=yes\n"
      "LockPersonality=yes\n"
      "MemoryDenyWriteExecute=yes\n"
      "RemoveIPC=yes\n"
      "KeyringMode=private\n"
      "SystemCallArchitectures=native\n"
      "SystemCallFilter=@system-service\n"
      "SystemCallFilter=~@privileged @resources\n"
      "SystemCallErrorNumber=EPERM\n";
  text += "\n[Install]\n";
  text += "WantedBy=multi-user.target\n";
  return text;
}

int ServiceHost::IsServiceInstalled() const { return FileExists(UnitPath()) ? 1 : 0; }

int ServiceHost::InstallService() {
  if (IsServiceInstalled()) RemoveService();
  if (!IsDirectory(SystemRoot() + "/etc/systemd/system")) {
    Report(false, kNoServiceManager);
    return 0;
  }
  if (module_path_.empty() || !WriteFileAtomically(UnitPath(), UnitText())) {
    Report(false, kCannotCreate);
    return 0;
  }
  if (SystemdRuns()) {
    if (Systemctl({"daemon-reload"}) != 0 || Systemctl({"enable", UnitName()}) != 0) {
      // No half-installed service is left behind.
      ::unlink(UnitPath().c_str());
      Systemctl({"daemon-reload"});
      Report(false, kCannotCreate);
      return 0;
    }
  }
  Report(true, kInstallSucceeded);
  if (!SystemdRuns()) {
    // An image being built, say: the unit is there, but nothing could enable it.
    Report(true, ("systemd 未在运行: 服务单元已写入 " + UnitPath() +
                  ", 但未启用; systemd 运行后请执行 systemctl daemon-reload && systemctl enable " +
                  UnitName())
                     .c_str());
  }
  for (const std::string& d : dependencies_) {
    bool found = false;
    for (const char* folder : {"/etc/systemd/system/", "/lib/systemd/system/",
                               "/usr/lib/systemd/system/", "/run/systemd/system/"}) {
      found = found || FileExists(SystemRoot() + folder + d);
    }
    if (!found) {
      Report(false, ("警告: 本服务依赖的 " + d + " 尚未安装, 它安装之前本服务无法启动").c_str());
    }
  }
  return 1;
}

int ServiceHost::RemoveService() {
  if (!IsServiceInstalled()) return 1;
  if (SystemdRuns()) {
    if (Systemctl({"stop", "--no-block", UnitName()}) == 0) {
      for (int i = 0; i < kStopWaitSeconds; ++i) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        // is-active answers 0 only while the unit is active, activating or deactivating.
        if (Systemctl({"--quiet", "is-active", UnitName()}) != 0) break;
      }
    }
    Systemctl({"disable", UnitName()});
  }
  if (::unlink(UnitPath().c_str()) != 0 && errno != ENOENT) {
    Report(false, kCannotDelete);
    return 0;
  }
  if (SystemdRuns()) Systemctl({"daemon-reload"});
  return 1;
}

// ---- running --------------------------------------------------------------------------

int ServiceHost::RunDispatcher() {
  if (service_flag_ == 0) return 1;
  if (!std::getenv("NOTIFY_SOCKET") && !std::getenv("INVOCATION_ID")) {
    service_flag_ = 0;
    return 0;
  }
  ServiceEntry();
  return 1;
}

void ServiceHost::ServiceEntry() {
  state_ = ServiceState::kStartPending;
  // The stop control: SIGTERM and SIGINT, taken by one thread with sigwait. They are
  // blocked here, before any other thread exists, so that every later thread inherits it.
  sigset_t controls;
  sigemptyset(&controls);
  sigaddset(&controls, SIGTERM);
  sigaddset(&controls, SIGINT);
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &controls, &previous);
  std::atomic<bool> finished{false};
  std::thread control;
  try {
    control = std::thread([this, controls, &finished] {
      while (true) {
        int signal_number = 0;
        if (sigwait(&controls, &signal_number) != 0) continue;
        if (finished) return;
        ControlHandler(kControlStop);
      }
    });
  } catch (...) {
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    WriteEventLog("Handler not installed");
    return;
  }
  ReportStatus(ServiceState::kStartPending);
  if (service_flag_ == 1) {
    ReportStatus(ServiceState::kRunning);
    InvokeRunSubscribers();
  }
  ReportStatus(ServiceState::kStopped);
  WriteEventLog("Service stopped");
  finished = true;
  pthread_kill(control.native_handle(), SIGTERM);
  control.join();
}

void ServiceHost::ControlHandler(int control) {
  switch (control) {
    case kControlStop:
      ReportStatus(ServiceState::kStopPending);
      InvokeStopSubscribers();
      break;
    case kControlShutdown:
      InvokeStopSubscribers();
      break;
    default:
      break;
  }
}

bool ServiceHost::ReportStatus(ServiceState state) {
  state_ = state;
  const char* message = "";
  switch (state) {
    case ServiceState::kStartPending:
      message = "STATUS=Starting";
      break;
    case ServiceState::kRunning:
      message = "STATUS=Running";
      break;
    case ServiceState::kStopPending:
      message = "STOPPING=1\nSTATUS=Stopping";
      break;
    case ServiceState::kStopped:
      message = "STATUS=Stopped";
      break;
  }
  return sd_notify(0, message) > 0;
}

void ServiceHost::NotifyReady() {
  if (ready_sent_.exchange(true)) return;
  sd_notify(0, "READY=1\nSTATUS=Running");
}

void ServiceHost::WriteEventLog(const char* format, ...) {
  char buf[kEventLogBytes];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buf, sizeof buf, format, args);
  va_end(args);
  if (service_flag_ == 1) {
    openlog(name_.c_str(), LOG_PID, LOG_DAEMON);
    syslog(LOG_INFO, "%s", buf);
    closelog();
  } else {
    std::puts(buf);
    std::fflush(stdout);
  }
}

}  // namespace norvane
