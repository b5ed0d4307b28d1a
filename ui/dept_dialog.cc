#include "ui/dept_dialog.h"

#include <QApplication>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIdentityProxyModel>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QTreeView>
#include <QVBoxLayout>

#include "config/ldap_config.h"
#include "platform/text.h"
#include "platform/xml.h"
#include "sync/sync_engine.h"
#include "ui/dept_tree_model.h"
#include "ui/message_box.h"
#include "ui/progress_window.h"

namespace norvane {
namespace {

// Adds the folder pictures to the department model: closed, open while selected.
class FolderIcons : public QIdentityProxyModel {
 public:
  explicit FolderIcons(QObject* parent) : QIdentityProxyModel(parent) {
    QStyle* style = QApplication::style();
    icon_.addPixmap(style->standardIcon(QStyle::SP_DirClosedIcon).pixmap(16, 16), QIcon::Normal);
    icon_.addPixmap(style->standardIcon(QStyle::SP_DirOpenIcon).pixmap(16, 16), QIcon::Selected);
  }
  QVariant data(const QModelIndex& index, int role) const override {
    if (role == Qt::DecorationRole && index.isValid()) return icon_;
    return QIdentityProxyModel::data(index, role);
  }

 private:
  QIcon icon_;
};

}  // namespace

CDeptSelectDlg::CDeptSelectDlg(QWidget* parent, WorkRunner runner)
    : QDialog(parent), runner_(runner ? std::move(runner) : ProgressRunner(parent)) {
  InitUiResources();
  setObjectName("deptDialog");
  setWindowTitle(QStringLiteral("选择同步LDAP到Zelto的部门"));
  setModal(false);
  model_ = new DeptTreeModel(this);
  auto* icons = new FolderIcons(this);
  icons->setSourceModel(model_);

  auto* preview = new QGroupBox(QStringLiteral("LDAP数据预览"), this);
  tree_ = new QTreeView(preview);
  tree_->setObjectName("deptTree");
  tree_->setHeaderHidden(true);
  tree_->setModel(icons);
  auto* preview_layout = new QVBoxLayout(preview);
  preview_layout->addWidget(tree_);

  count_ = new QLineEdit(this);
  count_->setObjectName("checkedCount");
  count_->setReadOnly(true);
  count_->setMaximumWidth(80);
  auto* check_all = new QPushButton(QStringLiteral("全部选中"), this);
  check_all->setObjectName("checkAll");
  auto* uncheck_all = new QPushButton(QStringLiteral("全部不选"), this);
  uncheck_all->setObjectName("uncheckAll");
  auto* save = new QPushButton(QStringLiteral("保存配置"), this);
  save->setObjectName("save");
  auto* cancel = new QPushButton(QStringLiteral("取消"), this);
  cancel->setObjectName("cancel");
  save->setAutoDefault(false);
  cancel->setAutoDefault(false);

  auto* row = new QHBoxLayout;
  row->addWidget(new QLabel(QStringLiteral("选中的部门数:"), this));
  row->addWidget(count_);
  row->addStretch(1);
  row->addWidget(check_all);
  row->addWidget(uncheck_all);
  row->addWidget(save);
  row->addWidget(cancel);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(preview, 1);
  layout->addLayout(row);
  resize(620, 480);

  connect(model_, &DeptTreeModel::CheckStatesChanged, this, &CDeptSelectDlg::UpdateCount);
  // A click on a check box toggles without selecting; the item clicked becomes the selected one.
  connect(tree_, &QTreeView::clicked, this, [this](const QModelIndex& index) {
    tree_->selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect);
  });
  connect(check_all, &QPushButton::clicked, this, [this] { model_->SetAllChecked(true); });
  connect(uncheck_all, &QPushButton::clicked, this, [this] { model_->SetAllChecked(false); });
  connect(save, &QPushButton::clicked, this, &CDeptSelectDlg::SaveClicked);
  // Cancel hides: what is on screen stays for the next showing, nothing is stored.
  connect(cancel, &QPushButton::clicked, this, &QDialog::hide);

  CLdapConfig config;
  config.Init();
  config.LoadLimitDC(excluded_);
  UpdateCount();
}

CDeptSelectDlg::~CDeptSelectDlg() = default;

std::string CDeptSelectDlg::PreviewPath() {
  std::string folder = ConfigFilePath();
  const std::size_t slash = folder.rfind('/');
  folder = slash == std::string::npos ? std::string() : folder.substr(0, slash + 1);
  return folder + "test.xml";
}

void CDeptSelectDlg::LoadPreview(const DcEntry& entry) {
  runner_(kProgressProcessing, "LDAP数据预览", [entry] {
    LogPrompt prompt;
    SyncEngine engine(&prompt);
    engine.EngineInit();
    return engine.PreviewData(entry);
  });
  XmlDocument document;
  if (!document.Load(PreviewPath())) return;
  XmlElement root = document.Root();
  if (!root || !EqualsNoCase(root.Name(), "enterprise")) return;
  const std::vector<XmlElement> children = root.Children();
  if (children.empty()) return;
  model_->Build(children.front(), excluded_);
  tree_->expandAll();
  show();
  raise();
}

void CDeptSelectDlg::UpdateCount() { count_->setText(QString::number(model_->CheckedCount())); }

void CDeptSelectDlg::SaveClicked() {
  excluded_ = model_->UncheckedKeys();
  CLdapConfig config;
  config.Init();
  config.SaveLimitDC(excluded_);
  hide();
}

}  // namespace norvane
