// Run reports: one JSON object per line in <base>/logs/runs.jsonl for every run that wrote
// the server, appended when the run ends. The file is made 0640 (it names accounts); above
// 10 MB it is renamed to runs.jsonl.1 (older ones shifted up to .5, the oldest dropped).
//
// A report holds "kind" (sync, update, import-users, auth, remove-users), "trigger"
// (command, window, schedule, live), "started" and "ended" (local time, RFC 3339),
// "result" ("success" or "failure"), "error" (the run's last log line on failure, else
// null) and the run's ChangeSet as ToJson(10000) gives it.
//
// Appends are made under the run lock, so one process at a time writes the file.
#ifndef NORVANE_SYNC_RUN_REPORT_H_
#define NORVANE_SYNC_RUN_REPORT_H_

#include <cstddef>
#include <ctime>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace norvane {

inline constexpr std::size_t kRunReportListCap = 10000;
inline constexpr long kRunReportSizeLimit = 10485760;
inline constexpr int kRunReportFilesKept = 5;

std::string RunReportPath();  // BaseFolder() + "logs/runs.jsonl"

// "2026-12-09T14:30:05+08:00"
std::string Rfc3339(std::time_t when);

// The time of an Rfc3339 text; -1 when it is not one.
std::time_t ParseRfc3339(const std::string& text);

// Appends `report` as one line; false when the file cannot be written (logged once).
bool AppendRunReport(const nlohmann::json& report);

// The last `count` reports, oldest first, from the current file and the rotated ones; a
// line that is not a JSON object is skipped.
std::vector<nlohmann::json> ReadRunReports(std::size_t count);

}  // namespace norvane

#endif  // NORVANE_SYNC_RUN_REPORT_H_
