#include "server/auth_switch.h"

#include <exception>
#include <set>

#include "platform/activity_log.h"
#include "platform/text.h"
#include "server/organisation.h"
#include "server/sdk.h"

namespace norvane {
namespace {

// Deeper than any real organisation; ends the walk on a server that keeps answering with
// children of children.
constexpr int kMaxDepth = 256;

bool Walk(SdkDeptManager& departments, const std::string& path, int depth,
          std::set<std::string, LessNoCase>& seen, std::vector<std::string>& accounts) {
  if (depth > kMaxDepth) return false;
  for (std::string& account : ParseNameList(departments.DepartmentUsers(path), "Users", "User")) {
    if (!account.empty() && seen.insert(account).second) accounts.push_back(std::move(account));
  }
  for (const std::string& name :
       ParseNameList(departments.ChildDepartments(path), "Departments", "Department")) {
    if (name.empty()) continue;
    if (!Walk(departments, path + name + "\\", depth + 1, seen, accounts)) return false;
  }
  return true;
}

void Tell(const ShowMessage& show, const std::string& text) {
  if (show) {
    show(text);
  } else {
    WriteLog(text);
  }
}

}  // namespace

bool CollectOrganisationAccounts(SdkDeptManager& departments, std::vector<std::string>& accounts) {
  accounts.clear();
  std::set<std::string, LessNoCase> seen;
  try {
    return Walk(departments, "", 0, seen, accounts);
  } catch (const SdkError& error) {
    ReportSdkError(error);
  } catch (const std::exception&) {
  }
  return false;
}

int SetAuthTypeForAccounts(bool connected, SdkApplication* application,
                           const std::vector<std::string>& accounts, int type,
                           const ShowMessage& show) {
  if (!connected || !application) return 1;
  for (const std::string& account : accounts) {
    try {
      application->SetUserAuthType(account, type);
    } catch (const SdkError& error) {
      ReportSdkError(error);
      Tell(show, "调用新的Zelto SDK设置用户认证类型接口失败!");
      return 0;
    } catch (...) {
      Tell(show, "调用新的Zelto SDK部设置用户认证类型接口未知异常");
      return 0;
    }
  }
  return 1;
}

int SetAuthType(bool connected, SdkApplication* application, SdkDeptManager* departments,
                const std::vector<std::string>& specified, int scope, int type,
                const ShowMessage& show) {
  if (scope == kAuthScopeSpecified) {
    return SetAuthTypeForAccounts(connected, application, specified, type, show);
  }
  if (scope != kAuthScopeAllUsers) return 0;
  if (!connected || !application) return 1;
  std::vector<std::string> accounts;
  // A partial list would switch an arbitrary part of the organisation.
  if (!departments || !CollectOrganisationAccounts(*departments, accounts)) return 0;
  return SetAuthTypeForAccounts(connected, application, accounts, type, show);
}

}  // namespace norvane
