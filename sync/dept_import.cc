// The department import (organisational units) and the preview of a base's tree.
#include "sync/sync_engine.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <unordered_set>

#include "directory/dn_text.h"
#include "platform/activity_log.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "server/sdk.h"
#include "sync/dn_rules.h"
#include "sync/engine_internal.h"

namespace norvane {
using engine_internal::Find;
using engine_internal::IsDnAttribute;

int SyncEngine::ImportDepartments() {
  if (!sdk_ || !client_) return 0;
  const bool group_mode = sync_scope_.pdept_type > 0;
  const std::string filter = DeptFilter(sys_config_.directory_type, sync_scope_.pdept_type);
  DepartmentMap map;
  written_paths_.clear();
  ClearGroups();
  const bool track_ous = !group_mode && sys_config_.directory_type == kActiveDirectory;
  if (track_ous) ou_ids_.Load(OuIdentitiesPath(), current_domain_);
  bool ou_ids_read = false;
  for (const std::string& base : search_bases_) {
    // Recorded in the document in memory, which the user import reads after; the file is
    // saved for the department dialog only. Without a run's document, the file's.
    XmlElement element = org_.BaseElement(base);
    if (!element) element = OpenBaseElement(base, CurrentDocumentPath());
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
    if (track_ous && status == ReadStatus::kComplete && ReadOuIdentities(base)) ou_ids_read = true;
    std::vector<std::pair<std::string, std::string>> ordered = OrderDepartments(map);
    RecordDepartments(element, ordered, true);
    org_.Save();
    if (!WriteDepartments(ordered)) return 0;
  }
  // Written even when a later step fails: it says where the directory's OUs are, which the
  // departments just written follow.
  if (ou_ids_read && !dry_run_ && !ou_ids_.Save()) {
    WriteLog(Format("保存部门标识记录失败 file=%s", OuIdentitiesPath().c_str()));
  }
  return 1;
}

std::string SyncEngine::OuIdentitiesPath() const { return BaseFolder() + "norvane-ou-ids.json"; }

bool SyncEngine::ReadOuIdentities(const std::string& base) {
  std::vector<std::pair<std::string, std::string>> found;
  const bool complete = WalkDepartmentEntries(base, 2, [&](LdapEntry* entry) {
    std::string guid = client_->EntryGuid(connection_, entry);
    std::string dn = client_->EntryDn(connection_, entry);
    if (!guid.empty() && !dn.empty()) found.emplace_back(std::move(guid), std::move(dn));
  });
  if (complete) ou_ids_.ReplaceBelow(base, found);
  return complete;
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

int SyncEngine::PreviewData(const LdapServerParams& record) {
  if (!ConnectLdapsvr(record)) return 0;
  int result = 0;
  XmlElement element = OpenBaseElement(record.domain_name, PreviewDocumentPath());
  if (element) {
    const std::vector<std::string> saved_bases = search_bases_;
    search_bases_ = {record.domain_name};
    bool read = true;
    if (record.dept_mode > 0) {
      // Group mode: the groups are the departments, so the dialog shows (and excludes)
      // groups.
      ClearGroups();
      BuildGroupTree(record.domain_name);
      RecordGroups(element, record.domain_name);
    } else {
      DepartmentMap map;
      ReadStatus status = ReadStatus::kComplete;
      const std::string filter = DeptFilter(sys_config_.directory_type, 0);
      read = SearchDepartments(record.domain_name, filter, map, &status);
      if (read) RecordDepartments(element, OrderDepartments(map), false);
    }
    if (read) {
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
