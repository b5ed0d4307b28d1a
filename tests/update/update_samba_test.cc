// Incremental updates from a real Samba AD domain controller into a real zeltod. Each test
// works below an OU of its own, used as the configured base, so that the tests of this
// binary share one domain without seeing each other's objects.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "directory/change_tracking.h"
#include "platform/text.h"
#include "server/sdk.h"
#include "sync/sync_engine.h"
#include "tests/fixtures/samba_fixture.h"
#include "tests/fixtures/zeltod_fixture.h"
#include "tests/sync/sync_test_support.h"

namespace norvane::testing {
namespace {

constexpr char kPassword[] = "Upd#Pass2026";

std::string Base64(const std::string& in) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t i = 0; i < in.size(); i += 3) {
    unsigned n = static_cast<unsigned char>(in[i]) << 16;
    if (i + 1 < in.size()) n |= static_cast<unsigned char>(in[i + 1]) << 8;
    if (i + 2 < in.size()) n |= static_cast<unsigned char>(in[i + 2]);
    out += kAlphabet[(n >> 18) & 63];
    out += kAlphabet[(n >> 12) & 63];
    out += i + 1 < in.size() ? kAlphabet[(n >> 6) & 63] : '=';
    out += i + 2 < in.size() ? kAlphabet[n & 63] : '=';
  }
  return out;
}

// unicodePwd: the quoted password in UTF-16LE (ASCII only here).
std::string UnicodePwd(const std::string& password) {
  std::string quoted = "\"" + password + "\"", wide;
  for (char c : quoted) {
    wide += c;
    wide += '\0';
  }
  return Base64(wide);
}

std::vector<std::string> Lower(std::vector<std::string> list) {
  for (std::string& s : list) s = ToLowerAscii(s);
  return list;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& line : lines) out += line + "\n";
  return out;
}

class SambaUpdateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dc_ = SambaDomain::Shared();
    ASSERT_NE(dc_, nullptr);
    setenv("LDAPTLS_CACERT", dc_->ca_file().c_str(), 1);
    ASSERT_TRUE(zeltod_.Start()) << zeltod_.LogText();
  }

  // A fresh OU of the test's own below the domain, configured as the only base.
  ConfigSpec Base(const std::string& ou) {
    base_dn_ = "OU=" + ou + "," + dc_->base_dn();
    EXPECT_TRUE(
        dc_->Modify("dn: " + base_dn_ + "\nchangetype: add\nobjectClass: organizationalUnit\n"));
    ConfigSpec settings = DomainSettings(*dc_);
    settings.dc = base_dn_;
    return settings;
  }

  std::string Ou(const std::string& relative) const {
    return "dn: " + relative + "," + base_dn_ +
           "\nchangetype: add\nobjectClass: organizationalUnit\n\n";
  }
  std::string User(const std::string& account, const std::string& ou) const {
    return "dn: CN=" + account + "," + ou + "," + base_dn_ +
           "\nchangetype: add\nobjectClass: user\nsAMAccountName: " + account +
           "\ndisplayName: " + account + " Name\nunicodePwd:: " + UnicodePwd(kPassword) +
           "\nuserAccountControl: 512\n\n";
  }
  std::string Dn(const std::string& relative) const { return relative + "," + base_dn_; }

  // `changes`: what the run changed (a dry run: would change).
  int Run(const ConfigSpec& settings, int mode, nlohmann::json* changes = nullptr,
          bool dry_run = false) {
    if (!base_.WriteConfig(settings, zeltod_)) return -1;
    SyncEngine engine;
    engine.SetDryRun(dry_run);
    engine.EngineInit();
    const int result = engine.SyncOneDC(mode);
    if (changes) *changes = engine.Changes().ToJson();
    return result;
  }

  SambaDomain* dc_ = nullptr;
  Zeltod zeltod_;
  BaseFolderScope base_;
  std::string base_dn_;
};

TEST_F(SambaUpdateTest, CreatedMovedDisabledDeletedAndExcludedObjects) {
  ConfigSpec settings = Base("UpdBasic");
  ASSERT_TRUE(dc_->Modify(Ou("OU=A") + Ou("OU=B") + Ou("OU=D") + User("ua1", "OU=A") +
                          User("ua2", "OU=A") + User("ua3", "OU=B") + User("ua4", "OU=A")));
  ASSERT_EQ(Run(settings, 0), 1);
  ServerOrg before = DumpOrg(zeltod_);
  ASSERT_TRUE(before.HasDept("D\\"));
  ASSERT_TRUE(before.users.count("ua4"));
  const std::int64_t usn = ReadPreviousHighUsn(base_dn_);
  ASSERT_GT(usn, 0);
  EXPECT_EQ(ReadPreviousInvocationId(base_dn_).size(), 32u);
  {
    // A second membership of ua1 that only the server holds.
    std::unique_ptr<SdkRoot> sdk =
        SdkRoot::Create(zeltod_.Host(), zeltod_.SdkPort(), {zeltod_.CredentialFile()});
    sdk->DeptManager()->MoveUser("ua1", "", "B\\", 0);
  }
  ASSERT_EQ(Lower(DumpOrg(zeltod_).users["ua1"].departments),
            (std::vector<std::string>{"a\\", "b\\"}));

  // After the import: a new OU with a new user, ua1 moved to it, ua2 disabled, ua3 and
  // ua4 (now excluded) deleted, an excluded user created, an OU deleted.
  ASSERT_TRUE(dc_->Modify(
      Ou("OU=C") + User("ua5", "OU=C") + User("ux1", "OU=A") + "dn: " + Dn("CN=ua1,OU=A") +
      "\nchangetype: modrdn\nnewrdn: CN=ua1\ndeleteoldrdn: 1\nnewsuperior: " + Dn("OU=C") + "\n\n" +
      "dn: " + Dn("CN=ua2,OU=A") +
      "\nchangetype: modify\nreplace: userAccountControl\nuserAccountControl: 514\n\n" +
      "dn: " + Dn("CN=ua3,OU=B") + "\nchangetype: delete\n\n" + "dn: " + Dn("CN=ua4,OU=A") +
      "\nchangetype: delete\n\n" + "dn: " + Dn("OU=D") + "\nchangetype: delete\n"));
  settings.limit_user = {"ux1", "ua4"};
  // The update's plan first: it writes neither the server nor the sequence number.
  nlohmann::json plan, done;
  ASSERT_EQ(Run(settings, 1, &plan, true), 1);
  EXPECT_EQ(ReadPreviousHighUsn(base_dn_), usn);
  EXPECT_TRUE(DumpOrg(zeltod_).HasDept("D\\"));
  EXPECT_EQ(plan["departments"]["add"], nlohmann::json({"C"}));
  EXPECT_EQ(plan["departments"]["remove"], nlohmann::json({"D"}));
  EXPECT_EQ(plan["users"]["add"][0]["account"], "ua5");
  EXPECT_EQ(plan["users"]["move"][0]["account"], "ua1");
  EXPECT_EQ(plan["users"]["remove"].size(), 2u);  // ua2 disabled, ua3 deleted
  const std::uint64_t calls = SdkCallCount();
  base_.ClearLines();
  ASSERT_EQ(Run(settings, 1, &done), 1);
  EXPECT_EQ(done["departments"], plan["departments"]);
  EXPECT_EQ(done["users"], plan["users"]);
  EXPECT_GT(SdkCallCount(), calls);
  EXPECT_FALSE(base_.Logged("导入部门数据成功"));  // no full import ran

  ServerOrg org = DumpOrg(zeltod_);
  EXPECT_TRUE(org.HasDept("C\\"));
  EXPECT_FALSE(org.HasDept("D\\"));
  EXPECT_TRUE(org.HasDept("A\\") && org.HasDept("B\\"));
  EXPECT_EQ(Lower(org.users["ua5"].departments), std::vector<std::string>{"c\\"});
  EXPECT_EQ(org.users["ua5"].Field("name"), "ua5 Name");
  EXPECT_EQ(Lower(org.users["ua1"].departments), std::vector<std::string>{"c\\"});
  EXPECT_FALSE(org.users.count("ua2"));  // disabled
  EXPECT_FALSE(org.users.count("ua3"));  // deleted
  EXPECT_TRUE(org.users.count("ua4"));   // excluded: the server's own, not removed
  EXPECT_FALSE(org.users.count("ux1"));  // excluded, not added
  EXPECT_TRUE(base_.Logged("UpdateFromLDAP type=2: Account = 'ua1',Dept=C\\"));
  EXPECT_TRUE(base_.Logged("UpdateFromLDAP type=0: Account = 'ua5',Dept=C\\"));
  EXPECT_TRUE(base_.Logged("UpdateFromLDAP type=1: Account = 'ua2',Dept=A\\"));
  EXPECT_TRUE(base_.Logged("Filter='(&(!objectClass=computer)(uSNChanged>=" + std::to_string(usn) +
                           "))',update:LDAP://127.0.0.1/" + base_dn_));
  EXPECT_GT(ReadPreviousHighUsn(base_dn_), usn);

  // Nothing changed since: the next update changes nothing and still succeeds.
  base_.ClearLines();
  ASSERT_EQ(Run(settings, 1), 1);
  EXPECT_FALSE(base_.Logged("UpdateFromLDAP type=0"));
  EXPECT_EQ(DumpOrg(zeltod_).users.size(), org.users.size());
}

TEST_F(SambaUpdateTest, RenamedAndMovedOusAreFollowedByIdentity) {
  ConfigSpec settings = Base("UpdRename");
  ASSERT_TRUE(dc_->Modify(Ou("OU=P1") + Ou("OU=Old1,OU=P1") + Ou("OU=Keep1,OU=P1") +
                          User("ur1", "OU=Old1,OU=P1") + Ou("OU=P2") + Ou("OU=X2,OU=P2") +
                          Ou("OU=Y2,OU=P2") + User("ur2", "OU=X2,OU=P2")));
  ASSERT_EQ(Run(settings, 0), 1);
  ASSERT_TRUE(DumpOrg(zeltod_).HasDept("P1\\Old1\\"));

  auto rename = [&](const std::string& from, const std::string& to, const std::string& under,
                    const std::string& new_parent = "") {
    return "dn: " + Dn(under.empty() ? from : from + "," + under) +
           "\nchangetype: modrdn\nnewrdn: " + to + "\ndeleteoldrdn: 1\n" +
           (new_parent.empty() ? "" : "newsuperior: " + Dn(new_parent) + "\n") + "\n";
  };
  // In one window: two siblings renamed, a child renamed and then its parent, and an OU
  // moved to another parent under a new name.
  ASSERT_TRUE(dc_->Modify(rename("OU=X2", "OU=X2b", "OU=P2") + rename("OU=Y2", "OU=Y2b", "OU=P2") +
                          rename("OU=Old1", "OU=New1", "OU=P1") +
                          rename("OU=Keep1", "OU=Kept2", "OU=P1", "OU=P2") +
                          rename("OU=P1", "OU=P1b", "")));
  base_.ClearLines();
  ASSERT_EQ(Run(settings, 1), 1);
  ServerOrg org = DumpOrg(zeltod_);
  EXPECT_FALSE(base_.Logged("发现修改的部门名称个数太多")) << Joined(base_.Lines());
  for (const char* gone : {"P1\\", "P2\\X2\\", "P2\\Y2\\", "P1b\\Keep1\\", "P1b\\Old1\\"}) {
    EXPECT_FALSE(org.HasDept(gone)) << gone;
  }
  for (const char* there : {"P1b\\New1\\", "P2\\X2b\\", "P2\\Y2b\\", "P2\\Kept2\\"}) {
    EXPECT_TRUE(org.HasDept(there)) << there << "\n" << Joined(base_.Lines());
  }
  EXPECT_EQ(Lower(org.users["ur1"].departments), std::vector<std::string>{"p1b\\new1\\"});
  EXPECT_EQ(Lower(org.users["ur2"].departments), std::vector<std::string>{"p2\\x2b\\"});

  // OUs whose identity was never recorded (a record from before it was kept) are still
  // paired by elimination only, which two new names under one parent defeat.
  ASSERT_EQ(std::remove((base_.dir() + "/norvane-ou-ids.json").c_str()), 0);
  ASSERT_TRUE(dc_->Modify(rename("OU=X2b", "OU=X3", "OU=P2") + rename("OU=Y2b", "OU=Y3", "OU=P2")));
  ASSERT_EQ(Run(settings, 1), 1);
  org = DumpOrg(zeltod_);
  EXPECT_TRUE(base_.Logged("发现修改的部门名称个数太多，请使用同步数据功能进行同步"));
  EXPECT_TRUE(org.HasDept("P2\\X2b\\") && org.HasDept("P2\\Y2b\\"));

  // The full import repairs what the update left.
  ASSERT_EQ(Run(settings, 0), 1);
  org = DumpOrg(zeltod_);
  EXPECT_TRUE(org.HasDept("P2\\X3\\") && !org.HasDept("P2\\X2b\\"));
  EXPECT_EQ(Lower(org.users["ur2"].departments), std::vector<std::string>{"p2\\x3\\"});
}

TEST_F(SambaUpdateTest, FailedUpdateStoresNothingAndTheNextRunFetchesTheSameChanges) {
  ConfigSpec settings = Base("UpdFail");
  ASSERT_TRUE(dc_->Modify(Ou("OU=F") + User("uf0", "OU=F")));
  ASSERT_EQ(Run(settings, 0), 1);
  const std::int64_t usn = ReadPreviousHighUsn(base_dn_);
  ASSERT_TRUE(dc_->Modify(User("uf1", "OU=F")));

  ASSERT_TRUE(zeltod_.Stop());
  base_.ClearLines();
  EXPECT_EQ(Run(settings, 1), 0);
  EXPECT_TRUE(base_.Logged("Code = 800706ba")) << Joined(base_.Lines());
  EXPECT_EQ(ReadPreviousHighUsn(base_dn_), usn);
  {
    // The user list on its own names the account it stopped at.
    SyncEngine engine;
    engine.EngineInit();
    EXPECT_EQ(engine.SyncOneDC(1), 0);
    base_.ClearLines();
    EXPECT_EQ(engine.UpdateFromLDAP({ChangedUser{Dn("CN=uf1,OU=F"), "uf1", kChangeCreated, 0, ""},
                                     ChangedUser{Dn("CN=uf2,OU=F"), "uf2", kChangeCreated, 0, ""}}),
              0);
    EXPECT_TRUE(base_.Logged("UpdateUser2Zelto  Error Account=uf1"));
    EXPECT_FALSE(base_.Logged("Account = 'uf2'"));
  }

  ASSERT_TRUE(zeltod_.Start()) << zeltod_.LogText();
  EXPECT_EQ(Run(settings, 1), 1);
  EXPECT_EQ(Lower(DumpOrg(zeltod_).users["uf1"].departments), std::vector<std::string>{"f\\"});
  EXPECT_GT(ReadPreviousHighUsn(base_dn_), usn);
}

TEST_F(SambaUpdateTest, AnotherControllerLeadsToAFullImport) {
  ConfigSpec settings = Base("UpdOtherDc");
  ASSERT_TRUE(dc_->Modify(Ou("OU=G") + User("ug1", "OU=G")));
  ASSERT_EQ(Run(settings, 0), 1);
  const std::string id = ReadPreviousInvocationId(base_dn_);
  ASSERT_EQ(id.size(), 32u);
  // The stored number claims to come from another controller; an account only the server
  // holds shows whether the full import (which removes it) ran.
  ASSERT_TRUE(WritePreviousInvocationId(base_dn_, std::string(32, '0')));
  {
    std::unique_ptr<SdkRoot> sdk =
        SdkRoot::Create(zeltod_.Host(), zeltod_.SdkPort(), {zeltod_.CredentialFile()});
    sdk->UserManager()->AddUser("stray", 1);
  }
  ASSERT_TRUE(DumpOrg(zeltod_).users.count("stray"));
  base_.ClearLines();
  ASSERT_EQ(Run(settings, 1), 1);
  EXPECT_TRUE(base_.Logged("域控制器的调用ID已改变(上次=" + std::string(32, '0') + ", 本次=" + id));
  EXPECT_TRUE(base_.Logged("导入LDAP数据成功"));
  EXPECT_FALSE(DumpOrg(zeltod_).users.count("stray"));
  EXPECT_EQ(ReadPreviousInvocationId(base_dn_), id);
}

TEST_F(SambaUpdateTest, ExcludedOuAndAMoveOutOfADeletedOuTouchOnlyTheirOwnDepartments) {
  ConfigSpec settings = Base("UpdExcl");
  ASSERT_TRUE(dc_->Modify(Ou("OU=P") + Ou("OU=X,OU=P") + Ou("OU=Q") + Ou("OU=X,OU=Q") +
                          User("ue1", "OU=X,OU=Q") + Ou("OU=R") + Ou("OU=Y,OU=R") +
                          User("ue2", "OU=Y,OU=R")));
  settings.limit_dc = {Dn("OU=X,OU=P")};
  ASSERT_EQ(Run(settings, 0), 1);
  ServerOrg before = DumpOrg(zeltod_);
  ASSERT_TRUE(before.HasDept("Q\\X\\") && before.HasDept("R\\Y\\"));
  ASSERT_FALSE(before.HasDept("P\\X\\"));

  // The excluded OU is edited; Y moves out of R into P, and R is deleted after.
  ASSERT_TRUE(dc_->Modify("dn: " + Dn("OU=X,OU=P") +
                          "\nchangetype: modify\nreplace: description\ndescription: edited\n\n" +
                          "dn: " + Dn("OU=Y,OU=R") +
                          "\nchangetype: modrdn\nnewrdn: OU=Y\ndeleteoldrdn: 1\nnewsuperior: " +
                          Dn("OU=P") + "\n\n" + "dn: " + Dn("OU=R") + "\nchangetype: delete\n"));
  ASSERT_EQ(Run(settings, 1), 1);
  ServerOrg org = DumpOrg(zeltod_);
  EXPECT_TRUE(org.HasDept("Q\\X\\"));
  EXPECT_FALSE(org.HasDept("P\\X\\"));
  EXPECT_EQ(Lower(org.users["ue1"].departments), std::vector<std::string>{"q\\x\\"});
  EXPECT_TRUE(org.HasDept("P\\Y\\"));
  EXPECT_FALSE(org.HasDept("R\\"));
  EXPECT_EQ(Lower(org.users["ue2"].departments), std::vector<std::string>{"p\\y\\"});
}

TEST_F(SambaUpdateTest, AnyDisabledAccountIsLeftOutByTheUpdateAsByTheFullImport) {
  ConfigSpec settings = Base("UpdDisabled");
  ASSERT_TRUE(dc_->Modify(Ou("OU=A") + User("ud1", "OU=A")));
  ASSERT_EQ(Run(settings, 0), 1);
  ASSERT_TRUE(DumpOrg(zeltod_).users.count("ud1"));
  // ud1 disabled with its password set never to expire; ud2 made disabled, without one.
  ASSERT_TRUE(dc_->Modify("dn: " + Dn("CN=ud1,OU=A") +
                          "\nchangetype: modify\nreplace: userAccountControl\n"
                          "userAccountControl: 66050\n\n" +
                          "dn: " + Dn("CN=ud2,OU=A") +
                          "\nchangetype: add\nobjectClass: user\nsAMAccountName: ud2\n"
                          "userAccountControl: 546\n"));
  ASSERT_EQ(Run(settings, 1), 1);
  ServerOrg org = DumpOrg(zeltod_);
  EXPECT_FALSE(org.users.count("ud1"));
  EXPECT_FALSE(org.users.count("ud2"));
}

TEST_F(SambaUpdateTest, DeletedObjectsTheBindAccountMayNotReadLeadToAFullImport) {
  ConfigSpec settings = Base("UpdNoTomb");
  // An ordinary account binds: the domain shows it no tombstones, and no error either.
  settings.admin = "alice";
  settings.password = dc_->User("alice").password;
  ASSERT_TRUE(dc_->Modify(Ou("OU=T") + User("ut1", "OU=T") + User("ut2", "OU=T")));
  ASSERT_EQ(Run(settings, 0), 1);
  const std::int64_t usn = ReadPreviousHighUsn(base_dn_);
  ASSERT_GT(usn, 0);
  ASSERT_TRUE(dc_->Modify("dn: " + Dn("CN=ut2,OU=T") + "\nchangetype: delete\n"));
  base_.ClearLines();
  ASSERT_EQ(Run(settings, 1), 1);
  EXPECT_TRUE(base_.Logged("无法读取已删除对象容器")) << Joined(base_.Lines());
  EXPECT_TRUE(base_.Logged("导入LDAP数据成功"));
  ServerOrg org = DumpOrg(zeltod_);
  EXPECT_FALSE(org.users.count("ut2"));
  EXPECT_TRUE(org.users.count("ut1"));
  EXPECT_GT(ReadPreviousHighUsn(base_dn_), usn);
}

TEST_F(SambaUpdateTest, UpdateKeepsToTheDeletionGuardAndToTheImportsScope) {
  ConfigSpec settings = Base("UpdGuard");
  const std::string outside = "OU=UpdGuardOut," + dc_->base_dn();
  ASSERT_TRUE(dc_->Modify("dn: " + outside +
                          "\nchangetype: add\nobjectClass: organizationalUnit\n\n"
                          "dn: CN=gdout," +
                          outside +
                          "\nchangetype: add\nobjectClass: user\nsAMAccountName: gdout\n"
                          "userAccountControl: 512\nunicodePwd:: " +
                          UnicodePwd(kPassword) + "\n\n" + Ou("OU=A") + User("gd1", "OU=A") +
                          User("gd2", "OU=A") + User("gd3", "OU=A") + User("gd4", "OU=A") +
                          User("gd5", "OU=A")));
  settings.delete_threshold = 3;
  ASSERT_EQ(Run(settings, 0), 1);
  {
    // An account of the server's own that shares a name with a user outside the base.
    std::unique_ptr<SdkRoot> sdk =
        SdkRoot::Create(zeltod_.Host(), zeltod_.SdkPort(), {zeltod_.CredentialFile()});
    sdk->UserManager()->AddUser("gdout", 0);
  }
  std::string disable;
  for (const char* account : {"gd1", "gd2", "gd3", "gd4", "gd5"}) {
    disable += "dn: " + Dn(std::string("CN=") + account + ",OU=A") +
               "\nchangetype: modify\nreplace: userAccountControl\nuserAccountControl: 514\n\n";
  }
  ASSERT_TRUE(dc_->Modify(disable + "dn: CN=gdout," + outside + "\nchangetype: delete\n"));
  base_.ClearLines();
  EXPECT_EQ(Run(settings, 1), 0);
  EXPECT_TRUE(base_.Logged("本次将删除0个部门和5个用户, 超过删除上限3")) << Joined(base_.Lines());
  ServerOrg guarded = DumpOrg(zeltod_);
  EXPECT_TRUE(guarded.users.count("gd1") && guarded.users.count("gd5"));
  EXPECT_TRUE(guarded.users.count("gdout"));

  // Kept data: gd5, moved by hand into a department of the server's own, stays its own.
  {
    std::unique_ptr<SdkRoot> sdk =
        SdkRoot::Create(zeltod_.Host(), zeltod_.SdkPort(), {zeltod_.CredentialFile()});
    sdk->DeptManager()->AddDepartment("Own", "");
    sdk->DeptManager()->MoveUser("gd5", "A\\", "Own\\", 0);
  }
  settings.delete_threshold = 0;
  settings.same_cover = 1;
  ASSERT_EQ(Run(settings, 1), 1);
  ServerOrg org = DumpOrg(zeltod_);
  EXPECT_FALSE(org.users.count("gd1") || org.users.count("gd4"));
  EXPECT_TRUE(org.users.count("gd5"));
  EXPECT_TRUE(org.users.count("gdout"));  // deleted outside the base: not the directory's
  ASSERT_TRUE(dc_->Modify("dn: " + outside + "\nchangetype: delete\n"));
}

TEST_F(SambaUpdateTest, OuWithABackslashInTheUpdateAndTheNamedUserImport) {
  ConfigSpec settings = Base("UpdSlash");
  ASSERT_TRUE(dc_->Modify(Ou("OU=R") + Ou("OU=D,OU=R") + User("us0", "OU=D,OU=R")));
  ASSERT_EQ(Run(settings, 0), 1);
  ASSERT_TRUE(dc_->Modify(Ou("OU=R\\5CD") + User("us1", "OU=R\\5CD")));
  ASSERT_EQ(Run(settings, 1), 1);
  ServerOrg org = DumpOrg(zeltod_);
  EXPECT_TRUE(org.HasDept("R/D\\"));
  EXPECT_EQ(Lower(org.users["us1"].departments), std::vector<std::string>{"r/d\\"});
  EXPECT_EQ(Lower(org.users["us0"].departments), std::vector<std::string>{"r\\d\\"});

  ASSERT_TRUE(dc_->Modify(User("us2", "OU=R\\5CD")));
  SyncEngine engine;
  engine.EngineInit();
  std::vector<std::string> failed;
  EXPECT_EQ(engine.ImportNamedUsers({"us2"}, failed), 1);
  EXPECT_TRUE(failed.empty());
  EXPECT_EQ(Lower(DumpOrg(zeltod_).users["us2"].departments), std::vector<std::string>{"r/d\\"});
}

}  // namespace
}  // namespace norvane::testing
