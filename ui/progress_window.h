// The small window without a caption that says what the program is busy with, and the
// helper that keeps the windows painting while long work runs.
#ifndef NORVANE_UI_PROGRESS_WINDOW_H_
#define NORVANE_UI_PROGRESS_WINDOW_H_

#include <QString>
#include <QWidget>
#include <functional>
#include <string>

class QLabel;

namespace norvane {

// Codes of the texts the window can show.
inline constexpr int kProgressSync = 6;        // "正在进行数据同步，请稍等..."
inline constexpr int kProgressProcessing = 7;  // "正在进行数据处理，请稍等..."
inline constexpr int kProgressConnect = 11;    // "正在连接 LDAP 服务器，请稍候...\t"

// The text for a code; codes above 11 (and below 0) give "正在处理中，请稍等...".
QString ProgressText(int code);

class ProgressWindow : public QWidget {
  Q_OBJECT

 public:
  // Created without a parent; centred over `over` when given, else on the screen.
  explicit ProgressWindow(int code, QWidget* over = nullptr);
  // A second line under the text, such as the counts of work done; hidden while empty.
  void SetDetail(const QString& detail);
  QString Text() const;

 private:
  QLabel* text_;
  QLabel* detail_;
};

// Runs `work` on a worker thread while a progress window shows `code`'s text, and returns
// its result when it is done. Meanwhile this thread keeps handling events, so every window
// repaints, and the progress window takes all input, so no command starts inside another.
// `detail`, when given, is called on this thread a few times a second for the window's
// second line (it may read counters that `work` updates). Main-window thread only; `work`
// must not touch widgets (a MessageBoxPrompt may be used from it).
int RunWithProgress(QWidget* over, int code, const std::function<int()>& work,
                    const std::function<QString()>& detail = {});

// How a dialog runs its long work: off the window's thread, the windows repainting and no
// other command starting meanwhile. `code` picks the progress text, `task` names the work
// for the activity log. Returns the work's result, or 0 when it could not run. The main
// window passes one that goes through its controller; a dialog on its own uses
// RunWithProgress.
using WorkRunner =
    std::function<int(int code, const std::string& task, const std::function<int()>& work)>;
WorkRunner ProgressRunner(QWidget* over);

}  // namespace norvane

#endif  // NORVANE_UI_PROGRESS_WINDOW_H_
