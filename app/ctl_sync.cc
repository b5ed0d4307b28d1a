#include "app/ctl_sync.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "app/ctl_report.h"
#include "platform/activity_log.h"
#include "platform/text.h"
#include "server/auth_switch.h"
#include "sync/sync_engine.h"

namespace norvane {
namespace {

// Standard error shared by the echoed log lines, the prompts and the progress line.
class Console {
 public:
  Console() : terminal_(isatty(STDERR_FILENO) == 1) {}

  void Line(const std::string& text) {
    std::lock_guard<std::mutex> guard(mu_);
    ClearProgress();
    std::fputs(text.c_str(), stderr);
    if (text.empty() || text.back() != '\n') std::fputc('\n', stderr);
    std::fflush(stderr);
  }

  void Progress(long departments, long users) {
    if (!terminal_) return;
    std::lock_guard<std::mutex> guard(mu_);
    std::fprintf(stderr, "\r\033[K部门 %ld  用户 %ld", departments, users);
    std::fflush(stderr);
    showing_ = true;
  }

  void EndProgress() {
    std::lock_guard<std::mutex> guard(mu_);
    ClearProgress();
  }

  bool terminal() const { return terminal_; }

 private:
  void ClearProgress() {
    if (!showing_) return;
    std::fputs("\r\033[K", stderr);
    showing_ = false;
  }

  std::mutex mu_;
  bool terminal_;
  bool showing_ = false;
};

class ConsolePrompt : public Prompt {
 public:
  explicit ConsolePrompt(Console* console) : console_(console) {}
  void Show(const std::string& text) override { console_->Line(text); }

 private:
  Console* console_;
};

// Echoes the activity log while it lives.
class LogEcho {
 public:
  explicit LogEcho(Console* console) {
    SetLogListener([console](const std::string& line) { console->Line(line); });
  }
  ~LogEcho() { SetLogListener(nullptr); }
};

// Redraws the progress line a few times a second while it lives (terminal only).
class ProgressLine {
 public:
  ProgressLine(Console* console, const SyncEngine* engine) {
    if (!console->terminal()) return;
    thread_ = std::thread([this, console, engine] {
      std::unique_lock<std::mutex> lock(mu_);
      while (!stop_) {
        console->Progress(engine->DepartmentsDone(), engine->UsersDone());
        cv_.wait_for(lock, std::chrono::milliseconds(250));
      }
      console->EndProgress();
    });
  }
  ~ProgressLine() {
    if (!thread_.joinable()) return;
    {
      std::lock_guard<std::mutex> guard(mu_);
      stop_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool stop_ = false;
  std::thread thread_;
};

void PrintTree(XmlElement element, int depth) {
  std::printf("%*s%s\n", depth * 2, "", element.Attribute("name").c_str());
  for (XmlElement child : element.Children()) {
    if (EqualsNoCase(child.Name(), "department")) PrintTree(child, depth + 1);
  }
}

// A full import with the progress line on a terminal; the engine stays with the caller.
int FullImport(Console& console, SyncEngine& engine) {
  engine.EngineInit();
  ProgressLine progress(&console, &engine);
  return engine.SyncOneDC(0);
}

}  // namespace

int CtlSync(const SyncCommandOptions& options) {
  if (options.dry_run) return CtlPlan(0, options.json);
  Console console;
  ConsolePrompt prompt(&console);
  LogEcho echo(&console);
  SyncEngine engine(&prompt);
  engine.AllowRemovals(options.allow_removals);
  const int result = FullImport(console, engine);
  console.Line(result ? "LDAP数据已成功导入Zelto服务器，请打开Zelto管理器查看!"
                      : "LDAP数据导入失败，详情请见系统日志.");
  std::fprintf(stderr, "部门 %ld  用户 %ld\n", engine.DepartmentsDone(), engine.UsersDone());
  return result ? 0 : 1;
}

int CtlPreview() {
  Console console;
  ConsolePrompt prompt(&console);
  LogEcho echo(&console);
  SyncEngine engine(&prompt);
  if (!engine.EngineInit()) {
    console.Line("预览失败: 无法读取配置或连接目录服务器, 详情请见系统日志.");
    return 1;
  }
  const SysConfigInfo& sys = engine.SysConfig();
  const std::vector<std::string> bases = SplitList(sys.domain);
  if (bases.empty()) {
    console.Line("预览失败: 配置中没有搜索基准 (SysConfig 的 DC).");
    return 1;
  }
  int failed = 0;
  for (const std::string& base : bases) {
    LdapServerParams record;
    record.server_ip = sys.ldap_server_ip;
    record.server_port = sys.ldap_server_port;
    record.dept_mode = sys.dept_mode;
    record.directory_type = sys.directory_type;
    record.domain_name = base;
    record.admin_account = sys.admin_account;
    record.admin_password = sys.admin_password;
    XmlElement element;
    if (engine.PreviewData(record)) {
      element = engine.Document().FindDeptElement(engine.Document().document().Root(), base);
    }
    if (!element) {
      console.Line("预览失败: 无法连接目录服务器 " + sys.ldap_server_ip + ":" +
                   std::to_string(sys.ldap_server_port) + " 或读不到 " + base +
                   " 下的部门 (请检查 LDAPSVRIP、LDAPSVRPort、ADMIN、SN、DC 和目录的 TLS 设置)");
      ++failed;
      continue;
    }
    PrintTree(element, 0);
  }
  return failed == 0 ? 0 : 1;
}

int CtlImportUsers(const std::string& accounts) {
  Console console;
  ConsolePrompt prompt(&console);
  LogEcho echo(&console);
  SyncEngine engine(&prompt);
  engine.EngineInit();
  const std::vector<std::string> names = SplitList(accounts);
  if (names.empty()) {
    console.Line("没有要导入的帐号.");
    return 1;
  }
  std::vector<std::string> failed;
  int result = engine.ImportNamedUsers(names, failed);
  for (const std::string& account : failed) {
    std::printf("未导入: %s (不在已配置的域控制器下)\n", account.c_str());
  }
  if (!result && !engine.UnknownAccount().empty()) {
    std::printf("未导入: %s (目录中没有此帐号), 其后的帐号未处理\n",
                engine.UnknownAccount().c_str());
  } else if (!result) {
    std::printf("导入指定用户失败, 详情请见系统日志.\n");
  } else if (failed.empty()) {
    std::printf("已导入 %zu 个帐号.\n", names.size());
  }
  return result && failed.empty() ? 0 : 1;
}

// The current domain's accounts are the ones its import places, and a new process has
// placed none: the import runs first, so that the switch reaches the accounts the
// administrator means instead of reporting success for nobody.
int CtlAuthCurrentDomain(int type) {
  Console console;
  ConsolePrompt prompt(&console);
  LogEcho echo(&console);
  SyncEngine engine(&prompt);
  const int imported = FullImport(console, engine);
  const bool ldap = type == kThirdPartyAuthType;
  int result = 0;
  if (imported) {
    result = engine.SetAuthType(kAuthScopeSpecified, type);
  } else {
    console.Line("LDAP数据导入失败，详情请见系统日志.");
  }
  if (ldap) {
    std::printf("%s\n", result ? "设置当前配置域同步用户第三方认证成功!"
                               : "设置当前配置域同步用户第三方认证失败!");
  } else {
    std::printf("%s\n", result ? "取消当前配置域同步用户第三方认证成功!"
                               : "取消当前配置域同步域用户第三方认证失败!");
  }
  if (result) {
    std::fprintf(stderr, "已切换 %zu 个帐号\n", engine.SpecifiedAccounts().size());
  }
  return result ? 0 : 1;
}

}  // namespace norvane
