#include "tests/app/app_test_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace norvane::testing {
namespace {

std::string MakeTempDir(const char* prefix) {
  std::string pattern = std::string("/tmp/") + prefix + "-XXXXXX";
  char* made = ::mkdtemp(pattern.data());
  return made ? std::string(made) : std::string();
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void RemoveTree(const std::string& dir) {
  if (!dir.empty()) std::system(("rm -rf '" + dir + "'").c_str());
}

}  // namespace

void EnsureQtApplication() {
  static int argc = 1;
  static char name[] = "norvane_test";
  static char* argv[] = {name, nullptr};
  if (!QCoreApplication::instance()) new QCoreApplication(argc, argv);
}

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    if (QCoreApplication::instance()) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

std::string ReadLog(const std::string& base) { return Slurp(base + "/logs/norvanelog.log"); }

// ---- system root ----------------------------------------------------------------------

SystemRoot::SystemRoot(bool systemd_runs) {
  dir = MakeTempDir("norvane-root");
  std::system(("mkdir -p '" + dir + "/etc/systemd/system' '" + dir + "/run/lock' '" + dir + "/bin'")
                  .c_str());
  if (systemd_runs) std::system(("mkdir -p '" + dir + "/run/systemd/system'").c_str());
  const std::string script = dir + "/bin/systemctl";
  std::ofstream out(script);
  out << "#!/bin/sh\n"
      << "echo \"$*\" >> '" << dir << "/systemctl.calls'\n"
      << "case \"$*\" in *is-active*) exit 3;; esac\n"
      << "exit 0\n";
  out.close();
  ::chmod(script.c_str(), 0755);
}

SystemRoot::~SystemRoot() { RemoveTree(dir); }

std::vector<std::string> SystemRoot::Calls() const {
  std::vector<std::string> calls;
  std::istringstream in(Slurp(dir + "/systemctl.calls"));
  for (std::string line; std::getline(in, line);) calls.push_back(line);
  return calls;
}

void SystemRoot::ClearCalls() const { ::unlink((dir + "/systemctl.calls").c_str()); }

std::map<std::string, std::string> SystemRoot::Environment() const {
  const char* path = std::getenv("PATH");
  return {{"NORVANE_SYSTEM_ROOT", dir}, {"PATH", dir + "/bin:" + (path ? path : "/usr/bin:/bin")}};
}

// ---- program --------------------------------------------------------------------------

Program::Program(const std::string& base) : base_(base) {
  ::mkdir((base + "/bin").c_str(), 0755);
  path_ = base + "/bin/norvane";
  std::system(("cp '" NORVANE_BINARY_DIR "/bin/norvane' '" + path_ + "'").c_str());
}

Program::~Program() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

bool Program::Start(const std::vector<std::string>& args,
                    const std::map<std::string, std::string>& env) {
  std::map<std::string, std::string> vars;
  for (char** e = environ; *e; ++e) {
    std::string entry = *e;
    std::size_t eq = entry.find('=');
    if (eq != std::string::npos) vars[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  for (const auto& [key, value] : env) {
    if (value.empty()) {
      vars.erase(key);
    } else {
      vars[key] = value;
    }
  }
  std::vector<std::string> env_text;
  for (const auto& [key, value] : vars) env_text.push_back(key + "=" + value);
  std::vector<std::string> words = {path_};
  words.insert(words.end(), args.begin(), args.end());

  const std::string out = base_ + "/program.out", err = base_ + "/program.err";
  pid_t pid = ::fork();
  if (pid < 0) return false;
  if (pid == 0) {
    std::vector<char*> argv, envp;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    for (std::string& e : env_text) envp.push_back(e.data());
    envp.push_back(nullptr);
    int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(o, 1);
    ::dup2(e, 2);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  pid_ = pid;
  return true;
}

int Program::Wait(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return -1;
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (true) {
    int status = 0;
    pid_t got = ::waitpid(pid_, &status, WNOHANG);
    if (got == pid_) {
      pid_ = -1;
      if (WIFEXITED(status)) return WEXITSTATUS(status);
      return 128 + WTERMSIG(status);
    }
    if (std::chrono::steady_clock::now() > end) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

int Program::Run(const std::vector<std::string>& args,
                 const std::map<std::string, std::string>& env) {
  if (!Start(args, env)) return -1;
  return Wait(std::chrono::seconds(60));
}

void Program::Signal(int signal_number) const {
  if (pid_ > 0) ::kill(pid_, signal_number);
}

std::string Program::Output() const { return Slurp(base_ + "/program.out"); }
std::string Program::Errors() const { return Slurp(base_ + "/program.err"); }

// ---- notification socket --------------------------------------------------------------

NotifySocket::NotifySocket(const std::string& dir) : path_(dir + "/notify") {
  fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (fd_ < 0 || path_.size() >= sizeof addr.sun_path) return;
  std::strcpy(addr.sun_path, path_.c_str());
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

NotifySocket::~NotifySocket() {
  if (fd_ >= 0) ::close(fd_);
  ::unlink(path_.c_str());
}

bool NotifySocket::WaitFor(const std::string& fragment, std::chrono::milliseconds timeout) {
  for (const std::string& m : messages_) {
    if (m.find(fragment) != std::string::npos) return true;
  }
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (fd_ >= 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buf[4096];
    ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) continue;
    messages_.emplace_back(buf, static_cast<std::size_t>(n));
    if (messages_.back().find(fragment) != std::string::npos) return true;
  }
  return false;
}

// ---- a directory that does not answer -------------------------------------------------

SilentServer::SilentServer() {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(fd_, 16) != 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    return;
  }
  port_ = ntohs(addr.sin_port);
}

SilentServer::~SilentServer() {
  for (int fd : accepted_) ::close(fd);
  if (fd_ >= 0) ::close(fd_);
}

int SilentServer::Connections() const {
  while (fd_ >= 0) {
    int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) break;
    accepted_.push_back(fd);
  }
  return static_cast<int>(accepted_.size());
}

}  // namespace norvane::testing
