#include "ui/main_window.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

#include "app/main_window_factory.h"
#include "app/norvane_dlg.h"
#include "ui/config_wizard.h"
#include "ui/excluded_users_dialog.h"
#include "ui/message_box.h"
#include "ui/plan_dialog.h"
#include "ui/specified_users_dialog.h"

namespace norvane {
namespace {

// The log view keeps this many lines; older ones scroll away (the file keeps them all).
constexpr int kLogViewLines = 20000;

BoxIcon BoxIconOf(MessageIcon icon) {
  switch (icon) {
    case MessageIcon::kInformation:
      return BoxIcon::kInformation;
    case MessageIcon::kQuestion:
      return BoxIcon::kQuestion;
    case MessageIcon::kWarning:
      return BoxIcon::kWarning;
    case MessageIcon::kNone:
      break;
  }
  return BoxIcon::kNone;
}

QIcon Icon(const char* name) { return QIcon(QStringLiteral(":/icons/") + name + ".svg"); }

}  // namespace

std::unique_ptr<MainView> CreateMainWindow(CNorvaneDlg& controller) {
  return std::make_unique<CNorvaneWindow>(controller, QSystemTrayIcon::isSystemTrayAvailable());
}

CNorvaneWindow::CNorvaneWindow(CNorvaneDlg& controller, bool tray_available)
    : controller_(controller), tray_available_(tray_available) {
  InitUiResources();
  runner_ = [this](int code, const std::string& task, const std::function<int()>& work) {
    return RunDialogWork(code, task, work);
  };
  setObjectName("mainWindow");
  setWindowTitle(QString::fromUtf8(kMainWindowTitle));
  setWindowIcon(Icon("norvane"));
  // The window is not maximised; closing and minimising hide it (see closeEvent).
  setWindowFlags(windowFlags() & ~Qt::WindowMaximizeButtonHint);
  BuildMenus();
  BuildToolBar();
  BuildCentre();
  BuildTray();
  excluded_ = new CExcludedUsersDlg(this, runner_);
  resize(760, 460);
}

CNorvaneWindow::~CNorvaneWindow() = default;

QAction* CNorvaneWindow::Action(QMenu* menu, const QString& text, const char* name,
                                std::function<void(CNorvaneDlg&)> command) {
  QAction* action = menu->addAction(text);
  action->setObjectName(name);
  connect(action, &QAction::triggered, this, [this, command] { command(controller_); });
  return action;
}

void CNorvaneWindow::BuildMenus() {
  QMenu* file = menuBar()->addMenu(QStringLiteral("文件(&F)"));
  start_action_ = Action(file, QStringLiteral("启动LDAP认证系统"), "startAction",
                         [](CNorvaneDlg& c) { c.Start(); });
  stop_action_ = Action(file, QStringLiteral("停止LDAP认证系统"), "stopAction", &CNorvaneDlg::Stop);
  file->addSeparator();
  work_actions_ << Action(file, QStringLiteral("同步LDAP数据"), "syncAction", &CNorvaneDlg::SyncNow)
                << Action(file, QStringLiteral("关联所有用户LDAP认证"), "associateAllAction",
                          &CNorvaneDlg::AssociateAllUsers)
                << Action(file, QStringLiteral("取消所有用户LDAP认证"), "cancelAllAction",
                          &CNorvaneDlg::CancelAllUsers);
  // The commands that have no place of their own in the menu: offered in a group after the
  // ones they belong with.
  file->addSeparator();
  work_actions_ << Action(file, QStringLiteral("变更预览"), "previewAction",
                          &CNorvaneDlg::PreviewChanges)
                << Action(file, QStringLiteral("更新LDAP数据"), "updateAction",
                          &CNorvaneDlg::UpdateNow)
                << Action(file, QStringLiteral("指定用户同步管理"), "specifiedUsersAction",
                          &CNorvaneDlg::SpecifiedUsers)
                << Action(file, QStringLiteral("设置当前配置域同步用户第三方认证"),
                          "associateDomainAction", &CNorvaneDlg::AssociateCurrentDomain)
                << Action(file, QStringLiteral("取消当前配置域同步用户第三方认证"),
                          "cancelDomainAction", &CNorvaneDlg::CancelCurrentDomain);
  file->addSeparator();
  Action(file, QStringLiteral("退出"), "fileExitAction", &CNorvaneDlg::Exit);

  QMenu* settings = menuBar()->addMenu(QStringLiteral("设置(&T)"));
  work_actions_ << Action(settings, QStringLiteral("LDAP服务器配置"), "wizardAction",
                          &CNorvaneDlg::ConfigurationWizard);
  Action(settings, QStringLiteral("禁止导入的用户配置"), "excludedUsersAction",
         &CNorvaneDlg::ExcludedUsers);
  settings->addSeparator();
  service_mode_ = Action(settings, QStringLiteral("以服务方式启动（需重启）"), "serviceModeAction",
                         &CNorvaneDlg::StartAsService);
  interface_mode_ = Action(settings, QStringLiteral("以界面方式启动（需重启）"),
                           "interfaceModeAction", &CNorvaneDlg::StartAsInterface);
  for (QAction* mode : {service_mode_, interface_mode_}) {
    mode->setCheckable(true);
    // The mark moves only when the controller says the setting was stored.
    connect(mode, &QAction::triggered, this, [this] { SetStartModeChecks(current_start_type_); });
  }
  interface_mode_->setChecked(true);

  QMenu* help = menuBar()->addMenu(QStringLiteral("帮助(&H)"));
  Action(help, QStringLiteral("关于(&A)"), "aboutAction", &CNorvaneDlg::About);
  help->addSeparator();
  Action(help, QStringLiteral("退出"), "exitAction", &CNorvaneDlg::Exit);
}

void CNorvaneWindow::BuildToolBar() {
  QToolBar* bar = addToolBar(QStringLiteral("工具栏"));
  bar->setObjectName("toolBar");
  bar->setMovable(true);
  bar->setFloatable(false);
  bar->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
  bar->setIconSize(QSize(30, 30));
  const struct {
    const char* icon;
    QString text;
    const char* name;
    void (CNorvaneDlg::*command)();
    bool long_work;
  } buttons[] = {
      {"wizard", QStringLiteral("配置向导"), "wizardButton", &CNorvaneDlg::ConfigurationWizard,
       true},
      {"sync", QStringLiteral("数据同步"), "syncButton", &CNorvaneDlg::SyncNow, true},
      {"advanced", QStringLiteral("高级配置"), "advancedButton", &CNorvaneDlg::ExcludedUsers,
       false},
      {"preview", QStringLiteral("变更预览"), "previewButton", &CNorvaneDlg::PreviewChanges, true},
  };
  for (const auto& b : buttons) {
    QAction* action = bar->addAction(Icon(b.icon), b.text);
    action->setObjectName(b.name);
    action->setToolTip(b.text);
    std::function<void(CNorvaneDlg&)> command = b.command;
    connect(action, &QAction::triggered, this, [this, command] { command(controller_); });
    if (b.long_work) work_actions_ << action;
  }
}

void CNorvaneWindow::BuildCentre() {
  auto* centre = new QWidget(this);
  auto* service = new QGroupBox(QStringLiteral("服务"), centre);
  auto make_button = [service](const char* icon, const char* name) {
    auto* button = new QToolButton(service);
    button->setObjectName(name);
    button->setIcon(Icon(icon));
    button->setIconSize(QSize(40, 40));
    button->setAutoRaise(false);
    return button;
  };
  start_button_ = make_button("start", "startButton");
  stop_button_ = make_button("stop", "stopButton");
  connect(start_button_, &QToolButton::clicked, this, [this] { controller_.Start(); });
  connect(stop_button_, &QToolButton::clicked, this, [this] { controller_.Stop(); });
  auto* service_layout = new QVBoxLayout(service);
  for (auto [button, label] : {std::pair{start_button_, QStringLiteral("启动")},
                               std::pair{stop_button_, QStringLiteral("停止")}}) {
    service_layout->addWidget(button, 0, Qt::AlignHCenter);
    service_layout->addWidget(new QLabel(label, service), 0, Qt::AlignHCenter);
    service_layout->addSpacing(8);
  }
  service_layout->addStretch(1);

  auto* log_box = new QGroupBox(QStringLiteral("系统日志"), centre);
  log_ = new QPlainTextEdit(log_box);
  log_->setObjectName("logView");
  log_->setReadOnly(true);
  log_->setUndoRedoEnabled(false);
  log_->setMaximumBlockCount(kLogViewLines);
  auto* log_layout = new QVBoxLayout(log_box);
  log_layout->addWidget(log_);

  auto* layout = new QHBoxLayout(centre);
  layout->addWidget(service);
  layout->addWidget(log_box, 1);
  setCentralWidget(centre);

  progress_text_ = new QLabel(this);
  progress_text_->setObjectName("progressText");
  progress_bar_ = new QProgressBar(this);
  progress_bar_->setObjectName("progressBar");
  progress_bar_->setRange(0, 0);  // busy: the amount of work is not known beforehand
  progress_bar_->setMaximumWidth(160);
  progress_bar_->hide();
  statusBar()->addWidget(progress_text_, 1);
  statusBar()->addPermanentWidget(progress_bar_);
  live_sync_text_ = new QLabel(this);
  live_sync_text_->setObjectName("liveSyncState");
  statusBar()->addPermanentWidget(live_sync_text_);
  last_run_ = new QLabel(this);
  last_run_->setObjectName("lastRun");
  statusBar()->addPermanentWidget(last_run_);
  SetButtons(true, false);
}

void CNorvaneWindow::BuildTray() {
  tray_menu_ = new QMenu(this);
  tray_menu_->setObjectName("trayMenu");
  Action(tray_menu_, QStringLiteral("关于"), "trayAboutAction", &CNorvaneDlg::About);
  tray_menu_->addSeparator();
  Action(tray_menu_, QStringLiteral("退出"), "trayExitAction", &CNorvaneDlg::Exit);
  if (!tray_available_) return;
  tray_ = new QSystemTrayIcon(this);
  tray_->setContextMenu(tray_menu_);
  connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason why) {
    if (why == QSystemTrayIcon::Trigger) TrayClicked();
  });
}

// ---- MainView -------------------------------------------------------------------------

void CNorvaneWindow::SetButtons(bool start_enabled, bool stop_enabled) {
  // The menu's Start stays enabled: chosen while running, it says the service is starting.
  start_button_->setEnabled(start_enabled);
  stop_button_->setEnabled(stop_enabled);
  stop_action_->setEnabled(stop_enabled);
}

void CNorvaneWindow::SetTrayState(bool running, const std::string& tooltip) {
  tray_running_ = running;
  tray_tooltip_ = QString::fromStdString(tooltip);
  tray_shown_ = tray_available_;
  if (!tray_) return;
  tray_->setIcon(Icon(running ? "tray_running" : "tray_stopped"));
  tray_->setToolTip(tray_tooltip_);
  tray_->show();
}

void CNorvaneWindow::RemoveTrayIcon() {
  tray_shown_ = false;
  if (tray_) tray_->hide();
}

void CNorvaneWindow::SetStartModeChecks(int start_type) {
  current_start_type_ = start_type;
  service_mode_->setChecked(start_type == 1);
  interface_mode_->setChecked(start_type != 1);
}

void CNorvaneWindow::ShowMessage(const std::string& text, const std::string& caption,
                                 MessageIcon icon) {
  QWidget* over = isVisible() ? this : nullptr;
  ShowMessageBox(over, caption.empty() ? windowTitle() : QString::fromStdString(caption),
                 QString::fromStdString(text), BoxIconOf(icon));
}

void CNorvaneWindow::AppendLogLine(const std::string& line) {
  QTextCursor end(log_->document());
  end.movePosition(QTextCursor::End);
  // Each line arrives with its own "\n"; the view adds no break of its own.
  QString text = QString::fromStdString(line);
  if (text.endsWith('\n')) text.chop(1);
  if (!log_->document()->isEmpty()) end.insertBlock();
  end.insertText(text);
  log_->ensureCursorVisible();
}

void CNorvaneWindow::SetWindowVisible(bool visible) {
  if (!visible) {
    hide();
    return;
  }
  showNormal();
  raise();
  activateWindow();
}

void CNorvaneWindow::ShowLiveSyncState(const std::string& text) {
  live_sync_text_->setText(QString::fromStdString(text));
}

void CNorvaneWindow::ShowProgress(const WorkProgress& progress) {
  for (QAction* action : work_actions_) action->setEnabled(!progress.active);
  if (!progress.active) {
    progress_text_->clear();
    progress_bar_->hide();
    return;
  }
  QString text = QString::fromStdString(progress.task);
  if (progress.departments > 0 || progress.users > 0) {
    text += QStringLiteral("：已处理部门 %1 个，用户 %2 个")
                .arg(progress.departments)
                .arg(progress.users);
  } else {
    text += QStringLiteral("：正在处理，请稍候...");
  }
  progress_text_->setText(text);
  progress_bar_->show();
}

void CNorvaneWindow::RunConfigurationWizard() {
  CLdapConfigSheet wizard(this, runner_);
  wizard.exec();
}

void CNorvaneWindow::ShowExcludedUsers() { excluded_->ShowDialog(); }

void CNorvaneWindow::RunSpecifiedUsers() {
  CSpecifiedUsersDlg dialog(this, runner_);
  dialog.exec();
}

void CNorvaneWindow::ShowAbout() {
  QMessageBox box(isVisible() ? this : nullptr);
  box.setObjectName("aboutBox");
  box.setWindowTitle(QStringLiteral("关于 %1").arg(windowTitle()));
  box.setIconPixmap(Icon("norvane").pixmap(64, 64));
  box.setText(QStringLiteral("<b>%1</b>").arg(windowTitle()));
  box.setInformativeText(QStringLiteral(
      "将 LDAP 目录中的部门和用户同步到 Zelto 服务器，\n并作为 Zelto 的第三方登录认证。"));
  box.addButton(QStringLiteral("确定"), QMessageBox::AcceptRole);
  // A message box sizes itself to its title and wraps Chinese text at any character; a
  // spacer across its grid keeps each sentence on one line.
  if (auto* grid = qobject_cast<QGridLayout*>(box.layout())) {
    grid->addItem(new QSpacerItem(420, 0, QSizePolicy::Minimum, QSizePolicy::Expanding),
                  grid->rowCount(), 0, 1, grid->columnCount());
  }
  box.exec();
}

bool CNorvaneWindow::ShowChangePlan(const ChangeSet& plan) {
  CChangePlanDlg dialog(isVisible() ? this : nullptr);
  dialog.SetPlan(plan);
  return dialog.exec() == QDialog::Accepted;
}

bool CNorvaneWindow::ConfirmRemovals(const std::string& question, const ChangeSet& plan) {
  QMessageBox box(isVisible() ? this : nullptr);
  box.setObjectName("confirmRemovals");
  box.setWindowTitle(windowTitle());
  box.setIcon(QMessageBox::Warning);
  box.setText(QString::fromStdString(question));
  QPushButton* run = box.addButton(QStringLiteral("继续同步"), QMessageBox::AcceptRole);
  QPushButton* preview = box.addButton(QStringLiteral("查看变更..."), QMessageBox::ActionRole);
  QPushButton* cancel = box.addButton(QStringLiteral("取消"), QMessageBox::RejectRole);
  box.setDefaultButton(cancel);  // removals are never one Enter away
  box.setEscapeButton(cancel);
  box.exec();
  if (box.clickedButton() == preview) return ShowChangePlan(plan);
  return box.clickedButton() == run;
}

void CNorvaneWindow::ShowLastRun(const std::string& text) {
  last_run_->setText(QString::fromStdString(text));
}

// ---- window events --------------------------------------------------------------------

void CNorvaneWindow::TrayClicked() { controller_.ShowWindow(); }

void CNorvaneWindow::closeEvent(QCloseEvent* event) {
  // The window ends only through Exit; closing it hides it.
  event->ignore();
  if (tray_shown_) {
    controller_.HideWindow();
  } else {
    showMinimized();
  }
}

void CNorvaneWindow::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  if (event->type() == QEvent::WindowStateChange && isMinimized() && tray_shown_) {
    // Hidden once the state change is over, so the window comes back in its normal state.
    QTimer::singleShot(0, this, [this] { controller_.HideWindow(); });
  }
}

int CNorvaneWindow::RunDialogWork(int code, const std::string& task,
                                  const std::function<int()>& work) {
  ProgressWindow window(code, QApplication::activeWindow());
  window.show();
  const int result = controller_.RunWork(task, work);
  window.close();
  return result;
}

}  // namespace norvane
