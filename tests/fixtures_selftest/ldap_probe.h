// A minimal libldap client for checking the test servers, independent of directory/.
#ifndef NORVANE_TESTS_FIXTURES_SELFTEST_LDAP_PROBE_H_
#define NORVANE_TESTS_FIXTURES_SELFTEST_LDAP_PROBE_H_

#include <map>
#include <string>
#include <vector>

typedef struct ldap LDAP;

namespace norvane::testing {

struct ProbeEntry {
  std::string dn;
  std::map<std::string, std::vector<std::string>> values;  // attribute names lower-cased
};

struct ProbeSearch {
  int code = -1;  // the search's LDAP result code
  std::vector<ProbeEntry> entries;
};

class LdapProbe {
 public:
  // `uri` like ldap://127.0.0.1:389 or ldaps://...; `ca_file` empty for plain LDAP. Every
  // operation has a 10 s network and a 30 s operation time-out.
  LdapProbe(const std::string& uri, const std::string& ca_file = "");
  ~LdapProbe();
  LdapProbe(const LdapProbe&) = delete;
  LdapProbe& operator=(const LdapProbe&) = delete;

  int StartTls();  // LDAP result code
  int SimpleBind(const std::string& dn, const std::string& password);
  int DigestBind(const std::string& user, const std::string& password);
  std::string WhoAmI();  // the authorisation identity, "" on failure
  // Subtree search; page_size > 0 pages with the RFC 2696 control until the end.
  ProbeSearch Search(const std::string& base, const std::string& filter,
                     const std::vector<std::string>& attrs, int page_size = 0, int scope = 2);
  ProbeSearch RootDse(const std::vector<std::string>& attrs);

 private:
  LDAP* ld_ = nullptr;
};

}  // namespace norvane::testing

#endif  // NORVANE_TESTS_FIXTURES_SELFTEST_LDAP_PROBE_H_
