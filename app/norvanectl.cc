// norvanectl: the command-line companion for administrators and scripts.
//   norvanectl [--base DIR] COMMAND [ARGS...]
// --base makes DIR the base folder (LdapConfig.xml, logs/) instead of the one derived from
// the executable's location.
//
// Each command is a CLI11 subcommand with an action. The whole command line is checked
// before any action runs: an argument or option a command does not know (a later version's,
// say) must not run it with a meaning the administrator did not ask for. Such a line gets a
// one-line reason and the command's usage on standard error and status 2; --help prints the
// usage on standard output with status 0. Help and reasons are our own texts, in Chinese.
#include <algorithm>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "app/ctl_auth.h"
#include "app/ctl_config.h"
#include "app/ctl_report.h"
#include "app/ctl_sync.h"
#include "app/ctl_tools.h"
#include "app/ctl_update.h"
#include "platform/paths.h"

namespace norvane {
namespace {

// Option groups are unnamed apps inside a command; they are no command of their own.
bool IsCommand(const CLI::App* app) { return !app->get_name().empty(); }

std::vector<const CLI::App*> Commands(const CLI::App* parent) {
  std::vector<const CLI::App*> out;
  for (const CLI::App* sub :
       parent->get_subcommands([](const CLI::App* a) { return IsCommand(a); }))
    out.push_back(sub);
  return out;
}

std::vector<const CLI::App*> Groups(const CLI::App* cmd) {
  std::vector<const CLI::App*> out;
  for (const CLI::App* sub : cmd->get_subcommands([](const CLI::App* a) { return !IsCommand(a); }))
    out.push_back(sub);
  return out;
}

// The command's words from the top, "config set"; empty for norvanectl itself.
std::string CommandPath(const CLI::App* cmd) {
  std::string path;
  for (const CLI::App* c = cmd; c->get_parent() != nullptr; c = c->get_parent()) {
    if (IsCommand(c)) path = path.empty() ? c->get_name() : c->get_name() + " " + path;
  }
  return path;
}

// The options a user writes, help left out.
std::vector<const CLI::Option*> OwnOptions(const CLI::App* app) {
  std::vector<const CLI::Option*> out;
  for (const CLI::Option* opt : app->get_options()) {
    if (opt != app->get_help_ptr()) out.push_back(opt);
  }
  return out;
}

// "--type ldap|local", "--json", "ACCOUNT".
std::string OptionText(const CLI::Option* opt) {
  if (!opt->get_option_text().empty()) return opt->get_option_text();
  if (opt->get_positional()) return opt->get_name(true);
  std::string text = opt->get_name();
  if (!opt->get_type_name().empty()) text += " " + opt->get_type_name();
  return text;
}

// The words after a command's name: its option groups ("--all|--users ...|--domain"), its
// options ("[--json]"), its positionals ("NAME VALUE"), or "COMMAND [ARGS...]" for a
// command of commands.
std::string Synopsis(const CLI::App* cmd) {
  if (!Commands(cmd).empty()) return "COMMAND [ARGS...]";
  std::string out;
  auto add = [&out](const std::string& part) { out += (out.empty() ? "" : " ") + part; };
  for (const CLI::App* group : Groups(cmd)) {
    std::string choice;
    for (const CLI::Option* opt : OwnOptions(group))
      choice += (choice.empty() ? "" : "|") + OptionText(opt);
    add(group->get_require_option_min() > 0 ? choice : "[" + choice + "]");
  }
  for (const CLI::Option* opt : OwnOptions(cmd)) {
    if (!opt->get_positional())
      add(opt->get_required() ? OptionText(opt) : "[" + OptionText(opt) + "]");
  }
  for (const CLI::Option* opt : OwnOptions(cmd)) {
    if (opt->get_positional()) add(OptionText(opt));
  }
  if (!cmd->get_footer().empty()) add(cmd->get_footer());
  return out;
}

// Two columns; a left column too wide for the first puts the right one on the next line.
void Row(std::string& out, const std::string& left, const std::string& right) {
  constexpr std::size_t kWidth = 34;
  out += "  " + left;
  if (right.empty()) {
    out += "\n";
  } else if (left.size() < kWidth) {
    out += std::string(kWidth - left.size(), ' ') + right + "\n";
  } else {
    out += "\n  " + std::string(kWidth, ' ') + right + "\n";
  }
}

// Every command below `cmd` that does something, with its words, synopsis and description.
void ListCommands(std::string& out, const CLI::App* cmd) {
  for (const CLI::App* sub : Commands(cmd)) {
    if (Commands(sub).empty()) {
      const std::string synopsis = Synopsis(sub);
      Row(out, CommandPath(sub) + (synopsis.empty() ? "" : " " + synopsis), sub->get_description());
    } else {
      ListCommands(out, sub);
    }
  }
}

// The help of norvanectl or of one of its commands: usage line, description, options (with
// those of the command's option groups) and the commands below it.
class HelpFormatter : public CLI::Formatter {
 public:
  std::string make_help(const CLI::App* app, std::string, CLI::AppFormatMode) const override {
    const std::string path = CommandPath(app);
    std::string out =
        "用法: norvanectl [--base DIR] " + path + (path.empty() ? "" : " ") + Synopsis(app);
    while (!out.empty() && out.back() == ' ') out.pop_back();
    out += "\n";
    if (!path.empty() && !app->get_description().empty()) out += app->get_description() + "\n";
    std::vector<const CLI::Option*> options;
    for (const CLI::App* group : Groups(app)) {
      for (const CLI::Option* opt : OwnOptions(group)) options.push_back(opt);
    }
    for (const CLI::Option* opt : app->get_options()) options.push_back(opt);
    out += "选项:\n";
    for (const CLI::Option* opt : options) {
      Row(out, opt == app->get_help_ptr() ? "-h, --help" : OptionText(opt), opt->get_description());
    }
    if (!Commands(app).empty()) {
      out += "命令:\n";
      ListCommands(out, app);
    }
    return out;
  }
};

// A CLI11 check that the text is a whole number of at least `min`.
CLI::Validator WholeNumberFrom(long min) {
  return CLI::Validator(
      [min](std::string& text) -> std::string {
        long value = 0;
        const char* end = text.data() + text.size();
        const auto [ptr, ec] = std::from_chars(text.data(), end, value);
        if (ec != std::errc() || ptr != end || value < min)
          return "应为不小于 " + std::to_string(min) + " 的整数，而不是 \"" + text + "\"";
        return "";
      },
      "");
}

CLI::Validator OneOf(std::vector<std::string> allowed) {
  return CLI::Validator(
      [allowed](std::string& text) -> std::string {
        std::string list;
        for (const std::string& a : allowed) {
          if (a == text) return "";
          list += (list.empty() ? "" : "、") + a;
        }
        return "只能是 " + list + "，而不是 \"" + text + "\"";
      },
      "");
}

// The parser and the actions of every command. Adding a command: one Command() call in
// Define() with its options and an action; the help and the refusals follow from it.
class CommandLine {
 public:
  CommandLine() { Define(); }

  int Run(int argc, char** argv) {
    try {
      app_.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
      std::fputs(Help(Chosen()).c_str(), stdout);
      return 0;
    } catch (const CLI::ParseError& e) {
      return Refuse(Reason(e));
    }
    if (!base_.empty()) SetBaseFolder(base_);
    const auto action = actions_.find(Chosen());
    if (action == actions_.end()) return Refuse("");
    return action->second();
  }

 private:
  CLI::App* Command(CLI::App* parent, const std::string& name, const std::string& description,
                    std::function<int()> action = nullptr) {
    CLI::App* cmd = parent->add_subcommand(name, description);
    if (action) actions_[cmd] = std::move(action);
    return cmd;
  }

  void Define() {
    app_.formatter(std::make_shared<HelpFormatter>());
    app_.set_help_flag("-h,--help", "显示本帮助");
    // A repeated option counts once, its last value winning, as before.
    app_.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app_.require_subcommand(1);
    app_.add_option("--base", base_, "基础目录(LdapConfig.xml 和 logs/ 所在的目录)")
        ->type_name("DIR")
        ->check(CLI::Validator(
            [](std::string& dir) -> std::string { return dir.empty() ? "不能为空" : ""; }, ""));

    CLI::App* config = Command(&app_, "config", "配置");
    config->require_subcommand(1);
    Command(config, "show", "以一个 JSON 对象显示配置(密码显示为 ***)",
            [] { return CtlConfigShow(); });
    CLI::App* set = Command(
        config, "set", "设置一项(NAME: LdapConfig.xml 的属性名; SN - 从标准输入读密码)", [this] {
          return CtlConfigSet({config_name_, config_value_});
        });
    set->add_option("NAME", config_name_, "属性名")->required();
    set->add_option("VALUE", config_value_, "值")->required();
    CLI::App* protect =
        Command(config, "protect-password", "从标准输入读一行密码，输出 SN 属性保存的加密形式",
                [] { return CtlProtectPassword(); });
    protect->footer("< PASSWORD");

    CLI::App* sync = Command(&app_, "sync", "完全导入",
                             [this] { return JsonWithoutDryRun(sync_) ? 2 : CtlSync(sync_); });
    AddSyncOptions(sync, sync_);
    CLI::App* update = Command(&app_, "update", "增量更新(目录或序列号需要时完全导入)", [this] {
      return JsonWithoutDryRun(update_) ? 2 : CtlUpdate(update_);
    });
    AddSyncOptions(update, update_);
    Command(&app_, "preview", "按缩进显示每个同步范围的部门树", [] { return CtlPreview(); });

    CLI::App* import = Command(&app_, "import-users", "导入指定的 Active Directory 账户",
                               [this] { return CtlImportUsers(accounts_); });
    import->add_option("ACCOUNTS", accounts_, "账户，以 ; 分隔")
        ->required()
        ->option_text("\"ACCOUNT;ACCOUNT...\"");

    CLI::App* verify = Command(&app_, "verify", "用标准输入的密码按登录的方式验证账户",
                               [this] { return CtlVerify(account_); });
    verify->add_option("ACCOUNT", account_, "账户")->required();

    CLI::App* auth = Command(&app_, "auth", "切换账户的认证类型(ldap: 目录认证; local: 本地密码)",
                             [this] { return Auth(); });
    CLI::Option_group* scope = auth->add_option_group("范围");
    scope->add_flag("--all", auth_all_, "所有账户");
    scope->add_option("--users", auth_users_, "指定的账户，以 ; 分隔")
        ->type_name("\"ACCOUNT;ACCOUNT...\"");
    scope->add_flag("--domain", auth_domain_, "先完全导入当前配置域，再切换它导入的账户");
    scope->require_option(1);
    auth->add_option("--type", auth_type_, "认证类型")
        ->required()
        ->type_name("ldap|local")
        ->check(OneOf({"ldap", "local"}));

    CLI::App* runs = Command(&app_, "runs", "显示同步运行记录(最近 20 次, 最新的在最后)", [this] {
      return CtlRuns(runs_last_ > 0 ? runs_last_ : 20, runs_json_);
    });
    runs->add_option("--last", runs_last_, "只显示最近的 N 次")
        ->type_name("N")
        ->check(WholeNumberFrom(1));
    runs->add_flag("--json", runs_json_, "每次运行输出一个 JSON 对象");
    CLI::App* status = Command(&app_, "status", "显示程序、登录认证和最近同步的状态",
                               [this] { return CtlStatus(status_json_); });
    status->add_flag("--json", status_json_, "输出一个 JSON 对象");
  }

  static void AddSyncOptions(CLI::App* cmd, SyncCommandOptions& options) {
    cmd->add_flag("--dry-run", options.dry_run, "只列出将做的变更，不写任何东西");
    cmd->add_flag("--json", options.json, "变更以一个 JSON 对象输出(与 --dry-run 一起)");
    cmd->add_option("--allow-removals", options.allow_removals, "本次运行最多允许删除 N 项")
        ->type_name("N")
        ->check(WholeNumberFrom(0));
  }

  // --json describes a plan; on its own it would run the sync the script meant to look at.
  static bool JsonWithoutDryRun(const SyncCommandOptions& options) {
    if (!options.json || options.dry_run) return false;
    std::fprintf(stderr, "norvanectl: --json 只能与 --dry-run 一起使用, 未执行任何操作\n");
    return true;
  }

  int Auth() {
    const AuthScope scope = auth_all_      ? AuthScope::kAll
                            : auth_domain_ ? AuthScope::kDomain
                                           : AuthScope::kUsers;
    return CtlAuth(scope, auth_users_, auth_type_ == "ldap");
  }

  // The command the line chose, the deepest one parsed; norvanectl itself without one.
  const CLI::App* Chosen() const {
    const CLI::App* cmd = &app_;
    for (;;) {
      const CLI::App* next = nullptr;
      for (const CLI::App* sub : cmd->get_subcommands()) {
        if (IsCommand(sub)) next = sub;
      }
      if (!next) return cmd;
      cmd = next;
    }
  }

  // CLI11's help() would show the chosen subcommand's instead of `cmd`'s.
  static std::string Help(const CLI::App* cmd) {
    return cmd->get_formatter()->make_help(cmd, "", CLI::AppFormatMode::Normal);
  }

  // The first command, from the top, that was given an argument it does not take.
  const CLI::App* WithExtras() const {
    std::vector<const CLI::App*> chain;
    for (const CLI::App* c = Chosen(); c != nullptr; c = c->get_parent()) {
      chain.insert(chain.begin(), c);
    }
    for (const CLI::App* c : chain) {
      if (!c->remaining().empty()) return c;
    }
    return nullptr;
  }

  // A line that cannot run: the reason and the usage of the command at fault, status 2.
  int Refuse(const std::string& reason) const {
    if (!reason.empty()) std::fprintf(stderr, "norvanectl: %s\n", reason.c_str());
    const CLI::App* at_fault = WithExtras();
    std::fputs(Help(at_fault ? at_fault : Chosen()).c_str(), stderr);
    return 2;
  }

  std::string Reason(const CLI::ParseError& e) const {
    // An argument nobody took says the most, whatever else went wrong after it.
    if (const CLI::App* c = WithExtras()) {
      const std::string extra = c->remaining().front();
      const bool option = extra.size() > 1 && extra[0] == '-';
      if (c == &app_) return (option ? "未知选项 " : "未知命令 ") + extra;
      return CommandPath(c) + (option ? " 不认识选项 " : " 不接受参数 ") + extra;
    }
    const CLI::App* cmd = Chosen();
    const std::string who = cmd == &app_ ? std::string() : CommandPath(cmd) + " ";
    if (dynamic_cast<const CLI::RequiredError*>(&e)) {
      if (!Commands(cmd).empty()) return cmd == &app_ ? "" : who + "缺少命令";
      for (const CLI::App* group : Groups(cmd)) {
        std::size_t given = 0;
        std::string choice;
        for (const CLI::Option* opt : OwnOptions(group)) {
          if (opt->count() > 0) ++given;
          choice += (choice.empty() ? "" : "|") + opt->get_name();
        }
        if (given != 1) return who + (given ? "只能用 " : "缺少 ") + choice + " 之一";
      }
      for (const CLI::Option* opt : OwnOptions(cmd)) {
        if (opt->get_required() && opt->count() == 0)
          return who + (opt->get_positional() ? "缺少参数 " : "缺少选项 ") + OptionText(opt);
      }
      return who + "缺少参数";
    }
    // CLI11 names the option first: "--type: <the check's reason>", "--base: 1 required ...".
    const std::string what = e.what();
    const std::size_t colon = std::min(what.find(':'), what.size());
    const std::string option = what.substr(0, colon);
    if (dynamic_cast<const CLI::ValidationError*>(&e)) {
      const std::size_t text = what.find_first_not_of(' ', colon + 1);
      return who + option + " 的值" + (text == std::string::npos ? "" : what.substr(text));
    }
    if (dynamic_cast<const CLI::ArgumentMismatch*>(&e) && option.rfind("-", 0) == 0)
      return who + "选项 " + option + " 缺少值";
    return who + "参数有误";
  }

  CLI::App app_{"", "norvanectl"};
  std::map<const CLI::App*, std::function<int()>> actions_;

  // What the options and arguments hold once parsed.
  std::string base_;
  std::string config_name_, config_value_;
  SyncCommandOptions sync_, update_;
  std::string accounts_, account_;
  bool auth_all_ = false, auth_domain_ = false;
  std::string auth_users_, auth_type_;
  long runs_last_ = -1;
  bool runs_json_ = false, status_json_ = false;
};

}  // namespace
}  // namespace norvane

int main(int argc, char** argv) {
  // A closed directory connection or output pipe is an error to report, never a silent death.
  std::signal(SIGPIPE, SIG_IGN);
  return norvane::CommandLine().Run(argc, argv);
}
