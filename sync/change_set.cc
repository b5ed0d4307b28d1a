#include "sync/change_set.h"

#include <algorithm>

#include "platform/text.h"

namespace norvane {
namespace {

std::string Key(const std::string& text) {
  std::string key = ToLowerAscii(text);
  if (!key.empty() && key.back() == '\\') key.pop_back();
  return key;
}

// Drops `path` from `paths`; true when it was there.
bool DropPath(std::vector<std::string>& paths, const std::string& path) {
  const auto it = std::find_if(paths.begin(), paths.end(),
                               [&](const std::string& p) { return Key(p) == Key(path); });
  if (it == paths.end()) return false;
  paths.erase(it);
  return true;
}

void AddPath(std::vector<std::string>& paths, const std::string& path) {
  DropPath(paths, path);
  paths.push_back(path);
}

template <typename T, typename Fn>
nlohmann::json Capped(const std::vector<T>& items, std::size_t cap, bool* truncated, Fn&& to_json) {
  nlohmann::json list = nlohmann::json::array();
  for (const T& item : items) {
    if (list.size() >= cap) {
      *truncated = true;
      break;
    }
    list.push_back(to_json(item));
  }
  return list;
}

nlohmann::json Paths(const std::vector<std::string>& paths) {
  nlohmann::json list = nlohmann::json::array();
  for (const std::string& p : paths) list.push_back(ChangeSet::DisplayPath(p));
  return list;
}

}  // namespace

std::string ChangeSet::DisplayPath(const std::string& path) {
  if (!path.empty() && path.back() == '\\') return path.substr(0, path.size() - 1);
  return path;
}

bool ChangeSet::NamedList::Add(const std::string& key, const std::string& shown_as) {
  if (!shown.emplace(key, shown_as).second) return false;
  order.push_back(key);
  return true;
}

bool ChangeSet::NamedList::Erase(const std::string& key) {
  if (!shown.erase(key)) return false;
  order.erase(std::find(order.begin(), order.end(), key));
  return true;
}

std::vector<std::string> ChangeSet::NamedList::Items() const {
  std::vector<std::string> items;
  items.reserve(order.size());
  for (const std::string& key : order) items.push_back(shown.at(key));
  return items;
}

void ChangeSet::Reset(bool auth_switch) {
  std::lock_guard<std::mutex> lock(mu_);
  auth_switch_ = auth_switch;
  depts_added_ = {};
  depts_removed_ = {};
  renamed_.clear();
  moved_.clear();
  users_added_order_.clear();
  users_moved_order_.clear();
  users_added_.clear();
  users_moved_.clear();
  users_removed_ = {};
  switches_.clear();
  rewritten_.clear();
  guard_ = {};
}

void ChangeSet::SetGuard(const Guard& guard) {
  std::lock_guard<std::mutex> lock(mu_);
  guard_ = guard;
}

void ChangeSet::OnUserMove(const std::string& account, const std::string& from,
                           const std::string& to) {
  const std::string key = ToLowerAscii(account);
  if (auto it = users_added_.find(key); it != users_added_.end()) {
    if (!from.empty()) DropPath(it->second.joined, from);
    if (!to.empty()) AddPath(it->second.joined, to);
    return;
  }
  auto [it, made] = users_moved_.try_emplace(key);
  UserEntry& entry = it->second;
  if (made) {
    entry.account = account;
    users_moved_order_.push_back(key);
  }
  // Leaving a department joined earlier in the run undoes the join, and the reverse.
  if (!from.empty() && !DropPath(entry.joined, from)) AddPath(entry.left, from);
  if (!to.empty() && !DropPath(entry.left, to)) AddPath(entry.joined, to);
}

void ChangeSet::OnWrite(const SdkWrite& w) {
  using Kind = SdkWrite::Kind;
  std::lock_guard<std::mutex> lock(mu_);
  const std::string account_key = ToLowerAscii(w.account);
  switch (w.kind) {
    case Kind::kAddDepartment:
      if (!depts_removed_.Erase(Key(w.path))) depts_added_.Add(Key(w.path), DisplayPath(w.path));
      break;
    case Kind::kRemoveDepartment:
      if (!depts_added_.Erase(Key(w.path))) {
        depts_removed_.Add(Key(w.path), DisplayPath(w.path));
      }
      break;
    case Kind::kRenameDepartment:
      renamed_.push_back({DisplayPath(w.path), DisplayPath(w.to)});
      break;
    case Kind::kMoveDepartment:
      moved_.push_back({DisplayPath(w.path), DisplayPath(w.to)});
      break;
    case Kind::kAddUser:
      if (users_removed_.Erase(account_key)) break;  // removed and made again: it stays
      if (users_added_.try_emplace(account_key, UserEntry{w.account, {}, {}}).second) {
        users_added_order_.push_back(account_key);
      }
      break;
    case Kind::kRemoveUser:
      rewritten_.erase(account_key);
      if (users_moved_.erase(account_key)) std::erase(users_moved_order_, account_key);
      if (users_added_.erase(account_key)) {
        std::erase(users_added_order_, account_key);
        break;
      }
      users_removed_.Add(account_key, w.account);
      break;
    case Kind::kMoveUser:
      OnUserMove(w.account, w.path, w.to);
      break;
    case Kind::kTakeUserOut:
      OnUserMove(w.account, w.path, "");
      break;
    case Kind::kSetAuthType:
      if (users_added_.count(account_key)) break;
      if (auth_switch_) {
        switches_.push_back({w.account, w.auth_type});
      } else {
        rewritten_.insert(account_key);
      }
      break;
    case Kind::kBasicInfo:
    case Kind::kDetails:
      if (!users_added_.count(account_key)) rewritten_.insert(account_key);
      break;
  }
}

std::vector<std::string> ChangeSet::DepartmentsAdded() const {
  std::lock_guard<std::mutex> lock(mu_);
  return depts_added_.Items();
}
std::vector<ChangeSet::Move> ChangeSet::DepartmentsRenamed() const {
  std::lock_guard<std::mutex> lock(mu_);
  return renamed_;
}
std::vector<ChangeSet::Move> ChangeSet::DepartmentsMoved() const {
  std::lock_guard<std::mutex> lock(mu_);
  return moved_;
}
std::vector<std::string> ChangeSet::DepartmentsRemoved() const {
  std::lock_guard<std::mutex> lock(mu_);
  return depts_removed_.Items();
}

std::vector<ChangeSet::Placement> ChangeSet::UsersAdded() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<Placement> list;
  for (const std::string& key : users_added_order_) {
    const UserEntry& e = users_added_.at(key);
    list.push_back({e.account, e.joined, {}});
  }
  return list;
}

std::vector<ChangeSet::Placement> ChangeSet::UsersMoved() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<Placement> list;
  for (const std::string& key : users_moved_order_) {
    const UserEntry& e = users_moved_.at(key);
    // A move undone within the run (left and joined again) is no change.
    if (e.joined.empty() && e.left.empty()) continue;
    list.push_back({e.account, e.joined, e.left});
  }
  return list;
}

std::vector<std::string> ChangeSet::UsersRemoved() const {
  std::lock_guard<std::mutex> lock(mu_);
  return users_removed_.Items();
}

std::vector<ChangeSet::AuthSwitch> ChangeSet::AuthSwitches() const {
  std::lock_guard<std::mutex> lock(mu_);
  return switches_;
}

ChangeSet::Guard ChangeSet::GuardVerdict() const {
  std::lock_guard<std::mutex> lock(mu_);
  return guard_;
}

std::size_t ChangeSet::Rewrites() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::size_t n = 0;
  for (const std::string& key : rewritten_) {
    // A moved account is listed as moved; one moved back within the run is only rewritten.
    auto moved = users_moved_.find(key);
    if (moved == users_moved_.end() ||
        (moved->second.joined.empty() && moved->second.left.empty())) {
      ++n;
    }
  }
  return n;
}

std::size_t ChangeSet::Changes() const {
  return DepartmentsAdded().size() + DepartmentsRenamed().size() + DepartmentsMoved().size() +
         DepartmentsRemoved().size() + UsersAdded().size() + UsersMoved().size() +
         UsersRemoved().size() + AuthSwitches().size();
}

nlohmann::json ChangeSet::ToJson(std::size_t cap) const {
  using nlohmann::json;
  bool truncated = false;
  const auto added = DepartmentsAdded();
  const auto renamed = DepartmentsRenamed();
  const auto moved = DepartmentsMoved();
  const auto removed = DepartmentsRemoved();
  const auto users_added = UsersAdded();
  const auto users_moved = UsersMoved();
  const auto users_removed = UsersRemoved();
  const auto switches = AuthSwitches();
  const auto move_json = [](const Move& m) { return json{{"from", m.from}, {"to", m.to}}; };
  const auto name_json = [](const std::string& s) { return json(s); };
  json out;
  out["changes"] = added.size() + renamed.size() + moved.size() + removed.size() +
                   users_added.size() + users_moved.size() + users_removed.size() + switches.size();
  out["departments"] = {{"add", Capped(added, cap, &truncated, name_json)},
                        {"rename", Capped(renamed, cap, &truncated, move_json)},
                        {"move", Capped(moved, cap, &truncated, move_json)},
                        {"remove", Capped(removed, cap, &truncated, name_json)}};
  out["users"] = {
      {"add", Capped(users_added, cap, &truncated,
                     [](const Placement& p) {
                       return json{{"account", p.account}, {"departments", Paths(p.departments)}};
                     })},
      {"move", Capped(users_moved, cap, &truncated,
                      [](const Placement& p) {
                        return json{{"account", p.account},
                                    {"from", Paths(p.from)},
                                    {"to", Paths(p.departments)}};
                      })},
      {"remove", Capped(users_removed, cap, &truncated, name_json)},
      {"auth_type", Capped(switches, cap, &truncated,
                           [](const AuthSwitch& s) {
                             return json{{"account", s.account}, {"to", s.to}};
                           })},
      {"rewritten", Rewrites()}};
  const Guard guard = GuardVerdict();
  out["guard"] = {
      {"removals", guard.checked ? guard.removals : removed.size() + users_removed.size()},
      {"threshold", guard.threshold},
      {"stops_run", guard.stops_run}};
  out["counts"] = {{"departments",
                    {{"add", added.size()},
                     {"rename", renamed.size()},
                     {"move", moved.size()},
                     {"remove", removed.size()}}},
                   {"users",
                    {{"add", users_added.size()},
                     {"move", users_moved.size()},
                     {"remove", users_removed.size()},
                     {"auth_type", switches.size()}}}};
  out["truncated"] = truncated;
  return out;
}

}  // namespace norvane
