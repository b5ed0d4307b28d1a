// The configuration wizard driven through its widgets against a real slapd.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "config/ldap_config.h"
#include "directory/ldap_client.h"
#include "tests/ui/ui_test_support.h"
#include "ui/config_wizard.h"
#include "ui/dept_dialog.h"
#include "ui/wizard_logic.h"

namespace norvane::testing {
namespace {

class ConfigWizardTest : public UiServersTest {
 protected:
  void SetUp() override {
    setenv("TZ", "Asia/Shanghai", 1);
    tzset();
    UiServersTest::SetUp();
  }
  void Open() {
    wizard_ = std::make_unique<CLdapConfigSheet>();
    wizard_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(wizard_.get()));
  }
  QLineEdit* Edit(const char* name) const { return wizard_->findChild<QLineEdit*>(name); }
  void Set(const char* name, const QString& text) const { Edit(name)->setText(text); }
  void Press(QWizard::WizardButton which) const { wizard_->button(which)->click(); }
  int Page() const { return wizard_->currentId(); }

  static std::string ConfigText() {
    std::ifstream in(ConfigFilePath());
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  static std::vector<DcEntry> StoredDomains() {
    CLdapConfig config;
    config.Init();
    std::vector<DcEntry> list;
    config.LoadDcList(list);
    return list;
  }
  static ManageSyncInfo StoredManageSync() {
    CLdapConfig config;
    config.Init();
    ManageSyncInfo info;
    config.LoadManageSync(info);
    return info;
  }

  std::unique_ptr<CLdapConfigSheet> wizard_;
};

TEST_F(ConfigWizardTest, StepOneShowsTheStoredValuesWithThePasswordMasked) {
  Open();
  EXPECT_EQ(Page(), CLdapConfigSheet::kStep1);
  EXPECT_EQ(Edit("serverAddress")->text(), "127.0.0.1");
  EXPECT_EQ(Edit("serverPort")->text(), QString::number(slapd_->Port()));
  EXPECT_EQ(Edit("domainName")->text(), "o=corp");
  QLineEdit* password = Edit("adminPassword");
  EXPECT_EQ(password->echoMode(), QLineEdit::Password);
  EXPECT_EQ(password->displayText(), QString(password->text().size(), password->displayText()[0]));
  EXPECT_NE(password->displayText(), password->text());
  EXPECT_FALSE(wizard_->button(QWizard::BackButton)->isEnabled());
  EXPECT_FALSE(wizard_->button(QWizard::FinishButton)->isVisible());
}

TEST_F(ConfigWizardTest, StepOneChoosesTheDirectoryTypeAndItsLabels) {
  Open();
  auto* type = wizard_->findChild<QComboBox*>("directoryType");
  ASSERT_NE(type, nullptr);
  auto has_label = [&](const char* text) {
    for (QLabel* label : wizard_->findChildren<QLabel*>()) {
      if (label->text() == QString::fromUtf8(text)) return true;
    }
    return false;
  };
  EXPECT_EQ(type->currentIndex(), 1);  // the configured LDAPSVRType
  EXPECT_TRUE(has_label("搜索基准(*):"));
  type->setCurrentIndex(0);
  EXPECT_TRUE(has_label("AD服务器IP(*)："));
  EXPECT_TRUE(has_label("LDAP服务器域名(*):"));
  // As NDS, with the administrator's DIGEST-MD5 name, it connects and the type is taken.
  boxes_.Clear();
  type->setCurrentIndex(2);
  EXPECT_TRUE(has_label("LDAP服务器IP(*)："));
  Set("adminAccount", QString::fromStdString(slapd_->Fact("ADMIN_UID")));
  Press(QWizard::NextButton);
  ASSERT_EQ(Page(), CLdapConfigSheet::kStep2) << boxes_.Texts().join("\n").toStdString();
  EXPECT_EQ(wizard_->Config()->SysConfig().directory_type, 2);
}

TEST_F(ConfigWizardTest, EmptyRequiredFieldsAreRefusedInOrderWithFocusOnTheField) {
  Open();
  const std::string before = ConfigText();
  for (const char* name : {"serverAddress", "adminAccount", "domainName"}) Set(name, "");
  const struct {
    const char* field;
    const char* message;
  } steps[] = {{"serverAddress", "IP地址不能为空"},
               {"adminAccount", "用户名不能为空"},
               {"domainName", "同步的域名不能为空"}};
  for (const auto& step : steps) {
    boxes_.Clear();
    Press(QWizard::NextButton);
    ASSERT_EQ(boxes_.Shown().size(), 1u) << step.field;
    EXPECT_EQ(boxes_.Shown()[0].caption, "错误");
    EXPECT_EQ(boxes_.Shown()[0].text, QString::fromUtf8(step.message));
    EXPECT_EQ(boxes_.Shown()[0].icon, QMessageBox::Information);
    EXPECT_EQ(wizard_->focusWidget(), Edit(step.field));
    EXPECT_EQ(Page(), CLdapConfigSheet::kStep1);
    Set(step.field, "x");
  }
  EXPECT_EQ(ConfigText(), before);
}

TEST_F(ConfigWizardTest, FailedConnectionTestStaysOnThePageAndStoresNothing) {
  Open();
  const std::string before = ConfigText();
  Set("serverPort", "");  // tried as 389, where no directory of this test listens
  Press(QWizard::NextButton);
  ASSERT_EQ(boxes_.Shown().size(), 1u);
  EXPECT_EQ(boxes_.Shown()[0].caption, "错误");
  EXPECT_EQ(boxes_.Shown()[0].text,
            "测试连接LDAP服务器失败,请检查填写的LDAP服务器的IP、管理员帐号或密码是否正确");
  EXPECT_EQ(boxes_.Shown()[0].icon, QMessageBox::Critical);
  EXPECT_EQ(Edit("serverPort")->text(), "389");
  EXPECT_EQ(Page(), CLdapConfigSheet::kStep1);
  EXPECT_EQ(ConfigText(), before);

  boxes_.Clear();
  Set("serverPort", QString::number(slapd_->Port()));
  Set("adminPassword", "wrong");
  Press(QWizard::NextButton);
  EXPECT_EQ(boxes_.Texts().size(), 1);
  EXPECT_EQ(Page(), CLdapConfigSheet::kStep1);
  EXPECT_EQ(ConfigText(), before);
}

TEST_F(ConfigWizardTest, WindowKeepsRunningWhileTheDirectoryDoesNotAnswer) {
  // A listener that never answers: the bind waits for the operation time-out.
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), length), 0);
  ASSERT_EQ(listen(listener, 4), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
  SetOperationTimeout(2);

  Open();
  Set("serverPort", QString::number(ntohs(address.sin_port)));
  int ticks = 0;
  QString progress;
  QTimer timer;
  QObject::connect(&timer, &QTimer::timeout, [&] {
    ++ticks;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
      if (widget->objectName() == "progressWindow" && widget->isVisible()) {
        progress = widget->findChild<QLabel*>("progressText")->text();
      }
    }
  });
  timer.start(50);
  Press(QWizard::NextButton);
  timer.stop();
  SetOperationTimeout(kOperationTimeoutSeconds);
  close(listener);

  EXPECT_GE(ticks, 10);  // the event loop ran all along
  EXPECT_EQ(progress, "正在连接 LDAP 服务器，请稍候...\t");
  EXPECT_EQ(boxes_.Texts().size(), 1);
  EXPECT_EQ(Page(), CLdapConfigSheet::kStep1);
}

TEST_F(ConfigWizardTest, NextBackNextWithTheSameDomainKeepsOneEntry) {
  Open();
  Press(QWizard::NextButton);
  ASSERT_EQ(Page(), CLdapConfigSheet::kStep2);
  EXPECT_EQ(Edit("sdkPort")->text(), QString::number(Server().SdkPort()));
  Press(QWizard::BackButton);
  ASSERT_EQ(Page(), CLdapConfigSheet::kStep1);
  EXPECT_EQ(Edit("domainName")->text(), "o=corp");
  Press(QWizard::NextButton);
  Press(QWizard::NextButton);
  ASSERT_EQ(Page(), CLdapConfigSheet::kStep3);
  Press(QWizard::FinishButton);
  EXPECT_EQ(boxes_.Texts(), QStringList{"配置成功!"});
  EXPECT_FALSE(wizard_->isVisible());
  // The page shows the stored credential file and Finish keeps it.
  EXPECT_NE(ConfigText().find("SDKCredentialFile=\"" + Server().CredentialFile() + "\""),
            std::string::npos);
  const std::vector<DcEntry> domains = StoredDomains();
  ASSERT_EQ(domains.size(), 1u);
  EXPECT_EQ(domains[0].domain_name, "o=corp");
  EXPECT_EQ(domains[0].admin_password, slapd_->Fact("ADMIN_PASSWORD"));
  // The password is stored protected, never in clear.
  EXPECT_EQ(ConfigText().find(slapd_->Fact("ADMIN_PASSWORD")), std::string::npos);
}

// The server page says its defaults serve: with no credential file configured it offers the
// installed server's, and Finish stores it.
TEST_F(ConfigWizardTest, NoConfiguredCredentialFileShowsTheDefaultPath) {
  {
    CLdapConfig config;
    config.Init();
    ASSERT_TRUE(config.SaveTrustSetting("SDKCredentialFile", ""));
  }
  Open();
  Press(QWizard::NextButton);
  ASSERT_EQ(Page(), CLdapConfigSheet::kStep2);
  EXPECT_EQ(Edit("credentialFile")->text(), QString(kDefaultSdkCredentialFile));
  Press(QWizard::NextButton);
  ASSERT_EQ(Page(), CLdapConfigSheet::kStep3);
  Press(QWizard::FinishButton);
  EXPECT_NE(ConfigText().find(std::string("SDKCredentialFile=\"") + kDefaultSdkCredentialFile),
            std::string::npos);
}

TEST_F(ConfigWizardTest, AnotherDomainOnTheSecondPassKeepsBothAndBecomesTheDomain) {
  Open();
  Press(QWizard::NextButton);
  Press(QWizard::BackButton);
  Set("domainName", "o=nds");
  Set("adminAccount", QString::fromStdString(slapd_->Fact("NDS_ADMIN_DN")));
  Set("adminPassword", QString::fromStdString(slapd_->Fact("NDS_ADMIN_PASSWORD")));
  Press(QWizard::NextButton);
  EXPECT_EQ(Edit("credentialFile")->text(), QString::fromStdString(Server().CredentialFile()));
  // The service does not run where the wizard does: a relative path is refused.
  Set("credentialFile", "zelto.db.credential");
  Press(QWizard::NextButton);
  EXPECT_EQ(Page(), CLdapConfigSheet::kStep2);
  EXPECT_EQ(boxes_.Texts().size(), 1);
  boxes_.Clear();
  const std::string edited = Server().CredentialFile() + ".new";
  Set("credentialFile", QString::fromStdString(edited));
  Press(QWizard::NextButton);
  Press(QWizard::FinishButton);
  ASSERT_EQ(boxes_.Texts(), QStringList{"配置成功!"});
  const std::vector<DcEntry> domains = StoredDomains();
  ASSERT_EQ(domains.size(), 2u);
  EXPECT_EQ(domains[0].domain_name, "o=corp");
  EXPECT_EQ(domains[1].domain_name, "o=nds");
  CLdapConfig config;
  config.Init();
  SysConfigInfo sys;
  config.LoadSysConfig(sys);
  EXPECT_EQ(sys.domain, "o=nds");
  EXPECT_EQ(sys.directory_type, kDominoDirectory);  // the configured type is kept
  EXPECT_EQ(sys.app_server_port, Server().AppPort());
  EXPECT_EQ(sys.sdk_credential_file, edited);
}

TEST_F(ConfigWizardTest, LiveSyncIsOnUnlessUnchecked) {
  Open();
  Press(QWizard::NextButton);
  Press(QWizard::NextButton);
  auto* live = wizard_->findChild<QCheckBox*>("liveSync");
  ASSERT_NE(live, nullptr);
  EXPECT_TRUE(live->isChecked());  // absent from the file: on
  live->click();
  Press(QWizard::FinishButton);
  ASSERT_EQ(boxes_.Texts(), QStringList{"配置成功!"});
  EXPECT_EQ(StoredManageSync().live_sync, 0);
  Open();
  Press(QWizard::NextButton);
  Press(QWizard::NextButton);
  EXPECT_FALSE(wizard_->findChild<QCheckBox*>("liveSync")->isChecked());
}

TEST_F(ConfigWizardTest, DailyTimeIsRangeCheckedAndRollsOver) {
  Open();
  Press(QWizard::NextButton);
  Press(QWizard::NextButton);
  ASSERT_EQ(Page(), CLdapConfigSheet::kStep3);
  auto* auto_sync = wizard_->findChild<QCheckBox*>("autoSync");
  EXPECT_FALSE(Edit("hour")->isEnabled());
  auto_sync->click();
  EXPECT_TRUE(Edit("hour")->isEnabled());
  const ManageSyncInfo before = StoredManageSync();

  Set("hour", "25");
  Set("minute", "0");
  Press(QWizard::FinishButton);
  EXPECT_EQ(boxes_.Texts(), QStringList{"请输入一个介于 0 和 24 之间的整数。"});
  EXPECT_EQ(wizard_->focusWidget(), Edit("hour"));
  EXPECT_EQ(Page(), CLdapConfigSheet::kStep3);
  EXPECT_EQ(StoredManageSync().update_time, before.update_time);

  boxes_.Clear();
  Set("hour", "24");
  Set("minute", "60");
  wizard_->findChild<QAbstractButton*>("partialSync")->click();
  Press(QWizard::FinishButton);
  ASSERT_EQ(boxes_.Texts(), QStringList{"配置成功!"});
  const ManageSyncInfo stored = StoredManageSync();
  EXPECT_EQ(stored.update_time, DailyUpdateTime(24, 60));
  EXPECT_EQ(stored.auto_sync, 1);
  EXPECT_EQ(stored.same_cover, 1);

  Open();  // shows as 01:00
  Press(QWizard::NextButton);
  Press(QWizard::NextButton);
  EXPECT_EQ(Edit("hour")->text(), "1");
  EXPECT_EQ(Edit("minute")->text(), "0");
  EXPECT_TRUE(Edit("hour")->isEnabled());
}

TEST_F(ConfigWizardTest, DepartmentButtonSavesTheServerAndShowsThePreview) {
  Open();
  Press(QWizard::NextButton);
  ASSERT_EQ(Page(), CLdapConfigSheet::kStep2);
  wizard_->findChild<QAbstractButton*>("selectDepartments")->click();
  CDeptSelectDlg* dialog = wizard_->Step2()->DeptDialog();
  EXPECT_TRUE(dialog->isVisible());
  EXPECT_GT(dialog->findChild<QLineEdit*>("checkedCount")->text().toInt(), 1);
}

}  // namespace
}  // namespace norvane::testing
