// The change-plan dialog (变更预览): what a sync would do, as a dry run found it. The counts
// come first, then the deletion guard's verdict, then every change in a tree, one branch per
// kind (departments added, renamed, moved, removed; accounts added, moved, removed;
// authentication-type switches). Rewrites of accounts that do not change are only counted.
//
// Its 数据同步 button accepts the dialog: the caller runs the sync. Nothing here writes.
// Main-window thread only.
#ifndef NORVANE_UI_PLAN_DIALOG_H_
#define NORVANE_UI_PLAN_DIALOG_H_

#include <QDialog>
#include <QString>

class QLabel;
class QPushButton;
class QTreeWidget;

namespace norvane {

class ChangeSet;

class CChangePlanDlg : public QDialog {
  Q_OBJECT

 public:
  explicit CChangePlanDlg(QWidget* parent = nullptr);

  // Shows `plan` (copied: the dialog keeps nothing of it).
  void SetPlan(const ChangeSet& plan);

  // Each branch lists at most this many entries, then says how many it left out.
  static constexpr int kListLimit = 5000;

  QLabel* Summary() const { return summary_; }
  QLabel* GuardVerdict() const { return guard_; }
  QTreeWidget* Tree() const { return tree_; }
  QPushButton* RunButton() const { return run_; }

 private:
  QLabel* summary_;
  QLabel* guard_;
  QTreeWidget* tree_;
  QPushButton* run_;
};

}  // namespace norvane

#endif  // NORVANE_UI_PLAN_DIALOG_H_
