// Reads every user of a generated slapd directory the way the sync engine does for a
// Domino-style server (Search with the user filter, ReadEntry on every entry), and the same
// entries with `ldapsearch -E pr=500/noprompt`, and prints the wall times, their ratio and
// each reader's peak memory. Each read runs in a child process so that its peak resident
// size is its own; run it for several directory sizes to see that the peak does not grow
// with the directory.
//
//   directory_bench [USERS...]      (default: 10000 50000)
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "directory/dn_text.h"
#include "directory/ldap_client.h"
#include "tests/fixtures/slapd_fixture.h"

namespace {

using norvane::testing::Slapd;
using norvane::testing::SlapdOptions;

struct Run {
  double seconds = 0;
  long peak_kib = 0;
  int status = -1;
  long entries = 0;
};

// Runs `child` in a child process; wall time, peak RSS and the number it wrote back.
template <typename F>
Run InChild(F child) {
  int fds[2];
  if (pipe(fds) != 0) return {};
  auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    long n = child();
    if (write(fds[1], &n, sizeof n) != sizeof n) _exit(3);
    _exit(n >= 0 ? 0 : 1);
  }
  close(fds[1]);
  Run run;
  if (read(fds[0], &run.entries, sizeof run.entries) != sizeof run.entries) run.entries = -1;
  close(fds[0]);
  rusage usage{};
  int status = 0;
  wait4(pid, &status, 0, &usage);
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.peak_kib = usage.ru_maxrss;
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

long NorvaneRead(const Slapd& slapd) {
  using namespace norvane;
  SelectLibrary(kDominoDirectory);
  CLdapClient client;
  LdapServerParams p;
  p.server_ip = slapd.host();
  p.server_port = static_cast<std::uint16_t>(slapd.port());
  p.domain_name = "o=corp";
  p.admin_account = slapd.admin_dn();
  p.admin_password = slapd.admin_password();
  LdapConnection* c = client.Connect(p);
  if (!c) return -1;
  LdapResult* r = client.Search(c, "o=corp", UserFilter(kDominoDirectory), "*");
  long n = 0;
  std::size_t bytes = 0;
  for (LdapEntry* e = client.FirstEntry(c, r); e; e = client.NextEntry(c, e)) {
    EntryAttributes a;
    if (client.ReadEntry(c, e, a) == 0) ++n;
    bytes += a["uid"].size();
  }
  const bool complete = CLdapClient::IsComplete(r);
  client.FreeResult(r);
  client.Disconnect(c);
  return complete && bytes > 0 ? n : -1;
}

long LdapsearchRead(const Slapd& slapd, const std::string& password_file) {
  int null = open("/dev/null", O_WRONLY);
  dup2(null, 1);
  const std::string filter = norvane::UserFilter(1);
  execlp("ldapsearch", "ldapsearch", "-x", "-LLL", "-o", "nettimeout=10", "-H", slapd.uri().c_str(),
         "-D", slapd.admin_dn().c_str(), "-y", password_file.c_str(), "-b", "o=corp", "-E",
         "pr=500/noprompt", filter.c_str(), "*", static_cast<char*>(nullptr));
  _exit(127);
}

Run Median(std::vector<Run> runs) {
  std::sort(runs.begin(), runs.end(),
            [](const Run& a, const Run& b) { return a.seconds < b.seconds; });
  return runs[runs.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> sizes;
  for (int i = 1; i < argc; ++i) sizes.push_back(std::atoi(argv[i]));
  if (sizes.empty()) sizes = {10000, 50000};
  constexpr int kRepeats = 3;
  std::printf("%8s %9s %12s %9s %12s %7s %12s\n", "users", "entries", "norvane s", "peak MiB",
              "ldapsearch s", "ratio", "peak MiB");
  int failures = 0;
  for (int users : sizes) {
    SlapdOptions options;
    options.generated_users = users;
    Slapd slapd(options);
    if (!slapd.Start()) return 2;
    char path[] = "/tmp/norvane-bench-pw-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0 || write(fd, slapd.admin_password().data(), slapd.admin_password().size()) < 0)
      return 2;
    close(fd);
    std::vector<Run> ours, theirs;
    for (int i = 0; i < kRepeats; ++i) {
      ours.push_back(InChild([&] { return NorvaneRead(slapd); }));
      theirs.push_back(InChild([&] { return LdapsearchRead(slapd, path); }));
    }
    unlink(path);
    Run a = Median(ours), b = Median(theirs);
    if (a.status != 0 || b.status != 0 || a.entries < users) ++failures;
    std::printf("%8d %9ld %12.3f %9.1f %12.3f %7.2f %12.1f\n", users, a.entries, a.seconds,
                a.peak_kib / 1024.0, b.seconds, a.seconds / b.seconds, b.peak_kib / 1024.0);
    std::fflush(stdout);
  }
  return failures == 0 ? 0 : 1;
}
