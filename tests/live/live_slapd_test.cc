// Live sync from a real slapd with syncprov into a real zeltod: changes arrive in seconds,
// one entry at a time, and nothing is lost across a directory restart or an IM server outage.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>

#include "app/live_sync.h"
#include "platform/text.h"
#include "tests/fixtures/zeltod_fixture.h"
#include "tests/sync/sync_test_support.h"

namespace norvane::testing {
namespace {

using std::chrono::seconds;

bool Eventually(const std::function<bool()>& check, seconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (check()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return check();
}

std::string UserLdif(const std::string& uid, const std::string& ou) {
  return "dn: uid=" + uid + "," + ou +
         ",o=corp\nchangetype: add\nobjectClass: inetOrgPerson\nuid: " + uid + "\ncn: " + uid +
         " Live\nsn: Live\ntitle: 新员工\n\n";
}

class LiveSlapdTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(slapd_.Start());
    ASSERT_TRUE(zeltod_.Start()) << zeltod_.LogText();
  }
  void StartLive(const ConfigSpec& settings) {
    ASSERT_TRUE(base_.WriteConfig(settings, zeltod_));
    live_ = std::make_unique<LiveSync>();
    ASSERT_TRUE(live_->Start());
    // Connected, and the catch-up import done.
    ASSERT_TRUE(Eventually(
        [&] {
          auto states = live_->States();
          return states.size() == 1 && states[0].connected && live_->RunsDone() >= 1 &&
                 DumpOrg(zeltod_).users.count("alice");
        },
        seconds(60)))
        << LiveSyncStateText(live_->States());
  }
  void TearDown() override {
    if (live_) live_->Stop();
    if (HasFailure()) {
      for (const std::string& line : base_.Lines()) std::fprintf(stderr, "%s", line.c_str());
    }
  }
  bool Has(const std::string& account, const std::string& dept = "") {
    ServerOrg org = DumpOrg(zeltod_);
    auto it = org.users.find(account);
    if (it == org.users.end()) return false;
    return dept.empty() ||
           (it->second.departments.size() == 1 && EqualsNoCase(it->second.departments[0], dept));
  }

  SlapdServer slapd_;
  Zeltod zeltod_;
  BaseFolderScope base_;
  std::unique_ptr<LiveSync> live_;
};

TEST_F(LiveSlapdTest, ChangesArriveInSecondsAndSurviveRestartsAndOutages) {
  ConfigSpec settings = CorpSettings(slapd_);
  settings.limit_dc = {"ou=Engineering,o=corp"};
  StartLive(settings);
  EXPECT_EQ(LiveSyncStateText(live_->States()), "实时同步: o=corp 已连接(refreshAndPersist)");

  // Added, moved, its OU renamed: each within seconds, without a full import.
  base_.ClearLines();
  ASSERT_TRUE(slapd_.Modify(UserLdif("live1", "ou=Sales")));
  EXPECT_TRUE(Eventually([&] { return Has("live1", "SALES\\"); }, seconds(5)));
  ASSERT_TRUE(slapd_.Modify(
      "dn: uid=live1,ou=Sales,o=corp\nchangetype: modrdn\nnewrdn: uid=live1\ndeleteoldrdn: 1\n"
      "newsuperior: ou=East,ou=Sales,o=corp\n"));
  EXPECT_TRUE(Eventually([&] { return Has("live1", "SALES\\EAST\\"); }, seconds(5)));
  ASSERT_TRUE(slapd_.Modify(
      "dn: ou=East,ou=Sales,o=corp\nchangetype: modrdn\nnewrdn: ou=Oriental\ndeleteoldrdn: 1\n"));
  EXPECT_TRUE(Eventually([&] { return Has("bob", "SALES\\ORIENTAL\\"); }, seconds(5)));
  EXPECT_TRUE(Has("live1", "SALES\\ORIENTAL\\"));
  // A change inside the excluded OU touches nothing.
  ASSERT_TRUE(slapd_.Modify(UserLdif("hidden", "ou=Engineering") + UserLdif("seen", "ou=Sales")));
  EXPECT_TRUE(Eventually([&] { return Has("seen"); }, seconds(5)));
  EXPECT_FALSE(Has("hidden"));
  EXPECT_FALSE(base_.Logged("导入LDAP数据成功"));  // entry by entry, no import
  EXPECT_TRUE(base_.Logged("实时同步 (trigger=live) o=corp: 应用"));
  ASSERT_TRUE(slapd_.Modify("dn: uid=live1,ou=Oriental,ou=Sales,o=corp\nchangetype: delete\n"));
  EXPECT_TRUE(Eventually([&] { return !Has("live1"); }, seconds(5)));

  // A restart: what changes right after it comes over with the catch-up import.
  ASSERT_TRUE(slapd_.Restart());
  ASSERT_TRUE(slapd_.Modify(UserLdif("restart1", "ou=Sales") +
                            "dn: uid=seen,ou=Sales,o=corp\nchangetype: delete\n\n"));
  EXPECT_TRUE(Eventually([&] { return Has("restart1", "SALES\\") && !Has("seen"); }, seconds(20)));
  ASSERT_TRUE(Eventually([&] { return live_->States()[0].connected; }, seconds(10)));
  ASSERT_TRUE(slapd_.Modify(UserLdif("restart2", "ou=Sales")));
  EXPECT_TRUE(Eventually([&] { return Has("restart2", "SALES\\"); }, seconds(5)));

  // The IM server away: the change waits and is applied when it returns.
  ASSERT_TRUE(zeltod_.Stop());
  ASSERT_TRUE(slapd_.Modify(UserLdif("outage", "ou=Sales")));
  std::this_thread::sleep_for(seconds(2));
  ASSERT_TRUE(zeltod_.Start()) << zeltod_.LogText();
  EXPECT_TRUE(Eventually([&] { return Has("outage", "SALES\\"); }, seconds(45)));
  live_->Stop();
}

TEST_F(LiveSlapdTest, TheDeletionGuardHoldsForLiveRuns) {
  ConfigSpec settings = CorpSettings(slapd_);
  settings.delete_threshold = 2;
  StartLive(settings);
  base_.ClearLines();
  std::string ldif;
  for (const char* uid : {"staff0001", "staff0002", "staff0003"}) {
    ldif += std::string("dn: uid=") + uid + ",ou=Staff,o=corp\nchangetype: delete\n\n";
  }
  ASSERT_TRUE(slapd_.Modify(ldif));
  EXPECT_TRUE(Eventually([&] { return base_.Logged("删除保护"); }, seconds(5)));
  std::this_thread::sleep_for(seconds(1));
  ServerOrg org = DumpOrg(zeltod_);
  EXPECT_TRUE(org.users.count("staff0001") + org.users.count("staff0002") +
                  org.users.count("staff0003") >
              0);
  live_->Stop();
}

}  // namespace
}  // namespace norvane::testing
