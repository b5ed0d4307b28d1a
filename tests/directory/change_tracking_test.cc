// Classification of change rows and the per-domain USN store.
#include "directory/change_tracking.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/paths.h"
#include "platform/registry_store.h"

namespace norvane {
namespace {

ChangeRow User(std::string account, std::string uac, std::int64_t created, std::int64_t changed) {
  ChangeRow row;
  row.account = std::move(account);
  row.distinguished_name = "CN=" + row.account + ",OU=Sales,DC=corp";
  row.user_account_control = std::move(uac);
  row.usn_created = created;
  row.usn_changed = changed;
  return row;
}

TEST(MergeChangeRowTest, UsersAreNewChangedOrDeleted) {
  std::vector<ChangedUser> users;
  std::vector<ChangedDept> depts;
  MergeChangeRow(User("new", "512", 150, 151), true, 100, users, depts);
  MergeChangeRow(User("old", "512", 50, 160), true, 100, users, depts);
  MergeChangeRow(User("off", "514", 50, 170), true, 100, users, depts);
  MergeChangeRow(User("neverexp", "66050", 50, 171), true, 100, users, depts);
  MergeChangeRow(User("nopwd", "546", 150, 172), true, 100, users, depts);
  MergeChangeRow(User("expires", "66048", 50, 173), true, 100, users, depts);
  ChangeRow gone = User("gone", "512", 50, 180);
  gone.is_deleted = true;
  MergeChangeRow(gone, true, 100, users, depts);
  ASSERT_EQ(users.size(), 7u);
  EXPECT_EQ(users[0].kind, kChangeCreated);
  EXPECT_EQ(users[1].kind, kChangeChanged);
  // Any value with the disabled bit (0x2) is a disabled account.
  EXPECT_EQ(users[2].kind, kChangeDeleted);
  EXPECT_EQ(users[3].kind, kChangeDeleted);
  EXPECT_EQ(users[4].kind, kChangeDeleted);
  EXPECT_EQ(users[5].kind, kChangeChanged);  // 0x10000 alone: password never expires
  EXPECT_EQ(users[6].kind, kChangeDeleted);
  EXPECT_TRUE(depts.empty());
}

TEST(MergeChangeRowTest, UsnCreatedOnlyCountsInTheChangePass) {
  std::vector<ChangedUser> users;
  std::vector<ChangedDept> depts;
  MergeChangeRow(User("old", "512", 50, 160), false, 100, users, depts);
  ASSERT_EQ(users.size(), 1u);
  EXPECT_EQ(users[0].kind, kChangeCreated);
}

TEST(MergeChangeRowTest, AUserSeenTwiceKeepsTheHigherUsn) {
  std::vector<ChangedUser> users;
  std::vector<ChangedDept> depts;
  MergeChangeRow(User("bob", "512", 50, 200), true, 100, users, depts);
  MergeChangeRow(User("bob", "512", 50, 150), true, 100, users, depts);  // older: dropped
  ASSERT_EQ(users.size(), 1u);
  EXPECT_EQ(users[0].usn, 200);
  ChangeRow later = User("BOB", "514", 50, 300);
  later.distinguished_name = "CN=bob,OU=East,DC=corp";
  MergeChangeRow(later, true, 100, users, depts);
  ASSERT_EQ(users.size(), 1u);
  EXPECT_EQ(users[0].usn, 300);
  EXPECT_EQ(users[0].kind, kChangeDeleted);
  EXPECT_EQ(users[0].dn, "CN=bob,OU=East,DC=corp");
  // Usns beyond 32 bits compare as numbers.
  MergeChangeRow(User("big", "512", 5000000000LL, 5000000001LL), true, 4294967296LL, users, depts);
  EXPECT_EQ(users.back().kind, kChangeCreated);
  EXPECT_EQ(users.back().usn, 5000000001LL);
}

TEST(MergeChangeRowTest, UsersWithoutAccountAreDropped) {
  std::vector<ChangedUser> users;
  std::vector<ChangedDept> depts;
  MergeChangeRow(User("", "512", 1, 2), true, 0, users, depts);
  EXPECT_TRUE(users.empty());
}

TEST(MergeChangeRowTest, OrganisationalUnitsLiveAndDeleted) {
  std::vector<ChangedUser> users;
  std::vector<ChangedDept> depts;
  ChangeRow live;
  live.distinguished_name = "OU=Smith\\, Sales,OU=Corp,DC=corp";
  live.usn_created = 10;
  live.usn_changed = 300;
  MergeChangeRow(live, true, 100, users, depts);
  ChangeRow dead;
  dead.distinguished_name = "OU=East\\0ADEL:0f0e,CN=Deleted Objects,DC=corp";
  dead.last_known_parent = "OU=Sales,OU=Corp,DC=corp";
  dead.is_deleted = true;
  MergeChangeRow(dead, false, 100, users, depts);
  ChangeRow container;  // not an OU: no department
  container.distinguished_name = "CN=Sales Team,OU=Groups,DC=corp";
  MergeChangeRow(container, true, 100, users, depts);
  ASSERT_EQ(depts.size(), 2u);
  EXPECT_EQ(depts[0].name, "Smith, Sales");
  EXPECT_EQ(depts[0].parent_dn, "OU=Corp,DC=corp");
  EXPECT_EQ(depts[0].kind, kChangeChanged);
  EXPECT_EQ(depts[1].name, "East");
  EXPECT_EQ(depts[1].parent_dn, "OU=Sales,OU=Corp,DC=corp");
  EXPECT_EQ(depts[1].kind, kChangeDeleted);
  EXPECT_TRUE(users.empty());
}

class UsnStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/norvane-usn-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    SetBaseFolder(dir_);
  }
  void TearDown() override {
    SetBaseFolder("");
    std::filesystem::remove_all(dir_);
  }
  std::string dir_;
};

TEST_F(UsnStoreTest, NumbersRoundTripPerDomainAndSurviveLargeValues) {
  EXPECT_EQ(ReadPreviousHighUsn("DC=corp,DC=example,DC=com"), 0);
  EXPECT_EQ(ReadPreviousInvocationId("DC=corp,DC=example,DC=com"), "");
  ASSERT_TRUE(WritePreviousHighUsn("DC=corp,DC=example,DC=com", 6000000000LL));
  ASSERT_TRUE(WritePreviousHighUsn("DC=other", 42));
  ASSERT_TRUE(WritePreviousInvocationId("DC=corp,DC=example,DC=com", "00ff"));
  EXPECT_EQ(ReadPreviousHighUsn("DC=corp,DC=example,DC=com"), 6000000000LL);
  EXPECT_EQ(ReadPreviousHighUsn("DC=other"), 42);
  EXPECT_EQ(ReadPreviousInvocationId("DC=corp,DC=example,DC=com"), "00ff");
  RegistryStore store;
  EXPECT_EQ(
      store.ReadValue("Software\\Microsoft\\Windows LDAP-Synchro-USN\\DC=other", "PreviousHighUSN"),
      "42");
}

TEST_F(UsnStoreTest, UnreadableValuesReadAsZero) {
  RegistryStore store;
  ASSERT_TRUE(store.WriteValue(UsnRegistryKey("DC=x"), "PreviousHighUSN", "junk"));
  EXPECT_EQ(ReadPreviousHighUsn("DC=x"), 0);
  ASSERT_TRUE(store.WriteValue(UsnRegistryKey("DC=x"), "PreviousHighUSN", "77abc"));
  EXPECT_EQ(ReadPreviousHighUsn("DC=x"), 77);
}

}  // namespace
}  // namespace norvane
