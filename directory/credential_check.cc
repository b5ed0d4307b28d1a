// Password checks by bind. Each check opens a connection of its own, binds once and
// releases it; neither the shared connection nor the sync engine's is used for the bind.
// The password goes to the bind exactly as given, and never into a log line.
#include <ldap.h>

#include <cctype>
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

// Gives the check's connection back: to the pool when the directory answered the bind with
// success or "invalid credentials" (`bind_code`, the directory's own code), closed
// otherwise; kVerifyReleaseFailed when closing fails (type 0).
int Release(LdapConnection* connection, int bind_code, int result, bool ad) {
  if (bind_code == LDAP_SUCCESS || bind_code == LDAP_INVALID_CREDENTIALS) {
    ReturnLoginConnection(connection, bind_code);
    return result;
  }
  int u = ldap_unbind_ext_s(connection->ld, nullptr, nullptr);
  connection->ld = nullptr;
  delete connection;
  if (ad && u != LDAP_SUCCESS) {
    CLdapClient::ReportMessage(ErrorText(u));
    return kVerifyReleaseFailed;
  }
  return result;
}

// Active Directory says why it refused a bind in the diagnostic text ("…, data 52e, v…").
struct AdReason {
  const char* data;
  int result;
  const char* text;
};
constexpr AdReason kAdReasons[] = {
    {"52e", kLdapInvalidCredentials, "密码错误"},
    {"525", kVerifyUnknownAccount, "目录中没有该帐号"},
    {"530", kVerifyLogonHoursRefused, "该帐号此时不允许登录"},
    {"531", kVerifyWorkstationRefused, "该帐号不允许从此计算机登录"},
    {"532", kVerifyPasswordExpired, "密码已过期"},
    {"533", kVerifyAccountDisabled, "帐号已被禁用"},
    {"701", kVerifyAccountExpired, "帐号已过期"},
    {"773", kVerifyMustChangePassword, "用户须先修改密码"},
    {"775", kVerifyAccountLocked, "帐号已被锁定"},
};

// The "data" code of a refused bind's diagnostic text, lower case; "" when there is none.
std::string AdDataCode(const std::string& diagnostic) {
  std::size_t at = diagnostic.find("data ");
  if (at == std::string::npos) return {};
  std::string code;
  for (std::size_t i = at + 5;
       i < diagnostic.size() && std::isxdigit(static_cast<unsigned char>(diagnostic[i])); ++i) {
    code += static_cast<char>(std::tolower(static_cast<unsigned char>(diagnostic[i])));
  }
  return code;
}

// A type 0 bind's result with its reason: 49 only for a wrong password (data 52e, or no
// reason given); every other reason its own result. `reason` gets the log text.
int AdBindResult(LdapConnection* connection, int rc, std::string* reason) {
  *reason = ErrorText(rc);
  if (rc != LDAP_INVALID_CREDENTIALS) return rc;
  const std::string data = AdDataCode(DiagnosticOf(connection->ld));
  if (data.empty()) return rc;
  for (const AdReason& r : kAdReasons) {
    if (data == r.data) {
      *reason = std::string(r.text) + " (" + ErrorText(rc) + ", data " + data + ")";
      return r.result;
    }
  }
  *reason = "目录拒绝登录 (" + ErrorText(rc) + ", data " + data + ")";
  return kVerifyRefusedOther;
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
  LdapConnection* connection = TakeLoginConnection(type, host, port, &code, deadline);
  if (!connection) return Unopened(code);
  // Nothing was sent: the connection is as good as it was.
  if (dn.empty()) return Release(connection, LDAP_SUCCESS, kLdapInvalidCredentials, false);
  int rc = SimpleBind(connection, dn, password);
  // Type 1 binds with the account as given first, which Domino takes as a name.
  bool reported = false;
  if (type == 1 && rc == LDAP_INVALID_DN_SYNTAX) {
    rc = BindFoundEntry(client, connection, dn, password, deadline, &reported);
  }
  if (rc != LDAP_SUCCESS && rc != kVerifyDeadlinePassed && !reported) {
    CLdapClient::ReportMessage(ErrorText(rc));
  }
  return Release(connection, rc, rc, false);
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
  auto failed = [&](const std::string& reason) {
    WriteLog(Format("用户帐号:%s登录失败,失败原因:%s;其它信息lpsvrIP=%s:PORT=%d,dc=%s",
                    std::string(account).c_str(), reason.c_str(), std::string(host).c_str(),
                    int{port}, n.c_str()));
  };
  if (a.empty() || password.empty()) {
    failed(ErrorText(kLdapInvalidCredentials));
    return kLdapInvalidCredentials;
  }
  int code = 0;
  LdapConnection* connection = TakeLoginConnection(0, host, port, &code, deadline);
  if (!connection) return Unopened(code);
  const int rc = SimpleBind(connection, AdBindIdentity(a, n), password);
  int result = rc;
  if (rc != LDAP_SUCCESS && rc != kVerifyDeadlinePassed) {
    std::string reason;
    result = AdBindResult(connection, rc, &reason);
    failed(reason);
  }
  return Release(connection, rc, result, true);
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
  LdapConnection* connection = TakeLoginConnection(0, host, port, &code, deadline);
  if (!connection) return Unopened(code);
  WriteLog(Format("设置后Login:lpsvrIP='%s',PORT=%d,account='%s',DN='%s'", h.c_str(), int{port},
                  a.c_str(), d.c_str()));
  const int rc = SimpleBind(connection, AdBindIdentity(account, domain), password);
  int result = rc;
  if (rc != LDAP_SUCCESS && rc != kVerifyDeadlinePassed) {
    std::string reason;
    result = AdBindResult(connection, rc, &reason);
    if (result == rc) {
      ReportMessage(ErrorText(rc));
    } else {
      WriteLog(Format("用户帐号:%s登录失败,失败原因:%s", a.c_str(), reason.c_str()));
    }
  }
  return Release(connection, rc, result, true);
}

std::string VerifyRefusalText(int result) {
  for (const AdReason& r : kAdReasons) {
    if (r.result == result && result != kLdapInvalidCredentials) return r.text;
  }
  if (result == kLdapInvalidCredentials) return "帐号或密码错误";
  if (result == kVerifyRefusedOther) return "目录拒绝登录";
  return "LDAP服务器拒绝或无法验证(错误码" + std::to_string(result) + ")";
}

}  // namespace norvane
