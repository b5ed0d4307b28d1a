#include "ui/config_wizard.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>
#include <tuple>

#include "directory/ldap_client.h"
#include "platform/text.h"
#include "ui/dept_dialog.h"
#include "ui/message_box.h"
#include "ui/progress_window.h"
#include "ui/wizard_logic.h"

namespace norvane {
namespace {

constexpr int kMaxPort = 65535;

std::string Text(const QLineEdit* edit) { return edit->text().toStdString(); }

QLineEdit* NumberEdit(QWidget* parent, const char* name) {
  auto* edit = new QLineEdit(parent);
  edit->setObjectName(name);
  edit->setValidator(
      new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,9}")), edit));
  return edit;
}

QLineEdit* TextEdit(QWidget* parent, const char* name) {
  auto* edit = new QLineEdit(parent);
  edit->setObjectName(name);
  return edit;
}

QLabel* Note(const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setWordWrap(true);
  return label;
}

// A port edit's value: empty is 0. Shows the range message and focuses the edit when the
// number is too large.
bool ReadPort(QWidget* page, QLineEdit* edit, std::uint16_t* port) {
  if (edit->text().isEmpty()) {
    *port = 0;
    return true;
  }
  std::optional<int> value = ParseInRange(Text(edit), 0, kMaxPort);
  if (!value) {
    ShowMessageBox(page, QString::fromUtf8(kProgramCaption),
                   QString::fromStdString(RangeMessage(0, kMaxPort)), BoxIcon::kInformation);
    edit->setFocus();
    edit->selectAll();
    return false;
  }
  *port = static_cast<std::uint16_t>(*value);
  return true;
}

void ShowPort(QLineEdit* edit, std::uint16_t port) {
  edit->setText(port == 0 ? QString() : QString::number(port));
}

}  // namespace

// --- Step 1 -----------------------------------------------------------------------------

CPageLdapConfigInfo::CPageLdapConfigInfo(CLdapConfigSheet* sheet) : sheet_(sheet) {
  setTitle(QStringLiteral("配置LDAP---步骤1(配置与连接AD服务器信息）"));
  auto* group = new QGroupBox(QStringLiteral("配置与连接AD(Active Directory)服务器"), this);
  group_ = group;
  type_ = new QComboBox(group);
  type_->setObjectName("directoryType");
  // In LDAPSVRType's order: the index is the type.
  type_->addItem(QStringLiteral("Active Directory"));
  type_->addItem(QStringLiteral("Domino / OpenLDAP 等 LDAP 目录 (简单绑定)"));
  type_->addItem(QStringLiteral("NDS (DIGEST-MD5)"));
  address_ = TextEdit(group, "serverAddress");
  port_ = NumberEdit(group, "serverPort");
  admin_ = TextEdit(group, "adminAccount");
  password_ = TextEdit(group, "adminPassword");
  // Masked, and Qt refuses to copy or drag a masked text out of the edit.
  password_->setEchoMode(QLineEdit::Password);
  domain_ = TextEdit(group, "domainName");
  address_label_ = new QLabel(group);
  port_label_ = new QLabel(group);
  domain_label_ = new QLabel(group);

  auto* grid = new QGridLayout;
  grid->addWidget(new QLabel(QStringLiteral("目录类型："), group), 0, 0);
  grid->addWidget(type_, 0, 1);
  grid->addWidget(address_label_, 1, 0);
  grid->addWidget(address_, 1, 1);
  grid->addWidget(port_label_, 2, 0);
  grid->addWidget(port_, 2, 1);
  grid->addWidget(new QLabel(QStringLiteral("管理员帐号(*)："), group), 3, 0);
  grid->addWidget(admin_, 3, 1);
  grid->addWidget(new QLabel(QStringLiteral("管理员密码："), group), 4, 0);
  grid->addWidget(password_, 4, 1);
  grid->addWidget(domain_label_, 5, 0);
  grid->addWidget(domain_, 5, 1);

  auto* inner = new QVBoxLayout(group);
  inner->addWidget(new QLabel(QStringLiteral("● 配置LDAP服务器信息："), group));
  inner->addWidget(new QLabel(QStringLiteral("(注意：LDAP插件安装的本机必须加入目录域)"), group));
  inner->addLayout(grid);
  inner->addWidget(new QLabel(QStringLiteral("(*为必填项，不能为空)"), group));
  note_ = Note(QString(), group);
  inner->addWidget(note_);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(group);
  connect(type_, &QComboBox::currentIndexChanged, this, &CPageLdapConfigInfo::directoryTypeChanged);
  directoryTypeChanged(0);
}

void CPageLdapConfigInfo::directoryTypeChanged(int index) {
  directory_type_ = index < 0 ? kActiveDirectory : index;
  if (directory_type_ == kActiveDirectory) {
    setTitle(QStringLiteral("配置LDAP---步骤1(配置与连接AD服务器信息）"));
    group_->setTitle(QStringLiteral("配置与连接AD(Active Directory)服务器"));
    address_label_->setText(QStringLiteral("AD服务器IP(*)："));
    port_label_->setText(QStringLiteral("域服务器PORT："));
    domain_label_->setText(QStringLiteral("LDAP服务器域名(*):"));
    note_->setText(
        QStringLiteral("注意:\n1.AD域名如为test.com，应写成dc=test,dc=com\n2."
                       "此处只写域名即可(域名请不要加分号)，需指定某些部门同步与"
                       "否，请在下一步选取！"));
    return;
  }
  setTitle(QStringLiteral("配置LDAP---步骤1(配置与连接LDAP服务器信息）"));
  group_->setTitle(QStringLiteral("配置与连接LDAP服务器"));
  address_label_->setText(QStringLiteral("LDAP服务器IP(*)："));
  port_label_->setText(QStringLiteral("LDAP服务器PORT："));
  domain_label_->setText(QStringLiteral("搜索基准(*):"));
  note_->setText(
      directory_type_ == 1
          ? QStringLiteral("注意:\n1.搜索基准如 o=corp 或 dc=example,dc=com\n2.管理员帐号"
                           "写完整的 DN (如 cn=admin,o=corp); 用户登录时可用帐号名,"
                           "目录不接受时按帐号属性查到其 DN 再验证")
          : QStringLiteral("注意:\n1.搜索基准如 o=corp\n2.管理员帐号与用户登录都用"
                           "DIGEST-MD5 的用户名"));
}

void CPageLdapConfigInfo::Activate() {
  sheet_->NewConfig();
  if (filled_) return;
  CLdapConfig* config = sheet_->Config();
  SysConfigInfo sys;
  SyncScopeInfo scope;
  config->LoadSysConfig(sys);
  config->LoadSyncScope(scope);
  if (address_->text().isEmpty()) address_->setText(QString::fromStdString(sys.ldap_server_ip));
  if (port_->text().isEmpty() || port_->text() == "0") ShowPort(port_, sys.ldap_server_port);
  if (admin_->text().isEmpty()) admin_->setText(QString::fromStdString(sys.admin_account));
  if (password_->text().isEmpty()) {
    password_->setText(QString::fromStdString(sys.admin_password));
  }
  if (domain_->text().isEmpty()) domain_->setText(QString::fromStdString(sys.domain));
  if (dept_mode_ == -1) dept_mode_ = scope.pdept_type;
  // The configured type is where the page starts: running the wizard on a Domino or NDS
  // setup does not turn it into Active Directory.
  const int type = sys.directory_type >= 0 && sys.directory_type <= 2 ? sys.directory_type : 0;
  type_->setCurrentIndex(type);
  directoryTypeChanged(type);
  dc_list_.clear();
  config->LoadDcList(dc_list_);
}

bool CPageLdapConfigInfo::validatePage() {
  DirectoryFields fields;
  fields.address = Text(address_);
  fields.admin = Text(admin_);
  fields.password = Text(password_);
  fields.domain = Text(domain_);
  const DirectoryField missing = FirstMissingField(fields);
  if (missing != DirectoryField::kNone) {
    ShowMessageBox(this, QStringLiteral("错误"), QString::fromUtf8(MissingFieldMessage(missing)),
                   BoxIcon::kInformation);
    QLineEdit* edit = missing == DirectoryField::kAddress ? address_
                      : missing == DirectoryField::kAdmin ? admin_
                                                          : domain_;
    edit->setFocus();
    return false;
  }
  if (!ReadPort(this, port_, &fields.port)) return false;
  if (fields.port == 0) {
    fields.port = kDefaultLdapPort;
    ShowPort(port_, fields.port);
  }

  const DcEntry entry = TestEntry(fields, dept_mode_);
  if (SelectLibrary(directory_type_)) {
    if (!TestConnection(entry)) {
      ShowMessageBox(
          this, QStringLiteral("错误"),
          QStringLiteral("测试连接LDAP服务器失败,请检查填写的LDAP服务器的IP、管理员帐号或"
                         "密码是否正确"),
          BoxIcon::kError);
      return false;
    }
    // The save keeps one ChildDC per domain name, so a second pass adds no duplicate.
    dc_list_.push_back(entry);
  }
  if (StoreDirectoryPage(*sheet_->Config(), fields, directory_type_, dc_list_)) {
    sheet_->Step2()->SetDomainChanged(true);
  }
  return true;
}

bool CPageLdapConfigInfo::TestConnection(const DcEntry& entry) {
  bool connected = false;
  sheet_->Runner()(kProgressConnect, "测试连接LDAP服务器", [&entry, &connected] {
    CLdapClient client;
    LdapConnection* connection = client.Connect(entry);
    if (connection != nullptr) {
      connected = true;
      client.Disconnect(connection);
    }
    return connected ? 1 : 0;
  });
  return connected;
}

// --- Step 2 -----------------------------------------------------------------------------

CPageLdapDNProp::CPageLdapDNProp(CLdapConfigSheet* sheet) : sheet_(sheet) {
  setTitle(QStringLiteral("配置LDAP---步骤2(配置服务器信息、部门&用户范围信息）"));
  auto* servers =
      new QGroupBox(QStringLiteral("配置Zelto服务器信息(默认安装，请使用默认值即可）"), this);
  app_address_ = TextEdit(servers, "appAddress");
  app_port_ = NumberEdit(servers, "appPort");
  sdk_address_ = TextEdit(servers, "sdkAddress");
  sdk_port_ = NumberEdit(servers, "sdkPort");
  credential_file_ = TextEdit(servers, "credentialFile");
  credential_file_->setMaxLength(static_cast<int>(kPathBytes));
  credential_file_->setPlaceholderText(QStringLiteral("zeltod --credential-file 的文件"));
  auto* grid = new QGridLayout(servers);
  grid->addWidget(new QLabel(QStringLiteral("APP服务器IP(*)："), servers), 0, 0);
  grid->addWidget(app_address_, 0, 1);
  grid->addWidget(new QLabel(QStringLiteral("APP服务器PORT："), servers), 0, 2);
  grid->addWidget(app_port_, 0, 3);
  grid->addWidget(new QLabel(QStringLiteral("SDK服务器IP(*)："), servers), 1, 0);
  grid->addWidget(sdk_address_, 1, 1);
  grid->addWidget(new QLabel(QStringLiteral("SDK服务器PORT："), servers), 1, 2);
  grid->addWidget(sdk_port_, 1, 3);
  grid->addWidget(new QLabel(QStringLiteral("服务器凭据文件(*)："), servers), 2, 0);
  grid->addWidget(credential_file_, 2, 1, 1, 3);

  auto* depts = new QGroupBox(QStringLiteral("选择同步部门列表（可选或反选）"), this);
  auto* select = new QPushButton(QStringLiteral("选择同步的部门列表"), depts);
  select->setObjectName("selectDepartments");
  auto* dept_row = new QHBoxLayout(depts);
  dept_row->addWidget(Note(QStringLiteral("默认同步上一步配置的域名下的所有部门，若需\n\n指定请点击"
                                          "“选择同步部门列表”进行筛选。"),
                           depts),
                      1);
  dept_row->addWidget(select);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(Note(QStringLiteral("步骤2：若Zelto服务器信息采用默认配置的，在Zelto服务器信息"
                                        "中不需配置。\n\n      若根据第一步配置的域名，请点击配置同"
                                        "步部门范围（不选中，表示不同步）。\n"),
                         this));
  layout->addWidget(servers);
  layout->addWidget(depts);

  dept_dialog_ = new CDeptSelectDlg(this, sheet->Runner());
  needs_refresh_ = true;
  connect(select, &QPushButton::clicked, this, &CPageLdapDNProp::SelectDepartmentsClicked);
}

CPageLdapDNProp::~CPageLdapDNProp() = default;

void CPageLdapDNProp::Activate() {
  if (filled_) return;
  SysConfigInfo sys;
  sheet_->Config()->LoadSysConfig(sys);
  if (app_address_->text().isEmpty()) {
    app_address_->setText(QString::fromStdString(sys.app_server_ip));
  }
  if (app_port_->text().toInt() == 0) ShowPort(app_port_, sys.app_server_port);
  if (sdk_address_->text().isEmpty()) {
    sdk_address_->setText(QString::fromStdString(sys.sdk_server_ip));
  }
  if (sdk_port_->text().toInt() == 0) ShowPort(sdk_port_, sys.sdk_server_port);
  if (credential_file_->text().isEmpty()) {
    // The page says the defaults serve: so they must be there to serve.
    credential_file_->setText(QString::fromStdString(
        sys.sdk_credential_file.empty() ? kDefaultSdkCredentialFile : sys.sdk_credential_file));
  }
}

void CPageLdapDNProp::SelectDepartmentsClicked() {
  if (!domain_changed_ && !needs_refresh_) {
    dept_dialog_->show();
    dept_dialog_->raise();
    return;
  }
  // Written at once, so that the preview's own configuration object reads this server.
  CLdapConfig* config = sheet_->Config();
  config->SaveSysConfig(config->SysConfig());
  dept_dialog_->LoadPreview(PreviewEntry(config->SysConfig()));
  needs_refresh_ = false;
}

bool CPageLdapDNProp::validatePage() {
  std::uint16_t app_port = 0;
  std::uint16_t sdk_port = 0;
  if (!ReadPort(this, app_port_, &app_port) || !ReadPort(this, sdk_port_, &sdk_port)) {
    return false;
  }
  // Without the credential the server refuses every call; the service does not run in the
  // folder the wizard was started from.
  const std::string credential_file = Text(credential_file_);
  if (credential_file.empty() || credential_file.front() != '/') {
    ShowMessageBox(this, QStringLiteral("错误"),
                   QStringLiteral("请填写Zelto服务器凭据文件的绝对路径(以 / 开头)"),
                   BoxIcon::kError);
    return false;
  }
  SysConfigInfo& sys = sheet_->Config()->SysConfig();
  sys.sdk_credential_file = credential_file;
  sys.app_server_ip = CutToBytes(Text(app_address_), kAddressBytes);
  sys.app_server_port = app_port;
  sys.sdk_server_ip = CutToBytes(Text(sdk_address_), kAddressBytes);
  sys.sdk_server_port = sdk_port;
  return true;
}

// --- Step 3 -----------------------------------------------------------------------------

CPageLdapSych::CPageLdapSych(CLdapConfigSheet* sheet) : sheet_(sheet) {
  setTitle(QStringLiteral("配置LDAP---步骤3(配置同步管理信息）"));
  auto* settings = new QGroupBox(QStringLiteral("请选择系统设置参数"), this);
  auto* full =
      new QRadioButton(QStringLiteral("完全同步，不保留现有Zelto数据.(推荐使用）"), settings);
  full->setObjectName("fullSync");
  auto* partial = new QRadioButton(QStringLiteral("非完全同步，可保留Zelto自身数据"), settings);
  partial->setObjectName("partialSync");
  same_cover_ = new QButtonGroup(this);
  same_cover_->addButton(full, 0);
  same_cover_->addButton(partial, 1);
  ldap_auth_ = new QCheckBox(QStringLiteral("是否LDAP服务器认证"), settings);
  ldap_auth_->setObjectName("ldapAuth");
  auto* settings_layout = new QVBoxLayout(settings);
  settings_layout->addWidget(full);
  settings_layout->addWidget(partial);
  settings_layout->addWidget(ldap_auth_);

  auto* timing = new QGroupBox(QStringLiteral("定时同步"), this);
  auto_sync_ = new QCheckBox(QStringLiteral("是否自动定时更新数据"), timing);
  auto_sync_->setObjectName("autoSync");
  hour_ = NumberEdit(timing, "hour");
  minute_ = NumberEdit(timing, "minute");
  hour_->setMaximumWidth(60);
  minute_->setMaximumWidth(60);
  hour_->setText("0");
  minute_->setText("0");
  auto* time_row = new QHBoxLayout;
  time_row->addWidget(new QLabel(QStringLiteral("每天"), timing));
  time_row->addWidget(hour_);
  time_row->addWidget(new QLabel(QStringLiteral("小时"), timing));
  time_row->addWidget(minute_);
  time_row->addWidget(new QLabel(QStringLiteral("分钟"), timing));
  time_row->addStretch(1);
  auto* timing_layout = new QVBoxLayout(timing);
  timing_layout->addWidget(auto_sync_);
  timing_layout->addLayout(time_row);
  timing_layout->addWidget(
      new QLabel(QStringLiteral("（注意：自动更新设置后需重启LDAP插件才能生效。）"), timing));
  live_sync_ = new QCheckBox(
      QStringLiteral("实时同步：目录中的更改在几秒内同步到Zelto服务器（重启后生效）"), timing);
  live_sync_->setObjectName("liveSync");
  timing_layout->addWidget(live_sync_);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(Note(QStringLiteral("    步骤3：如果您想自动从LDAP服务器同步数据，请选择自动同"
                                        "步类型，并设定自动同步时间。"),
                         this));
  layout->addWidget(settings);
  layout->addWidget(timing);
  connect(auto_sync_, &QCheckBox::clicked, this, &CPageLdapSych::AutoSyncClicked);
}

void CPageLdapSych::Activate() {
  loaded_ = ManageSyncInfo{};
  sheet_->Config()->LoadManageSync(loaded_);
  ldap_auth_->setChecked(loaded_.auth_type != 0);
  same_cover_->setExclusive(false);
  for (QAbstractButton* button : same_cover_->buttons()) button->setChecked(false);
  same_cover_->setExclusive(true);
  if (QAbstractButton* button = same_cover_->button(loaded_.same_cover)) button->setChecked(true);
  auto_sync_->setChecked(loaded_.auto_sync != 0);
  live_sync_->setChecked(loaded_.live_sync != 0);
  if (loaded_.auto_sync != 0 && loaded_.update_time > 0) {
    int hour = 0;
    int minute = 0;
    HourMinuteOf(loaded_.update_time, &hour, &minute);
    hour_->setText(QString::number(hour));
    minute_->setText(QString::number(minute));
  }
  AutoSyncClicked();
}

void CPageLdapSych::AutoSyncClicked() {
  hour_->setEnabled(auto_sync_->isChecked());
  minute_->setEnabled(auto_sync_->isChecked());
}

bool CPageLdapSych::validatePage() {
  const bool auto_sync = auto_sync_->isChecked();
  int hour = 0;
  int minute = 0;
  if (auto_sync) {
    // Out of range, the time is not taken: the page stays with the field to correct.
    for (auto [edit, high, out] :
         {std::tuple{hour_, kMaxHour, &hour}, std::tuple{minute_, kMaxMinute, &minute}}) {
      std::optional<int> value = ParseInRange(Text(edit), 0, high);
      if (!value) {
        ShowMessageBox(this, QString::fromUtf8(kProgramCaption),
                       QString::fromStdString(RangeMessage(0, high)), BoxIcon::kInformation);
        edit->setFocus();
        edit->selectAll();
        return false;
      }
      *out = *value;
    }
  }
  CLdapConfig* config = sheet_->Config();
  ManageSyncInfo& manage = config->ManageSync();
  // Unchecked, the stored time stays as it is.
  manage = loaded_;
  if (same_cover_->checkedId() >= 0) manage.same_cover = same_cover_->checkedId();
  manage.auth_type = ldap_auth_->isChecked() ? 1 : 0;
  manage.auto_sync = auto_sync ? 1 : 0;
  manage.live_sync = live_sync_->isChecked() ? 1 : 0;
  if (auto_sync) manage.update_time = DailyUpdateTime(hour, minute);
  config->SaveAll();
  // SaveAll keeps the stored trust settings; this one the wizard shows, so it saves it.
  config->SaveTrustSetting("SDKCredentialFile", config->SysConfig().sdk_credential_file);
  sheet_->DropConfig();
  ShowMessageBox(this, QString::fromUtf8(kProgramCaption), QStringLiteral("配置成功!"));
  return true;
}

// --- The sheet --------------------------------------------------------------------------

CLdapConfigSheet::CLdapConfigSheet(QWidget* parent, WorkRunner runner)
    : QWizard(parent), runner_(runner ? std::move(runner) : ProgressRunner(this)) {
  InitUiResources();
  setObjectName("configWizard");
  setWizardStyle(QWizard::ClassicStyle);
  setOption(QWizard::NoBackButtonOnStartPage, false);
  setButtonText(QWizard::BackButton, QStringLiteral("< 上一步(&B)"));
  setButtonText(QWizard::NextButton, QStringLiteral("下一步(&N) >"));
  setButtonText(QWizard::FinishButton, QStringLiteral("完成"));
  setButtonText(QWizard::CancelButton, QStringLiteral("取消"));
  step1_ = new CPageLdapConfigInfo(this);
  step2_ = new CPageLdapDNProp(this);
  step3_ = new CPageLdapSych(this);
  setPage(kStep1, step1_);
  setPage(kStep2, step2_);
  setPage(kStep3, step3_);
  setStartId(kStep1);
  setWindowTitle(step1_->title());
  connect(this, &QWizard::currentIdChanged, this, &CLdapConfigSheet::PageChanged);
}

CLdapConfigSheet::~CLdapConfigSheet() = default;

void CLdapConfigSheet::NewConfig() {
  config_ = std::make_unique<CLdapConfig>();
  config_->Init();
}

void CLdapConfigSheet::PageChanged(int id) {
  const bool back = previous_id_ > id;
  previous_id_ = id;
  if (QWizardPage* current = page(id)) setWindowTitle(current->title());
  switch (id) {
    case kStep1:
      if (back) step1_->MarkFilled();
      step1_->Activate();
      break;
    case kStep2:
      if (back) step2_->MarkFilled();
      step2_->Activate();
      break;
    case kStep3:
      step3_->Activate();
      break;
    default:
      break;
  }
}

}  // namespace norvane
