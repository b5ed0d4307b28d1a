// CNorvaneApp: the norvane program's application object. It decides from the command line
// and the configured start type whether this start installs or removes the service, runs
// the window (interface mode) or runs as the systemd service (service mode), and runs the
// main window under the single-instance guard.
#ifndef NORVANE_APP_NORVANE_APP_H_
#define NORVANE_APP_NORVANE_APP_H_

#include <QCoreApplication>
#include <memory>
#include <mutex>
#include <string>

#include "app/service_host.h"
#include "app/startup.h"
#include "platform/instance_lock.h"

namespace norvane {

class CNorvaneDlg;

// "%ld" is the error code (183 while another copy runs).
inline constexpr char kSecondCopyFormat[] =
    "已经有一个Norvane 服务进程在运行中, 请先退出该进程。! ErrCode =%ld";

class CNorvaneApp {
 public:
  // `argv` must outlive the object (Qt keeps it).
  CNorvaneApp(int argc, char** argv);
  // Wipes AliveMarker, so that the service host's lists drop this object's subscriptions.
  ~CNorvaneApp();
  CNorvaneApp(const CNorvaneApp&) = delete;
  CNorvaneApp& operator=(const CNorvaneApp&) = delete;

  // Runs the whole program: the install or remove result (1 success, 0 failure) when the
  // command line asks for one, else 0 once interface or service mode has finished.
  int InitInstance();
  // The process's exit status: 0, or 1 after a failed install or remove, or when the window
  // could not come up (the Zelto server did not answer, the engines failed, another copy
  // runs) unless a stop was asked for meanwhile, so that systemd starts the service again.
  int ExitInstance();

  // Runs the main window until it ends, under the single-instance guard; always 0. Main
  // thread (in service mode too: the service host runs it from the run list).
  int RunMainWindow();
  // Any thread: closes the main window (the service's stop). A stop that comes before the
  // window is up closes it as soon as it is.
  void CloseMainWindow();

  char AliveMarker[kAliveMarkerBytes];
  int RunAsService = 1;

 private:
  int argc_;
  char** argv_;
  std::string service_name_;
  StartDecision decision_ = StartDecision::kNothing;
  int install_result_ = 0;
  bool window_failed_ = false;
  std::unique_ptr<QCoreApplication> qt_;
  std::unique_ptr<InstanceLock> instance_lock_;  // held until the process ends

  std::mutex window_mu_;
  // Guarded by window_mu_.
  CNorvaneDlg* main_window_ = nullptr;
  bool close_requested_ = false;
};

}  // namespace norvane

#endif  // NORVANE_APP_NORVANE_APP_H_
