// Which directory a login goes to: one configured server, or with AllowDC 2 the server of
// the domain after the account's first '@', and the system's default LDAP server on port
// 389 for a domain without an entry. Two slapd domains and zeltod as real processes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "config/ldap_config.h"
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

// The system's default LDAP server of this process, read by libldap at its first use. Port
// 389 of an address of its own, so nothing else on the machine answers there.
constexpr const char* kDefaultHost = "127.0.0.77";
const bool kDefaultServerSet = [] {
  setenv("LDAPURI", "ldap://127.0.0.77/", 1);
  return true;
}();

const std::string kAlice = "uid=alice,ou=Sales,o=corp";

TEST(AuthRoute, TheDefaultServerIsTheOneOpenLdapNames) {
  ASSERT_TRUE(kDefaultServerSet);
  EXPECT_EQ(DefaultDirectoryHost(), kDefaultHost);
}

TEST(AuthRoute, OneServerUnlessAllowDcIsTwo) {
  SysConfigInfo settings;
  settings.ldap_server_ip = "10.0.0.5";
  settings.ldap_server_port = 1389;
  DcDomainMap map;
  map["east.example"] = DcEntry{"10.0.0.6", 2389, 0, 0, "dc=east,dc=example", "", "", 1};
  for (int allow : {0, 1, 3}) {
    settings.allow_dc = allow;
    AuthRoute r = RouteLogin(settings, map, "bob@east.example");
    EXPECT_FALSE(r.by_domain);
    EXPECT_EQ(r.host, "10.0.0.5");
    EXPECT_EQ(r.port, 1389);
    EXPECT_EQ(r.account, "bob@east.example");  // as given
  }
  settings.allow_dc = 2;
  AuthRoute r = RouteLogin(settings, map, "bob@EAST.Example");
  EXPECT_TRUE(r.by_domain);
  EXPECT_EQ(r.host, "10.0.0.6");
  EXPECT_EQ(r.port, 2389);
  EXPECT_EQ(r.domain, "dc=east,dc=example");
  EXPECT_EQ(r.account, "bob");

  r = RouteLogin(settings, map, "bob@west.example@east.example");  // split at the first '@'
  EXPECT_EQ(r.account, "bob");
  EXPECT_EQ(r.host, kDefaultHost);
  EXPECT_EQ(r.port, 389);
  EXPECT_EQ(r.domain, "DC=west,DC=example@east,DC=example");

  r = RouteLogin(settings, map, "bob");
  EXPECT_EQ(r.account, "bob");
  EXPECT_EQ(r.domain, "");
  EXPECT_EQ(r.host, kDefaultHost);
  EXPECT_EQ(r.port, 389);

  r = RouteLogin(settings, map, "bob@unknown.example");
  EXPECT_EQ(r.domain, "DC=unknown,DC=example");
  EXPECT_EQ(LoginResultOf(0), 0);
  EXPECT_EQ(LoginResultOf(49), 2);
  for (int code : {-18, -19, 1, 32, 34, 50, 51, 52, 81}) EXPECT_EQ(LoginResultOf(code), 1);
}

// Two domains: "east" and "west", each a slapd of its own, each counted; and the default
// server, a relay on 127.0.0.77:389 to the east slapd.
class AuthDomains : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(east_.Start());
    ASSERT_TRUE(west_.Start());
    ASSERT_TRUE(zeltod_.Start()) << zeltod_.LogText();
    east_counter_ = std::make_unique<TcpCounter>(east_.port());
    west_counter_ = std::make_unique<TcpCounter>(west_.port());
    default_counter_ = std::make_unique<TcpCounter>(east_.port(), kDefaultHost, 389);
    ASSERT_TRUE(east_counter_->ok() && west_counter_->ok());
    AuthConfigSpec settings;
    settings.type = 1;
    settings.allow_dc = 2;
    settings.ldap_port = 1;  // never used with AllowDC 2
    settings.admin = east_.admin_dn();
    settings.password = east_.admin_password();
    settings.children = {{"dc=east,dc=example", east_counter_->port()},
                         {"dc=west,dc=example", west_counter_->port()}};
    ASSERT_TRUE(base_.WriteConfig(settings, zeltod_));
    // West's alice has a password of her own, so a check at the wrong server fails.
    ASSERT_TRUE(west_.Modify("dn: " + kAlice +
                             "\nchangetype: modify\nreplace: userPassword\nuserPassword: "
                             "west-pass\n"));
    service_ = std::make_unique<AuthService>(&prompt_);
    ASSERT_EQ(service_->Init(), 1);
    ASSERT_EQ(service_->Start(), 1);
  }

  int Check(const std::string& account, const std::string& password) {
    EXPECT_TRUE(testing::AddZeltoUser(zeltod_, account, 3)) << account;
    return Login(zeltod_, account, password);
  }

  testing::Slapd east_, west_;
  AuthBase base_;
  Zeltod zeltod_;
  std::unique_ptr<TcpCounter> east_counter_, west_counter_, default_counter_;
  RecordingPrompt prompt_;
  std::unique_ptr<AuthService> service_;
};

TEST_F(AuthDomains, EachAccountIsCheckedAtItsOwnDomainsServer) {
  EXPECT_EQ(Check(kAlice + "@east.example", "alice-pass"), 0);
  EXPECT_EQ(east_counter_->connections(), 1);
  EXPECT_EQ(west_counter_->connections(), 0);
  EXPECT_EQ(Check(kAlice + "@WEST.Example", "west-pass"), 0);  // the domain ignores case
  EXPECT_EQ(west_counter_->connections(), 1);
  // Each server's warm connection serves its next checks.
  EXPECT_EQ(Login(zeltod_, kAlice + "@west.example", "alice-pass"), 2);
  EXPECT_EQ(Login(zeltod_, kAlice + "@east.example", "west-pass"), 2);
  EXPECT_EQ(east_counter_->connections(), 1);
  EXPECT_EQ(west_counter_->connections(), 1);
}

TEST_F(AuthDomains, UnknownDomainsAndBareNamesGoToTheDefaultServer) {
  if (!default_counter_->ok()) GTEST_SKIP() << "cannot listen on 127.0.0.77:389 here";
  EXPECT_EQ(Check(kAlice, "alice-pass"), 0);
  EXPECT_EQ(default_counter_->connections(), 1);
  EXPECT_EQ(Check(kAlice + "@north.example", "alice-pass"), 0);
  // Split at the first '@': the domain is "west.example@east.example", which has no entry.
  EXPECT_EQ(Check(kAlice + "@west.example@east.example", "alice-pass"), 0);
  EXPECT_EQ(default_counter_->connections(), 1);  // its warm connection served all three
  EXPECT_EQ(east_counter_->connections(), 0);
  EXPECT_EQ(west_counter_->connections(), 0);
}

}  // namespace
}  // namespace norvane
