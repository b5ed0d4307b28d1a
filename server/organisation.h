// The IM server's organisation as the excluded-users dialog, the removal step of a full
// import and the authentication switch list it, the removal of excluded accounts, and the
// SDK root that the configuration names. The configuration store knows nothing of the
// server: whoever needs both holds both.
#ifndef NORVANE_SERVER_ORGANISATION_H_
#define NORVANE_SERVER_ORGANISATION_H_

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "config/records.h"
#include "server/sdk.h"

namespace norvane {

// The Name attributes of the `item` children of an answer whose document element is
// `list` ("Departments"/"Department", "Users"/"User"), in answer order. Element names
// compare ignoring ASCII case and other children are skipped; an answer that does not parse
// or has another document element gives nothing.
std::vector<std::string> ParseNameList(std::string_view answer, std::string_view list,
                                       std::string_view item);

// The credential and CA files `sys` names (SDKCredentialFile, SDKCAFile).
SdkSecurity SdkSecurityOf(const SysConfigInfo& sys);
// The SDK root of the server `sys` names (SDKSVRIP/SDKSVRPort), its application object
// pointed at APPSVRIP/APPSVRPort, speaking as SdkSecurityOf(sys) says. Null when the SDK
// address is unusable or SdkRoot::Create refuses the security settings (logged). Does not
// contact the server.
std::unique_ptr<SdkRoot> CreateSdkRoot(const SysConfigInfo& sys);
// The same for the base folder's LdapConfig.xml; null as well when it has no SysConfig.
std::unique_ptr<SdkRoot> CreateConfiguredSdkRoot();

// Each returns false when `root` is null or a server call fails; the lists then hold what
// was gathered.
//
// Every department path and every account of the server, walking depth-first from the
// top: a department's child paths, then its own accounts, then each child's content.
bool CollectServerOrganisation(SdkRoot* root, std::vector<std::string>& departments,
                               std::vector<std::string>& accounts);
// The accounts directly in one department (path "Sales\East\"; "" is the top).
bool ListDepartmentUsers(SdkRoot* root, const std::string& path,
                         std::vector<std::string>& accounts);
// Removes each listed account that exists on the server, in list order. A failing call
// stops there: the accounts before it stay removed. Unknown accounts are not an error.
bool RemoveExcludedUsers(SdkRoot* root, const std::vector<std::string>& accounts);

}  // namespace norvane

#endif  // NORVANE_SERVER_ORGANISATION_H_
