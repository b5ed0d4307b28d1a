// TLS on the directory connections of every type: StartTLS and LDAPS with a test CA for the
// sync's connection and the login check, untrusted certificates, and RequireTLS against a
// server that has no TLS, judged by the server's own log.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "directory/ldap_client.h"
#include "tests/directory/directory_test_support.h"
#include "tests/fixtures/slapd_fixture.h"

namespace norvane {
namespace {

using testing::DirectoryTestBase;
using testing::LogCapture;
using testing::Params;
using testing::Slapd;

const std::string kAliceDn = "uid=alice,ou=Sales,o=corp";

class DirectoryTlsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    secure_ = new Slapd({.tls_only = true, .ldaps = true});
    plain_ = new Slapd({.stats = true});
    if (!secure_->Start() || !plain_->Start()) TearDownTestSuite();
  }
  static void TearDownTestSuite() {
    delete secure_;
    delete plain_;
    secure_ = plain_ = nullptr;
  }
  void SetUp() override { ASSERT_TRUE(secure_ && plain_); }
  void TearDown() override { SetDirectoryCaFile(""); }

  // The sync's way in for `type`: the administrator's connection and a search on it.
  bool SyncReads(int type, const std::string& host, int port) {
    SelectLibrary(type);
    const std::string account = type == 2 ? secure_->admin_uid() : secure_->admin_dn();
    base_.WriteSysConfig(type, host, port, "o=corp", account, secure_->admin_password());
    LdapConnection* connection =
        client_.Connect(Params(host, port, "o=corp", account, secure_->admin_password()));
    if (!connection) return false;
    LdapResult* result = client_.Search(connection, "o=corp", "(uid=alice)", "");
    const bool found = result && client_.CountEntries(connection, result) == 1;
    client_.FreeResult(result);
    client_.Disconnect(connection);
    return found;
  }
  // The login check for `type`: alice's DN (type 1) or uid (type 2, looked up first).
  int Check(int type, const std::string& host, int port, const std::string& password) {
    SelectLibrary(type);
    return client_.VerifyByDirectoryBind(host, port, type == 2 ? "alice" : kAliceDn, password);
  }

  static Slapd* secure_;  // refuses everything but StartTLS without TLS; LDAPS on 636
  static Slapd* plain_;   // no TLS at all; keeps its stats log
  DirectoryTestBase base_;
  LogCapture log_;
  CLdapClient client_;
};

Slapd* DirectoryTlsTest::secure_ = nullptr;
Slapd* DirectoryTlsTest::plain_ = nullptr;

TEST_F(DirectoryTlsTest, StartTlsAndLdapsCarryTheSyncAndTheLoginCheckOfTypesOneAndTwo) {
  SetDirectoryCaFile(secure_->ca_file());
  struct Endpoint {
    std::string host;
    int port;
  };
  // The server answers nothing but StartTLS in clear: whatever works went over TLS.
  for (const Endpoint& at :
       {Endpoint{secure_->host(), secure_->port()}, Endpoint{secure_->ldaps_host(), 636}}) {
    for (int type : {1, 2}) {
      SCOPED_TRACE(at.host + ":" + std::to_string(at.port) + " type " + std::to_string(type));
      EXPECT_TRUE(SyncReads(type, at.host, at.port)) << log_.All();
      EXPECT_EQ(Check(type, at.host, at.port, "alice-pass"), 0) << log_.All();
      EXPECT_EQ(Check(type, at.host, at.port, "bob-pass"), kLdapInvalidCredentials);
    }
  }
  EXPECT_FALSE(log_.Has("not encrypted")) << log_.All();
}

TEST_F(DirectoryTlsTest, ACertificateOfAnUntrustedCaFailsTheConnect) {
  SetDirectoryCaFile(secure_->other_ca_file());
  EXPECT_FALSE(SyncReads(1, secure_->host(), secure_->port()));
  EXPECT_TRUE(log_.Has("StartTLS with " + secure_->host() + ":" + std::to_string(secure_->port()) +
                       " failed"))
      << log_.All();
  EXPECT_EQ(Check(1, secure_->ldaps_host(), 636, "alice-pass"), kVerifyCannotConnect);
  EXPECT_TRUE(log_.Has("LDAPS connection to " + secure_->ldaps_host() + ":636 failed"))
      << log_.All();
}

TEST_F(DirectoryTlsTest, RequireTlsMakesNoBindAtAllToAServerWithoutTls) {
  // Only what this test sends counts, not the fixture's own probes at start.
  const std::size_t before = plain_->StatsLog().size();
  auto since = [&] { return plain_->StatsLog().substr(before); };
  base_.WriteRequireTls(1);
  for (int type : {0, 1, 2}) {
    SCOPED_TRACE("type " + std::to_string(type));
    SelectLibrary(type);
    EXPECT_EQ(client_.Connect(Params(plain_->host(), plain_->port(), "o=corp", plain_->admin_dn(),
                                     plain_->admin_password())),
              nullptr);
    EXPECT_EQ(Check(type, plain_->host(), plain_->port(), "alice-pass"), kVerifyCannotConnect);
  }
  EXPECT_TRUE(log_.Has("RequireTLS is set and StartTLS with " + plain_->host())) << log_.All();
  // The server saw StartTLS asked for, and nothing else: no bind, no search.
  auto count = [](const std::string& text, const std::string& what) {
    int n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  };
  std::string stats = since();
  for (int i = 0; i < 100 && (count(stats, " ACCEPT ") == 0 ||
                              count(stats, " ACCEPT ") != count(stats, " closed"));
       ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    stats = since();
  }
  EXPECT_NE(stats.find("EXT oid=1.3.6.1.4.1.1466.20037"), std::string::npos) << stats;
  EXPECT_EQ(stats.find(" BIND "), std::string::npos) << stats;
  EXPECT_EQ(stats.find(" SRCH "), std::string::npos) << stats;

  // Without RequireTLS the same server is used in clear, with a warning, and the log shows
  // the bind: the check above would have seen one.
  base_.WriteRequireTls(0);
  EXPECT_EQ(Check(1, plain_->host(), plain_->port(), "alice-pass"), 0);
  EXPECT_TRUE(log_.Has("is not encrypted")) << log_.All();
  for (int i = 0; i < 50 && stats.find(" BIND ") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    stats = since();
  }
  EXPECT_NE(stats.find("BIND dn=\"" + kAliceDn + "\""), std::string::npos) << stats;
}

}  // namespace
}  // namespace norvane
