// The IM server's organisation as CLdapConfig lists it for the excluded-users dialog and the
// removal step of a full import, and the removal of excluded accounts.
//
// The department manager answers in XML:
//   child departments of a path: <Departments><Department Name="Sales"/>...</Departments>
//   users of a path:             <Users><User Name="account"/>...</Users>
// Element names compare ignoring ASCII case; other children, and an answer whose outer
// element is neither, contribute nothing. An answer that does not parse has no children.
// A department path is the names from the top, each followed by "\"; "" is the top.
#include "config/organisation.h"

#include <exception>

#include "config/ldap_config.h"
#include "platform/xml.h"
#include "server/sdk.h"

namespace norvane {
namespace {

// Deeper than any real organisation; stops the walk on a server that keeps answering
// with children of children.
constexpr int kMaxDepartmentDepth = 256;

bool Walk(SdkDeptManager& manager, const std::string& path, int depth,
          std::vector<std::string>& departments, std::vector<std::string>& accounts) {
  if (depth > kMaxDepartmentDepth) return false;
  std::vector<std::string> children;
  for (const std::string& name :
       ParseNameList(manager.ChildDepartments(path), "Departments", "Department")) {
    children.push_back(path + name + "\\");
  }
  departments.insert(departments.end(), children.begin(), children.end());
  for (std::string& account : ParseNameList(manager.DepartmentUsers(path), "Users", "User"))
    accounts.push_back(std::move(account));
  for (const std::string& child : children) {
    if (!Walk(manager, child, depth + 1, departments, accounts)) return false;
  }
  return true;
}

SdkDeptManager* DeptManagerOf(SdkRoot* root) { return root ? root->DeptManager() : nullptr; }
SdkUserManager* UserManagerOf(SdkRoot* root) { return root ? root->UserManager() : nullptr; }

}  // namespace

std::vector<std::string> ParseNameList(std::string_view answer, std::string_view list,
                                       std::string_view item) {
  std::vector<std::string> names;
  XmlDocument doc;
  if (!doc.LoadXml(answer)) return names;
  XmlElement root = doc.Root();
  if (!root || !EqualsNoCase(root.Name(), list)) return names;
  for (const XmlElement& child : root.Children()) {
    if (EqualsNoCase(child.Name(), item)) names.push_back(child.Attribute("Name"));
  }
  return names;
}

bool CLdapConfig::CollectServerOrganisation(std::vector<std::string>& departments,
                                            std::vector<std::string>& accounts) {
  SdkDeptManager* manager = DeptManagerOf(sdk_.get());
  if (!manager) return false;
  departments.clear();
  accounts.clear();
  try {
    return Walk(*manager, "", 0, departments, accounts);
  } catch (const SdkError& error) {
    ReportSdkError(error);
  } catch (const std::exception&) {
  }
  return false;
}

bool CLdapConfig::ListDepartmentUsers(const std::string& path, std::vector<std::string>& accounts) {
  accounts.clear();
  SdkDeptManager* manager = DeptManagerOf(sdk_.get());
  if (!manager) return false;
  try {
    accounts = ParseNameList(manager->DepartmentUsers(path), "Users", "User");
    return true;
  } catch (const SdkError& error) {
    ReportSdkError(error);
  } catch (const std::exception&) {
  }
  return false;
}

bool CLdapConfig::RemoveExcludedUsers(const std::vector<std::string>& accounts) {
  SdkUserManager* manager = UserManagerOf(sdk_.get());
  if (!manager) return false;
  try {
    for (const std::string& account : accounts) {
      if (manager->UserExists(account)) manager->RemoveUser(account);
    }
    return true;
  } catch (const SdkError& error) {
    ReportSdkError(error);
  } catch (const std::exception&) {
  }
  return false;
}

}  // namespace norvane
