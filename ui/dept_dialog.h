// The department selection dialog: the directory's department tree as read right now, a
// check box per department. Every unchecked department is stored in LimitDC and not
// synchronised; departments not in the list (new ones included) are.
//
// Modeless: step 2 of the wizard creates it hidden, shows it and destroys it with the page.
// Main-window thread only.
#ifndef NORVANE_UI_DEPT_DIALOG_H_
#define NORVANE_UI_DEPT_DIALOG_H_

#include <QDialog>
#include <string>
#include <vector>

#include "config/records.h"
#include "ui/progress_window.h"

class QLineEdit;
class QTreeView;

namespace norvane {

class DeptTreeModel;

class CDeptSelectDlg : public QDialog {
  Q_OBJECT

 public:
  // Reads LimitDC. `runner` runs the preview; empty: RunWithProgress.
  explicit CDeptSelectDlg(QWidget* parent = nullptr, WorkRunner runner = {});
  ~CDeptSelectDlg() override;

  // Reads the departments of `entry`'s domain into the preview file (off this thread, with
  // a progress window), builds the tree from it and shows the dialog. A preview file that
  // cannot be loaded, or has no department container, leaves the dialog as it was.
  void LoadPreview(const DcEntry& entry);

  // The preview file: "test.xml" in the folder of LdapConfig.xml.
  static std::string PreviewPath();

  DeptTreeModel* Model() const { return model_; }
  QTreeView* Tree() const { return tree_; }

 private:
  void UpdateCount();
  void SaveClicked();

  WorkRunner runner_;
  DeptTreeModel* model_;
  QTreeView* tree_;
  QLineEdit* count_;
  std::vector<std::string> excluded_;
};

}  // namespace norvane

#endif  // NORVANE_UI_DEPT_DIALOG_H_
