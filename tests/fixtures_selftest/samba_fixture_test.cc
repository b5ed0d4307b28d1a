// The Samba fixture gives a domain controller that behaves like Active Directory where the
// directory tests look: TLS binds, StartTLS, account control flags, update sequence numbers,
// the seeded objects, and changes made between runs.
#include "tests/fixtures/samba_fixture.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <ldap.h>
#include <signal.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

#include "tests/fixtures_selftest/ldap_probe.h"

namespace norvane::testing {
namespace {

std::string First(const ProbeSearch& s, const std::string& attr) {
  if (s.entries.empty()) return "";
  auto it = s.entries[0].values.find(attr);
  return it == s.entries[0].values.end() || it->second.empty() ? "" : it->second[0];
}

class SambaFixtureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dc_ = SambaDomain::Shared();
    ASSERT_NE(dc_, nullptr);
  }
  std::string Ldaps() const {
    return "ldaps://" + dc_->host() + ":" + std::to_string(dc_->ldaps_port());
  }
  std::string Plain() const { return "ldap://" + dc_->host() + ":" + std::to_string(dc_->port()); }
  // An LDAPS connection bound as Administrator.
  std::unique_ptr<LdapProbe> Admin() {
    auto probe = std::make_unique<LdapProbe>(Ldaps(), dc_->ca_file());
    EXPECT_EQ(probe->SimpleBind(dc_->admin_upn(), dc_->admin_password()), LDAP_SUCCESS);
    return probe;
  }
  SambaDomain* dc_ = nullptr;
};

TEST_F(SambaFixtureTest, LdapsBindsAsSeededUsersWithTheCertificateVerified) {
  const DirectoryAccount& alice = dc_->User("alice");
  LdapProbe upn(Ldaps(), dc_->ca_file());
  EXPECT_EQ(upn.SimpleBind("alice@" + dc_->dns_domain(), alice.password), LDAP_SUCCESS);
  const DirectoryAccount& smith = dc_->User("jsmith");
  LdapProbe by_dn(Ldaps(), dc_->ca_file());
  EXPECT_EQ(by_dn.SimpleBind(smith.dn, smith.password), LDAP_SUCCESS);
  const DirectoryAccount& zhang = dc_->User("zhangwei");
  LdapProbe chinese(Ldaps(), dc_->ca_file());
  EXPECT_EQ(chinese.SimpleBind(zhang.dn, zhang.password), LDAP_SUCCESS);
  LdapProbe wrong(Ldaps(), dc_->ca_file());
  EXPECT_EQ(wrong.SimpleBind("alice@" + dc_->dns_domain(), "Wrong#Pass1"),
            LDAP_INVALID_CREDENTIALS);
}

// Samba accepts StartTLS on 389 but does not list it (its root DSE has no
// supportedExtension at all), so a client has to try it rather than look for it.
TEST_F(SambaFixtureTest, PlainPortTakesStartTlsAndRefusesCleartextBinds) {
  LdapProbe cleartext(Plain());
  EXPECT_EQ(cleartext.SimpleBind(dc_->admin_upn(), dc_->admin_password()),
            LDAP_STRONG_AUTH_REQUIRED);
  LdapProbe tls(Plain(), dc_->ca_file());
  ASSERT_EQ(tls.StartTls(), LDAP_SUCCESS);
  EXPECT_EQ(tls.SimpleBind(dc_->admin_upn(), dc_->admin_password()), LDAP_SUCCESS);
  EXPECT_EQ(tls.Search(dc_->base_dn(), "(sAMAccountName=alice)", {"cn"}).entries.size(), 1u);
}

TEST_F(SambaFixtureTest, AccountControlMarksDisabledAndWorkstationAccounts) {
  auto admin = Admin();
  const DirectoryAccount& eve = dc_->User("eve");
  EXPECT_EQ(eve.user_account_control, 514);
  EXPECT_EQ(First(admin->Search(dc_->base_dn(), "(sAMAccountName=eve)", {"userAccountControl"}),
                  "useraccountcontrol"),
            "514");
  LdapProbe disabled(Ldaps(), dc_->ca_file());
  EXPECT_EQ(disabled.SimpleBind(eve.dn, eve.password), LDAP_INVALID_CREDENTIALS);
  EXPECT_EQ(First(admin->Search(dc_->base_dn(), "(sAMAccountName=alice)", {"userAccountControl"}),
                  "useraccountcontrol"),
            "512");
  ProbeSearch ws = admin->Search(dc_->base_dn(), "(sAMAccountName=WS01$)", {"userAccountControl"});
  ASSERT_EQ(ws.entries.size(), 1u);
  EXPECT_EQ(ws.entries[0].dn, "CN=WS01,OU=Machines," + dc_->base_dn());
  EXPECT_NE(std::atoi(First(ws, "useraccountcontrol").c_str()) & 0x1000, 0);
}

TEST_F(SambaFixtureTest, SeedHoldsNestedOusEscapedCommasAndNestedGroups) {
  auto admin = Admin();
  ProbeSearch smith = admin->Search(dc_->base_dn(), "(sAMAccountName=jsmith)", {"cn"});
  ASSERT_EQ(smith.entries.size(), 1u);
  EXPECT_EQ(smith.entries[0].dn, "CN=Smith\\, John,OU=Sales,OU=Corp," + dc_->base_dn());
  EXPECT_EQ(First(smith, "cn"), "Smith, John");

  ProbeSearch storage = admin->Search(dc_->base_dn(), "(ou=Storage)", {"ou"});
  ASSERT_EQ(storage.entries.size(), 1u);
  EXPECT_EQ(storage.entries[0].dn,
            "OU=Storage,OU=Platform,OU=Engineering,OU=Corp," + dc_->base_dn());

  ProbeSearch team = admin->Search(dc_->base_dn(), "(cn=Storage Team)", {"memberOf", "groupType"});
  EXPECT_EQ(First(team, "memberof"), "CN=Engineers,OU=Groups," + dc_->base_dn());
  ProbeSearch distribution = admin->Search(dc_->base_dn(), "(cn=All Staff)", {"groupType"});
  EXPECT_EQ(First(distribution, "grouptype"), "2");
  ProbeSearch chinese = admin->Search(dc_->base_dn(), "(cn=李娜)", {"sAMAccountName"});
  EXPECT_EQ(First(chinese, "samaccountname"), "lina");
}

TEST_F(SambaFixtureTest, ChangesRaiseTheHighestCommittedUsnAndSeedRestores) {
  LdapProbe anonymous(Plain());
  auto usn = [&] {
    return std::strtoll(
        First(anonymous.RootDse({"highestCommittedUSN"}), "highestcommittedusn").c_str(), nullptr,
        10);
  };
  const long long before = usn();
  ASSERT_GT(before, 0);
  const DirectoryAccount& dave = dc_->User("dave");
  ASSERT_TRUE(
      dc_->Modify("dn: " + dave.dn + "\nchangetype: modify\nreplace: title\ntitle: Lead\n"));
  const long long after = usn();
  EXPECT_GT(after, before);

  auto admin = Admin();
  ASSERT_TRUE(dc_->Modify("dn: " + dave.dn + "\nchangetype: delete\n"));
  EXPECT_TRUE(admin->Search(dc_->base_dn(), "(sAMAccountName=dave)", {"cn"}).entries.empty());
  ASSERT_TRUE(dc_->Seed());
  ProbeSearch back = admin->Search(dc_->base_dn(), "(sAMAccountName=dave)", {"userAccountControl"});
  ASSERT_EQ(back.entries.size(), 1u);
  EXPECT_EQ(First(back, "useraccountcontrol"), "512");
  LdapProbe bind(Ldaps(), dc_->ca_file());
  EXPECT_EQ(bind.SimpleBind(dave.dn, dave.password), LDAP_SUCCESS);
}

TEST_F(SambaFixtureTest, ModifyReportsFailure) {
  bool ok = true;
  const std::string ldif = "dn: CN=Nobody,OU=Nowhere," + dc_->base_dn() + "\nchangetype: delete\n";
  EXPECT_NONFATAL_FAILURE(ok = dc_->Modify(ldif), "ldapmodify against Samba failed");
  EXPECT_FALSE(ok);
}

// A test binary that died without stopping its domain leaves samba running; the next start
// must replace it rather than fail on the taken port or talk to the stale copy.
TEST(SambaRecoveryTest, StartReplacesADomainLeftRunning) {
  SambaDomain* shared = SambaDomain::Shared();
  ASSERT_NE(shared, nullptr);
  shared->Stop();
  ScriptResult orphan = RunScript({"bash", std::string(NORVANE_FIXTURES_DIR) + "/samba.sh", "start",
                                   NORVANE_FIXTURES_STATE_DIR},
                                  "", std::chrono::seconds(300));
  ASSERT_EQ(orphan.exit_code, 0) << orphan.errors;
  const int stale = std::atoi(ParseFacts(orphan.output)["PID"].c_str());
  ASSERT_GT(stale, 0);
  {
    SambaDomain fresh;
    ASSERT_TRUE(fresh.Start());
    EXPECT_NE(fresh.pid(), stale);
    EXPECT_NE(::kill(stale, 0), 0) << "the stale samba " << stale << " still runs";
    LdapProbe probe("ldaps://127.0.0.1:636", fresh.ca_file());
    EXPECT_EQ(probe.SimpleBind(fresh.admin_upn(), fresh.admin_password()), LDAP_SUCCESS);
  }
  EXPECT_NE(SambaDomain::Shared(), nullptr);  // later tests get a domain again
}

}  // namespace
}  // namespace norvane::testing
