// The excluded-users dialog against a real zeltod holding a small organisation.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include "config/ldap_config.h"
#include "tests/ui/ui_test_support.h"
#include "ui/excluded_users_dialog.h"

namespace norvane::testing {
namespace {

using Names = std::vector<std::string>;

class ExcludedUsersTest : public UiServersTest {
 protected:
  static void SetUpTestSuite() {
    UiServersTest::SetUpTestSuite();
    Ctl({"add-dept", "研发部\\"});
    Ctl({"add-dept", "Sales\\"});
    Ctl({"add-user", "zhang", "研发部\\"});
    Ctl({"add-user", "zhao", "研发部\\"});
    Ctl({"add-user", "alpha", "Sales\\"});
    Ctl({"add-user", "Alpine"});
    Ctl({"add-user", "beta"});
  }

  void Open(const Names& limit_user) {
    ConfigSpec settings = Corp();
    settings.limit_user = limit_user;
    ASSERT_TRUE(WriteConfig(settings));
    dialog_ = std::make_unique<CExcludedUsersDlg>();
    dialog_->ShowDialog();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog_.get()));
  }
  static QStringList Texts(const QListWidget* list, bool selected_only = false) {
    QStringList texts;
    for (int row = 0; row < list->count(); ++row) {
      if (!selected_only || list->item(row)->isSelected()) texts << list->item(row)->text();
    }
    return texts;
  }
  QListWidget* Left() const { return dialog_->Candidates(); }
  QListWidget* Right() const { return dialog_->Excluded(); }
  void Select(QListWidget* list, const QStringList& texts) const {
    list->clearSelection();
    for (const QString& text : texts)
      list->findItems(text, Qt::MatchExactly).front()->setSelected(true);
  }
  void Press(const char* name) const { dialog_->findChild<QPushButton*>(name)->click(); }
  static Names StoredLimitUser() {
    CLdapConfig config;
    config.Init();
    Names names;
    config.LoadLimitUser(names);
    return names;
  }

  std::unique_ptr<CExcludedUsersDlg> dialog_;
};

TEST_F(ExcludedUsersTest, ListsTheServersAccountsSortedAndTheStoredExclusions) {
  Open({"ghost", "zhang"});
  EXPECT_EQ(Texts(Right()), (QStringList{"ghost", "zhang"}));
  EXPECT_TRUE(Texts(Left()).contains("Alpine"));
  QStringList sorted = Texts(Left());
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(Texts(Left()), sorted);
  EXPECT_EQ(Texts(Left(), true), QStringList{Left()->item(0)->text()});
}

TEST_F(ExcludedUsersTest, TypingSelectsTheLastAccountThatBeginsWithTheText) {
  Open({});
  auto* search = dialog_->findChild<QLineEdit*>("search");
  QTest::keyClicks(search, "AL");
  EXPECT_EQ(Texts(Left(), true), QStringList{"alpha"});  // "Alpine" < "alpha": sorted first
  QTest::keyClicks(search, "P");
  EXPECT_EQ(Texts(Left(), true), QStringList{"alpha"});
  QTest::keyClick(search, Qt::Key_Backspace);
  QTest::keyClicks(search, "pi");
  EXPECT_EQ(Texts(Left(), true), QStringList{"Alpine"});
  EXPECT_TRUE(search->hasFocus() || dialog_->focusWidget() == search);
}

TEST_F(ExcludedUsersTest, AddAndRemoveMoveAccountsWithoutDuplicates) {
  Open({"ghost", "zhang"});
  Select(Left(), {"alpha", "beta"});
  Press("add");
  EXPECT_EQ(Texts(Right()), (QStringList{"ghost", "zhang", "alpha", "beta"}));
  EXPECT_EQ(Texts(Right(), true), (QStringList{"alpha", "beta"}));
  EXPECT_FALSE(Texts(Left()).contains("alpha"));

  Select(Left(), {"zhang"});  // already excluded: leaves the left list, not doubled
  Press("add");
  EXPECT_EQ(Texts(Right()).count("zhang"), 1);

  Select(Right(), {"ghost", "alpha"});
  Press("remove");
  EXPECT_EQ(Texts(Right()), (QStringList{"zhang", "beta"}));
  EXPECT_TRUE(Texts(Left()).contains("ghost"));  // not on the server, still a candidate now
  EXPECT_TRUE(Texts(Left()).contains("alpha"));

  Press("removeAll");
  EXPECT_EQ(Right()->count(), 0);
  Press("addAll");
  EXPECT_EQ(Left()->count(), 0);
  EXPECT_EQ(Right()->count(), 6);
}

TEST_F(ExcludedUsersTest, AddingADepartmentAddsEachOfItsAccountsOnce) {
  Open({"zhang"});
  dialog_->findChild<QRadioButton*>("departmentsMode")->click();
  EXPECT_EQ(Texts(Left()), (QStringList{"Sales\\", "研发部\\"}));
  Select(Left(), {"研发部\\"});
  Press("add");
  EXPECT_EQ(Texts(Right()), (QStringList{"zhang", "zhao"}));
  EXPECT_EQ(Texts(Left()), QStringList{"Sales\\"});
  dialog_->findChild<QRadioButton*>("usersMode")->click();
  EXPECT_TRUE(Texts(Left()).contains("zhao"));
}

TEST_F(ExcludedUsersTest, SaveStoresTheListAndRemovesThoseAccountsFromTheServer) {
  Ctl({"add-user", "leaver1"});
  Ctl({"add-user", "leaver2"});
  Open({"ghost"});
  Select(Left(), {"leaver2", "leaver1"});
  Press("add");
  Press("save");
  EXPECT_FALSE(dialog_->isVisible());
  EXPECT_EQ(StoredLimitUser(), (Names{"ghost", "leaver1", "leaver2"}));
  const ServerOrg org = DumpOrg(Server());
  EXPECT_FALSE(org.users.count("leaver1"));
  EXPECT_FALSE(org.users.count("leaver2"));
  EXPECT_TRUE(org.users.count("beta"));

  Open({"ghost"});
  Press("removeAll");
  Press("save");
  EXPECT_TRUE(StoredLimitUser().empty());
  EXPECT_EQ(DumpOrg(Server()).users.size(), org.users.size());
}

}  // namespace
}  // namespace norvane::testing
