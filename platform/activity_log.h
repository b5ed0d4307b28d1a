// The activity log: one time-stamped line per event in <base>/logs/norvanelog.log,
// echoed to whoever listens (the main window's log view, norvanectl's standard error).
#ifndef NORVANE_PLATFORM_ACTIVITY_LOG_H_
#define NORVANE_PLATFORM_ACTIVITY_LOG_H_

#include <ctime>
#include <functional>
#include <string>
#include <string_view>
#include <utility>

namespace norvane {

inline constexpr long kLogSizeLimit = 10485760;  // above this the file is emptied

// Appends "[Y年M月D日h时m分s秒] text\n" (local time, no leading zeros) to the log file,
// then hands the same line to the listener. Never fails visibly: when the logs folder is
// missing (it is never created) or the file cannot be opened, nothing is written and
// nothing is echoed. Takes no lock around the file; safe to call from any thread.
void WriteLog(std::string_view text);

// The formatted line for a given local time, trailing "\n" included.
std::string FormatLogLine(const std::tm& local_time, std::string_view text);

// The log file's path: BaseFolder() + "logs/norvanelog.log".
std::string LogFilePath();

// Receives each written line once, in order, on the writer's thread; a listener that
// belongs to another thread must copy the line and hand it over without blocking the
// writer (the main window posts it as a queued signal). An empty function removes the
// listener. Setting and calling are serialised, so a removed listener is never called.
using LogListener = std::function<void(const std::string& line)>;
void SetLogListener(LogListener listener);

// While it lives, the lines this thread writes are remembered (the last one is the run's
// error, should it fail); with `keep_out_of_file`, they reach the listener only, marked by
// `mark` in front (a dry run: it must not look in the log as if it had written anything).
// Nests: the innermost one on the thread applies.
class ScopedLogTap {
 public:
  explicit ScopedLogTap(bool keep_out_of_file = false, std::string mark = {});
  ~ScopedLogTap();
  ScopedLogTap(const ScopedLogTap&) = delete;
  ScopedLogTap& operator=(const ScopedLogTap&) = delete;

  const std::string& LastLine() const { return last_line_; }

 private:
  friend void WriteLog(std::string_view text);
  bool keep_out_of_file_;
  std::string mark_;
  std::string last_line_;
  ScopedLogTap* outer_;
};

// For tests: a clock that replaces the local time.
void SetLogClockForTesting(std::function<std::tm()> clock);

}  // namespace norvane

#endif  // NORVANE_PLATFORM_ACTIVITY_LOG_H_
