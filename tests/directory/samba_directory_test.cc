// The directory layer against a real Samba AD domain controller, in the Active Directory
// role (type 0): TLS, binds, paged reads, entry reading, credential checks and change
// tracking.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "directory/change_tracking.h"
#include "directory/dn_text.h"
#include "directory/ldap_client.h"
#include "platform/text.h"
#include "tests/directory/directory_test_support.h"
#include "tests/fixtures/samba_fixture.h"

namespace norvane {
namespace {

using testing::DirectoryTestBase;
using testing::LogCapture;
using testing::Params;
using testing::SambaDomain;

// base64 of the quoted UTF-16LE password, the form unicodePwd takes in LDIF.
std::string UnicodePwd(const std::string& password) {
  std::string raw;
  for (char c : "\"" + password + "\"") {
    raw += c;
    raw += '\0';
  }
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t i = 0; i < raw.size(); i += 3) {
    unsigned v = static_cast<unsigned char>(raw[i]) << 16;
    if (i + 1 < raw.size()) v |= static_cast<unsigned char>(raw[i + 1]) << 8;
    if (i + 2 < raw.size()) v |= static_cast<unsigned char>(raw[i + 2]);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += i + 1 < raw.size() ? kAlphabet[(v >> 6) & 63] : '=';
    out += i + 2 < raw.size() ? kAlphabet[v & 63] : '=';
  }
  return out;
}

class SambaDirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dc_ = SambaDomain::Shared();
    ASSERT_NE(dc_, nullptr);
    SelectLibrary(0);
    SetDirectoryCaFile(dc_->ca_file());
  }
  void TearDown() override { SetDirectoryCaFile(""); }

  LdapServerParams Admin(int port) const {
    return Params(dc_->host(), port, dc_->base_dn(), dc_->admin_account(), dc_->admin_password());
  }
  // Connects as Administrator over StartTLS.
  LdapConnection* ConnectAdmin() {
    LdapConnection* c = client_.Connect(Admin(dc_->port()));
    EXPECT_NE(c, nullptr) << log_.All();
    return c;
  }
  // The attributes of the one entry `filter` finds under the base.
  EntryAttributes ReadOne(LdapConnection* c, const std::string& filter, std::string* raw_dn) {
    EntryAttributes a;
    LdapResult* r = client_.Search(c, dc_->base_dn(), filter, "*");
    EXPECT_NE(r, nullptr) << filter;
    if (!r) return a;
    EXPECT_EQ(client_.CountEntries(c, r), 1);
    LdapEntry* e = client_.FirstEntry(c, r);
    EXPECT_EQ(client_.ReadEntry(c, e, a), 0);
    if (raw_dn) *raw_dn = client_.EntryDn(c, e);
    client_.FreeResult(r);
    return a;
  }

  SambaDomain* dc_ = nullptr;
  DirectoryTestBase base_;
  LogCapture log_;
  CLdapClient client_;
};

TEST_F(SambaDirectoryTest, ConnectsOverStartTlsAndLdaps) {
  LdapConnection* c = ConnectAdmin();
  ASSERT_NE(c, nullptr);
  EXPECT_FALSE(log_.Has("not encrypted")) << log_.All();
  EXPECT_EQ(client_.Disconnect(c), 0);
  c = client_.Connect(Admin(dc_->ldaps_port()));
  ASSERT_NE(c, nullptr) << log_.All();
  EXPECT_EQ(client_.Disconnect(c), 0);
  // The account may also be given as a UPN or a DN.
  LdapServerParams p = Admin(dc_->ldaps_port());
  p.admin_account = dc_->admin_dn();
  c = client_.Connect(p);
  ASSERT_NE(c, nullptr) << log_.All();
  client_.Disconnect(c);
}

TEST_F(SambaDirectoryTest, WrongPasswordAndUntrustedCertificateFailTheConnect) {
  LdapServerParams p = Admin(dc_->port());
  p.admin_password = "Wrong#Pass0";
  EXPECT_EQ(client_.Connect(p), nullptr);
  EXPECT_TRUE(log_.Has("Invalid credentials")) << log_.All();
  EXPECT_EQ(log_.All().find("Wrong#Pass0"), std::string::npos);

  // A CA that did not issue the server's certificate: no fallback to plain text.
  char pattern[] = "/tmp/norvane-otherca-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string dir = pattern;
  const std::string command =
      "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=Other "
      "-keyout " +
      dir + "/k.pem -out " + dir + "/ca.pem >/dev/null 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0);
  SetDirectoryCaFile(dir + "/ca.pem");
  log_.Clear();
  EXPECT_EQ(client_.Connect(Admin(dc_->ldaps_port())), nullptr);
  EXPECT_TRUE(log_.Has("与 127.0.0.1:636 的 LDAPS 连接失败: TLS 握手")) << log_.All();
  EXPECT_EQ(client_.Connect(Admin(dc_->port())), nullptr);
  EXPECT_TRUE(log_.Has("与 127.0.0.1:389 的 StartTLS 失败")) << log_.All();
  const auto& alice = dc_->User("alice");
  EXPECT_EQ(client_.VerifyByDirectoryBind(dc_->host(), static_cast<std::uint16_t>(dc_->port()),
                                          alice.account, alice.password),
            kVerifyCannotConnect);
  std::system(("rm -rf " + dir).c_str());
}

TEST_F(SambaDirectoryTest, EntriesKeepTheirStoredFormsAndExactDns) {
  LdapConnection* c = ConnectAdmin();
  ASSERT_NE(c, nullptr);
  std::string raw;
  EntryAttributes a = ReadOne(c, UserByAccountFilter("jsmith"), &raw);
  EXPECT_EQ(a["dn"], "CN=Smith, John,OU=Sales,OU=Corp," + dc_->base_dn());
  EXPECT_EQ(raw, "CN=Smith\\, John,OU=Sales,OU=Corp," + dc_->base_dn());
  std::string parent;
  ASSERT_TRUE(ParentDnOf(raw, parent));
  EXPECT_EQ(parent, "OU=Sales,OU=Corp," + dc_->base_dn());
  EXPECT_EQ(a["displayName"], "Smith,John");  // blank after the comma removed
  EXPECT_EQ(a["sAMAccountName"], "jsmith");
  EXPECT_TRUE(a.count("objectGUID"));  // binary, read without harm
  EXPECT_TRUE(a.count("objectSid"));

  std::string dn = "unchanged";
  EXPECT_EQ(client_.FindAccountDn(c, AccountFilter("jsmith"), dn), 0);
  EXPECT_EQ(dn, raw);
  dn = "unchanged";
  EXPECT_EQ(client_.FindAccountDn(c, AccountFilter("*"), dn), 0);
  EXPECT_EQ(client_.FindAccountDn(c, AccountFilter("a*"), dn), 0);
  EXPECT_EQ(client_.FindAccountDn(c, AccountFilter("nobody"), dn), 0);
  EXPECT_EQ(dn, "unchanged");
  EXPECT_EQ(client_.Search(c, dc_->base_dn(), UserByAccountFilter("a)(sAMAccountName=*"), "*"),
            nullptr);

  // Chinese names, in the DN and in a filter.
  a = ReadOne(c, "(displayName=张伟)", nullptr);
  EXPECT_EQ(a["dn"], "CN=张伟,OU=销售二部,OU=Sales,OU=Corp," + dc_->base_dn());
  EXPECT_EQ(a["title"], "销售代表");

  // Several values are joined with ";".
  a = ReadOne(c, "(sAMAccountName=sales-team)", nullptr);
  EXPECT_EQ(std::count(a["member"].begin(), a["member"].end(), ';'), 2) << a["member"];
  EXPECT_NE(a["member"].find("CN=Smith,John,OU=Sales"), std::string::npos) << a["member"];
  client_.Disconnect(c);
}

TEST_F(SambaDirectoryTest, WholeDomainReadSkipsReferencesAndOtherNamingContextsFail) {
  LdapConnection* c = ConnectAdmin();
  ASSERT_NE(c, nullptr);
  LdapResult* r = client_.Search(c, dc_->base_dn(), "(objectClass=*)", "objectClass");
  ASSERT_NE(r, nullptr);
  int n = 0;
  for (LdapEntry* e = client_.FirstEntry(c, r); e; e = client_.NextEntry(c, e)) ++n;
  EXPECT_GT(n, 50);
  EXPECT_TRUE(CLdapClient::IsComplete(r));
  client_.FreeResult(r);
  // A base the server does not hold is answered with a referral, which is not chased.
  int code = 0;
  EXPECT_EQ(client_.Search(c, "DC=elsewhere,DC=test", "(objectClass=*)", "*", &code), nullptr);
  EXPECT_NE(code, 0);
  client_.Disconnect(c);
}

TEST_F(SambaDirectoryTest, DigestBindRefusedBeforeTheChallengeLogsBothLines) {
  SelectLibrary(2);  // the domain offers no DIGEST-MD5
  EXPECT_EQ(client_.Connect(Admin(dc_->port())), nullptr);
  EXPECT_TRUE(log_.Has("ldap_bind_digest_md5_start  failed ErrInfo=")) << log_.All();
  EXPECT_TRUE(log_.Has("bind failed ErrInfo=")) << log_.All();
  EXPECT_EQ(log_.All().find(dc_->admin_password()), std::string::npos);
}

TEST_F(SambaDirectoryTest, PagedSearchReadsToTheEndAndSaysSo) {
  LdapConnection* c = ConnectAdmin();
  ASSERT_NE(c, nullptr);
  LdapResult* all = client_.Search(c, dc_->base_dn(), kAdUserFilter, "*");
  ASSERT_NE(all, nullptr);
  int expected = 0;
  for (LdapEntry* e = client_.FirstEntry(c, all); e; e = client_.NextEntry(c, e)) ++expected;
  EXPECT_TRUE(CLdapClient::IsComplete(all));
  client_.FreeResult(all);
  EXPECT_GE(expected, 8);

  LdapPage* page = client_.BeginPagedSearch(c, dc_->base_dn(), kAdUserFilter, {"dn"}, 2);
  ASSERT_NE(page, nullptr);
  int seen = 0;
  int code = 0;
  LdapResult* r = nullptr;
  while ((code = client_.NextPage(c, page, &r)) == 0) {
    const int n = client_.CountEntries(c, r);
    int walked = 0;
    for (LdapEntry* e = client_.FirstEntry(c, r); e; e = client_.NextEntry(c, e)) {
      EntryAttributes a;
      EXPECT_EQ(client_.ReadEntry(c, e, a), 0);
      ++walked;
    }
    EXPECT_EQ(walked, n);
    seen += n;
    client_.FreeResult(r);
  }
  EXPECT_EQ(code, kLdapNoMoreResults);
  EXPECT_EQ(seen, expected);
  EXPECT_TRUE(CLdapClient::IsComplete(page));
  EXPECT_EQ(client_.EndPagedSearch(c, page), 1);

  EXPECT_EQ(client_.BeginPagedSearch(c, dc_->base_dn(), "", {}, 2), nullptr);
  // A malformed filter ends the paged read with an error, not with the end code.
  page = client_.BeginPagedSearch(c, dc_->base_dn(), "(cn=x", {}, 2);
  ASSERT_NE(page, nullptr);
  code = client_.NextPage(c, page, &r);
  EXPECT_NE(code, 0);
  EXPECT_NE(code, kLdapNoMoreResults);
  EXPECT_FALSE(CLdapClient::IsComplete(page));
  client_.EndPagedSearch(c, page);
  client_.Disconnect(c);
}

TEST_F(SambaDirectoryTest, CredentialChecks) {
  LdapConnection* c = ConnectAdmin();  // sets the naming context the checks use
  ASSERT_NE(c, nullptr);
  client_.Disconnect(c);
  const std::string host = dc_->host();
  const auto plain = static_cast<std::uint16_t>(dc_->port());
  const auto ldaps = static_cast<std::uint16_t>(dc_->ldaps_port());
  const auto& alice = dc_->User("alice");
  const auto& carol = dc_->User("carol");

  EXPECT_EQ(client_.VerifyByDirectoryBind(host, ldaps, alice.account, alice.password), 0);
  EXPECT_EQ(client_.VerifyByDirectoryBind(host, plain, alice.account, alice.password), 0);
  log_.Clear();
  EXPECT_EQ(client_.VerifyByDirectoryBind(host, ldaps, alice.account, "Bad#Guess1"),
            kLdapInvalidCredentials);
  EXPECT_TRUE(
      log_.Has("用户帐号:alice登录失败,失败原因:密码错误 (Invalid credentials, data 52e);"
               "其它信息lpsvrIP=" +
               host + ":PORT=636,dc=" + dc_->base_dn()))
      << log_.All();
  EXPECT_EQ(log_.All().find("Bad#Guess1"), std::string::npos);
  EXPECT_EQ(client_.VerifyByDirectoryBind(host, ldaps, alice.account, ""), kLdapInvalidCredentials);
  EXPECT_EQ(client_.VerifyByDirectoryBind(host, ldaps, "", ""), kLdapInvalidCredentials);
  EXPECT_EQ(client_.VerifyByDirectoryBind(host, ldaps, "*", alice.password),
            kLdapInvalidCredentials);

  log_.Clear();
  EXPECT_EQ(client_.VerifyByDomainBind(host, plain, dc_->base_dn(), carol.account, carol.password),
            0);
  EXPECT_TRUE(
      log_.Has("用户登录IP='" + host + "',PORT=389,account='carol',DN='" + dc_->base_dn() + "'"));
  EXPECT_TRUE(log_.Has("设置后Login:lpsvrIP='" + host + "',PORT=389,account='carol',DN='" +
                       dc_->base_dn() + "'"));
  EXPECT_EQ(client_.VerifyByDomainBind(host, plain, dc_->base_dn(), carol.account, "x"),
            kLdapInvalidCredentials);
  EXPECT_EQ(client_.VerifyByDomainBind(host, plain, dc_->base_dn(), carol.account, ""),
            kLdapInvalidCredentials);
  const auto closed = static_cast<std::uint16_t>(testing::ClosedPort());
  EXPECT_EQ(client_.VerifyByDomainBind(host, closed, dc_->base_dn(), "carol", "x"),
            kVerifyCannotConnect);
  EXPECT_EQ(client_.VerifyByDirectoryBind(host, closed, "carol", "x"), kVerifyCannotConnect);

  // A password with blanks at both ends is checked as typed by both checks.
  const std::string blanks = " Blank#Pass9 ";
  ASSERT_TRUE(dc_->Modify("dn: CN=Blank Ends,OU=Corp," + dc_->base_dn() +
                          "\nchangetype: add\nobjectClass: user\nsAMAccountName: blankends\n"
                          "unicodePwd:: " +
                          UnicodePwd(blanks) + "\nuserAccountControl: 512\n"));
  EXPECT_EQ(client_.VerifyByDirectoryBind(host, ldaps, "blankends", blanks), 0);
  EXPECT_EQ(client_.VerifyByDomainBind(host, ldaps, dc_->base_dn(), "blankends", blanks), 0);
  EXPECT_EQ(client_.VerifyByDirectoryBind(host, ldaps, "blankends", "Blank#Pass9"),
            kLdapInvalidCredentials);
  ASSERT_TRUE(
      dc_->Modify("dn: CN=Blank Ends,OU=Corp," + dc_->base_dn() + "\nchangetype: delete\n"));
}

TEST_F(SambaDirectoryTest, ChangeTrackingClassifiesWhatChangedSinceTheStoredUsn) {
  const std::string base = dc_->base_dn();
  const std::string corp = "OU=Corp," + base;
  ASSERT_TRUE(dc_->Modify("dn: OU=Doomed," + corp +
                          "\nchangetype: add\nobjectClass: organizationalUnit\n"));
  LdapConnection* c = ConnectAdmin();
  ASSERT_NE(c, nullptr);
  client_.Disconnect(c);

  RootDseInfo info;
  ASSERT_EQ(client_.ReadRootDse(dc_->host(), 0, dc_->admin_account(), dc_->admin_password(), info),
            0)
      << log_.All();
  EXPECT_EQ(info.default_naming_context, base);
  EXPECT_EQ(info.server_path, "LDAP://" + info.dns_host_name + "/");
  EXPECT_EQ(info.invocation_id.size(), 32u);
  const std::int64_t before = client_.CurrentHighestUsn(base);
  EXPECT_GT(before, 0);
  EXPECT_EQ(CLdapClient::CurrentInvocationId(), info.invocation_id);
  ASSERT_TRUE(WritePreviousHighUsn(base, before));

  ASSERT_TRUE(dc_->Modify(
      "dn: OU=Tracked," + corp + "\nchangetype: add\nobjectClass: organizationalUnit\n\n" +
      "dn: CN=Tracked One,OU=Tracked," + corp +
      // Enabled: without a password and a control value Samba would make it 546, disabled.
      "\nchangetype: add\nobjectClass: user\nsAMAccountName: tracked1\n"
      "userAccountControl: 544\n\n" +
      "dn: CN=Carol King,OU=Engineering," + corp +
      "\nchangetype: modify\nreplace: title\ntitle: Principal Engineer\n\n" +
      "dn: CN=Bob Li,OU=East,OU=Sales," + corp +
      "\nchangetype: modify\nreplace: userAccountControl\nuserAccountControl: 514\n\n" +
      "dn: OU=Doomed," + corp + "\nchangetype: delete\n"));

  std::vector<ChangedUser> users;
  std::vector<ChangedDept> depts;
  const int rc = client_.TrackChanges(ChangeFilter(0, before), base, users, depts);
  EXPECT_GE(rc, 0) << log_.All();
  EXPECT_TRUE(log_.Has("Filter='" + ChangeFilter(0, before) + "',update:LDAP://" + dc_->host() +
                       "/" + base));
  auto user = [&](const std::string& account) -> const ChangedUser* {
    for (const ChangedUser& u : users)
      if (u.account == account) return &u;
    return nullptr;
  };
  auto dept = [&](const std::string& name) -> const ChangedDept* {
    for (const ChangedDept& d : depts)
      if (d.name == name) return &d;
    return nullptr;
  };
  ASSERT_NE(user("tracked1"), nullptr);
  EXPECT_EQ(user("tracked1")->kind, kChangeCreated);
  EXPECT_GT(user("tracked1")->usn, before);
  ASSERT_NE(user("carol"), nullptr);
  EXPECT_EQ(user("carol")->kind, kChangeChanged);
  ASSERT_NE(user("bob"), nullptr);
  EXPECT_EQ(user("bob")->kind, kChangeDeleted);
  EXPECT_EQ(user("alice"), nullptr);  // untouched
  ASSERT_NE(dept("Tracked"), nullptr);
  EXPECT_EQ(dept("Tracked")->kind, kChangeCreated);
  EXPECT_EQ(dept("Tracked")->parent_dn, corp);
  ASSERT_NE(dept("Doomed"), nullptr);
  EXPECT_EQ(dept("Doomed")->kind, kChangeDeleted);
  EXPECT_TRUE(EqualsNoCase(dept("Doomed")->parent_dn, corp)) << dept("Doomed")->parent_dn;

  // Put the shared domain back as the other tests expect it.
  ASSERT_TRUE(dc_->Modify("dn: CN=Bob Li,OU=East,OU=Sales," + corp +
                          "\nchangetype: modify\nreplace: userAccountControl\n"
                          "userAccountControl: 512\n\n" +
                          "dn: CN=Tracked One,OU=Tracked," + corp + "\nchangetype: delete\n\n" +
                          "dn: OU=Tracked," + corp + "\nchangetype: delete\n"));
}

}  // namespace
}  // namespace norvane
