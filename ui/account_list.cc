#include "ui/account_list.h"

#include "platform/text.h"

namespace norvane {

std::vector<std::string> ParseAccountList(std::string_view text) {
  if (text.find(';') == std::string_view::npos) return {std::string(text)};
  return SplitList(text);
}

std::string FailedAccountsMessage(const std::vector<std::string>& failed) {
  return "同步LDAP失败的用户列表：" + JoinList(failed) + "!";
}

}  // namespace norvane
