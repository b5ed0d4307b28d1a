// The slapd fixture gives what the directory tests rely on: both binds, both trees, more
// entries than the size limit, changes between runs, and servers that do not outlive Stop().
#include "tests/fixtures/slapd_fixture.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <ldap.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>

#include "tests/fixtures_selftest/ldap_probe.h"

namespace norvane::testing {
namespace {

bool HasDn(const ProbeSearch& s, const std::string& dn) {
  return std::any_of(s.entries.begin(), s.entries.end(), [&](const ProbeEntry& e) {
    return strcasecmp(e.dn.c_str(), dn.c_str()) == 0;
  });
}

class SlapdFixtureTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    slapd_ = new Slapd();
    ASSERT_TRUE(slapd_->Start());
  }
  static void TearDownTestSuite() {
    delete slapd_;
    slapd_ = nullptr;
  }
  void SetUp() override {
    if (!slapd_ || !slapd_->running()) GTEST_SKIP() << "slapd did not start";
  }
  static Slapd* slapd_;
};
Slapd* SlapdFixtureTest::slapd_ = nullptr;

TEST_F(SlapdFixtureTest, SimpleBindsAcceptRightAndRefuseWrongPasswords) {
  LdapProbe admin(slapd_->uri());
  EXPECT_EQ(admin.SimpleBind(slapd_->admin_dn(), slapd_->admin_password()), LDAP_SUCCESS);
  const DirectoryAccount& alice = slapd_->User("alice");
  LdapProbe user(slapd_->uri());
  EXPECT_EQ(user.SimpleBind(alice.dn, alice.password), LDAP_SUCCESS);
  LdapProbe wrong(slapd_->uri());
  EXPECT_EQ(wrong.SimpleBind(alice.dn, alice.password + "x"), LDAP_INVALID_CREDENTIALS);
  const DirectoryAccount& nds = slapd_->User("jsmith");
  LdapProbe nds_user(slapd_->uri());
  EXPECT_EQ(nds_user.SimpleBind(nds.dn, nds.password), LDAP_SUCCESS);
}

TEST_F(SlapdFixtureTest, DigestMd5ResolvesNamesInEitherTree) {
  LdapProbe corp(slapd_->uri());
  ASSERT_EQ(corp.DigestBind("alice", slapd_->User("alice").password), LDAP_SUCCESS);
  EXPECT_EQ(corp.WhoAmI(), "dn:uid=alice,ou=sales,o=corp");

  LdapProbe nds(slapd_->uri());
  ASSERT_EQ(nds.DigestBind(slapd_->nds_admin_uid(), slapd_->nds_admin_password()), LDAP_SUCCESS);
  EXPECT_EQ(nds.WhoAmI(), "dn:cn=admin,o=nds");

  LdapProbe admin(slapd_->uri());
  EXPECT_EQ(admin.DigestBind(slapd_->admin_uid(), slapd_->admin_password()), LDAP_SUCCESS);

  // A bind DN as the digest user name, as a client configured with the admin's DN sends it.
  LdapProbe by_dn(slapd_->uri());
  ASSERT_EQ(by_dn.DigestBind(slapd_->nds_admin_dn(), slapd_->nds_admin_password()), LDAP_SUCCESS);
  EXPECT_EQ(by_dn.WhoAmI(), "dn:cn=admin,o=nds");
  for (const char* account : {"jsmith", "wangfang", "zhangwei"}) {
    const DirectoryAccount& u = slapd_->User(account);
    LdapProbe probe(slapd_->uri());
    EXPECT_EQ(probe.DigestBind(u.dn, u.password), LDAP_SUCCESS) << u.dn;
  }

  LdapProbe wrong(slapd_->uri());
  EXPECT_EQ(wrong.DigestBind("alice", "not-her-password"), LDAP_INVALID_CREDENTIALS);
  LdapProbe unknown(slapd_->uri());
  EXPECT_EQ(unknown.DigestBind("cn=nobody,o=nds", "x"), LDAP_INVALID_CREDENTIALS);
}

TEST_F(SlapdFixtureTest, PlainSearchHitsTheSizeLimitAndPagingReadsEverything) {
  LdapProbe admin(slapd_->uri());
  ASSERT_EQ(admin.SimpleBind(slapd_->admin_dn(), slapd_->admin_password()), LDAP_SUCCESS);
  const std::string users = "(&(|(objectClass=user)(objectClass=person))(uid=*))";
  ProbeSearch plain = admin.Search(std::string(Slapd::kCorpBase), users, {"uid"});
  EXPECT_EQ(plain.code, LDAP_SIZELIMIT_EXCEEDED);
  EXPECT_EQ(plain.entries.size(), 500u);
  ProbeSearch paged = admin.Search(std::string(Slapd::kCorpBase), users, {"uid"}, 200);
  EXPECT_EQ(paged.code, LDAP_SUCCESS);
  EXPECT_EQ(paged.entries.size(), 606u);  // 600 staff and 6 named users
}

TEST_F(SlapdFixtureTest, TreesHoldTheirGroupKindsChineseNamesAndEscapedCommas) {
  LdapProbe admin(slapd_->uri());
  ASSERT_EQ(admin.SimpleBind(slapd_->admin_dn(), slapd_->admin_password()), LDAP_SUCCESS);
  ProbeSearch names = admin.Search("o=corp", "(objectClass=groupOfNames)", {"member"});
  ASSERT_EQ(names.code, LDAP_SUCCESS);
  EXPECT_EQ(names.entries.size(), 4u);
  EXPECT_TRUE(HasDn(names, "cn=项目组,ou=Groups,o=corp"));
  ProbeSearch unique = admin.Search("o=nds", "(cn=Everyone)", {"uniqueMember"});
  ASSERT_EQ(unique.entries.size(), 1u);
  EXPECT_EQ(unique.entries[0].values["uniquemember"].size(), 2u);

  ProbeSearch chinese = admin.Search("o=corp", "(cn=张伟)", {"uid"});
  ASSERT_EQ(chinese.entries.size(), 1u);
  EXPECT_EQ(chinese.entries[0].dn, "uid=zhangwei,ou=销售二部,ou=Sales,o=corp");

  ProbeSearch comma = admin.Search("o=nds", "(uid=jsmith)", {"cn"});
  ASSERT_EQ(comma.entries.size(), 1u);
  EXPECT_EQ(comma.entries[0].dn, "cn=Smith\\2C John,ou=IT,ou=HQ,o=nds");
  EXPECT_EQ(comma.entries[0].values["cn"], std::vector<std::string>{"Smith, John"});
}

TEST_F(SlapdFixtureTest, ModifyAddsRenamesAndDeletes) {
  ASSERT_TRUE(
      slapd_->Modify("dn: uid=newbie,ou=Sales,o=corp\nchangetype: add\nobjectClass: inetOrgPerson\n"
                     "uid: newbie\ncn: New Bie\nsn: Bie\nuserPassword: newbie-pass\n"));
  LdapProbe probe(slapd_->uri());
  ASSERT_EQ(probe.SimpleBind("uid=newbie,ou=Sales,o=corp", "newbie-pass"), LDAP_SUCCESS);
  ASSERT_TRUE(
      slapd_->Modify("dn: uid=newbie,ou=Sales,o=corp\nchangetype: modrdn\nnewrdn: uid=newbie\n"
                     "deleteoldrdn: 1\nnewsuperior: ou=Engineering,o=corp\n"));
  EXPECT_TRUE(
      HasDn(probe.Search("o=corp", "(uid=newbie)", {"uid"}), "uid=newbie,ou=Engineering,o=corp"));
  ASSERT_TRUE(slapd_->Modify("dn: uid=newbie,ou=Engineering,o=corp\nchangetype: delete\n"));
  EXPECT_TRUE(probe.Search("o=corp", "(uid=newbie)", {"uid"}).entries.empty());
  // Changes to the NDS tree go to that tree's root DN.
  ASSERT_TRUE(
      slapd_->Modify("dn: ou=Legal,o=nds\nchangetype: add\nobjectClass: "
                     "organizationalUnit\nou: Legal\n"));
  EXPECT_TRUE(HasDn(probe.Search("o=nds", "(ou=Legal)", {"ou"}), "ou=Legal,o=nds"));
}

TEST_F(SlapdFixtureTest, ModifyReportsFailure) {
  bool ok = true;
  EXPECT_NONFATAL_FAILURE(
      ok = slapd_->Modify("dn: uid=nobody,ou=Nowhere,o=corp\nchangetype: delete\n"),
      "ldapmodify against slapd failed");
  EXPECT_FALSE(ok);
}

TEST(SlapdOptionsTest, BareServerWithGeneratedUsersAndExtraLdif) {
  const std::string extra = std::string(NORVANE_BINARY_DIR) + "/fixtures_selftest_extra.ldif";
  {
    std::ofstream out(extra);
    out << "dn: ou=Extra,o=nds\nobjectClass: organizationalUnit\nou: Extra\n";
  }
  Slapd slapd(SlapdOptions{.bare = true, .generated_users = 1200, .ldif_files = {extra}});
  ASSERT_TRUE(slapd.Start());
  EXPECT_TRUE(slapd.users().empty());
  LdapProbe admin(slapd.uri());
  ASSERT_EQ(admin.SimpleBind(slapd.admin_dn(), slapd.admin_password()), LDAP_SUCCESS);
  ProbeSearch users = admin.Search("o=corp", "(&(objectClass=inetOrgPerson)(uid=*))", {"uid"}, 500);
  EXPECT_EQ(users.code, LDAP_SUCCESS);
  EXPECT_EQ(users.entries.size(), 1200u);
  EXPECT_TRUE(admin.Search("o=corp", "(uid=alice)", {"uid"}).entries.empty());
  EXPECT_TRUE(HasDn(admin.Search("o=nds", "(ou=Extra)", {"ou"}), "ou=Extra,o=nds"));
}

TEST(SlapdLifecycleTest, TwoServersRunSideBySideAndStopRemovesEverything) {
  Slapd a, b;
  ASSERT_TRUE(a.Start());
  ASSERT_TRUE(b.Start());
  EXPECT_NE(a.port(), b.port());
  const std::string dir = a.run_dir();
  const int pid = a.pid();
  ASSERT_GT(pid, 0);
  a.Stop();
  struct stat st;
  EXPECT_NE(::stat(dir.c_str(), &st), 0) << dir << " is still there";
  EXPECT_NE(::kill(pid, 0), 0) << "slapd " << pid << " still runs";
  LdapProbe still(b.uri());
  EXPECT_EQ(still.SimpleBind(b.admin_dn(), b.admin_password()), LDAP_SUCCESS);
}

}  // namespace
}  // namespace norvane::testing
