// The change-plan dialog filled from a ChangeSet as the SDK component's writes build it.
#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>

#include "server/sdk.h"
#include "sync/change_set.h"
#include "tests/ui/ui_test_support.h"
#include "ui/plan_dialog.h"

namespace norvane::testing {
namespace {

using Kind = SdkWrite::Kind;

// "title (n)" of each branch, and the two columns of each row under it.
QStringList Branches(QTreeWidget* tree) {
  QStringList titles;
  for (int i = 0; i < tree->topLevelItemCount(); ++i) titles << tree->topLevelItem(i)->text(0);
  return titles;
}
QStringList Rows(QTreeWidgetItem* branch) {
  QStringList rows;
  for (int i = 0; i < branch->childCount(); ++i) {
    rows << branch->child(i)->text(0) + "|" + branch->child(i)->text(1);
  }
  return rows;
}

TEST(PlanDialogTest, ShowsCountsGuardVerdictAndEveryChangeByKind) {
  EnsureApplication();
  ChangeSet plan;
  plan.Reset();
  for (const SdkWrite& w : std::vector<SdkWrite>{
           {Kind::kAddDepartment, "", "总部\\研发\\"},
           {Kind::kRenameDepartment, "", "总部\\市场\\", "总部\\市场部\\"},
           {Kind::kRemoveDepartment, "", "总部\\旧部门\\"},
           {Kind::kAddUser, "zhang", "", "", 3},
           {Kind::kMoveUser, "zhang", "", "总部\\研发\\"},
           {Kind::kMoveUser, "li", "总部\\市场\\", "总部\\研发\\"},
           {Kind::kRemoveUser, "wang"},
           {Kind::kBasicInfo, "zhao"},  // a rewrite: counted, not listed
       }) {
    plan.OnWrite(w);
  }
  plan.SetGuard({true, 2, 1, true});

  CChangePlanDlg dialog;
  dialog.SetPlan(plan);
  const QString summary = dialog.Summary()->text();
  EXPECT_TRUE(summary.startsWith("共 6 项变更\n")) << summary.toStdString();
  EXPECT_TRUE(summary.contains("部门：新增 1，改名 1，移动 0，删除 1")) << summary.toStdString();
  EXPECT_TRUE(summary.contains("帐号：新增 1，移动 1，删除 1；切换认证方式 0"));
  EXPECT_TRUE(summary.contains("另有 1 个已有帐号的资料按目录重写"));
  EXPECT_TRUE(dialog.GuardVerdict()->text().contains("将删除 2 项，超过删除上限 1"))
      << dialog.GuardVerdict()->text().toStdString();

  QTreeWidget* tree = dialog.Tree();
  ASSERT_EQ(Branches(tree), (QStringList{"新增部门 (1)", "改名部门 (1)", "删除部门 (1)",
                                         "新增帐号 (1)", "移动帐号 (1)", "删除帐号 (1)"}));
  EXPECT_EQ(Rows(tree->topLevelItem(0)), QStringList{"总部\\研发|"});
  EXPECT_EQ(Rows(tree->topLevelItem(1)), QStringList{"总部\\市场|→ 总部\\市场部"});
  EXPECT_EQ(Rows(tree->topLevelItem(3)), QStringList{"zhang|部门：总部\\研发"});
  EXPECT_EQ(Rows(tree->topLevelItem(4)), QStringList{"li|从 总部\\市场 到 总部\\研发"});
  EXPECT_EQ(Rows(tree->topLevelItem(5)), QStringList{"wang|"});
  EXPECT_TRUE(tree->topLevelItem(5)->isExpanded());
  EXPECT_FALSE(tree->topLevelItem(0)->isExpanded());  // folded, so the removals are in sight

  dialog.show();
  dialog.RunButton()->click();
  EXPECT_EQ(dialog.result(), QDialog::Accepted);

  // A long list stops at the limit and says what it left out; an empty plan says so.
  ChangeSet many;
  many.Reset();
  for (int i = 0; i < CChangePlanDlg::kListLimit + 3; ++i) {
    many.OnWrite({Kind::kRemoveUser, "u" + std::to_string(i)});
  }
  dialog.SetPlan(many);
  ASSERT_EQ(Branches(tree),
            QStringList{QStringLiteral("删除帐号 (%1)").arg(CChangePlanDlg::kListLimit + 3)});
  QTreeWidgetItem* removed = tree->topLevelItem(0);
  ASSERT_EQ(removed->childCount(), CChangePlanDlg::kListLimit + 1);
  EXPECT_EQ(removed->child(CChangePlanDlg::kListLimit)->text(0), "……另有 3 项未列出");
  EXPECT_TRUE(dialog.GuardVerdict()->text().contains("允许删除"));

  dialog.SetPlan(ChangeSet());
  EXPECT_EQ(Branches(tree), QStringList{"没有需要变更的部门和帐号"});
  EXPECT_EQ(dialog.GuardVerdict()->text(), "删除保护：本次同步不删除任何部门和帐号。");
}

}  // namespace
}  // namespace norvane::testing
