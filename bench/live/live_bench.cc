// live_bench slapd|samba
//
// Latency of live sync: from the directory's answer to a change (the write returned) to the
// change visible through the IM server's SDK, for user add, user delete (slapd) or disable
// (Samba), user move between OUs and OU rename, in turns. Runs against a fresh zeltod and a
// fresh slapd with syncprov, or below an OU of its own of the Samba test domain:
//   200 changes at 10/s; the same with a directory restart after the 100th; 500 changes at
//   100/s (slapd).
// Prints p50, p99, the largest and the changes not seen within 60 s ("lost"), then the
// program's CPU time over 10 idle seconds. The figures describe this machine.
#include <ldap.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/live_sync.h"
#include "platform/text.h"
#include "server/organisation.h"
#include "server/sdk.h"
#include "sync/dn_rules.h"
#include "tests/fixtures/samba_fixture.h"
#include "tests/fixtures/zeltod_fixture.h"
#include "tests/sync/sync_test_support.h"

namespace norvane::testing {
namespace {

using Clock = std::chrono::steady_clock;

// Writes to the directory as an administrator, reconnecting after a restart.
class Writer {
 public:
  Writer(std::string uri, std::string dn, std::string password)
      : uri_(std::move(uri)), dn_(std::move(dn)), password_(std::move(password)) {}
  ~Writer() { Drop(); }
  bool Add(const std::string& dn, std::vector<std::pair<std::string, std::string>> attributes) {
    return Retry([&] {
      std::vector<LDAPMod> mods(attributes.size());
      std::vector<std::vector<berval>> values(attributes.size());
      std::vector<std::vector<berval*>> pointers(attributes.size());
      std::vector<LDAPMod*> list;
      for (std::size_t i = 0; i < attributes.size(); ++i) {
        values[i] = {berval{attributes[i].second.size(), attributes[i].second.data()}};
        pointers[i] = {&values[i][0], nullptr};
        mods[i].mod_op = LDAP_MOD_ADD | LDAP_MOD_BVALUES;
        mods[i].mod_type = attributes[i].first.data();
        mods[i].mod_bvalues = pointers[i].data();
        list.push_back(&mods[i]);
      }
      list.push_back(nullptr);
      return ldap_add_ext_s(ld_, dn.c_str(), list.data(), nullptr, nullptr);
    });
  }
  bool Replace(const std::string& dn, std::string name, std::string value) {
    return Retry([&] {
      berval v{value.size(), value.data()};
      berval* vs[] = {&v, nullptr};
      LDAPMod mod{LDAP_MOD_REPLACE | LDAP_MOD_BVALUES, name.data(), {nullptr}};
      mod.mod_bvalues = vs;
      LDAPMod* list[] = {&mod, nullptr};
      return ldap_modify_ext_s(ld_, dn.c_str(), list, nullptr, nullptr);
    });
  }
  bool Rename(const std::string& dn, const std::string& rdn, const std::string& superior) {
    return Retry([&] {
      return ldap_rename_s(ld_, dn.c_str(), rdn.c_str(),
                           superior.empty() ? nullptr : superior.c_str(), 1, nullptr, nullptr);
    });
  }
  bool Delete(const std::string& dn) {
    return Retry([&] { return ldap_delete_ext_s(ld_, dn.c_str(), nullptr, nullptr); });
  }

 private:
  bool Connect() {
    Drop();
    if (ldap_initialize(&ld_, uri_.c_str()) != LDAP_SUCCESS) return false;
    int version = LDAP_VERSION3;
    ldap_set_option(ld_, LDAP_OPT_PROTOCOL_VERSION, &version);
    timeval t{10, 0};
    ldap_set_option(ld_, LDAP_OPT_NETWORK_TIMEOUT, &t);
    ldap_set_option(ld_, LDAP_OPT_TIMEOUT, &t);
    berval cred{password_.size(), password_.data()};
    return ldap_sasl_bind_s(ld_, dn_.c_str(), LDAP_SASL_SIMPLE, &cred, nullptr, nullptr, nullptr) ==
           LDAP_SUCCESS;
  }
  void Drop() {
    if (ld_) ldap_unbind_ext_s(ld_, nullptr, nullptr);
    ld_ = nullptr;
  }
  bool Retry(const std::function<int()>& op) {
    for (int attempt = 0; attempt < 100; ++attempt) {
      if (!ld_ && !Connect()) {
        Drop();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        continue;
      }
      int rc = op();
      if (rc == LDAP_SUCCESS) return true;
      if (rc != LDAP_SERVER_DOWN && rc != LDAP_CONNECT_ERROR && rc != LDAP_TIMEOUT &&
          rc != LDAP_UNAVAILABLE && rc != LDAP_BUSY) {
        std::fprintf(stderr, "live_bench: write refused: %s\n", ldap_err2string(rc));
        return false;
      }
      Drop();
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return false;
  }

  std::string uri_, dn_, password_;
  LDAP* ld_ = nullptr;
};

// What a run writes and how it tells that a change arrived.
struct Target {
  std::function<bool(const std::string& uid, const std::string& ou)> add_user;
  std::function<bool(const std::string& uid, const std::string& from, const std::string& to)>
      move_user;
  std::function<bool(const std::string& uid, const std::string& ou)> remove_user;
  std::function<bool(const std::string& from, const std::string& to)> rename_ou;
  std::function<void()> restart;  // empty: not offered
  std::string prefix;             // of every account name (unique in an AD domain)
};

struct Pending {
  std::function<bool(SdkRoot&)> visible;
  Clock::time_point acknowledged;
  int kind = 0;  // 0 add, 1 move, 2 removal, 3 OU rename
};

struct Figures {
  std::vector<double> latencies;  // seconds
  std::size_t lost = 0;
  int seen_by_kind[4] = {0, 0, 0, 0};
};

std::string Path(const std::string& ou) { return ToUpperAscii(ou) + "\\"; }

bool InDepartment(SdkRoot& sdk, const std::string& account, const std::string& path) {
  if (!sdk.UserManager()->UserExists(account)) return false;
  auto d =
      ParseNameList(sdk.DeptManager()->DepartmentsOfUser(account), "Departments", "Department");
  return d.size() == 1 && EqualsNoCase(d[0], path);
}

// `count` changes at `rate` a second, in turns of four on fresh names with prefix `tag`.
Figures Run(Target& target, const Zeltod& zeltod, const std::string& tag, int first_ou, int count,
            int rate, bool restart) {
  std::mutex lock;
  std::vector<Pending> pending;
  Figures figures;
  std::atomic<bool> writing{true};
  std::thread checker([&] {
    auto sdk = SdkRoot::Create(zeltod.Host(), zeltod.SdkPort(), {zeltod.CredentialFile()});
    for (;;) {
      std::vector<Pending> now;
      {
        std::lock_guard<std::mutex> guard(lock);
        now.swap(pending);
      }
      std::vector<Pending> left;
      for (Pending& p : now) {
        bool seen = false;
        try {
          seen = p.visible(*sdk);
        } catch (...) {
        }
        if (seen) {
          std::lock_guard<std::mutex> guard(lock);
          figures.latencies.push_back(
              std::chrono::duration<double>(Clock::now() - p.acknowledged).count());
          ++figures.seen_by_kind[p.kind];
        } else if (Clock::now() - p.acknowledged > std::chrono::seconds(60)) {
          ++figures.lost;
        } else {
          left.push_back(std::move(p));
        }
      }
      {
        std::lock_guard<std::mutex> guard(lock);
        pending.insert(pending.begin(), left.begin(), left.end());
        if (!writing && pending.empty()) return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  int kind = 0;
  auto note = [&](std::function<bool(SdkRoot&)> visible) {
    std::lock_guard<std::mutex> guard(lock);
    pending.push_back(Pending{std::move(visible), Clock::now(), kind});
  };
  const auto start = Clock::now();
  for (int i = 0; i < count; ++i) {
    std::this_thread::sleep_until(start + std::chrono::microseconds(1000000LL * i / rate));
    if (restart && i == count / 2 && target.restart) target.restart();
    const int turn = i / 4;
    kind = i % 4;
    const std::string uid = target.prefix + tag + std::to_string(turn);
    switch (i % 4) {
      case 0:
        if (target.add_user(uid, "LiveA")) {
          note([uid](SdkRoot& s) { return InDepartment(s, uid, Path("LiveA")); });
        }
        break;
      case 1: {
        // Users of their own for moves and removals, made before live sync started: each
        // change's end state stays to be seen.
        const std::string moved = target.prefix + "m" + std::to_string(first_ou + turn);
        if (target.move_user(moved, "LiveA", "LiveB")) {
          note([moved](SdkRoot& s) { return InDepartment(s, moved, Path("LiveB")); });
        }
        break;
      }
      case 2: {
        const std::string removed = target.prefix + "d" + std::to_string(first_ou + turn);
        if (target.remove_user(removed, "LiveA")) {
          note([removed](SdkRoot& s) { return !s.UserManager()->UserExists(removed); });
        }
        break;
      }
      default: {
        const std::string to = tag + "OU" + std::to_string(turn);
        if (target.rename_ou("R" + std::to_string(first_ou + turn), to)) {
          note([to](SdkRoot& s) { return s.DeptManager()->DepartmentExists(Path(to)); });
        }
      }
    }
  }
  writing = false;
  checker.join();
  return figures;
}

void Print(const char* label, Figures f, int count) {
  std::sort(f.latencies.begin(), f.latencies.end());
  auto at = [&](double q) {
    if (f.latencies.empty()) return 0.0;
    return f.latencies[std::min(f.latencies.size() - 1,
                                static_cast<std::size_t>(q * f.latencies.size()))];
  };
  std::printf(
      "%-34s changes=%d seen=%zu p50=%.3fs p99=%.3fs max=%.3fs lost=%zu "
      "(seen: add %d, move %d, removal %d, rename %d)\n",
      label, count, f.latencies.size(), at(0.5), at(0.99),
      f.latencies.empty() ? 0 : f.latencies.back(), f.lost + (count - f.latencies.size() - f.lost),
      f.seen_by_kind[0], f.seen_by_kind[1], f.seen_by_kind[2], f.seen_by_kind[3]);
  std::fflush(stdout);
}

bool WaitFor(const std::function<bool()>& check, int seconds) {
  const auto end = Clock::now() + std::chrono::seconds(seconds);
  while (Clock::now() < end) {
    if (check()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

int Main(int argc, char** argv) {
  // A write on a connection the restarted directory closed must fail, not end the bench, as
  // it does in the program.
  std::signal(SIGPIPE, SIG_IGN);
  const std::string which = argc > 1 ? argv[1] : "slapd";
  const int turns = 225;  // OUs to rename: 50 + 50 + 125 turns
  Zeltod zeltod;
  BaseFolderScope base;
  if (!zeltod.Start()) return 1;
  SlapdServer slapd;
  SambaDomain* dc = nullptr;
  std::unique_ptr<Writer> writer;
  Target target;
  ConfigSpec settings;
  std::string ous;
  if (which == "slapd") {
    if (!slapd.Start()) return 1;
    for (int i = 0; i < turns; ++i)
      ous += "dn: ou=R" + std::to_string(i) +
             ",o=corp\nchangetype: add\nobjectClass: organizationalUnit\nou: R" +
             std::to_string(i) + "\n\n";
    for (const char* ou : {"LiveA", "LiveB"}) {
      ous += std::string("dn: ou=") + ou +
             ",o=corp\nchangetype: add\nobjectClass: organizationalUnit\nou: " + ou + "\n\n";
    }
    for (int i = 0; i < turns; ++i) {
      for (const char* kind : {"m", "d"}) {
        const std::string uid = kind + std::to_string(i);
        ous += "dn: uid=" + uid +
               ",ou=LiveA,o=corp\nchangetype: add\nobjectClass: inetOrgPerson\nuid: " + uid +
               "\ncn: " + uid + "\nsn: Bench\n\n";
      }
    }
    if (!slapd.Modify(ous)) return 1;
    settings = CorpSettings(slapd);
    writer = std::make_unique<Writer>("ldap://127.0.0.1:" + std::to_string(slapd.Port()),
                                      slapd.Fact("ROOT_DN"), slapd.Fact("ROOT_PASSWORD"));
    Writer* w = writer.get();
    target.add_user = [w](const std::string& uid, const std::string& ou) {
      return w->Add("uid=" + uid + ",ou=" + ou + ",o=corp",
                    {{"objectClass", "inetOrgPerson"}, {"uid", uid}, {"cn", uid}, {"sn", "Bench"}});
    };
    target.move_user = [w](const std::string& uid, const std::string& from, const std::string& to) {
      return w->Rename("uid=" + uid + ",ou=" + from + ",o=corp", "uid=" + uid,
                       "ou=" + to + ",o=corp");
    };
    target.remove_user = [w](const std::string& uid, const std::string& ou) {
      return w->Delete("uid=" + uid + ",ou=" + ou + ",o=corp");
    };
    target.rename_ou = [w](const std::string& from, const std::string& to) {
      return w->Rename("ou=" + from + ",o=corp", "ou=" + to, "");
    };
    target.restart = [&slapd] { slapd.Restart(); };
  } else {
    dc = SambaDomain::Shared();
    if (!dc) return 1;
    setenv("LDAPTLS_CACERT", dc->ca_file().c_str(), 1);
    const std::string bench_base =
        "OU=LiveBench" + std::to_string(time(nullptr)) + "," + dc->base_dn();
    ous = "dn: " + bench_base + "\nchangetype: add\nobjectClass: organizationalUnit\n\n";
    for (int i = 0; i < turns; ++i)
      ous += "dn: OU=R" + std::to_string(i) + "," + bench_base +
             "\nchangetype: add\nobjectClass: organizationalUnit\n\n";
    for (const char* ou : {"LiveA", "LiveB"}) {
      ous += std::string("dn: OU=") + ou + "," + bench_base +
             "\nchangetype: add\nobjectClass: organizationalUnit\n\n";
    }
    target.prefix = "b" + std::to_string(time(nullptr) % 100000);
    for (int i = 0; i < turns; ++i) {
      for (const char* kind : {"m", "d"}) {
        const std::string uid = target.prefix + kind + std::to_string(i);
        ous +=
            "dn: CN=" + uid + ",OU=LiveA," + bench_base +
            "\nchangetype: add\nobjectClass: user\nsAMAccountName: " + uid +
            "\nunicodePwd:: IgBMAGkAdgBlACMAUABhAHMAcwAyADAAMgA2ACIA\nuserAccountControl: 512\n\n";
      }
    }
    if (!dc->Modify(ous)) return 1;
    settings = DomainSettings(*dc);
    settings.dc = bench_base;
    target.restart = [dc] {
      const auto t0 = Clock::now();
      const bool ok = dc->Restart();
      std::fprintf(stderr, "live_bench: restart %s in %.1f s\n", ok ? "done" : "FAILED",
                   std::chrono::duration<double>(Clock::now() - t0).count());
    };
    writer =
        std::make_unique<Writer>("ldaps://127.0.0.1:636", dc->admin_upn(), dc->admin_password());
    Writer* w = writer.get();
    target.add_user = [w, bench_base](const std::string& uid, const std::string& ou) {
      std::string quoted = "\"Bench#Pass2026\"", wide;
      for (char c : quoted) {
        wide += c;
        wide += '\0';
      }
      return w->Add("CN=" + uid + ",OU=" + ou + "," + bench_base, {{"objectClass", "user"},
                                                                   {"sAMAccountName", uid},
                                                                   {"unicodePwd", wide},
                                                                   {"userAccountControl", "512"}});
    };
    target.move_user = [w, bench_base](const std::string& uid, const std::string& from,
                                       const std::string& to) {
      return w->Rename("CN=" + uid + ",OU=" + from + "," + bench_base, "CN=" + uid,
                       "OU=" + to + "," + bench_base);
    };
    target.remove_user = [w, bench_base](const std::string& uid, const std::string& ou) {
      return w->Replace("CN=" + uid + ",OU=" + ou + "," + bench_base, "userAccountControl", "514");
    };
    target.rename_ou = [w, bench_base](const std::string& from, const std::string& to) {
      return w->Rename("OU=" + from + "," + bench_base, "OU=" + to, "");
    };
  }
  if (!base.WriteConfig(settings, zeltod)) return 1;
  LiveSync live;
  if (!live.Start()) return 1;
  auto sdk = SdkRoot::Create(zeltod.Host(), zeltod.SdkPort(), {zeltod.CredentialFile()});
  if (!WaitFor(
          [&] {
            auto s = live.States();
            return !s.empty() && s[0].connected && live.RunsDone() >= 1 &&
                   sdk->DeptManager()->DepartmentExists(Path("LiveB"));
          },
          300)) {
    std::fprintf(stderr, "live_bench: live sync did not come up: %s\n",
                 LiveSyncStateText(live.States()).c_str());
    return 1;
  }
  Print((which + " 200 @ 10/s").c_str(), Run(target, zeltod, "a", 0, 200, 10, false), 200);
  if (target.restart) {
    Print((which + " 200 @ 10/s, restart at 100").c_str(),
          Run(target, zeltod, "b", 50, 200, 10, true), 200);
  }
  if (which == "slapd") {
    Print((which + " 500 @ 100/s").c_str(), Run(target, zeltod, "c", 100, 500, 100, false), 500);
  }
  for (const char* line : {"发现修改的部门名称个数太多", "部门不存在", "Error Account", "稍后重试",
                           "目录通知的增量更新", "UpdateFromLDAP type=2"}) {
    std::size_t n = 0;
    for (const std::string& l : base.Lines()) n += l.find(line) != std::string::npos;
    std::fprintf(stderr, "log lines with \"%s\": %zu\n", line, n);
    for (const std::string& l : base.Lines()) {
      if (l.find(line) != std::string::npos && n-- > 0 && n + 3 > 0 && n % 25 == 0) {
        std::fprintf(stderr, "  %s", l.c_str());
      }
    }
  }
  // Idle: the searches open, no change for 10 s.
  auto cpu = [] {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  };
  const double before = cpu();
  std::this_thread::sleep_for(std::chrono::seconds(10));
  std::printf("%-34s cpu=%.3fs over 10 s\n", (which + " idle").c_str(), cpu() - before);
  live.Stop();
  return 0;
}

}  // namespace
}  // namespace norvane::testing

int main(int argc, char** argv) { return norvane::testing::Main(argc, argv); }
