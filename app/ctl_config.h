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

// norvanectl config set NAME VALUE: sets one of the settings the wizard does not show,
// "SDKCredentialFile", "SDKCAFile" (an absolute path, or "" to remove it) or "RequireTLS"
// (0 or 1), keeping everything else in the file. Returns 0 with a line saying what was set,
// 1 with a one-line reason on `err` (an unknown name, a bad value, a missing or unusable
// file), 2 for a wrong number of arguments.
int CtlConfigSet(const std::vector<std::string>& args);
int CtlConfigSet(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// `text` as a JSON string literal, quotes included. Bytes that are not valid UTF-8 become
// U+FFFD, so the output is always valid JSON.
std::string JsonString(std::string_view text);

}  // namespace norvane

#endif  // NORVANE_APP_CTL_CONFIG_H_
