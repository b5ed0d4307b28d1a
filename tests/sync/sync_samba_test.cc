// Full imports from a real Samba AD domain controller into a real zeltod: OU mode, group
// mode, account-control rules, the stored update sequence number and named-user imports.
#include <gtest/gtest.h>

#include <cstdlib>

#include "directory/change_tracking.h"
#include "directory/ldap_client.h"
#include "sync/sync_engine.h"
#include "tests/fixtures/samba_fixture.h"
#include "tests/fixtures/zeltod_fixture.h"
#include "tests/sync/sync_test_support.h"

namespace norvane::testing {
namespace {

bool Contains(const std::vector<std::string>& list, const std::string& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

class SambaImportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dc_ = SambaDomain::Shared();
    ASSERT_NE(dc_, nullptr);
    setenv("LDAPTLS_CACERT", dc_->ca_file().c_str(), 1);
    ASSERT_TRUE(zeltod_.Start()) << zeltod_.LogText();
  }

  ConfigSpec Domain() { return DomainSettings(*dc_); }

  int Sync(const ConfigSpec& settings) {
    if (!base_.WriteConfig(settings, zeltod_)) return -1;
    SyncEngine engine;
    engine.EngineInit();
    return engine.SyncOneDC(0);
  }

  bool SetAccountControl(const std::string& dn, int value) {
    return dc_->Modify("dn: " + dn + "\nchangetype: modify\nreplace: userAccountControl\n" +
                       "userAccountControl: " + std::to_string(value) + "\n");
  }

  SambaDomain* dc_ = nullptr;
  Zeltod zeltod_;
  BaseFolderScope base_;
};

TEST_F(SambaImportTest, OuModeImportsTheDomainAndStoresTheUsn) {
  ASSERT_EQ(Sync(Domain()), 1);
  ServerOrg org = DumpOrg(zeltod_);
  for (const char* path : {"Corp\\", "Corp\\Sales\\East\\", "Corp\\Sales\\销售二部\\",
                           "Corp\\Engineering\\Platform\\Storage\\", "Corp\\研发中心\\"}) {
    EXPECT_TRUE(org.HasDept(path)) << path;
  }
  EXPECT_FALSE(org.HasDept("corp.example.com\\"));
  EXPECT_EQ(org.users["alice"].departments, std::vector<std::string>{"Corp\\Sales\\"});
  EXPECT_EQ(org.users["jsmith"].departments, std::vector<std::string>{"Corp\\Sales\\"});
  EXPECT_EQ(org.users["dave"].departments,
            std::vector<std::string>{"Corp\\Engineering\\Platform\\Storage\\"});
  EXPECT_EQ(org.users["lina"].Field("name"), "李娜");
  EXPECT_EQ(org.users["alice"].Field("mobile"), "13800000001");
  EXPECT_FALSE(org.users.count("eve"));            // disabled (514)
  EXPECT_FALSE(org.users.count("WS01$"));          // workstation account
  EXPECT_FALSE(org.users.count("Administrator"));  // CN=Users has no department element
  EXPECT_GT(ReadPreviousHighUsn(dc_->base_dn()), 0);
}

TEST_F(SambaImportTest, AccountDisabledAfterAnImportIsRemovedByTheNext) {
  const std::string bob = dc_->User("bob").dn;
  ASSERT_EQ(Sync(Domain()), 1);
  ASSERT_TRUE(DumpOrg(zeltod_).users.count("bob"));
  ASSERT_TRUE(SetAccountControl(bob, 514));
  int result = Sync(Domain());
  ServerOrg org = DumpOrg(zeltod_);
  ASSERT_TRUE(SetAccountControl(bob, 512));  // the domain is shared with the other tests
  EXPECT_EQ(result, 1);
  EXPECT_FALSE(org.users.count("bob"));
  EXPECT_TRUE(org.users.count("alice"));
}

TEST_F(SambaImportTest, WrongPasswordFailsAndStoresNoUsn) {
  ConfigSpec settings = Domain();
  settings.password = "Wrong#Password1";
  EXPECT_EQ(Sync(settings), 0);
  EXPECT_TRUE(base_.Logged("ConnectLdapsvr失败 ip=127.0.0.1,port=" + std::to_string(dc_->port()) +
                           ",dn=" + dc_->base_dn()));
  EXPECT_FALSE(base_.Logged("导入部门数据成功"));
  EXPECT_EQ(ReadPreviousHighUsn(dc_->base_dn()), 0);
}

TEST_F(SambaImportTest, GroupModeNestsGroupsBySecurityAndDistributionType) {
  ConfigSpec settings = Domain();
  settings.dept_mode = 1;
  ASSERT_EQ(Sync(settings), 1);
  ServerOrg org = DumpOrg(zeltod_);
  EXPECT_TRUE(org.HasDept("All Staff\\Engineers\\Storage Team\\"));
  EXPECT_TRUE(org.HasDept("All Staff\\Sales Team\\"));
  EXPECT_TRUE(org.HasDept("销售项目组\\"));
  EXPECT_FALSE(org.HasDept("Newsletter\\"));  // universal distribution group
  EXPECT_EQ(org.users["dave"].departments,
            std::vector<std::string>{"All Staff\\Engineers\\Storage Team\\"});
  const std::vector<std::string>& alice = org.users["alice"].departments;
  EXPECT_EQ(alice.size(), 2u);
  EXPECT_TRUE(Contains(alice, "All Staff\\Sales Team\\") && Contains(alice, "销售项目组\\"));
  EXPECT_EQ(org.users["lina"].departments, std::vector<std::string>{"All Staff\\"});
  EXPECT_FALSE(org.users.count("eve"));
}

TEST_F(SambaImportTest, NamedUsersKnownUnmappedAndUnknown) {
  ConfigSpec settings = Domain();
  ASSERT_TRUE(base_.WriteConfig(settings, zeltod_));
  std::vector<std::string> failed;
  {
    SyncEngine engine;
    engine.EngineInit();
    EXPECT_EQ(engine.ImportNamedUsers({"bob", "zhangwei"}, failed), 1);
    EXPECT_TRUE(failed.empty());
  }
  ServerOrg org = DumpOrg(zeltod_);
  EXPECT_EQ(org.users["bob"].departments, std::vector<std::string>{"Corp\\Sales\\East\\"});
  EXPECT_EQ(org.users["zhangwei"].departments, std::vector<std::string>{"Corp\\Sales\\销售二部\\"});
  EXPECT_EQ(org.users["bob"].Field("name"), "Bob Li");
  EXPECT_TRUE(org.HasDept("Corp\\Sales\\"));  // missing departments created on the way

  // An account under no configured domain controller is listed and the rest go on.
  settings.dc_list = {"DC=other,DC=example,DC=com"};
  ASSERT_TRUE(base_.WriteConfig(settings, zeltod_));
  {
    SyncEngine engine;
    engine.EngineInit();
    EXPECT_EQ(engine.ImportNamedUsers({"carol"}, failed), 1);
    EXPECT_EQ(failed, std::vector<std::string>{"carol"});
  }
  EXPECT_FALSE(DumpOrg(zeltod_).users.count("carol"));

  // An account the directory does not know ends the run there.
  settings.dc_list.clear();
  ASSERT_TRUE(base_.WriteConfig(settings, zeltod_));
  SyncEngine engine;
  engine.EngineInit();
  EXPECT_EQ(engine.ImportNamedUsers({"alice", "nosuchuser", "jsmith"}, failed), 0);
  EXPECT_EQ(engine.UnknownAccount(), "nosuchuser");
  EXPECT_TRUE(failed.empty());
  org = DumpOrg(zeltod_);
  EXPECT_TRUE(org.users.count("alice"));
  EXPECT_FALSE(org.users.count("jsmith"));

  // A directory that refuses the connection names no account as unknown.
  settings.password = "wrong";
  ASSERT_TRUE(base_.WriteConfig(settings, zeltod_));
  SyncEngine refused;
  refused.EngineInit();
  EXPECT_EQ(refused.ImportNamedUsers({"jsmith"}, failed), 0);
  EXPECT_EQ(refused.UnknownAccount(), "");
  EXPECT_FALSE(DumpOrg(zeltod_).users.count("jsmith"));
}

TEST_F(SambaImportTest, TwoBasesOfOneDomainBindImportAndCheckLogins) {
  ConfigSpec settings = Domain();
  settings.dc = "OU=Sales,OU=Corp," + dc_->base_dn() + ";OU=Engineering,OU=Corp," + dc_->base_dn();
  ASSERT_EQ(Sync(settings), 1);
  ServerOrg org = DumpOrg(zeltod_);
  EXPECT_EQ(org.users["bob"].departments, std::vector<std::string>{"East\\"});
  EXPECT_EQ(org.users["dave"].departments, std::vector<std::string>{"Platform\\Storage\\"});
  // A login is checked as the service checks it, with the configuration's "DC" text.
  CLdapClient client;
  EXPECT_EQ(client.VerifyByDirectoryBind(dc_->host(), static_cast<std::uint16_t>(dc_->port()),
                                         "carol", dc_->User("carol").password),
            0);
  // An account of the second base is found there.
  SyncEngine engine;
  engine.EngineInit();
  std::vector<std::string> failed;
  EXPECT_EQ(engine.ImportNamedUsers({"zhangwei", "dave"}, failed), 1);
  EXPECT_TRUE(failed.empty());
}

}  // namespace
}  // namespace norvane::testing
