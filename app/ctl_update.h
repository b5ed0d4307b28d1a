// norvanectl update: the incremental update (a full import where the directory or the
// stored sequence number calls for one). Activity-log lines are echoed to standard error
// as they are written. Returns the exit status: 0 on success, 1 on failure.
#ifndef NORVANE_APP_CTL_UPDATE_H_
#define NORVANE_APP_CTL_UPDATE_H_

#include "app/ctl_sync.h"

namespace norvane {

int CtlUpdate(const SyncCommandOptions& options);

}  // namespace norvane

#endif  // NORVANE_APP_CTL_UPDATE_H_
