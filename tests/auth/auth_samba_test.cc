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

// unicodePwd: the quoted password in UTF-16LE, base64 (ASCII passwords only).
std::string UnicodePwd(const std::string& password) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string wide;
  for (char c : "\"" + password + "\"") {
    wide += c;
    wide += '\0';
  }
  std::string out;
  for (std::size_t i = 0; i < wide.size(); i += 3) {
    unsigned n = static_cast<unsigned char>(wide[i]) << 16;
    if (i + 1 < wide.size()) n |= static_cast<unsigned char>(wide[i + 1]) << 8;
    if (i + 2 < wide.size()) n |= static_cast<unsigned char>(wide[i + 2]);
    out += kAlphabet[(n >> 18) & 63];
    out += kAlphabet[(n >> 12) & 63];
    out += i + 1 < wide.size() ? kAlphabet[(n >> 6) & 63] : '=';
    out += i + 2 < wide.size() ? kAlphabet[n & 63] : '=';
  }
  return out;
}

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
      "用户帐号:alice登录失败,失败原因:密码错误 (Invalid credentials, data 52e);其它信息lpsvrIP=" +
      dc_->host() + ":PORT=" + std::to_string(dc_->port()) + ",dc=" + dc_->base_dn()));
  EXPECT_EQ(Login(zeltod_, "alice", ""), 2);
  // Disabled is said as such, and is no wrong password to the user.
  EXPECT_EQ(Login(zeltod_, "eve", dc_->User("eve").password), 1);
  EXPECT_TRUE(base_.Logged("用户帐号:eve登录失败,失败原因:帐号已被禁用"));
  EXPECT_TRUE(base_.Logged("帐号登录='eve'验证未通过: 帐号已被禁用"));
  ExpectNoLineHolds(alice.password);
}

// With the domain locking an account at 3 wrong passwords, a phone retrying an old password
// and a user trying three others through the IM server leave the account usable.
TEST_F(AuthSamba, WrongPasswordsNeverLockTheAccount) {
  const std::string dn = "CN=shield,OU=Corp," + dc_->base_dn();
  const std::string password = "Shield-pass-1";
  ASSERT_TRUE(dc_->Modify("dn: " + dn +
                          "\nchangetype: add\nobjectClass: user\nsAMAccountName: shield\n"
                          "unicodePwd:: " +
                          UnicodePwd(password) + "\nuserAccountControl: 512\n"));
  ASSERT_TRUE(
      dc_->Modify("dn: " + dc_->base_dn() +
                  "\nchangetype: modify\nreplace: lockoutThreshold\nlockoutThreshold: 3\n"));
  struct Restore {
    SambaDomain* dc;
    std::string dn;
    ~Restore() {
      EXPECT_TRUE(dc->Modify("dn: " + dc->base_dn() +
                             "\nchangetype: modify\nreplace: lockoutThreshold\n"
                             "lockoutThreshold: 0\n"));
      EXPECT_TRUE(dc->Modify("dn: " + dn + "\nchangetype: delete\n"));
    }
  } restore{dc_, dn};
  ASSERT_TRUE(testing::AddZeltoUser(zeltod_, "shield", 3));
  StartService(1);

  for (int i = 0; i < 5; ++i) EXPECT_EQ(Login(zeltod_, "shield", "Old-pass-9"), 2) << i;
  // The first of three new wrong passwords is the last bind the domain may see.
  EXPECT_EQ(Login(zeltod_, "shield", "Wrong-pass-1"), 2);
  EXPECT_EQ(base_.Count("帐号'shield'在"), 1);
  EXPECT_EQ(Login(zeltod_, "shield", "Wrong-pass-2"), 1);
  EXPECT_EQ(Login(zeltod_, "shield", "Wrong-pass-3"), 1);
  EXPECT_EQ(Login(zeltod_, "shield", password), 1);  // held until the window has passed
  EXPECT_EQ(base_.Count("用户帐号:shield登录失败"), 2);

  LdapServerParams direct;
  direct.server_ip = dc_->host();
  direct.server_port = static_cast<std::uint16_t>(dc_->port());
  direct.domain_name = dc_->base_dn();
  direct.admin_account = "shield";
  direct.admin_password = password;
  CLdapClient client;
  ASSERT_TRUE(SelectLibrary(0));
  LdapConnection* connection = client.Connect(direct);
  EXPECT_NE(connection, nullptr) << "the account was locked";
  client.Disconnect(connection);
  ExpectNoLineHolds("Old-pass-9");
  ExpectNoLineHolds("Wrong-pass-");
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
