// The account lists typed into the specified-users dialog, and the report of the accounts
// an import could not place.
#ifndef NORVANE_UI_ACCOUNT_LIST_H_
#define NORVANE_UI_ACCOUNT_LIST_H_

#include <string>
#include <string_view>
#include <vector>

namespace norvane {

// Cuts the text at each ";". Every piece before a ";" is one account exactly as typed (no
// trimming, so "a;;b" holds an empty account); the piece after the last ";" is one more
// when it is not empty. A text without ";" is one account, even when it is empty.
std::vector<std::string> ParseAccountList(std::string_view text);

// "同步LDAP失败的用户列表：a;b;!": each failed account followed by ";".
std::string FailedAccountsMessage(const std::vector<std::string>& failed);

}  // namespace norvane

#endif  // NORVANE_UI_ACCOUNT_LIST_H_
