// Shared pieces of the authentication tests: a base folder with a configuration written for
// the servers under test and the activity log captured, a prompt that records its texts,
// logins through zeltoctl, and a TCP relay that counts the connections made to a directory.
#ifndef NORVANE_TESTS_AUTH_AUTH_TEST_SUPPORT_H_
#define NORVANE_TESTS_AUTH_AUTH_TEST_SUPPORT_H_

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/prompt.h"
#include "tests/fixtures/zeltod_fixture.h"

namespace norvane::testing {

// Relays host:port (port 0: a free one) to 127.0.0.1:target and counts the connections it
// accepted, so a test can tell which directory a check went to, and whether any.
class TcpCounter {
 public:
  explicit TcpCounter(int target_port, const std::string& host = "127.0.0.1", int port = 0);
  ~TcpCounter();
  TcpCounter(const TcpCounter&) = delete;
  TcpCounter& operator=(const TcpCounter&) = delete;
  bool ok() const { return listen_fd_ >= 0; }
  int port() const { return port_; }
  int connections() const { return connections_.load(); }

 private:
  void AcceptLoop();
  void Pump(int client);

  int target_port_;
  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::thread acceptor_;
  std::mutex mu_;
  std::vector<std::thread> pumps_;  // guarded by mu_
};

struct ChildDcSpec {
  std::string name;  // DCName
  int port = 0;
  std::string host = "127.0.0.1";
};

struct AuthConfigSpec {
  int type = 1;
  std::string ldap_host = "127.0.0.1";
  int ldap_port = 0;
  std::string dc = "o=corp";
  std::string admin;
  std::string password;
  int allow_dc = 1;
  int same_cover = 1;                 // 1: a full import keeps the accounts the tests made
  std::vector<ChildDcSpec> children;  // empty: one entry for dc on ldap_port
  int require_tls = 0;                // RequireTLS (0: the test slapd speaks plain text)
  int lockout_shield = 0;             // ManageSync LockoutShield; 0: not written
};

// A fresh base folder (with logs/) made the process's base folder; the activity log is
// captured while it lives.
class AuthBase {
 public:
  AuthBase();
  ~AuthBase();
  const std::string& dir() const { return dir_; }
  bool WriteConfig(const AuthConfigSpec& settings, const Zeltod& zeltod);
  std::vector<std::string> Lines() const;
  int Count(const std::string& fragment) const;
  bool Logged(const std::string& fragment) const { return Count(fragment) > 0; }
  void ClearLines();

 private:
  std::string dir_;
  mutable std::mutex mu_;
  std::vector<std::string> lines_;
};

class RecordingPrompt : public Prompt {
 public:
  void Show(const std::string& text) override;
  std::vector<std::string> Texts() const;
  void Clear();

 private:
  mutable std::mutex mu_;
  std::vector<std::string> texts_;
};

// A client login through zeltoctl: 0 accepted, 1 refused, 2 wrong password, -1 when zeltoctl
// gave no answer.
int Login(const Zeltod& zeltod, const std::string& account, const std::string& password);

// zeltoctl add-user, set-auth and (when `password` is given) passwd; false on any failure.
bool AddZeltoUser(const Zeltod& zeltod, const std::string& account, int auth_type,
                  const std::string& password = "");

// The account's authType as zeltoctl dump reports it; -1 when it is not there.
int ZeltoAuthType(const Zeltod& zeltod, const std::string& account);

}  // namespace norvane::testing

#endif  // NORVANE_TESTS_AUTH_AUTH_TEST_SUPPORT_H_
