// norvanectl's authentication commands:
//   verify ACCOUNT      checks ACCOUNT with the password on standard input (one line) the way
//                       the authentication service checks a login, and prints the result
//                       code and its meaning; exit 0 only when the directory accepted it
//   auth --all|--users "a;b"|--domain --type ldap|local
//                       switches every account, the named accounts, or the accounts the
//                       current domain's import places (--domain runs that full import
//                       first) to directory (ldap) or local authentication; exit 0 on
//                       success, 1 on failure
// The activity-log lines of a command are echoed to standard error, and so are its messages.
#ifndef NORVANE_APP_CTL_AUTH_H_
#define NORVANE_APP_CTL_AUTH_H_

#include <string>

namespace norvane {

// Exit 2 when standard input holds no password.
int CtlVerify(const std::string& account);

enum class AuthScope { kAll, kUsers, kDomain };
// `users` ("a;b") is read only for kUsers; `ldap` false switches to local passwords.
int CtlAuth(AuthScope scope, const std::string& users, bool ldap);

}  // namespace norvane

#endif  // NORVANE_APP_CTL_AUTH_H_
