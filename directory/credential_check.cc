// Password checks by bind. Each check opens a connection of its own, binds once and
// releases it; neither the shared connection nor the sync engine's is used for the bind.
// The password goes to the bind exactly as given, and never into a log line.
#include <ldap.h>

#include <cstdio>
#include <string>

#include "directory/internal.h"
#include "directory/ldap_client.h"
#include "platform/activity_log.h"

namespace norvane {
namespace {

std::string Format(const char* format, auto... args) {
  int n = std::snprintf(nullptr, 0, format, args...);
  if (n <= 0) return {};
  std::string out(static_cast<std::size_t>(n) + 1, '\0');
  std::snprintf(out.data(), out.size(), format, args...);
  out.resize(static_cast<std::size_t>(n));
  return out;
}

// Releases the check's connection: kVerifyReleaseFailed when the unbind fails (type 0).
int Release(LdapConnection* connection, int result, bool ad) {
  int u = ldap_unbind_ext_s(connection->ld, nullptr, nullptr);
  connection->ld = nullptr;
  delete connection;
  if (ad && u != LDAP_SUCCESS) {
    CLdapClient::ReportMessage(ErrorText(u));
    return kVerifyReleaseFailed;
  }
  return result;
}

// The check's result when no connection could be opened.
int Unopened(int code) {
  return code == kVerifyDeadlinePassed ? kVerifyDeadlinePassed : kVerifyCannotConnect;
}

// Type 1 on a directory that takes only DNs as bind names (the OpenLDAP family refuses an
// account name with "invalid DN syntax"): the account is looked up by its mapped attribute
// and its entry's DN bound with on the same connection, so the password still goes to one
// server only. An account that names no entry, or several, is refused as a wrong password.
int BindFoundEntry(CLdapClient& client, LdapConnection* connection, const std::string& account,
                   std::string_view password, CheckDeadline deadline, bool* reported) {
  std::string dn, attribute;
  const int found = client.LookupUniqueAccountDn(account, dn, deadline, &attribute);
  if (found < 0) {
    if (DeadlinePassed(deadline)) return kVerifyDeadlinePassed;
    *reported = true;
    WriteLog(
        Format("用户帐号:%s登录失败,失败原因:目录不接受该帐号作为绑定名,且无法在目录中查找该帐号",
               account.c_str()));
    return LDAP_INVALID_DN_SYNTAX;
  }
  if (found != 1) {
    *reported = true;
    if (attribute.empty()) {
      WriteLog(
          Format("用户帐号:%s登录失败,失败原因:目录不接受该帐号作为绑定名,且未配置帐号属性"
                 "(UserProperty 的 uid),无法查找该帐号",
                 account.c_str()));
    } else {
      WriteLog(Format("用户帐号:%s登录失败,失败原因:目录中%s为该帐号的条目%s", account.c_str(),
                      attribute.c_str(), found == 0 ? "不存在" : "不止一个,无法确定登录身份"));
    }
    return kLdapInvalidCredentials;
  }
  return SimpleBind(connection, dn, password);
}

// Types 1 and 2: bind `dn` with `password` on host:port. An empty DN or password would be an
// anonymous bind, which servers accept: either is refused as a wrong password. An empty
// password is refused before any traffic; an empty DN (NDS: the lookup found nothing, or
// could not reach the server) only once the server is reached, so that an unreachable
// directory reads as no connection, not as a wrong password.
int VendorCheck(CLdapClient& client, int type, std::string_view host, std::uint16_t port,
                const std::string& dn, std::string_view password, CheckDeadline deadline) {
  if (password.empty()) return kLdapInvalidCredentials;
  if (DeadlinePassed(deadline)) return kVerifyDeadlinePassed;  // the lookup used it up
  int code = 0;
  LdapConnection* connection = OpenConnection(type, host, port, &code, true, deadline);
  if (!connection) return Unopened(code);
  if (dn.empty()) return Release(connection, kLdapInvalidCredentials, false);
  int rc = SimpleBind(connection, dn, password);
  // Type 1 binds with the account as given first, which Domino takes as a name.
  bool reported = false;
  if (type == 1 && rc == LDAP_INVALID_DN_SYNTAX) {
    rc = BindFoundEntry(client, connection, dn, password, deadline, &reported);
  }
  if (rc != LDAP_SUCCESS && rc != kVerifyDeadlinePassed && !reported) {
    CLdapClient::ReportMessage(ErrorText(rc));
  }
  return Release(connection, rc, false);
}

}  // namespace

int CLdapClient::VerifyByDirectoryBind(std::string_view host, std::uint16_t port,
                                       std::string_view account, std::string_view password,
                                       CheckDeadline deadline) {
  const std::string a = ToServerText(account, true);
  const int type = SelectedServerType();
  if (type == 1 || type == 2) {
    std::string dn;
    if (type == 2) {
      if (!a.empty()) LookupAccountDn(a, dn, deadline);
    } else {
      dn = a;
    }
    return VendorCheck(*this, type, host, port, dn, password, deadline);
  }
  if (type != 0) return kVerifyCannotConnect;

  const std::string n = LastConnectParams().domain_name;
  auto failed = [&](int c) {
    WriteLog(Format("用户帐号:%s登录失败,失败原因:%s;其它信息lpsvrIP=%s:PORT=%d,dc=%s",
                    std::string(account).c_str(), ErrorText(c).c_str(), std::string(host).c_str(),
                    int{port}, n.c_str()));
  };
  if (a.empty() || password.empty()) {
    failed(kLdapInvalidCredentials);
    return kLdapInvalidCredentials;
  }
  int code = 0;
  LdapConnection* connection = OpenConnection(0, host, port, &code, true, deadline);
  if (!connection) return Unopened(code);
  int rc = SimpleBind(connection, AdBindIdentity(a, n), password);
  if (rc != LDAP_SUCCESS && rc != kVerifyDeadlinePassed) failed(rc);
  return Release(connection, rc, true);
}

int CLdapClient::VerifyByDomainBind(std::string_view host, std::uint16_t port,
                                    std::string_view domain, std::string_view account,
                                    std::string_view password, CheckDeadline deadline) {
  const int type = SelectedServerType();
  if (type == 1 || type == 2) {
    std::string dn;
    if (type == 2) {
      if (!account.empty()) LookupAccountDn(account, dn, deadline);
    } else {
      dn = std::string(account);
    }
    return VendorCheck(*this, type, host, port, dn, password, deadline);
  }
  if (type != 0) return kVerifyCannotConnect;

  const std::string h(host), a(account), d(domain);
  WriteLog(Format("用户登录IP='%s',PORT=%d,account='%s',DN='%s'", h.c_str(), int{port}, a.c_str(),
                  d.c_str()));
  if (a.empty() || password.empty()) {
    ReportMessage(ErrorText(kLdapInvalidCredentials));
    return kLdapInvalidCredentials;
  }
  int code = 0;
  LdapConnection* connection = OpenConnection(0, host, port, &code, true, deadline);
  if (!connection) return Unopened(code);
  WriteLog(Format("设置后Login:lpsvrIP='%s',PORT=%d,account='%s',DN='%s'", h.c_str(), int{port},
                  a.c_str(), d.c_str()));
  int rc = SimpleBind(connection, AdBindIdentity(account, domain), password);
  if (rc != LDAP_SUCCESS && rc != kVerifyDeadlinePassed) ReportMessage(ErrorText(rc));
  return Release(connection, rc, true);
}

}  // namespace norvane
