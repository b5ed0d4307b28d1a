// norvanectl's sync commands:
//   sync                 a full import; the activity-log lines are echoed to standard error
//                        as they are written, with a progress line on a terminal
//   preview              the department tree of each configured base, indented
//   import-users "a;b"   places the named Active Directory accounts
// Each returns the process exit status: 0 on success, 1 on failure.
#ifndef NORVANE_APP_CTL_SYNC_H_
#define NORVANE_APP_CTL_SYNC_H_

#include <string>

namespace norvane {

int CtlSync();
int CtlPreview();
int CtlImportUsers(const std::string& accounts);

}  // namespace norvane

#endif  // NORVANE_APP_CTL_SYNC_H_
