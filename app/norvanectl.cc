// norvanectl: the command-line companion for administrators and scripts.
//   norvanectl [--base DIR] COMMAND [ARGS...]
// --base makes DIR the base folder (LdapConfig.xml, logs/) instead of the one derived from
// the executable's location.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/ctl_auth.h"
#include "app/ctl_config.h"
#include "app/ctl_report.h"
#include "app/ctl_sync.h"
#include "app/ctl_tools.h"
#include "app/ctl_update.h"
#include "platform/paths.h"

namespace norvane {
namespace {

struct Command {
  const char* words;  // the command's words, space separated
  const char* usage;
  // How many arguments may follow the words; the command itself checks their meaning.
  std::size_t min_args, max_args;
  int (*run)(const std::vector<std::string>& args);  // args after the command's words
};

constexpr std::size_t kAny = static_cast<std::size_t>(-1);

int SyncLike(const std::vector<std::string>& a, int (*run)(const SyncCommandOptions&)) {
  SyncCommandOptions o;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i] == "--dry-run") {
      o.dry_run = true;
    } else if (a[i] == "--json") {
      o.json = true;
    } else if (a[i] == "--allow-removals" && i + 1 < a.size()) {
      o.allow_removals = std::strtol(a[++i].c_str(), nullptr, 10);
    } else {
      std::fprintf(stderr, "norvanectl: 不认识选项 %s\n", a[i].c_str());
      return 2;
    }
  }
  return run(o);
}

const Command kCommands[] = {
    {"config show", "", 0, 0, [](const std::vector<std::string>&) { return CtlConfigShow(); }},
    {"config set", "NAME VALUE   (NAME: LdapConfig.xml 的属性名; SN - 从标准输入读密码)", 2, 2,
     [](const std::vector<std::string>& a) { return CtlConfigSet(a); }},
    {"config protect-password", "< PASSWORD", 0, 0,
     [](const std::vector<std::string>&) { return CtlProtectPassword(); }},
    {"sync", "[--dry-run [--json]] [--allow-removals N]", 0, 3,
     [](const std::vector<std::string>& a) { return SyncLike(a, CtlSync); }},
    {"update", "[--dry-run [--json]] [--allow-removals N]", 0, 3,
     [](const std::vector<std::string>& a) { return SyncLike(a, CtlUpdate); }},
    {"runs", "[--last N] [--json]", 0, 3,
     [](const std::vector<std::string>& a) {
       long last = 20;
       bool json = false;
       for (std::size_t i = 0; i < a.size(); ++i) {
         if (a[i] == "--json") {
           json = true;
         } else if (a[i] == "--last" && i + 1 < a.size()) {
           last = std::strtol(a[++i].c_str(), nullptr, 10);
         } else {
           std::fprintf(stderr, "norvanectl: runs 不认识选项 %s\n", a[i].c_str());
           return 2;
         }
       }
       return CtlRuns(last, json);
     }},
    {"status", "[--json]", 0, 2,
     [](const std::vector<std::string>& a) {
       if (a.size() > 1 || (a.size() == 1 && a[0] != "--json")) {
         std::fprintf(stderr, "norvanectl: status 不认识选项 %s\n", a.back().c_str());
         return 2;
       }
       return CtlStatus(a.size() == 1);
     }},
    {"preview", "", 0, 0, [](const std::vector<std::string>&) { return CtlPreview(); }},
    {"import-users", "\"ACCOUNT;ACCOUNT...\"", 1, 1,
     [](const std::vector<std::string>& a) { return CtlImportUsers(a[0]); }},
    {"verify", "ACCOUNT   (password on standard input)", 1, 1, CtlVerify},
    {"auth", "--all|--users \"ACCOUNT;ACCOUNT...\"|--domain --type ldap|local", 2, kAny, CtlAuth},
};

// The usage text: asked for (--help) on standard output with status 0, otherwise on
// standard error with status 2.
int Usage(bool asked = false) {
  FILE* out = asked ? stdout : stderr;
  std::fprintf(out, "用法: norvanectl [--base DIR] COMMAND [ARGS...]\n命令:\n");
  for (const Command& c : kCommands) std::fprintf(out, "  %s %s\n", c.words, c.usage);
  return asked ? 0 : 2;
}

std::vector<std::string> SplitWords(const char* words) {
  std::vector<std::string> out;
  std::string word;
  for (const char* p = words; *p; ++p) {
    if (*p == ' ') {
      if (!word.empty()) out.push_back(word);
      word.clear();
    } else {
      word += *p;
    }
  }
  if (!word.empty()) out.push_back(word);
  return out;
}

int Main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::size_t i = 0;
  while (i < args.size() && args[i].rfind("-", 0) == 0) {
    if (args[i] == "--base" && i + 1 < args.size() && !args[i + 1].empty()) {
      SetBaseFolder(args[i + 1]);
      i += 2;
    } else if (args[i] == "--help" || args[i] == "-h") {
      return Usage(true);
    } else {
      std::fprintf(stderr, "norvanectl: 未知选项 %s\n", args[i].c_str());
      return Usage();
    }
  }
  args.erase(args.begin(), args.begin() + static_cast<std::ptrdiff_t>(i));

  // The longest command whose words begin the argument list wins.
  const Command* best = nullptr;
  std::size_t best_len = 0;
  for (const Command& c : kCommands) {
    std::vector<std::string> words = SplitWords(c.words);
    if (words.size() > args.size() || words.size() <= best_len) continue;
    bool match = true;
    for (std::size_t w = 0; w < words.size(); ++w) match = match && words[w] == args[w];
    if (match) {
      best = &c;
      best_len = words.size();
    }
  }
  if (!best) {
    if (!args.empty()) std::fprintf(stderr, "norvanectl: 未知命令 %s\n", args[0].c_str());
    return Usage();
  }
  std::vector<std::string> rest(args.begin() + static_cast<std::ptrdiff_t>(best_len), args.end());
  // Refused before anything is read or written: an option this command does not know
  // (a later version's, say) must not run it with a meaning the administrator did not ask for.
  if (rest.size() > best->max_args) {
    std::fprintf(stderr, "norvanectl: %s 不接受参数 %s\n", best->words,
                 rest[best->max_args].c_str());
    return Usage();
  }
  if (rest.size() < best->min_args) {
    std::fprintf(stderr, "norvanectl: %s 缺少参数\n", best->words);
    return Usage();
  }
  if (best->max_args == 1 && !rest[0].empty() && rest[0][0] == '-') {
    std::fprintf(stderr, "norvanectl: %s 不认识选项 %s\n", best->words, rest[0].c_str());
    return Usage();
  }
  return best->run(rest);
}

}  // namespace
}  // namespace norvane

int main(int argc, char** argv) {
  // A closed directory connection or output pipe is an error to report, never a silent death.
  std::signal(SIGPIPE, SIG_IGN);
  return norvane::Main(argc, argv);
}
