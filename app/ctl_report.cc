#include "app/ctl_report.h"

#include <cstdio>
#include <ctime>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

#include "app/ctl_tools.h"
#include "app/status_publisher.h"
#include "config/ldap_config.h"
#include "directory/change_tracking.h"
#include "platform/activity_log.h"
#include "platform/text.h"
#include "sync/run_report.h"
#include "sync/sync_engine.h"

namespace norvane {
namespace {

void Section(const char* title, const nlohmann::json& list, const char* mark,
             std::string (*line)(const nlohmann::json&)) {
  if (!list.is_array() || list.empty()) return;
  std::printf("%s:\n", title);
  for (const nlohmann::json& item : list) std::printf("  %s %s\n", mark, line(item).c_str());
}

std::string Text(const nlohmann::json& item) { return item.get<std::string>(); }
std::string FromTo(const nlohmann::json& item) {
  return item.value("from", "") + " -> " + item.value("to", "");
}
std::string Joined(const nlohmann::json& list) {
  std::string text;
  for (const nlohmann::json& p : list) {
    if (!text.empty()) text += "; ";
    text += p.get<std::string>();
  }
  return text.empty() ? "(无)" : text;
}
std::string Added(const nlohmann::json& item) {
  return item.value("account", "") + " (" + Joined(item["departments"]) + ")";
}
std::string Moved(const nlohmann::json& item) {
  return item.value("account", "") + ": " + Joined(item["from"]) + " -> " + Joined(item["to"]);
}
std::string Switched(const nlohmann::json& item) {
  return item.value("account", "") + " -> " + std::to_string(item.value("to", 0));
}

std::size_t Count(const nlohmann::json& counts, const char* group, const char* action) {
  if (!counts.contains(group) || !counts[group].contains(action)) return 0;
  return counts[group][action].get<std::size_t>();
}

void PrintPlan(const nlohmann::json& plan, const char* what) {
  const nlohmann::json& counts = plan["counts"];
  const std::size_t changes = plan["changes"].get<std::size_t>();
  if (changes == 0) {
    std::printf("变更计划 (%s): 没有要做的变更\n", what);
  } else {
    std::printf("变更计划 (%s): 共 %zu 项变更\n", what, changes);
  }
  std::printf("  部门: 新增 %zu, 改名 %zu, 移动 %zu, 删除 %zu\n",
              Count(counts, "departments", "add"), Count(counts, "departments", "rename"),
              Count(counts, "departments", "move"), Count(counts, "departments", "remove"));
  std::printf("  用户: 新增 %zu, 移动 %zu, 删除 %zu, 切换认证方式 %zu\n",
              Count(counts, "users", "add"), Count(counts, "users", "move"),
              Count(counts, "users", "remove"), Count(counts, "users", "auth_type"));
  const std::size_t rewritten = plan["users"].value("rewritten", std::size_t{0});
  if (rewritten > 0) {
    std::printf("  另有 %zu 个已有帐号的资料将按目录重写 (服务器不提供已存的资料, 不计为变更)\n",
                rewritten);
  }
  const nlohmann::json& guard = plan["guard"];
  const long threshold = guard.value("threshold", 0L);
  std::printf("  删除保护: 将删除 %zu 项, 上限 %s, %s\n", guard.value("removals", std::size_t{0}),
              threshold > 0 ? std::to_string(threshold).c_str() : "不限",
              guard.value("stops_run", false) ? "将阻止本次运行的删除 (见上面的\"删除保护\"一行)"
                                              : "不会阻止本次运行");
  const nlohmann::json& d = plan["departments"];
  const nlohmann::json& u = plan["users"];
  Section("新增部门", d["add"], "+", Text);
  Section("改名部门", d["rename"], "~", FromTo);
  Section("移动部门", d["move"], ">", FromTo);
  Section("删除部门", d["remove"], "-", Text);
  Section("新增用户", u["add"], "+", Added);
  Section("移动用户", u["move"], ">", Moved);
  Section("删除用户", u["remove"], "-", Text);
  Section("切换认证方式", u["auth_type"], "*", Switched);
}

std::string LocalTime(std::time_t when) {
  if (when <= 0) return "-";
  std::tm local{};
  localtime_r(&when, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

std::string ShortTime(const std::string& rfc3339) { return LocalTime(ParseRfc3339(rfc3339)); }

const char* ResultText(const nlohmann::json& report) {
  return report.value("result", "") == "success" ? "成功" : "失败";
}

std::string CountsText(const nlohmann::json& report) {
  const nlohmann::json counts = report.value("counts", nlohmann::json::object());
  return Format("部门 +%zu ~%zu >%zu -%zu  用户 +%zu >%zu -%zu  认证 %zu",
                Count(counts, "departments", "add"), Count(counts, "departments", "rename"),
                Count(counts, "departments", "move"), Count(counts, "departments", "remove"),
                Count(counts, "users", "add"), Count(counts, "users", "move"),
                Count(counts, "users", "remove"), Count(counts, "users", "auth_type"));
}

}  // namespace

int CtlPlan(int mode, bool json) {
  ErrPrompt prompt;
  SetLogListener([](const std::string& line) { ErrLine(line); });
  int status = 1;
  {
    SyncEngine engine(&prompt);
    engine.SetDryRun(true);
    engine.EngineInit();
    const int result = engine.SyncOneDC(mode);
    if (!result) {
      ErrLine("无法生成变更计划: 目录或Zelto服务器未能读全, 详情见上面的日志.");
    } else {
      nlohmann::json plan = engine.Changes().ToJson();
      if (!engine.Changes().GuardVerdict().checked) {
        plan["guard"]["threshold"] = engine.ManageSync().delete_threshold;
      }
      plan.erase("truncated");
      if (json) {
        std::printf("%s\n",
                    plan.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
      } else {
        PrintPlan(plan, mode == 1 ? "增量更新" : "全量同步");
      }
      status = plan["changes"].get<std::size_t>() > 0 ? 2 : 0;
    }
  }
  SetLogListener(nullptr);
  std::fflush(stdout);
  return status;
}

int CtlRuns(long last, bool json) {
  if (last <= 0) {
    std::fprintf(stderr, "--last 须为正整数\n");
    return 2;
  }
  const std::vector<nlohmann::json> reports = ReadRunReports(static_cast<std::size_t>(last));
  if (reports.empty() && !json) {
    std::printf("还没有运行记录 (%s)\n", RunReportPath().c_str());
    return 0;
  }
  for (const nlohmann::json& r : reports) {
    if (json) {
      std::printf("%s\n", r.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
      continue;
    }
    std::printf("%s  %-12s %-8s %s  %s\n", ShortTime(r.value("started", "")).c_str(),
                r.value("kind", "").c_str(), r.value("trigger", "").c_str(), ResultText(r),
                CountsText(r).c_str());
    if (r.contains("error") && r["error"].is_string()) {
      std::printf("    原因: %s\n", r["error"].get<std::string>().c_str());
    }
    if (r.value("truncated", false))
      std::printf("    (名单过长, 只记录了前%zu项)\n", kRunReportListCap);
  }
  return 0;
}

int CtlStatus(bool json) {
  nlohmann::json out;
  const nlohmann::json live = ReadLiveStatus();
  out["running"] = !live.is_null();
  if (!live.is_null()) {
    for (const char* key : {"pid", "mode", "started", "answering", "logins"}) {
      if (live.contains(key)) out[key] = live[key];
    }
  } else {
    out["pid"] = nullptr;
    out["answering"] = false;
    out["logins"] = nullptr;  // counted by the running program only
  }
  // The last run of each kind.
  nlohmann::json last = nlohmann::json::object();
  for (const nlohmann::json& r : ReadRunReports(1000)) {
    last[r.value("kind", "?")] = {{"ended", r.value("ended", "")},
                                  {"result", r.value("result", "")},
                                  {"changes", r.value("changes", 0)},
                                  {"trigger", r.value("trigger", "")}};
  }
  out["last_runs"] = last;
  const std::time_t next = live.is_null() ? NextAutomaticUpdate(std::time(nullptr)) : 0;
  if (!live.is_null()) {
    out["next_update"] = live.value("next_update", nlohmann::json(nullptr));
  } else {
    out["next_update"] = next > 0 ? nlohmann::json(Rfc3339(next)) : nlohmann::json(nullptr);
  }
  // The stored sequence numbers, per configured domain.
  CLdapConfig config;
  config.Init();
  SysConfigInfo sys;
  std::vector<DcEntry> domains;
  config.LoadSysConfig(sys);
  config.LoadDcList(domains);
  nlohmann::json usn = nlohmann::json::object();
  auto note = [&](const std::string& dc) {
    if (dc.empty() || usn.contains(dc)) return;
    if (const std::int64_t n = ReadPreviousHighUsn(dc); n > 0) usn[dc] = n;
  };
  note(sys.domain);
  for (const DcEntry& entry : domains) note(entry.domain_name);
  out["sequence_numbers"] = usn;

  if (json) {
    std::printf("%s\n", out.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    return 0;
  }
  if (live.is_null()) {
    std::printf("程序: 未运行 (登录验证无人应答)\n");
  } else {
    std::printf("程序: 正在运行 (PID %d, %s), 登录验证%s\n", live.value("pid", 0),
                live.value("mode", "") == "service" ? "服务模式" : "界面模式",
                live.value("answering", false) ? "已注册" : "未注册");
    const nlohmann::json l = live.value("logins", nlohmann::json::object());
    std::printf(
        "登录 (本次启动以来): 通过 %llu, 密码错误 %llu, 拒绝 %llu, 超时 %llu; "
        "p50 %.1f ms, p99 %.1f ms\n",
        l.value("accepted", 0ULL), l.value("wrong_password", 0ULL), l.value("refused", 0ULL),
        l.value("timed_out", 0ULL), l.value("p50_ms", 0.0), l.value("p99_ms", 0.0));
  }
  const std::string next_text =
      out["next_update"].is_string() ? ShortTime(out["next_update"].get<std::string>()) : "未设置";
  std::printf("下次自动更新: %s\n", next_text.c_str());
  if (last.empty()) {
    std::printf("上次运行: 无记录\n");
  } else {
    std::printf("上次运行:\n");
    for (const auto& [kind, r] : last.items()) {
      std::printf("  %-12s %s  %s  变更 %d  (%s)\n", kind.c_str(),
                  ShortTime(r.value("ended", "")).c_str(), ResultText(r), r.value("changes", 0),
                  r.value("trigger", "").c_str());
    }
  }
  if (usn.empty()) {
    std::printf("已保存的更新序列号: 无\n");
  } else {
    std::printf("已保存的更新序列号:\n");
    for (const auto& [dc, n] : usn.items()) {
      std::printf("  %s  %lld\n", dc.c_str(), n.get<long long>());
    }
  }
  return 0;
}

}  // namespace norvane
