// The directory layer against a real slapd, in both roles of the other LDAP servers:
// type 1 (simple bind) and type 2 (DIGEST-MD5, accounts looked up by uid).
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "directory/dn_text.h"
#include "directory/ldap_client.h"
#include "directory/notification_search.h"
#include "platform/text.h"
#include "tests/directory/directory_test_support.h"
#include "tests/fixtures/slapd_fixture.h"

namespace norvane {
namespace {

using testing::DirectoryTestBase;
using testing::LogCapture;
using testing::Params;
using testing::Slapd;

class SlapdDirectoryTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { slapd_ = testing::StartSuiteSlapd(); }
  static void TearDownTestSuite() {
    delete slapd_;
    slapd_ = nullptr;
  }
  void SetUp() override {
    ASSERT_NE(slapd_, nullptr);
    SelectLibrary(1);
  }
  void TearDown() override { SetOperationTimeout(kOperationTimeoutSeconds); }

  LdapServerParams Admin() const {
    return Params(slapd_->host(), slapd_->port(), "o=corp", slapd_->admin_dn(),
                  slapd_->admin_password());
  }
  LdapServerParams DigestAdmin() const {
    return Params(slapd_->host(), slapd_->port(), "o=corp", slapd_->admin_uid(),
                  slapd_->admin_password());
  }

  static Slapd* slapd_;
  DirectoryTestBase base_;
  LogCapture log_;
  CLdapClient client_;
};

Slapd* SlapdDirectoryTest::slapd_ = nullptr;

// Walks a result to its end; the number of entries seen.
int Walk(CLdapClient& client, LdapConnection* connection, LdapResult* result) {
  int n = 0;
  for (LdapEntry* e = client.FirstEntry(connection, result); e; e = client.NextEntry(connection, e))
    ++n;
  return n;
}

TEST_F(SlapdDirectoryTest, SimpleAndDigestBindsConnect) {
  LdapConnection* c = client_.Connect(Admin());
  ASSERT_NE(c, nullptr) << log_.All();
  EXPECT_TRUE(log_.Has("LDAPServer IP=127.0.0.1,PORT=" + std::to_string(slapd_->port())));
  EXPECT_EQ(client_.Disconnect(c), 0);

  SelectLibrary(2);
  c = client_.Connect(DigestAdmin());
  ASSERT_NE(c, nullptr) << log_.All();
  LdapResult* r = client_.Search(c, "o=corp", "(uid=alice)", "*");
  ASSERT_NE(r, nullptr);
  client_.FreeResult(r);
  EXPECT_EQ(client_.Disconnect(c), 0);
  EXPECT_EQ(client_.Disconnect(nullptr), -1);
}

TEST_F(SlapdDirectoryTest, WrongPasswordsFailWithTheirLinesAndNeverLogThePassword) {
  LdapServerParams p = Admin();
  p.admin_password = "Wrong-Secret-1";
  EXPECT_EQ(client_.Connect(p), nullptr);
  EXPECT_TRUE(log_.Has("bind failed ErrInfo=Invalid credentials")) << log_.All();

  SelectLibrary(2);
  log_.Clear();
  p = DigestAdmin();
  p.admin_password = "Wrong-Secret-2";
  EXPECT_EQ(client_.Connect(p), nullptr);
  EXPECT_TRUE(log_.Has("ldap_bind_digest_md5_finish failed ErrInfo=Invalid credentials dn=" +
                       slapd_->admin_uid() + ",pwd=***"))
      << log_.All();
  EXPECT_EQ(log_.All().find("Wrong-Secret"), std::string::npos);

  // An empty password is never sent: slapd would take it for an anonymous login.
  SelectLibrary(1);
  p = Admin();
  p.admin_password = "";
  EXPECT_EQ(client_.Connect(p), nullptr);
  p.admin_account = "";
  EXPECT_EQ(client_.Connect(p), nullptr);
}

TEST_F(SlapdDirectoryTest, UnreachableAndStalledServersFailWithinTheirTimeLimits) {
  LdapServerParams p = Admin();
  p.server_port = static_cast<std::uint16_t>(testing::ClosedPort());
  EXPECT_EQ(client_.Connect(p), nullptr);
  EXPECT_TRUE(log_.Has("bind failed ErrInfo=Can't contact LDAP server")) << log_.All();
  EXPECT_EQ(client_.VerifyByDirectoryBind("127.0.0.1", p.server_port, slapd_->admin_dn(), "x"),
            kVerifyCannotConnect);
  // Live sync's search says why, in words an administrator reads.
  NotificationSearch search;
  LdapServerParams wrong = Admin();
  wrong.admin_password = "not-the-password";
  EXPECT_EQ(search.Open(p, "o=corp", "", {}), NotificationKind::kNone);
  EXPECT_EQ(search.Open(wrong, "o=corp", "", {}), NotificationKind::kNone);
  EXPECT_TRUE(log_.Has(" o=corp: 服务器未应答或拒绝连接 (错误 -1)") &&
              log_.Has(" o=corp: 管理员账号或密码错误 (错误 49)"))
      << log_.All();
  p.server_ip = "no-such-host.invalid";
  EXPECT_EQ(client_.Connect(p), nullptr);
  EXPECT_EQ(client_.VerifyByDomainBind("no-such-host.invalid", 389, "", "a", "b"),
            kVerifyCannotConnect);

  // A server that accepts the connection and then says nothing.
  testing::SilentServer silent;
  SetOperationTimeout(2);
  p = Admin();
  p.server_port = static_cast<std::uint16_t>(silent.port());
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(client_.Connect(p), nullptr);
  EXPECT_NE(client_.VerifyByDirectoryBind("127.0.0.1", p.server_port, slapd_->admin_dn(), "x"), 0);
  SelectLibrary(0);  // the Active Directory role asks the root DSE first
  EXPECT_EQ(client_.Connect(p), nullptr);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}

TEST_F(SlapdDirectoryTest, SearchPagesPastTheServerSizeLimit) {
  LdapConnection* c = client_.Connect(Admin());
  ASSERT_NE(c, nullptr);
  int code = -100;
  LdapResult* r = client_.Search(c, "o=corp", UserFilter(1), "uid", &code);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(code, 0);
  EXPECT_LE(client_.CountEntries(c, r), kPageSize);  // one page held at a time
  EXPECT_GT(Walk(client_, c, r), 600);               // the 600 staff and the seeded users
  EXPECT_TRUE(CLdapClient::IsComplete(r));
  EXPECT_EQ(CLdapClient::ResultCode(r), 0);
  client_.FreeResult(r);

  DeptParentMap parents;
  EXPECT_EQ(client_.ScanDeptParents(c, "o=corp", kLdapOuFilter, "*", "dn", parents), 0);
  EXPECT_EQ(parents["ou=East,ou=Sales,o=corp"], "ou=Sales,o=corp");
  EXPECT_EQ(client_.ScanDeptParents(c, "", kLdapOuFilter, "*", "dn", parents), -2);
  EXPECT_EQ(client_.ScanDeptParents(c, "o=corp", "(ou=nothing-here)", "*", "dn", parents), -1);
  client_.Disconnect(c);
}

TEST_F(SlapdDirectoryTest, ServerLostBetweenPagesMakesTheReadIncomplete) {
  Slapd own;
  ASSERT_TRUE(own.Start());
  LdapConnection* c = client_.Connect(
      Params(own.host(), own.port(), "o=corp", own.admin_dn(), own.admin_password()));
  ASSERT_NE(c, nullptr);
  LdapResult* r = client_.Search(c, "o=corp", UserFilter(1), "*");
  ASSERT_NE(r, nullptr);
  const int first_page = client_.CountEntries(c, r);
  LdapEntry* e = client_.FirstEntry(c, r);
  for (int i = 1; i < first_page; ++i) e = client_.NextEntry(c, e);
  ASSERT_NE(e, nullptr);
  own.Stop();
  EXPECT_EQ(client_.NextEntry(c, e), nullptr);
  EXPECT_FALSE(CLdapClient::IsComplete(r));
  EXPECT_NE(CLdapClient::ResultCode(r), 0);
  EXPECT_TRUE(log_.Has("Can't contact LDAP server")) << log_.All();
  client_.FreeResult(r);
  client_.Disconnect(c);
}

TEST_F(SlapdDirectoryTest, EmptyMalformedAndUnmatchedFilters) {
  LdapConnection* c = client_.Connect(Admin());
  ASSERT_NE(c, nullptr);
  log_.Clear();
  int code = 0;
  EXPECT_EQ(client_.Search(c, "o=corp", "", "*", &code), nullptr);
  EXPECT_NE(code, 0);
  EXPECT_EQ(client_.Search(c, "o=corp", "(uid=*", "*", &code), nullptr);
  EXPECT_NE(code, 0);
  EXPECT_TRUE(log_.Has("Bad search filter")) << log_.All();
  log_.Clear();
  EXPECT_EQ(client_.Search(c, "o=corp", "(uid=nobody-at-all)", "*", &code), nullptr);
  EXPECT_EQ(code, 0);
  EXPECT_TRUE(log_.Lines().empty()) << log_.All();
  EXPECT_EQ(client_.Search(nullptr, "o=corp", "(uid=*)", "*"), nullptr);
  EXPECT_EQ(client_.CountEntries(nullptr, nullptr), -1);
  client_.Disconnect(c);
}

TEST_F(SlapdDirectoryTest, EntriesInChineseWithEscapedCommasAndBinaryValues) {
  LdapConnection* c = client_.Connect(Admin());
  ASSERT_NE(c, nullptr);
  LdapResult* r = client_.Search(c, "o=corp", "(ou=销售二部)", "*");
  ASSERT_NE(r, nullptr);
  EntryAttributes a;
  ASSERT_EQ(client_.ReadEntry(c, client_.FirstEntry(c, r), a), 0);
  EXPECT_EQ(a["dn"], "ou=销售二部,ou=Sales,o=corp");
  EXPECT_EQ(a["ou"], "销售二部");
  // Only the first value of a multi-valued attribute is kept on this server type.
  EXPECT_EQ(a["objectClass"].find(';'), std::string::npos);
  EXPECT_FALSE(a["objectClass"].empty());
  client_.FreeResult(r);
  EXPECT_EQ(client_.ReadEntry(c, nullptr, a), -1);

  std::string dn = "unchanged";
  EXPECT_EQ(client_.FindAccountDn(c, EqualityFilter("uid", "rdlee"), dn), 0);
  std::string parent;
  ASSERT_TRUE(ParentDnOf(dn, parent)) << dn;
  EXPECT_EQ(ToLowerAscii(parent), "ou=research\\2c development,o=corp");

  // Escaped values match only themselves.
  dn = "unchanged";
  EXPECT_EQ(client_.FindAccountDn(c, EqualityFilter("uid", "*"), dn), 0);
  EXPECT_EQ(client_.FindAccountDn(c, EqualityFilter("uid", "a)(uid=*"), dn), 0);
  EXPECT_EQ(dn, "unchanged");

  // A binary value (NUL and bytes that are not UTF-8) reads without harm.
  ASSERT_TRUE(slapd_->Modify(
      "dn: uid=alice,ou=Sales,o=corp\nchangetype: modify\nadd: jpegPhoto\njpegPhoto:: "
      "/9j/AGFiYw==\n"));
  r = client_.Search(c, "o=corp", "(uid=alice)", "*");
  ASSERT_NE(r, nullptr);
  ASSERT_EQ(client_.ReadEntry(c, client_.FirstEntry(c, r), a), 0);
  EXPECT_EQ(a["jpegPhoto"], "???");  // ff d8 ff, then a NUL ends the text
  client_.FreeResult(r);
  client_.Disconnect(c);
}

TEST_F(SlapdDirectoryTest, PagedSearchIsForActiveDirectoryOnly) {
  LdapConnection* c = client_.Connect(Admin());
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(client_.BeginPagedSearch(c, "o=corp", UserFilter(1), {}, 2), nullptr);
  LdapResult* page = nullptr;
  EXPECT_EQ(client_.NextPage(c, nullptr, &page), 0);
  EXPECT_EQ(client_.EndPagedSearch(c, nullptr), 0);
  client_.Disconnect(c);
}

TEST_F(SlapdDirectoryTest, PagedReadFollowsItsConnectionNotTheProcessWideType) {
  // A type 0 connection (slapd answers the paged-results control as the domain would).
  SelectLibrary(0);
  LdapConnection* c = client_.Connect(Admin());
  ASSERT_NE(c, nullptr) << log_.All();
  LdapPage* page = client_.BeginPagedSearch(c, "o=corp", UserFilter(1), {}, 2);
  ASSERT_NE(page, nullptr);
  SelectLibrary(1);  // another component re-initialises while the read runs
  int code = 0;
  int entries = 0;
  for (int pages = 0; pages < 100; ++pages) {
    LdapResult* result = nullptr;
    code = client_.NextPage(c, page, &result);
    if (code != 0 || !result) {
      if (result) client_.FreeResult(result);
      break;
    }
    entries += client_.CountEntries(c, result);
    client_.FreeResult(result);
  }
  EXPECT_EQ(code, kLdapNoMoreResults);
  EXPECT_EQ(entries, 606);
  EXPECT_TRUE(CLdapClient::IsComplete(page));
  EXPECT_EQ(client_.EndPagedSearch(c, page), 1);
  client_.Disconnect(c);
}

TEST_F(SlapdDirectoryTest, SimpleBindChecksTakeThePasswordExactlyAsTyped) {
  const auto& alice = slapd_->User("alice");
  const std::string host = slapd_->host();
  const auto port = static_cast<std::uint16_t>(slapd_->port());
  EXPECT_EQ(client_.VerifyByDirectoryBind(host, port, alice.dn, alice.password), 0);
  EXPECT_EQ(client_.VerifyByDomainBind(host, port, "", alice.dn, alice.password), 0);
  log_.Clear();
  EXPECT_EQ(client_.VerifyByDirectoryBind(host, port, alice.dn, "Not-Her-Pass"),
            kLdapInvalidCredentials);
  EXPECT_TRUE(log_.Has("Invalid credentials"));
  EXPECT_EQ(log_.All().find("Not-Her-Pass"), std::string::npos);
  // Empty DN or password: never an anonymous bind.
  EXPECT_EQ(client_.VerifyByDirectoryBind(host, port, "", ""), kLdapInvalidCredentials);
  EXPECT_EQ(client_.VerifyByDirectoryBind(host, port, alice.dn, ""), kLdapInvalidCredentials);
  EXPECT_EQ(client_.VerifyByDomainBind(host, port, "", "", ""), kLdapInvalidCredentials);

  ASSERT_TRUE(
      slapd_->Modify("dn: uid=bob,ou=East,ou=Sales,o=corp\nchangetype: modify\n"
                     "replace: userPassword\nuserPassword:: IHR3byAgYmxhbmtzIA==\n"));
  const std::string bob = "uid=bob,ou=East,ou=Sales,o=corp";
  EXPECT_EQ(client_.VerifyByDirectoryBind(host, port, bob, " two  blanks "), 0);
  EXPECT_EQ(client_.VerifyByDomainBind(host, port, "", bob, " two  blanks "), 0);
  EXPECT_EQ(client_.VerifyByDirectoryBind(host, port, bob, "two blanks"), kLdapInvalidCredentials);
}

TEST_F(SlapdDirectoryTest, DigestChecksLookTheAccountUpAndReconnectWhenLost) {
  SelectLibrary(2);
  Slapd first;
  ASSERT_TRUE(first.Start());
  base_.WriteSysConfig(2, first.host(), first.port(), "o=corp", first.admin_uid(),
                       first.admin_password());
  std::string dn;
  client_.LookupAccountDn("alice", dn);
  EXPECT_EQ(dn, "uid=alice,ou=Sales,o=corp");
  const auto port = static_cast<std::uint16_t>(first.port());
  EXPECT_EQ(client_.VerifyByDirectoryBind(first.host(), port, "alice", "alice-pass"), 0);
  EXPECT_EQ(client_.VerifyByDirectoryBind(first.host(), port, "alice", "bad"),
            kLdapInvalidCredentials);
  // Unknown and wildcard accounts find no DN, so nothing is bound.
  EXPECT_EQ(client_.VerifyByDirectoryBind(first.host(), port, "nobody", "alice-pass"),
            kLdapInvalidCredentials);
  EXPECT_EQ(client_.VerifyByDirectoryBind(first.host(), port, "*", "alice-pass"),
            kLdapInvalidCredentials);
  EXPECT_EQ(client_.VerifyByDomainBind(first.host(), port, "", "a*", "alice-pass"),
            kLdapInvalidCredentials);
  dn = "unchanged";
  client_.LookupAccountDn("a)(uid=*", dn);
  EXPECT_EQ(dn, "unchanged");

  // Two bases: each is searched for the account, and the DN comes back exactly as the
  // server wrote it (an escaped comma and the blank after it belong to the value).
  base_.WriteSysConfig(2, first.host(), first.port(), "o=corp;o=nds", first.admin_uid(),
                       first.admin_password());
  dn.clear();
  client_.LookupAccountDn("jsmith", dn);
  EXPECT_EQ(dn, "cn=Smith\\2C John,ou=IT,ou=HQ,o=nds");
  EXPECT_EQ(client_.VerifyByDirectoryBind(first.host(), port, "jsmith", "jsmith-pass"), 0);

  // The shared connection dies with its server; the next lookup opens a new one.
  first.Stop();
  Slapd second;
  ASSERT_TRUE(second.Start());
  base_.WriteSysConfig(2, second.host(), second.port(), "o=corp", second.admin_uid(),
                       second.admin_password());
  dn.clear();
  client_.LookupAccountDn("bob", dn);
  EXPECT_EQ(dn, "uid=bob,ou=East,ou=Sales,o=corp");
}

}  // namespace
}  // namespace norvane
