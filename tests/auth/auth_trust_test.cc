// The authentication service end to end where trust is at stake: logins the server has
// given up on are never bound, and with every connection secured (directory TLS only,
// RequireTLS, zeltod over TLS with its credential) the full import and the logins work.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "directory/ldap_client.h"
#include "server/auth_service.h"
#include "sync/sync_engine.h"
#include "tests/auth/auth_test_support.h"
#include "tests/fixtures/slapd_fixture.h"
#include "tests/fixtures/zeltod_fixture.h"

namespace norvane {
namespace {

using testing::AuthBase;
using testing::AuthConfigSpec;
using testing::Login;
using testing::RecordingPrompt;

const std::string kAlice = "uid=alice,ou=Sales,o=corp";
const std::string kBob = "uid=bob,ou=East,ou=Sales,o=corp";

// Lets a stopped slapd go again however the test ends.
struct Resume {
  int pid;
  ~Resume() { kill(pid, SIGCONT); }
};

TEST(AuthDeadline, ALoginTheServerGaveUpOnIsNeverBoundAndFreshOnesAreAnsweredAfterIt) {
  testing::Slapd slapd({.stats = true});
  ASSERT_TRUE(slapd.Start());
  Zeltod zeltod({.login_wait_seconds = 2});
  ASSERT_TRUE(zeltod.Start()) << zeltod.LogText();
  ASSERT_TRUE(testing::AddZeltoUser(zeltod, kAlice, 3));
  ASSERT_TRUE(testing::AddZeltoUser(zeltod, kBob, 3));
  AuthBase base;
  AuthConfigSpec settings;
  settings.ldap_port = slapd.port();
  settings.admin = slapd.admin_dn();
  settings.password = slapd.admin_password();
  ASSERT_TRUE(base.WriteConfig(settings, zeltod));
  RecordingPrompt prompt;
  AuthService service(&prompt);
  ASSERT_EQ(service.Init(), 1);
  ASSERT_EQ(service.Start(), 1);

  {
    // The directory goes silent: alice's check hangs, bob's login queues behind it, and the
    // server gives up on both; each check gives up with it, before any bind.
    ASSERT_EQ(kill(slapd.pid(), SIGSTOP), 0);
    Resume resume{slapd.pid()};
    int alice = -1, bob = -1;
    std::thread first([&] { alice = Login(zeltod, kAlice, "alice-pass"); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::thread second([&] { bob = Login(zeltod, kBob, "bob-pass"); });
    first.join();
    second.join();
    EXPECT_EQ(alice, 1);
    EXPECT_EQ(bob, 1);
  }
  // The directory is back: the fresh login is answered within the server's wait, and the
  // abandoned checks do not bind once it answers again.
  EXPECT_EQ(Login(zeltod, kAlice, "alice-pass"), 0);
  EXPECT_EQ(base.Count("未检查帐号 '" + kAlice + "' 的登录"), 1);
  std::string lines;
  for (const std::string& line : base.Lines()) lines += line;
  EXPECT_EQ(base.Count("未检查帐号 '" + kBob + "' 的登录"), 1) << lines << zeltod.LogText();
  std::string stats = slapd.StatsLog();
  auto binds = [&](const std::string& dn) {
    int n = 0;
    const std::string needle = "BIND dn=\"" + dn + "\" method=";  // one line per bind
    for (auto at = stats.find(needle); at != std::string::npos; at = stats.find(needle, at + 1)) {
      ++n;
    }
    return n;
  };
  EXPECT_EQ(binds(kAlice), 1) << stats;
  EXPECT_EQ(binds(kBob), 0) << stats;
}

// The server's wait travels as a span: neither clock being minutes ahead refuses a login,
// nor keeps a check going after the server gave up on it.
TEST(AuthClock, WithEitherClockMinutesAheadLoginsAreCheckedAndAbandonedOnesAreNot) {
  testing::Slapd slapd({.stats = true});
  ASSERT_TRUE(slapd.Start());
  auto binds = [&] {
    const std::string stats = slapd.StatsLog();
    const std::string needle = "BIND dn=\"" + kAlice + "\" method=";
    int n = 0;
    for (auto at = stats.find(needle); at != std::string::npos; at = stats.find(needle, at + 1)) {
      ++n;
    }
    return n;
  };
  for (int skew : {-300, 300}) {
    SCOPED_TRACE("zeltod's clock " + std::to_string(skew) + " s off");
    Zeltod zeltod({.login_wait_seconds = 2, .clock_skew_seconds = skew});
    ASSERT_TRUE(zeltod.Start()) << zeltod.LogText();
    ASSERT_TRUE(testing::AddZeltoUser(zeltod, kAlice, 3));
    AuthBase base;
    AuthConfigSpec settings;
    settings.ldap_port = slapd.port();
    settings.admin = slapd.admin_dn();
    settings.password = slapd.admin_password();
    ASSERT_TRUE(base.WriteConfig(settings, zeltod));
    RecordingPrompt prompt;
    AuthService service(&prompt);
    ASSERT_EQ(service.Init(), 1);
    ASSERT_EQ(service.Start(), 1);
    const int before = binds();
    EXPECT_EQ(Login(zeltod, kAlice, "alice-pass"), 0);
    EXPECT_EQ(Login(zeltod, kAlice, "bob-pass"), 2);
    {
      ASSERT_EQ(kill(slapd.pid(), SIGSTOP), 0);
      Resume resume{slapd.pid()};
      EXPECT_EQ(Login(zeltod, kAlice, "alice-pass"), 1);
    }
    // Checks run one at a time: this one is answered after the abandoned one has ended.
    EXPECT_EQ(Login(zeltod, kAlice, "alice-pass"), 0);
    // The abandoned check's bind went out at once on the warm connection, before anyone
    // could tell the server had stopped; the server reads it on resuming. Nothing was sent
    // for it after its deadline, and it was not sent again.
    for (int i = 0; i < 100 && binds() - before < 4; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(binds() - before, 4) << zeltod.LogText();
    EXPECT_EQ(base.Count("未检查帐号 '" + kAlice + "' 的登录"), 1);
  }
}

TEST(AuthTls, WithEveryConnectionSecuredTheImportAndTheLoginsWork) {
  testing::Slapd slapd({.tls_only = true});
  ASSERT_TRUE(slapd.Start());
  Zeltod zeltod({.tls = true});
  ASSERT_TRUE(zeltod.Start()) << zeltod.LogText();
  ASSERT_TRUE(testing::AddZeltoUser(zeltod, kAlice, 3));
  SetDirectoryCaFile(slapd.ca_file());
  AuthBase base;
  AuthConfigSpec settings;
  settings.ldap_port = slapd.port();
  settings.admin = slapd.admin_dn();
  settings.password = slapd.admin_password();
  settings.require_tls = 1;
  ASSERT_TRUE(base.WriteConfig(settings, zeltod));

  {
    SyncEngine engine;
    ASSERT_TRUE(engine.EngineInit());
    EXPECT_EQ(engine.SyncOneDC(0), 1);
  }
  std::string out;
  ASSERT_EQ(0, zeltod.Ctl({"dump"}, &out));
  EXPECT_NE(out.find("\"account\": \"carol\""), std::string::npos) << out;

  RecordingPrompt prompt;
  AuthService service(&prompt);
  ASSERT_EQ(service.Init(), 1);
  ASSERT_EQ(service.Start(), 1);
  EXPECT_EQ(Login(zeltod, kAlice, "alice-pass"), 0);
  EXPECT_EQ(Login(zeltod, kAlice, "bob-pass"), 2);
  EXPECT_FALSE(base.Logged("not encrypted"));
  SetDirectoryCaFile("");
}

}  // namespace
}  // namespace norvane
