// Logins of Active Directory accounts end to end: a Samba AD domain controller and zeltod as
// real processes, the authentication service registered with zeltod, logins with zeltoctl.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "directory/ldap_client.h"
#include "server/auth_service.h"
#include "tests/auth/auth_test_support.h"
#include "tests/fixtures/samba_fixture.h"
#include "tests/fixtures/zeltod_fixture.h"

namespace norvane {
namespace {

using testing::AuthBase;
using testing::AuthConfigSpec;
using testing::Login;
using testing::RecordingPrompt;
using testing::SambaDomain;

class AuthSamba : public ::testing::Test {
 protected:
  void SetUp() override {
    dc_ = SambaDomain::Shared();
    ASSERT_NE(dc_, nullptr);
    SetDirectoryCaFile(dc_->ca_file());
    ASSERT_TRUE(zeltod_.Start()) << zeltod_.LogText();
  }
  void TearDown() override { SetDirectoryCaFile(""); }

  void StartService(int allow_dc, int port = 0) {
    AuthConfigSpec settings;
    settings.type = 0;
    settings.ldap_port = port ? port : dc_->port();
    settings.dc = dc_->base_dn();
    settings.admin = dc_->admin_account();
    settings.password = dc_->admin_password();
    settings.allow_dc = allow_dc;
    ASSERT_TRUE(base_.WriteConfig(settings, zeltod_));
    service_ = std::make_unique<AuthService>(&prompt_);
    ASSERT_EQ(service_->Init(), 1);
    ASSERT_EQ(service_->Start(), 1);
  }

  void ExpectNoLineHolds(const std::string& secret) {
    for (const std::string& line : base_.Lines()) {
      EXPECT_EQ(line.find(secret), std::string::npos) << line;
    }
  }

  SambaDomain* dc_ = nullptr;
  AuthBase base_;
  Zeltod zeltod_;
  RecordingPrompt prompt_;
  std::unique_ptr<AuthService> service_;
};

// No directory connection has been made in this process: the check binds in the configured
// naming context's domain.
TEST_F(AuthSamba, AccountsLogInWithTheirDomainPassword) {
  const testing::DirectoryAccount& alice = dc_->User("alice");
  ASSERT_TRUE(testing::AddZeltoUser(zeltod_, "alice", 3));
  ASSERT_TRUE(testing::AddZeltoUser(zeltod_, "eve", 3));  // disabled in the domain
  StartService(1);
  EXPECT_EQ(Login(zeltod_, "alice", alice.password), 0);
  EXPECT_TRUE(base_.Logged("帐号登录='alice'验证通过"));
  EXPECT_EQ(Login(zeltod_, "alice", alice.password + "x"), 2);
  EXPECT_TRUE(base_.Logged(
      "用户帐号:alice登录失败,失败原因:Invalid credentials;其它信息lpsvrIP=" + dc_->host() +
      ":PORT=" + std::to_string(dc_->port()) + ",dc=" + dc_->base_dn()));
  EXPECT_EQ(Login(zeltod_, "alice", ""), 2);
  EXPECT_NE(Login(zeltod_, "eve", dc_->User("eve").password), 0);
  ExpectNoLineHolds(alice.password);
}

TEST_F(AuthSamba, AnUnreachableControllerRefuses) {
  ASSERT_TRUE(testing::AddZeltoUser(zeltod_, "alice", 3));
  int closed_port;
  {
    testing::TcpCounter gone(1);
    closed_port = gone.port();
  }
  StartService(1, closed_port);
  EXPECT_EQ(Login(zeltod_, "alice", dc_->User("alice").password), 1);
}

TEST_F(AuthSamba, WithSeveralDomainsTheAccountNamesItsDomain) {
  ASSERT_TRUE(testing::AddZeltoUser(zeltod_, "bob@" + dc_->dns_domain(), 3));
  ASSERT_TRUE(testing::AddZeltoUser(zeltod_, "bob@CORP.EXAMPLE.COM.invalid", 3));
  StartService(2);
  const std::string& password = dc_->User("bob").password;
  EXPECT_EQ(Login(zeltod_, "bob@" + dc_->dns_domain(), password), 0);
  EXPECT_TRUE(base_.Logged("用户登录IP='" + dc_->host() + "',PORT=" + std::to_string(dc_->port()) +
                           ",account='bob',DN='" + dc_->base_dn() + "'"));
  EXPECT_EQ(Login(zeltod_, "bob@" + dc_->dns_domain(), "nope"), 2);
  // A domain without an entry goes to the system's default server, which is not this one.
  EXPECT_NE(Login(zeltod_, "bob@CORP.EXAMPLE.COM.invalid", password), 0);
  ExpectNoLineHolds(password);
}

}  // namespace
}  // namespace norvane
