#include "tests/ui/ui_test_support.h"

#include <QAbstractButton>
#include <QApplication>
#include <QTest>

namespace norvane::testing {

void EnsureApplication() {
  if (QApplication::instance() != nullptr) return;
  static int argc = 1;
  static char name[] = "norvane_ui_test";
  static char* argv[] = {name, nullptr};
  // Reachable for the life of the process, so never reported as a leak.
  static QApplication* app = new QApplication(argc, argv);
  (void)app;
}

MessageBoxWatcher::MessageBoxWatcher() {
  EnsureApplication();
  connect(&timer_, &QTimer::timeout, this, &MessageBoxWatcher::Poll);
  timer_.start(20);
}

QStringList MessageBoxWatcher::Texts() const {
  QStringList texts;
  for (const ShownMessage& shown : shown_) texts << shown.text;
  return texts;
}

void MessageBoxWatcher::Poll() {
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    auto* box = qobject_cast<QMessageBox*>(widget);
    if (box == nullptr || !box->isVisible() || box->property("answered").toBool()) continue;
    box->setProperty("answered", true);
    shown_.push_back({box->windowTitle(), box->text(), box->icon()});
    if (!box->buttons().isEmpty()) {
      box->buttons().front()->click();
    } else {
      box->reject();
    }
  }
}

SlapdServer* UiServersTest::slapd_ = nullptr;
Zeltod* UiServersTest::zeltod_ = nullptr;

void UiServersTest::SetUpTestSuite() {
  EnsureApplication();
  slapd_ = new SlapdServer;
  zeltod_ = new Zeltod;
  if (!slapd_->Start()) ADD_FAILURE() << "slapd did not start";
  if (!zeltod_->Start()) ADD_FAILURE() << "zeltod did not start: " << zeltod_->LogText();
}

void UiServersTest::TearDownTestSuite() {
  delete slapd_;
  delete zeltod_;
  slapd_ = nullptr;
  zeltod_ = nullptr;
}

void UiServersTest::SetUp() {
  ASSERT_GT(slapd_->Port(), 0);
  ASSERT_TRUE(zeltod_->Running());
  base_ = std::make_unique<BaseFolderScope>();
  ASSERT_TRUE(WriteConfig(Corp()));
}

void UiServersTest::TearDown() {
  QApplication::closeAllWindows();
  base_.reset();
}

void UiServersTest::Ctl(const std::vector<std::string>& args) {
  std::string out, err;
  ASSERT_EQ(zeltod_->Ctl(args, &out, "", &err), 0) << out << err;
}

bool WaitUntil(const std::function<bool()>& done, int ms) { return QTest::qWaitFor(done, ms); }

}  // namespace norvane::testing
