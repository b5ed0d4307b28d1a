// Where each organisational unit of an Active Directory domain stood when its department on
// the IM server was last made, renamed or moved from it, by objectGUID. An OU keeps its GUID
// through renames and moves, so the update can tell which department a changed OU was
// however many OUs of one parent changed at once; names alone cannot pair them.
//
// Kept per domain in one JSON file of the base folder: {"<domain>": {"<guid>": "<dn>"}}.
#ifndef NORVANE_SYNC_OU_IDENTITIES_H_
#define NORVANE_SYNC_OU_IDENTITIES_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace norvane {

class OuIdentities {
 public:
  // Reads `domain`'s record from `path`; an empty record when either is missing or the file
  // cannot be read.
  void Load(std::string path, std::string_view domain);
  // Rewrites the file (atomic replace) with this domain's record, keeping the others'.
  bool Save() const;

  // The DN last recorded for `guid`; null when unknown.
  const std::string* Find(const std::string& guid) const;
  void Set(const std::string& guid, const std::string& dn);
  void Erase(const std::string& guid);
  // Every OU recorded at or below `old_dn` now lies at or below `new_dn` (a renamed or moved
  // OU takes its descendants along, and the directory reports only the OU itself).
  void Rebase(std::string_view old_dn, std::string_view new_dn);
  // Forgets every OU recorded at or below `base`, then records `found` (guid, DN): what one
  // complete read of the base found.
  void ReplaceBelow(std::string_view base,
                    const std::vector<std::pair<std::string, std::string>>& found);

  std::size_t size() const { return dn_of_.size(); }

 private:
  std::string path_;
  std::string domain_;
  std::unordered_map<std::string, std::string> dn_of_;  // guid -> DN
};

// True when `dn` is `ancestor` or lies below it, comparing whole components as the
// directory does (ignoring ASCII case and blanks around them).
bool DnAtOrBelow(std::string_view dn, std::string_view ancestor);

}  // namespace norvane

#endif  // NORVANE_SYNC_OU_IDENTITIES_H_
