#include "ui/excluded_users_dialog.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>
#include <algorithm>

#include "config/ldap_config.h"
#include "server/organisation.h"
#include "ui/message_box.h"
#include "ui/progress_window.h"

namespace norvane {
namespace {

QListWidget* NameList(QWidget* parent, const char* name) {
  auto* list = new QListWidget(parent);
  list->setObjectName(name);
  list->setSelectionMode(QAbstractItemView::ExtendedSelection);
  list->setUniformItemSizes(true);
  list->setIconSize(QSize(16, 16));
  return list;
}

QPushButton* Button(const QString& text, const char* name, QWidget* parent) {
  auto* button = new QPushButton(text, parent);
  button->setObjectName(name);
  button->setAutoDefault(false);
  return button;
}

}  // namespace

CExcludedUsersDlg::CExcludedUsersDlg(QWidget* parent, WorkRunner runner)
    : QDialog(parent), runner_(runner ? std::move(runner) : ProgressRunner(this)) {
  InitUiResources();
  setObjectName("excludedUsersDialog");
  setWindowTitle(QStringLiteral("配置禁用用户"));
  setModal(false);
  user_icon_ = QIcon(QStringLiteral(":/icons/user.svg"));
  dept_icon_ = QIcon(QStringLiteral(":/icons/department.svg"));

  users_radio_ = new QRadioButton(QStringLiteral("用户"), this);
  users_radio_->setObjectName("usersMode");
  users_radio_->setChecked(true);
  depts_radio_ = new QRadioButton(QStringLiteral("部门"), this);
  depts_radio_->setObjectName("departmentsMode");
  search_ = new QLineEdit(this);
  search_->setObjectName("search");
  left_ = NameList(this, "candidates");
  left_->setSortingEnabled(true);
  right_ = NameList(this, "excluded");

  auto* add = Button(QStringLiteral("添加 >>"), "add", this);
  auto* add_all = Button(QStringLiteral("全部添加 >>"), "addAll", this);
  auto* remove = Button(QStringLiteral("<< 删除"), "remove", this);
  auto* remove_all = Button(QStringLiteral("<< 全部删除"), "removeAll", this);
  auto* save = Button(QStringLiteral("保存配置"), "save", this);
  auto* cancel = Button(QStringLiteral("取消"), "cancel", this);

  auto* radios = new QHBoxLayout;
  radios->addWidget(users_radio_);
  radios->addWidget(depts_radio_);
  radios->addStretch(1);
  auto* left_column = new QVBoxLayout;
  left_column->addLayout(radios);
  left_column->addWidget(new QLabel(QStringLiteral("键入用户名或者从列表中选择："), this));
  left_column->addWidget(search_);
  left_column->addWidget(left_, 1);
  auto* middle = new QVBoxLayout;
  middle->addStretch(1);
  for (QPushButton* button : {add, add_all, remove, remove_all}) middle->addWidget(button);
  middle->addStretch(1);
  auto* right_column = new QVBoxLayout;
  right_column->addWidget(new QLabel(QStringLiteral("已经禁用的用户："), this));
  right_column->addWidget(right_, 1);
  auto* lists = new QHBoxLayout;
  lists->addLayout(left_column, 1);
  lists->addLayout(middle);
  lists->addLayout(right_column, 1);
  auto* bottom = new QHBoxLayout;
  bottom->addStretch(1);
  bottom->addWidget(save);
  bottom->addWidget(cancel);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(lists, 1);
  layout->addLayout(bottom);
  resize(560, 420);

  connect(users_radio_, &QRadioButton::clicked, this, &CExcludedUsersDlg::ShowAccounts);
  connect(depts_radio_, &QRadioButton::clicked, this, &CExcludedUsersDlg::ShowDepartments);
  connect(search_, &QLineEdit::textEdited, this, &CExcludedUsersDlg::SearchEdited);
  connect(add, &QPushButton::clicked, this, &CExcludedUsersDlg::AddClicked);
  connect(add_all, &QPushButton::clicked, this, &CExcludedUsersDlg::AddAllClicked);
  connect(remove, &QPushButton::clicked, this, &CExcludedUsersDlg::RemoveClicked);
  connect(remove_all, &QPushButton::clicked, this, &CExcludedUsersDlg::RemoveAllClicked);
  connect(save, &QPushButton::clicked, this, &CExcludedUsersDlg::SaveClicked);
  connect(cancel, &QPushButton::clicked, this, &QDialog::hide);
}

CExcludedUsersDlg::~CExcludedUsersDlg() = default;

void CExcludedUsersDlg::ShowDialog() {
  if (!initialised_) Initialise();
  show();
  raise();
  activateWindow();
}

void CExcludedUsersDlg::Initialise() {
  initialised_ = true;
  std::vector<std::string> excluded;
  {
    CLdapConfig config;
    config.Init();
    config.LoadLimitUser(excluded);
  }
  runner_(kProgressProcessing, "读取Zelto组织结构", [this] {
    root_ = CreateConfiguredSdkRoot();
    return CollectServerOrganisation(root_.get(), departments_, accounts_) ? 1 : 0;
  });
  right_->setUpdatesEnabled(false);
  for (const std::string& account : excluded) {
    const QString text = QString::fromStdString(account);
    right_->addItem(new QListWidgetItem(user_icon_, text));
    right_texts_.insert(text);
  }
  right_->setUpdatesEnabled(true);
  ShowAccounts();
}

void CExcludedUsersDlg::FillCandidates(const std::vector<std::string>& texts, const QIcon& icon) {
  left_->setUpdatesEnabled(false);
  left_->setSortingEnabled(false);
  left_->clear();
  left_texts_.clear();
  for (const std::string& text : texts) {
    const QString item = QString::fromStdString(text);
    left_->addItem(new QListWidgetItem(icon, item));
    left_texts_.insert(item);
  }
  left_->setSortingEnabled(true);
  left_->sortItems(Qt::AscendingOrder);
  left_->setUpdatesEnabled(true);
  if (left_->count() > 0) {
    left_->setCurrentRow(0);
    left_->item(0)->setSelected(true);
  }
  left_->setFocus();
}

void CExcludedUsersDlg::ShowAccounts() {
  mode_ = 0;
  users_radio_->setChecked(true);
  FillCandidates(accounts_, user_icon_);
}

void CExcludedUsersDlg::ShowDepartments() {
  mode_ = 1;
  depts_radio_->setChecked(true);
  FillCandidates(departments_, dept_icon_);
}

void CExcludedUsersDlg::SearchEdited(const QString& text) {
  if (!text.isEmpty()) {
    QListWidgetItem* last = nullptr;
    for (int row = 0; row < left_->count(); ++row) {
      QListWidgetItem* item = left_->item(row);
      if (item->text().startsWith(text, Qt::CaseInsensitive)) last = item;
    }
    // The last item that begins with the text is the one left selected.
    if (last != nullptr) {
      left_->clearSelection();
      left_->setCurrentItem(last, QItemSelectionModel::NoUpdate);
      last->setSelected(true);
      left_->scrollToItem(last);
    }
  }
  search_->setFocus();
  search_->end(false);
}

QStringList CExcludedUsersDlg::TakeSelected(QListWidget* list) {
  const QList<QListWidgetItem*> selected_items = list->selectedItems();
  const QSet<QListWidgetItem*> selected(selected_items.begin(), selected_items.end());
  QStringList taken;
  const bool sorting = list->isSortingEnabled();
  list->setUpdatesEnabled(false);
  list->setSortingEnabled(false);
  // Rebuilt rather than deleted one by one: removing rows singly is quadratic on long lists.
  std::vector<QListWidgetItem*> items;
  while (list->count() > 0) items.push_back(list->takeItem(list->count() - 1));
  std::reverse(items.begin(), items.end());
  for (QListWidgetItem* item : items) {
    if (selected.contains(item)) {
      taken.push_back(item->text());
      delete item;
    } else {
      list->addItem(item);
    }
  }
  list->setSortingEnabled(sorting);
  list->setUpdatesEnabled(true);
  return taken;
}

void CExcludedUsersDlg::AppendExcluded(const QString& text) {
  if (right_texts_.contains(text)) return;
  auto* item = new QListWidgetItem(user_icon_, text);
  right_->addItem(item);
  item->setSelected(true);
  right_texts_.insert(text);
}

void CExcludedUsersDlg::AddClicked() {
  if (left_->selectedItems().isEmpty()) return;
  const QStringList taken = TakeSelected(left_);
  for (const QString& text : taken) left_texts_.remove(text);
  right_->setUpdatesEnabled(false);
  if (mode_ == 0) {
    for (const QString& text : taken) AppendExcluded(text);
  } else {
    std::vector<std::string> paths;
    for (const QString& text : taken) paths.push_back(text.toStdString());
    std::vector<std::vector<std::string>> users(paths.size());
    runner_(kProgressProcessing, "读取部门用户", [this, &paths, &users] {
      for (std::size_t i = 0; i < paths.size(); ++i) {
        ListDepartmentUsers(root_.get(), paths[i], users[i]);
      }
      return 1;
    });
    for (const auto& list : users) {
      for (const std::string& account : list) AppendExcluded(QString::fromStdString(account));
    }
  }
  right_->setUpdatesEnabled(true);
  search_->clear();
}

void CExcludedUsersDlg::AddAllClicked() {
  left_->selectAll();
  AddClicked();
}

void CExcludedUsersDlg::RemoveClicked() {
  const QStringList taken = TakeSelected(right_);
  left_->setUpdatesEnabled(false);
  for (const QString& text : taken) {
    right_texts_.remove(text);
    if (left_texts_.contains(text)) continue;
    auto* item = new QListWidgetItem(user_icon_, text);
    left_->addItem(item);
    item->setSelected(true);
    left_texts_.insert(text);
  }
  left_->setUpdatesEnabled(true);
}

void CExcludedUsersDlg::RemoveAllClicked() {
  right_->selectAll();
  RemoveClicked();
}

void CExcludedUsersDlg::SaveClicked() {
  std::vector<std::string> excluded;
  excluded.reserve(right_->count());
  for (int row = 0; row < right_->count(); ++row) {
    excluded.push_back(right_->item(row)->text().toStdString());
  }
  {
    CLdapConfig config;
    config.Init();
    config.SaveLimitUser(excluded);
  }
  if (!excluded.empty()) {
    runner_(kProgressProcessing, "删除禁止导入的用户",
            [this, &excluded] { return RemoveExcludedUsers(root_.get(), excluded) ? 1 : 0; });
  }
  hide();
}

}  // namespace norvane
