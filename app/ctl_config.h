// norvanectl config show: the configuration as the program loads it, as one JSON object;
// norvanectl config set: the settings only the command line sets.
#ifndef NORVANE_APP_CTL_CONFIG_H_
#define NORVANE_APP_CTL_CONFIG_H_

#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

namespace norvane {

// Prints the configuration of the base folder's LdapConfig.xml to standard output:
// "DirectoryType", "SysConfig", "AllowDC", "ManageSync", "StartType", "LimitDC",
// "LimitUser", "UserAttributeNames", and "UserProperty", "DeptProperty", "SyncScope" of the
// current directory type's section. Passwords show as "***" (or "" when empty). Returns 0,
// or 1 with a one-line reason on standard error when the file is missing or unreadable.
int CtlConfigShow();
int CtlConfigShow(std::ostream& out, std::ostream& err);

// norvanectl config set NAME VALUE: sets one setting by its attribute name, keeping
// everything else in the file: what the wizard edits (SysConfig's directory and server
// settings, ManageSync, StartMode's StartType; UpdateTime as HH:MM; the administrator
// password "SN" only as "-", read from `in`, never from the command line, and stored
// protected), and the trust settings "SDKCredentialFile", "SDKCAFile" (an absolute path,
// or "" to remove it) and "RequireTLS" (0 or 1). A directory setting also updates the
// domain's ChildDC entry, and a new DC the sync scope that was the old one. Returns 0 with a
// line saying what was set, 1 with a one-line reason on `err` (an unknown name, a bad value,
// a missing or unusable file), 2 for a wrong number of arguments.
int CtlConfigSet(const std::vector<std::string>& args);
int CtlConfigSet(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int CtlConfigSet(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                 std::istream& in);

// `text` as a JSON string literal, quotes included. Each run of bytes that is not valid
// UTF-8 becomes U+FFFD, so the output is always valid JSON.
std::string JsonString(std::string_view text);

}  // namespace norvane

#endif  // NORVANE_APP_CTL_CONFIG_H_
