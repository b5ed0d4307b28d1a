// norvanectl: the command-line companion for administrators and scripts.
//   norvanectl [--base DIR] COMMAND [ARGS...]
// --base makes DIR the base folder (LdapConfig.xml, logs/) instead of the one derived from
// the executable's location.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/ctl_auth.h"
#include "app/ctl_config.h"
#include "app/ctl_sync.h"
#include "app/ctl_tools.h"
#include "app/ctl_update.h"
#include "platform/paths.h"

namespace norvane {
namespace {

struct Command {
  const char* words;  // the command's words, space separated
  const char* usage;
  int (*run)(const std::vector<std::string>& args);  // args after the command's words
};

const Command kCommands[] = {
    {"", "", nullptr},  // placeholder so the table is never empty
    {"config show", "",
     [](const std::vector<std::string>& a) { return a.empty() ? CtlConfigShow() : 2; }},
    {"config set", "SDKCredentialFile|SDKCAFile|RequireTLS VALUE", CtlConfigSet},
    {"config protect-password", "< PASSWORD",
     [](const std::vector<std::string>& a) { return a.empty() ? CtlProtectPassword() : 2; }},
    {"sync", "", [](const std::vector<std::string>&) { return CtlSync(); }},
    {"update", "", [](const std::vector<std::string>&) { return CtlUpdate(); }},
    {"preview", "", [](const std::vector<std::string>&) { return CtlPreview(); }},
    {"import-users", "\"ACCOUNT;ACCOUNT...\"",
     [](const std::vector<std::string>& a) { return a.size() == 1 ? CtlImportUsers(a[0]) : 2; }},
    {"verify", "ACCOUNT   (password on standard input)", CtlVerify},
    {"auth", "--all|--users \"ACCOUNT;ACCOUNT...\"|--domain --type ldap|local", CtlAuth},
};

int Usage() {
  std::fprintf(stderr, "usage: norvanectl [--base DIR] COMMAND [ARGS...]\ncommands:\n");
  for (const Command& c : kCommands) {
    if (c.run) std::fprintf(stderr, "  %s %s\n", c.words, c.usage);
  }
  return 2;
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
  while (i < args.size() && args[i].rfind("--", 0) == 0) {
    if (args[i] == "--base" && i + 1 < args.size()) {
      SetBaseFolder(args[i + 1]);
      i += 2;
    } else if (args[i] == "--help") {
      return Usage();
    } else {
      std::fprintf(stderr, "norvanectl: unknown option %s\n", args[i].c_str());
      return Usage();
    }
  }
  args.erase(args.begin(), args.begin() + static_cast<std::ptrdiff_t>(i));

  // The longest command whose words begin the argument list wins.
  const Command* best = nullptr;
  std::size_t best_len = 0;
  for (const Command& c : kCommands) {
    if (!c.run) continue;
    std::vector<std::string> words = SplitWords(c.words);
    if (words.size() > args.size() || words.size() <= best_len) continue;
    bool match = true;
    for (std::size_t w = 0; w < words.size(); ++w) match = match && words[w] == args[w];
    if (match) {
      best = &c;
      best_len = words.size();
    }
  }
  if (!best) return Usage();
  std::vector<std::string> rest(args.begin() + static_cast<std::ptrdiff_t>(best_len), args.end());
  return best->run(rest);
}

}  // namespace
}  // namespace norvane

int main(int argc, char** argv) { return norvane::Main(argc, argv); }
