#include "app/ctl_update.h"

#include <cstdio>
#include <mutex>
#include <string>

#include "app/ctl_report.h"
#include "app/ctl_sync.h"
#include "app/ctl_tools.h"
#include "platform/activity_log.h"
#include "sync/sync_engine.h"

namespace norvane {

int CtlUpdate(const SyncCommandOptions& options) {
  if (options.dry_run) return CtlPlan(1, options.json);
  ErrPrompt prompt;
  SetLogListener([](const std::string& line) { ErrLine(line); });
  int result = 0;
  {
    SyncEngine engine(&prompt);
    engine.AllowRemovals(options.allow_removals);
    engine.EngineInit();
    result = engine.SyncOneDC(1);
    ErrLine(result ? "LDAP数据已成功更新到Zelto服务器，请打开Zelto管理器查看!"
                   : "LDAP数据更新失败.");
    std::fprintf(stderr, "部门 %ld  用户 %ld\n", engine.DepartmentsDone(), engine.UsersDone());
  }
  SetLogListener(nullptr);
  return result ? 0 : 1;
}

}  // namespace norvane
