// An ordered list of names that the import strikes off one by one: the departments and
// accounts the server holds before a full import. Striking off is indexed by the name's
// ASCII-folded form, so each costs the same however long the list is.
#ifndef NORVANE_SYNC_REMOVAL_LIST_H_
#define NORVANE_SYNC_REMOVAL_LIST_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace norvane {

class RemovalList {
 public:
  void Assign(std::vector<std::string> names);
  void Clear() { Assign({}); }
  // Strikes off the first remaining entry equal to `name` ignoring ASCII case. False when
  // there is none.
  bool Remove(std::string_view name);
  bool Contains(std::string_view name) const;
  // Remaining entries in list order.
  std::vector<std::string> Remaining() const;
  std::size_t size() const { return remaining_; }

 private:
  struct Slot {
    std::vector<std::size_t> positions;  // list positions of this name, ascending
    std::size_t next = 0;                // first position not struck off
  };
  std::vector<std::string> names_;
  std::vector<bool> removed_;
  std::unordered_map<std::string, Slot> index_;
  std::size_t remaining_ = 0;
};

}  // namespace norvane

#endif  // NORVANE_SYNC_REMOVAL_LIST_H_
