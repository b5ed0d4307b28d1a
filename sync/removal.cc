// Removal of what the directory no longer holds: the server's organisation listed before
// the import, struck off as the import writes, and the rest deleted.
#include "sync/sync_engine.h"

#include <cstdarg>
#include <cstdio>
#include <functional>
#include <unordered_set>

#include "platform/activity_log.h"
#include "platform/run_lock.h"
#include "platform/text.h"
#include "server/organisation.h"
#include "server/sdk.h"
#include "sync/engine_internal.h"

namespace norvane {

namespace {

using engine_internal::kShareFloor;

// Walks the server's organisation from the top: `visit` gets each department's path ("" for
// the top, whose accounts are those in no department), its children's paths and its
// accounts, parents before children. Throws what the SDK throws.
void WalkOrganisation(
    SdkDeptManager* dept,
    const std::function<void(const std::string& path, const std::vector<std::string>& children,
                             const std::vector<std::string>& accounts)>& visit) {
  std::function<void(const std::string&)> walk = [&](const std::string& path) {
    std::vector<std::string> children;
    for (const std::string& name :
         ParseNameList(dept->ChildDepartments(path), "Departments", "Department")) {
      children.push_back(path + name + "\\");
    }
    visit(path, children, ParseNameList(dept->DepartmentUsers(path), "Users", "User"));
    for (const std::string& child : children) walk(child);
  };
  walk("");
}

}  // namespace

void SyncEngine::CollectServerOrganisation() {
  if (!sdk_) return;
  org_known_ = false;
  known_users_.clear();
  unsure_.clear();
  std::vector<std::string> departments, accounts;
  // An account is listed once however many departments hold it: placing it once strikes
  // it off, and a second entry would have it deleted although the directory holds it.
  std::unordered_set<std::string> listed;
  try {
    WalkOrganisation(sdk_->DeptManager(),
                     [&](const std::string& path, const std::vector<std::string>& children,
                         const std::vector<std::string>& users) {
                       departments.insert(departments.end(), children.begin(), children.end());
                       for (const std::string& account : users) {
                         const std::string key = ToLowerAscii(account);
                         if (listed.insert(key).second) accounts.push_back(account);
                         KnownUser& known = known_users_[key];
                         if (!path.empty()) known.departments.push_back(path);
                         // The walk does not tell in which order the departments were joined.
                         if (known.departments.size() > 1) unsure_.insert(key);
                       }
                     });
    org_known_ = true;
  } catch (const SdkError& e) {
    // What was listed stays listed; an incomplete list only removes less.
    ReportSdkError(e);
  }
  std::lock_guard<std::mutex> guard(lock_);
  server_accounts_ = accounts.size();
  depts_to_remove_.Assign(std::move(departments));
  users_to_remove_.Assign(std::move(accounts));
}

bool SyncEngine::CountServerAccounts(std::size_t* count) {
  std::unordered_set<std::string> listed;
  try {
    WalkOrganisation(sdk_->DeptManager(), [&](const std::string&, const std::vector<std::string>&,
                                              const std::vector<std::string>& users) {
      for (const std::string& account : users) listed.insert(ToLowerAscii(account));
    });
  } catch (const SdkError& e) {
    ReportSdkError(e);
    return false;
  }
  *count = listed.size();
  return true;
}

bool SyncEngine::RemovalAllowed(std::size_t departments, std::size_t accounts,
                                std::size_t server_accounts) const {
  const long threshold = manage_sync_.delete_threshold;
  const std::size_t total = departments + accounts;
  // What the administrator can do about a refusal: look first, then let this one run pass.
  const std::string next_step = Format(
      " 查看将删除的部门和用户: norvanectl %s --dry-run; 确认无误后, "
      "norvanectl %s --allow-removals %zu 只放行这一次",
      run_kind_ == RunKind::kUpdate ? "update" : "sync",
      run_kind_ == RunKind::kUpdate ? "update" : "sync", total);
  bool allowed = true;
  if (allowed_removals_ >= 0 && total > 0 && total <= static_cast<std::size_t>(allowed_removals_)) {
    WriteLog(
        Format("删除保护: 本次将删除%zu个部门和%zu个用户, 在 --allow-removals %ld 允许的范围内",
               departments, accounts, allowed_removals_));
  } else if (threshold > 0 && total > static_cast<std::size_t>(threshold)) {
    WriteLog(Format("删除保护: 本次将删除%zu个部门和%zu个用户, 超过删除上限%ld, 未删除任何数据. "
                    "如确需删除, 请调高LdapConfig.xml中ManageSync的DeleteThreshold, "
                    "或设为0关闭删除保护.",
                    departments, accounts, threshold) +
             next_step);
    allowed = false;
  } else if (const long share = manage_sync_.delete_share;
             // accounts * 100 > share * server_accounts, without a division that would round.
             share > 0 && accounts > kShareFloor &&
             accounts * 100 > static_cast<std::size_t>(share) * server_accounts) {
    WriteLog(Format("删除保护: 本次将删除%zu个用户, 占Zelto服务器上%zu个用户的%zu%%, "
                    "超过删除比例上限%ld%%, 未删除任何数据. 如确需删除, "
                    "请调高LdapConfig.xml中ManageSync的DeleteShare, 或设为0关闭比例保护.",
                    accounts, server_accounts,
                    server_accounts ? accounts * 100 / server_accounts : 100, share) +
             next_step);
    allowed = false;
  }
  guard_stopped_ = !allowed;
  changes_.SetGuard({true, total, threshold, !allowed});
  // A plan lists the removals either way; its verdict says whether the run would make them.
  return allowed || dry_run_;
}

int SyncEngine::DeleteNotLdapData() {
  if (!sdk_) return 0;
  std::lock_guard<std::mutex> guard(lock_);
  const std::vector<std::string> departments = depts_to_remove_.Remaining();
  const std::vector<std::string> accounts = users_to_remove_.Remaining();
  if (!RemovalAllowed(departments.size(), accounts.size(), server_accounts_)) return 0;
  try {
    for (auto it = departments.rbegin(); it != departments.rend(); ++it) {
      sdk_->DeptManager()->RemoveDepartment(*it, 0);
    }
    for (const std::string& account : accounts) sdk_->UserManager()->RemoveUser(account);
  } catch (const SdkError& e) {
    ReportSdkError(e);
    WriteLog("DeleteNotLdapData  Error");
    return 0;
  } catch (...) {
    WriteLog("DeleteNotLdapData  Error");
    return 0;
  }
  return 1;
}

int SyncEngine::RemoveExcludedUsers(const std::vector<std::string>& accounts) {
  RunLock run_lock;
  if (!engine_internal::TakeRunLock(run_lock)) return 0;
  if (!sdk_) return 0;
  RunRecord record(this, RunKind::kRemoveUsers);
  std::lock_guard<std::mutex> guard(lock_);
  return record.Finish(::norvane::RemoveExcludedUsers(sdk_.get(), accounts) ? 1 : 0);
}

}  // namespace norvane
