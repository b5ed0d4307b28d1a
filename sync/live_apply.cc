// Live sync on directories of types 1 and 2: pushed entries become changes (LiveEntryTracker),
// and each change is applied with the full import's rules, one entry's work each.
#include "sync/live_apply.h"

#include <algorithm>
#include <unordered_set>

#include "directory/dn_text.h"
#include "platform/activity_log.h"
#include "platform/run_lock.h"
#include "platform/text.h"
#include "server/organisation.h"
#include "server/sdk.h"
#include "sync/dn_rules.h"
#include "sync/engine_internal.h"
#include "sync/sync_engine.h"

namespace norvane {
namespace {

bool HasClass(const PushedEntry& entry, std::initializer_list<std::string_view> names) {
  for (const std::string& value : entry.object_classes) {
    for (std::string_view name : names) {
      if (EqualsNoCase(value, name)) return true;
    }
  }
  return false;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

bool EndsWithNoCase(std::string_view text, std::string_view tail) {
  return text.size() >= tail.size() && EqualsNoCase(text.substr(text.size() - tail.size()), tail);
}

}  // namespace

// ---- LiveEntryTracker -------------------------------------------------------------------

std::string LiveEntryTracker::KeyOf(const PushedEntry& entry) {
  return entry.uuid.empty() ? "dn:" + DnKey(entry.dn) : entry.uuid;
}

bool LiveEntryTracker::IsUser(const PushedEntry& entry) const {
  // The full import's user filter: a person (or user) with a uid.
  return HasClass(entry, {"person", "user", "organizationalPerson", "inetOrgPerson"}) &&
         engine_internal::Find(entry.attributes, "uid") && !AccountOf(entry).empty();
}

bool LiveEntryTracker::IsOu(const PushedEntry& entry) {
  return HasClass(entry, {"organizationalUnit"}) && engine_internal::Find(entry.attributes, "ou");
}

bool LiveEntryTracker::IsGroup(const PushedEntry& entry) {
  return HasClass(entry, {"groupOfNames", "groupOfUniqueNames"});
}

std::string LiveEntryTracker::AccountOf(const PushedEntry& entry) const {
  const std::string* value = engine_internal::Find(entry.attributes, account_attribute_);
  return value ? engine_internal::FirstValue(*value) : "";
}

void LiveEntryTracker::Reset(const std::vector<PushedEntry>& snapshot) {
  known_.clear();
  for (const PushedEntry& entry : snapshot) {
    if (IsOu(entry)) {
      known_[KeyOf(entry)] = Known{entry.dn, "", true};
    } else if (IsUser(entry)) {
      known_[KeyOf(entry)] = Known{entry.dn, AccountOf(entry), false};
    }
  }
}

void LiveEntryTracker::Rebase(const std::string& old_dn, const std::string& new_dn) {
  const std::string tail = "," + old_dn;
  for (auto& [key, known] : known_) {
    if (known.dn.size() > tail.size() && EndsWithNoCase(known.dn, tail)) {
      known.dn = known.dn.substr(0, known.dn.size() - tail.size()) + "," + new_dn;
    }
  }
}

std::vector<LiveChange> LiveEntryTracker::Translate(const std::vector<PushedEntry>& entries) {
  std::vector<LiveChange> changes;
  for (const PushedEntry& entry : entries) {
    if (IsGroup(entry)) {
      changes.push_back(LiveChange{LiveChange::Kind::kReimport, entry.dn, "", "", {}});
      continue;
    }
    std::string key = KeyOf(entry);
    auto it = known_.find(key);
    if (it == known_.end() && !entry.previous_dn.empty()) {
      // Persistent search: no UUID, but the DN before the rename is given.
      PushedEntry before;
      before.dn = entry.previous_dn;
      it = known_.find(KeyOf(before));
    }
    const bool was_known = it != known_.end();
    const Known before = was_known ? it->second : Known{entry.previous_dn, "", false};
    if (was_known) known_.erase(it);

    if (entry.state == PushedEntry::State::kDeleted) {
      const std::string dn = entry.dn.empty() ? before.dn : entry.dn;
      if (was_known && before.ou) {
        changes.push_back(LiveChange{LiveChange::Kind::kDeptGone, before.dn, "", "", {}});
      } else if (was_known) {
        changes.push_back(
            LiveChange{LiveChange::Kind::kUserGone, before.dn, "", before.account, {}});
      } else if (IsOu(entry) || StartsWithNoCase(dn, "ou=")) {
        changes.push_back(LiveChange{LiveChange::Kind::kDeptGone, dn, "", "", {}});
      } else if (IsUser(entry)) {
        changes.push_back(LiveChange{LiveChange::Kind::kUserGone, dn, "", AccountOf(entry), {}});
      } else if (const std::string rdn = dn.substr(0, dn.find(','));
                 StartsWithNoCase(rdn, account_attribute_ + "=")) {
        // Not seen before and sent without attributes: the account is the RDN's value.
        changes.push_back(LiveChange{
            LiveChange::Kind::kUserGone, dn, "", rdn.substr(account_attribute_.size() + 1), {}});
      }
      continue;
    }
    if (IsOu(entry)) {
      const std::string old_dn = was_known && before.ou && DnKey(before.dn) != DnKey(entry.dn)
                                     ? before.dn
                                 : !entry.previous_dn.empty() ? entry.previous_dn
                                                              : "";
      if (!old_dn.empty()) Rebase(old_dn, entry.dn);
      known_[KeyOf(entry)] = Known{entry.dn, "", true};
      changes.push_back(LiveChange{LiveChange::Kind::kDept, entry.dn, old_dn, "", {}});
    } else if (IsUser(entry)) {
      const std::string account = AccountOf(entry);
      if (was_known && !before.ou && !EqualsNoCase(before.account, account)) {
        // The account itself changed: the old one is gone.
        changes.push_back(
            LiveChange{LiveChange::Kind::kUserGone, before.dn, "", before.account, {}});
      }
      known_[KeyOf(entry)] = Known{entry.dn, account, false};
      LiveChange change{LiveChange::Kind::kUser, entry.dn, "", account, entry.attributes};
      if (was_known && !before.ou) change.old_dn = before.dn;
      changes.push_back(std::move(change));
    } else if (was_known && !before.ou) {
      // No user any more (its uid or person class went): as the import, which no longer
      // finds it.
      changes.push_back(LiveChange{LiveChange::Kind::kUserGone, before.dn, "", before.account, {}});
    } else if (was_known && before.ou) {
      changes.push_back(LiveChange{LiveChange::Kind::kDeptGone, before.dn, "", "", {}});
    }
  }
  return changes;
}

// ---- SyncEngine::ApplyLiveChanges -------------------------------------------------------

int SyncEngine::ApplyLiveChanges(const std::vector<LiveChange>& changes, LiveRun* run) {
  run->removed = 0;
  if (changes.size() <= run->done) return kLiveApplied;
  RunLock run_lock;
  if (!run_lock.TryAcquire()) return kLiveRetry;
  if (!sdk_ || !sdk_->DeptManager() || search_bases_.empty()) return kLiveRetry;
  SdkDeptManager* dept = sdk_->DeptManager();
  SdkUserManager* users = sdk_->UserManager();
  guard_stopped_ = false;
  UpdateRemovals removals;
  // The removals wait for the guard until the end: a change whose removal was refused is
  // counted done like the others, the guard's line says what stayed.
  const std::size_t first = run->done;
  std::string account;
  auto queue_account_removal = [&](const std::string& name, const std::string& dn) {
    if (name.empty() || IsExcludedUser(name)) return;
    const std::string parent = ParentDn(dn);
    if (!ImportPlacesUsersOf(parent)) return;
    if (!users->UserExists(name)) return;
    const std::string path = DnToDeptPath(parent);
    if (manage_sync_.same_cover == 1 && !engine_internal::HeldIn(dept, name, path)) {
      WriteLog(Format("UpdateFromLDAP Account=%s 不在部门%s中，是Zelto服务器自有的帐号，未删除",
                      name.c_str(), path.c_str()));
      return;
    }
    if (std::none_of(removals.accounts.begin(), removals.accounts.end(),
                     [&](const std::string& a) { return EqualsNoCase(a, name); })) {
      removals.accounts.push_back(name);
    }
  };

  std::unordered_set<std::string> known_paths;  // lower case: departments seen on the server
  std::unique_lock<std::mutex> guard(lock_);
  for (std::size_t i = first; i < changes.size(); ++i) {
    const LiveChange& change = changes[i];
    account = change.account;
    try {
      switch (change.kind) {
        case LiveChange::Kind::kUser: {
          if (IsExcludedUser(change.account)) break;
          const std::string parent = ParentDn(change.dn);
          if (!ImportPlacesUsersOf(parent)) {
            // Moved out of what the import covers (into an excluded OU, out of the bases):
            // the import would no longer place it, so it goes as the import would remove it.
            if (!change.old_dn.empty() && ImportPlacesUsersOf(ParentDn(change.old_dn))) {
              queue_account_removal(change.account, change.old_dn);
            }
            break;
          }
          std::erase_if(removals.accounts,
                        [&](const std::string& a) { return EqualsNoCase(a, change.account); });
          const std::string path = DnToDeptPath(parent);
          WriteLog(Format("UpdateFromLDAP type=%d: Account = '%s',Dept=%s", kChangeChanged,
                          change.account.c_str(), path.c_str()));
          ++users_done_;
          if (!path.empty() && !known_paths.count(ToLowerAscii(path)) &&
              !dept->DepartmentExists(path)) {
            WriteLog(
                Format("UpdateFromLDAP Account=%s Dept=%s 部门不存在，请使用同步数据功能进行同步",
                       change.account.c_str(), path.c_str()));
            break;
          }
          known_paths.insert(ToLowerAscii(path));
          if (!users->UserExists(change.account)) {
            users->AddUser(change.account, manage_sync_.auth_type);
            dept->MoveUser(change.account, "", path, 0);
          } else {
            const std::vector<std::string> current =
                ParseNameList(dept->DepartmentsOfUser(change.account), "Departments", "Department");
            const std::string now = current.empty() ? "" : current.front();
            const bool member =
                std::any_of(current.begin(), current.end(),
                            [&](const std::string& d) { return EqualsNoCase(d, path); });
            if (!member) {
              dept->MoveUser(change.account, now, path, 0);
            } else if (!EqualsNoCase(now, path)) {
              dept->TakeUserOutOfDepartment(change.account, now);
            }
            // The directory places a user in one OU: every other membership goes.
            for (std::size_t k = 1; k < current.size(); ++k) {
              if (!EqualsNoCase(current[k], path) && !EqualsNoCase(current[k], now)) {
                dept->TakeUserOutOfDepartment(change.account, current[k]);
              }
            }
          }
          WriteBasicInfo(change.account, change.attributes);
          break;
        }
        case LiveChange::Kind::kUserGone:
          queue_account_removal(change.account, change.dn);
          break;
        case LiveChange::Kind::kDept: {
          known_paths.clear();  // a rename or move changes paths seen before
          const std::string path = DnToDeptPath(change.dn);
          if (path.empty() || ExcludedWithAncestors(change.dn)) break;
          const std::string name = DnToDeptName(change.dn);
          const std::string parent_path = DnToDeptPath(ParentDn(change.dn));
          if (name.empty()) break;
          if (!parent_path.empty() && !dept->DepartmentExists(parent_path)) {
            WriteLog(Format("UpdateDept  PDept Not Exist PDept=%s", parent_path.c_str()));
            break;
          }
          const std::string old_path = change.old_dn.empty() ? "" : DnToDeptPath(change.old_dn);
          if (!old_path.empty() && !EqualsNoCase(old_path, path) &&
              !ExcludedWithAncestors(change.old_dn) && dept->DepartmentExists(old_path) &&
              !dept->DepartmentExists(path)) {
            // Moved and/or renamed: the department keeps its users.
            const std::string old_name = DnToDeptName(change.old_dn);
            const std::string old_parent = DnToDeptPath(ParentDn(change.old_dn));
            std::string at = old_path;
            if (!EqualsNoCase(old_parent, parent_path)) {
              dept->MoveDepartment(at, parent_path);
              at = parent_path + ToUpperAscii(old_name) + "\\";
            }
            if (old_name != name) dept->RenameDepartment(at, name);
            ++departments_done_;
            break;
          }
          if (!DeptExistsUnder(name, parent_path)) {
            dept->AddDepartment(name, parent_path);
            ++departments_done_;
          }
          break;
        }
        case LiveChange::Kind::kDeptGone: {
          const std::string path = DnToDeptPath(change.dn);
          if (path.empty() || ExcludedWithAncestors(change.dn)) break;
          if (dept->DepartmentExists(path)) removals.departments.push_back(path);
          break;
        }
        case LiveChange::Kind::kReimport:
          break;
      }
    } catch (const SdkError& e) {
      ReportSdkError(e);
      if (engine_internal::IsServerFailure(e)) {
        run->done = i;
        return kLiveRetry;
      }
      WriteLog(Format("UpdateUser2Zelto  Error Account=%s", account.c_str()));
    } catch (...) {
      WriteLog(Format("UpdateUser2Zelto  Error Account=%s", account.c_str()));
    }
  }
  // Children before parents.
  std::stable_sort(removals.departments.begin(), removals.departments.end(),
                   [](const std::string& a, const std::string& b) {
                     return std::count(a.begin(), a.end(), '\\') >
                            std::count(b.begin(), b.end(), '\\');
                   });
  const std::size_t removing = removals.departments.size() + removals.accounts.size();
  // The removal step takes lock_ itself.
  guard.unlock();
  if (!ApplyUpdateRemovals(removals)) {
    if (guard_stopped_) {
      run->done = changes.size();
      return kLiveFailed;
    }
    // The server failed during the removals: the whole run is tried again (what was
    // applied already is found in place).
    run->done = first;
    return kLiveRetry;
  }
  run->removed = removing;
  run->done = changes.size();
  return kLiveApplied;
}

}  // namespace norvane
