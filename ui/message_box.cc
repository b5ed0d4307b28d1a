#include "ui/message_box.h"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QThread>

// Q_INIT_RESOURCE must be used outside any namespace; a static library's resources are
// otherwise dropped by the linker.
static void InitNorvaneResources() { Q_INIT_RESOURCE(norvane); }

namespace norvane {

void InitUiResources() {
  static const bool done = [] {
    InitNorvaneResources();
    return true;
  }();
  (void)done;
}

void ShowMessageBox(QWidget* parent, const QString& caption, const QString& text, BoxIcon icon) {
  QMessageBox box(parent);
  box.setWindowTitle(caption);
  box.setText(text);
  switch (icon) {
    case BoxIcon::kInformation:
      box.setIcon(QMessageBox::Information);
      break;
    case BoxIcon::kWarning:
      box.setIcon(QMessageBox::Warning);
      break;
    case BoxIcon::kError:
      box.setIcon(QMessageBox::Critical);
      break;
    case BoxIcon::kQuestion:
      box.setIcon(QMessageBox::Question);
      break;
    case BoxIcon::kNone:
      break;
  }
  box.addButton(QStringLiteral("确定"), QMessageBox::AcceptRole);
  box.exec();
}

void MessageBoxPrompt::Show(const std::string& text) {
  const QString message = QString::fromStdString(text);
  QPointer<QWidget> parent = parent_;
  auto show = [parent, message] {
    ShowMessageBox(parent, QString::fromUtf8(kProgramCaption), message);
  };
  if (QThread::currentThread() == qApp->thread()) {
    show();
  } else {
    QMetaObject::invokeMethod(qApp, show, Qt::BlockingQueuedConnection);
  }
}

}  // namespace norvane
