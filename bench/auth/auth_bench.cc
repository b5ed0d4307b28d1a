// End-to-end login rate: zeltod's client-login call, answered by the authentication service
// binding to slapd, beside plain simple binds with the same credentials, each on a fresh
// connection, made directly with libldap. Prints logins/s, p50/p99 latency and the ratio.
// With --tls slapd offers StartTLS, which every check then uses (the plain binds too).
//
//   auth_bench [LOGINS] [--tls]   (default 2000)
#include <grpcpp/grpcpp.h>
#include <ldap.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "directory/ldap_client.h"
#include "server/auth_service.h"
#include "tests/auth/auth_test_support.h"
#include "tests/fixtures/slapd_fixture.h"
#include "tests/fixtures/zeltod_fixture.h"
#include "zelto/proto/zelto.grpc.pb.h"

namespace norvane {
namespace {

using Clock = std::chrono::steady_clock;

const std::string kDn = "uid=alice,ou=Sales,o=corp";
const std::string kPassword = "alice-pass";

struct Figures {
  double per_second = 0;
  double p50_ms = 0;
  double p99_ms = 0;
  int failures = 0;
};

Figures Summarise(std::vector<double>& ms, double seconds, int failures) {
  Figures f;
  std::sort(ms.begin(), ms.end());
  f.per_second = static_cast<double>(ms.size()) / seconds;
  f.p50_ms = ms[ms.size() / 2];
  f.p99_ms = ms[std::min(ms.size() - 1, ms.size() * 99 / 100)];
  f.failures = failures;
  return f;
}

// Plain binds: a fresh connection per bind, with the time-outs the service uses; StartTLS
// first when `ca_file` is given.
Figures PlainBinds(const std::string& uri, int count, const std::string& ca_file = "") {
  std::vector<double> ms;
  int failures = 0;
  const auto start = Clock::now();
  for (int i = 0; i < count; ++i) {
    const auto t0 = Clock::now();
    LDAP* ld = nullptr;
    int rc = ldap_initialize(&ld, uri.c_str());
    if (rc == LDAP_SUCCESS) {
      int version = LDAP_VERSION3;
      timeval network{kNetworkTimeoutSeconds, 0};
      timeval operation{kOperationTimeoutSeconds, 0};
      ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version);
      ldap_set_option(ld, LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
      ldap_set_option(ld, LDAP_OPT_NETWORK_TIMEOUT, &network);
      ldap_set_option(ld, LDAP_OPT_TIMEOUT, &operation);
      if (!ca_file.empty()) {
        int is_server = 0;
        ldap_set_option(ld, LDAP_OPT_X_TLS_CACERTFILE, ca_file.c_str());
        ldap_set_option(ld, LDAP_OPT_X_TLS_NEWCTX, &is_server);
        rc = ldap_start_tls_s(ld, nullptr, nullptr);
      }
      berval cred{kPassword.size(), const_cast<char*>(kPassword.data())};
      if (rc == LDAP_SUCCESS) {
        rc = ldap_sasl_bind_s(ld, kDn.c_str(), LDAP_SASL_SIMPLE, &cred, nullptr, nullptr, nullptr);
      }
      ldap_unbind_ext_s(ld, nullptr, nullptr);
    }
    failures += rc != LDAP_SUCCESS;
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return Summarise(ms, seconds, failures);
}

Figures Logins(const std::string& app_address, int count, int clients) {
  auto channel = grpc::CreateChannel(app_address, grpc::InsecureChannelCredentials());
  std::vector<std::vector<double>> per_client(static_cast<std::size_t>(clients));
  std::vector<int> failures(static_cast<std::size_t>(clients), 0);
  std::vector<std::thread> threads;
  const auto start = Clock::now();
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&, c] {
      auto stub = zelto::AppServer::NewStub(channel);
      for (int i = c; i < count; i += clients) {
        zelto::LoginRequest request;
        request.set_account(kDn);
        request.set_password(kPassword);
        zelto::LoginReply reply;
        grpc::ClientContext context;
        context.set_deadline(std::chrono::system_clock::now() + std::chrono::seconds(30));
        const auto t0 = Clock::now();
        grpc::Status status = stub->ClientLogin(&context, request, &reply);
        per_client[c].push_back(
            std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        failures[c] += !status.ok() || reply.result() != 0;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::vector<double> ms;
  int failed = 0;
  for (int c = 0; c < clients; ++c) {
    ms.insert(ms.end(), per_client[c].begin(), per_client[c].end());
    failed += failures[c];
  }
  return Summarise(ms, seconds, failed);
}

void Print(const char* what, const Figures& f) {
  std::printf("%-34s %8.1f /s   p50 %6.2f ms   p99 %6.2f ms   failures %d\n", what, f.per_second,
              f.p50_ms, f.p99_ms, f.failures);
}

int Main(int argc, char** argv) {
  int count = 2000;
  bool tls = false;
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--tls") {
      tls = true;
    } else {
      count = std::atoi(argv[i]);
    }
  }
  testing::Slapd slapd({.tls = tls});
  if (!slapd.Start()) return 1;
  const std::string ca_file = tls ? slapd.ca_file() : "";
  SetDirectoryCaFile(ca_file);
  Zeltod zeltod;
  if (!zeltod.Start()) return 1;
  testing::AuthBase base;
  testing::AuthConfigSpec settings;
  settings.ldap_port = slapd.port();
  settings.admin = slapd.admin_dn();
  settings.password = slapd.admin_password();
  if (!base.WriteConfig(settings, zeltod) || !testing::AddZeltoUser(zeltod, kDn, 3)) return 1;
  AuthService service;
  if (service.Init() != 1 || service.Start() != 1) return 1;

  Logins(zeltod.AppAddress(), 50, 1);  // warm-up
  PlainBinds(slapd.uri(), 50, ca_file);

  const Figures binds = PlainBinds(slapd.uri(), count, ca_file);
  const Figures one = Logins(zeltod.AppAddress(), count, 1);
  const Figures many = Logins(zeltod.AppAddress(), count, 8);
  // The service's own share: the account query and the bind, without the server's round trip.
  std::vector<double> verify_ms;
  int verify_failures = 0;
  const auto verify_start = Clock::now();
  for (int i = 0; i < count; ++i) {
    const auto t0 = Clock::now();
    int result = -1;
    service.Verify(kDn, kPassword, &result);
    verify_failures += result != 0;
    verify_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
  }
  const Figures verify =
      Summarise(verify_ms, std::chrono::duration<double>(Clock::now() - verify_start).count(),
                verify_failures);
  std::printf("%d operations each, slapd %s%s\n", count, slapd.uri().c_str(),
              tls ? " with StartTLS" : "");
  Print(tls ? "StartTLS + bind, fresh connection" : "plain bind, fresh connection", binds);
  Print("login end to end, 1 client", one);
  Print("login end to end, 8 clients", many);
  Print("AuthService::Verify alone", verify);
  std::printf("ratio login/bind: 1 client %.2f, 8 clients %.2f (target >= 0.5)\n",
              one.per_second / binds.per_second, many.per_second / binds.per_second);
  return binds.failures + one.failures + many.failures + verify.failures == 0 ? 0 : 1;
}

}  // namespace
}  // namespace norvane

int main(int argc, char** argv) { return norvane::Main(argc, argv); }
