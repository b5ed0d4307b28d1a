#include "sync/run_report.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>

#include "platform/activity_log.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace norvane {

std::string RunReportPath() { return BaseFolder() + "logs/runs.jsonl"; }

std::string Rfc3339(std::time_t when) {
  std::tm local{};
  localtime_r(&when, &local);
  char text[40];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &local);
  // strftime's offset is "+0800"; RFC 3339 wants "+08:00".
  std::string out = text;
  if (out.size() >= 5) out.insert(out.size() - 2, ":");
  return out;
}

std::time_t ParseRfc3339(const std::string& text) {
  int year, month, day, hour, minute, second, off_hour = 0, off_minute = 0;
  char sign = 'Z';
  const int n = std::sscanf(text.c_str(), "%d-%d-%dT%d:%d:%d%c%d:%d", &year, &month, &day, &hour,
                            &minute, &second, &sign, &off_hour, &off_minute);
  if (n < 6) return -1;
  std::tm utc{};
  utc.tm_year = year - 1900;
  utc.tm_mon = month - 1;
  utc.tm_mday = day;
  utc.tm_hour = hour;
  utc.tm_min = minute;
  utc.tm_sec = second;
  std::time_t when = timegm(&utc);
  const long offset = (off_hour * 60L + off_minute) * 60L;
  if (n == 9 && sign == '+') when -= offset;
  if (n == 9 && sign == '-') when += offset;
  return when;
}

namespace {

void Rotate(const std::string& path) {
  std::remove((path + "." + std::to_string(kRunReportFilesKept)).c_str());
  for (int i = kRunReportFilesKept - 1; i >= 1; --i) {
    std::rename((path + "." + std::to_string(i)).c_str(),
                (path + "." + std::to_string(i + 1)).c_str());
  }
  std::rename(path.c_str(), (path + ".1").c_str());
}

std::atomic<bool> g_failure_logged{false};

}  // namespace

bool AppendRunReport(const nlohmann::json& report) {
  const std::string path = RunReportPath();
  const std::string folder = BaseFolder() + "logs";
  ::mkdir(folder.c_str(), 0755);  // the activity log does without it; the reports do not
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && st.st_size > kRunReportSizeLimit) Rotate(path);
  // Invalid UTF-8 in a name (a directory may hold anything) is replaced, not thrown on.
  const std::string line =
      report.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
  bool ok = fd >= 0;
  if (ok) {
    const char* data = line.data();
    std::size_t left = line.size();
    while (left > 0) {
      const ssize_t n = ::write(fd, data, left);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        ok = false;
        break;
      }
      data += n;
      left -= static_cast<std::size_t>(n);
    }
    ok = ::close(fd) == 0 && ok;
  }
  if (!ok && !g_failure_logged.exchange(true)) {
    WriteLog(Format("无法写入运行记录 %s: %s", path.c_str(), std::strerror(errno)));
  }
  return ok;
}

std::vector<nlohmann::json> ReadRunReports(std::size_t count) {
  std::deque<nlohmann::json> reports;
  const std::string path = RunReportPath();
  // Newest file first; each file's lines are oldest first.
  for (int i = 0; i <= kRunReportFilesKept && reports.size() < count; ++i) {
    std::ifstream in(i == 0 ? path : path + "." + std::to_string(i));
    if (!in) continue;
    std::vector<nlohmann::json> lines;
    std::string line;
    while (std::getline(in, line)) {
      nlohmann::json value = nlohmann::json::parse(line, nullptr, false);
      if (value.is_object()) lines.push_back(std::move(value));
    }
    for (auto it = lines.rbegin(); it != lines.rend() && reports.size() < count; ++it) {
      reports.push_front(std::move(*it));
    }
  }
  return {reports.begin(), reports.end()};
}

}  // namespace norvane
