// Shared pieces of the widget tests: the application object, a watcher that answers the
// message boxes the windows show (and remembers them), and a fixture with a real slapd
// (o=corp, Domino style) and a real zeltod, started once per test binary, with a fresh
// base folder and configuration for each test.
#ifndef NORVANE_TESTS_UI_UI_TEST_SUPPORT_H_
#define NORVANE_TESTS_UI_UI_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <QMessageBox>
#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>
#include <memory>
#include <vector>

#include "tests/fixtures/zeltod_fixture.h"
#include "tests/sync/sync_test_support.h"

class QWidget;

namespace norvane::testing {

// The QApplication of the test binary, made on the first call.
void EnsureApplication();

struct ShownMessage {
  QString caption;
  QString text;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
};

// While it lives, every message box that opens is recorded and closed with its first
// button (the boxes' own loops run the check).
class MessageBoxWatcher : public QObject {
 public:
  MessageBoxWatcher();
  const std::vector<ShownMessage>& Shown() const { return shown_; }
  QStringList Texts() const;
  void Clear() { shown_.clear(); }

 private:
  void Poll();

  QTimer timer_;
  std::vector<ShownMessage> shown_;
};

class UiServersTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite();
  static void TearDownTestSuite();
  void SetUp() override;
  void TearDown() override;

  // Writes the configuration for o=corp of the shared slapd and the shared zeltod.
  bool WriteConfig(const ConfigSpec& settings) { return base_->WriteConfig(settings, *zeltod_); }
  static ConfigSpec Corp() { return CorpSettings(*slapd_); }
  static Zeltod& Server() { return *zeltod_; }
  // zeltoctl, failing the test when it does.
  static void Ctl(const std::vector<std::string>& args);
  const std::string& BaseDir() const { return base_->dir(); }

  static SlapdServer* slapd_;
  static Zeltod* zeltod_;
  std::unique_ptr<BaseFolderScope> base_;
  MessageBoxWatcher boxes_;
};

// Waits (handling events) until `done` is true or `ms` have passed.
bool WaitUntil(const std::function<bool()>& done, int ms = 5000);

}  // namespace norvane::testing

#endif  // NORVANE_TESTS_UI_UI_TEST_SUPPORT_H_
