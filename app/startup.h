// How a start of the program is decided: install or remove the service, run the window
// (interface mode), hand over to the service manager (service mode), or do nothing.
#ifndef NORVANE_APP_STARTUP_H_
#define NORVANE_APP_STARTUP_H_

#include <functional>
#include <string>
#include <string_view>

namespace norvane {

enum class StartDecision { kRemove, kInstall, kInterfaceMode, kServiceMode, kNothing };

// The command line the grammar scans: the arguments after the program path, joined by
// single spaces. (The program path itself always holds '/', which the grammar would take
// for a switch character.)
std::string JoinArguments(int argc, const char* const* argv);

// Applies the start-up grammar to `command_line`:
//  - every '-' or '/' starts a candidate; the whole remainder after it is compared,
//    ignoring case, with "uninstall"/"UnRegserver" (remove), "install"/"regserver"
//    (install) and "Testing" (interface mode); so a keyword counts only when it ends the line;
//  - only a line with no '-' and no '/' at all consults `read_start_type` (1 service,
//    0 interface, anything else leaves the default, service);
//  - service mode needs the service to be installed (`is_service_installed`), else nothing.
StartDecision ChooseStart(std::string_view command_line,
                          const std::function<int()>& read_start_type,
                          const std::function<bool()>& is_service_installed);

}  // namespace norvane

#endif  // NORVANE_APP_STARTUP_H_
