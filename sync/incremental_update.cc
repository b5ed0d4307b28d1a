// The incremental update on Active Directory: the objects changed since the stored update
// sequence number are fetched by TrackChanges and applied to the server, departments first,
// then users.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <unordered_map>
#include <unordered_set>

#include "config/records.h"
#include "directory/change_tracking.h"
#include "directory/dn_text.h"
#include "platform/activity_log.h"
#include "platform/text.h"
#include "platform/xml.h"
#include "server/organisation.h"
#include "server/sdk.h"
#include "sync/dn_rules.h"
#include "sync/engine_internal.h"
#include "sync/sync_engine.h"

namespace norvane {
namespace {

// The entries of a ParentsOfDepartment answer: each parent path ends with ";", the top
// being the empty entry.
std::vector<std::string> ParentEntries(const std::string& answer) {
  std::vector<std::string> entries;
  std::size_t start = 0;
  for (std::size_t end; (end = answer.find(';', start)) != std::string::npos; start = end + 1) {
    entries.push_back(answer.substr(start, end - start));
  }
  return entries;
}

// The entries of the named accounts below `bases`, by lower-case sAMAccountName: one
// search per base and batch of accounts in place of one search per account.
std::unordered_map<std::string, EntryAttributes> ReadUserEntries(
    CLdapClient* client, LdapConnection* connection, const std::vector<std::string>& bases,
    const std::vector<std::string>& accounts) {
  constexpr std::size_t kBatch = 100;
  std::unordered_map<std::string, EntryAttributes> found;
  if (!client || !connection) return found;
  for (std::size_t first = 0; first < accounts.size(); first += kBatch) {
    std::string filter = "(&(objectClass=user)(objectCategory=person)(|";
    for (std::size_t i = first; i < std::min(accounts.size(), first + kBatch); ++i) {
      filter += "(sAMAccountName=" + EscapeFilterValue(accounts[i]) + ")";
    }
    filter += "))";
    for (const std::string& base : bases) {
      if (base.empty()) continue;
      LdapPage* page = client->BeginPagedSearch(connection, base, filter, {"*"}, 2);
      if (!page) continue;
      for (;;) {
        LdapResult* result = nullptr;
        if (client->NextPage(connection, page, &result) != kLdapSuccess || !result) {
          if (result) client->FreeResult(result);
          break;
        }
        for (LdapEntry* entry = client->FirstEntry(connection, result); entry;
             entry = client->NextEntry(connection, entry)) {
          EntryAttributes attributes;
          if (client->ReadEntry(connection, entry, attributes) != 0) continue;
          for (const auto& [name, value] : attributes) {
            if (EqualsNoCase(name, "sAMAccountName")) {
              found.emplace(ToLowerAscii(value.substr(0, value.find(';'))), attributes);
              break;
            }
          }
        }
        client->FreeResult(result);
      }
      client->EndPagedSearch(connection, page);
    }
  }
  return found;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

}  // namespace

bool SyncEngine::ReadChangeMark(ChangeMark& mark) {
  if (!client_) return false;
  mark.usn = client_->CurrentHighestUsn(sys_config_.domain);
  mark.invocation_id = CLdapClient::CurrentInvocationId();
  return mark.usn > 0 && !mark.invocation_id.empty();
}

void SyncEngine::StoreChangeMark(const ChangeMark& mark) {
  // The number is only meaningful together with the controller it came from.
  if (!WritePreviousHighUsn(sys_config_.domain, mark.usn) ||
      !WritePreviousInvocationId(sys_config_.domain, mark.invocation_id)) {
    WriteLog(Format("保存更新序列号失败 DC=%s", sys_config_.domain.c_str()));
  }
}

int SyncEngine::RunUpdate() {
  current_domain_ = sys_config_.domain;
  search_bases_ = SplitList(sys_config_.domain);
  sync_scope_.pdept_type = sys_config_.dept_mode;
  sync_scope_.user_dept_type = sys_config_.dept_mode;
  if (sys_config_.dept_mode > 0) {
    // The change records name organisational units; group departments follow memberships
    // the change search does not report.
    WriteLog("按组划分部门时无法增量更新，改为同步全部LDAP数据");
    return -1;
  }
  const LdapServerParams record = BuildRecord();
  if (!ConnectLdapsvr(record)) {
    WriteLog(Format("ConnectLdapsvr失败 ip=%s,port=%d,dn=%s", record.server_ip.c_str(),
                    record.server_port, sys_config_.domain.c_str()));
    return 0;
  }
  // Taken before the changes are read: what changes while the update runs is fetched
  // again next time rather than skipped.
  ChangeMark mark;
  if (!ReadChangeMark(mark)) {
    WriteLog(Format("读取域控制器的更新序列号失败 DC=%s", sys_config_.domain.c_str()));
    return 0;
  }
  const std::int64_t previous = ReadPreviousHighUsn(sys_config_.domain);
  const std::string previous_id = ReadPreviousInvocationId(sys_config_.domain);
  if (previous > 0 && previous_id != mark.invocation_id) {
    WriteLog(
        Format("域控制器的调用ID已改变(上次=%s, 本次=%s)，已保存的更新序列号%lld不适用于此"
               "域控制器，改为同步全部LDAP数据",
               previous_id.empty() ? "无" : previous_id.c_str(), mark.invocation_id.c_str(),
               static_cast<long long>(previous)));
    return -1;
  }
  current_high_usn_ = previous;
  const int result = UpdateFromDirectory();
  if (!result && deleted_objects_unread_) {
    // The deletions since the stored number are unknown: only a full import, with its own
    // safeguards, brings them over. Its mark is taken afresh.
    WriteLog(
        Format("无法读取已删除对象容器(Deleted Objects)，不知道上次同步以来删除了哪些用户和部门 "
               "DC=%s，改为同步全部LDAP数据",
               sys_config_.domain.c_str()));
    return -1;
  }
  if (result && !dry_run_) {
    StoreChangeMark(mark);
    if (!ou_ids_.Save()) {
      WriteLog(Format("保存部门标识记录失败 file=%s", OuIdentitiesPath().c_str()));
    }
  }
  return result;
}

int SyncEngine::UpdateFromDirectory() {
  if (!client_) return 0;
  const std::string filter = ChangeFilter(sync_scope_.pdept_type, current_high_usn_);
  std::vector<ChangedUser> users;
  std::vector<ChangedDept> depts;
  // Each base of a ";"-joined DC text is a search base of its own.
  const std::vector<std::string> bases =
      search_bases_.empty() ? std::vector<std::string>{sys_config_.domain} : search_bases_;
  deleted_objects_unread_ = false;
  for (const std::string& base : bases) {
    if (base.empty()) continue;
    std::vector<ChangedUser> base_users;
    std::vector<ChangedDept> base_depts;
    const int tracked = client_->TrackChanges(filter, base, base_users, base_depts);
    if (tracked == kDeletedObjectsUnreadable) deleted_objects_unread_ = true;
    if (tracked < 0) return 0;
    users.insert(users.end(), base_users.begin(), base_users.end());
    depts.insert(depts.end(), base_depts.begin(), base_depts.end());
  }
  if (!sdk_ || !sdk_->DeptManager()) return 0;
  // Users are moved out of a deleted OU's department before it goes.
  UpdateRemovals removals;
  if (!UpdateDept(depts, &removals)) return 0;
  if (!UpdateFromLDAP(users, &removals)) return 0;
  return ApplyUpdateRemovals(removals);
}

int SyncEngine::ApplyUpdateRemovals(const UpdateRemovals& removals) {
  if (removals.departments.empty() && removals.accounts.empty()) return 1;
  std::size_t server_accounts = 0;
  // The share is only asked of removals above its floor: the walk costs a call per department.
  if (removals.accounts.size() > engine_internal::kShareFloor && manage_sync_.delete_share > 0 &&
      !CountServerAccounts(&server_accounts)) {
    return 0;
  }
  if (!RemovalAllowed(removals.departments.size(), removals.accounts.size(), server_accounts)) {
    return 0;
  }
  SdkDeptManager* dept = sdk_->DeptManager();
  SdkUserManager* users = sdk_->UserManager();
  std::lock_guard<std::mutex> guard(lock_);
  std::string account;
  try {
    for (const std::string& path : removals.departments) {
      if (!dept->DepartmentExists(path)) continue;  // went with a parent removed before
      dept->RemoveDepartment(path, 0);
      ++departments_done_;
    }
    for (const std::string& name : removals.accounts) {
      account = name;
      users->RemoveUser(account);
    }
  } catch (...) {
    engine_internal::ReportWriteFailure(account);
    return 0;
  }
  return 1;
}

int SyncEngine::UpdateDept(const std::vector<ChangedDept>& records) {
  UpdateRemovals removals;
  if (!UpdateDept(records, &removals)) return 0;
  return ApplyUpdateRemovals(removals);
}

int SyncEngine::UpdateFromLDAP(const std::vector<ChangedUser>& records) {
  UpdateRemovals removals;
  if (!UpdateFromLDAP(records, &removals)) return 0;
  return ApplyUpdateRemovals(removals);
}

bool SyncEngine::ImportPlacesUsersOf(const std::string& parent_dn) const {
  const bool base = std::any_of(search_bases_.begin(), search_bases_.end(),
                                [&](const std::string& b) { return EqualsNoCase(parent_dn, b); });
  const bool department = StartsWithNoCase(parent_dn, "ou=") && !DnToDeptPath(parent_dn).empty();
  return (base || department) && !ExcludedWithAncestors(parent_dn);
}

bool SyncEngine::ExcludedWithAncestors(const std::string& dn) const {
  std::string key = dn;
  while (!key.empty()) {
    for (const std::string& base : search_bases_) {
      if (EqualsNoCase(key, base)) return false;  // the base is not an exclusion
    }
    if (IsExcludedDept(key)) return true;
    key = ParentDn(key);
  }
  return false;
}

bool SyncEngine::WalkDepartmentEntries(const std::string& base, int scope,
                                       const std::function<void(LdapEntry*)>& visit) {
  if (!client_ || !connection_) return false;
  const std::string filter = DeptFilter(sys_config_.directory_type, 0);
  LdapPage* page = client_->BeginPagedSearch(connection_, base, filter, {"*"}, scope);
  if (!page) return false;
  int code = 0;
  for (;;) {
    LdapResult* result = nullptr;
    code = client_->NextPage(connection_, page, &result);
    if (code != kLdapSuccess || !result) {
      if (result) client_->FreeResult(result);
      break;
    }
    for (LdapEntry* entry = client_->FirstEntry(connection_, result); entry;
         entry = client_->NextEntry(connection_, entry)) {
      visit(entry);
    }
    client_->FreeResult(result);
  }
  const bool complete = code == kLdapNoMoreResults && CLdapClient::IsComplete(page);
  client_->EndPagedSearch(connection_, page);
  return complete;
}

std::vector<std::string> SyncEngine::ChildDeptNamesInDirectory(const std::string& parent_dn,
                                                               bool* ok) {
  std::vector<std::string> names;
  *ok = WalkDepartmentEntries(parent_dn, 1, [&](LdapEntry* entry) {
    const std::string dn = client_->EntryDn(connection_, entry);
    if (dn.empty() || EqualsNoCase(dn, parent_dn)) return;
    names.push_back(DnToDeptName(dn));
  });
  return names;
}

bool SyncEngine::DirectoryHoldsDepartment(const std::string& path, bool* known) {
  *known = true;
  if (!client_ || !connection_) {
    *known = false;
    return false;
  }
  // The DN the path would have below each base: "A\B\" is OU=B,OU=A,<base>. A "/" in a
  // name may stand for a "\" of the OU's name (DeptNameOf): both readings are tried.
  std::vector<std::string> relatives(2);
  std::size_t start = 0;
  while (start < path.size()) {
    std::size_t end = path.find('\\', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) {
      const std::string name = path.substr(start, end - start);
      std::string slashed = name;
      std::replace(slashed.begin(), slashed.end(), '/', '\\');
      relatives[0] = "OU=" + EscapeDnValue(name) + "," + relatives[0];
      relatives[1] = "OU=" + EscapeDnValue(slashed) + "," + relatives[1];
    }
    start = end + 1;
  }
  if (relatives[1] == relatives[0]) relatives.pop_back();
  const std::string filter = DeptFilter(sys_config_.directory_type, 0);
  for (const std::string& relative : relatives) {
    for (const std::string& base : search_bases_) {
      if (base.empty() || relative.empty()) continue;
      int code = 0;
      LdapResult* result = client_->Search(connection_, relative + base, filter, "dn", &code);
      if (result) {
        client_->FreeResult(result);
        return true;
      }
      if (code != kLdapSuccess && code != kLdapNoSuchObject) *known = false;
    }
  }
  return false;
}

bool SyncEngine::FollowOu(const std::string& old_dn, const std::string& name,
                          const std::string& parent_path) {
  SdkDeptManager* dept = sdk_->DeptManager();
  const std::string old_path = DnToDeptPath(old_dn);
  // The department it had must be the server's and still there, and no OU of the directory
  // may stand where it was (one made there since is another department).
  if (old_path.empty() || ExcludedWithAncestors(old_dn) || !dept->DepartmentExists(old_path)) {
    return false;
  }
  bool known = true;
  if (DirectoryHoldsDepartment(old_path, &known) || !known) return false;
  const std::string old_name = DnToDeptName(old_dn);
  const std::string old_parent = DnToDeptPath(ParentDn(old_dn));
  const bool renamed = !EqualsNoCase(old_name, name);
  const bool moved = !EqualsNoCase(old_parent, parent_path);
  if (!renamed && !moved) return false;
  // One step at a time, in the order that meets no department of the same name.
  if (!moved) {
    dept->RenameDepartment(old_path, name);
  } else if (!renamed) {
    dept->MoveDepartment(old_path, parent_path);
  } else if (!DeptExistsUnder(old_name, parent_path)) {
    dept->MoveDepartment(old_path, parent_path);
    dept->RenameDepartment(parent_path + old_name + "\\", name);
  } else if (!DeptExistsUnder(name, old_parent)) {
    dept->RenameDepartment(old_path, name);
    dept->MoveDepartment(old_parent + name + "\\", parent_path);
  } else {
    return false;
  }
  WriteLog(Format("UpdateDept 部门随目录中的OU改名或移动: %s -> %s%s\\", old_path.c_str(),
                  parent_path.c_str(), name.c_str()));
  ++departments_done_;
  return true;
}

int SyncEngine::UpdateDept(const std::vector<ChangedDept>& records, UpdateRemovals* removals) {
  if (!sdk_ || !sdk_->DeptManager()) return 0;
  SdkDeptManager* dept = sdk_->DeptManager();
  struct Change {
    const ChangedDept* record;
    std::string name;  // the department's name (DeptNameOf)
    std::string parent_path;
    std::string path;
  };
  std::vector<Change> live, deleted;
  std::unordered_set<std::string> live_paths;  // lower case: OUs the directory holds now
  for (const ChangedDept& record : records) {
    if (record.kind != kChangeCreated && record.kind != kChangeChanged &&
        record.kind != kChangeDeleted) {
      continue;
    }
    const std::string dn = "OU=" + EscapeDnValue(record.name) + "," + record.parent_dn;
    // Only what lies below a search base is a department.
    if (DnToDeptPath(dn).empty()) continue;
    // An excluded OU has no department of its own; whatever happens to it must not move,
    // rename or remove a department that merely shares its name.
    if (ExcludedWithAncestors(dn)) continue;
    Change change{&record, DeptNameOf(record.name), DnToDeptPath(record.parent_dn), ""};
    change.path = change.parent_path + change.name + "\\";
    if (record.kind == kChangeDeleted) {
      deleted.push_back(std::move(change));
    } else {
      live_paths.insert(ToLowerAscii(change.path));
      live.push_back(std::move(change));
    }
  }
  // Deleted in this run's window and not made again: these departments are about to go,
  // and are neither the old place of a moved OU nor the old name of a renamed one.
  std::unordered_set<std::string> gone;
  for (const Change& change : deleted) {
    if (!live_paths.count(ToLowerAscii(change.path))) gone.insert(ToLowerAscii(change.path));
  }
  // Parents before children, so that an OU created inside a new OU finds its parent.
  std::stable_sort(live.begin(), live.end(), [](const Change& a, const Change& b) {
    return DnDepth(a.record->parent_dn) < DnDepth(b.record->parent_dn);
  });

  ou_ids_.Load(OuIdentitiesPath(), current_domain_);
  std::lock_guard<std::mutex> guard(lock_);
  try {
    // Created, moved and renamed OUs first: a moved OU is told apart from its old parent's
    // deletion only while that parent is still there.
    for (const Change& change : live) {
      const std::string& name = change.name;
      const std::string& parent_path = change.parent_path;
      const std::string dn =
          "OU=" + EscapeDnValue(change.record->name) + "," + change.record->parent_dn;
      // Where the OU was, by its identity. The record follows the directory at once; it is
      // saved only with the change mark, so a failed run reads it again as it was.
      const std::string* was = ou_ids_.Find(change.record->guid);
      const std::string old_dn = was ? *was : std::string();
      ou_ids_.Set(change.record->guid, dn);
      if (!old_dn.empty()) ou_ids_.Rebase(old_dn, dn);
      if (DeptExistsUnder(name, parent_path)) continue;  // there already: nothing to do
      if (!dept->DepartmentExists(parent_path)) {
        WriteLog(Format("UpdateDept  PDept Not Exist PDept=%s", parent_path.c_str()));
        continue;
      }
      if (change.record->kind == kChangeCreated) {
        dept->AddDepartment(name, parent_path);
        ++departments_done_;
        continue;
      }
      if (change.record->kind != kChangeChanged) continue;
      if (!old_dn.empty() && DnKey(old_dn) != DnKey(dn) && FollowOu(old_dn, name, parent_path)) {
        continue;
      }
      // Moved: a department of that name elsewhere whose OU the directory no longer holds
      // there (one that is still there is another OU of the same name).
      std::vector<std::string> moved_from;
      if (dept->DepartmentExists(name)) {
        for (const std::string& place : ParentEntries(dept->ParentsOfDepartment(name))) {
          const std::string old_path = place + name + "\\";
          const std::string key = ToLowerAscii(old_path);
          if (gone.count(key) || live_paths.count(key)) continue;
          bool known = true;
          if (DirectoryHoldsDepartment(old_path, &known) || !known) continue;
          moved_from.push_back(old_path);
        }
      }
      if (moved_from.size() > 1) {
        WriteLog(
            Format("UpdateDept  Dept=%s 同名部门有%zu个，无法确定移动哪一个，"
                   "请使用同步数据功能进行同步",
                   name.c_str(), moved_from.size()));
        continue;
      }
      if (moved_from.size() == 1) {
        dept->MoveDepartment(moved_from.front(), parent_path);
        ++departments_done_;
        continue;
      }
      // Renamed: the old name is the one child of the parent that the directory lacks and
      // that no deletion of this run accounts for.
      const std::string& parent_dn = change.record->parent_dn;
      bool read = false;
      const std::vector<std::string> in_directory = ChildDeptNamesInDirectory(parent_dn, &read);
      std::vector<std::string> on_server =
          ParseNameList(dept->ChildDepartments(parent_path), "Departments", "Department");
      std::erase_if(on_server, [&](const std::string& s) {
        return gone.count(ToLowerAscii(parent_path + s + "\\")) > 0;
      });
      for (const std::string& d : in_directory) {
        auto it = std::find_if(on_server.begin(), on_server.end(),
                               [&](const std::string& s) { return EqualsNoCase(s, d); });
        if (it != on_server.end()) on_server.erase(it);
      }
      if (!read || on_server.size() != 1) {
        WriteLog("发现修改的部门名称个数太多，请使用同步数据功能进行同步");
        continue;
      }
      dept->RenameDepartment(parent_path + on_server.front() + "\\", name);
      ++departments_done_;
    }
    // Then the deletions, children before parents, held for the guard. An OU deleted and
    // made again in the same window keeps its department.
    std::stable_sort(deleted.begin(), deleted.end(), [](const Change& a, const Change& b) {
      return DnDepth(a.record->parent_dn) > DnDepth(b.record->parent_dn);
    });
    for (const Change& change : deleted) {
      ou_ids_.Erase(change.record->guid);
      if (live_paths.count(ToLowerAscii(change.path))) continue;
      if (DeptExistsUnder(change.name, change.parent_path)) {
        removals->departments.push_back(change.path);
      }
    }
  } catch (const SdkError& e) {
    ReportSdkError(e);
    return 0;
  } catch (...) {
    return 0;
  }
  return 1;
}

int SyncEngine::UpdateFromLDAP(const std::vector<ChangedUser>& records, UpdateRemovals* removals) {
  if (!sdk_ || !sdk_->DeptManager()) return 0;
  SdkDeptManager* dept = sdk_->DeptManager();
  SdkUserManager* users = sdk_->UserManager();
  const int auth_type = manage_sync_.auth_type;

  // The directory entries whose basic information is rewritten, read in batches.
  std::vector<std::string> wanted;
  for (const ChangedUser& record : records) {
    if (record.kind == kChangeCreated || record.kind == kChangeChanged) {
      wanted.push_back(record.account);
    }
  }
  const std::unordered_map<std::string, EntryAttributes> entries =
      ReadUserEntries(client_.get(), connection_, search_bases_, wanted);
  std::unordered_set<std::string> known_paths;  // lower case; departments seen on the server

  std::string account;
  try {
    for (const ChangedUser& record : records) {
      account = record.account;
      const int kind = record.kind;
      // An excluded account is the server's own: never put there, nor removed.
      if (IsExcludedUser(account)) continue;
      const bool has_cn =
          record.dn.find("cn=") != std::string::npos || record.dn.find("CN=") != std::string::npos;
      // ParentDn honours escaped commas (CN=Smith\, John,...). A deleted user's DN is its
      // tombstone's; where it was is its last known parent.
      std::string parent = has_cn ? ParentDn(record.dn) : "";
      if (!record.last_known_parent.empty()) parent = record.last_known_parent;
      const std::string path = DnToDeptPath(parent);
      WriteLog(Format("UpdateFromLDAP type=%d: Account = '%s',Dept=%s", kind, account.c_str(),
                      path.c_str()));
      ++users_done_;
      if (kind != kChangeCreated && kind != kChangeChanged && kind != kChangeDeleted) continue;
      // As in the full import, only accounts in an imported department or directly under a
      // base are the directory's (not CN=Users, not below an excluded department): the
      // update neither places nor removes any other.
      if (!ImportPlacesUsersOf(parent)) continue;
      std::lock_guard<std::mutex> guard(lock_);
      if (kind == kChangeDeleted) {
        if (!users->UserExists(account)) continue;
        if (manage_sync_.same_cover == 1 && !engine_internal::HeldIn(dept, account, path)) {
          // Kept data: an account of that name outside the user's department is the
          // server's own.
          WriteLog(Format("UpdateFromLDAP Account=%s 不在部门%s中，是Zelto服务器自有的帐号，未删除",
                          account.c_str(), path.c_str()));
          continue;
        }
        if (std::none_of(removals->accounts.begin(), removals->accounts.end(),
                         [&](const std::string& a) { return EqualsNoCase(a, account); })) {
          removals->accounts.push_back(account);
        }
        continue;
      }
      // Made again after a deletion of this update: it stays.
      std::erase_if(removals->accounts,
                    [&](const std::string& a) { return EqualsNoCase(a, account); });
      // A department the update could not bring over (an ambiguous rename, a missing
      // parent) would fail every later run at this user; the full import places it.
      if (!path.empty() && !known_paths.count(ToLowerAscii(path))) {
        if (!dept->DepartmentExists(path)) {
          WriteLog(
              Format("UpdateFromLDAP Account=%s Dept=%s 部门不存在，请使用同步数据功能进行同步",
                     account.c_str(), path.c_str()));
          continue;
        }
        known_paths.insert(ToLowerAscii(path));
      }
      if (!users->UserExists(account)) {
        users->AddUser(account, auth_type);
        dept->MoveUser(account, "", path, 0);
      } else {
        const std::vector<std::string> current =
            ParseNameList(dept->DepartmentsOfUser(account), "Departments", "Department");
        const std::string now = current.empty() ? "" : current.front();
        const bool member = std::any_of(current.begin(), current.end(), [&](const std::string& d) {
          return EqualsNoCase(d, path);
        });
        if (!member) {
          dept->MoveUser(account, now, path, 0);
        } else if (!EqualsNoCase(now, path)) {
          // Already a member of the new department: leaving the old one is the move.
          dept->TakeUserOutOfDepartment(account, now);
        }
        if (kind == kChangeChanged) {
          // Every other membership goes: the directory places a user in one OU.
          for (std::size_t i = 1; i < current.size(); ++i) {
            if (!EqualsNoCase(current[i], path) && !EqualsNoCase(current[i], now)) {
              dept->TakeUserOutOfDepartment(account, current[i]);
            }
          }
        }
      }
      auto entry = entries.find(ToLowerAscii(account));
      if (entry != entries.end()) WriteBasicInfo(account, entry->second);
    }
  } catch (...) {
    engine_internal::ReportWriteFailure(account);
    return 0;
  }
  return 1;
}

}  // namespace norvane
