// The specified-users dialog's import of named accounts from a real Samba AD domain into a
// real zeltod.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <cstdlib>

#include "tests/fixtures/samba_fixture.h"
#include "tests/ui/ui_test_support.h"
#include "ui/specified_users_dialog.h"

namespace norvane::testing {
namespace {

class SpecifiedUsersImportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsureApplication();
    dc_ = SambaDomain::Shared();
    ASSERT_NE(dc_, nullptr);
    setenv("LDAPTLS_CACERT", dc_->ca_file().c_str(), 1);
    ASSERT_TRUE(zeltod_.Start()) << zeltod_.LogText();
  }
  ConfigSpec Domain() const { return DomainSettings(*dc_); }
  // Opens the dialog, imports `accounts` and returns the messages shown.
  QStringList Import(const QString& accounts) {
    MessageBoxWatcher boxes;
    CSpecifiedUsersDlg dialog;
    dialog.show();
    dialog.findChild<QLineEdit*>("importAccounts")->setText(accounts);
    dialog.findChild<QPushButton*>("importUsers")->click();
    EXPECT_FALSE(dialog.isVisible());
    return boxes.Texts();
  }

  SambaDomain* dc_ = nullptr;
  Zeltod zeltod_;
  BaseFolderScope base_;
};

TEST_F(SpecifiedUsersImportTest, ReportsSuccessOrTheAccountsThatWereNotPlaced) {
  ConfigSpec settings = Domain();
  ASSERT_TRUE(base_.WriteConfig(settings, zeltod_));
  EXPECT_EQ(Import("bob"), QStringList{"同步指定LDAP用户到Zelto成功!"});
  EXPECT_EQ(DumpOrg(zeltod_).users["bob"].departments,
            std::vector<std::string>{"Corp\\Sales\\East\\"});

  // An account under no configured domain controller is not placed: it is reported, not
  // passed over as a success.
  settings.dc_list = {"DC=other,DC=example,DC=com"};
  ASSERT_TRUE(base_.WriteConfig(settings, zeltod_));
  EXPECT_EQ(Import("carol"), QStringList{"同步LDAP失败的用户列表：carol;!"});

  // The account the directory does not know ends the import and is named.
  settings.dc_list.clear();
  ASSERT_TRUE(base_.WriteConfig(settings, zeltod_));
  EXPECT_EQ(Import("alice;nosuchuser;jsmith"), QStringList{"同步LDAP失败的用户列表：nosuchuser;!"});
  EXPECT_TRUE(DumpOrg(zeltod_).users.count("alice"));
}

}  // namespace
}  // namespace norvane::testing
