// The department selection dialog on the tree a preview of the real slapd writes.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <QTest>
#include <QTreeView>

#include "config/ldap_config.h"
#include "tests/ui/ui_test_support.h"
#include "ui/dept_dialog.h"
#include "ui/dept_tree_model.h"
#include "ui/wizard_logic.h"

namespace norvane::testing {
namespace {

using Keys = std::vector<std::string>;

// o=corp: corp > Sales (East, 销售二部), Engineering (Platform), Research\, Development,
// Staff, Groups.
constexpr int kCorpDepartments = 9;

class DeptDialogTest : public UiServersTest {
 protected:
  void Open(const Keys& limit_dc = {}) {
    ConfigSpec settings = Corp();
    settings.limit_dc = limit_dc;
    ASSERT_TRUE(WriteConfig(settings));
    dialog_ = std::make_unique<CDeptSelectDlg>();
    CLdapConfig config;
    config.Init();
    SysConfigInfo sys;
    ASSERT_TRUE(config.LoadSysConfig(sys));
    dialog_->LoadPreview(PreviewEntry(sys));
    ASSERT_TRUE(dialog_->isVisible());
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog_.get()));
  }
  // The department named `name` anywhere in the tree.
  QModelIndex Find(const QString& name) const {
    const QModelIndexList found = Model()->match(Model()->index(0, 0), Qt::DisplayRole, name, 1,
                                                 Qt::MatchExactly | Qt::MatchRecursive);
    return found.isEmpty() ? QModelIndex() : found.front();
  }
  std::string Key(const QString& name) const {
    return Find(name).data(DeptTreeModel::kKeyRole).toString().toStdString();
  }
  DeptTreeModel* Model() const { return dialog_->Model(); }
  // A mouse click on the item's check box, where a user clicks.
  void ClickCheckBox(const QString& name) {
    QTreeView* tree = dialog_->Tree();
    const QModelIndex index =
        tree->model()->index(Find(name).row(), 0, ViewIndex(Find(name).parent()));
    tree->scrollTo(index);
    QStyleOptionViewItem option;
    option.initFrom(tree);
    option.rect = tree->visualRect(index);
    option.features = QStyleOptionViewItem::HasCheckIndicator;
    const QRect box =
        tree->style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &option, tree);
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, box.center());
  }
  QModelIndex ViewIndex(const QModelIndex& source) const {
    if (!source.isValid()) return {};
    return dialog_->Tree()->model()->index(source.row(), 0, ViewIndex(source.parent()));
  }
  int Count() const { return dialog_->findChild<QLineEdit*>("checkedCount")->text().toInt(); }
  void Press(const char* button) const { dialog_->findChild<QPushButton*>(button)->click(); }
  static Keys StoredLimitDC() {
    CLdapConfig config;
    config.Init();
    Keys keys;
    config.LoadLimitDC(keys);
    return keys;
  }

  std::unique_ptr<CDeptSelectDlg> dialog_;
};

TEST_F(DeptDialogTest, WithoutExclusionsEveryDepartmentIsCheckedAndCounted) {
  Open();
  EXPECT_EQ(Count(), kCorpDepartments);
  EXPECT_EQ(Model()->index(0, 0).data().toString(), "o=corp");  // no name of its own
  EXPECT_TRUE(Find("销售二部").isValid());
  EXPECT_TRUE(Model()->UncheckedKeys().empty());
}

TEST_F(DeptDialogTest, UncheckingADepartmentSavesItAndItsSubDepartments) {
  Open();
  ClickCheckBox("Sales");
  EXPECT_FALSE(Model()->IsChecked(Find("East")));
  EXPECT_TRUE(dialog_->Tree()->selectionModel()->isSelected(ViewIndex(Find("Sales"))));
  EXPECT_EQ(Count(), kCorpDepartments - 3);
  const Keys expected{Key("Sales"), Key("East"), Key("销售二部")};
  Press("save");
  EXPECT_FALSE(dialog_->isVisible());
  EXPECT_EQ(StoredLimitDC(), expected);
  EXPECT_EQ(expected[0], "ou=Sales,o=corp");
}

TEST_F(DeptDialogTest, CheckAllUncheckAllAndCancelWhichStoresNothing) {
  Open({"ou=Staff,o=corp"});
  Press("uncheckAll");
  EXPECT_EQ(Count(), 0);
  Press("checkAll");
  EXPECT_EQ(Count(), kCorpDepartments);
  Press("cancel");
  EXPECT_FALSE(dialog_->isVisible());
  EXPECT_EQ(StoredLimitDC(), Keys{"ou=Staff,o=corp"});
  EXPECT_TRUE(Model()->IsChecked(Find("Staff")));  // kept on screen for the next showing
}

}  // namespace
}  // namespace norvane::testing
