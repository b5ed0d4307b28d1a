// Full imports from a real slapd (Domino-style o=corp with simple bind, NDS-style o=nds
// with DIGEST-MD5) into a real zeltod; the result is read back from the server.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <thread>

#include "config/ldap_config.h"
#include "platform/activity_log.h"
#include "platform/run_lock.h"
#include "server/sdk.h"
#include "sync/org_document.h"
#include "sync/sync_engine.h"
#include "tests/fixtures/zeltod_fixture.h"
#include "tests/sync/sync_test_support.h"

namespace norvane::testing {
namespace {

bool Contains(const std::vector<std::string>& list, const std::string& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

class SlapdImportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(slapd_.Start());
    ASSERT_TRUE(zeltod_.Start()) << zeltod_.LogText();
    sdk_ = SdkRoot::Create(zeltod_.Host(), zeltod_.SdkPort(), {zeltod_.CredentialFile()});
    ASSERT_TRUE(sdk_);
  }

  ConfigSpec Corp() { return CorpSettings(slapd_); }

  ConfigSpec Nds() {
    ConfigSpec settings;
    settings.type = 2;
    settings.dc = "o=nds";
    settings.admin = slapd_.Fact("NDS_ADMIN_UID") + "@nds";
    settings.password = slapd_.Fact("NDS_ADMIN_PASSWORD");
    settings.ldap_port = slapd_.Port();
    return settings;
  }

  // One full import with a fresh engine, as norvanectl sync does it.
  int Sync(const ConfigSpec& settings) {
    if (!base_.WriteConfig(settings, zeltod_)) return -1;
    SyncEngine engine;
    engine.EngineInit();
    return engine.SyncOneDC(0);
  }

  // A full import on `engine` during which `kill` runs once the first 100 users are done.
  int SyncKilledMidway(SyncEngine& engine, const std::function<void()>& kill) {
    std::atomic<bool> done{false};
    std::thread killer([&] {
      while (!done && engine.UsersDone() < 100)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      kill();
    });
    int result = engine.SyncOneDC(0);
    done = true;
    killer.join();
    return result;
  }

  SlapdServer slapd_;
  Zeltod zeltod_;
  BaseFolderScope base_;
  std::unique_ptr<SdkRoot> sdk_;
};

TEST_F(SlapdImportTest, NestedOusBecomeNestedDepartmentsWithTheirUsers) {
  ASSERT_EQ(Sync(Corp()), 1);
  EXPECT_TRUE(base_.Logged("导入部门数据成功"));
  EXPECT_TRUE(base_.Logged("导入用户数据成功"));
  EXPECT_TRUE(base_.Logged("导入LDAP数据成功"));

  ServerOrg org = DumpOrg(zeltod_);
  for (const char* path : {"Sales\\", "Sales\\East\\", "Sales\\销售二部\\", "Engineering\\",
                           "Engineering\\Platform\\", "Research, Development\\", "Staff\\"}) {
    EXPECT_TRUE(org.HasDept(path)) << path;
  }
  // The base is no department of its own; its children are at the top.
  EXPECT_FALSE(org.HasDept("corp\\"));
  EXPECT_EQ(org.users["alice"].departments, std::vector<std::string>{"Sales\\"});
  EXPECT_EQ(org.users["bob"].departments, std::vector<std::string>{"Sales\\East\\"});
  EXPECT_EQ(org.users["zhangwei"].departments, std::vector<std::string>{"Sales\\销售二部\\"});
  EXPECT_EQ(org.users["rdlee"].departments, std::vector<std::string>{"Research, Development\\"});
  EXPECT_EQ(org.users["zhangwei"].Field("name"), "张伟");
  EXPECT_EQ(org.users["alice"].Field("position"), "Sales Manager");
  EXPECT_EQ(org.users["alice"].Field("authType"), "1");
  EXPECT_TRUE(org.users.count("staff0600"));  // beyond the directory's size limit of 500
  EXPECT_EQ(org.users.size(), 606u);

  // An unchanged second import changes nothing.
  const std::size_t departments = org.departments.size();
  base_.ClearLines();
  ASSERT_EQ(Sync(Corp()), 1);
  ServerOrg again = DumpOrg(zeltod_);
  EXPECT_EQ(again.departments.size(), departments);
  EXPECT_EQ(again.users.size(), 606u);
  EXPECT_EQ(again.users["bob"].departments, std::vector<std::string>{"Sales\\East\\"});
}

// The running program's engine is made once; a credential file named afterwards (config set,
// the wizard) is used by its next run.
TEST_F(SlapdImportTest, ChangedServerTrustSettingsReachTheNextRunWithoutARestart) {
  ASSERT_TRUE(base_.WriteConfig(Corp(), zeltod_));
  const std::string wrong = base_.dir() + "/wrong.credential";
  std::ofstream(wrong) << "not-the-server-secret\n";
  CLdapConfig config;
  config.Init();
  ASSERT_TRUE(config.SaveTrustSetting("SDKCredentialFile", wrong));
  SyncEngine engine;
  ASSERT_EQ(engine.EngineInit(), 1);
  EXPECT_EQ(engine.SyncOneDC(0), 0);
  // The bind worked: the closing line names the server, not the directory's account.
  EXPECT_TRUE(base_.Logged("SyncOneDC=o=corp:失败，原因: Zelto服务器不可用或拒绝了本程序"));
  EXPECT_FALSE(base_.Logged("请检查此dc的DC、USER、PWD"));
  ASSERT_TRUE(config.SaveTrustSetting("SDKCredentialFile", zeltod_.CredentialFile()));
  EXPECT_EQ(engine.SyncOneDC(0), 1);
  EXPECT_EQ(DumpOrg(zeltod_).users.count("alice"), 1u);
}

TEST_F(SlapdImportTest, SameCoverDecidesWhetherServerOnlyDataStays) {
  sdk_->DeptManager()->AddDepartment("Legacy", "");
  sdk_->DeptManager()->AddDepartment("Old", "Legacy\\");
  sdk_->DeptManager()->AddDepartment("Sales", "");  // present already: not added again
  sdk_->UserManager()->AddUser("ghost", 0);
  sdk_->DeptManager()->MoveUser("ghost", "", "Legacy\\Old\\", 0);

  ConfigSpec keep = Corp();
  keep.same_cover = 1;
  ASSERT_EQ(Sync(keep), 1);
  ServerOrg kept = DumpOrg(zeltod_);
  EXPECT_TRUE(kept.HasDept("Legacy\\Old\\"));
  EXPECT_TRUE(kept.users.count("ghost"));
  EXPECT_EQ(kept.users["alice"].departments, std::vector<std::string>{"Sales\\"});
  EXPECT_EQ(std::count(kept.departments.begin(), kept.departments.end(), "Sales\\"), 1);

  ASSERT_EQ(Sync(Corp()), 1);
  ServerOrg cleaned = DumpOrg(zeltod_);
  EXPECT_FALSE(cleaned.HasDept("Legacy\\"));
  EXPECT_FALSE(cleaned.HasDept("Legacy\\Old\\"));
  EXPECT_FALSE(cleaned.users.count("ghost"));
  EXPECT_TRUE(cleaned.HasDept("Sales\\"));
  EXPECT_EQ(cleaned.users.size(), 606u);
}

TEST_F(SlapdImportTest, ExcludedDepartmentsAndUsersAreLeftOutAndRemoved) {
  // Both were imported before they were excluded.
  sdk_->DeptManager()->AddDepartment("Sales", "");
  sdk_->DeptManager()->AddDepartment("East", "Sales\\");
  sdk_->UserManager()->AddUser("alice", 1);
  sdk_->DeptManager()->MoveUser("alice", "", "Sales\\", 0);

  ConfigSpec settings = Corp();
  settings.limit_dc = {"ou=East,ou=Sales,o=corp"};
  settings.limit_user = {"ALICE"};
  ASSERT_EQ(Sync(settings), 1);
  ServerOrg org = DumpOrg(zeltod_);
  EXPECT_FALSE(org.HasDept("Sales\\East\\"));
  EXPECT_FALSE(org.users.count("alice"));
  EXPECT_FALSE(org.users.count("bob"));  // in the excluded department
  EXPECT_TRUE(org.HasDept("Sales\\销售二部\\"));
  EXPECT_TRUE(org.users.count("zhangwei"));
}

TEST_F(SlapdImportTest, ExcludedDepartmentTakesItsSubDepartmentsAlong) {
  ConfigSpec settings = Corp();
  settings.limit_dc = {"ou=Engineering,o=corp"};
  ASSERT_EQ(Sync(settings), 1);
  ServerOrg org = DumpOrg(zeltod_);
  EXPECT_FALSE(org.HasDept("Engineering\\"));
  EXPECT_FALSE(org.HasDept("Engineering\\Platform\\"));
  EXPECT_FALSE(org.HasDept("Platform\\"));
  EXPECT_FALSE(org.users.count("dave"));
  EXPECT_TRUE(org.users.count("alice"));
}

TEST_F(SlapdImportTest, UserMovedBetweenOusIsMovedOnTheServer) {
  ASSERT_EQ(Sync(Corp()), 1);
  ASSERT_TRUE(
      slapd_.Modify("dn: uid=bob,ou=East,ou=Sales,o=corp\nchangetype: modrdn\nnewrdn: uid=bob\n"
                    "deleteoldrdn: 1\nnewsuperior: ou=Platform,ou=Engineering,o=corp\n"));
  ASSERT_EQ(Sync(Corp()), 1);
  ServerOrg org = DumpOrg(zeltod_);
  EXPECT_EQ(org.users["bob"].departments, std::vector<std::string>{"Engineering\\Platform\\"});
}

TEST_F(SlapdImportTest, WrongPasswordStopsBeforeAnyImportStep) {
  ConfigSpec settings = Corp();
  settings.password = "not-the-password";
  EXPECT_EQ(Sync(settings), 0);
  EXPECT_TRUE(base_.Logged("ConnectLdapsvr失败 ip=127.0.0.1,port=" + std::to_string(slapd_.Port()) +
                           ",dn=o=corp"));
  EXPECT_FALSE(base_.Logged("导入部门数据成功"));
  EXPECT_TRUE(DumpOrg(zeltod_).users.empty());
}

TEST_F(SlapdImportTest, DirectoryReadCutShortRemovesNothing) {
  ASSERT_EQ(Sync(Corp()), 1);
  sdk_->UserManager()->AddUser("ghost", 0);
  base_.ClearLines();

  ASSERT_TRUE(base_.WriteConfig(Corp(), zeltod_));
  SyncEngine engine;
  engine.EngineInit();
  int result = SyncKilledMidway(engine, [&] { slapd_.Kill(); });

  EXPECT_EQ(result, 0);
  EXPECT_FALSE(engine.LastReadComplete());
  EXPECT_TRUE(base_.Logged("数据读取不完整"));
  EXPECT_FALSE(base_.Logged("导入LDAP数据成功"));
  ServerOrg org = DumpOrg(zeltod_);
  EXPECT_TRUE(org.users.count("ghost"));      // server-only, but nothing was removed
  EXPECT_TRUE(org.users.count("staff0600"));  // not read this time, still there
  EXPECT_EQ(org.users.size(), 607u);
}

TEST_F(SlapdImportTest, ServerFailingMidImportFailsTheRunAndReportsEveryUnfinishedUser) {
  sdk_->UserManager()->AddUser("ghost", 0);
  ASSERT_TRUE(base_.WriteConfig(Corp(), zeltod_));
  SyncEngine engine;
  engine.EngineInit();
  int result = SyncKilledMidway(engine, [&] { zeltod_.Kill(); });

  EXPECT_EQ(result, 0);
  EXPECT_TRUE(base_.Logged("用户导入中止"));
  EXPECT_TRUE(base_.Logged("调用Zelto SDK 增加用户失败"));
  EXPECT_FALSE(base_.Logged("导入LDAP数据成功"));
  ASSERT_TRUE(zeltod_.Start()) << zeltod_.LogText();
  ServerOrg org = DumpOrg(zeltod_);
  EXPECT_TRUE(org.users.count("ghost"));  // nothing was removed
  // Whatever the server holds of a user whose writes did not all go through is in the log.
  const std::vector<std::string>& placed = engine.SpecifiedAccounts();
  for (const std::string& account : placed) EXPECT_TRUE(org.users.count(account)) << account;
  for (const auto& [account, user] : org.users) {
    if (account == "ghost" || Contains(placed, account)) continue;
    EXPECT_TRUE(base_.Logged("Add User=" + account + ",")) << account;
  }
  EXPECT_LT(placed.size(), 600u);
}

TEST_F(SlapdImportTest, MappedAttributesLongFieldsAndGender) {
  const std::string long_mobile(64, '1');
  const std::string exact_mobile(63, '2');
  std::string long_name = "a";
  for (int i = 0; i < 30; ++i) long_name += "长";  // 91 bytes
  ASSERT_TRUE(
      slapd_.Modify("dn: uid=alice,ou=Sales,o=corp\nchangetype: modify\nreplace: mobile\n"
                    "mobile: " +
                    long_mobile + "\n-\nreplace: cn\ncn: " + long_name +
                    "\n-\nadd: employeeType\nemployeeType: 1\n\n"
                    "dn: uid=bob,ou=East,ou=Sales,o=corp\nchangetype: modify\n"
                    "replace: mobile\nmobile: " +
                    exact_mobile +
                    "\n-\n"
                    "add: employeeType\nemployeeType: 2\n\n"
                    "dn: uid=carol,ou=Engineering,o=corp\nchangetype: modify\n"
                    "add: employeeType\nemployeeType: 10\n"));
  ConfigSpec settings = Corp();
  settings.user_property = {{"gender", "employeeType"}};
  ASSERT_EQ(Sync(settings), 1);
  ServerOrg org = DumpOrg(zeltod_);
  EXPECT_EQ(org.users["alice"].Field("mobile"), std::string(63, '1'));
  std::string cut = "a";
  for (int i = 0; i < 20; ++i) cut += "长";  // 61 bytes: never half a character
  EXPECT_EQ(org.users["alice"].Field("name"), cut);
  EXPECT_EQ(org.users["bob"].Field("mobile"), exact_mobile);
  EXPECT_TRUE(base_.Logged("SetUserBasicInfo Mobile=" + long_mobile +
                           "字段太长, 被截短的后Mobile=" + std::string(63, '1')));
  EXPECT_TRUE(
      base_.Logged("SetUserBasicInfo User=" + long_name + "用户名太长, 被截短的用户名=" + cut));
  EXPECT_FALSE(base_.Logged("Mobile=" + exact_mobile));
  EXPECT_EQ(org.users["alice"].Field("gender"), "1");
  EXPECT_EQ(org.users["carol"].Field("gender"), "1");  // begins with the digit 1
  EXPECT_NE(org.users["bob"].Field("gender"), "1");
}

TEST_F(SlapdImportTest, DeletionGuardRefusesALargeRemoval) {
  for (const char* account : {"old1", "old2", "old3"}) sdk_->UserManager()->AddUser(account, 0);
  ConfigSpec settings = Corp();
  settings.delete_threshold = 2;
  EXPECT_EQ(Sync(settings), 0);
  EXPECT_TRUE(base_.Logged("删除非LDAP数据失败"));
  EXPECT_TRUE(base_.Logged("0个部门和3个用户"));
  EXPECT_TRUE(base_.Logged("DeleteThreshold"));
  EXPECT_TRUE(base_.Logged("SyncOneDC=o=corp:失败，原因: 删除保护"));
  ServerOrg guarded = DumpOrg(zeltod_);
  EXPECT_TRUE(guarded.users.count("old1") && guarded.users.count("old3"));
  EXPECT_TRUE(guarded.users.count("alice"));  // the import itself still ran

  settings.delete_threshold = 0;  // guard off
  EXPECT_EQ(Sync(settings), 1);
  EXPECT_FALSE(DumpOrg(zeltod_).users.count("old1"));
}

TEST_F(SlapdImportTest, DeletionGuardDefaultsTo500) {
  ConfigSpec settings = Corp();
  ASSERT_EQ(Sync(settings), 1);  // 606 users
  // Every imported user excluded at once: more than 500 removals.
  settings.limit_dc = {"ou=Staff,o=corp"};
  EXPECT_EQ(Sync(settings), 0);
  EXPECT_TRUE(base_.Logged("1个部门和600个用户"));
  EXPECT_TRUE(DumpOrg(zeltod_).users.count("staff0001"));
}

TEST_F(SlapdImportTest, OuWithABackslashGetsADepartmentOfItsOwn) {
  ASSERT_TRUE(slapd_.Modify(
      "dn: ou=R,o=corp\nchangetype: add\nobjectClass: organizationalUnit\nou: R\n\n"
      "dn: ou=D,ou=R,o=corp\nchangetype: add\nobjectClass: organizationalUnit\nou: D\n\n"
      "dn: ou=R\\5CD,o=corp\nchangetype: add\nobjectClass: organizationalUnit\nou: R\\D\n\n"
      "dn: uid=rd1,ou=R\\5CD,o=corp\nchangetype: add\nobjectClass: inetOrgPerson\nuid: rd1\n"
      "cn: RD One\nsn: One\n"));
  ASSERT_EQ(Sync(Corp()), 1);
  ServerOrg org = DumpOrg(zeltod_);
  EXPECT_TRUE(org.HasDept("R/D\\"));
  EXPECT_TRUE(org.HasDept("R\\D\\"));
  EXPECT_EQ(org.users["rd1"].departments, std::vector<std::string>{"R/D\\"});
  EXPECT_EQ(org.users.size(), 607u);
}

TEST_F(SlapdImportTest, LongTitleIsCutAndUsersThatCannotBeWrittenFailTheRun) {
  std::string title;
  for (int i = 0; i < 100; ++i) title += "长";  // 300 bytes; the server takes 255
  ASSERT_TRUE(slapd_.Modify(
      "dn: uid=alice,ou=Sales,o=corp\nchangetype: modify\nreplace: title\ntitle: " + title +
      "\n\n"
      // An account the server refuses whatever its fields.
      "dn: uid=bad\\5Cname,ou=Sales,o=corp\nchangetype: add\nobjectClass: inetOrgPerson\n"
      "uid: bad\\name\ncn: Bad\nsn: Bad\n"));
  EXPECT_EQ(Sync(Corp()), 0);
  ServerOrg org = DumpOrg(zeltod_);
  EXPECT_EQ(org.users["alice"].Field("position"), title.substr(0, 255));  // 85 characters
  EXPECT_TRUE(base_.Logged("被截短的后Position=" + title.substr(0, 255)));
  EXPECT_FALSE(base_.Logged("Add User=alice,"));
  EXPECT_TRUE(base_.Logged("Add User=bad\\name,"));
  EXPECT_TRUE(base_.Logged("1个用户未能写入Zelto服务器"));
  EXPECT_FALSE(base_.Logged("导入LDAP数据成功"));
  EXPECT_EQ(org.users.size(), 606u);
}

TEST_F(SlapdImportTest, ARunThatReadsNoUserRemovesNothing) {
  ASSERT_EQ(Sync(Corp()), 1);
  ASSERT_TRUE(
      slapd_.Modify("dn: ou=Empty,o=corp\nchangetype: add\nobjectClass: organizationalUnit\n"));
  // With both guards off only the read itself can tell.
  ConfigSpec settings = Corp();
  settings.delete_threshold = 0;
  settings.delete_share = 0;
  settings.type = 0;  // Active Directory's root entry and filters on an OpenLDAP directory
  base_.ClearLines();
  EXPECT_EQ(Sync(settings), 0);
  EXPECT_TRUE(base_.Logged("目录类型(LDAPSVRType=0)可能设置错误"));
  EXPECT_FALSE(base_.Logged("导入LDAP数据成功"));
  EXPECT_EQ(DumpOrg(zeltod_).users.size(), 606u);

  settings.type = 1;
  settings.dc = "ou=Empty,o=corp";
  EXPECT_EQ(Sync(settings), 0);
  EXPECT_TRUE(base_.Logged("base=ou=Empty,o=corp 下没有读到任何用户"));
  EXPECT_EQ(DumpOrg(zeltod_).users.size(), 606u);
}

TEST_F(SlapdImportTest, DeletionGuardCountsInProportionToTheServersAccounts) {
  ConfigSpec settings = Corp();
  settings.delete_threshold = 0;  // the absolute guard off: only the share holds
  ASSERT_EQ(Sync(settings), 1);
  settings.limit_dc = {"ou=Staff,o=corp"};  // 600 of 606 accounts
  EXPECT_EQ(Sync(settings), 0);
  EXPECT_TRUE(base_.Logged("本次将删除600个用户, 占Zelto服务器上606个用户的99%"));
  EXPECT_TRUE(base_.Logged("DeleteShare"));
  EXPECT_TRUE(DumpOrg(zeltod_).users.count("staff0001"));

  settings.delete_share = 0;
  EXPECT_EQ(Sync(settings), 1);
  ServerOrg org = DumpOrg(zeltod_);
  EXPECT_FALSE(org.users.count("staff0001"));
  EXPECT_EQ(org.users.size(), 6u);
}

TEST_F(SlapdImportTest, TwoBasesAreBothImported) {
  ConfigSpec settings = Corp();
  settings.dc = "ou=Sales,o=corp;ou=Engineering,o=corp";
  ASSERT_EQ(Sync(settings), 1);
  ServerOrg org = DumpOrg(zeltod_);
  EXPECT_TRUE(org.HasDept("East\\"));
  EXPECT_TRUE(org.HasDept("销售二部\\"));
  EXPECT_TRUE(org.HasDept("Platform\\"));
  EXPECT_EQ(org.users["bob"].departments, std::vector<std::string>{"East\\"});
  EXPECT_EQ(org.users["dave"].departments, std::vector<std::string>{"Platform\\"});
  EXPECT_FALSE(org.users.count("staff0001"));
}

TEST_F(SlapdImportTest, DigestBindAndEscapedCommaInUserCn) {
  ASSERT_EQ(Sync(Nds()), 1);
  ServerOrg org = DumpOrg(zeltod_);
  EXPECT_TRUE(org.HasDept("HQ\\IT\\研发部\\"));
  // cn=Smith\, John,ou=IT,ou=HQ,o=nds lives in IT, not in a department called " John".
  EXPECT_EQ(org.users["jsmith"].departments, std::vector<std::string>{"HQ\\IT\\"});
  EXPECT_EQ(org.users["wangfang"].departments, std::vector<std::string>{"HQ\\Finance\\"});
  EXPECT_EQ(org.users["liqiang"].departments, std::vector<std::string>{"HQ\\IT\\研发部\\"});
}

TEST_F(SlapdImportTest, GroupModeNestsGroupsAndPlacesMembers) {
  ConfigSpec corp = Corp();
  corp.dept_mode = 1;
  ASSERT_EQ(Sync(corp), 1);
  ServerOrg org = DumpOrg(zeltod_);
  EXPECT_TRUE(org.HasDept("Engineers\\Platform Team\\"));
  EXPECT_TRUE(org.HasDept("Sales Team\\"));
  EXPECT_TRUE(org.HasDept("项目组\\"));
  EXPECT_EQ(org.users["dave"].departments, std::vector<std::string>{"Engineers\\Platform Team\\"});
  const std::vector<std::string>& zw = org.users["zhangwei"].departments;
  EXPECT_EQ(zw.size(), 2u);
  EXPECT_TRUE(Contains(zw, "Sales Team\\") && Contains(zw, "项目组\\"));
  EXPECT_FALSE(org.users.count("staff0001"));  // in no group
}

TEST_F(SlapdImportTest, GroupModeCutsACycleOfMemberships) {
  // Platform Team is in Engineers already; Engineers in Platform Team closes a cycle.
  ASSERT_TRUE(
      slapd_.Modify("dn: cn=Platform Team,ou=Groups,o=corp\nchangetype: modify\n"
                    "add: member\nmember: cn=Engineers,ou=Groups,o=corp\n"));
  ConfigSpec corp = Corp();
  corp.dept_mode = 1;
  ASSERT_EQ(Sync(corp), 1);
  ServerOrg org = DumpOrg(zeltod_);
  const bool engineers_on_top =
      org.HasDept("Engineers\\") && org.HasDept("Engineers\\Platform Team\\");
  const bool platform_on_top =
      org.HasDept("Platform Team\\") && org.HasDept("Platform Team\\Engineers\\");
  EXPECT_TRUE(engineers_on_top != platform_on_top);
  ASSERT_TRUE(org.users.count("dave") && org.users.count("carol"));
  EXPECT_EQ(org.users["dave"].departments.size(), 1u);
  EXPECT_TRUE(org.HasDept("Sales Team\\"));
}

TEST_F(SlapdImportTest, GroupModeWithUniqueMembers) {
  ConfigSpec nds = Nds();
  nds.dept_mode = 1;
  ASSERT_EQ(Sync(nds), 1);
  ServerOrg org = DumpOrg(zeltod_);
  EXPECT_TRUE(org.HasDept("Everyone\\IT Staff\\"));
  EXPECT_TRUE(org.HasDept("Everyone\\Finance Staff\\"));
  EXPECT_EQ(org.users["jsmith"].departments, std::vector<std::string>{"Everyone\\IT Staff\\"});
  EXPECT_EQ(org.users["wangfang"].departments,
            std::vector<std::string>{"Everyone\\Finance Staff\\"});
}

TEST_F(SlapdImportTest, UserInASecondDepartmentIsKeptByTheNextImport) {
  ASSERT_EQ(Sync(Corp()), 1);
  // An administrator also puts alice into a second department.
  sdk_->DeptManager()->MoveUser("alice", "", "Engineering\\", 0);
  ASSERT_EQ(Sync(Corp()), 1);
  ServerOrg org = DumpOrg(zeltod_);
  ASSERT_TRUE(org.users.count("alice"));
  EXPECT_EQ(org.users["alice"].departments, (std::vector<std::string>{"Sales\\", "Engineering\\"}));
}

TEST_F(SlapdImportTest, GroupModeUserLeavesOnlyTheGroupItLeft) {
  ConfigSpec corp = Corp();
  corp.dept_mode = 1;
  ASSERT_EQ(Sync(corp), 1);
  ASSERT_EQ(DumpOrg(zeltod_).users["zhangwei"].departments.size(), 2u);
  ASSERT_TRUE(
      slapd_.Modify("dn: cn=项目组,ou=Groups,o=corp\nchangetype: modify\ndelete: member\n"
                    "member: uid=zhangwei,ou=销售二部,ou=Sales,o=corp\n"));
  ASSERT_EQ(Sync(corp), 1);
  ServerOrg org = DumpOrg(zeltod_);
  ASSERT_TRUE(org.users.count("zhangwei"));
  EXPECT_EQ(org.users["zhangwei"].departments, std::vector<std::string>{"Sales Team\\"});
  EXPECT_EQ(org.users["rdlee"].departments, std::vector<std::string>{"项目组\\"});
}

TEST_F(SlapdImportTest, AttributeNamesMatchInAnyCaseAndAnUnknownOneRemovesNothing) {
  ConfigSpec settings = Corp();
  settings.user_property = {{"uid", "UID"}, {"name", "CN"}};
  ASSERT_EQ(Sync(settings), 1);
  ServerOrg org = DumpOrg(zeltod_);
  EXPECT_EQ(org.users.size(), 606u);
  EXPECT_EQ(org.users["alice"].Field("name"), "Alice Wong");

  // An attribute no entry has: every entry is read, no account comes out of them.
  settings.user_property = {{"uid", "employeeNumber"}};
  base_.ClearLines();
  EXPECT_EQ(Sync(settings), 0);
  EXPECT_TRUE(base_.Logged("employeeNumber"));
  EXPECT_FALSE(base_.Logged("导入LDAP数据成功"));
  EXPECT_EQ(DumpOrg(zeltod_).users.size(), 606u);
}

TEST_F(SlapdImportTest, GroupModeGivesSameNamedGroupsADepartmentEach) {
  ASSERT_TRUE(
      slapd_.Modify("dn: cn=Sales Team,ou=Staff,o=corp\nchangetype: add\n"
                    "objectClass: groupOfNames\ncn: Sales Team\n"
                    "member: uid=staff0001,ou=Staff,o=corp\n"));
  ConfigSpec corp = Corp();
  corp.dept_mode = 1;
  for (int run = 0; run < 2; ++run) {
    ASSERT_EQ(Sync(corp), 1);
    ServerOrg org = DumpOrg(zeltod_);
    EXPECT_EQ(org.users["alice"].departments, std::vector<std::string>{"Sales Team\\"});
    EXPECT_EQ(org.users["staff0001"].departments, std::vector<std::string>{"Sales Team (2)\\"})
        << "run " << run;
  }
}

TEST_F(SlapdImportTest, PostImportStepLeavesADeeperDepartmentOfTheBaseName) {
  ASSERT_TRUE(slapd_.Modify(
      "dn: ou=Team,ou=Staff,o=corp\nchangetype: add\nobjectClass: organizationalUnit\n"
      "ou: Team\n\n"
      "dn: ou=Staff,ou=Team,ou=Staff,o=corp\nchangetype: add\n"
      "objectClass: organizationalUnit\nou: Staff\n\n"
      "dn: uid=deep1,ou=Staff,ou=Team,ou=Staff,o=corp\nchangetype: add\n"
      "objectClass: inetOrgPerson\nuid: deep1\ncn: Deep One\nsn: One\n"));
  ConfigSpec settings = Corp();
  settings.dc = "ou=Staff,o=corp";
  settings.delete_threshold = 0;
  ASSERT_EQ(Sync(settings), 1);
  ServerOrg org = DumpOrg(zeltod_);
  EXPECT_TRUE(org.HasDept("Team\\Staff\\"));
  EXPECT_EQ(org.users["deep1"].departments, std::vector<std::string>{"Team\\Staff\\"});
}

TEST_F(SlapdImportTest, UserImportWorksFromTheTreeItRecordedNotFromTheFile) {
  ASSERT_EQ(Sync(Corp()), 1);
  // Another process's engine empties the organisation document between the two steps.
  const std::string document = base_.dir() + "/test.xml";
  SetLogListener([&](const std::string& line) {
    if (line.find("导入部门数据成功") != std::string::npos) WriteEmptyOrgDocument(document);
  });
  const int result = Sync(Corp());
  SetLogListener(nullptr);
  EXPECT_EQ(result, 1);
  ServerOrg org = DumpOrg(zeltod_);
  EXPECT_EQ(org.users.size(), 606u);
  EXPECT_EQ(org.users["bob"].departments, std::vector<std::string>{"Sales\\East\\"});
}

TEST_F(SlapdImportTest, ASecondRunFailsAtOnceWhileTheLockIsHeld) {
  ASSERT_TRUE(base_.WriteConfig(Corp(), zeltod_));
  RunLock other(base_.dir());
  ASSERT_TRUE(other.TryAcquire());
  SyncEngine engine;
  engine.EngineInit();
  std::vector<std::string> failed;
  EXPECT_EQ(engine.SyncOneDC(0), 0);
  EXPECT_EQ(engine.SyncOneDC(1), 0);
  EXPECT_EQ(engine.SetAuthTypeForAccounts({"alice"}, 3), 0);
  EXPECT_TRUE(base_.Logged(kAnotherSyncRunning));
  EXPECT_FALSE(base_.Logged("导入部门数据成功"));
  EXPECT_TRUE(DumpOrg(zeltod_).users.empty());
}

}  // namespace
}  // namespace norvane::testing
