// norvanectl's sync commands:
//   sync                 a full import; the activity-log lines are echoed to standard error
//                        as they are written, with a progress line on a terminal
//   preview              the department tree of each configured base, indented
//   import-users "a;b"   places the named Active Directory accounts
//   auth --domain        (CtlAuthCurrentDomain) a full import, then the accounts it placed
//                        switched to `type`; nothing is switched when the import fails
// Each returns the process exit status: 0 on success, 1 on failure.
#ifndef NORVANE_APP_CTL_SYNC_H_
#define NORVANE_APP_CTL_SYNC_H_

#include <string>

namespace norvane {

// Options of sync and update: --dry-run prints the change plan instead of running
// (app/ctl_report.h), --json prints it as JSON, --allow-removals N lets this run remove up to
// N departments and accounts past the deletion guard (-1: not given).
struct SyncCommandOptions {
  bool dry_run = false;
  bool json = false;
  long allow_removals = -1;
};

int CtlSync(const SyncCommandOptions& options);
int CtlPreview();
int CtlImportUsers(const std::string& accounts);
int CtlAuthCurrentDomain(int type);

}  // namespace norvane

#endif  // NORVANE_APP_CTL_SYNC_H_
