// Listing the server's organisation and removing excluded accounts, against a real zeltod.
#include "server/organisation.h"

#include <gtest/gtest.h>

#include "config/ldap_config.h"
#include "tests/config/config_test_support.h"
#include "tests/fixtures/zeltod_fixture.h"

namespace norvane {
namespace {

using testing::TempBase;
using Names = std::vector<std::string>;

TEST(ParseNameListTest, ReadsTheNamesOfTheExpectedChildrenOnly) {
  EXPECT_EQ(ParseNameList("<Departments><Department Name=\"A\"/><Department Name=\"B\"/>"
                          "</Departments>",
                          "Departments", "Department"),
            (Names{"A", "B"}));
  EXPECT_EQ(ParseNameList("<departments><DEPARTMENT Name=\"a\"/><Other Name=\"x\"/>"
                          "<Department/></departments>",
                          "Departments", "Department"),
            (Names{"a", ""}));
  EXPECT_EQ(ParseNameList("<Users><User Name=\"张三\"/></Users>", "Users", "User"),
            (Names{"张三"}));
  EXPECT_TRUE(
      ParseNameList("<Users><User Name=\"u\"/></Users>", "Departments", "Department").empty());
  EXPECT_TRUE(ParseNameList("<Users><User Name=\"u\"/>", "Users", "User").empty());
  EXPECT_TRUE(ParseNameList("", "Users", "User").empty());
  EXPECT_TRUE(
      ParseNameList("<Wrap><Users><User Name=\"u\"/></Users></Wrap>", "Users", "User").empty());
}

class OrganisationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(zeltod_.Start()) << zeltod_.LogText();
    WriteConfig(zeltod_.Host(), zeltod_.SdkPort());
    root_ = CreateConfiguredSdkRoot();
    ASSERT_NE(root_, nullptr);
  }
  void WriteConfig(const std::string& host, int port) {
    base_.WriteConfig("<LdapConfig><SysConfig SDKSVRIP=\"" + host + "\" SDKSVRPort=\"" +
                      std::to_string(port) + "\" APPSVRIP=\"" + host + "\" APPSVRPort=\"" +
                      std::to_string(zeltod_.AppPort()) + "\" SDKCredentialFile=\"" +
                      zeltod_.CredentialFile() + "\"/></LdapConfig>");
  }
  void Ctl(const std::vector<std::string>& args) {
    std::string out, err;
    ASSERT_EQ(zeltod_.Ctl(args, &out, "", &err), 0) << out << err;
  }

  Zeltod zeltod_;
  TempBase base_;
  std::unique_ptr<SdkRoot> root_;
};

TEST_F(OrganisationTest, ServerWithoutDepartmentsGivesTheTopLevelAccountsOnly) {
  Ctl({"add-user", "alone"});
  Names departments{"stale"}, accounts{"stale"};
  ASSERT_TRUE(CollectServerOrganisation(root_.get(), departments, accounts));
  EXPECT_TRUE(departments.empty());
  EXPECT_EQ(accounts, (Names{"alone"}));
}

TEST_F(OrganisationTest, WalksDepthFirstWithEachDepartmentsUsersBeforeItsChildren) {
  Ctl({"add-dept", "Alpha\\Beta\\"});
  Ctl({"add-dept", "Gamma\\"});
  Ctl({"add-user", "top"});
  Ctl({"add-user", "a1", "Alpha\\"});
  Ctl({"add-user", "b1", "Alpha\\Beta\\"});
  Ctl({"add-user", "g1", "Gamma\\"});
  Names departments, accounts;
  ASSERT_TRUE(CollectServerOrganisation(root_.get(), departments, accounts));
  EXPECT_EQ(departments, (Names{"Alpha\\", "Gamma\\", "Alpha\\Beta\\"}));
  EXPECT_EQ(accounts, (Names{"top", "a1", "b1", "g1"}));

  Names users;
  ASSERT_TRUE(ListDepartmentUsers(root_.get(), "Alpha\\", users));
  EXPECT_EQ(users, (Names{"a1"}));  // sub-departments are not included
  ASSERT_TRUE(ListDepartmentUsers(root_.get(), "Alpha\\Beta\\", users));
  EXPECT_EQ(users, (Names{"b1"}));
}

TEST_F(OrganisationTest, RemovesTheExistingExcludedAccountsAndSkipsUnknownOnes) {
  Ctl({"add-user", "keep"});
  Ctl({"add-user", "drop1"});
  Ctl({"add-dept", "X\\"});
  Ctl({"add-user", "drop2", "X\\"});
  EXPECT_TRUE(RemoveExcludedUsers(root_.get(), {"nobody", "ghost"}));
  ASSERT_TRUE(RemoveExcludedUsers(root_.get(), {"drop1", "nobody", "drop2"}));
  SdkUserManager* users = root_->UserManager();
  EXPECT_TRUE(users->UserExists("keep"));
  EXPECT_FALSE(users->UserExists("drop1"));
  EXPECT_FALSE(users->UserExists("drop2"));
  EXPECT_TRUE(RemoveExcludedUsers(root_.get(), {}));
}

TEST_F(OrganisationTest, AStoppedServerGivesFalse) {
  Ctl({"add-user", "u"});
  ASSERT_TRUE(zeltod_.Stop());
  Names departments, accounts, users;
  EXPECT_FALSE(CollectServerOrganisation(root_.get(), departments, accounts));
  EXPECT_FALSE(ListDepartmentUsers(root_.get(), "", users));
  EXPECT_FALSE(RemoveExcludedUsers(root_.get(), {"u"}));
}

TEST_F(OrganisationTest, NoSdkAddressMeansNoSdkObjects) {
  WriteConfig("", zeltod_.SdkPort());
  EXPECT_EQ(CreateConfiguredSdkRoot(), nullptr);
  CLdapConfig config;
  EXPECT_TRUE(config.Init()) << "the configuration works without the SDK";
  Names departments{"x"}, accounts{"y"};
  EXPECT_FALSE(CollectServerOrganisation(nullptr, departments, accounts));
  EXPECT_FALSE(RemoveExcludedUsers(nullptr, {"u"}));
  base_.WriteConfig("<LdapConfig/>");
  EXPECT_EQ(CreateConfiguredSdkRoot(), nullptr);
}

TEST_F(OrganisationTest, TheSdkWorksWithoutAnApplicationServerAddress) {
  Ctl({"add-user", "u"});
  base_.WriteConfig("<LdapConfig><SysConfig SDKSVRIP=\"" + zeltod_.Host() + "\" SDKSVRPort=\"" +
                    std::to_string(zeltod_.SdkPort()) + "\" SDKCredentialFile=\"" +
                    zeltod_.CredentialFile() + "\"/></LdapConfig>");
  std::unique_ptr<SdkRoot> root = CreateConfiguredSdkRoot();
  ASSERT_NE(root, nullptr);
  Names departments, accounts;
  ASSERT_TRUE(CollectServerOrganisation(root.get(), departments, accounts));
  EXPECT_EQ(accounts, (Names{"u"}));
}

}  // namespace
}  // namespace norvane
