// The user import: placing each directory user in its departments and writing its basic
// information, for the full import and for named accounts.
#include "sync/sync_engine.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <memory>

#include "directory/change_tracking.h"
#include "directory/dn_text.h"
#include "platform/activity_log.h"
#include "platform/run_lock.h"
#include "platform/text.h"
#include "server/organisation.h"
#include "server/sdk.h"
#include "sync/dn_rules.h"
#include "sync/engine_internal.h"

namespace norvane {
using engine_internal::Find;
using engine_internal::FirstValue;

namespace {

// The server's limits: the basic fields (name, mobile, email, phone) and the details'
// texts (the position among them).
constexpr std::size_t kFieldBytes = 63;
constexpr std::size_t kDetailFieldBytes = 255;
constexpr char kUnchanged[] = "ZELTO_NULL";

}  // namespace

namespace {

// The server's MoveUser: drops `from`, joins `to` at the end unless already a member.
void NoteMove(std::vector<std::string>& departments, const std::string& from,
              const std::string& to) {
  auto same = [](const std::string& p) {
    return [&p](const std::string& q) { return EqualsNoCase(p, q); };
  };
  if (!from.empty()) {
    auto it = std::find_if(departments.begin(), departments.end(), same(from));
    if (it != departments.end()) departments.erase(it);
  }
  if (!to.empty() && std::none_of(departments.begin(), departments.end(), same(to))) {
    departments.push_back(to);
  }
}

}  // namespace

int SyncEngine::ImportUsers() {
  if (!sdk_ || !client_) return 0;
  specified_accounts_.clear();
  placed_keys_.clear();
  server_failed_ = false;
  failed_users_.clear();
  const std::string filter = UserFilter(sys_config_.directory_type);
  // The users' writes go out side by side; each user's in its order.
  SdkPipeline pipeline(sdk_.get());
  pipeline_ = &pipeline;
  struct Finish {
    SyncEngine* engine;
    SdkPipeline* pipeline;
    ~Finish() {
      // Every write sent is answered or reported before the import returns.
      pipeline->Wait();
      engine->pipeline_ = nullptr;
      engine->org_known_ = false;
      engine->known_users_.clear();
      engine->unsure_.clear();
    }
  } finish{this, &pipeline};
  try {
    for (const std::string& base : search_bases_) {
      // The tree the department import recorded in memory; the file is the dialog's and may
      // have been emptied or rewritten by another process meanwhile.
      XmlElement document = org_.BaseElement(base);
      if (!document) {
        WriteLog(Format("组织结构文档中没有base=%s，用户导入失败", base.c_str()));
        return 0;
      }
      // Group membership on these directories is found by a search of its own, which must
      // not run inside the user search on the same connection: read the users first.
      const bool buffer =
          sync_scope_.user_dept_type > 0 && sys_config_.directory_type != kActiveDirectory;
      std::vector<std::pair<EntryAttributes, std::string>> buffered;
      long entries = 0;   // every entry the search returned
      long people = 0;    // entries that are neither disabled nor machine accounts
      long accounts = 0;  // of them, the ones that yielded an account
      auto take = [&](const EntryAttributes& attributes, const std::string& dn) {
        // After the server failed, nothing more is sent: the run fails.
        if (server_failed_) return;
        const UserOutcome outcome = UserEntry(document, attributes, dn);
        if (outcome != UserOutcome::kNotAPerson) ++people;
        if (outcome == UserOutcome::kAccount) ++accounts;
      };
      ReadStatus status =
          ForEachEntry(base, filter, [&](const EntryAttributes& attributes, const std::string& dn) {
            ++entries;
            if (buffer) {
              buffered.emplace_back(attributes, dn);
            } else {
              take(attributes, dn);
            }
          });
      for (const auto& [attributes, dn] : buffered) take(attributes, dn);
      if (status == ReadStatus::kEntryLost) return 0;
      if (server_failed_) break;
      if (status == ReadStatus::kComplete && entries == 0) {
        // A base holds its organisation's people: none at all is a read that went wrong,
        // and taken as it stands it would remove every account.
        WriteLog(
            Format("base=%s 下没有读到任何用户，可能是目录类型(LDAPSVRType)、搜索基准(DC)"
                   "或用户过滤条件设置错误",
                   base.c_str()));
        NoteIncompleteRead("用户", base);
      } else if (people > 0 && accounts == 0) {
        // Not one account out of a directory of people: the mapped attribute is not there
        // (a name mistyped), not a directory without users.
        WriteLog(Format("base=%s 的%ld个用户条目中没有一个带有帐号属性 %s (UserProperty uid)",
                        base.c_str(), people, UserAttribute("uid").c_str()));
        NoteIncompleteRead("用户", base);
      } else if (status != ReadStatus::kComplete) {
        NoteIncompleteRead("用户", base);
      }
    }
    pipeline.Wait();
  } catch (...) {
    return 0;
  }
  if (server_failed_) {
    WriteLog("Zelto服务器出错，用户导入中止，本次同步未删除任何部门和用户");
    return 0;
  }
  return 1;
}

SyncEngine::UserOutcome SyncEngine::UserEntry(XmlElement document,
                                              const EntryAttributes& attributes,
                                              const std::string& dn) {
  ++users_done_;
  if (sys_config_.directory_type == kActiveDirectory) {
    if (const std::string* uac = Find(attributes, "userAccountControl")) {
      long flags = ParseLong(FirstValue(*uac));
      // Disabled, or a machine account.
      if ((flags & kAccountDisabled) || (flags & 0x3800)) return UserOutcome::kNotAPerson;
    }
  }
  const std::string* uid = Find(attributes, UserAttribute("uid"));
  if (!uid) return UserOutcome::kNoAccount;
  const std::string account = FirstValue(*uid);
  if (account.empty()) return UserOutcome::kNoAccount;
  const std::string entry_dn =
      dn.empty() ? (Find(attributes, "dn") ? *Find(attributes, "dn") : "") : dn;

  if (sync_scope_.user_dept_type <= 0) {
    if (entry_dn.empty()) return UserOutcome::kAccount;
    PlaceUser(document, ParentDn(entry_dn), account, attributes, true, {});
  } else {
    std::vector<std::string> groups = GroupsOfUser(attributes, entry_dn);
    std::vector<std::string> paths;
    for (const std::string& g : groups) paths.push_back(GroupPath(g));
    if (groups.empty()) {
      PlaceUser(document, "", account, attributes, true, paths);
    }
    for (std::size_t i = 0; i < groups.size(); ++i) {
      PlaceUser(document, groups[i], account, attributes, i == 0, paths);
    }
  }
  return UserOutcome::kAccount;
}

int SyncEngine::AddOrUpdateUser(XmlElement document, const std::string& department,
                                const std::string& account, const EntryAttributes& attributes) {
  return PlaceUser(document, department, account, attributes, true, {});
}

std::vector<std::string> SyncEngine::DepartmentsOfUser(const std::string& account) {
  return ParseNameList(sdk_->DeptManager()->DepartmentsOfUser(account), "Departments",
                       "Department");
}

SyncEngine::KnownUser* SyncEngine::ServerUser(const std::string& account, SdkPipeline& pipeline) {
  const std::string key = ToLowerAscii(account);
  if (org_known_ && !unsure_.count(key)) {
    auto it = known_users_.find(key);
    return it == known_users_.end() ? nullptr : &it->second;
  }
  if (pipeline.Busy(key)) pipeline.Wait();
  if (!sdk_->UserManager()->UserExists(account)) {
    known_users_.erase(key);
    unsure_.erase(key);
    return nullptr;
  }
  KnownUser& known = known_users_[key];
  known.departments = DepartmentsOfUser(account);
  unsure_.erase(key);
  return &known;
}

int SyncEngine::PlaceUser(XmlElement document, const std::string& department,
                          const std::string& account, const EntryAttributes& attributes,
                          bool first_of_user, const std::vector<std::string>& all_paths) {
  if (IsExcludedDept(department) || IsExcludedUser(account)) return 1;
  if (!FindDeptElement(document, department)) return 1;
  const bool group_mode = sync_scope_.user_dept_type > 0;
  const std::string path = group_mode ? GroupPath(department) : DnToDeptPath(department);
  {
    std::lock_guard<std::mutex> guard(lock_);
    users_to_remove_.Remove(account);
  }
  std::unique_ptr<SdkPipeline> own;
  SdkPipeline* pipeline = pipeline_;
  if (!pipeline) {
    own = std::make_unique<SdkPipeline>(sdk_.get());
    pipeline = own.get();
  }
  const std::string key = ToLowerAscii(account);
  int result = 1;
  try {
    const int auth_type = manage_sync_.auth_type;
    std::vector<SdkPipeline::Call> calls;
    if (KnownUser* known = ServerUser(account, *pipeline)) {
      // What the server will hold once these writes are through.
      std::vector<std::string>& after = known->departments;
      const std::vector<std::string> current = after;
      const std::string now = current.empty() ? "" : current.front();
      auto move = [&](const std::string& from, const std::string& to) {
        calls.push_back(pipeline->MoveUser(account, from, to, 0));
        NoteMove(after, from, to);
      };
      if (!group_mode) {
        if (!EqualsNoCase(now, path)) move(now, path);
      } else {
        auto wanted = [&](const std::string& p) {
          return EqualsNoCase(p, path) ||
                 std::any_of(all_paths.begin(), all_paths.end(),
                             [&](const std::string& q) { return EqualsNoCase(p, q); });
        };
        const bool member = std::any_of(current.begin(), current.end(), [&](const std::string& p) {
          return EqualsNoCase(p, path);
        });
        // The first group takes the place of a department the user no longer belongs to;
        // further groups are further memberships.
        const std::string from = !member && first_of_user && !wanted(now) ? now : "";
        if (!member) move(from, path);
        // The departments of groups the user has left lose it; one that is no group's (an
        // administrator's own) keeps it.
        for (const std::string& p : current) {
          if (wanted(p) || (!from.empty() && EqualsNoCase(p, from)) || !IsGroupPath(p)) continue;
          calls.push_back(pipeline->TakeUserOutOfDepartment(account, p));
          NoteMove(after, p, "");
        }
      }
      calls.push_back(pipeline->SetUserAuthType(account, auth_type));
    } else {
      calls.push_back(pipeline->AddUser(account, auth_type));
      calls.push_back(pipeline->MoveUser(account, "", path, 0));
      known_users_[key].departments = {path};
    }
    const BasicFields f = ReadBasicInfo(attributes);
    calls.push_back(pipeline->SetUserBasicInfo(account, f.name, f.gender, f.mobile, f.email,
                                               f.phone, auth_type));
    calls.push_back(pipeline->SetUserDetails(account, -1, -1, -1, kUnchanged, kUnchanged,
                                             kUnchanged, kUnchanged, kUnchanged, kUnchanged,
                                             kUnchanged, kUnchanged, kUnchanged, f.position, -1));
    const bool importing = pipeline_ != nullptr;
    pipeline->Send(key, std::move(calls),
                   [this, account, path, key, importing, &result](const SdkError* error) {
                     if (!error) {
                       if (importing && placed_keys_.insert(key).second)
                         specified_accounts_.push_back(account);
                       return;
                     }
                     ReportSdkError(*error);
                     WriteLog(Format("Add User=%s, dept=%s 调用Zelto SDK 增加用户失败",
                                     account.c_str(), path.c_str()));
                     if (importing) failed_users_.insert(key);
                     // Left as far as it got: what the server holds now is asked when it is needed
                     // again.
                     unsure_.insert(key);
                     if (engine_internal::IsServerFailure(*error)) server_failed_ = true;
                     if (!importing) result = 0;
                   });
  } catch (const SdkError& e) {
    unsure_.insert(key);
    if (pipeline_) failed_users_.insert(key);
    ReportSdkError(e);
    if (engine_internal::IsServerFailure(e)) server_failed_ = true;
    WriteLog(
        Format("Add User=%s, dept=%s 调用Zelto SDK 增加用户失败", account.c_str(), path.c_str()));
    result = 0;
  } catch (...) {
    unsure_.insert(key);
    if (pipeline_) failed_users_.insert(key);
    WriteLog(Format("Add User=%s, dept=%s 调用Zelto SDK 增加用户失败,用户数据接口未知异常",
                    account.c_str(), path.c_str()));
    result = 0;
  }
  if (own) own->Wait();
  return result;
}

SyncEngine::BasicFields SyncEngine::ReadBasicInfo(const EntryAttributes& attributes) {
  auto value = [&](const char* key) {
    const std::string* v = Find(attributes, UserAttribute(key));
    return v ? FirstValue(*v) : std::string();
  };
  BasicFields f;
  f.name = value("name");
  const std::string gender = value("gender");
  f.mobile = value("mobile");
  f.email = value("email");
  f.phone = value("phone");
  f.position = value("position");

  auto cut = [](std::string& field, const char* format, std::size_t limit = kFieldBytes) {
    if (field.size() <= limit) return;
    std::string shortened = CutToBytes(field, limit);
    WriteLog(Format(format, field.c_str(), shortened.c_str()));
    field = shortened;
  };
  cut(f.name, "SetUserBasicInfo User=%s用户名太长, 被截短的用户名=%s");
  cut(f.mobile, "SetUserBasicInfo Mobile=%s字段太长, 被截短的后Mobile=%s");
  cut(f.email, "SetUserBasicInfo Email=%s字段太长, 被截短的后Email=%s");
  cut(f.phone, "SetUserBasicInfo strPhone=%s字段太长, 被截短的后Phone=%s");
  cut(f.position, "SetUserDetails Position=%s字段太长, 被截短的后Position=%s", kDetailFieldBytes);
  f.gender = !gender.empty() && gender[0] == '1' ? 1 : -1;
  return f;
}

void SyncEngine::WriteBasicInfo(const std::string& account, const EntryAttributes& attributes) {
  const BasicFields f = ReadBasicInfo(attributes);
  sdk_->UserManager()->SetUserBasicInfo(account, f.name, f.gender, f.mobile, f.email, f.phone,
                                        manage_sync_.auth_type);
  sdk_->UserManager()->SetUserDetails(account, -1, -1, -1, kUnchanged, kUnchanged, kUnchanged,
                                      kUnchanged, kUnchanged, kUnchanged, kUnchanged, kUnchanged,
                                      kUnchanged, f.position, -1);
}

int SyncEngine::SetUserBasicInfo(const std::string& account, const std::string& dn) {
  if (!sdk_ || !client_ || !connection_) return 0;
  int code = 0;
  LdapResult* result = client_->Search(connection_, dn, UserByAccountFilter(account), "*", &code);
  if (!result) return 0;
  EntryAttributes attributes;
  LdapEntry* entry = client_->FirstEntry(connection_, result);
  bool read = entry && client_->ReadEntry(connection_, entry, attributes) == 0;
  client_->FreeResult(result);
  if (!read) return 0;
  try {
    WriteBasicInfo(account, attributes);
    return 1;
  } catch (const SdkError& e) {
    ReportSdkError(e);
    WriteLog(Format("Add User=%s, dept=%s 调用Zelto SDK 增加用户失败", account.c_str(), ""));
  } catch (...) {
    WriteLog(Format("Add User=%s, dept=%s 调用Zelto SDK 增加用户失败,用户数据接口未知异常",
                    account.c_str(), ""));
  }
  return 0;
}

int SyncEngine::ImportNamedUsers(const std::vector<std::string>& accounts,
                                 std::vector<std::string>& failed) {
  failed.clear();
  unknown_account_.clear();
  RunLock run_lock;
  if (!engine_internal::TakeRunLock(run_lock)) return 0;
  RunRecord record(this, RunKind::kImportUsers);
  return record.Finish(PlaceNamedUsers(accounts, failed));
}

int SyncEngine::PlaceNamedUsers(const std::vector<std::string>& accounts,
                                std::vector<std::string>& failed) {
  if (sys_config_.directory_type != kActiveDirectory || !sdk_ || !client_) return 0;
  if (search_bases_.empty()) search_bases_ = SplitList(sys_config_.domain);
  try {
    for (const std::string& account : accounts) {
      if (!connection_) connection_ = client_->Connect(BuildRecord());
      if (!connection_) {
        // No answer is not "no such account": say that the directory was not reached.
        const LdapServerParams record = BuildRecord();
        WriteLog(Format("ConnectLdapsvr失败 ip=%s,port=%d,dn=%s", record.server_ip.c_str(),
                        record.server_port, sys_config_.domain.c_str()));
        return 0;
      }
      std::string dn;
      client_->FindAccountDn(connection_, AccountFilter(account), dn);
      if (dn.empty()) {
        unknown_account_ = account;
        return 0;
      }
      const std::string parent = ParentDn(dn);
      // The account must lie under a configured domain controller (whole components:
      // DC=corp is no part of DC=corporate).
      const bool mapped = std::any_of(dc_list_.begin(), dc_list_.end(), [&](const DcEntry& dc) {
        return !dc.domain_name.empty() && DnContains(parent, dc.domain_name);
      });
      if (!mapped) {
        failed.push_back(account);
        continue;
      }
      const std::string path = DnToDeptPath(parent);
      SdkDeptManager* dept = sdk_->DeptManager();
      SdkUserManager* users = sdk_->UserManager();
      if (users->UserExists(account)) {
        std::vector<std::string> current = DepartmentsOfUser(account);
        const std::string now = current.empty() ? "" : current.front();
        if (!EqualsNoCase(now, path)) {
          dept->MoveUser(account, now, path, 0);
          SetUserBasicInfo(account, parent);
        }
        continue;
      }
      if (!dept->DepartmentExists(path)) {
        // Create the missing departments from the top, with their names as written.
        const std::string named = DnToDeptPathAsNamed(parent, search_bases_, dc_list_);
        std::string so_far;
        std::size_t start = 0;
        while (start < named.size()) {
          std::size_t end = named.find('\\', start);
          if (end == std::string::npos) end = named.size();
          const std::string name = named.substr(start, end - start);
          const std::string next = so_far + name + "\\";
          if (!name.empty() && !dept->DepartmentExists(next)) {
            dept->CreateDepartmentUnderParent(so_far, name, 0);
          }
          so_far = next;
          start = end + 1;
        }
      }
      users->AddUser(account, manage_sync_.auth_type);
      dept->MoveUser(account, "", path, 0);
      SetUserBasicInfo(account, parent);
    }
  } catch (const SdkError& e) {
    ReportSdkError(e);
    return 0;
  } catch (...) {
    return 0;
  }
  return 1;
}

}  // namespace norvane
