#include "ui/specified_users_dialog.h"

#include <QGroupBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

#include "sync/sync_engine.h"
#include "ui/account_list.h"
#include "ui/message_box.h"
#include "ui/progress_window.h"

namespace norvane {
namespace {

constexpr int kThirdPartyAuth = 3;
constexpr int kLocalAuth = 0;

void Notice(QWidget* parent, const QString& text) {
  ShowMessageBox(parent, QStringLiteral("温馨提示"), text);
}

}  // namespace

CSpecifiedUsersDlg::CSpecifiedUsersDlg(QWidget* parent, WorkRunner runner)
    : QDialog(parent), runner_(runner ? std::move(runner) : ProgressRunner(this)) {
  InitUiResources();
  setObjectName("specifiedUsersDialog");
  setWindowTitle(QStringLiteral("指定用户同步管理"));
  setModal(true);

  auto* auth = new QGroupBox(
      QStringLiteral("● 设置指定用户第三方认证：(注：可以输入多个帐号，用分号隔开)"), this);
  auth_accounts_ = new QLineEdit(auth);
  auth_accounts_->setObjectName("authAccounts");
  auto* third_party = new QPushButton(QStringLiteral("设置第三方认证"), auth);
  third_party->setObjectName("setThirdParty");
  third_party->setDefault(true);
  auto* local = new QPushButton(QStringLiteral("设置本地认证"), auth);
  local->setObjectName("setLocal");
  local->setAutoDefault(false);
  auto* auth_buttons = new QHBoxLayout;
  auth_buttons->addStretch(1);
  auth_buttons->addWidget(third_party);
  auth_buttons->addWidget(local);
  auto* auth_layout = new QVBoxLayout(auth);
  auth_layout->addWidget(auth_accounts_);
  auth_layout->addLayout(auth_buttons);

  auto* import =
      new QGroupBox(QStringLiteral("● 同步指定用户：(注：可以输入多个帐号，用分号隔开)"), this);
  import_accounts_ = new QLineEdit(import);
  import_accounts_->setObjectName("importAccounts");
  auto* import_button = new QPushButton(QStringLiteral("同步指定用户到Zelto"), import);
  import_button->setObjectName("importUsers");
  import_button->setAutoDefault(false);
  auto* import_buttons = new QHBoxLayout;
  import_buttons->addStretch(1);
  import_buttons->addWidget(import_button);
  auto* import_layout = new QVBoxLayout(import);
  import_layout->addWidget(import_accounts_);
  import_layout->addLayout(import_buttons);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(auth);
  layout->addWidget(import);
  resize(560, 300);

  connect(third_party, &QPushButton::clicked, this, [this] {
    SetAuthType(kThirdPartyAuth);
    accept();
  });
  connect(local, &QPushButton::clicked, this, [this] {
    SetAuthType(kLocalAuth);
    accept();
  });
  connect(import_button, &QPushButton::clicked, this, &CSpecifiedUsersDlg::ImportClicked);
}

void CSpecifiedUsersDlg::reject() {
  if (acting_) return;  // an action is running and closes the dialog itself
  SetAuthType(kLocalAuth);
  QDialog::reject();
}

void CSpecifiedUsersDlg::SetAuthType(int type) {
  acting_ = true;
  const std::vector<std::string> accounts = ParseAccountList(auth_accounts_->text().toStdString());
  MessageBoxPrompt prompt(this);
  const int result =
      runner_(kProgressProcessing, "设置指定用户认证类型", [&prompt, &accounts, type] {
        SyncEngine engine(&prompt);
        engine.SetTrigger("window");
        engine.EngineInit();
        return engine.SetAuthTypeForAccounts(accounts, type);
      });
  if (result == 1) Notice(this, QStringLiteral("设置用户认证类型成功!"));
  acting_ = false;
}

void CSpecifiedUsersDlg::ImportClicked() {
  acting_ = true;
  const std::vector<std::string> accounts =
      ParseAccountList(import_accounts_->text().toStdString());
  MessageBoxPrompt prompt(this);
  std::vector<std::string> failed;
  const int result = runner_(kProgressSync, "同步指定用户", [&prompt, &accounts, &failed] {
    SyncEngine engine(&prompt);
    engine.SetTrigger("window");
    engine.EngineInit();
    const int imported = engine.ImportNamedUsers(accounts, failed);
    // The account the directory does not know ends the import; it belongs in the report.
    const std::string& unknown = engine.UnknownAccount();
    if (!unknown.empty() && std::find(failed.begin(), failed.end(), unknown) == failed.end()) {
      failed.push_back(unknown);
    }
    return imported;
  });
  // Accounts under no configured domain controller are listed even when the rest went in.
  if (result && failed.empty()) {
    Notice(this, QStringLiteral("同步指定LDAP用户到Zelto成功!"));
  } else {
    Notice(this, QString::fromStdString(FailedAccountsMessage(failed)));
  }
  acting_ = false;
  accept();
}

}  // namespace norvane
