// norvanectl's reporting commands:
//   sync --dry-run / update --dry-run [--json]   the change plan of a full import or an
//       update: what the run would add, rename, move and remove, and whether the deletion
//       guard would stop it; nothing is written. Exit 0: nothing to change, 2: changes
//       pending, 1: the plan could not be made.
//   runs [--last N] [--json]   the last run reports (logs/runs.jsonl), newest last
//   status [--json]            the program, login answering, logins, last runs, the next
//       automatic update, the stored sequence numbers; works with the program stopped
#ifndef NORVANE_APP_CTL_REPORT_H_
#define NORVANE_APP_CTL_REPORT_H_

namespace norvane {

class ChangeSet;

// mode 0: the full import's plan; 1: the update's.
int CtlPlan(int mode, bool json);
int CtlRuns(long last, bool json);
int CtlStatus(bool json);

}  // namespace norvane

#endif  // NORVANE_APP_CTL_REPORT_H_
