// The department manager answers in XML:
//   child departments of a path: <Departments><Department Name="Sales"/>...</Departments>
//   users of a path:             <Users><User Name="account"/>...</Users>
// Element names compare ignoring ASCII case; other children, and an answer whose outer
// element is neither, contribute nothing. An answer that does not parse has no children.
// A department path is the names from the top, each followed by "\"; "" is the top.
#include "server/organisation.h"

#include <algorithm>
#include <exception>

#include "config/credential.h"
#include "config/ldap_config.h"
#include "platform/xml.h"

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

SdkSecurity SdkSecurityOf(const SysConfigInfo& sys) {
  SdkSecurity security;
  security.credential_file = sys.sdk_credential_file;
  security.ca_file = sys.sdk_ca_file;
  return security;
}

std::unique_ptr<SdkRoot> CreateSdkRoot(const SysConfigInfo& sys) {
  std::unique_ptr<SdkRoot> root;
  try {
    root = SdkRoot::Create(sys.sdk_server_ip, sys.sdk_server_port, SdkSecurityOf(sys));
  } catch (const std::exception&) {
    return nullptr;
  }
  if (!root) return nullptr;
  // Only the application object uses the application server: an unusable address is not
  // an error here.
  try {
    root->SetServerAddress(sys.app_server_ip);
    root->SetServerPort(sys.app_server_port);
  } catch (const std::exception&) {
  }
  return root;
}

std::unique_ptr<SdkRoot> CreateConfiguredSdkRoot() {
  CLdapConfig config;
  config.Init();
  SysConfigInfo sys;
  if (!config.LoadSysConfig(sys)) return nullptr;
  WipePassword(sys.admin_password);
  return CreateSdkRoot(sys);
}

bool CollectServerOrganisation(SdkRoot* root, std::vector<std::string>& departments,
                               std::vector<std::string>& accounts) {
  SdkDeptManager* manager = DeptManagerOf(root);
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

bool ListDepartmentUsers(SdkRoot* root, const std::string& path,
                         std::vector<std::string>& accounts) {
  accounts.clear();
  SdkDeptManager* manager = DeptManagerOf(root);
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

bool RemoveExcludedUsers(SdkRoot* root, const std::vector<std::string>& accounts) {
  SdkUserManager* manager = UserManagerOf(root);
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
