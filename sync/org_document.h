// The organisation document: a small XML picture of the department tree that the
// department import records and the user import consults, kept in "test.xml" and
// "testTmp.xml" in the base folder (GB2312).
//
//   <enterprise name=" " postcode=" " address=" " phone=" " email=" ">
//     <departments>
//       <department name="HQ" describe="OU=HQ,DC=corp,DC=com">
//         <department name="Sales" describe="OU=Sales,OU=HQ,DC=corp,DC=com"/>
//
// "name" is the display name, "describe" the department's key (its DN in OU mode).
// Element names, attribute names and attribute values are matched ignoring ASCII case.
//
// Lookups by key and by (parent, child name) are indexed, so recording and finding a
// department costs the same whatever the size of the organisation. One thread at a time.
#ifndef NORVANE_SYNC_ORG_DOCUMENT_H_
#define NORVANE_SYNC_ORG_DOCUMENT_H_

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/xml.h"

namespace norvane {

// The empty document, byte for byte.
inline constexpr std::string_view kEmptyOrgDocument =
    "<?xml version=\"1.0\" encoding=\"GB2312\"?><enterprise name=\" \" postcode=\" \" "
    "address=\" \" phone=\" \" email=\" \"><departments></departments></enterprise>";

// Rewrites `path` with the empty document (atomic replace).
bool WriteEmptyOrgDocument(const std::string& path);

class OrgDocument {
 public:
  OrgDocument() = default;
  OrgDocument(const OrgDocument&) = delete;
  OrgDocument& operator=(const OrgDocument&) = delete;

  // Starts the document of a full import: the empty document in memory, and `current_path`
  // emptied; then copies from `preview_path` the top-level department named after the
  // domain of `dc_text` (the last of that name; its "describe" becomes `dc_text`) into it,
  // in memory and in the file. 1 when a subtree was copied, 0 otherwise; the document in
  // memory is usable either way.
  int ResetOrgDocument(const std::string& current_path, const std::string& preview_path,
                       const std::string& dc_text);

  // Loads `path` and returns the top-level element of `base` (found by name, created when
  // missing), with "describe" set to `base`; the file is saved. Null when the file cannot
  // be loaded or is not an organisation document. Invalidates earlier elements.
  XmlElement OpenBaseElement(const std::string& base, const std::string& path);
  // The same in the document in memory, without reading or writing any file: the import's
  // steps share the tree recorded so far this way. Null when the document in memory holds
  // no organisation.
  XmlElement BaseElement(const std::string& base);

  // Records `key` as a child of the department `parent_key` found at or below `start`,
  // unless the parent already has a child of that name. 1 when recorded or already
  // present, 0 when the parent has no element. Changes the document in memory only.
  // `name` is the display name; empty means DnToDeptName(key).
  int AddDeptElement(XmlElement start, std::string_view parent_key, std::string_view key,
                     std::string_view name = {});

  // The first department at or below `start` (document order) whose key is `key`.
  XmlElement FindDeptElement(XmlElement start, std::string_view key) const;

  // Saves to the file last loaded (GB2312), or to `path`.
  bool Save() const;
  bool SaveAs(const std::string& path) const;

  // A document that writes no file (a dry run): saving and emptying the file succeed
  // without touching it.
  void SetReadOnly(bool read_only) { read_only_ = read_only; }

  const std::string& path() const { return path_; }
  XmlDocument& document() { return doc_; }
  std::size_t DepartmentCount() const { return department_count_; }

 private:
  struct ChildKeyHash {
    std::size_t operator()(const std::pair<const void*, std::string>& k) const {
      return std::hash<const void*>()(k.first) ^ (std::hash<std::string>()(k.second) * 31);
    }
  };

  XmlElement Departments() const;  // the "departments" element, null when missing
  void Reindex();
  void IndexElement(XmlElement element);
  XmlElement AppendDepartment(XmlElement parent, std::string_view name, std::string_view key);

  XmlDocument doc_;
  std::string path_;
  bool read_only_ = false;
  std::size_t department_count_ = 0;
  // DnKey(describe) -> department elements in document order.
  std::unordered_map<std::string, std::vector<XmlElement>> by_key_;
  // (parent node, lower-case name) -> first such child department.
  std::unordered_map<std::pair<const void*, std::string>, XmlElement, ChildKeyHash> children_;
};

}  // namespace norvane

#endif  // NORVANE_SYNC_ORG_DOCUMENT_H_
