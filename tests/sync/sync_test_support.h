// Shared pieces of the sync engine's integration tests: a slapd of the fixture script,
// a base folder with a configuration written for the servers under test, the activity
// log captured, and the IM server's organisation read back through zeltoctl.
#ifndef NORVANE_TESTS_SYNC_SYNC_TEST_SUPPORT_H_
#define NORVANE_TESTS_SYNC_SYNC_TEST_SUPPORT_H_

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "tests/fixtures/samba_fixture.h"
#include "tests/fixtures/zeltod_fixture.h"

namespace norvane::testing {

// slapd.sh start/stop/modify.
class SlapdServer {
 public:
  ~SlapdServer();
  bool Start(const std::vector<std::string>& extra_args = {});
  void Stop();
  void Kill();  // SIGKILL: the directory goes away in the middle of whatever it does
  // Stops the server and starts it again on the same port with its data.
  bool Restart();
  bool Modify(const std::string& ldif);
  int Port() const;
  std::string Fact(const std::string& key) const;

 private:
  std::map<std::string, std::string> facts_;
  std::string state_dir_;
};

struct ConfigSpec {
  int type = 1;
  std::string dc = "o=corp";
  std::string admin;
  std::string password;
  int ldap_port = 0;
  int dept_mode = 0;
  int same_cover = 0;
  long delete_threshold = -1;  // -1: attribute absent
  long delete_share = -1;      // -1: attribute absent
  std::vector<std::string> limit_dc;
  std::vector<std::string> limit_user;
  std::map<std::string, std::string> user_property;  // extra pairs for the type's section
  std::vector<std::string> dc_list;                  // DCName of each AllowDC entry
};

// The Domino-style tree o=corp of `slapd`, read as its admin entry (type 1, simple bind).
ConfigSpec CorpSettings(const SlapdServer& slapd);

// The whole test domain of `dc`, read as its administrator (type 0).
ConfigSpec DomainSettings(const SambaDomain& dc);

// A fresh base folder (with logs/) made the process's base folder; the activity log is
// captured while it lives.
class BaseFolderScope {
 public:
  BaseFolderScope();
  ~BaseFolderScope();
  const std::string& dir() const { return dir_; }
  bool WriteConfig(const ConfigSpec& settings, const Zeltod& zeltod);
  std::vector<std::string> Lines() const;
  bool Logged(const std::string& fragment) const;
  void ClearLines();

 private:
  std::string dir_;
  mutable std::mutex mu_;
  std::vector<std::string> lines_;
};

// The organisation as zeltoctl dump reports it.
struct ServerUser {
  std::string line;  // the user's line of the dump
  std::vector<std::string> departments;
  std::string Field(const std::string& name) const;  // a string or number field
};
struct ServerOrg {
  std::vector<std::string> departments;
  std::map<std::string, ServerUser> users;
  bool HasDept(const std::string& path) const;
};
ServerOrg DumpOrg(const Zeltod& zeltod);

}  // namespace norvane::testing

#endif  // NORVANE_TESTS_SYNC_SYNC_TEST_SUPPORT_H_
