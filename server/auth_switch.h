// Switching accounts between local authentication (type 0, the IM server's own password)
// and third-party authentication (type 3, checked by AuthService against the directory).
// The sync engine offers these as its own operations with its connected flag, its SDK
// application object and its list of specified accounts.
//
// Runs on the calling thread, one SDK call per account, no lock of its own.
#ifndef NORVANE_SERVER_AUTH_SWITCH_H_
#define NORVANE_SERVER_AUTH_SWITCH_H_

#include <functional>
#include <string>
#include <vector>

namespace norvane {

class SdkApplication;
class SdkDeptManager;

inline constexpr int kLocalAuthType = 0;
inline constexpr int kThirdPartyAuthType = 3;

inline constexpr int kAuthScopeAllUsers = 0;
inline constexpr int kAuthScopeSpecified = 1;

// Receives the message-box texts; an empty function writes them to the activity log.
using ShowMessage = std::function<void(const std::string& text)>;

// Every account of the IM server's organisation, depth first from the top: a department's
// own accounts, then each child department's content. An account that sits in several
// departments is listed once. False after a failing SDK call (reported to the activity
// log); `accounts` then holds what was gathered.
bool CollectOrganisationAccounts(SdkDeptManager& departments, std::vector<std::string>& accounts);

// Sets `type` on each account in order. 1 when every account was switched, or when nothing
// was to be done (not connected, no application object, an empty list). The first failing
// account stops the loop with 0: the accounts before it keep their new type, the rest their
// old one.
int SetAuthTypeForAccounts(bool connected, SdkApplication* application,
                           const std::vector<std::string>& accounts, int type,
                           const ShowMessage& show = {});

// scope 0: every account of the organisation, listed through `departments`; scope 1: the
// `specified` accounts; any other scope: 0, nothing changed. Scope 0 changes nothing and
// gives 0 when the organisation cannot be listed in full.
int SetAuthType(bool connected, SdkApplication* application, SdkDeptManager* departments,
                const std::vector<std::string>& specified, int scope, int type,
                const ShowMessage& show = {});

}  // namespace norvane

#endif  // NORVANE_SERVER_AUTH_SWITCH_H_
