// The pure parts of live sync: when a debounced update is due, and how pushed entries become
// changes.
#include <gtest/gtest.h>

#include "app/live_sync.h"
#include "sync/live_apply.h"

namespace norvane {
namespace {

using Clock = LiveDebounce::Clock;
using std::chrono::milliseconds;

TEST(LiveDebounceTest, QuietAfterABurstAndBoundedDuringAStream) {
  LiveDebounce d;
  EXPECT_FALSE(d.Due());
  const Clock::time_point t0 = Clock::now();
  d.Note(t0);
  d.Note(t0 + milliseconds(200));
  EXPECT_EQ(*d.Due(), t0 + milliseconds(500));  // quiet after the last of the burst
  for (int i = 1; i <= 20; ++i) d.Note(t0 + milliseconds(100 * i));
  EXPECT_EQ(*d.Due(), t0 + milliseconds(1000));  // a steady stream: bounded from the first
  d.Started(t0 + milliseconds(1000));
  EXPECT_FALSE(d.Due());
  d.Finished(t0 + milliseconds(1800));
  // Read just after the run: it came during it, so the bound counts from the run's start.
  d.Note(t0 + milliseconds(1850));
  EXPECT_EQ(*d.Due(), t0 + milliseconds(2000));
  d.Started(t0 + milliseconds(2000));
  d.Finished(t0 + milliseconds(2100));
  d.Note(t0 + milliseconds(5000));  // later, on its own: a burst of its own
  EXPECT_EQ(*d.Due(), t0 + milliseconds(5300));
}

PushedEntry Entry(PushedEntry::State state, std::string uuid, std::string dn,
                  std::vector<std::string> classes, EntryAttributes attributes = {}) {
  PushedEntry e;
  e.state = state;
  e.uuid = std::move(uuid);
  e.dn = std::move(dn);
  e.object_classes = std::move(classes);
  e.attributes = std::move(attributes);
  return e;
}

TEST(LiveEntryTrackerTest, RenamesMovesAndDeletionsAreToldFromWhereTheEntryWas) {
  using S = PushedEntry::State;
  using K = LiveChange::Kind;
  LiveEntryTracker tracker("uid");
  tracker.Reset({Entry(S::kPresent, "u-ou", "ou=East,ou=Sales,o=corp", {"organizationalUnit"},
                       {{"ou", "East"}}),
                 Entry(S::kPresent, "u-bob", "uid=bob,ou=East,ou=Sales,o=corp", {"inetOrgPerson"},
                       {{"uid", "bob"}})});
  std::vector<LiveChange> changes = tracker.Translate(
      {Entry(S::kModified, "u-ou", "ou=Oriental,ou=Sales,o=corp", {"organizationalUnit"},
             {{"ou", "Oriental"}}),
       // The user's DN changed with its OU; deleting it names the new place.
       Entry(S::kDeleted, "u-bob", "", {}),
       Entry(S::kAdded, "u-new", "uid=new,ou=Sales,o=corp", {"inetOrgPerson"}, {{"uid", "new"}}),
       Entry(S::kModified, "u-new", "uid=new,ou=Sales,o=corp", {"inetOrgPerson"}, {}),
       Entry(S::kModified, "u-grp", "cn=g,o=corp", {"groupOfNames"})});
  ASSERT_EQ(changes.size(), 5u);
  EXPECT_EQ(changes[0].kind, K::kDept);
  EXPECT_EQ(changes[0].old_dn, "ou=East,ou=Sales,o=corp");
  EXPECT_EQ(changes[1].kind, K::kUserGone);
  EXPECT_EQ(changes[1].account, "bob");
  EXPECT_EQ(changes[1].dn, "uid=bob,ou=Oriental,ou=Sales,o=corp");
  EXPECT_EQ(changes[2].kind, K::kUser);
  EXPECT_EQ(changes[2].account, "new");
  EXPECT_EQ(changes[3].kind, K::kUserGone);  // lost its uid: no user any more
  EXPECT_EQ(changes[3].account, "new");
  EXPECT_EQ(changes[4].kind, K::kReimport);
}

}  // namespace
}  // namespace norvane
