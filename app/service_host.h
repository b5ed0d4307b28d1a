// ServiceHost: runs the program as the systemd service NORVANE_SVC. It installs and removes
// the unit, runs the service (status through sd_notify, SIGTERM/SIGINT as the stop control)
// and writes the service's own messages to syslog. It knows nothing of the program's work:
// the application subscribes what to run while the service runs and what to call when it
// must stop.
//
// Where the files live: the unit in <root>/etc/systemd/system, systemd counted as running
// when <root>/run/systemd/system exists, where <root> is SystemRoot() (platform/paths.h):
// NORVANE_SYSTEM_ROOT for an image being built or a test, "" for the real system.
// systemctl is called only where systemd runs; it is found on PATH.
//
// Threads: the subscriber lists are guarded by their own locks; everything else is for the
// main thread, except ControlHandler, which the control thread calls.
#ifndef NORVANE_APP_SERVICE_HOST_H_
#define NORVANE_APP_SERVICE_HOST_H_

#include <atomic>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace norvane {

inline constexpr char kServiceName[] = "NORVANE_SVC";
inline constexpr char kZeltoServiceName[] = "Zelto_SvrMain";
// What a live subscriber's 16-byte marker holds; a destroyed one's no longer does.
inline constexpr char kAliveMarkerText[] = "################";
inline constexpr int kAliveMarkerBytes = 16;

// The controls and states of the service, numbered as the service manager numbers them.
inline constexpr int kControlStop = 1;
inline constexpr int kControlShutdown = 5;
enum class ServiceState { kStopped = 1, kStartPending = 2, kStopPending = 3, kRunning = 4 };

// Installer messages.
inline constexpr char kInstallSucceeded[] = "Install succeeded .";
inline constexpr char kNoServiceManager[] = "Couldn't open service manager";
inline constexpr char kCannotCreate[] = "Couldn't create service";
inline constexpr char kCannotOpen[] = "Couldn't open service";
inline constexpr char kCannotDelete[] = "Service could not be deleted";

class ServiceHost {
 public:
  // The process's one host.
  static ServiceHost& Instance();

  ServiceHost();
  ServiceHost(const ServiceHost&) = delete;
  ServiceHost& operator=(const ServiceHost&) = delete;

  // Also the unit's name (NAME.service), its description and syslog's ident. At most 255
  // bytes are kept.
  void SetServiceName(std::string_view name);
  const std::string& ServiceName() const { return name_; }
  // A service this one requires and starts after (".service" is added to a bare name).
  // Beyond 256 dependencies further ones are ignored.
  void AddDependency(std::string_view service);
  // A group the service joins (SupplementaryGroups=): the group the Zelto server's
  // credential file is readable by, since the service's root has no capability to read
  // another user's file.
  void AddSupplementaryGroup(std::string_view group);

  // `operation` runs while the service runs (run list) or when it must stop (stop list),
  // as long as the 16 bytes at `alive_marker` read kAliveMarkerText; a subscription whose
  // marker no longer reads so is dropped without a call. New subscriptions go first.
  void SubscribeRun(std::function<void()> operation, const char* alive_marker);
  void SubscribeStop(std::function<void()> operation, const char* alive_marker);
  // Invokes a list; returns how many operations were called.
  int InvokeRunSubscribers();
  int InvokeStopSubscribers();

  // 1 when the unit file exists.
  int IsServiceInstalled() const;
  // Writes the unit for this executable (removing an installed one first) and, where systemd
  // runs, reloads systemd and enables the unit. 1 on success. Reports on standard output
  // (success) or standard error (failure).
  int InstallService();
  // Where systemd runs: asks the service to stop, waits up to 20 s for it, disables it; then
  // deletes the unit and reloads systemd. 1 on success and when not installed (silently).
  int RemoveService();
  // Runs the service until it has stopped: 1. When the process was not started by systemd
  // (neither NOTIFY_SOCKET nor INVOCATION_ID set) clears the service flag and returns 0;
  // with the flag already clear returns 1 at once.
  int RunDispatcher();
  // The service's run: start pending, the control thread, running (READY=1), the run
  // subscribers, stopped.
  void ServiceEntry();
  // Stop (STOPPING=1, then the stop subscribers) and shutdown (the stop subscribers).
  void ControlHandler(int control);
  // Tells systemd the state. True when the message was sent (false also outside systemd).
  // Running is not yet ready: NotifyReady says that, once the service answers logins.
  bool ReportStatus(ServiceState state);
  // READY=1, once per run; later calls send nothing.
  void NotifyReady();
  // printf-style; at most 255 bytes. To syslog while the service flag is 1, else a line on
  // standard output.
  void WriteEventLog(const char* format, ...) __attribute__((format(printf, 2, 3)));

  int ServiceFlag() const { return service_flag_; }
  ServiceState State() const { return state_.load(); }
  // The unit file's path and contents for this executable.
  std::string UnitPath() const;
  std::string UnitText() const;

 private:
  struct Subscription {
    std::function<void()> operation;
    const char* alive_marker;
  };
  static int Invoke(std::mutex& mu, std::list<Subscription>& list);
  bool SystemdRuns() const;
  std::string UnitName() const { return name_ + ".service"; }

  std::mutex run_mu_;
  std::list<Subscription> run_subscribers_;  // guarded by run_mu_
  std::mutex stop_mu_;
  std::list<Subscription> stop_subscribers_;  // guarded by stop_mu_

  std::string name_;
  std::string module_path_;
  std::vector<std::string> dependencies_;
  std::vector<std::string> groups_;
  std::atomic<bool> ready_sent_{false};
  std::atomic<ServiceState> state_{ServiceState::kStopped};
  int service_flag_ = 1;
};

}  // namespace norvane

#endif  // NORVANE_APP_SERVICE_HOST_H_
