#include "app/ctl_update.h"

#include <cstdio>
#include <mutex>
#include <string>

#include "platform/activity_log.h"
#include "sync/sync_engine.h"

namespace norvane {
namespace {

std::mutex g_stderr_mu;

void ErrLine(const std::string& text) {
  std::lock_guard<std::mutex> guard(g_stderr_mu);
  std::fputs(text.c_str(), stderr);
  if (text.empty() || text.back() != '\n') std::fputc('\n', stderr);
  std::fflush(stderr);
}

class ErrPrompt : public Prompt {
 public:
  void Show(const std::string& text) override { ErrLine(text); }
};

}  // namespace

int CtlUpdate(const SyncCommandOptions& /*options*/) {
  ErrPrompt prompt;
  SetLogListener([](const std::string& line) { ErrLine(line); });
  int result = 0;
  {
    SyncEngine engine(&prompt);
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
