#include "app/status_publisher.h"

#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fstream>

#include "config/ldap_config.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "server/login_stats.h"
#include "sync/run_report.h"

namespace norvane {
namespace {

constexpr std::time_t kStaleAfterSeconds = 60;

const char* const kResultLabels[] = {"accepted", "wrong_password", "refused", "timed_out"};

// The change counts of one report, by action: "department_add", "user_remove", ...
std::map<std::string, std::uint64_t> ActionsOf(const nlohmann::json& report) {
  std::map<std::string, std::uint64_t> actions;
  const nlohmann::json counts = report.value("counts", nlohmann::json::object());
  for (const char* group : {"departments", "users"}) {
    if (!counts.contains(group) || !counts[group].is_object()) continue;
    const std::string prefix = std::string(group) == "departments" ? "department_" : "user_";
    for (const auto& [action, value] : counts[group].items()) {
      if (value.is_number_unsigned()) actions[prefix + action] = value.get<std::uint64_t>();
    }
  }
  return actions;
}

std::string Seconds(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.6g", value);
  return text;
}

}  // namespace

std::string StatusFilePath() { return BaseFolder() + kStatusFileName; }
std::string MetricsFilePath() { return BaseFolder() + "logs/metrics.prom"; }

std::time_t NextAutomaticUpdate(std::time_t now) {
  CLdapConfig config;
  config.Init();
  ManageSyncInfo manage;
  if (!config.LoadManageSync(manage) || manage.auto_sync == 0) return 0;
  int hour = 0, minute = 0;
  HourMinuteOf(manage.update_time, &hour, &minute);
  std::tm local{};
  localtime_r(&now, &local);
  local.tm_hour = hour;
  local.tm_min = minute;
  local.tm_sec = 0;
  local.tm_isdst = -1;
  std::time_t next = std::mktime(&local);
  if (next <= now) {
    local.tm_mday += 1;
    local.tm_isdst = -1;
    next = std::mktime(&local);
  }
  return next;
}

nlohmann::json ReadLiveStatus() {
  std::string text;
  if (!ReadFile(StatusFilePath(), &text)) return nullptr;
  nlohmann::json status = nlohmann::json::parse(text, nullptr, false);
  if (!status.is_object() || !status.contains("pid") || !status["pid"].is_number_integer()) {
    return nullptr;
  }
  const pid_t pid = status["pid"].get<pid_t>();
  // A process of another user answers EPERM: it is there.
  if (pid <= 0 || (::kill(pid, 0) != 0 && errno != EPERM)) return nullptr;
  const std::time_t updated = ParseRfc3339(status.value("updated", ""));
  if (updated < 0 || std::time(nullptr) - updated > kStaleAfterSeconds) return nullptr;
  return status;
}

StatusPublisher::StatusPublisher(Options options)
    : options_(options), started_(std::time(nullptr)) {
  // What ran before the program started: the last run of each kind, not counted as changes.
  ReadNewReports(false);
  thread_ = std::thread([this] { Loop(); });
}

StatusPublisher::~StatusPublisher() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
  }
  cv_.notify_all();
  thread_.join();
  std::remove(StatusFilePath().c_str());
}

void StatusPublisher::SetAnswering(bool answering) {
  if (answering_.exchange(answering) != answering) Poke();
}

void StatusPublisher::Poke() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    poked_ = true;
  }
  cv_.notify_all();
}

void StatusPublisher::Loop() {
  std::unique_lock<std::mutex> lock(mu_);
  while (!stop_) {
    lock.unlock();
    PublishNow();
    lock.lock();
    cv_.wait_for(lock, options_.period, [this] { return stop_ || poked_; });
    poked_ = false;
  }
}

void StatusPublisher::ReadNewReports(bool count_changes) {
  const std::string path = RunReportPath();
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return;
  const std::string id = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
  if (id != reports_read_id_ || st.st_size < reports_offset_) {
    // Rotated (or new): the new file is read from its start.
    reports_read_id_ = id;
    reports_offset_ = 0;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) return;
  in.seekg(reports_offset_);
  std::string line;
  while (std::getline(in, line)) {
    if (in.eof()) break;  // a line still being written: read it next time
    reports_offset_ += static_cast<off_t>(line.size() + 1);
    const nlohmann::json report = nlohmann::json::parse(line, nullptr, false);
    if (!report.is_object() || !report.contains("kind")) continue;
    RunTotals& totals = runs_[report.value("kind", "")];
    totals.last_ended = ParseRfc3339(report.value("ended", ""));
    totals.last_success = report.value("result", "") == "success";
    if (!count_changes) continue;
    for (const auto& [action, count] : ActionsOf(report)) totals.changes[action] += count;
  }
}

std::string StatusPublisher::MetricsText() const {
  const LoginStats::Snapshot s = LoginStats::Global().Take();
  std::string out;
  out += "# HELP norvane_logins_total 本程序启动以来应答的登录验证次数, 按结果分.\n";
  out += "# TYPE norvane_logins_total counter\n";
  for (int r = 0; r < LoginStats::kResults; ++r) {
    out += Format("norvane_logins_total{result=\"%s\"} %llu\n", kResultLabels[r],
                  static_cast<unsigned long long>(s.count[r]));
  }
  out += "# HELP norvane_login_duration_seconds 应答一次登录验证所用的时间.\n";
  out += "# TYPE norvane_login_duration_seconds histogram\n";
  std::uint64_t cumulative = 0;
  for (std::size_t b = 0; b <= LoginStats::kBuckets.size(); ++b) {
    cumulative += s.bucket[b];
    const std::string le =
        b < LoginStats::kBuckets.size() ? Seconds(LoginStats::kBuckets[b]) : "+Inf";
    out += Format("norvane_login_duration_seconds_bucket{le=\"%s\"} %llu\n", le.c_str(),
                  static_cast<unsigned long long>(cumulative));
  }
  out += "norvane_login_duration_seconds_sum " + Seconds(s.sum_seconds) + "\n";
  out += Format("norvane_login_duration_seconds_count %llu\n",
                static_cast<unsigned long long>(cumulative));
  out += "# HELP norvane_last_run_timestamp_seconds 每种运行最近一次结束的时间.\n";
  out += "# TYPE norvane_last_run_timestamp_seconds gauge\n";
  for (const auto& [kind, totals] : runs_) {
    out += Format("norvane_last_run_timestamp_seconds{kind=\"%s\"} %lld\n", kind.c_str(),
                  static_cast<long long>(totals.last_ended));
  }
  out += "# HELP norvane_last_run_success 每种运行最近一次是否成功 (1 成功, 0 失败).\n";
  out += "# TYPE norvane_last_run_success gauge\n";
  for (const auto& [kind, totals] : runs_) {
    out += Format("norvane_last_run_success{kind=\"%s\"} %d\n", kind.c_str(),
                  totals.last_success ? 1 : 0);
  }
  out +=
      "# HELP norvane_run_changes_total 本程序启动以来各次运行在Zelto服务器上做的变更, "
      "按运行种类和动作分.\n";
  out += "# TYPE norvane_run_changes_total counter\n";
  for (const auto& [kind, totals] : runs_) {
    for (const auto& [action, count] : totals.changes) {
      out += Format("norvane_run_changes_total{kind=\"%s\",action=\"%s\"} %llu\n", kind.c_str(),
                    action.c_str(), static_cast<unsigned long long>(count));
    }
  }
  return out;
}

void StatusPublisher::PublishNow() {
  std::lock_guard<std::mutex> guard(publish_mu_);
  ReadNewReports(true);
  const LoginStats::Snapshot s = LoginStats::Global().Take();
  const std::time_t now = std::time(nullptr);
  // The configuration is read once a minute, not at every publication.
  if (now - next_checked_ >= 60 || (next_update_ > 0 && now >= next_update_)) {
    next_update_ = NextAutomaticUpdate(now);
    next_checked_ = now;
  }
  const std::time_t next = next_update_;
  nlohmann::json logins = {{"p50_ms", s.p50_ms}, {"p99_ms", s.p99_ms}};
  std::uint64_t answered = 0;
  for (int r = 0; r < LoginStats::kResults; ++r) {
    logins[kResultLabels[r]] = s.count[r];
    answered += s.count[r];
  }
  const nlohmann::json status = {
      {"pid", ::getpid()},
      {"mode", options_.service_mode ? "service" : "window"},
      {"started", Rfc3339(started_)},
      {"updated", Rfc3339(now)},
      {"answering", answering_.load()},
      {"next_update", next > 0 ? nlohmann::json(Rfc3339(next)) : nlohmann::json(nullptr)},
      {"logins", logins}};
  WriteFileAtomically(StatusFilePath(), status.dump(2) + "\n");
  WriteFileAtomically(MetricsFilePath(), MetricsText());
  if (!options_.notify_systemd) return;
  std::string summary = answering_.load() ? "正在运行, 登录验证已注册" : "正在运行, 登录验证未注册";
  summary += Format("; 已应答登录%llu次", static_cast<unsigned long long>(answered));
  const RunTotals* last = nullptr;
  std::string last_kind;
  for (const auto& [kind, totals] : runs_) {
    if (!last || totals.last_ended > last->last_ended) {
      last = &totals;
      last_kind = kind;
    }
  }
  if (last && last->last_ended > 0) {
    std::tm local{};
    localtime_r(&last->last_ended, &local);
    char when[32];
    std::strftime(when, sizeof when, "%Y-%m-%d %H:%M", &local);
    summary +=
        Format("; 上次%s %s %s", last_kind.c_str(), when, last->last_success ? "成功" : "失败");
  }
  sd_notify(0, ("STATUS=" + summary).c_str());
}

}  // namespace norvane
