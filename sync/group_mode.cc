// Departments from groups. Each group is a department named after its CN, nested under
// the first group it is a member of; a group that is a member of no imported group sits at
// the top. A user is placed in the department of each of its groups.
#include "sync/sync_engine.h"

#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <unordered_set>

#include "directory/dn_text.h"
#include "platform/text.h"
#include "server/sdk.h"
#include "sync/dn_rules.h"
#include "sync/engine_internal.h"

namespace norvane {
using engine_internal::Find;
using engine_internal::FirstValue;
using engine_internal::IsDnAttribute;
using engine_internal::MemberKey;

namespace {

// The department name of a group: the value of its first component (its CN), or the key
// itself when it is not a DN, made a name by DeptNameOf.
std::string GroupName(const std::string& key) {
  std::vector<std::string_view> parts = SplitDn(key);
  if (parts.empty()) return DeptNameOf(key);
  std::size_t eq = parts.front().find('=');
  if (eq == std::string_view::npos) return DeptNameOf(key);
  return DeptNameOf(UnescapeDnValue(parts.front().substr(eq + 1)));
}

}  // namespace

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
    groups_.push_back({key, GroupName(key), GroupName(key), ""});
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
  NameGroupDepartments();
  // Paths from the top.
  group_paths_.clear();
  group_path_set_.clear();
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
    group_path_set_.insert(ToLowerAscii(path));
    return path;
  };
  for (std::size_t i = 0; i < groups_.size(); ++i) path_of(i, 0);
}

void SyncEngine::NameGroupDepartments() {
  // (parent key, lower-case name) -> the groups that would share that department.
  std::map<std::pair<std::string, std::string>, std::vector<std::size_t>> places;
  std::set<std::pair<std::string, std::string>> taken;
  for (std::size_t i = 0; i < groups_.size(); ++i) {
    Group& g = groups_[i];
    g.name = g.cn;
    std::pair<std::string, std::string> place{MemberKey(g.parent), ToLowerAscii(g.cn)};
    taken.insert(place);
    places[place].push_back(i);
  }
  // Groups of one name under one parent would share one department, and the members of
  // all but one would never be placed: the group whose key sorts first keeps the name, the
  // others become "name (2)", "name (3)", ... in key order, so the same directory always
  // gives the same names.
  for (auto& [place, members] : places) {
    if (members.size() < 2) continue;
    std::sort(members.begin(), members.end(), [&](std::size_t a, std::size_t b) {
      return DnKey(groups_[a].key) < DnKey(groups_[b].key);
    });
    int number = 2;
    for (std::size_t k = 1; k < members.size(); ++k) {
      Group& g = groups_[members[k]];
      std::string name;
      do {
        const std::string suffix = " (" + std::to_string(number++) + ")";
        name = DeptNameOf(g.cn + suffix);
        if (name.size() < g.cn.size() + suffix.size()) {
          name = CutToBytes(g.cn, name.size() - suffix.size()) + suffix;  // the number stays
        }
      } while (!taken.insert({place.first, ToLowerAscii(name)}).second);
      g.name = name;
    }
  }
}

bool SyncEngine::IsGroupPath(const std::string& path) const {
  return group_path_set_.count(ToLowerAscii(path)) > 0;
}

std::string SyncEngine::GroupPath(const std::string& key) const {
  auto it = group_paths_.find(MemberKey(key));
  return it == group_paths_.end() ? "" : it->second;
}

void SyncEngine::ClearGroups() {
  groups_.clear();
  group_index_.clear();
  group_paths_.clear();
  group_path_set_.clear();
}

std::vector<std::size_t> SyncEngine::GroupsParentsFirst() const {
  std::vector<std::size_t> order(groups_.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  auto depth = [&](std::size_t i) {
    const std::string p = GroupPath(groups_[i].key);
    return std::count(p.begin(), p.end(), '\\');
  };
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return depth(a) < depth(b); });
  return order;
}

void SyncEngine::RecordGroups(XmlElement base_element, const std::string& base) {
  for (std::size_t i : GroupsParentsFirst()) {
    const Group& g = groups_[i];
    org_.AddDeptElement(base_element, g.parent.empty() ? base : g.parent, g.key, g.name);
  }
}

bool SyncEngine::RecordAndWriteGroups(XmlElement base_element, const std::string& base) {
  std::unordered_set<std::string> left_out;
  try {
    for (std::size_t i : GroupsParentsFirst()) {
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

}  // namespace norvane
