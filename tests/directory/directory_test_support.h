// Helpers shared by the directory layer's integration tests: a private base folder (so the
// activity log and the USN store have somewhere to write), a capture of the log lines, and
// a TCP server that accepts connections and never answers.
#ifndef NORVANE_TESTS_DIRECTORY_DIRECTORY_TEST_SUPPORT_H_
#define NORVANE_TESTS_DIRECTORY_DIRECTORY_TEST_SUPPORT_H_

#include <atomic>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "config/records.h"

namespace norvane::testing {

// A fresh base folder with a logs/ folder and the installed LdapConfig.xml; removed again
// when destroyed.
class DirectoryTestBase {
 public:
  DirectoryTestBase();
  ~DirectoryTestBase();
  const std::string& dir() const { return dir_; }
  // Writes SysConfig (type, server, naming context, account, password) through CLdapConfig.
  void WriteSysConfig(int type, const std::string& host, int port, const std::string& dc,
                      const std::string& account, const std::string& password) const;
  // Writes SysConfig's RequireTLS, as an administrator does (a negative value removes it),
  // and loads the configuration again so that the process follows it. The base starts
  // with RequireTLS="0".
  void WriteRequireTls(int value) const;

 private:
  std::string dir_;
};

// Collects the activity-log lines written while it lives.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  std::vector<std::string> Lines() const;
  // True when some line holds `text`.
  bool Has(std::string_view text) const;
  std::string All() const;
  void Clear();

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

// Listens on a free loopback port, accepts every connection and never sends a byte.
class SilentServer {
 public:
  SilentServer();
  ~SilentServer();
  int port() const { return port_; }

 private:
  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::vector<int> accepted_;
  std::thread thread_;
};

// A man in the middle: listens on a free loopback port, relays every connection to
// 127.0.0.1:`target_port`, and replaces each `from` in what the server sends with `to` (of
// the same length, so the messages stay well formed). Bytes under TLS pass unchanged, since
// they no longer hold the text.
class RewritingProxy {
 public:
  RewritingProxy(int target_port, std::string from, std::string to);
  ~RewritingProxy();
  int port() const { return port_; }
  int rewrites() const { return rewrites_.load(); }

 private:
  void Relay(int client);

  int target_port_;
  std::string from_, to_;
  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> rewrites_{0};
  std::mutex mutex_;
  std::vector<std::thread> relays_;  // guarded by mutex_
  std::thread thread_;
};

// A loopback port with nothing listening on it.
int ClosedPort();

LdapServerParams Params(const std::string& host, int port, const std::string& dc,
                        const std::string& account, const std::string& password);

}  // namespace norvane::testing

#endif  // NORVANE_TESTS_DIRECTORY_DIRECTORY_TEST_SUPPORT_H_
