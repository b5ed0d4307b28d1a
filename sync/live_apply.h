// Live sync on directories of types 1 and 2: the entries a notification search pushes,
// turned into changes the engine applies one entry at a time (SyncEngine::ApplyLiveChanges).
#ifndef NORVANE_SYNC_LIVE_APPLY_H_
#define NORVANE_SYNC_LIVE_APPLY_H_

#include <cstddef>
#include <string>
#include <unordered_map>
#include <vector>

#include "directory/ldap_client.h"
#include "directory/notification_search.h"

namespace norvane {

struct LiveChange {
  enum class Kind {
    kUser,      // a user entry now at `dn` (added, changed or moved)
    kUserGone,  // the user `account`, last at `dn`, was deleted or is no user any more
    kDept,      // an OU now at `dn`; `old_dn` is where it was when it moved or was renamed
    kDeptGone,  // the OU last at `dn` was deleted
    kReimport,  // a change the entries alone cannot place (a group): a full import runs
  };
  Kind kind = Kind::kUser;
  std::string dn;
  std::string old_dn;
  std::string account;
  EntryAttributes attributes;  // kUser
};

// What a live run did, and what it must count for the deletion guard.
struct LiveRun {
  std::size_t done = 0;     // changes handled (applied or skipped by the rules)
  std::size_t removed = 0;  // departments and accounts removed
};

// Results of SyncEngine::ApplyLiveChanges.
inline constexpr int kLiveApplied = 1;
inline constexpr int kLiveFailed = 0;  // logged; the changes after run.done were not applied
inline constexpr int kLiveRetry = -1;  // run lock held elsewhere or the IM server silent

// Remembers where each entry of the search is (by entryUUID, or DN where the server gives
// none), so that a rename, a move or a deletion, which the directory pushes as the entry's
// new state only, can be told from where it was.
class LiveEntryTracker {
 public:
  // `account_attribute`: the directory attribute UserProperty maps to "uid".
  explicit LiveEntryTracker(std::string account_attribute)
      : account_attribute_(std::move(account_attribute)) {}

  // Forgets everything and knows the entries of `snapshot`.
  void Reset(const std::vector<PushedEntry>& snapshot);
  // The changes the pushed entries stand for, in order; also updates what is known.
  std::vector<LiveChange> Translate(const std::vector<PushedEntry>& entries);
  std::size_t size() const { return known_.size(); }

 private:
  struct Known {
    std::string dn;
    std::string account;  // users only
    bool ou = false;
  };
  static std::string KeyOf(const PushedEntry& entry);
  bool IsUser(const PushedEntry& entry) const;
  static bool IsOu(const PushedEntry& entry);
  static bool IsGroup(const PushedEntry& entry);
  std::string AccountOf(const PushedEntry& entry) const;
  // Rewrites the known DNs below `old_dn` to lie below `new_dn`.
  void Rebase(const std::string& old_dn, const std::string& new_dn);

  std::string account_attribute_;
  std::unordered_map<std::string, Known> known_;
};

}  // namespace norvane

#endif  // NORVANE_SYNC_LIVE_APPLY_H_
