// The specified-users dialog's authentication actions against a real zeltod.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "tests/ui/ui_test_support.h"
#include "ui/specified_users_dialog.h"

namespace norvane::testing {
namespace {

class SpecifiedUsersTest : public UiServersTest {
 protected:
  static void SetUpTestSuite() {
    UiServersTest::SetUpTestSuite();
    for (const char* account : {"sp1", "sp2", "sp3"}) Ctl({"add-user", account});
  }
  void Open(const QString& accounts) {
    dialog_ = std::make_unique<CSpecifiedUsersDlg>();
    dialog_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog_.get()));
    dialog_->findChild<QLineEdit*>("authAccounts")->setText(accounts);
  }
  static std::string AuthType(const std::string& account) {
    return DumpOrg(Server()).users[account].Field("authType");
  }

  std::unique_ptr<CSpecifiedUsersDlg> dialog_;
};

TEST_F(SpecifiedUsersTest, ThirdPartyForTwoAccountsThenCloses) {
  Open("sp1;sp2");
  dialog_->findChild<QPushButton*>("setThirdParty")->click();
  ASSERT_EQ(boxes_.Shown().size(), 1u);
  EXPECT_EQ(boxes_.Shown()[0].caption, "温馨提示");
  EXPECT_EQ(boxes_.Shown()[0].text, "设置用户认证类型成功!");
  EXPECT_EQ(AuthType("sp1"), "3");
  EXPECT_EQ(AuthType("sp2"), "3");
  EXPECT_EQ(AuthType("sp3"), "0");
  EXPECT_FALSE(dialog_->isVisible());
  EXPECT_EQ(dialog_->result(), QDialog::Accepted);
}

TEST_F(SpecifiedUsersTest, EscapeSetsLocalAuthenticationForTheFirstEdit) {
  Ctl({"set-auth", "sp3", "3"});
  Open("sp3;");
  QTest::keyClick(dialog_.get(), Qt::Key_Escape);
  EXPECT_EQ(boxes_.Texts(), QStringList{"设置用户认证类型成功!"});
  EXPECT_EQ(AuthType("sp3"), "0");
  EXPECT_FALSE(dialog_->isVisible());
}

TEST_F(SpecifiedUsersTest, EmptyEditSubmitsOneEmptyAccountAndReportsNoSuccess) {
  Open("");
  dialog_->findChild<QPushButton*>("setLocal")->click();
  EXPECT_FALSE(boxes_.Texts().contains("设置用户认证类型成功!"));
  EXPECT_EQ(boxes_.Texts(), QStringList{"调用新的Zelto SDK设置用户认证类型接口失败!"});
  EXPECT_FALSE(dialog_->isVisible());
}

}  // namespace
}  // namespace norvane::testing
