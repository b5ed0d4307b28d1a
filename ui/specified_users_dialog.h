// The specified-users dialog: switches named accounts between third-party (directory) and
// local authentication, and imports named directory users. Each action uses a sync engine
// of its own, reports its result and closes the dialog; closing it any other way (Esc, the
// close box) performs the local-authentication action for what the first edit holds.
// Modal; main-window thread only.
#ifndef NORVANE_UI_SPECIFIED_USERS_DIALOG_H_
#define NORVANE_UI_SPECIFIED_USERS_DIALOG_H_

#include <QDialog>

#include "ui/progress_window.h"

class QLineEdit;

namespace norvane {

class CSpecifiedUsersDlg : public QDialog {
  Q_OBJECT

 public:
  // `runner` runs the actions; empty: RunWithProgress.
  explicit CSpecifiedUsersDlg(QWidget* parent = nullptr, WorkRunner runner = {});

  void reject() override;  // the local-authentication action, then close

 private:
  void SetAuthType(int type);
  void ImportClicked();

  WorkRunner runner_;
  QLineEdit* auth_accounts_;
  QLineEdit* import_accounts_;
  bool acting_ = false;
};

}  // namespace norvane

#endif  // NORVANE_UI_SPECIFIED_USERS_DIALOG_H_
