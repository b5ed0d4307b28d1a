#include "sync/removal_list.h"

#include "platform/text.h"

namespace norvane {

void RemovalList::Assign(std::vector<std::string> names) {
  names_ = std::move(names);
  removed_.assign(names_.size(), false);
  index_.clear();
  for (std::size_t i = 0; i < names_.size(); ++i) {
    index_[ToLowerAscii(names_[i])].positions.push_back(i);
  }
  remaining_ = names_.size();
}

bool RemovalList::Remove(std::string_view name) {
  auto it = index_.find(ToLowerAscii(name));
  if (it == index_.end()) return false;
  Slot& slot = it->second;
  if (slot.next >= slot.positions.size()) return false;
  removed_[slot.positions[slot.next++]] = true;
  --remaining_;
  return true;
}

bool RemovalList::Contains(std::string_view name) const {
  auto it = index_.find(ToLowerAscii(name));
  return it != index_.end() && it->second.next < it->second.positions.size();
}

std::vector<std::string> RemovalList::Remaining() const {
  std::vector<std::string> out;
  out.reserve(remaining_);
  for (std::size_t i = 0; i < names_.size(); ++i) {
    if (!removed_[i]) out.push_back(names_[i]);
  }
  return out;
}

}  // namespace norvane
