// Many logins at once through zeltod's client-login call while other work runs: a full
// import writing the organisation, and the service being stopped under the logins' feet.
// Every login gets one answer, and no wrong password is ever accepted.
#include <grpcpp/grpcpp.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "server/auth_service.h"
#include "sync/sync_engine.h"
#include "tests/auth/auth_test_support.h"
#include "tests/fixtures/slapd_fixture.h"
#include "tests/fixtures/zeltod_fixture.h"
#include "zelto/proto/zelto.grpc.pb.h"

namespace norvane {
namespace {

using testing::AuthBase;
using testing::AuthConfigSpec;
using testing::RecordingPrompt;

struct Account {
  std::string name;
  std::string password;
};
const std::vector<Account> kAccounts = {
    {"uid=alice,ou=Sales,o=corp", "alice-pass"},
    {"uid=bob,ou=East,ou=Sales,o=corp", "bob-pass"},
    {"uid=carol,ou=Engineering,o=corp", "carol-pass"},
    {"uid=dave,ou=Platform,ou=Engineering,o=corp", "dave-pass"},
};

constexpr int kClients = 20;
constexpr int kLoginsPerClient = 10;

// One client-login call: 0, 1, 2, or -1 when the call itself failed.
int ClientLogin(zelto::AppServer::Stub& stub, const std::string& account,
                const std::string& password) {
  zelto::LoginRequest request;
  request.set_account(account);
  request.set_password(password);
  zelto::LoginReply reply;
  grpc::ClientContext context;
  context.set_deadline(std::chrono::system_clock::now() + std::chrono::seconds(30));
  grpc::Status status = stub.ClientLogin(&context, request, &reply);
  return status.ok() ? reply.result() : -1;
}

class AuthConcurrency : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(slapd_.Start());
    ASSERT_TRUE(zeltod_.Start()) << zeltod_.LogText();
    for (const Account& a : kAccounts) ASSERT_TRUE(testing::AddZeltoUser(zeltod_, a.name, 3));
    AuthConfigSpec settings;
    settings.ldap_port = slapd_.port();
    settings.admin = slapd_.admin_dn();
    settings.password = slapd_.admin_password();
    ASSERT_TRUE(base_.WriteConfig(settings, zeltod_));
    service_ = std::make_unique<AuthService>(&prompt_);
    ASSERT_EQ(service_->Init(), 1);
    ASSERT_EQ(service_->Start(), 1);
    channel_ = grpc::CreateChannel(zeltod_.AppAddress(), grpc::InsecureChannelCredentials());
  }

  // Enough users that the import takes a while, also under ThreadSanitizer.
  testing::Slapd slapd_{testing::SlapdOptions{.generated_users = 5000, .ldif_files = {}}};
  AuthBase base_;
  Zeltod zeltod_;
  RecordingPrompt prompt_;
  std::unique_ptr<AuthService> service_;
  std::shared_ptr<grpc::Channel> channel_;
};

TEST_F(AuthConcurrency, TwoHundredLoginsFromTwentyClientsDuringAFullImport) {
  std::atomic<bool> import_done{false};
  int import_result = -1;
  std::thread import([&] {
    SyncEngine engine;
    if (engine.EngineInit()) import_result = engine.SyncOneDC(0);
    import_done = true;
  });

  // Each client keeps logging in until the import is over (and at least kLoginsPerClient
  // times), however fast the import runs.
  std::atomic<int> wrong_answers{0}, answered{0}, logins{0}, right_logins{0}, during_import{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      auto stub = zelto::AppServer::NewStub(channel_);
      for (int i = 0; i < kLoginsPerClient || !import_done.load(); ++i) {
        const Account& a = kAccounts[(c + i) % kAccounts.size()];
        const bool right = (c + i) % 3 != 0;
        const int result = ClientLogin(*stub, a.name, right ? a.password : a.password + "x");
        ++logins;
        right_logins += right;
        answered += result >= 0;
        if (result != (right ? 0 : 2)) ++wrong_answers;
        if (!import_done.load()) ++during_import;
      }
    });
  }
  for (std::thread& t : clients) t.join();
  import.join();

  EXPECT_GE(logins.load(), kClients * kLoginsPerClient);
  EXPECT_EQ(answered.load(), logins.load());
  EXPECT_EQ(wrong_answers.load(), 0);
  EXPECT_EQ(import_result, 1);
  // The logins really ran during the import.
  EXPECT_GT(during_import.load(), 0);
  EXPECT_EQ(base_.Count("验证通过"), right_logins.load());
  for (const std::string& line : base_.Lines()) {
    for (const Account& a : kAccounts) EXPECT_EQ(line.find(a.password), std::string::npos);
  }
}

TEST_F(AuthConcurrency, StoppingWhileLoginsArriveAnswersEveryOneAndAcceptsNoWrongPassword) {
  std::atomic<bool> stop_clients{false};
  std::atomic<int> accepted_wrong{0}, unanswered{0}, logins{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      auto stub = zelto::AppServer::NewStub(channel_);
      for (int i = 0; !stop_clients; ++i) {
        const Account& a = kAccounts[(c + i) % kAccounts.size()];
        const bool right = (c + i) % 2 == 0;
        const int result = ClientLogin(*stub, a.name, right ? a.password : "not-" + a.password);
        ++logins;
        if (result < 0) ++unanswered;
        if (!right && result == 0) ++accepted_wrong;
      }
    });
  }
  while (logins < 40) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(service_->Stop(), 1);
  const int after_stop = logins;
  // Every login from here on is refused: nobody serves the accounts any more.
  auto stub = zelto::AppServer::NewStub(channel_);
  EXPECT_EQ(ClientLogin(*stub, kAccounts[0].name, kAccounts[0].password), 1);
  while (logins < after_stop + 40) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(service_->Start(), 1);
  while (logins < after_stop + 80) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  stop_clients = true;
  for (std::thread& t : clients) t.join();
  service_.reset();  // released while nothing is in flight any more

  EXPECT_EQ(unanswered.load(), 0);
  EXPECT_EQ(accepted_wrong.load(), 0);
  EXPECT_TRUE(prompt_.Texts().empty());
}

TEST_F(AuthConcurrency, ReleasedByTheServerWhileLoginsArrive) {
  std::atomic<bool> stop_clients{false};
  std::atomic<int> accepted_wrong{0}, unanswered{0}, logins{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < 4; ++c) {
    clients.emplace_back([&, c] {
      auto stub = zelto::AppServer::NewStub(channel_);
      for (int i = 0; !stop_clients; ++i) {
        const Account& a = kAccounts[(c + i) % kAccounts.size()];
        const bool right = i % 2 == 0;
        const int result = ClientLogin(*stub, a.name, right ? a.password : "x");
        ++logins;
        if (result < 0) ++unanswered;
        if (!right && result == 0) ++accepted_wrong;
      }
    });
  }
  while (logins < 20) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_EQ(zeltod_.Ctl({"stop-app"}), 0);  // the application-stopped event
  for (int i = 0; i < 200 && service_->Initialised(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  EXPECT_FALSE(service_->Initialised());
  EXPECT_EQ(service_->Init(), 1);
  EXPECT_EQ(service_->Start(), 1);
  const int restarted = logins;
  while (logins < restarted + 20) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  stop_clients = true;
  for (std::thread& t : clients) t.join();
  EXPECT_EQ(unanswered.load(), 0);
  EXPECT_EQ(accepted_wrong.load(), 0);
}

}  // namespace
}  // namespace norvane
