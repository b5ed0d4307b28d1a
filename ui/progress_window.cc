#include "ui/progress_window.h"

#include <QApplication>
#include <QEventLoop>
#include <QHBoxLayout>
#include <QLabel>
#include <QScreen>
#include <QStyle>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

namespace norvane {

QString ProgressText(int code) {
  switch (code) {
    case 0:
      return QStringLiteral("正在备份数据，请稍等...");
    case 1:
      return QStringLiteral("正在还原数据，请稍等...");
    case 2:
      return QStringLiteral("正在删除数据，请稍等...");
    case 3:
      return QStringLiteral("正在导出数据，请稍等...");
    case 4:
    case 9:
      return QStringLiteral("正在导入数据，请稍等...");
    case 5:
      return QStringLiteral("正在转换头像，请稍等...");
    case 6:
      return QStringLiteral("正在进行数据同步，请稍等...");
    case 7:
      return QStringLiteral("正在进行数据处理，请稍等...");
    case 8:
      return QStringLiteral("正在停止所有服务，请稍等...");
    case 10:
      return QStringLiteral("正在到出数据，请稍等...");
    case 11:
      return QStringLiteral("正在连接 LDAP 服务器，请稍候...\t");
    default:
      return QStringLiteral("正在处理中，请稍等...");
  }
}

ProgressWindow::ProgressWindow(int code, QWidget* over)
    : QWidget(nullptr, Qt::Dialog | Qt::FramelessWindowHint) {
  setObjectName("progressWindow");
  setAttribute(Qt::WA_DeleteOnClose, false);
  setWindowModality(Qt::ApplicationModal);
  auto* icon = new QLabel(this);
  icon->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxInformation).pixmap(32, 32));
  text_ = new QLabel(ProgressText(code), this);
  text_->setObjectName("progressText");
  detail_ = new QLabel(this);
  detail_->setObjectName("progressDetail");
  detail_->hide();
  auto* texts = new QVBoxLayout;
  texts->addWidget(text_);
  texts->addWidget(detail_);
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(16, 12, 16, 12);
  row->addWidget(icon);
  row->addLayout(texts, 1);
  setMinimumWidth(300);
  adjustSize();
  QRect area = over && over->isVisible() ? over->frameGeometry()
                                         : QApplication::primaryScreen()->availableGeometry();
  move(area.center() - rect().center());
}

void ProgressWindow::SetDetail(const QString& detail) {
  detail_->setText(detail);
  detail_->setVisible(!detail.isEmpty());
}

QString ProgressWindow::Text() const { return text_->text(); }

int RunWithProgress(QWidget* over, int code, const std::function<int()>& work,
                    const std::function<QString()>& detail) {
  ProgressWindow window(code, over);
  window.show();
  QEventLoop loop;
  int result = 0;
  QThread* worker = QThread::create([&work, &result] { result = work(); });
  QObject::connect(worker, &QThread::finished, &loop, &QEventLoop::quit);
  QTimer ticker;
  if (detail) {
    QObject::connect(&ticker, &QTimer::timeout, &window,
                     [&window, &detail] { window.SetDetail(detail()); });
    ticker.start(250);
  }
  worker->start();
  loop.exec();
  worker->wait();
  delete worker;
  ticker.stop();
  window.close();
  return result;
}

WorkRunner ProgressRunner(QWidget* over) {
  return [over](int code, const std::string&, const std::function<int()>& work) {
    return RunWithProgress(over, code, work);
  };
}

}  // namespace norvane
