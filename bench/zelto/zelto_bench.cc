// Measures a real zeltod on loopback through the SDK component:
//   - round trips per second of the user-exists query (one client thread);
//   - seconds to add N users (default 50,000) with basic information and one department
//     each, the calls a full import makes for a new user;
//   - zeltod's peak resident memory (VmHWM) afterwards.
//
//   zelto_bench [USERS] [SECONDS_OF_ROUND_TRIPS]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "server/sdk.h"
#include "tests/fixtures/zeltod_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;

long PeakKilobytes(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

}  // namespace

int main(int argc, char** argv) {
  using namespace norvane;
  const int users = argc > 1 ? std::atoi(argv[1]) : 50000;
  const double probe_seconds = argc > 2 ? std::atof(argv[2]) : 5.0;
  constexpr int kDepartments = 50;

  Zeltod zeltod;
  if (!zeltod.Start()) {
    std::fprintf(stderr, "zeltod did not start:\n%s", zeltod.LogText().c_str());
    return 1;
  }
  auto root = SdkRoot::Create(zeltod.Host(), zeltod.SdkPort(), {zeltod.CredentialFile()});
  root->SetServerAddress(zeltod.Host());
  root->SetServerPort(zeltod.AppPort());
  SdkDeptManager* dept = root->DeptManager();
  SdkUserManager* user = root->UserManager();
  SdkApplication* app = root->Application();
  std::printf("zeltod: %s, idle peak memory %ld kB\n", root->ServerText().c_str(),
              PeakKilobytes(zeltod.Pid()));

  dept->AddDepartment("Bench", "");
  for (int d = 0; d < kDepartments; ++d) dept->AddDepartment("D" + std::to_string(d), "Bench\\");

  // What a full import does for an account the server does not hold yet.
  std::uint64_t calls_before = SdkCallCount();
  Clock::time_point start = Clock::now();
  for (int i = 0; i < users; ++i) {
    std::string account = "user" + std::to_string(i);
    std::string path = "Bench\\D" + std::to_string(i % kDepartments) + "\\";
    if (user->UserExists(account)) return 1;
    user->AddUser(account, 1);
    dept->MoveUser(account, "", path, 0);
    app->SetUserAuthType(account, 1);
    user->SetUserBasicInfo(account, "User " + std::to_string(i), i % 2 ? 1 : -1,
                           "1380000" + std::to_string(i), account + "@corp.example.com",
                           "010-" + std::to_string(i), 1);
    user->SetUserDetails(account, -1, -1, -1, "ZELTO_NULL", "ZELTO_NULL", "ZELTO_NULL",
                         "ZELTO_NULL", "ZELTO_NULL", "ZELTO_NULL", "ZELTO_NULL", "ZELTO_NULL",
                         "ZELTO_NULL", "Engineer", -1);
  }
  double import_seconds = Seconds(Clock::now() - start);
  std::uint64_t import_calls = SdkCallCount() - calls_before;
  std::printf("import: %d users, %llu SDK calls in %.2f s (%.0f calls/s, %.3f ms per user)\n",
              users, static_cast<unsigned long long>(import_calls), import_seconds,
              import_calls / import_seconds, 1000.0 * import_seconds / users);

  std::uint64_t probes = 0;
  start = Clock::now();
  Clock::time_point end = start + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(probe_seconds));
  while (Clock::now() < end) {
    if (!user->UserExists("user" + std::to_string(probes % users))) return 1;
    ++probes;
  }
  double probe_time = Seconds(Clock::now() - start);
  std::printf("user exists: %llu round trips in %.2f s = %.0f round trips/s\n",
              static_cast<unsigned long long>(probes), probe_time, probes / probe_time);

  // The organisation walk over the whole server, as the removal step does.
  start = Clock::now();
  std::string top = dept->DepartmentUsers("");
  std::string all = dept->DepartmentUsers("Bench\\D0\\");
  std::printf("listing: top %zu bytes, one department %zu bytes in %.3f s\n", top.size(),
              all.size(), Seconds(Clock::now() - start));
  std::printf("zeltod peak memory at %d users: %ld kB\n", users, PeakKilobytes(zeltod.Pid()));
  std::ifstream db(zeltod.DbPath(), std::ios::binary | std::ios::ate);
  std::printf("database: %lld bytes\n", static_cast<long long>(db.tellg()));
  return zeltod.Stop() ? 0 : 1;
}
