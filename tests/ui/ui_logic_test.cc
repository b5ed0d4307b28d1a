// The decisions of the windows without a display: the department tree's check rules, the
// account lists and the wizard's checks and stored values.
#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <cstdlib>

#include "config/ldap_config.h"
#include "platform/xml.h"
#include "tests/config/config_test_support.h"
#include "ui/account_list.h"
#include "ui/dept_tree_model.h"
#include "ui/wizard_logic.h"

namespace norvane {
namespace {

using Keys = std::vector<std::string>;

// o=corp > (Sales > (East, West), Staff); the base has no name of its own.
constexpr const char* kTree =
    "<enterprise><departments>"
    "<department name='' describe='o=corp'>"
    "<department name='Sales' describe='ou=Sales'>"
    "<department name='East' describe='ou=East'/><department name='West' describe='ou=West'/>"
    "</department>"
    "<Department name='Staff' describe='ou=Staff'/><other name='x' describe='x'/>"
    "</department></departments></enterprise>";

class DeptTreeModelTest : public ::testing::Test {
 protected:
  void Build(const Keys& excluded) {
    ASSERT_TRUE(doc_.LoadXml(kTree));
    model_.Build(doc_.Root().Children().front(), excluded);
  }
  QModelIndex At(std::initializer_list<int> rows) const {
    QModelIndex index;
    for (int row : rows) index = model_.index(row, 0, index);
    return index;
  }
  void Click(std::initializer_list<int> rows) {
    model_.setData(At(rows), Qt::Checked, Qt::CheckStateRole);
  }

  XmlDocument doc_;
  DeptTreeModel model_;
  QAbstractItemModelTester tester_{&model_, QAbstractItemModelTester::FailureReportingMode::Fatal};
};

TEST_F(DeptTreeModelTest, BuildsDepartmentsInOrderAllCheckedWithoutExclusions) {
  Build({});
  EXPECT_EQ(model_.rowCount(), 1);
  EXPECT_EQ(model_.rowCount(At({0})), 2);          // "other" is no department
  EXPECT_EQ(At({0}).data().toString(), "o=corp");  // labelled with its key
  EXPECT_EQ(At({0, 0}).data().toString(), "Sales");
  EXPECT_EQ(At({0, 0, 1}).data(DeptTreeModel::kKeyRole).toString(), "ou=West");
  EXPECT_EQ(model_.CheckedCount(), 5);
  EXPECT_TRUE(model_.UncheckedKeys().empty());
}

TEST_F(DeptTreeModelTest, ExcludedChildOfCheckedParentIsUncheckedAndNotCounted) {
  Build({"ou=East"});
  EXPECT_TRUE(model_.IsChecked(At({0, 0})));
  EXPECT_FALSE(model_.IsChecked(At({0, 0, 0})));
  EXPECT_EQ(model_.CheckedCount(), 4);
  // Under an unchecked parent a checked child is not counted either.
  Build({"ou=Sales"});
  EXPECT_TRUE(model_.IsChecked(At({0, 0, 0})));
  EXPECT_EQ(model_.CheckedCount(), 2);
}

TEST_F(DeptTreeModelTest, UncheckingTakesTheSubtreeAndSavesParentsBeforeChildren) {
  Build({});
  QSignalSpy changed(&model_, &DeptTreeModel::CheckStatesChanged);
  Click({0, 0});
  EXPECT_EQ(changed.count(), 1);
  EXPECT_EQ(model_.UncheckedKeys(), (Keys{"ou=Sales", "ou=East", "ou=West"}));
  EXPECT_EQ(model_.CheckedCount(), 2);
  Click({0});
  EXPECT_EQ(model_.UncheckedKeys(), (Keys{"o=corp", "ou=Sales", "ou=East", "ou=West", "ou=Staff"}));
}

TEST_F(DeptTreeModelTest, CheckingChecksAncestorsUpToTheFirstCheckedAndTheSubtree) {
  Build({"o=corp", "ou=Sales", "ou=East", "ou=West", "ou=Staff"});
  Click({0, 0, 1});
  EXPECT_TRUE(model_.IsChecked(At({0})));
  EXPECT_TRUE(model_.IsChecked(At({0, 0})));
  EXPECT_TRUE(model_.IsChecked(At({0, 0, 1})));
  EXPECT_FALSE(model_.IsChecked(At({0, 0, 0})));  // a sibling stays as it was
  EXPECT_FALSE(model_.IsChecked(At({0, 1})));
  EXPECT_EQ(model_.CheckedCount(), 3);

  Build({"ou=Sales", "ou=East", "ou=West"});
  Click({0, 0});  // checks the whole subtree below
  EXPECT_TRUE(model_.UncheckedKeys().empty());
}

TEST_F(DeptTreeModelTest, CheckAllAndUncheckAll) {
  Build({"ou=East"});
  model_.SetAllChecked(false);
  EXPECT_EQ(model_.CheckedCount(), 0);
  EXPECT_EQ(model_.UncheckedKeys().size(), 5u);
  model_.SetAllChecked(true);
  EXPECT_EQ(model_.CheckedCount(), 5);
}

TEST(AccountListTest, CutsAtSemicolonsWithoutTrimming) {
  using List = std::vector<std::string>;
  EXPECT_EQ(ParseAccountList("a;b"), (List{"a", "b"}));
  EXPECT_EQ(ParseAccountList("a;"), (List{"a"}));
  EXPECT_EQ(ParseAccountList(";b"), (List{"", "b"}));
  EXPECT_EQ(ParseAccountList("a;;b"), (List{"a", "", "b"}));
  EXPECT_EQ(ParseAccountList(" 张三 ;李四"), (List{" 张三 ", "李四"}));
  EXPECT_EQ(ParseAccountList(""), (List{""}));
  EXPECT_EQ(FailedAccountsMessage({"a", "b"}), "同步LDAP失败的用户列表：a;b;!");
}

TEST(WizardLogicTest, RequiredFieldsAreCheckedInOrderAndThePasswordMayBeEmpty) {
  DirectoryFields fields;
  EXPECT_EQ(FirstMissingField(fields), DirectoryField::kAddress);
  fields.address = "10.0.0.1";
  EXPECT_EQ(FirstMissingField(fields), DirectoryField::kAdmin);
  fields.admin = "admin";
  EXPECT_EQ(FirstMissingField(fields), DirectoryField::kDomain);
  fields.domain = "dc=test,dc=com";
  EXPECT_EQ(FirstMissingField(fields), DirectoryField::kNone);
  EXPECT_STREQ(MissingFieldMessage(DirectoryField::kAddress), "IP地址不能为空");
  EXPECT_STREQ(MissingFieldMessage(DirectoryField::kAdmin), "用户名不能为空");
  EXPECT_STREQ(MissingFieldMessage(DirectoryField::kDomain), "同步的域名不能为空");

  const DcEntry entry = TestEntry(fields, 2);
  EXPECT_EQ(entry.server_port, 389);
  EXPECT_EQ(entry.selected, 1);
  EXPECT_EQ(entry.dept_mode, 2);
  fields.password = std::string(40, 'p');
  EXPECT_EQ(TestEntry(fields, 0).admin_password.size(), kPasswordBytes);
}

TEST(WizardLogicTest, StoringStepOneKeepsTheServerSettingsAndSplitsTheDomains) {
  testing::TempBase base;
  base.WriteConfig(
      "<LdapConfig><SysConfig DC='dc=old,dc=com' APPSVRIP='app' APPSVRPort='7100' "
      "SDKSVRIP='sdk' SDKSVRPort='7101' LDAPSVRType='1'/></LdapConfig>");
  CLdapConfig config;
  config.Init();
  DirectoryFields fields{"10.0.0.1", 0, "admin", "secret", "dc=a,dc=b;dc=c,dc=d"};
  EXPECT_TRUE(StoreDirectoryPage(config, fields, 1, {TestEntry(fields, 0)}));
  EXPECT_EQ(config.SysConfig().app_server_ip, "app");
  EXPECT_EQ(config.SysConfig().sdk_server_port, 7101);
  EXPECT_EQ(config.SysConfig().ldap_server_port, 389);
  EXPECT_EQ(config.SysConfig().directory_type, 1);
  EXPECT_EQ(config.SyncScope().dept_domains, (std::vector<std::string>{"dc=a,dc=b", "dc=c,dc=d"}));
  EXPECT_EQ(config.DcList().size(), 1u);
  fields.domain = "DC=OLD,DC=COM";
  EXPECT_FALSE(StoreDirectoryPage(config, fields, 1, {}));
}

TEST(WizardLogicTest, DailyTimeRollsOverAndReadsBackAsHourAndMinute) {
  setenv("TZ", "Asia/Shanghai", 1);
  tzset();
  EXPECT_EQ(DailyUpdateTime(0, 0), 1293811200);  // 2011-01-01 00:00 +08:00
  int hour = -1;
  int minute = -1;
  HourMinuteOf(DailyUpdateTime(7, 45), &hour, &minute);
  EXPECT_EQ(hour, 7);
  EXPECT_EQ(minute, 45);
  EXPECT_EQ(DailyUpdateTime(24, 60), DailyUpdateTime(0, 0) + 25 * 3600);
  HourMinuteOf(DailyUpdateTime(24, 60), &hour, &minute);
  EXPECT_EQ(hour, 1);
  EXPECT_EQ(minute, 0);

  EXPECT_EQ(ParseInRange("24", 0, 24), 24);
  EXPECT_EQ(ParseInRange("0", 0, 60), 0);
  EXPECT_FALSE(ParseInRange("25", 0, 24));
  EXPECT_FALSE(ParseInRange("", 0, 24));
  EXPECT_FALSE(ParseInRange("-1", 0, 24));
  EXPECT_FALSE(ParseInRange("99999999999", 0, 24));
}

}  // namespace
}  // namespace norvane
