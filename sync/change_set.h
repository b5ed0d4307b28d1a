// ChangeSet: what one run changed on the server, or, in a dry run, would change. Built from
// the SDK component's writes, so that a plan and the run after it are told alike.
//
// Departments are listed by path ("A\B", without the trailing "\"); accounts by name. An
// account the run adds is listed with the departments it is placed in, and nowhere else;
// one it moves with the departments it leaves and joins. Rewrites of the fields of an
// account the server already held (the server cannot be asked for stored fields, so a run
// rewrites them all) are counted, not listed; so are the authentication-type writes a sync
// makes with every such rewrite, unless the run is an authentication switch.
#ifndef NORVANE_SYNC_CHANGE_SET_H_
#define NORVANE_SYNC_CHANGE_SET_H_

#include <cstddef>
#include <limits>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "server/sdk.h"

namespace norvane {

class ChangeSet : public SdkWriteObserver {
 public:
  struct Move {
    std::string from, to;
  };
  struct Placement {
    std::string account;
    std::vector<std::string> departments;  // added: where placed; moved: see from/to
    std::vector<std::string> from;         // moved: the departments left
  };
  struct AuthSwitch {
    std::string account;
    int to = 0;
  };
  // The deletion guard's verdict on the run's removals.
  struct Guard {
    bool checked = false;
    std::size_t removals = 0;
    long threshold = 0;
    bool stops_run = false;
  };

  // `auth_switch`: every authentication-type write is a switch to be listed.
  void Reset(bool auth_switch = false);
  void OnWrite(const SdkWrite& write) override;
  void SetGuard(const Guard& guard);

  // Departments and accounts added, renamed, moved or removed, and switches; rewrites of
  // unchanged accounts are not changes.
  std::size_t Changes() const;
  std::size_t Rewrites() const;

  std::vector<std::string> DepartmentsAdded() const;
  std::vector<Move> DepartmentsRenamed() const;
  std::vector<Move> DepartmentsMoved() const;
  std::vector<std::string> DepartmentsRemoved() const;
  std::vector<Placement> UsersAdded() const;
  std::vector<Placement> UsersMoved() const;  // departments: the ones joined
  std::vector<std::string> UsersRemoved() const;
  std::vector<AuthSwitch> AuthSwitches() const;
  Guard GuardVerdict() const;

  // {"changes", "departments": {"add", "rename", "move", "remove"}, "users": {"add", "move",
  // "remove", "auth_type", "rewritten"}, "guard": {...}, "counts": {...}}; each list holds at
  // most `cap` entries, "truncated" says whether one was cut; counts are exact.
  nlohmann::json ToJson(std::size_t cap = std::numeric_limits<std::size_t>::max()) const;

  // "A\B\" -> "A\B".
  static std::string DisplayPath(const std::string& path);

 private:
  // Ordered lists with a lower-case index, so that a later write can undo an earlier one.
  struct NamedList {
    std::vector<std::string> order;  // keys in the order first listed
    std::unordered_map<std::string, std::string> shown;
    bool Add(const std::string& key, const std::string& shown_as);
    bool Erase(const std::string& key);
    bool Has(const std::string& key) const { return shown.count(key) > 0; }
    std::vector<std::string> Items() const;
  };
  struct UserEntry {
    std::string account;
    std::vector<std::string> joined, left;
  };
  void OnUserMove(const std::string& account, const std::string& from, const std::string& to);

  mutable std::mutex mu_;
  bool auth_switch_ = false;
  NamedList depts_added_, depts_removed_;
  std::vector<Move> renamed_, moved_;
  std::vector<std::string> users_added_order_, users_moved_order_;
  std::unordered_map<std::string, UserEntry> users_added_, users_moved_;
  NamedList users_removed_;
  std::vector<AuthSwitch> switches_;
  std::unordered_set<std::string> rewritten_;
  Guard guard_;
};

}  // namespace norvane

#endif  // NORVANE_SYNC_CHANGE_SET_H_
