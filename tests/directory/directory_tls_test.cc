// TLS on the directory connections of every type: StartTLS and LDAPS with a test CA for the
// sync's connection and the login check, untrusted certificates, and RequireTLS against a
// server that has no TLS, judged by the server's own log.
#include <gtest/gtest.h>
#include <ldap.h>

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
using testing::RewritingProxy;
using testing::Slapd;

const std::string kAliceDn = "uid=alice,ou=Sales,o=corp";

class DirectoryTlsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    secure_ = new Slapd({.tls_only = true, .ldaps = true});
    plain_ = new Slapd({.stats = true});
    offering_ = new Slapd({.tls = true, .stats = true});
    if (!secure_->Start() || !plain_->Start() || !offering_->Start()) TearDownTestSuite();
  }
  static void TearDownTestSuite() {
    delete secure_;
    delete plain_;
    delete offering_;
    secure_ = plain_ = offering_ = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(secure_ && plain_ && offering_);
    // As shipped: no plain text unless the configuration says so.
    base_.WriteRequireTls(-1);
  }
  void TearDown() override { SetDirectoryCaFile(""); }

  // The sync's way in for `type`: the administrator's connection and a search on it.
  bool SyncReads(int type, const std::string& host, int port, const Slapd* server = secure_) {
    SelectLibrary(type);
    const std::string account = type == 2 ? server->admin_uid() : server->admin_dn();
    base_.WriteSysConfig(type, host, port, "o=corp", account, server->admin_password());
    LdapConnection* connection =
        client_.Connect(Params(host, port, "o=corp", account, server->admin_password()));
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

  static Slapd* secure_;    // refuses everything but StartTLS without TLS; LDAPS on 636
  static Slapd* plain_;     // no TLS at all; keeps its stats log
  static Slapd* offering_;  // offers StartTLS, answers in clear too; keeps its stats log
  DirectoryTestBase base_;
  LogCapture log_;
  CLdapClient client_;
};

Slapd* DirectoryTlsTest::secure_ = nullptr;
Slapd* DirectoryTlsTest::plain_ = nullptr;
Slapd* DirectoryTlsTest::offering_ = nullptr;

int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

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
  EXPECT_FALSE(log_.Has("未加密")) << log_.All();
}

TEST_F(DirectoryTlsTest, ACertificateOfAnUntrustedCaFailsTheConnect) {
  SetDirectoryCaFile(secure_->other_ca_file());
  EXPECT_FALSE(SyncReads(1, secure_->host(), secure_->port()));
  EXPECT_TRUE(log_.Has("与 " + secure_->host() + ":" + std::to_string(secure_->port()) +
                       " 的 StartTLS 失败"))
      << log_.All();
  EXPECT_EQ(Check(1, secure_->ldaps_host(), 636, "alice-pass"), kVerifyCannotConnect);
  EXPECT_TRUE(log_.Has("与 " + secure_->ldaps_host() + ":636 的 LDAPS 连接失败")) << log_.All();
}

// ldap.conf and LDAPTLS_* set the process defaults; a connection takes every one of them,
// and a context built under other settings is not reused.
TEST_F(DirectoryTlsTest, TheProcessTlsSettingsAreAllHonoured) {
  SetDirectoryCaFile(secure_->ca_file());
  ASSERT_TRUE(SyncReads(1, secure_->host(), secure_->port())) << log_.All();
  struct Setting {
    int option;
    std::string value;
  };
  const std::string crl = secure_->ca_file().substr(0, secure_->ca_file().rfind('/')) +
                          "/revoked-crl.pem";  // made by test_ca.sh beside the CA
  for (const Setting& s :
       {Setting{LDAP_OPT_X_TLS_CIPHER_SUITE, "NONE"}, Setting{LDAP_OPT_X_TLS_CRLFILE, crl}}) {
    SCOPED_TRACE(s.value);
    char* before = nullptr;
    ldap_get_option(nullptr, s.option, &before);
    ASSERT_EQ(ldap_set_option(nullptr, s.option, s.value.c_str()), LDAP_OPT_SUCCESS);
    EXPECT_FALSE(SyncReads(1, secure_->host(), secure_->port()));
    EXPECT_EQ(Check(1, secure_->host(), secure_->port(), "alice-pass"), kVerifyCannotConnect);
    ldap_set_option(nullptr, s.option, before);
    if (before) ldap_memfree(before);
  }
  EXPECT_TRUE(SyncReads(1, secure_->host(), secure_->port())) << log_.All();
}

// A proxy that hides StartTLS in the root entry (read in clear, so anyone on the path can
// forge it) must not get a plain connection: with RequireTLS absent, StartTLS is asked for
// anyway, before anything is read or bound.
TEST_F(DirectoryTlsTest, AForgedRootEntryDoesNotStripStartTls) {
  SetDirectoryCaFile(offering_->ca_file());
  RewritingProxy proxy(offering_->port(), "1.3.6.1.4.1.1466.20037", "1.3.6.1.4.1.1466.29999");
  const std::size_t before = offering_->StatsLog().size();
  for (int type : {1, 2}) {
    SCOPED_TRACE("type " + std::to_string(type));
    EXPECT_TRUE(SyncReads(type, "127.0.0.1", proxy.port(), offering_)) << log_.All();
    EXPECT_EQ(Check(type, "127.0.0.1", proxy.port(), "alice-pass"), 0) << log_.All();
  }
  std::string stats;
  for (int i = 0; i < 100; ++i) {
    stats = offering_->StatsLog().substr(before);
    if (Count(stats, " method=") >= 4) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  // Every connection began with StartTLS.
  EXPECT_GE(Count(stats, " ACCEPT "), 4) << stats;
  EXPECT_EQ(Count(stats, "EXT oid=1.3.6.1.4.1.1466.20037"), Count(stats, " ACCEPT ")) << stats;
  EXPECT_FALSE(log_.Has("未加密")) << log_.All();
}

TEST_F(DirectoryTlsTest, RequireTlsMakesNoBindAtAllToAServerWithoutTls) {
  // Only what this test sends counts, not the fixture's own probes at start.
  const std::size_t before = plain_->StatsLog().size();
  auto since = [&] { return plain_->StatsLog().substr(before); };
  for (int type : {0, 1, 2}) {
    SCOPED_TRACE("type " + std::to_string(type));
    SelectLibrary(type);
    EXPECT_EQ(client_.Connect(Params(plain_->host(), plain_->port(), "o=corp", plain_->admin_dn(),
                                     plain_->admin_password())),
              nullptr);
    EXPECT_EQ(Check(type, plain_->host(), plain_->port(), "alice-pass"), kVerifyCannotConnect);
  }
  EXPECT_TRUE(
      log_.Has("与 " + plain_->host() + ":" + std::to_string(plain_->port()) + " 的 StartTLS 失败"))
      << log_.All();
  EXPECT_TRUE(log_.Has("不建立明文连接")) << log_.All();
  // The server saw StartTLS asked for, and nothing else: no bind, no search.
  std::string stats = since();
  for (int i = 0; i < 100 && (Count(stats, " ACCEPT ") == 0 ||
                              Count(stats, " ACCEPT ") != Count(stats, " closed"));
       ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    stats = since();
  }
  EXPECT_NE(stats.find("EXT oid=1.3.6.1.4.1.1466.20037"), std::string::npos) << stats;
  EXPECT_EQ(stats.find(" BIND "), std::string::npos) << stats;
  EXPECT_EQ(stats.find(" SRCH "), std::string::npos) << stats;

  // With RequireTLS="0" the same server is used in clear, with a warning, and the log shows
  // the bind: the check above would have seen one.
  base_.WriteRequireTls(0);
  EXPECT_EQ(Check(1, plain_->host(), plain_->port(), "alice-pass"), 0);
  EXPECT_TRUE(log_.Has("连接未加密")) << log_.All();
  for (int i = 0; i < 50 && stats.find(" BIND ") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    stats = since();
  }
  EXPECT_NE(stats.find("BIND dn=\"" + kAliceDn + "\""), std::string::npos) << stats;
}

}  // namespace
}  // namespace norvane
