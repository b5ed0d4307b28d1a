// Live sync from a real Samba AD domain controller: a change notification starts the
// incremental update within seconds; exclusions and the deletion guard hold as in the update;
// a restart of the controller loses nothing.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <thread>

#include "app/live_sync.h"
#include "platform/text.h"
#include "tests/fixtures/samba_fixture.h"
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

class LiveSambaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::signal(SIGPIPE, SIG_IGN);  // as the program does: a dropped connection is an error
    dc_ = SambaDomain::Shared();
    ASSERT_NE(dc_, nullptr);
    setenv("LDAPTLS_CACERT", dc_->ca_file().c_str(), 1);
    ASSERT_TRUE(zeltod_.Start()) << zeltod_.LogText();
  }
  // A fresh OU of the test's own, the only base, holding OU=A with the users `keep`1 and
  // `keep`2 (account names are unique in the domain), OU=B and OU=X (excluded).
  void StartLive(const std::string& ou, const std::string& keep, long delete_threshold) {
    keep1_ = keep + "1";
    keep2_ = keep + "2";
    base_dn_ = "OU=" + ou + "," + dc_->base_dn();
    ASSERT_TRUE(dc_->Modify("dn: " + base_dn_ +
                            "\nchangetype: add\nobjectClass: organizationalUnit\n\n" + Ou("A") +
                            Ou("B") + Ou("X") + User(keep1_, "A") + User(keep2_, "A")));
    ConfigSpec settings = DomainSettings(*dc_);
    settings.dc = base_dn_;
    settings.limit_dc = {"OU=X," + base_dn_};
    settings.delete_threshold = delete_threshold;
    ASSERT_TRUE(base_.WriteConfig(settings, zeltod_));
    live_ = std::make_unique<LiveSync>();
    ASSERT_TRUE(live_->Start());
    ASSERT_TRUE(Eventually(
        [&] {
          auto s = live_->States();
          return s.size() == 1 && s[0].connected && live_->RunsDone() >= 1 && Has(keep1_);
        },
        seconds(60)))
        << LiveSyncStateText(live_->States());
  }
  std::string Ou(const std::string& name) const {
    return "dn: OU=" + name + "," + base_dn_ +
           "\nchangetype: add\nobjectClass: organizationalUnit\n\n";
  }
  std::string User(const std::string& account, const std::string& ou) const {
    // Without a password: an enabled account needs one, so these are added as 512 after.
    return "dn: CN=" + account + ",OU=" + ou + "," + base_dn_ +
           "\nchangetype: add\nobjectClass: user\nsAMAccountName: " + account +
           "\nunicodePwd:: IgBMAGkAdgBlACMAUABhAHMAcwAyADAAMgA2ACIA\nuserAccountControl: 512\n\n";
  }
  bool Has(const std::string& account, const std::string& dept = "") {
    ServerOrg org = DumpOrg(zeltod_);
    auto it = org.users.find(account);
    if (it == org.users.end()) return false;
    return dept.empty() ||
           (it->second.departments.size() == 1 && EqualsNoCase(it->second.departments[0], dept));
  }
  void TearDown() override {
    if (live_) live_->Stop();
    if (HasFailure()) {
      for (const std::string& line : base_.Lines()) std::fprintf(stderr, "%s", line.c_str());
    }
  }

  SambaDomain* dc_ = nullptr;
  Zeltod zeltod_;
  BaseFolderScope base_;
  std::string base_dn_, keep1_, keep2_;
  std::unique_ptr<LiveSync> live_;
};

TEST_F(LiveSambaTest, AddedDisabledMovedAndExcludedWithinSeconds) {
  StartLive("LiveBasic", "lbkeep", -1);
  EXPECT_NE(LiveSyncStateText(live_->States()).find("已连接(更改通知)"), std::string::npos);
  ASSERT_TRUE(dc_->Modify(User("new1", "A") + User("new2", "A")));
  EXPECT_TRUE(Eventually([&] { return Has("new1", "A\\") && Has("new2", "A\\"); }, seconds(10)));
  EXPECT_TRUE(base_.Logged("trigger=live"));
  ASSERT_TRUE(dc_->Modify("dn: CN=new1,OU=A," + base_dn_ +
                          "\nchangetype: modify\nreplace: userAccountControl\n"
                          "userAccountControl: 514\n\n"
                          "dn: CN=new2,OU=A," +
                          base_dn_ + "\nchangetype: modrdn\nnewrdn: CN=new2\ndeleteoldrdn: 1\n" +
                          "newsuperior: OU=B," + base_dn_ + "\n\n" + User("hidden", "X")));
  EXPECT_TRUE(Eventually([&] { return !Has("new1") && Has("new2", "B\\"); }, seconds(10)));
  EXPECT_FALSE(Has("hidden"));

  // A restart of the controller: what changed before the search is open again comes with the
  // catch-up, and later changes are notified again.
  ASSERT_TRUE(dc_->Restart() && dc_->Modify(User("restart1", "A")));
  EXPECT_TRUE(Eventually([&] { return Has("restart1", "A\\"); }, seconds(20)));
  ASSERT_TRUE(Eventually([&] { return live_->States()[0].connected; }, seconds(10)) &&
              dc_->Modify(User("restart2", "B")));
  EXPECT_TRUE(Eventually([&] { return Has("restart2", "B\\"); }, seconds(10)));
}

TEST_F(LiveSambaTest, TheDeletionGuardHoldsForLiveRuns) {
  StartLive("LiveGuard", "lgkeep", 1);
  base_.ClearLines();
  ASSERT_TRUE(dc_->Modify("dn: CN=" + keep1_ + ",OU=A," + base_dn_ + "\nchangetype: delete\n\n" +
                          "dn: CN=" + keep2_ + ",OU=A," + base_dn_ + "\nchangetype: delete\n\n"));
  EXPECT_TRUE(Eventually([&] { return base_.Logged("删除保护"); }, seconds(10)));
  EXPECT_TRUE(Has(keep1_) && Has(keep2_));
}

}  // namespace
}  // namespace norvane::testing
