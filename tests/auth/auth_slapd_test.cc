// Logins of directory-authenticated accounts end to end: zeltod and slapd as real
// processes, the authentication service registered with zeltod, logins made with zeltoctl.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "server/auth_service.h"
#include "tests/auth/auth_test_support.h"
#include "tests/fixtures/slapd_fixture.h"
#include "tests/fixtures/zeltod_fixture.h"

namespace norvane {
namespace {

using testing::AuthBase;
using testing::AuthConfigSpec;
using testing::Login;
using testing::RecordingPrompt;
using testing::TcpCounter;

// Type 1 binds with the account as given; most IM accounts of these tests are DNs.
const std::string kAlice = "uid=alice,ou=Sales,o=corp";
const std::string kBob = "uid=bob,ou=East,ou=Sales,o=corp";

class AuthSlapd : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { slapd_ = testing::StartSuiteSlapd(); }
  static void TearDownTestSuite() {
    delete slapd_;
    slapd_ = nullptr;
  }

  void SetUp() override {
    ASSERT_NE(slapd_, nullptr);
    ASSERT_TRUE(zeltod_.Start()) << zeltod_.LogText();
    counter_ = std::make_unique<TcpCounter>(slapd_->port());
    ASSERT_TRUE(counter_->ok());
  }

  // Writes the configuration for `type` against the counted slapd and starts the service.
  void StartService(int type, int ldap_port = 0, int lockout_shield = 0) {
    AuthConfigSpec settings;
    settings.lockout_shield = lockout_shield;
    settings.type = type;
    settings.ldap_port = ldap_port ? ldap_port : counter_->port();
    if (type == 2) {
      settings.dc = "o=nds";
      settings.admin = slapd_->nds_admin_uid();
      settings.password = slapd_->nds_admin_password();
    } else {
      settings.dc = "o=corp";
      settings.admin = slapd_->admin_dn();
      settings.password = slapd_->admin_password();
    }
    ASSERT_TRUE(base_.WriteConfig(settings, zeltod_));
    service_ = std::make_unique<AuthService>(&prompt_);
    ASSERT_EQ(service_->Init(), 1);
    ASSERT_EQ(service_->Start(), 1);
    EXPECT_TRUE(base_.Logged("第三方认证初始化成功"));
    EXPECT_TRUE(base_.Logged("第三方认证应用启动成功"));
    EXPECT_TRUE(prompt_.Texts().empty());
  }

  void ExpectNoLineHolds(const std::string& secret) {
    for (const std::string& line : base_.Lines()) {
      EXPECT_EQ(line.find(secret), std::string::npos) << line;
    }
  }

  static testing::Slapd* slapd_;
  AuthBase base_;
  Zeltod zeltod_;
  std::unique_ptr<TcpCounter> counter_;
  RecordingPrompt prompt_;
  std::unique_ptr<AuthService> service_;
};

testing::Slapd* AuthSlapd::slapd_ = nullptr;

TEST_F(AuthSlapd, DominoAccountsLogInWithTheirDirectoryPassword) {
  ASSERT_TRUE(testing::AddZeltoUser(zeltod_, kAlice, 3));
  ASSERT_TRUE(testing::AddZeltoUser(zeltod_, "local.user", 0, "zelto-pass"));
  StartService(1);

  EXPECT_EQ(Login(zeltod_, kAlice, "alice-pass"), 0);
  EXPECT_TRUE(base_.Logged("帐号登录='" + kAlice + "'验证通过"));
  EXPECT_EQ(Login(zeltod_, kAlice, "bob-pass"), 2);
  EXPECT_EQ(Login(zeltod_, "UID=ALICE,OU=SALES,O=CORP", "alice-pass"), 0);
  // One warm connection serves every check.
  const int binds = counter_->connections();
  EXPECT_EQ(binds, 1);

  // An empty password never reaches the directory: it would be an anonymous bind.
  EXPECT_EQ(Login(zeltod_, kAlice, ""), 2);
  EXPECT_EQ(counter_->connections(), binds);

  // Local accounts keep their IM password and never cause directory traffic.
  EXPECT_EQ(Login(zeltod_, "local.user", "zelto-pass"), 0);
  EXPECT_EQ(Login(zeltod_, "local.user", "alice-pass"), 2);
  EXPECT_EQ(counter_->connections(), binds);

  ExpectNoLineHolds("alice-pass");
  ExpectNoLineHolds("bob-pass");
}

// slapd refuses a bare account name as bind DN: the account is found by its mapped uid
// attribute and bound as that entry, with the name matched literally.
TEST_F(AuthSlapd, AccountNamesThatAreNoDnAreLookedUpThenBound) {
  for (const char* account : {"alice", "nobody", "al*", "*", "alice)(uid=*"}) {
    ASSERT_TRUE(testing::AddZeltoUser(zeltod_, account, 3)) << account;
  }
  StartService(1);
  EXPECT_EQ(Login(zeltod_, "alice", "alice-pass"), 0);
  EXPECT_EQ(Login(zeltod_, "alice", "bob-pass"), 2);
  EXPECT_EQ(Login(zeltod_, "nobody", "alice-pass"), 2);
  EXPECT_EQ(base_.Count("用户帐号:nobody登录失败"), 1);
  // Unescaped, "al*" would find alice and "*" every account.
  EXPECT_EQ(Login(zeltod_, "al*", "alice-pass"), 2);
  EXPECT_EQ(Login(zeltod_, "*", "alice-pass"), 2);
  EXPECT_EQ(Login(zeltod_, "alice)(uid=*", "alice-pass"), 2);
  EXPECT_TRUE(base_.Logged("用户帐号:al*登录失败,失败原因:目录中uid为该帐号的条目不存在"));
  ExpectNoLineHolds("alice-pass");
  ExpectNoLineHolds("bob-pass");
}

// Outside Active Directory the lockout rule is ManageSync's: at LockoutShield="3" an account
// may have two refused binds; a password refused before is not bound again.
TEST_F(AuthSlapd, WrongPasswordsStopShortOfTheConfiguredLockoutThreshold) {
  ASSERT_TRUE(testing::AddZeltoUser(zeltod_, kBob, 3));
  StartService(1, 0, 3);
  EXPECT_EQ(Login(zeltod_, kBob, "stale-pass"), 2);
  EXPECT_EQ(Login(zeltod_, kBob, "stale-pass"), 2);
  EXPECT_EQ(Login(zeltod_, kBob, "other-pass"), 2);
  EXPECT_EQ(base_.Count("帐号'" + kBob + "'在15分钟内已有2次密码错误(目录在3次时锁定帐号)"), 1);
  EXPECT_EQ(Login(zeltod_, kBob, "third-pass"), 1);
  EXPECT_EQ(Login(zeltod_, kBob, "bob-pass"), 1);
  EXPECT_EQ(base_.Count("Invalid credentials"), 2);  // the binds the directory saw refused
  ExpectNoLineHolds("stale-pass");
}

TEST_F(AuthSlapd, AnAccountTheApplicationDoesNotServeIsRefusedWithoutDirectoryTraffic) {
  ASSERT_TRUE(testing::AddZeltoUser(zeltod_, kAlice, 0, "zelto-pass"));
  StartService(1);
  int result = -1;
  service_->Verify(kAlice, "alice-pass", &result);  // account query: false (type 0)
  EXPECT_EQ(result, 1);
  result = -1;
  service_->Verify("uid=nobody,o=corp", "x", &result);  // unknown to the server
  EXPECT_EQ(result, 1);
  EXPECT_EQ(counter_->connections(), 0);
  service_->Verify(kAlice, "alice-pass", nullptr);  // no result to write: nothing happens
  EXPECT_EQ(counter_->connections(), 0);
}

TEST_F(AuthSlapd, NdsAccountsAreLookedUpThenBound) {
  ASSERT_TRUE(testing::AddZeltoUser(zeltod_, "jdoe", 3));
  ASSERT_TRUE(testing::AddZeltoUser(zeltod_, "nobody", 3));
  StartService(2);
  EXPECT_EQ(Login(zeltod_, "jdoe", "jdoe-pass"), 0);
  EXPECT_EQ(Login(zeltod_, "jdoe", "wrong-pass"), 2);
  EXPECT_EQ(Login(zeltod_, "jdoe", ""), 2);
  // The directory holds no such account: no DN, so no bind can accept it.
  EXPECT_EQ(Login(zeltod_, "nobody", "jdoe-pass"), 2);
  ExpectNoLineHolds("jdoe-pass");
  ExpectNoLineHolds(slapd_->nds_admin_password());
}

TEST_F(AuthSlapd, AnUnreachableDirectoryRefuses) {
  ASSERT_TRUE(testing::AddZeltoUser(zeltod_, kAlice, 3));
  int closed_port;
  {
    TcpCounter gone(1);
    closed_port = gone.port();
  }
  StartService(1, closed_port);
  EXPECT_EQ(Login(zeltod_, kAlice, "alice-pass"), 1);

  // NDS: the account's DN cannot be looked up either, which is still no wrong password.
  ASSERT_TRUE(testing::AddZeltoUser(zeltod_, "jdoe", 3));
  StartService(2, closed_port);
  EXPECT_EQ(Login(zeltod_, "jdoe", "jdoe-pass"), 1);
}

TEST_F(AuthSlapd, StartTwiceAndStopWhenNotStartedReportSuccessWithTheirMessages) {
  ASSERT_TRUE(testing::AddZeltoUser(zeltod_, kAlice, 3));
  StartService(1);
  EXPECT_EQ(service_->Start(), 1);
  EXPECT_EQ(prompt_.Texts(), std::vector<std::string>{"第三方认证应用认证系统已启动!"});
  EXPECT_EQ(Login(zeltod_, kAlice, "alice-pass"), 0);

  prompt_.Clear();
  EXPECT_EQ(service_->Stop(), 1);
  EXPECT_TRUE(prompt_.Texts().empty());
  EXPECT_EQ(service_->Stopped(), 1);
  EXPECT_EQ(Login(zeltod_, kAlice, "alice-pass"), 1);  // nobody answers for the account

  EXPECT_EQ(service_->Stop(), 1);
  EXPECT_EQ(prompt_.Texts(), std::vector<std::string>{"应用未启动"});

  // Stopped is the initialised state: Start works again without a new Init.
  prompt_.Clear();
  EXPECT_EQ(service_->Init(), 1);
  EXPECT_EQ(service_->Start(), 1);
  EXPECT_TRUE(prompt_.Texts().empty());
  EXPECT_EQ(Login(zeltod_, kAlice, "alice-pass"), 0);
}

TEST_F(AuthSlapd, TheApplicationStoppedEventReleasesTheService) {
  ASSERT_TRUE(testing::AddZeltoUser(zeltod_, kBob, 3));
  StartService(1);
  EXPECT_EQ(Login(zeltod_, kBob, "bob-pass"), 0);
  ASSERT_EQ(zeltod_.Ctl({"stop-app"}), 0);
  for (int i = 0; i < 100 && service_->Initialised(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_FALSE(service_->Initialised());
  EXPECT_EQ(service_->Stopped(), 1);
  EXPECT_EQ(Login(zeltod_, kBob, "bob-pass"), 1);
  int result = -1;
  service_->Verify(kBob, "bob-pass", &result);  // released: answered at once
  EXPECT_EQ(result, 1);

  // The watchdog's way back: Init and Start again.
  EXPECT_EQ(service_->Init(), 1);
  EXPECT_EQ(service_->Start(), 1);
  EXPECT_EQ(Login(zeltod_, kBob, "bob-pass"), 0);
}

TEST_F(AuthSlapd, StartFailsWhileTheServerIsDownAndWorksOnceItIsBack) {
  ASSERT_TRUE(testing::AddZeltoUser(zeltod_, kAlice, 3));
  AuthConfigSpec settings;
  settings.ldap_port = counter_->port();
  ASSERT_TRUE(base_.WriteConfig(settings, zeltod_));
  ASSERT_TRUE(zeltod_.Stop());
  AuthService service(&prompt_);
  ASSERT_EQ(service.Init(), 1);  // making the objects does not reach the server
  EXPECT_EQ(service.Start(), 0);
  EXPECT_EQ(prompt_.Texts(), std::vector<std::string>{"启动第三方认证应用失败!"});
  EXPECT_TRUE(base_.Logged("发生错误!"));
  EXPECT_EQ(service.Stopped(), 1);

  ASSERT_TRUE(zeltod_.Start());
  // As the watchdog does: try again until the server answers (its channel may still be
  // waiting to reconnect for a moment).
  int started = 0;
  for (int i = 0; i < 40 && !started; ++i) {
    started = service.Start();
    if (!started) std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
  EXPECT_EQ(started, 1);
  EXPECT_EQ(Login(zeltod_, kAlice, "alice-pass"), 0);
}

TEST_F(AuthSlapd, AStartAfterAStopThatFailedWithoutAnEventConnectionStartsAgain) {
  ASSERT_TRUE(testing::AddZeltoUser(zeltod_, kAlice, 3));
  StartService(1);
  // A server that does not answer: the event connection is closed, the stop call times out.
  ASSERT_EQ(kill(zeltod_.Pid(), SIGSTOP), 0);
  EXPECT_EQ(service_->Stop(), 0);
  ASSERT_EQ(kill(zeltod_.Pid(), SIGCONT), 0);
  EXPECT_EQ(service_->Stopped(), 0);
  EXPECT_FALSE(service_->Listening());

  prompt_.Clear();
  EXPECT_EQ(service_->Start(), 1);
  EXPECT_TRUE(service_->Listening());
  EXPECT_EQ(prompt_.Texts(), std::vector<std::string>{});  // not "already started"
  EXPECT_EQ(Login(zeltod_, kAlice, "alice-pass"), 0);
}

TEST_F(AuthSlapd, InitFailsWithoutAUsableSdkAddressAndHoldsNothing) {
  AuthConfigSpec settings;
  settings.ldap_port = counter_->port();
  ASSERT_TRUE(base_.WriteConfig(settings, zeltod_));
  // No configuration file at all: no SDK address.
  ASSERT_EQ(std::remove((base_.dir() + "/LdapConfig.xml").c_str()), 0);
  AuthService service(&prompt_);
  EXPECT_EQ(service.Init(), 0);
  EXPECT_FALSE(service.Initialised());
  EXPECT_FALSE(base_.Logged("第三方认证初始化成功"));
  EXPECT_EQ(service.Start(), 0);
  EXPECT_EQ(service.Stopped(), 1);
}

}  // namespace
}  // namespace norvane
