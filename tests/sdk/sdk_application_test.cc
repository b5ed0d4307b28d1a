// The SDK component's application object and its use from several threads, against a
// real zeltod.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "server/sdk.h"
#include "tests/fixtures/zeltod_fixture.h"

namespace norvane {
namespace {

constexpr const char* kAppId = "{0D4B7A2E-91C3-4F6A-B8E5-37A1C9D2F064}";

class CountingSink : public SdkEventSink {
 public:
  int OnLoginVerify(const std::string&, const std::string&,
                    std::chrono::steady_clock::time_point) override {
    ++verifications;
    return 0;
  }
  void OnAppStopped() override { ++stopped; }
  std::atomic<int> verifications{0};
  std::atomic<int> stopped{0};
};

class SdkApplicationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(zeltod_.Start()) << zeltod_.LogText();
    root_ = SdkRoot::Create(zeltod_.Host(), zeltod_.SdkPort(), {zeltod_.CredentialFile()});
    ASSERT_TRUE(root_);
    root_->SetServerAddress(zeltod_.Host());
    root_->SetServerPort(zeltod_.AppPort());
    app_ = root_->Application();
  }
  void Register() {
    app_->SetIdentifier(kAppId);
    app_->SetName("ldapauth");
    app_->Register();
  }

  Zeltod zeltod_;
  std::unique_ptr<SdkRoot> root_;
  SdkApplication* app_ = nullptr;
  CountingSink sink_;
};

TEST_F(SdkApplicationTest, ConnectBeforeRegisteringIsRefused) {
  try {
    app_->Connect(&sink_);
    FAIL() << "connected without a registration";
  } catch (const SdkError& e) {
    EXPECT_EQ(e.code, kSdkErrorPrecondition);
    EXPECT_EQ(e.source, "Zelto.Application");
    EXPECT_NE(e.description.find("register"), std::string::npos) << e.description;
  }
  EXPECT_FALSE(app_->Connected());
  EXPECT_THROW(app_->Connect(nullptr), SdkError);
}

TEST_F(SdkApplicationTest, ConnectToAnUnreachableApplicationServerNamesIt) {
  Register();
  root_->SetServerPort(1);  // nothing listens on port 1 of loopback
  try {
    app_->Connect(&sink_);
    FAIL() << "connected to nothing";
  } catch (const SdkError& e) {
    EXPECT_EQ(e.code, kSdkErrorUnavailable) << e.description;
    EXPECT_NE(e.description.find("127.0.0.1:1"), std::string::npos) << e.description;
  }
  EXPECT_EQ(sink_.stopped, 0);  // a connection that never opened is not a stop
  // Back to the right port, the same object works.
  root_->SetServerPort(zeltod_.AppPort());
  Register();
  app_->Connect(&sink_);
  EXPECT_TRUE(app_->Connected());
}

TEST_F(SdkApplicationTest, DisconnectDeliversNothingAndCanBeRepeated) {
  Register();
  app_->Connect(&sink_);
  app_->Connect(&sink_);  // replaces the first connection
  ASSERT_GE(app_->Start("", 8), 0);
  app_->Disconnect();
  app_->Disconnect();
  EXPECT_FALSE(app_->Connected());
  EXPECT_EQ(sink_.stopped, 0);
  std::string out;
  zeltod_.Ctl({"add-user", "x"}, &out);
  zeltod_.Ctl({"set-auth", "x", "3"}, &out);
  zeltod_.Ctl({"login", "x"}, &out, "pw\n");
  EXPECT_EQ(out, "refused\n");
  EXPECT_EQ(sink_.verifications, 0);
  app_->Stop();
  EXPECT_THROW(app_->Stop(), SdkError);  // no longer registered
}

TEST_F(SdkApplicationTest, DestroyingTheRootWhileConnectedStopsTheEventThread) {
  Register();
  app_->Connect(&sink_);
  ASSERT_GE(app_->Start("", 8), 0);
  root_.reset();
  EXPECT_EQ(sink_.stopped, 0);
}

TEST(SdkConcurrency, OneRootServesSeveralThreadsAndTheServerKeepsAccountsUnique) {
  Zeltod zeltod;
  ASSERT_TRUE(zeltod.Start()) << zeltod.LogText();
  auto root = SdkRoot::Create(zeltod.Host(), zeltod.SdkPort(), {zeltod.CredentialFile()});
  root->DeptManager()->AddDepartment("D", "");
  constexpr int kThreads = 4, kAccounts = 150;
  std::atomic<int> added{0}, duplicates{0}, other{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kAccounts; ++i) {
        std::string account = "c" + std::to_string(i);
        try {
          root->UserManager()->AddUser(account, 0);
          root->DeptManager()->MoveUser(account, "", "D\\", 0);
          ++added;
        } catch (const SdkError& e) {
          (e.code == kSdkErrorExists ? duplicates : other)++;
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(added, kAccounts);
  EXPECT_EQ(duplicates, kAccounts * (kThreads - 1));
  EXPECT_EQ(other, 0);
  std::string users = root->DeptManager()->DepartmentUsers("D\\");
  std::size_t count = 0;
  for (std::size_t at = 0; (at = users.find("<User ", at)) != std::string::npos; ++at) ++count;
  EXPECT_EQ(count, static_cast<std::size_t>(kAccounts));
}

}  // namespace
}  // namespace norvane
