// Shared pieces of the norvane program's tests: a copy of the program with a base folder of
// its own, a system root (unit folder, systemd's run folder, lock folder) with a stand-in
// systemctl that records its calls, systemd's notification socket, and waiting with Qt's
// events dispatched.
#ifndef NORVANE_TESTS_APP_APP_TEST_SUPPORT_H_
#define NORVANE_TESTS_APP_APP_TEST_SUPPORT_H_

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace norvane::testing {

// A QCoreApplication for the test process, made once.
void EnsureQtApplication();

// Calls `done` until it is true or `timeout` has passed, dispatching Qt's events meanwhile
// when a QCoreApplication exists. True when `done` became true.
bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

// The activity log of a base folder ("" when there is none).
std::string ReadLog(const std::string& base);

// <dir>/etc/systemd/system and <dir>/run/lock, and <dir>/run/systemd/system when
// `systemd_runs`; <dir>/bin/systemctl records each call's arguments as one line in
// <dir>/systemctl.calls and answers is-active with 3 (inactive).
struct SystemRoot {
  explicit SystemRoot(bool systemd_runs = true);
  ~SystemRoot();
  std::string dir;
  std::string UnitPath() const { return dir + "/etc/systemd/system/NORVANE_SVC.service"; }
  std::vector<std::string> Calls() const;
  void ClearCalls() const;
  // The environment a program needs to use this root: NORVANE_SYSTEM_ROOT and PATH.
  std::map<std::string, std::string> Environment() const;
};

// A copy of the norvane program in <base>/bin, so that its base folder is `base`.
class Program {
 public:
  explicit Program(const std::string& base);
  ~Program();  // kills a copy still running
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  const std::string& path() const { return path_; }
  // Starts it with `args` and the test's environment changed by `env` (an empty value
  // removes the variable). Standard output and error go to files read by Output/Errors.
  bool Start(const std::vector<std::string>& args, const std::map<std::string, std::string>& env);
  // Waits for the exit: its status, or -1 when it is still running at `timeout`.
  int Wait(std::chrono::milliseconds timeout);
  // Runs it to the end (60 s at most) and returns its exit status.
  int Run(const std::vector<std::string>& args, const std::map<std::string, std::string>& env);
  void Signal(int signal_number) const;
  bool Running() const { return pid_ > 0; }
  std::string Output() const;
  std::string Errors() const;

 private:
  std::string base_, path_;
  pid_t pid_ = -1;
};

// systemd's notification socket: a datagram socket at <dir>/notify.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& dir);
  ~NotifySocket();
  bool ok() const { return fd_ >= 0; }
  const std::string& path() const { return path_; }
  // Waits for a message holding `fragment` (READY=1, STOPPING=1); true when one came.
  bool WaitFor(const std::string& fragment, std::chrono::milliseconds timeout);
  const std::vector<std::string>& Messages() const { return messages_; }

 private:
  std::string path_;
  int fd_ = -1;
  std::vector<std::string> messages_;
};

// A TCP listener on 127.0.0.1 that accepts connections and never answers: a directory that
// does not answer. Counts the connections it accepted.
class SilentServer {
 public:
  SilentServer();
  ~SilentServer();
  int port() const { return port_; }
  int Connections() const;

 private:
  int fd_ = -1;
  int port_ = 0;
  mutable std::vector<int> accepted_;
};

}  // namespace norvane::testing

#endif  // NORVANE_TESTS_APP_APP_TEST_SUPPORT_H_
