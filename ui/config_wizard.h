// The configuration wizard: the directory server and domain (step 1), the IM server and
// the department selection (step 2), the synchronisation management (step 3). It collects
// everything in one CLdapConfig and writes LdapConfig.xml on Finish; before that only step
// 2's department button saves SysConfig (so the department dialog reads the new server)
// and the department dialog saves LimitDC.
//
// Each page fills itself from the file on its first activation and keeps what the user
// typed when revisited through Back. Main-window thread only.
#ifndef NORVANE_UI_CONFIG_WIZARD_H_
#define NORVANE_UI_CONFIG_WIZARD_H_

#include <QWizard>
#include <QWizardPage>
#include <memory>
#include <vector>

#include "config/ldap_config.h"
#include "config/records.h"
#include "ui/progress_window.h"

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace norvane {

class CDeptSelectDlg;
class CLdapConfigSheet;

// Step 1: the directory server and the domain.
class CPageLdapConfigInfo : public QWizardPage {
  Q_OBJECT

 public:
  explicit CPageLdapConfigInfo(CLdapConfigSheet* sheet);
  void Activate();
  bool validatePage() override;  // Next: checks, tests the connection, stores the page
  void MarkFilled() { filled_ = true; }

 private:
  // Tests a bind with `entry` off this thread; true when a connection resulted.
  bool TestConnection(const DcEntry& entry);
  // The labels of the chosen directory type: Active Directory's own texts for type 0.
  void directoryTypeChanged(int index);

  CLdapConfigSheet* sheet_;
  QComboBox* type_;
  QGroupBox* group_;
  QLabel* address_label_;
  QLabel* port_label_;
  QLabel* domain_label_;
  QLabel* note_;
  QLineEdit* address_;
  QLineEdit* port_;
  QLineEdit* admin_;
  QLineEdit* password_;
  QLineEdit* domain_;
  int directory_type_ = kActiveDirectory;
  int dept_mode_ = -1;
  std::vector<DcEntry> dc_list_;
  bool filled_ = false;
};

// Step 2: the IM server's application and SDK servers, and the department selection.
class CPageLdapDNProp : public QWizardPage {
  Q_OBJECT

 public:
  explicit CPageLdapDNProp(CLdapConfigSheet* sheet);
  ~CPageLdapDNProp() override;
  void Activate();
  bool validatePage() override;  // Next: copies the servers into the wizard's record
  void MarkFilled() { filled_ = true; }
  void SetDomainChanged(bool changed) { domain_changed_ = changed; }
  CDeptSelectDlg* DeptDialog() const { return dept_dialog_; }

 private:
  void SelectDepartmentsClicked();

  CLdapConfigSheet* sheet_;
  QLineEdit* app_address_;
  QLineEdit* app_port_;
  QLineEdit* sdk_address_;
  QLineEdit* sdk_port_;
  QLineEdit* credential_file_;  // SDKCredentialFile: without it the server refuses every call
  CDeptSelectDlg* dept_dialog_;
  bool domain_changed_ = false;
  bool needs_refresh_ = true;
  bool filled_ = false;
};

// Step 3: synchronisation management.
class CPageLdapSych : public QWizardPage {
  Q_OBJECT

 public:
  explicit CPageLdapSych(CLdapConfigSheet* sheet);
  void Activate();
  bool validatePage() override;  // Finish: checks the time, saves everything

 private:
  void AutoSyncClicked();

  CLdapConfigSheet* sheet_;
  QButtonGroup* same_cover_;
  QCheckBox* auto_sync_;
  QCheckBox* live_sync_;  // ManageSync LiveSync
  QCheckBox* ldap_auth_;
  QLineEdit* hour_;
  QLineEdit* minute_;
  ManageSyncInfo loaded_;
};

class CLdapConfigSheet : public QWizard {
  Q_OBJECT

 public:
  enum PageId { kStep1, kStep2, kStep3 };

  // `runner` runs the connection test and the department preview; empty: RunWithProgress.
  explicit CLdapConfigSheet(QWidget* parent = nullptr, WorkRunner runner = {});
  ~CLdapConfigSheet() override;

  // The configuration object of the current pass through step 1; step 1 makes a new one
  // on each activation.
  CLdapConfig* Config() const { return config_.get(); }
  void NewConfig();
  void DropConfig() { config_.reset(); }

  CPageLdapConfigInfo* Step1() const { return step1_; }
  CPageLdapDNProp* Step2() const { return step2_; }
  CPageLdapSych* Step3() const { return step3_; }
  const WorkRunner& Runner() const { return runner_; }

 private:
  void PageChanged(int id);

  WorkRunner runner_;
  std::unique_ptr<CLdapConfig> config_;
  CPageLdapConfigInfo* step1_;
  CPageLdapDNProp* step2_;
  CPageLdapSych* step3_;
  int previous_id_ = -1;
};

}  // namespace norvane

#endif  // NORVANE_UI_CONFIG_WIZARD_H_
