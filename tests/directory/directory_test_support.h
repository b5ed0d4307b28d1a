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
  // Writes SysConfig's RequireTLS, as an administrator does, and loads the configuration
  // again so that the process follows it.
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

// A loopback port with nothing listening on it.
int ClosedPort();

LdapServerParams Params(const std::string& host, int port, const std::string& dc,
                        const std::string& account, const std::string& password);

}  // namespace norvane::testing

#endif  // NORVANE_TESTS_DIRECTORY_DIRECTORY_TEST_SUPPORT_H_
