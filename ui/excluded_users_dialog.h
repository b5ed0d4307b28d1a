// The excluded-users dialog: maintains LimitUser, the accounts never imported from the
// directory. The administrator moves accounts (or every account of a department) from the
// IM server's current organisation on the left to the excluded list on the right; saving
// stores the list and removes those accounts from the server.
//
// Modeless; the main window creates it hidden and shows it with ShowDialog. It reads the
// server's organisation once, on its first showing, and afterwards keeps what is on screen.
// Main-window thread only.
#ifndef NORVANE_UI_EXCLUDED_USERS_DIALOG_H_
#define NORVANE_UI_EXCLUDED_USERS_DIALOG_H_

#include <QDialog>
#include <QIcon>
#include <QSet>
#include <memory>
#include <string>
#include <vector>

#include "ui/progress_window.h"

class QLineEdit;
class QListWidget;
class QRadioButton;

namespace norvane {

class SdkRoot;

class CExcludedUsersDlg : public QDialog {
  Q_OBJECT

 public:
  // `runner` runs the server calls; empty: RunWithProgress.
  explicit CExcludedUsersDlg(QWidget* parent = nullptr, WorkRunner runner = {});
  ~CExcludedUsersDlg() override;

  // Reads the organisation and LimitUser the first time, then shows the dialog.
  void ShowDialog();

  QListWidget* Candidates() const { return left_; }
  QListWidget* Excluded() const { return right_; }

 private:
  void Initialise();
  void ShowAccounts();
  void ShowDepartments();
  void SearchEdited(const QString& text);
  void AddClicked();
  void AddAllClicked();
  void RemoveClicked();
  void RemoveAllClicked();
  void SaveClicked();

  // Refills the candidates with `texts` (sorted by the list), each with `icon`.
  void FillCandidates(const std::vector<std::string>& texts, const QIcon& icon);
  // Appends to the right list, selected, unless the text is there already.
  void AppendExcluded(const QString& text);
  // Takes the selected items out of `list` and returns their texts in list order.
  static QStringList TakeSelected(QListWidget* list);

  WorkRunner runner_;
  bool initialised_ = false;
  int mode_ = 0;  // 0: the candidates are accounts, 1: department paths
  std::unique_ptr<SdkRoot> root_;
  std::vector<std::string> departments_;
  std::vector<std::string> accounts_;
  QIcon user_icon_;
  QIcon dept_icon_;
  QRadioButton* users_radio_;
  QRadioButton* depts_radio_;
  QLineEdit* search_;
  QListWidget* left_;
  QListWidget* right_;
  QSet<QString> left_texts_;
  QSet<QString> right_texts_;
};

}  // namespace norvane

#endif  // NORVANE_UI_EXCLUDED_USERS_DIALOG_H_
