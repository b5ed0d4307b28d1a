// Several directory servers in LDAPSVRIP, and the warm connections the login checks keep:
// zeltod and slapd as real processes, relays standing for servers that share one port.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "directory/ldap_client.h"
#include "server/auth_service.h"
#include "sync/sync_engine.h"
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

const std::string kAlice = "uid=alice,ou=Sales,o=corp";

class AuthHosts : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { slapd_ = testing::StartSuiteSlapd(); }
  static void TearDownTestSuite() {
    delete slapd_;
    slapd_ = nullptr;
  }

  void SetUp() override {
    ASSERT_NE(slapd_, nullptr);
    ASSERT_TRUE(zeltod_.Start()) << zeltod_.LogText();
    ASSERT_TRUE(testing::AddZeltoUser(zeltod_, kAlice, 3));
  }

  void StartService(const std::string& hosts, int port) {
    AuthConfigSpec settings;
    settings.ldap_host = hosts;
    settings.ldap_port = port;
    settings.admin = slapd_->admin_dn();
    settings.password = slapd_->admin_password();
    ASSERT_TRUE(base_.WriteConfig(settings, zeltod_));
    service_ = std::make_unique<AuthService>(&prompt_);
    ASSERT_EQ(service_->Init(), 1);
    ASSERT_EQ(service_->Start(), 1);
  }

  static testing::Slapd* slapd_;
  AuthBase base_;
  Zeltod zeltod_;
  RecordingPrompt prompt_;
  std::unique_ptr<AuthService> service_;
};

testing::Slapd* AuthHosts::slapd_ = nullptr;

TEST_F(AuthHosts, ChecksAndSyncsUseTheNextServerWhileTheFirstIsDown) {
  testing::Slapd first({.bare = true});
  ASSERT_TRUE(first.Start());
  TcpCounter second_relay(slapd_->port(), "127.0.0.62");
  ASSERT_TRUE(second_relay.ok());
  TcpCounter first_relay(first.port(), "127.0.0.61", second_relay.port());
  ASSERT_TRUE(first_relay.ok());
  first.Stop();
  StartService("127.0.0.61; 127.0.0.62", second_relay.port());

  EXPECT_EQ(Login(zeltod_, kAlice, "alice-pass"), 0);
  EXPECT_EQ(first_relay.connections(), 1);
  EXPECT_TRUE(base_.Logged("目录服务器 127.0.0.61 (127.0.0.61) 端口 " +
                           std::to_string(second_relay.port()) + " 无法连接"));
  EXPECT_TRUE(base_.Logged("由目录服务器 127.0.0.62 (127.0.0.62) 端口 " +
                           std::to_string(second_relay.port()) + " 应答"));

  // The sync connects afresh, and passes over the server that just failed.
  SyncEngine engine;
  ASSERT_NE(engine.EngineInit(), 0);
  EXPECT_NE(engine.SyncOneDC(0), 0);
  EXPECT_EQ(first_relay.connections(), 1);
  EXPECT_GE(second_relay.connections(), 2);
}

TEST_F(AuthHosts, AWarmConnectionIsNotUsedAfterTheDirectoryRestarts) {
  auto relay = std::make_unique<TcpCounter>(slapd_->port());
  ASSERT_TRUE(relay->ok());
  const int port = relay->port();
  StartService("127.0.0.1", port);
  EXPECT_EQ(Login(zeltod_, kAlice, "alice-pass"), 0);
  EXPECT_EQ(Login(zeltod_, kAlice, "bob-pass"), 2);
  EXPECT_EQ(Login(zeltod_, kAlice, "alice-pass"), 0);
  EXPECT_EQ(relay->connections(), 1);  // one warm connection served all three

  relay.reset();  // the directory goes away with every connection to it, and comes back
  relay = std::make_unique<TcpCounter>(slapd_->port(), "127.0.0.1", port);
  ASSERT_TRUE(relay->ok());
  EXPECT_EQ(Login(zeltod_, kAlice, "alice-pass"), 0);
  EXPECT_EQ(Login(zeltod_, kAlice, "alice-pass"), 0);
  EXPECT_EQ(relay->connections(), 1);
}

}  // namespace
}  // namespace norvane
