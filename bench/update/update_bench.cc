// update_bench [USERS [CHANGES]] (default 5000 and 100)
//
// Loads USERS generated users (bench/gen_directory.py) below an OU of a fresh Samba domain,
// imports them into a fresh zeltod, makes CHANGES changes in the directory (attribute
// edits, moves between OUs, new, disabled and deleted users), then times an incremental
// update and a full import of the same, changed domain. Prints wall time and SDK calls of
// each run and the update's share of the full import. The figures describe this machine.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "server/sdk.h"
#include "sync/sync_engine.h"
#include "tests/fixtures/samba_fixture.h"
#include "tests/fixtures/script_runner.h"
#include "tests/fixtures/zeltod_fixture.h"
#include "tests/sync/sync_test_support.h"

namespace norvane::testing {
namespace {

std::string Base64Decode(const std::string& in) {
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  std::string out;
  unsigned bits = 0;
  int count = 0;
  for (char c : in) {
    int v = value(c);
    if (v < 0) continue;
    bits = (bits << 6) | static_cast<unsigned>(v);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>((bits >> count) & 0xff);
    }
  }
  return out;
}

struct Entry {
  std::string dn;
  std::string account;  // empty for an OU
};

// The dn and sAMAccountName of each record of an LDIF (no folded lines in the generator's).
std::vector<Entry> ParseLdif(const std::string& ldif) {
  std::vector<Entry> entries;
  Entry current;
  std::size_t pos = 0;
  while (pos <= ldif.size()) {
    std::size_t end = ldif.find('\n', pos);
    if (end == std::string::npos) end = ldif.size();
    const std::string line = ldif.substr(pos, end - pos);
    pos = end + 1;
    if (line.empty()) {
      if (!current.dn.empty()) entries.push_back(current);
      current = Entry{};
      if (end == ldif.size()) break;
      continue;
    }
    if (line.rfind("dn:: ", 0) == 0)
      current.dn = Base64Decode(line.substr(5));
    else if (line.rfind("dn: ", 0) == 0)
      current.dn = line.substr(4);
    else if (line.rfind("sAMAccountName: ", 0) == 0)
      current.account = line.substr(16);
  }
  if (!current.dn.empty()) entries.push_back(current);
  return entries;
}

std::string ParentOf(const std::string& dn) {
  // The generator escapes commas inside values with a backslash.
  for (std::size_t i = 0; i < dn.size(); ++i) {
    if (dn[i] == '\\') {
      ++i;
    } else if (dn[i] == ',') {
      return dn.substr(i + 1);
    }
  }
  return "";
}

std::string RdnOf(const std::string& dn) {
  const std::string parent = ParentOf(dn);
  return dn.substr(0, dn.size() - parent.size() - (parent.empty() ? 0 : 1));
}

struct Timed {
  int result = 0;
  double seconds = 0;
  std::uint64_t sdk_calls = 0;
};

Timed RunSync(int mode) {
  Timed t;
  const std::uint64_t calls = SdkCallCount();
  const auto start = std::chrono::steady_clock::now();
  {
    SyncEngine engine;
    engine.EngineInit();
    t.result = engine.SyncOneDC(mode);
  }
  t.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  t.sdk_calls = SdkCallCount() - calls;
  return t;
}

int Main(int users, int changes) {
  SambaDomain dc;
  if (!dc.Start()) return 2;
  setenv("LDAPTLS_CACERT", dc.ca_file().c_str(), 1);
  Zeltod zeltod;
  if (!zeltod.Start()) return 2;
  BaseFolderScope base;

  const std::string bench_dn = "OU=Bench," + dc.base_dn();
  if (!dc.Modify("dn: " + bench_dn + "\nchangetype: add\nobjectClass: organizationalUnit\n")) {
    return 2;
  }
  ScriptResult generated =
      RunScript({"python3", std::string(NORVANE_SOURCE_DIR) + "/bench/gen_directory.py", "samba",
                 "--users", std::to_string(users), "--base", bench_dn},
                "", std::chrono::seconds(120));
  if (generated.exit_code != 0) {
    std::fprintf(stderr, "gen_directory.py: %s\n", generated.errors.c_str());
    return 2;
  }
  const auto load_start = std::chrono::steady_clock::now();
  const std::string state = dc.run_dir().substr(0, dc.run_dir().rfind('/'));
  ScriptResult added =
      RunScript({"bash", std::string(NORVANE_FIXTURES_DIR) + "/samba.sh", "add", state},
                generated.output, std::chrono::seconds(3600));
  if (added.exit_code != 0) {
    std::fprintf(stderr, "samba.sh add: %s\n", added.errors.c_str());
    return 2;
  }
  std::fprintf(
      stderr, "loaded %d users in %.1f s\n", users,
      std::chrono::duration<double>(std::chrono::steady_clock::now() - load_start).count());

  ConfigSpec settings;
  settings.type = 0;
  settings.dc = bench_dn;
  settings.admin = dc.admin_account();
  settings.password = dc.admin_password();
  settings.ldap_port = dc.port();
  if (!base.WriteConfig(settings, zeltod)) return 2;

  const Timed first = RunSync(0);
  if (first.result != 1) {
    std::fprintf(stderr, "the first full import failed\n");
    return 1;
  }

  // The changes, in proportions of a working day: 40% edits, 20% moves, 20% new users,
  // 10% disabled, 10% deleted.
  std::vector<Entry> people, ous;
  for (const Entry& e : ParseLdif(generated.output))
    (e.account.empty() ? ous : people).push_back(e);
  std::vector<std::string> leaves;
  for (const Entry& p : people) {
    const std::string leaf = ParentOf(p.dn);
    if (leaves.empty() || leaves.back() != leaf) leaves.push_back(leaf);
  }
  const int edits = changes * 40 / 100, moves = changes * 20 / 100, created = changes * 20 / 100,
            disabled = changes * 10 / 100;
  const int deleted = changes - edits - moves - created - disabled;
  if (people.size() < static_cast<std::size_t>(changes) || leaves.size() < 2) return 2;
  std::string ldif;
  std::size_t next = 0;
  for (int i = 0; i < edits; ++i, ++next) {
    ldif += "dn: " + people[next * 37 % people.size()].dn +
            "\nchangetype: modify\nreplace: title\ntitle: 高级工程师\n\n";
  }
  for (int i = 0; i < moves; ++i, ++next) {
    const Entry& p = people[(next * 37 + 11) % people.size()];
    std::string target = leaves[(i + 1) % leaves.size()];
    if (target == ParentOf(p.dn)) target = leaves[(i + 2) % leaves.size()];
    ldif += "dn: " + p.dn + "\nchangetype: modrdn\nnewrdn: " + RdnOf(p.dn) +
            "\ndeleteoldrdn: 1\nnewsuperior: " + target + "\n\n";
  }
  for (int i = 0; i < created; ++i) {
    const std::string account = "new" + std::to_string(100000 + i);
    ldif += "dn: CN=" + account + "," + leaves[i % leaves.size()] +
            "\nchangetype: add\nobjectClass: user\nsAMAccountName: " + account +
            "\ndisplayName: " + account + "\nuserAccountControl: 544\n\n";
  }
  for (int i = 0; i < disabled; ++i, ++next) {
    ldif += "dn: " + people[(next * 37 + 23) % people.size()].dn +
            "\nchangetype: modify\nreplace: userAccountControl\nuserAccountControl: 514\n\n";
  }
  for (int i = 0; i < deleted; ++i, ++next) {
    ldif += "dn: " + people[(next * 37 + 29) % people.size()].dn + "\nchangetype: delete\n\n";
  }
  if (!dc.Modify(ldif)) return 2;

  const Timed update = RunSync(1);
  const Timed full = RunSync(0);
  if (update.result != 1 || full.result != 1) {
    std::fprintf(stderr, "update %d, full import %d\n", update.result, full.result);
    return 1;
  }
  const ServerOrg org = DumpOrg(zeltod);
  std::printf(
      "domain: %d users, %zu OUs; %d changes (%d edits, %d moves, %d new, %d disabled, "
      "%d deleted); server after the runs: %zu users\n",
      users, ous.size(), changes, edits, moves, created, disabled, deleted, org.users.size());
  std::printf("%-34s %10s %10s\n", "run", "wall s", "SDK calls");
  std::printf("%-34s %10.2f %10llu\n", "full import into an empty server", first.seconds,
              static_cast<unsigned long long>(first.sdk_calls));
  std::printf("%-34s %10.2f %10llu\n", "incremental update", update.seconds,
              static_cast<unsigned long long>(update.sdk_calls));
  std::printf("%-34s %10.2f %10llu\n", "full import of the same domain", full.seconds,
              static_cast<unsigned long long>(full.sdk_calls));
  std::printf("update / full import of the same domain: time %.2f%%, SDK calls %.2f%%\n",
              100.0 * update.seconds / full.seconds,
              100.0 * static_cast<double>(update.sdk_calls) / static_cast<double>(full.sdk_calls));
  const std::size_t expected = static_cast<std::size_t>(users + created - disabled - deleted);
  if (org.users.size() != expected) {
    std::fprintf(stderr, "the server holds %zu users, expected %zu\n", org.users.size(), expected);
    return 1;
  }
  return 0;
}

}  // namespace
}  // namespace norvane::testing

int main(int argc, char** argv) {
  const int users = argc > 1 ? std::atoi(argv[1]) : 5000;
  const int changes = argc > 2 ? std::atoi(argv[2]) : 100;
  return norvane::testing::Main(users, changes);
}
