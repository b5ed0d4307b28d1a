#include "sync/org_document.h"

#include "platform/files.h"
#include "platform/text.h"
#include "sync/dn_rules.h"

namespace norvane {
namespace {

constexpr char kEncoding[] = "GB2312";

// Attribute by name ignoring ASCII case; the exact name is tried first.
std::string AttributeNoCase(XmlElement element, std::string_view name) {
  if (element.HasAttribute(name)) return element.Attribute(name);
  for (const auto& [n, v] : element.Attributes()) {
    if (EqualsNoCase(n, name)) return v;
  }
  return "";
}

void SetAttributeNoCase(XmlElement element, std::string_view name, std::string_view value) {
  if (!element.HasAttribute(name)) {
    for (const auto& [n, v] : element.Attributes()) {
      if (EqualsNoCase(n, name)) {
        element.SetAttribute(n, value);
        return;
      }
    }
  }
  element.SetAttribute(name, value);
}

bool IsDepartment(XmlElement element) { return EqualsNoCase(element.Name(), "department"); }

void CopyInto(XmlElement target_parent, XmlElement source) {
  XmlElement copy = target_parent.AppendChild(source.Name());
  if (!copy) return;
  for (const auto& [n, v] : source.Attributes()) copy.SetAttribute(n, v);
  for (XmlElement child : source.Children()) CopyInto(copy, child);
}

bool IsAtOrBelow(XmlElement element, XmlElement start) {
  for (XmlElement e = element; e; e = e.Parent()) {
    if (e == start) return true;
  }
  return false;
}

}  // namespace

bool WriteEmptyOrgDocument(const std::string& path) {
  return WriteFileAtomically(path, kEmptyOrgDocument);
}

int OrgDocument::ResetOrgDocument(const std::string& current_path, const std::string& preview_path,
                                  const std::string& dc_text) {
  // The import works on this document in memory from here on; the file is a copy for the
  // department dialog, which another process may empty or rewrite at any time.
  doc_.LoadXml(kEmptyOrgDocument);
  path_ = current_path;
  Reindex();
  if (!read_only_) WriteEmptyOrgDocument(current_path);
  XmlDocument preview;
  if (!preview.Load(preview_path)) return 0;
  XmlElement root = preview.Root();
  if (!root || !EqualsNoCase(root.Name(), "enterprise")) return 0;
  std::vector<XmlElement> top = root.Children();
  if (top.empty()) return 0;
  const std::string domain_name = DnToDeptName(dc_text);
  XmlElement kept;
  for (XmlElement child : top.front().Children()) {
    if (IsDepartment(child) && EqualsNoCase(AttributeNoCase(child, "name"), domain_name)) {
      SetAttributeNoCase(child, "describe", dc_text);
      kept = child;
    }
  }
  if (!kept) return 0;
  XmlElement departments = Departments();
  if (departments) CopyInto(departments, kept);
  Reindex();
  Save();
  return 1;
}

XmlElement OrgDocument::OpenBaseElement(const std::string& base, const std::string& path) {
  bool loaded = doc_.Load(path);
  path_ = path;
  Reindex();
  if (!loaded) return {};
  XmlElement found = BaseElement(base);
  if (found) Save();
  return found;
}

XmlElement OrgDocument::BaseElement(const std::string& base) {
  XmlElement departments = Departments();
  if (!departments) return {};
  const std::string name = DnToDeptName(base);
  XmlElement found;
  for (XmlElement child : departments.Children()) {
    if (IsDepartment(child) && EqualsNoCase(AttributeNoCase(child, "name"), name)) {
      found = child;
      break;
    }
  }
  if (found) {
    SetAttributeNoCase(found, "describe", base);
    Reindex();
  } else {
    found = AppendDepartment(departments, name, base);
  }
  return found;
}

int OrgDocument::AddDeptElement(XmlElement start, std::string_view parent_key, std::string_view key,
                                std::string_view display_name) {
  XmlElement parent = FindDeptElement(start, parent_key);
  if (!parent) return 0;
  const std::string name = display_name.empty() ? DnToDeptName(key) : std::string(display_name);
  auto it = children_.find({parent.node(), ToLowerAscii(name)});
  if (it != children_.end()) return 1;
  return AppendDepartment(parent, name, key) ? 1 : 0;
}

XmlElement OrgDocument::FindDeptElement(XmlElement start, std::string_view key) const {
  if (!start) return {};
  auto it = by_key_.find(DnKey(key));
  if (it == by_key_.end()) return {};
  for (XmlElement e : it->second) {
    if (IsAtOrBelow(e, start)) return e;
  }
  return {};
}

bool OrgDocument::Save() const {
  return !path_.empty() && (read_only_ || doc_.Save(path_, kEncoding));
}

bool OrgDocument::SaveAs(const std::string& path) const {
  return read_only_ || doc_.Save(path, kEncoding);
}

XmlElement OrgDocument::Departments() const {
  XmlElement root = doc_.Root();
  if (!root || !EqualsNoCase(root.Name(), "enterprise")) return {};
  return root.FirstChild("departments");
}

XmlElement OrgDocument::AppendDepartment(XmlElement parent, std::string_view name,
                                         std::string_view key) {
  XmlElement e = parent.AppendChild("department");
  if (!e) return {};
  e.SetAttribute("name", name);
  e.SetAttribute("describe", key);
  IndexElement(e);
  return e;
}

void OrgDocument::Reindex() {
  by_key_.clear();
  children_.clear();
  department_count_ = 0;
  XmlElement departments = Departments();
  if (!departments) return;
  // Depth-first, parents before children, so each key's list is in document order.
  std::vector<XmlElement> stack;
  std::vector<XmlElement> top = departments.Children();
  for (auto it = top.rbegin(); it != top.rend(); ++it) stack.push_back(*it);
  while (!stack.empty()) {
    XmlElement e = stack.back();
    stack.pop_back();
    if (!IsDepartment(e)) continue;
    IndexElement(e);
    std::vector<XmlElement> children = e.Children();
    for (auto it = children.rbegin(); it != children.rend(); ++it) stack.push_back(*it);
  }
}

void OrgDocument::IndexElement(XmlElement e) {
  ++department_count_;
  by_key_[DnKey(AttributeNoCase(e, "describe"))].push_back(e);
  children_.emplace(std::make_pair(static_cast<const void*>(e.Parent().node()),
                                   ToLowerAscii(AttributeNoCase(e, "name"))),
                    e);
}

}  // namespace norvane
