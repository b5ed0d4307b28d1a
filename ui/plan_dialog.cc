#include "ui/plan_dialog.h"

#include <QBrush>
#include <QColor>
#include <QFont>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QStringList>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "sync/change_set.h"
#include "ui/message_box.h"

namespace norvane {
namespace {

// Removals cannot be undone from here; they stand out.
const QColor kRemovalColour(0xb0, 0x00, 0x20);
// Branches this long start folded. Removals are always unfolded, and when there are any,
// every other branch starts folded so that they are in sight.
constexpr int kUnfoldLimit = 100;

QString Q(const std::string& text) { return QString::fromStdString(text); }

QString Paths(const std::vector<std::string>& paths) {
  if (paths.empty()) return QStringLiteral("（无部门）");
  QStringList list;
  for (const std::string& path : paths) list << Q(ChangeSet::DisplayPath(path));
  return list.join(QStringLiteral("; "));
}

QString AuthTypeText(int type) {
  switch (type) {
    case 3:
      return QStringLiteral("改为LDAP认证");
    case 0:
      return QStringLiteral("改为Zelto密码认证");
    default:
      return QStringLiteral("改为认证类型 %1").arg(type);
  }
}

// One branch of the tree: `title (n)`, then one row per entry, `row` giving its two
// columns. Nothing for an empty list.
template <typename T, typename Row>
void Branch(QTreeWidget* tree, const QString& title, const std::vector<T>& items, bool removal,
            bool unfold, Row&& row) {
  if (items.empty()) return;
  auto* branch =
      new QTreeWidgetItem(tree, {QStringLiteral("%1 (%2)").arg(title).arg(items.size())});
  QFont bold = branch->font(0);
  bold.setBold(true);
  branch->setFont(0, bold);
  const int shown = std::min<int>(static_cast<int>(items.size()), CChangePlanDlg::kListLimit);
  QList<QTreeWidgetItem*> children;
  children.reserve(shown + 1);
  for (int i = 0; i < shown; ++i) {
    const auto [first, second] = row(items[i]);
    auto* child = new QTreeWidgetItem({first, second});
    if (removal) child->setForeground(0, QBrush(kRemovalColour));
    children << child;
  }
  if (static_cast<int>(items.size()) > shown) {
    children << new QTreeWidgetItem(
        {QStringLiteral("……另有 %1 项未列出").arg(static_cast<int>(items.size()) - shown)});
  }
  branch->addChildren(children);
  if (removal) branch->setForeground(0, QBrush(kRemovalColour));
  branch->setExpanded(removal || (unfold && shown <= kUnfoldLimit));
}

QString GuardText(const ChangeSet::Guard& guard, std::size_t removals, bool* stops) {
  *stops = false;
  if (removals == 0) return QStringLiteral("删除保护：本次同步不删除任何部门和帐号。");
  if (guard.checked && guard.stops_run) {
    *stops = true;
    const QString limit =
        guard.threshold > 0 && removals > static_cast<std::size_t>(guard.threshold)
            ? QStringLiteral("超过删除上限 %1").arg(guard.threshold)
            : QStringLiteral("超过删除比例上限");
    return QStringLiteral("删除保护：将删除 %1 项，%2，同步将被删除保护阻止，不会删除任何数据。")
        .arg(removals)
        .arg(limit);
  }
  const QString limit = guard.threshold > 0 ? QStringLiteral("删除上限 %1").arg(guard.threshold)
                                            : QStringLiteral("未设删除上限");
  return QStringLiteral("删除保护：将删除 %1 项（%2），允许删除；删除后无法恢复。")
      .arg(removals)
      .arg(limit);
}

}  // namespace

CChangePlanDlg::CChangePlanDlg(QWidget* parent) : QDialog(parent) {
  InitUiResources();
  setObjectName("planDialog");
  setWindowTitle(QStringLiteral("变更预览"));

  auto* note = new QLabel(
      QStringLiteral("以下是数据同步将对Zelto服务器所做的变更（预演结果，尚未写入）："), this);
  summary_ = new QLabel(this);
  summary_->setObjectName("planSummary");
  summary_->setTextFormat(Qt::PlainText);
  guard_ = new QLabel(this);
  guard_->setObjectName("guardVerdict");
  guard_->setWordWrap(true);
  tree_ = new QTreeWidget(this);
  tree_->setObjectName("planTree");
  tree_->setColumnCount(2);
  tree_->setHeaderLabels({QStringLiteral("变更"), QStringLiteral("详情")});
  tree_->setUniformRowHeights(true);
  tree_->header()->setSectionResizeMode(0, QHeaderView::Interactive);
  tree_->header()->resizeSection(0, 380);

  run_ = new QPushButton(QStringLiteral("数据同步"), this);
  run_->setObjectName("runSync");
  run_->setAutoDefault(false);
  auto* close = new QPushButton(QStringLiteral("关闭"), this);
  close->setObjectName("close");
  close->setDefault(true);  // Enter does not start a sync by accident

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(run_);
  buttons->addWidget(close);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(note);
  layout->addWidget(summary_);
  layout->addWidget(guard_);
  layout->addWidget(tree_, 1);
  layout->addLayout(buttons);
  resize(760, 520);

  connect(run_, &QPushButton::clicked, this, &QDialog::accept);
  connect(close, &QPushButton::clicked, this, &QDialog::reject);
}

void CChangePlanDlg::SetPlan(const ChangeSet& plan) {
  const auto depts_added = plan.DepartmentsAdded();
  const auto renamed = plan.DepartmentsRenamed();
  const auto moved = plan.DepartmentsMoved();
  const auto depts_removed = plan.DepartmentsRemoved();
  const auto users_added = plan.UsersAdded();
  const auto users_moved = plan.UsersMoved();
  const auto users_removed = plan.UsersRemoved();
  const auto switches = plan.AuthSwitches();
  const std::size_t changes = depts_added.size() + renamed.size() + moved.size() +
                              depts_removed.size() + users_added.size() + users_moved.size() +
                              users_removed.size() + switches.size();

  QString summary = QStringLiteral(
                        "共 %1 项变更\n部门：新增 %2，改名 %3，移动 %4，删除 %5\n"
                        "帐号：新增 %6，移动 %7，删除 %8；切换认证方式 %9")
                        .arg(changes)
                        .arg(depts_added.size())
                        .arg(renamed.size())
                        .arg(moved.size())
                        .arg(depts_removed.size())
                        .arg(users_added.size())
                        .arg(users_moved.size())
                        .arg(users_removed.size())
                        .arg(switches.size());
  if (const std::size_t rewrites = plan.Rewrites(); rewrites > 0) {
    summary +=
        QStringLiteral("\n另有 %1 个已有帐号的资料按目录重写（不算变更，不列出）").arg(rewrites);
  }
  summary_->setText(summary);

  const ChangeSet::Guard guard = plan.GuardVerdict();
  const std::size_t removals =
      guard.checked ? guard.removals : depts_removed.size() + users_removed.size();
  bool stops = false;
  guard_->setText(GuardText(guard, removals, &stops));
  guard_->setStyleSheet(removals > 0 ? QStringLiteral("color: %1;").arg(kRemovalColour.name())
                                     : QString());
  QFont font = guard_->font();
  font.setBold(stops);
  guard_->setFont(font);

  using Move = ChangeSet::Move;
  using Placement = ChangeSet::Placement;
  tree_->clear();
  const bool unfold = depts_removed.empty() && users_removed.empty();
  const auto name = [](const std::string& s) { return std::pair{Q(s), QString()}; };
  const auto move = [](const Move& m) {
    return std::pair{Q(m.from), QStringLiteral("→ %1").arg(Q(m.to))};
  };
  Branch(tree_, QStringLiteral("新增部门"), depts_added, false, unfold, name);
  Branch(tree_, QStringLiteral("改名部门"), renamed, false, unfold, move);
  Branch(tree_, QStringLiteral("移动部门"), moved, false, unfold, move);
  Branch(tree_, QStringLiteral("删除部门"), depts_removed, true, unfold, name);
  Branch(tree_, QStringLiteral("新增帐号"), users_added, false, unfold, [](const Placement& p) {
    return std::pair{Q(p.account), QStringLiteral("部门：%1").arg(Paths(p.departments))};
  });
  Branch(tree_, QStringLiteral("移动帐号"), users_moved, false, unfold, [](const Placement& p) {
    return std::pair{Q(p.account),
                     QStringLiteral("从 %1 到 %2").arg(Paths(p.from), Paths(p.departments))};
  });
  Branch(tree_, QStringLiteral("删除帐号"), users_removed, true, unfold, name);
  Branch(tree_, QStringLiteral("切换认证方式"), switches, false, unfold,
         [](const ChangeSet::AuthSwitch& s) {
           return std::pair{Q(s.account), AuthTypeText(s.to)};
         });
  if (tree_->topLevelItemCount() == 0) {
    new QTreeWidgetItem(tree_, {QStringLiteral("没有需要变更的部门和帐号")});
  }
}

}  // namespace norvane
