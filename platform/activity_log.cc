#include "platform/activity_log.h"

#include <cstdio>
#include <mutex>

#include "platform/paths.h"

namespace norvane {
namespace {

std::mutex g_listener_mutex;
LogListener g_listener;                 // guarded by g_listener_mutex
std::function<std::tm()> g_test_clock;  // guarded by g_listener_mutex

std::tm Now() {
  {
    std::lock_guard<std::mutex> lock(g_listener_mutex);
    if (g_test_clock) return g_test_clock();
  }
  std::time_t t = std::time(nullptr);
  std::tm local{};
  localtime_r(&t, &local);
  return local;
}

}  // namespace

std::string LogFilePath() { return BaseFolder() + "logs/norvanelog.log"; }

std::string FormatLogLine(const std::tm& t, std::string_view text) {
  char stamp[96];
  std::snprintf(stamp, sizeof stamp, "[%d年%d月%d日%d时%d分%d秒] ", t.tm_year + 1900, t.tm_mon + 1,
                t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
  std::string line = stamp;
  line.append(text);
  line += '\n';
  return line;
}

static thread_local ScopedLogTap* t_tap = nullptr;

ScopedLogTap::ScopedLogTap(bool keep_out_of_file, std::string mark)
    : keep_out_of_file_(keep_out_of_file), mark_(std::move(mark)), outer_(t_tap) {
  t_tap = this;
}

ScopedLogTap::~ScopedLogTap() { t_tap = outer_; }

void WriteLog(std::string_view text) {
  if (ScopedLogTap* tap = t_tap) {
    tap->last_line_ = text;
    if (tap->keep_out_of_file_) {
      const std::string line = FormatLogLine(Now(), tap->mark_ + std::string(text));
      std::lock_guard<std::mutex> lock(g_listener_mutex);
      if (g_listener) g_listener(line);
      return;
    }
  }
  const std::string path = LogFilePath();
  std::FILE* f = std::fopen(path.c_str(), "a+");
  if (!f) return;
  if (std::fseek(f, 0, SEEK_END) == 0) {
    long size = std::ftell(f);
    if (size > kLogSizeLimit) {
      std::fclose(f);
      std::remove(path.c_str());
      f = std::fopen(path.c_str(), "a+");
      if (!f) return;
    }
  }
  const std::string line = FormatLogLine(Now(), text);
  std::fwrite(line.data(), 1, line.size(), f);
  std::fclose(f);

  std::lock_guard<std::mutex> lock(g_listener_mutex);
  if (g_listener) g_listener(line);
}

void SetLogListener(LogListener listener) {
  std::lock_guard<std::mutex> lock(g_listener_mutex);
  g_listener = std::move(listener);
}

void SetLogClockForTesting(std::function<std::tm()> clock) {
  std::lock_guard<std::mutex> lock(g_listener_mutex);
  g_test_clock = std::move(clock);
}

}  // namespace norvane
