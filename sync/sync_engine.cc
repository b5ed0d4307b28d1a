#include "sync/sync_engine.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <functional>

#include "config/ldap_config.h"
#include "directory/change_tracking.h"
#include "directory/dn_text.h"
#include "platform/activity_log.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "server/organisation.h"
#include "server/sdk.h"
#include "sync/dn_rules.h"

namespace norvane {
namespace {

constexpr std::size_t kFieldBytes = 63;
constexpr char kUnchanged[] = "ZELTO_NULL";

std::string FirstValue(const std::string& joined) { return joined.substr(0, joined.find(';')); }

const std::string* Find(const EntryAttributes& attributes, const std::string& name) {
  if (name.empty()) return nullptr;
  auto it = attributes.find(name);
  return it == attributes.end() ? nullptr : &it->second;
}

bool IsDnAttribute(const std::string& attribute) {
  return EqualsNoCase(attribute, "dn") || EqualsNoCase(attribute, "distinguishedName");
}

// Member DNs compared with backslashes and blanks dropped and case folded: member values
// arrive with backslashes removed on Active Directory, while entry DNs keep their escapes.
std::string MemberKey(std::string_view dn) { return DnKey(StripBackslashes(dn)); }

// The display name of a group: the value of its first component (its CN), or the key
// itself when it is not a DN.
std::string GroupName(const std::string& key) {
  std::vector<std::string_view> parts = SplitDn(key);
  if (parts.empty()) return key;
  std::size_t eq = parts.front().find('=');
  if (eq == std::string_view::npos) return key;
  return UnescapeDnValue(parts.front().substr(eq + 1));
}

}  // namespace

SyncEngine::SyncEngine(Prompt* prompt) : prompt_(prompt ? prompt : &log_prompt_) {}

SyncEngine::~SyncEngine() {
  if (client_ && connection_) client_->Disconnect(connection_);
  connection_ = nullptr;
}

std::string SyncEngine::CurrentDocumentPath() const { return BaseFolder() + "test.xml"; }
std::string SyncEngine::PreviewDocumentPath() const { return BaseFolder() + "testTmp.xml"; }

// ---- driver ---------------------------------------------------------------------------

int SyncEngine::EngineInit() {
  CLdapConfig config;
  config.Init();
  SysConfigInfo sys;
  config.LoadSysConfig(sys);
  sdk_ = CreateSdkRoot(sys);
  if (!sdk_) return 0;
  WriteEmptyOrgDocument(CurrentDocumentPath());
  WriteEmptyOrgDocument(PreviewDocumentPath());
  return ReloadConfig();
}

int SyncEngine::ReloadConfig() {
  CLdapConfig config;
  config.Init();
  std::vector<std::string> limit_dc, limit_user;
  bool ok = config.LoadSysConfig(sys_config_);
  ok = ok && config.LoadUserAttributeNames(user_attribute_names_);
  ok = ok && config.LoadUserProperty(user_property_);
  ok = ok && config.LoadDeptProperty(dept_property_);
  ok = ok && config.LoadSyncScope(sync_scope_);
  ok = ok && config.LoadManageSync(manage_sync_);
  ok = ok && config.LoadLimitDC(limit_dc);
  ok = ok && config.LoadLimitUser(limit_user);
  config.LoadDcList(dc_list_);
  limit_dc_.clear();
  for (const std::string& key : limit_dc) limit_dc_.insert(DnKey(key));
  limit_user_.clear();
  for (const std::string& account : limit_user) limit_user_.insert(ToLowerAscii(account));

  if (client_ && connection_) client_->Disconnect(connection_);
  connection_ = nullptr;
  client_ = std::make_unique<CLdapClient>();
  SelectLibrary(sys_config_.directory_type);
  ConnectLdapsvr(BuildRecord());
  return ok && client_ ? 1 : 0;
}

LdapServerParams SyncEngine::BuildRecord() const {
  LdapServerParams record;
  record.server_ip = CutToBytes(sys_config_.ldap_server_ip, kAddressBytes);
  record.server_port = sys_config_.ldap_server_port;
  record.dept_mode = sys_config_.dept_mode;
  record.directory_type = sys_config_.directory_type;
  record.domain_name = CutToBytes(sys_config_.domain, kDomainBytes);
  record.admin_account = CutToBytes(sys_config_.admin_account, kAccountBytes);
  record.admin_password = CutToBytes(sys_config_.admin_password, kPasswordBytes);
  return record;
}

int SyncEngine::ConnectLdapsvr(const LdapServerParams& record) {
  if (!client_) return 0;
  if (connection_) return 1;
  connection_ = client_->Connect(record);
  return connection_ ? 1 : 0;
}

int SyncEngine::SyncOneDC(int mode) {
  if (!ReloadConfig()) prompt_->Show("重载配置文件失败!");
  departments_done_ = 0;
  users_done_ = 0;
  read_complete_ = true;
  const bool active_directory = sys_config_.directory_type == kActiveDirectory;
  if (active_directory && mode == 1) {
    const int update = RunUpdate();
    if (update >= 0) return update;
  }

  LdapServerParams record = BuildRecord();
  current_domain_ = sys_config_.domain;
  ResetOrgDocument();
  sync_scope_.pdept_type = sys_config_.dept_mode;
  sync_scope_.user_dept_type = sys_config_.dept_mode;
  search_bases_ = SplitList(sys_config_.domain);

  int result = 0;
  if (!ConnectLdapsvr(record)) {
    WriteLog(Format("ConnectLdapsvr失败 ip=%s,port=%d,dn=%s", record.server_ip.c_str(),
                    record.server_port, sys_config_.domain.c_str()));
  } else {
    // Read before the import, so that what changes while it runs is left to the next update.
    ChangeMark mark;
    const bool marked = active_directory && ReadChangeMark(mark);
    result = ImportAll();
    if (!result) {
      WriteLog(Format("SyncOneDC=%s:失败，请检查此dc的DC、USER、PWD是否配置正确",
                      sys_config_.domain.c_str()));
    }
    if (result && marked) StoreChangeMark(mark);
    client_->Disconnect(connection_);
    connection_ = nullptr;
  }
  return result;
}

int SyncEngine::ImportAll() {
  read_complete_ = true;
  CollectServerOrganisation();
  if (!ImportDepartments()) return 0;
  WriteLog("导入部门数据成功");
  if (!ImportUsers()) return 0;
  WriteLog("导入用户数据成功");
  if (!read_complete_) {
    // What was read is on the server; removing "the rest" would remove what was not seen.
    WriteLog("LDAP目录数据读取不完整，本次同步未删除任何部门和用户，同步失败");
    return 0;
  }
  if (manage_sync_.same_cover == 0) {
    if (!DeleteNotLdapData()) {
      WriteLog("删除非LDAP数据失败");
      return 0;
    }
  }
  UpdateUser2Zelto();
  WriteLog("导入LDAP数据成功");
  return 1;
}

void SyncEngine::UpdateUser2Zelto() {
  if (!sdk_ || !sdk_->DeptManager()) return;
  const std::string name = DnToDeptName(sys_config_.domain);
  // Without a name the call would address the whole organisation; a department this run
  // wrote is the directory's own and stays.
  if (name.empty() || written_paths_.count(ToLowerAscii(name + "\\"))) return;
  try {
    if (sdk_->DeptManager()->DepartmentExists(name)) {
      std::lock_guard<std::mutex> guard(lock_);
      sdk_->DeptManager()->RemoveDepartment(name, 0);
    }
  } catch (const SdkError& e) {
    ReportSdkError(e);
    WriteLog(Format("UpdateUser2Zelto  Error Account=%s", name.c_str()));
  } catch (...) {
    WriteLog(Format("UpdateUser2Zelto  Error Account=%s", name.c_str()));
  }
}

// ---- directory reads ------------------------------------------------------------------

SyncEngine::ReadStatus SyncEngine::ForEachEntry(const std::string& base, const std::string& filter,
                                                const EntryVisitor& visit) {
  EntryAttributes attributes;
  if (sys_config_.directory_type == kActiveDirectory) {
    LdapPage* page = client_->BeginPagedSearch(connection_, base, filter, {"*"}, 2);
    if (!page) return ReadStatus::kNotStarted;
    int code = 0;
    for (;;) {
      LdapResult* result = nullptr;
      code = client_->NextPage(connection_, page, &result);
      if (code != kLdapSuccess) {
        if (result) client_->FreeResult(result);
        break;
      }
      int count = client_->CountEntries(connection_, result);
      LdapEntry* entry = client_->FirstEntry(connection_, result);
      for (int i = 0; i < count; ++i) {
        if (!entry) {
          client_->FreeResult(result);
          client_->EndPagedSearch(connection_, page);
          return ReadStatus::kEntryLost;
        }
        if (client_->ReadEntry(connection_, entry, attributes) == 0) {
          visit(attributes, client_->EntryDn(connection_, entry));
        }
        entry = client_->NextEntry(connection_, entry);
      }
      client_->FreeResult(result);
    }
    bool complete = code == kLdapNoMoreResults && CLdapClient::IsComplete(page);
    client_->EndPagedSearch(connection_, page);
    return complete ? ReadStatus::kComplete : ReadStatus::kIncomplete;
  }

  int code = 0;
  LdapResult* result = client_->Search(connection_, base, filter, "*", &code);
  if (!result) return code == kLdapSuccess ? ReadStatus::kComplete : ReadStatus::kNotStarted;
  for (LdapEntry* entry = client_->FirstEntry(connection_, result); entry;
       entry = client_->NextEntry(connection_, entry)) {
    if (client_->ReadEntry(connection_, entry, attributes) == 0) {
      visit(attributes, client_->EntryDn(connection_, entry));
    }
  }
  bool complete = CLdapClient::IsComplete(result);
  client_->FreeResult(result);
  return complete ? ReadStatus::kComplete : ReadStatus::kIncomplete;
}

void SyncEngine::NoteIncompleteRead(const char* what, const std::string& base) {
  read_complete_ = false;
  WriteLog(Format("读取LDAP%s数据不完整 base=%s，本次同步不删除任何数据", what, base.c_str()));
}

std::string SyncEngine::DeptAttribute(const char* key) const {
  auto it = dept_property_.find(key);
  return it == dept_property_.end() ? "" : it->second;
}

std::string SyncEngine::UserAttribute(const char* key) const {
  auto it = user_property_.find(key);
  return it == user_property_.end() ? "" : it->second;
}

// ---- department rules -----------------------------------------------------------------

std::string SyncEngine::DnToDeptPath(const std::string& dn) const {
  return norvane::DnToDeptPath(dn, search_bases_, dc_list_);
}

std::string SyncEngine::DnToDeptName(const std::string& dn) { return norvane::DnToDeptName(dn); }

int SyncEngine::DnDepth(const std::string& text) { return norvane::DnDepth(text); }

bool SyncEngine::IsExcludedDept(const std::string& key) const {
  return !limit_dc_.empty() && limit_dc_.count(DnKey(key)) > 0;
}

bool SyncEngine::IsExcludedUser(const std::string& account) const {
  return !limit_user_.empty() && limit_user_.count(ToLowerAscii(account)) > 0;
}

bool SyncEngine::DeptExistsUnder(const std::string& name, const std::string& parent_path) {
  if (!sdk_) return false;
  try {
    SdkDeptManager* dept = sdk_->DeptManager();
    if (!dept->DepartmentExists(name)) return false;
    for (const std::string& parent : SplitList(dept->ParentsOfDepartment(name))) {
      if (EqualsNoCase(parent, parent_path)) return true;
    }
    // The top answers as the empty entry, which SplitList keeps only before a ";".
    return false;
  } catch (const SdkError&) {
    return false;
  }
}

// ---- organisation document ------------------------------------------------------------

int SyncEngine::ResetOrgDocument() {
  return org_.ResetOrgDocument(CurrentDocumentPath(), PreviewDocumentPath(), current_domain_);
}

XmlElement SyncEngine::OpenBaseElement(const std::string& base, const std::string& path) {
  return org_.OpenBaseElement(base, path);
}

int SyncEngine::AddDeptElement(XmlElement start, const std::string& parent_key,
                               const std::string& key) {
  return org_.AddDeptElement(start, parent_key, key);
}

XmlElement SyncEngine::FindDeptElement(XmlElement start, const std::string& key) const {
  return org_.FindDeptElement(start, key);
}

// ---- department import ----------------------------------------------------------------

int SyncEngine::ImportDepartments() {
  if (!sdk_ || !client_) return 0;
  const bool group_mode = sync_scope_.pdept_type > 0;
  const std::string filter = DeptFilter(sys_config_.directory_type, sync_scope_.pdept_type);
  DepartmentMap map;
  written_paths_.clear();
  groups_.clear();
  group_index_.clear();
  group_paths_.clear();
  for (const std::string& base : search_bases_) {
    XmlElement element = OpenBaseElement(base, CurrentDocumentPath());
    if (!element) return 0;
    if (group_mode) {
      BuildGroupTree(base);
      if (!RecordAndWriteGroups(element, base)) return 0;
      continue;
    }
    ReadStatus status = ReadStatus::kComplete;
    if (!SearchDepartments(base, filter, map, &status)) {
      NoteIncompleteRead("部门", base);
      continue;
    }
    if (status != ReadStatus::kComplete) NoteIncompleteRead("部门", base);
    std::vector<std::pair<std::string, std::string>> ordered = OrderDepartments(map);
    RecordDepartments(element, ordered, true);
    // The user import of this run reads the document from the file.
    org_.Save();
    if (!WriteDepartments(ordered)) return 0;
  }
  return 1;
}

bool SyncEngine::SearchDepartments(const std::string& base, const std::string& filter,
                                   DepartmentMap& map, ReadStatus* status) {
  if (sys_config_.directory_type != kActiveDirectory) {
    // Parents come from the DNs themselves: OUs carry no parent reference.
    DeptParentMap parents;
    int rc = client_->ScanDeptParents(connection_, base, filter, "*", "dn", parents);
    if (rc == -1) {
      // Nothing came back: an empty directory part, or a failed search.
      int code = 0;
      LdapResult* probe = client_->Search(connection_, base, filter, "dn", &code);
      if (probe) client_->FreeResult(probe);
      if (code == kLdapSuccess) return true;
    }
    if (rc != 0 && rc != -3) {
      WriteLog("同步domino部门失败!");
      return false;
    }
    if (rc == -3) *status = ReadStatus::kIncomplete;
    for (const auto& [key, parent] : parents) map.emplace(key, parent);
    return true;
  }

  const std::string id_attribute = DeptAttribute("DeptID");
  *status =
      ForEachEntry(base, filter, [&](const EntryAttributes& attributes, const std::string& dn) {
        std::string key;
        if (IsDnAttribute(id_attribute) && !dn.empty()) {
          key = dn;  // escapes kept, so that the parent is found correctly
        } else if (const std::string* value = Find(attributes, id_attribute)) {
          key = *value;
        } else {
          return;
        }
        std::string parent = EqualsNoCase(key, base) ? "" : ParentDn(key);
        map.emplace(key, parent);
      });
  if (*status == ReadStatus::kNotStarted || *status == ReadStatus::kEntryLost) return false;
  return true;
}

std::vector<std::pair<std::string, std::string>> SyncEngine::OrderDepartments(
    const DepartmentMap& map) const {
  std::vector<std::pair<std::string, int>> keys;
  keys.reserve(map.size());
  for (const auto& [key, parent] : map) keys.emplace_back(key, DnDepth(key));
  std::stable_sort(keys.begin(), keys.end(),
                   [](const auto& a, const auto& b) { return a.second < b.second; });
  std::vector<std::pair<std::string, std::string>> ordered;
  for (const auto& [key, depth] : keys) {
    const std::string& parent = map.at(key);
    if (!parent.empty()) ordered.emplace_back(key, parent);
  }
  return ordered;
}

void SyncEngine::RecordDepartments(XmlElement base_element,
                                   const std::vector<std::pair<std::string, std::string>>& ordered,
                                   bool use_exclusions) {
  for (const auto& [key, parent] : ordered) {
    if (use_exclusions && IsExcludedDept(key)) continue;
    org_.AddDeptElement(base_element, parent, key);
  }
}

bool SyncEngine::WriteDepartments(const std::vector<std::pair<std::string, std::string>>& ordered) {
  // A department below an excluded one is left out with it: its parent is never created.
  std::unordered_set<std::string> left_out;
  SdkDeptManager* dept = sdk_->DeptManager();
  try {
    for (const auto& [key, parent] : ordered) {
      if (IsExcludedDept(key) || left_out.count(DnKey(parent))) {
        left_out.insert(DnKey(key));
        continue;
      }
      const std::string parent_path = DnToDeptPath(parent);
      const std::string path = DnToDeptPath(key);
      const std::string name = DnToDeptName(key);
      if (path.empty() || name.empty()) continue;  // not below a search base
      {
        std::lock_guard<std::mutex> guard(lock_);
        depts_to_remove_.Remove(path);
      }
      if (!DeptExistsUnder(name, parent_path)) dept->AddDepartment(name, parent_path);
      written_paths_.insert(ToLowerAscii(path));
      ++departments_done_;
    }
  } catch (const SdkError& e) {
    ReportSdkError(e);
    return false;
  }
  return true;
}

// ---- group mode -----------------------------------------------------------------------
//
// Each group is a department named after its CN, nested under the first group it is a
// member of; a group that is a member of no imported group sits at the top. A user is
// placed in the department of each of its groups.

void SyncEngine::BuildGroupTree(const std::string& base) {
  const std::string filter = DeptFilter(sys_config_.directory_type, 1);
  const std::string key_attribute = DeptAttribute("DeptName");
  const std::string parent_attribute = DeptAttribute("PDeptRelateKey");
  std::vector<std::pair<std::string, std::vector<std::string>>> found;  // key, parent refs
  ReadStatus status =
      ForEachEntry(base, filter, [&](const EntryAttributes& attributes, const std::string& dn) {
        std::string key;
        if ((key_attribute.empty() || IsDnAttribute(key_attribute)) && !dn.empty()) {
          key = dn;
        } else if (const std::string* value = Find(attributes, key_attribute)) {
          key = *value;
        } else {
          return;
        }
        if (const std::string* type = Find(attributes, "groupType")) {
          long value = ParseLong(FirstValue(*type));
          if ((value & 0x2) == 0 && (value & 0x4) == 0) return;  // universal-only groups
        }
        std::vector<std::string> refs;
        if (sys_config_.directory_type == kActiveDirectory) {
          if (const std::string* value = Find(attributes, parent_attribute)) {
            refs = SplitList(*value);
          }
        }
        found.emplace_back(key, std::move(refs));
      });
  if (status != ReadStatus::kComplete) NoteIncompleteRead("部门", base);

  for (const auto& [key, refs] : found) {
    if (group_index_.count(MemberKey(key))) continue;
    group_index_[MemberKey(key)] = groups_.size();
    groups_.push_back({key, GroupName(key), ""});
  }
  // Parents: the first reference that names an imported group. Other directories keep
  // membership on the group only, so ask which groups list this one as a member.
  for (std::size_t i = 0; i < found.size(); ++i) {
    auto it = group_index_.find(MemberKey(found[i].first));
    if (it == group_index_.end() || !groups_[it->second].parent.empty()) continue;
    std::vector<std::string> refs = found[i].second;
    if (sys_config_.directory_type != kActiveDirectory) {
      bool ok = true;
      refs = GroupsWithMember(found[i].first, &ok);
      if (!ok) NoteIncompleteRead("部门", base);
    }
    for (const std::string& ref : refs) {
      auto parent = group_index_.find(MemberKey(ref));
      if (parent != group_index_.end() && parent->second != it->second) {
        groups_[it->second].parent = groups_[parent->second].key;
        break;
      }
    }
  }
  // A cycle of memberships (A in B, B in A) has no top to hang from: it is cut where a walk
  // up the parents closes it, and that group goes directly under the base.
  for (std::size_t i = 0; i < groups_.size(); ++i) {
    std::unordered_set<std::size_t> on_walk;
    for (std::size_t j = i; !groups_[j].parent.empty();) {
      on_walk.insert(j);
      const std::size_t parent = group_index_.at(MemberKey(groups_[j].parent));
      if (on_walk.count(parent)) {
        groups_[j].parent.clear();
        break;
      }
      j = parent;
    }
  }
  // Paths from the top.
  group_paths_.clear();
  std::function<std::string(std::size_t, int)> path_of = [&](std::size_t i, int depth) {
    const Group& g = groups_[i];
    auto known = group_paths_.find(MemberKey(g.key));
    if (known != group_paths_.end()) return known->second;
    std::string parent_path;
    if (!g.parent.empty() && depth < 64) {
      parent_path = path_of(group_index_.at(MemberKey(g.parent)), depth + 1);
    }
    std::string path = parent_path + g.name + "\\";
    group_paths_[MemberKey(g.key)] = path;
    return path;
  };
  for (std::size_t i = 0; i < groups_.size(); ++i) path_of(i, 0);
}

std::string SyncEngine::GroupPath(const std::string& key) const {
  auto it = group_paths_.find(MemberKey(key));
  return it == group_paths_.end() ? "" : it->second;
}

bool SyncEngine::RecordAndWriteGroups(XmlElement base_element, const std::string& base) {
  // Parents before children: by the depth of their paths.
  std::vector<std::size_t> order(groups_.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  auto depth = [&](std::size_t i) {
    const std::string p = GroupPath(groups_[i].key);
    return std::count(p.begin(), p.end(), '\\');
  };
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return depth(a) < depth(b); });
  std::unordered_set<std::string> left_out;
  try {
    for (std::size_t i : order) {
      const Group& g = groups_[i];
      if (IsExcludedDept(g.key) || (!g.parent.empty() && left_out.count(MemberKey(g.parent)))) {
        left_out.insert(MemberKey(g.key));
        continue;
      }
      const std::string parent_key = g.parent.empty() ? base : g.parent;
      org_.AddDeptElement(base_element, parent_key, g.key, g.name);
      const std::string path = GroupPath(g.key);
      const std::string parent_path = g.parent.empty() ? "" : GroupPath(g.parent);
      {
        std::lock_guard<std::mutex> guard(lock_);
        depts_to_remove_.Remove(path);
      }
      if (!DeptExistsUnder(g.name, parent_path))
        sdk_->DeptManager()->AddDepartment(g.name, parent_path);
      written_paths_.insert(ToLowerAscii(path));
      ++departments_done_;
    }
  } catch (const SdkError& e) {
    ReportSdkError(e);
    return false;
  }
  org_.Save();
  return true;
}

std::vector<std::string> SyncEngine::GroupsWithMember(const std::string& member_dn, bool* ok) {
  std::vector<std::string> groups;
  const std::string value = EscapeFilterValue(member_dn);
  const std::string filter =
      "(&(|(objectClass=groupOfNames)(objectClass=groupOfUniqueNames))(|(member=" + value +
      ")(uniqueMember=" + value + ")))";
  for (const std::string& base : search_bases_) {
    ReadStatus status = ForEachEntry(
        base, filter, [&](const EntryAttributes&, const std::string& dn) { groups.push_back(dn); });
    if (status != ReadStatus::kComplete) *ok = false;
  }
  return groups;
}

std::vector<std::string> SyncEngine::GroupsOfUser(const EntryAttributes& attributes,
                                                  const std::string& dn) {
  std::vector<std::string> refs;
  if (sys_config_.directory_type == kActiveDirectory) {
    if (const std::string* value = Find(attributes, "memberOf")) refs = SplitList(*value);
  } else {
    bool ok = true;
    refs = GroupsWithMember(dn, &ok);
    if (!ok) read_complete_ = false;
  }
  std::vector<std::string> groups;
  for (const std::string& ref : refs) {
    auto it = group_index_.find(MemberKey(ref));
    if (it != group_index_.end()) groups.push_back(groups_[it->second].key);
  }
  return groups;
}

// ---- user import ----------------------------------------------------------------------

int SyncEngine::ImportUsers() {
  if (!sdk_ || !client_) return 0;
  specified_accounts_.clear();
  const std::string filter = UserFilter(sys_config_.directory_type);
  try {
    for (const std::string& base : search_bases_) {
      XmlElement document = OpenBaseElement(base, CurrentDocumentPath());
      bool entry_lost = false;
      // Group membership on these directories is found by a search of its own, which must
      // not run inside the user search on the same connection: read the users first.
      const bool buffer =
          sync_scope_.user_dept_type > 0 && sys_config_.directory_type != kActiveDirectory;
      std::vector<std::pair<EntryAttributes, std::string>> buffered;
      ReadStatus status =
          ForEachEntry(base, filter, [&](const EntryAttributes& attributes, const std::string& dn) {
            if (buffer) {
              buffered.emplace_back(attributes, dn);
            } else if (!UserEntry(document, attributes, dn)) {
              entry_lost = true;
            }
          });
      for (const auto& [attributes, dn] : buffered) UserEntry(document, attributes, dn);
      if (status == ReadStatus::kEntryLost || entry_lost) return 0;
      if (status != ReadStatus::kComplete) NoteIncompleteRead("用户", base);
    }
  } catch (...) {
    return 0;
  }
  return 1;
}

bool SyncEngine::UserEntry(XmlElement document, const EntryAttributes& attributes,
                           const std::string& dn) {
  ++users_done_;
  if (sys_config_.directory_type == kActiveDirectory) {
    if (const std::string* uac = Find(attributes, "userAccountControl")) {
      long flags = ParseLong(FirstValue(*uac));
      if ((flags & 0x2) || (flags & 0x3800)) return true;  // disabled, or a machine account
    }
  }
  const std::string* uid = Find(attributes, UserAttribute("uid"));
  if (!uid) return true;
  const std::string account = FirstValue(*uid);
  if (account.empty()) return true;
  const std::string entry_dn =
      dn.empty() ? (Find(attributes, "dn") ? *Find(attributes, "dn") : "") : dn;

  bool placed = false;
  if (sync_scope_.user_dept_type <= 0) {
    if (entry_dn.empty()) return true;
    PlaceUser(document, ParentDn(entry_dn), account, attributes, true, {}, &placed);
  } else {
    std::vector<std::string> groups = GroupsOfUser(attributes, entry_dn);
    std::vector<std::string> paths;
    for (const std::string& g : groups) paths.push_back(GroupPath(g));
    if (groups.empty()) {
      PlaceUser(document, "", account, attributes, true, paths, &placed);
    }
    for (std::size_t i = 0; i < groups.size(); ++i) {
      PlaceUser(document, groups[i], account, attributes, i == 0, paths, &placed);
    }
  }
  if (placed) specified_accounts_.push_back(account);
  return true;
}

int SyncEngine::AddOrUpdateUser(XmlElement document, const std::string& department,
                                const std::string& account, const EntryAttributes& attributes) {
  bool placed = false;
  return PlaceUser(document, department, account, attributes, true, {}, &placed);
}

std::vector<std::string> SyncEngine::DepartmentsOfUser(const std::string& account) {
  return ParseNameList(sdk_->DeptManager()->DepartmentsOfUser(account), "Departments",
                       "Department");
}

int SyncEngine::PlaceUser(XmlElement document, const std::string& department,
                          const std::string& account, const EntryAttributes& attributes,
                          bool first_of_user, const std::vector<std::string>& all_paths,
                          bool* placed) {
  if (IsExcludedDept(department) || IsExcludedUser(account)) return 1;
  if (!FindDeptElement(document, department)) return 1;
  const bool group_mode = sync_scope_.user_dept_type > 0;
  const std::string path = group_mode ? GroupPath(department) : DnToDeptPath(department);
  {
    std::lock_guard<std::mutex> guard(lock_);
    users_to_remove_.Remove(account);
  }
  try {
    SdkDeptManager* dept = sdk_->DeptManager();
    const int auth_type = manage_sync_.auth_type;
    if (sdk_->UserManager()->UserExists(account)) {
      std::vector<std::string> current = DepartmentsOfUser(account);
      const std::string now = current.empty() ? "" : current.front();
      if (!group_mode) {
        if (!EqualsNoCase(now, path)) dept->MoveUser(account, now, path, 0);
      } else {
        bool member = std::any_of(current.begin(), current.end(),
                                  [&](const std::string& p) { return EqualsNoCase(p, path); });
        bool now_wanted = std::any_of(all_paths.begin(), all_paths.end(),
                                      [&](const std::string& p) { return EqualsNoCase(p, now); });
        // The first group takes the place of a department the user no longer belongs to;
        // further groups are further memberships.
        if (!member) dept->MoveUser(account, first_of_user && !now_wanted ? now : "", path, 0);
      }
      sdk_->Application()->SetUserAuthType(account, auth_type);
    } else {
      sdk_->UserManager()->AddUser(account, auth_type);
      dept->MoveUser(account, "", path, 0);
    }
    WriteBasicInfo(account, attributes);
    *placed = true;
    return 1;
  } catch (const SdkError& e) {
    ReportSdkError(e);
    WriteLog(
        Format("Add User=%s, dept=%s 调用Zelto SDK 增加用户失败", account.c_str(), path.c_str()));
  } catch (...) {
    WriteLog(Format("Add User=%s, dept=%s 调用Zelto SDK 增加用户失败,用户数据接口未知异常",
                    account.c_str(), path.c_str()));
  }
  return 0;
}

void SyncEngine::WriteBasicInfo(const std::string& account, const EntryAttributes& attributes) {
  auto value = [&](const char* key) {
    const std::string* v = Find(attributes, UserAttribute(key));
    return v ? FirstValue(*v) : std::string();
  };
  std::string name = value("name");
  const std::string gender = value("gender");
  std::string mobile = value("mobile");
  std::string email = value("email");
  std::string phone = value("phone");
  const std::string position = value("position");

  auto cut = [](std::string& field, const char* format) {
    if (field.size() <= kFieldBytes) return;
    std::string shortened = CutToBytes(field, kFieldBytes);
    WriteLog(Format(format, field.c_str(), shortened.c_str()));
    field = shortened;
  };
  cut(name, "SetUserBasicInfo User=%s用户名太长, 被截短的用户名=%s");
  cut(mobile, "SetUserBasicInfo Mobile=%s字段太长, 被截短的后Mobile=%s");
  cut(email, "SetUserBasicInfo Email=%s字段太长, 被截短的后Email=%s");
  cut(phone, "SetUserBasicInfo strPhone=%s字段太长, 被截短的后Phone=%s");
  const int gender_code = !gender.empty() && gender[0] == '1' ? 1 : -1;

  sdk_->UserManager()->SetUserBasicInfo(account, name, gender_code, mobile, email, phone,
                                        manage_sync_.auth_type);
  sdk_->UserManager()->SetUserDetails(account, -1, -1, -1, kUnchanged, kUnchanged, kUnchanged,
                                      kUnchanged, kUnchanged, kUnchanged, kUnchanged, kUnchanged,
                                      kUnchanged, position, -1);
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
      // The account must lie under a configured domain controller.
      const std::string upper_parent = ToUpperAscii(parent);
      bool mapped = false;
      for (const DcEntry& dc : dc_list_) {
        std::string e = ToUpperAscii(dc.domain_name);
        if (!e.empty() && upper_parent.find(e) != std::string::npos) {
          mapped = true;
          break;
        }
      }
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

// ---- removal --------------------------------------------------------------------------

void SyncEngine::CollectServerOrganisation() {
  if (!sdk_) return;
  std::vector<std::string> departments, accounts;
  SdkDeptManager* dept = sdk_->DeptManager();
  std::function<void(const std::string&)> walk = [&](const std::string& path) {
    std::vector<std::string> children;
    for (const std::string& name :
         ParseNameList(dept->ChildDepartments(path), "Departments", "Department")) {
      children.push_back(path + name + "\\");
    }
    departments.insert(departments.end(), children.begin(), children.end());
    for (const std::string& account : ParseNameList(dept->DepartmentUsers(path), "Users", "User")) {
      accounts.push_back(account);
    }
    for (const std::string& child : children) walk(child);
  };
  try {
    walk("");
  } catch (const SdkError& e) {
    // What was listed stays listed; an incomplete list only removes less.
    ReportSdkError(e);
  }
  std::lock_guard<std::mutex> guard(lock_);
  depts_to_remove_.Assign(std::move(departments));
  users_to_remove_.Assign(std::move(accounts));
}

int SyncEngine::DeleteNotLdapData() {
  if (!sdk_) return 0;
  std::lock_guard<std::mutex> guard(lock_);
  const std::vector<std::string> departments = depts_to_remove_.Remaining();
  const std::vector<std::string> accounts = users_to_remove_.Remaining();
  const long threshold = manage_sync_.delete_threshold;
  const long total = static_cast<long>(departments.size() + accounts.size());
  if (threshold > 0 && total > threshold) {
    WriteLog(
        Format("删除保护: 本次将删除%zu个部门和%zu个用户, 超过删除上限%ld, 未删除任何数据. "
               "如确需删除, 请调高LdapConfig.xml中ManageSync的DeleteThreshold, "
               "或设为0关闭删除保护",
               departments.size(), accounts.size(), threshold));
    return 0;
  }
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

// ---- preview --------------------------------------------------------------------------

int SyncEngine::PreviewData(const LdapServerParams& record) {
  if (!ConnectLdapsvr(record)) return 0;
  int result = 0;
  XmlElement element = OpenBaseElement(record.domain_name, PreviewDocumentPath());
  if (element) {
    const std::vector<std::string> saved_bases = search_bases_;
    search_bases_ = {record.domain_name};
    DepartmentMap map;
    ReadStatus status = ReadStatus::kComplete;
    const std::string filter = DeptFilter(sys_config_.directory_type, 0);
    if (SearchDepartments(record.domain_name, filter, map, &status)) {
      RecordDepartments(element, OrderDepartments(map), false);
      org_.SaveAs(CurrentDocumentPath());
      result = 1;
    } else {
      WriteLog(Format("Preview Data=%s:失败，请检查此dc的DC、USER、PWD是否配置正确",
                      record.domain_name.c_str()));
    }
    search_bases_ = saved_bases;
  }
  client_->Disconnect(connection_);
  connection_ = nullptr;
  return result;
}

}  // namespace norvane
