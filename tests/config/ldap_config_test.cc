// The configuration store against real files in a temporary base folder.
#include "config/ldap_config.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>

#include "config/credential.h"
#include "platform/xml.h"
#include "tests/config/config_test_support.h"

namespace norvane {
namespace {

using testing::TempBase;

// Canonical form (as the store writes it back), so that byte comparisons are meaningful.
constexpr char kHeader[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

std::string Doc(std::string_view body) {
  return std::string(kHeader) + "<LdapConfig>" + std::string(body) + "</LdapConfig>\n";
}

class ConfigTest : public ::testing::Test {
 protected:
  void Open(std::string_view content) {
    base_.WriteConfig(content);
    config_.Init();
  }
  // The attribute `name` of the first element `path` (a/b/c) of the file as it is now.
  std::string FileAttribute(std::string_view path, std::string_view name) {
    XmlDocument doc;
    EXPECT_TRUE(doc.Load(base_.ConfigPath()));
    XmlElement el = doc.Root();
    std::string_view rest = path;
    while (el && !rest.empty()) {
      std::size_t slash = rest.find('/');
      el = el.FirstChild(rest.substr(0, slash));
      rest = slash == std::string_view::npos ? "" : rest.substr(slash + 1);
    }
    return el ? el.Attribute(name) : "<no element>";
  }
  int CountChildren(std::string_view parent, std::string_view name) {
    XmlDocument doc;
    EXPECT_TRUE(doc.Load(base_.ConfigPath()));
    int count = 0;
    XmlElement p = parent.empty() ? doc.Root() : doc.Root().FirstChild(parent);
    if (!p) return -1;
    for (const XmlElement& c : p.Children()) count += EqualsNoCase(c.Name(), name) ? 1 : 0;
    return count;
  }

  TempBase base_;
  CLdapConfig config_;
};

// ---- the installed configuration

TEST_F(ConfigTest, InstalledConfigurationLoadsCompletely) {
  Open(testing::InstalledConfig());
  EXPECT_EQ(ConfigFilePath(), base_.dir() + "LdapConfig.xml");

  SysConfigInfo sys;
  ASSERT_TRUE(config_.LoadSysConfig(sys));
  EXPECT_EQ(sys.sdk_server_ip, "127.0.0.1");
  EXPECT_EQ(sys.sdk_server_port, 7101);
  EXPECT_EQ(sys.app_server_ip, "127.0.0.1");
  EXPECT_EQ(sys.app_server_port, 7100);
  EXPECT_EQ(CurrentDirectoryType(), kActiveDirectory);

  // No example domain is shipped: the wizard's would stand beside it.
  std::vector<DcEntry> dcs;
  EXPECT_FALSE(config_.LoadDcList(dcs));
  EXPECT_TRUE(dcs.empty());
  ManageSyncInfo manage;
  EXPECT_TRUE(config_.LoadManageSync(manage));
  EXPECT_EQ(manage.delete_threshold, 500);
  int start = -1;
  config_.LoadStartMode(start);
  EXPECT_EQ(start, 0);
  std::vector<std::string> names;
  ASSERT_TRUE(config_.LoadUserAttributeNames(names));
  EXPECT_NE(std::find(names.begin(), names.end(), "uid"), names.end());
  std::vector<std::string> limit;
  EXPECT_TRUE(config_.LoadLimitDC(limit));
  EXPECT_TRUE(config_.LoadLimitUser(limit));

  for (int type : {kActiveDirectory, kDominoDirectory, kNdsDirectory}) {
    config_.SetDirectoryType(type);
    AttributeMap user, dept;
    SyncScopeInfo scope;
    ASSERT_TRUE(config_.LoadUserProperty(user)) << type;
    ASSERT_TRUE(config_.LoadDeptProperty(dept)) << type;
    ASSERT_TRUE(config_.LoadSyncScope(scope)) << type;
    for (const char* key : {"uid", "name", "email", "mobile", "phone", "position"})
      EXPECT_FALSE(user[key].empty()) << type << " " << key;
    for (const char* key : {"DeptID", "DeptName", "PDeptRelateKey"})
      EXPECT_FALSE(dept[key].empty()) << type << " " << key;
    EXPECT_FALSE(scope.dept_domains.empty());
  }
  config_.SetDirectoryType(kActiveDirectory);
  AttributeMap user;
  ASSERT_TRUE(config_.LoadUserProperty(user));
  EXPECT_EQ(user["uid"], "sAMAccountName");
}

// ---- files that cannot be used

struct BadFile {
  const char* what;
  std::string content;  // "" with write == false: no file at all
  bool write = true;
};

class BadFileTest : public ConfigTest, public ::testing::WithParamInterface<BadFile> {};

TEST_P(BadFileTest, EveryLoadFailsEmptyAndNoSaveTouchesTheFile) {
  const BadFile& bad = GetParam();
  if (bad.write) base_.WriteConfig(bad.content);
  config_.Init();
  EXPECT_EQ(CurrentDirectoryType(), 0);

  SysConfigInfo sys;
  sys.ldap_server_ip = "left over";
  sys.ldap_server_port = 9;
  EXPECT_FALSE(config_.LoadSysConfig(sys));
  EXPECT_EQ(sys.ldap_server_ip, "");
  EXPECT_EQ(sys.ldap_server_port, 0);
  std::vector<DcEntry> dcs(2);
  EXPECT_FALSE(config_.LoadDcList(dcs));
  EXPECT_TRUE(dcs.empty());
  DcDomainMap domains;
  EXPECT_FALSE(config_.LoadDcDomainMap(domains));
  ManageSyncInfo manage;
  EXPECT_FALSE(config_.LoadManageSync(manage));
  SyncScopeInfo scope;
  EXPECT_FALSE(config_.LoadSyncScope(scope));
  AttributeMap map;
  EXPECT_FALSE(config_.LoadUserProperty(map));
  EXPECT_FALSE(config_.LoadDeptProperty(map));
  int start = 5;
  EXPECT_FALSE(config_.LoadStartMode(start));
  EXPECT_EQ(start, 0);
  std::vector<std::string> list{"x"};
  EXPECT_FALSE(config_.LoadLimitDC(list));
  EXPECT_TRUE(list.empty());
  list = {"x"};
  EXPECT_FALSE(config_.LoadLimitUser(list));
  EXPECT_TRUE(list.empty());
  list = {"x"};
  EXPECT_FALSE(config_.LoadUserAttributeNames(list));
  EXPECT_TRUE(list.empty());

  SysConfigInfo new_sys;
  new_sys.admin_password = "secret";
  EXPECT_FALSE(config_.SaveSysConfig(new_sys));
  EXPECT_FALSE(config_.SaveDcList({DcEntry{}}));
  EXPECT_FALSE(config_.SaveDcList({}));
  EXPECT_FALSE(config_.SaveManageSync(ManageSyncInfo{}));
  EXPECT_FALSE(config_.SaveSyncScope(SyncScopeInfo{}));
  EXPECT_FALSE(config_.SaveUserProperty({{"uid", "uid"}}));
  EXPECT_FALSE(config_.SaveDeptProperty({{"DeptID", "dn"}}));
  EXPECT_FALSE(config_.SaveStartMode(1));
  EXPECT_FALSE(config_.SaveLimitDC({"ou=a"}));
  EXPECT_FALSE(config_.SaveLimitUser({"bob"}));
  EXPECT_FALSE(config_.RemoveSection("SysConfig"));
  EXPECT_TRUE(config_.SaveAll());

  if (bad.write) {
    EXPECT_EQ(base_.ReadConfig(), bad.content) << bad.what;
  } else {
    EXPECT_FALSE(std::filesystem::exists(base_.ConfigPath())) << "the file is never created";
  }
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(base_.dir()),
                          std::filesystem::directory_iterator()),
            bad.write ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Files, BadFileTest,
    ::testing::Values(
        BadFile{"missing", "", false}, BadFile{"empty", ""},
        BadFile{"not well-formed", "<?xml version=\"1.0\"?>\n<LdapConfig><SysConfig DC=\"x\">"},
        BadFile{"attribute without quotes", "<LdapConfig><SysConfig DC=x/></LdapConfig>"},
        // GB2312 bytes of a Chinese word in a file that says it is UTF-8.
        BadFile{"wrongly encoded",
                "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<LdapConfig><SysConfig ADMIN=\""
                "\xB2\xE2\xCA\xD4\"/></LdapConfig>\n"},
        BadFile{"unknown encoding",
                "<?xml version=\"1.0\" encoding=\"X-NO-SUCH\"?>\n<LdapConfig/>\n"},
        BadFile{"declaration only", "<?xml version=\"1.0\"?>\n"},
        BadFile{"other document element", "<Settings><SysConfig LDAPSVRType=\"2\"/></Settings>"},
        BadFile{"document element in other case",
                "<ldapconfig><SysConfig LDAPSVRType=\"2\"/></ldapconfig>"},
        BadFile{"binary", std::string("\x00\x01\x02\xFF\xFE", 5)}),
    [](const ::testing::TestParamInfo<BadFile>& info) {
      std::string name = info.param.what;
      for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
      return name;
    });

// ---- reading values

TEST_F(ConfigTest, NumbersReadLikeAtolAndPortsKeepTheirLow16Bits) {
  Open(
      Doc("<SysConfig LDAPSVRPort=\"65535\" APPSVRPort=\"70000\" SDKSVRPort=\"abc\" "
          "LDAPSVRType=\" 2x\" DeptMode=\"-3\" AllowDC=\"\" StepImport=\"12abc\"/>"));
  SysConfigInfo sys;
  ASSERT_TRUE(config_.LoadSysConfig(sys));
  EXPECT_EQ(sys.ldap_server_port, 65535);
  EXPECT_EQ(sys.app_server_port, 4464);
  EXPECT_EQ(sys.sdk_server_port, 0);
  EXPECT_EQ(sys.directory_type, 2);
  EXPECT_EQ(CurrentDirectoryType(), 2);
  EXPECT_EQ(sys.dept_mode, -3);
  EXPECT_EQ(sys.allow_dc, 0);
  EXPECT_EQ(sys.step_import, 12);
  EXPECT_EQ(sys.domain, "");  // absent attributes read as empty
}

TEST_F(ConfigTest, TextFieldsAreCutToTheirLimitsAtACharacterBoundary) {
  // 43 three-byte characters: 129 bytes; 127 would split the 43rd, so 42 stay (126 bytes).
  std::string chinese;
  for (int i = 0; i < 43; ++i) chinese += "张";
  std::string key;
  for (int i = 0; i < 22; ++i) key += "部";  // 66 bytes; 63 is a boundary: 21 stay
  Open(Doc("<SysConfig LDAPSVRIP=\"" + std::string(40, '1') + "\" DC=\"" + std::string(300, 'd') +
           "\" ADMIN=\"" + chinese + "\" SN=\"" + std::string(40, 'p') +
           "\"/><AD><SyncScope PDeptKey=\"" + key + "\" UserDeptKey=\"" + std::string(70, 'k') +
           "\"/></AD>"));
  SysConfigInfo sys;
  ASSERT_TRUE(config_.LoadSysConfig(sys));
  EXPECT_EQ(sys.ldap_server_ip, std::string(31, '1'));
  EXPECT_EQ(sys.domain, std::string(255, 'd'));
  EXPECT_EQ(sys.admin_account, chinese.substr(0, 126));
  // A clear password typed into the file does not decipher and is taken as it stands, cut.
  EXPECT_EQ(sys.admin_password, std::string(31, 'p'));
  SyncScopeInfo scope;
  ASSERT_TRUE(config_.LoadSyncScope(scope));
  EXPECT_EQ(scope.pdept_key, key.substr(0, 63));
  EXPECT_EQ(scope.user_dept_key, std::string(63, 'k'));
}

TEST_F(ConfigTest, ElementNamesMatchIgnoringCaseAndTheFirstMatchWins) {
  Open(
      Doc("<sysconfig LDAPSVRIP=\"first\"/><SYSCONFIG LDAPSVRIP=\"second\"/>"
          "<allowdc><childdc DCName=\"dc=a,dc=b\"/></allowdc><ad><userproperty uid=\"x\"/></ad>"));
  SysConfigInfo sys;
  ASSERT_TRUE(config_.LoadSysConfig(sys));
  EXPECT_EQ(sys.ldap_server_ip, "first");
  std::vector<DcEntry> dcs;
  ASSERT_TRUE(config_.LoadDcList(dcs));
  EXPECT_EQ(dcs[0].domain_name, "dc=a,dc=b");
  AttributeMap user;
  ASSERT_TRUE(config_.LoadUserProperty(user));
  EXPECT_EQ(user, (AttributeMap{{"uid", "x"}}));
}

TEST_F(ConfigTest, GbEncodedFileIsReadAndKeepsItsEncodingWhenSaved) {
  // "测试" in GB2312 is B2 E2 CA D4.
  base_.WriteConfig(
      "<?xml version=\"1.0\" encoding=\"GB2312\"?>\n<LdapConfig><SysConfig "
      "ADMIN=\"\xB2\xE2\xCA\xD4\"/>"
      "<LimitUser><User>\xB2\xE2\xCA\xD4</User></LimitUser></LdapConfig>\n");
  config_.Init();
  SysConfigInfo sys;
  ASSERT_TRUE(config_.LoadSysConfig(sys));
  EXPECT_EQ(sys.admin_account, "测试");
  ASSERT_TRUE(config_.SaveLimitUser({"测试", "用户"}));
  std::string file = base_.ReadConfig();
  EXPECT_NE(file.find("encoding=\"GB2312\""), std::string::npos) << file;
  EXPECT_NE(file.find("\xB2\xE2\xCA\xD4"), std::string::npos) << file;
  std::vector<std::string> users;
  ASSERT_TRUE(config_.LoadLimitUser(users));
  EXPECT_EQ(users, (std::vector<std::string>{"测试", "用户"}));
}

// ---- SysConfig

TEST_F(ConfigTest, SysConfigRoundTripsWithTheProtectedPasswordAndKeepsOtherAttributes) {
  Open(Doc("<SysConfig AllowDC=\"2\" StepImport=\"7\" Extra=\"keep me\" LDAPSVRIP=\"old\"/>"));
  SysConfigInfo sys;
  sys.ldap_server_ip = "10.0.0.1";
  sys.ldap_server_port = 636;
  sys.app_server_ip = "10.0.0.2";
  sys.app_server_port = 7100;
  sys.sdk_server_ip = "10.0.0.3";
  sys.sdk_server_port = 7101;
  sys.domain = "dc=corp,dc=example,dc=com";
  sys.admin_account = "管理员";
  sys.admin_password = "pa55&<word>\"";
  sys.directory_type = 1;
  sys.dept_mode = 1;
  sys.allow_dc = 9;     // never written over a stored value
  sys.step_import = 9;  // never written
  ASSERT_TRUE(config_.SaveSysConfig(sys));

  std::string stored = FileAttribute("SysConfig", "SN");
  EXPECT_EQ(stored.find("pa55"), std::string::npos);
  EXPECT_EQ(stored.find_first_not_of("0123456789ABCDEF"), std::string::npos) << stored;
  EXPECT_EQ(FileAttribute("SysConfig", "Extra"), "keep me");
  EXPECT_EQ(FileAttribute("SysConfig", "AllowDC"), "2");
  EXPECT_EQ(FileAttribute("SysConfig", "StepImport"), "7");

  SysConfigInfo back;
  ASSERT_TRUE(config_.LoadSysConfig(back));
  EXPECT_EQ(back.ldap_server_ip, "10.0.0.1");
  EXPECT_EQ(back.ldap_server_port, 636);
  EXPECT_EQ(back.app_server_ip, "10.0.0.2");
  EXPECT_EQ(back.app_server_port, 7100);
  EXPECT_EQ(back.sdk_server_ip, "10.0.0.3");
  EXPECT_EQ(back.sdk_server_port, 7101);
  EXPECT_EQ(back.domain, "dc=corp,dc=example,dc=com");
  EXPECT_EQ(back.admin_account, "管理员");
  EXPECT_EQ(back.admin_password, "pa55&<word>\"");
  EXPECT_EQ(back.directory_type, 1);
  EXPECT_EQ(CurrentDirectoryType(), 1);
  EXPECT_EQ(back.dept_mode, 1);
  EXPECT_EQ(back.allow_dc, 2);
  EXPECT_EQ(back.step_import, 7);
}

TEST_F(ConfigTest, TrustSettingsAreReadAndKeptByEverySave) {
  Open(
      Doc("<SysConfig SDKCredentialFile=\"/var/lib/zelto/zelto.db.credential\" "
          "SDKCAFile=\"/etc/zelto/ca.pem\" RequireTLS=\"1\" LDAPSVRIP=\"old\"/>"));
  SysConfigInfo sys;
  ASSERT_TRUE(config_.LoadSysConfig(sys));
  EXPECT_EQ(sys.sdk_credential_file, "/var/lib/zelto/zelto.db.credential");
  EXPECT_EQ(sys.sdk_ca_file, "/etc/zelto/ca.pem");
  EXPECT_EQ(sys.require_tls, 1);
  EXPECT_TRUE(CurrentRequireTls());

  // A record that never saw them (a wizard's fresh one) changes nothing of them.
  SysConfigInfo fresh;
  fresh.ldap_server_ip = "new";
  ASSERT_TRUE(config_.SaveSysConfig(fresh));
  config_.SysConfig() = fresh;
  ASSERT_TRUE(config_.SaveAll());
  EXPECT_EQ(FileAttribute("SysConfig", "LDAPSVRIP"), "new");
  EXPECT_EQ(FileAttribute("SysConfig", "SDKCredentialFile"), "/var/lib/zelto/zelto.db.credential");
  EXPECT_EQ(FileAttribute("SysConfig", "SDKCAFile"), "/etc/zelto/ca.pem");
  EXPECT_EQ(FileAttribute("SysConfig", "RequireTLS"), "1");

  // Plain text only where the file says RequireTLS="0": absent, empty or anything else
  // keeps connections encrypted, and so does a file without SysConfig.
  Open(Doc("<SysConfig LDAPSVRIP=\"x\" RequireTLS=\"0\"/>"));
  EXPECT_FALSE(CurrentRequireTls());
  for (const char* sys_config :
       {"<SysConfig LDAPSVRIP=\"x\"/>", "<SysConfig RequireTLS=\"\"/>",
        "<SysConfig RequireTLS=\"no\"/>", "<StartMode StartType=\"1\"/>"}) {
    Open(Doc("<SysConfig RequireTLS=\"0\"/>"));
    ASSERT_FALSE(CurrentRequireTls());
    Open(Doc(sys_config));
    EXPECT_TRUE(CurrentRequireTls()) << sys_config;
  }
}

TEST_F(ConfigTest, MissingSysConfigIsCreatedInItsAttributeOrder) {
  Open(Doc("<StartMode StartType=\"1\"/>"));
  SysConfigInfo sys;
  sys.allow_dc = 1;
  ASSERT_TRUE(config_.SaveSysConfig(sys));
  XmlDocument doc;
  ASSERT_TRUE(doc.Load(base_.ConfigPath()));
  std::vector<std::string> names;
  for (auto& [name, value] : doc.Root().FirstChild("SysConfig").Attributes()) names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::string>{"AllowDC", "LDAPSVRIP", "LDAPSVRPort", "SDKSVRIP",
                                             "SDKSVRPort", "APPSVRIP", "APPSVRPort", "ADMIN", "SN",
                                             "LDAPSVRType", "DeptMode", "DC"}));
  EXPECT_EQ(doc.Root().Children().back().Name(), "SysConfig");
  EXPECT_EQ(FileAttribute("SysConfig", "AllowDC"), "1");
  EXPECT_EQ(FileAttribute("SysConfig", "SN"), "");  // an empty password is stored empty
  EXPECT_EQ(FileAttribute("StartMode", "StartType"), "1");
}

TEST_F(ConfigTest, UndecipherableStoredPasswordsAreTakenAsWritten) {
  std::string valid;
  ASSERT_TRUE(EncryptPassword("right", valid));
  for (const std::string& sn :
       {std::string("abc"), valid.substr(1), valid.substr(0, 60), std::string("hand typed")}) {
    Open(Doc("<SysConfig SN=\"" + sn + "\"/><AllowDC><ChildDC SN=\"" + sn + "\"/></AllowDC>"));
    SysConfigInfo sys;
    ASSERT_TRUE(config_.LoadSysConfig(sys));
    EXPECT_EQ(sys.admin_password, CutToBytes(sn, 31));
    std::vector<DcEntry> dcs;
    ASSERT_TRUE(config_.LoadDcList(dcs));
    EXPECT_EQ(dcs[0].admin_password, CutToBytes(sn, 31));
  }
  std::string lower = valid;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  Open(Doc("<SysConfig SN=\"" + lower + "\"/>"));
  SysConfigInfo sys;
  ASSERT_TRUE(config_.LoadSysConfig(sys));
  EXPECT_EQ(sys.admin_password, "right");
}

// ---- AllowDC

DcEntry Dc(std::string name, std::string ip, std::string password, int select = 1) {
  DcEntry e;
  e.domain_name = std::move(name);
  e.server_ip = std::move(ip);
  e.server_port = 389;
  e.dept_mode = 1;
  e.admin_account = "admin";
  e.admin_password = std::move(password);
  e.selected = select;
  return e;
}

TEST_F(ConfigTest, DcListRoundTripsInOrderWithPasswordsAndUnselectedEntries) {
  Open(Doc("<AllowDC><ChildDC DCName=\"dc=old,dc=com\"/></AllowDC><ManageSync SameCover=\"1\"/>"));
  ASSERT_TRUE(config_.SaveDcList(
      {Dc("dc=b,dc=com", "10.0.0.2", "pw-b", 0), Dc("dc=a,dc=com", "10.0.0.1", "密码")}));
  std::vector<DcEntry> dcs;
  ASSERT_TRUE(config_.LoadDcList(dcs));
  ASSERT_EQ(dcs.size(), 2u);
  EXPECT_EQ(dcs[0].domain_name, "dc=b,dc=com");
  EXPECT_EQ(dcs[0].selected, 0);
  EXPECT_EQ(dcs[0].admin_password, "pw-b");
  EXPECT_EQ(dcs[1].domain_name, "dc=a,dc=com");
  EXPECT_EQ(dcs[1].server_ip, "10.0.0.1");
  EXPECT_EQ(dcs[1].server_port, 389);
  EXPECT_EQ(dcs[1].dept_mode, 1);
  EXPECT_EQ(dcs[1].admin_account, "admin");
  EXPECT_EQ(dcs[1].admin_password, "密码");
  EXPECT_EQ(dcs[1].selected, 1);
  EXPECT_EQ(dcs[1].directory_type, 0);
  EXPECT_NE(FileAttribute("AllowDC/ChildDC", "SN"), "pw-b");
  EXPECT_EQ(FileAttribute("ManageSync", "SameCover"), "1");

  XmlDocument doc;
  ASSERT_TRUE(doc.Load(base_.ConfigPath()));
  std::vector<std::string> names;
  for (auto& [name, value] : doc.Root().FirstChild("AllowDC").FirstChild("ChildDC").Attributes())
    names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::string>{"DCSelect", "DCName", "LDAPSVRIP", "LDAPSVRPort",
                                             "DeptMode", "ADMIN", "SN"}));
}

TEST_F(ConfigTest, DcNamesDifferingOnlyInCaseShareOneEntryWithTheLaterValues) {
  Open(Doc(""));
  ASSERT_TRUE(config_.SaveDcList(
      {Dc("dc=Test,dc=com", "first", "p1"), Dc("DC=TEST,DC=COM", "second", "p2")}));
  EXPECT_EQ(CountChildren("AllowDC", "ChildDC"), 1);
  std::vector<DcEntry> dcs;
  ASSERT_TRUE(config_.LoadDcList(dcs));
  ASSERT_EQ(dcs.size(), 1u);
  EXPECT_EQ(dcs[0].domain_name, "DC=TEST,DC=COM");
  EXPECT_EQ(dcs[0].server_ip, "second");
  EXPECT_EQ(dcs[0].admin_password, "p2");
}

TEST_F(ConfigTest, EmptyDcListLeavesNoAllowDcAndLoadsAsFalse) {
  Open(Doc("<AllowDC><ChildDC DCName=\"dc=a\"/></AllowDC><AllowDC/>"));
  ASSERT_TRUE(config_.SaveDcList({}));
  EXPECT_EQ(CountChildren("", "AllowDC"), 1);  // only the first one goes
  ASSERT_TRUE(config_.SaveDcList({}));
  EXPECT_EQ(CountChildren("", "AllowDC"), 0);
  std::vector<DcEntry> dcs{DcEntry{}};
  EXPECT_FALSE(config_.LoadDcList(dcs));
  EXPECT_TRUE(dcs.empty());
  Open(Doc("<AllowDC/>"));
  EXPECT_FALSE(config_.LoadDcList(dcs));
  EXPECT_TRUE(dcs.empty());
}

TEST_F(ConfigTest, DcNameHoldingASemicolonLosesItsLastCharacter) {
  Open(
      Doc("<AllowDC><ChildDC DCName=\"dc=test,dc=com;\"/><ChildDC DCName=\"ou=测试;部\"/>"
          "<ChildDC DCName=\"dc=plain,dc=com\"/></AllowDC>"));
  std::vector<DcEntry> dcs;
  ASSERT_TRUE(config_.LoadDcList(dcs));
  ASSERT_EQ(dcs.size(), 3u);
  EXPECT_EQ(dcs[0].domain_name, "dc=test,dc=com");
  EXPECT_EQ(dcs[1].domain_name, "ou=测试;");  // a whole character, never half of one
  EXPECT_EQ(dcs[2].domain_name, "dc=plain,dc=com");
}

TEST_F(ConfigTest, DomainMapIsKeyedByDomainNameFirstEntryWinsAndPasswordsAreClear) {
  Open(Doc(""));
  ASSERT_TRUE(config_.SaveDcList({Dc("ou=x,DC=Corp,DC=Com", "first", "secret"),
                                  Dc("dc=corp,dc=com", "second", "other"),
                                  Dc("dc=sub,dc=corp,dc=com", "third", "")}));
  DcDomainMap map;
  ASSERT_TRUE(config_.LoadDcDomainMap(map));
  ASSERT_EQ(map.size(), 2u);
  ASSERT_TRUE(map.count("corp.com"));
  EXPECT_EQ(map["corp.com"].server_ip, "first");
  EXPECT_EQ(map["corp.com"].admin_password, "secret");
  EXPECT_EQ(map["corp.com"].selected, 0);  // not read
  auto found = map.find("SUB.Corp.COM");   // an account's domain part may be in any case
  ASSERT_NE(found, map.end());
  EXPECT_EQ(found->second.server_ip, "third");
}

TEST(DnToDomainNameTest, BuildsTheDottedNameFromDcComponents) {
  EXPECT_EQ(DnToDomainName("dc=test,dc=com"), "test.com");
  EXPECT_EQ(DnToDomainName("ou=sales,dc=test,dc=com"), "test.com");
  EXPECT_EQ(DnToDomainName("DC=Test,DC=Com"), "test.com");
  EXPECT_EQ(DnToDomainName("dc=corp,dc=example,dc=com"), "corp.example.com");
  EXPECT_EQ(DnToDomainName("dc=test,dc=com;"), "test.com");
  EXPECT_EQ(DnToDomainName("dc=a,dc=b;dc=c,dc=d"), "a.b");  // several bases: the first
  EXPECT_EQ(DnToDomainName("ou=x"), "");
  EXPECT_EQ(DnToDomainName("dc=com"), "");
  EXPECT_EQ(DnToDomainName(""), "");
}

// ---- ManageSync

TEST_F(ConfigTest, ManageSyncRoundTripsAndLeavesTheDeleteThresholdAlone) {
  Open(Doc("<ManageSync DeleteThreshold=\"120\" Note=\"x\"/>"));
  ManageSyncInfo info;
  info.auth_type = 1;
  info.same_cover = 1;
  info.auto_sync = 1;
  info.update_time = 1293858000;
  info.delete_threshold = 9999;
  ASSERT_TRUE(config_.SaveManageSync(info));
  EXPECT_EQ(FileAttribute("ManageSync", "DeleteThreshold"), "120");
  EXPECT_EQ(FileAttribute("ManageSync", "Note"), "x");
  ManageSyncInfo back;
  ASSERT_TRUE(config_.LoadManageSync(back));
  EXPECT_EQ(back.auth_type, 1);
  EXPECT_EQ(back.same_cover, 1);
  EXPECT_EQ(back.auto_sync, 1);
  EXPECT_EQ(back.update_time, 1293858000);
  EXPECT_EQ(back.delete_threshold, 120);
}

TEST_F(ConfigTest, DeleteThresholdDefaultsUnlessAPlainNumberIsStored) {
  struct Case {
    const char* attribute;
    long expected;
  } cases[] = {{"", 500},
               {"DeleteThreshold=\"0\"", 0},
               {"DeleteThreshold=\" 42 \"", 42},
               {"DeleteThreshold=\"\"", 500},
               {"DeleteThreshold=\"off\"", 500},
               {"DeleteThreshold=\"-5\"", 500},
               {"DeleteThreshold=\"12abc\"", 500}};
  for (const Case& c : cases) {
    Open(Doc(std::string("<ManageSync SameCover=\"1\" ") + c.attribute + "/>"));
    ManageSyncInfo info;
    info.delete_threshold = -1;
    ASSERT_TRUE(config_.LoadManageSync(info)) << c.attribute;
    EXPECT_EQ(info.delete_threshold, c.expected) << c.attribute;
    EXPECT_EQ(info.same_cover, 1);
  }
}

TEST_F(ConfigTest, DeleteShareDefaultsTo20AndIsWrittenBack) {
  struct Case {
    const char* attribute;
    long expected;
  } cases[] = {{"", 20},
               {"DeleteShare=\"0\"", 0},
               {"DeleteShare=\"35\"", 35},
               {"DeleteShare=\"-1\"", 20},
               {"DeleteShare=\"all\"", 20}};
  for (const Case& c : cases) {
    Open(Doc(std::string("<ManageSync ") + c.attribute + "/>"));
    ManageSyncInfo info;
    info.delete_share = -1;
    ASSERT_TRUE(config_.LoadManageSync(info)) << c.attribute;
    EXPECT_EQ(info.delete_share, c.expected) << c.attribute;
  }
  ManageSyncInfo info;
  info.delete_share = 7;
  ASSERT_TRUE(config_.SaveManageSync(info));
  EXPECT_EQ(FileAttribute("ManageSync", "DeleteShare"), "7");
}

TEST_F(ConfigTest, MissingManageSyncLeavesTheRecordAndIsCreatedOnSave) {
  Open(Doc("<SysConfig/>"));
  ManageSyncInfo info;
  info.same_cover = 7;
  EXPECT_FALSE(config_.LoadManageSync(info));
  EXPECT_EQ(info.same_cover, 7);
  ASSERT_TRUE(config_.SaveManageSync(info));
  XmlDocument doc;
  ASSERT_TRUE(doc.Load(base_.ConfigPath()));
  std::vector<std::string> names;
  for (auto& [name, value] : doc.Root().FirstChild("ManageSync").Attributes())
    names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::string>{"SameCover", "AUTHTYPE", "UpdateTime", "IfAutoSync",
                                             "DeleteShare"}));
}

// ---- the type sections

TEST_F(ConfigTest, SyncScopeListsSplitAndJoinWithSemicolons) {
  Open(
      Doc("<AD><SyncScope DeptDomain=\"dc=a,dc=b;dc=c,dc=d\" UserDomain=\"a;;b;\" "
          "PDeptType=\"1\" UserDeptType=\"2\" PDeptKey=\"pk\" UserDeptKey=\"uk\"/></AD>"));
  SyncScopeInfo scope;
  ASSERT_TRUE(config_.LoadSyncScope(scope));
  EXPECT_EQ(scope.dept_domains, (std::vector<std::string>{"dc=a,dc=b", "dc=c,dc=d"}));
  EXPECT_EQ(scope.user_domains, (std::vector<std::string>{"a", "", "b"}));
  EXPECT_EQ(scope.pdept_type, 1);
  EXPECT_EQ(scope.user_dept_type, 2);
  EXPECT_EQ(scope.pdept_key, "pk");
  EXPECT_EQ(scope.user_dept_key, "uk");
  ASSERT_TRUE(config_.SaveSyncScope(scope));
  EXPECT_EQ(FileAttribute("AD/SyncScope", "DeptDomain"), "dc=a,dc=b;dc=c,dc=d;");
  EXPECT_EQ(FileAttribute("AD/SyncScope", "UserDomain"), "a;;b;");
}

TEST_F(ConfigTest, SyncScopeIsFalseWhenTheSectionLacksItAndIsCreatedInOrder) {
  Open(Doc("<AD><UserProperty uid=\"u\"/></AD>"));
  SyncScopeInfo scope;
  EXPECT_FALSE(config_.LoadSyncScope(scope));
  scope.dept_domains = {"dc=x"};
  ASSERT_TRUE(config_.SaveSyncScope(scope));
  XmlDocument doc;
  ASSERT_TRUE(doc.Load(base_.ConfigPath()));
  std::vector<std::string> names;
  for (auto& [name, value] : doc.Root().FirstChild("AD").FirstChild("SyncScope").Attributes())
    names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::string>{"DeptDomain", "PDeptKey", "PDeptType", "UserDomain",
                                             "UserDeptKey", "UserDeptType"}));
  EXPECT_EQ(FileAttribute("AD/UserProperty", "uid"), "u");
}

TEST_F(ConfigTest, EachDirectoryTypeReadsAndWritesItsOwnSection) {
  Open(
      Doc("<SysConfig LDAPSVRType=\"2\"/><AD><UserProperty uid=\"ad\"/></AD>"
          "<DominoDirectory><UserProperty uid=\"domino\"/></DominoDirectory>"
          "<NDS><UserProperty uid=\"nds\"/></NDS>"));
  EXPECT_EQ(CurrentDirectoryType(), kNdsDirectory);  // Init takes the type from the file
  AttributeMap map;
  ASSERT_TRUE(config_.LoadUserProperty(map));
  EXPECT_EQ(map["uid"], "nds");
  ASSERT_TRUE(config_.SaveUserProperty({{"uid", "nds-new"}}));
  EXPECT_EQ(FileAttribute("NDS/UserProperty", "uid"), "nds-new");
  EXPECT_EQ(FileAttribute("AD/UserProperty", "uid"), "ad");

  config_.SetDirectoryType(kDominoDirectory);
  ASSERT_TRUE(config_.LoadUserProperty(map));
  EXPECT_EQ(map["uid"], "domino");
  CLdapConfig other;  // the type is process-wide: another object follows it
  ASSERT_TRUE(other.LoadUserProperty(map));
  EXPECT_EQ(map["uid"], "domino");

  config_.SetDirectoryType(kActiveDirectory);
  ASSERT_TRUE(config_.LoadUserProperty(map));
  EXPECT_EQ(map["uid"], "ad");
}

TEST_F(ConfigTest, MissingSectionIsAppendedOnSave) {
  Open(Doc("<SysConfig LDAPSVRType=\"1\"/>"));
  AttributeMap map;
  EXPECT_FALSE(config_.LoadDeptProperty(map));
  ASSERT_TRUE(config_.SaveDeptProperty({{"DeptID", "dn"}}));
  XmlDocument doc;
  ASSERT_TRUE(doc.Load(base_.ConfigPath()));
  EXPECT_EQ(doc.Root().Children().back().Name(), "DominoDirectory");
  ASSERT_TRUE(config_.LoadDeptProperty(map));
  EXPECT_EQ(map, (AttributeMap{{"DeptID", "dn"}}));
}

TEST_F(ConfigTest, PropertySaveAddsToTheStoredPairs) {
  Open(Doc("<AD><UserProperty a=\"1\" b=\"2\" c=\"3\" uid=\"old\"/></AD>"));
  ASSERT_TRUE(config_.SaveUserProperty({{"uid", "sAMAccountName"}, {"name", "cn"}, {"x", "y"}}));
  AttributeMap map{{"stale", "entry"}};
  ASSERT_TRUE(config_.LoadUserProperty(map));
  EXPECT_EQ(map, (AttributeMap{{"a", "1"},
                               {"b", "2"},
                               {"c", "3"},
                               {"uid", "sAMAccountName"},
                               {"name", "cn"},
                               {"x", "y"}}));
  EXPECT_EQ(map.size(), 6u);
}

TEST_F(ConfigTest, PropertySaveWithAnInvalidKeyWritesNothing) {
  std::string content = Doc("<AD><DeptProperty DeptID=\"dn\"/></AD>");
  Open(content);
  EXPECT_FALSE(config_.SaveDeptProperty({{"", "empty key"}, {"good", "v"}}));
  EXPECT_FALSE(config_.SaveUserProperty({{"1bad", "v"}}));
  EXPECT_FALSE(config_.SaveUserProperty({{"has space", "v"}}));
  EXPECT_EQ(base_.ReadConfig(), content);
  AttributeMap map{{"kept", "when missing"}};
  EXPECT_FALSE(config_.LoadUserProperty(map));
  EXPECT_EQ(map, (AttributeMap{{"kept", "when missing"}}));
}

// ---- StartMode, the lists, user

TEST_F(ConfigTest, StartModeIsReadIntoTheValueAndCreatedOnSave) {
  Open(Doc("<StartMode StartType=\"1\"/>"));
  int type = -1;
  EXPECT_FALSE(config_.LoadStartMode(type));
  EXPECT_EQ(type, 1);
  Open(Doc("<StartMode/>"));
  EXPECT_FALSE(config_.LoadStartMode(type));
  EXPECT_EQ(type, 0);
  Open(Doc(""));
  ASSERT_TRUE(config_.SaveStartMode(1));
  config_.LoadStartMode(type);
  EXPECT_EQ(type, 1);
  ASSERT_TRUE(config_.SaveStartMode(0));
  config_.LoadStartMode(type);
  EXPECT_EQ(type, 0);
  EXPECT_EQ(CountChildren("", "StartMode"), 1);
}

TEST_F(ConfigTest, ExclusionListsRoundTripAndAreEmptyWhenMissing) {
  Open(Doc("<SysConfig/>"));
  std::vector<std::string> list{"stale"};
  EXPECT_TRUE(config_.LoadLimitDC(list));
  EXPECT_TRUE(list.empty());
  EXPECT_TRUE(config_.LoadLimitUser(list));
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(CountChildren("", "LimitDC"), 0) << "loading never writes";

  std::vector<std::string> dns{"OU=Sales,DC=corp,DC=com", "ou=研发&<测试>,dc=corp", ""};
  ASSERT_TRUE(config_.SaveLimitDC(dns));
  ASSERT_TRUE(config_.SaveLimitUser({"bob", "张三"}));
  ASSERT_TRUE(config_.LoadLimitDC(list));
  EXPECT_EQ(list, dns);
  ASSERT_TRUE(config_.LoadLimitUser(list));
  EXPECT_EQ(list, (std::vector<std::string>{"bob", "张三"}));
  EXPECT_EQ(CountChildren("LimitDC", "ChildDC"), 3);
  EXPECT_EQ(CountChildren("LimitUser", "User"), 2);

  ASSERT_TRUE(config_.SaveLimitUser({"alice"}));
  ASSERT_TRUE(config_.LoadLimitUser(list));
  EXPECT_EQ(list, (std::vector<std::string>{"alice"}));
  ASSERT_TRUE(config_.SaveLimitDC({}));
  ASSERT_TRUE(config_.LoadLimitDC(list));
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(CountChildren("", "LimitDC"), 1);
  EXPECT_EQ(CountChildren("", "LimitUser"), 1);
}

TEST_F(ConfigTest, UserAttributeNamesAreTheNamesInAttributeOrder) {
  Open(Doc("<user uid=\"ignored\" name=\"\" email=\"x\"/>"));
  std::vector<std::string> names{"stale"};
  ASSERT_TRUE(config_.LoadUserAttributeNames(names));
  EXPECT_EQ(names, (std::vector<std::string>{"uid", "name", "email"}));
  Open(Doc("<User2/>"));
  EXPECT_FALSE(config_.LoadUserAttributeNames(names));
  EXPECT_TRUE(names.empty());
}

TEST_F(ConfigTest, SaveAllWritesTheObjectsOwnRecords) {
  Open(Doc(""));
  config_.SysConfig().ldap_server_ip = "1.2.3.4";
  config_.SysConfig().admin_password = "pw";
  config_.UserProperty() = {{"uid", "sAMAccountName"}};
  config_.DeptProperty() = {{"DeptID", "distinguishedName"}};
  config_.SyncScope().user_domains = {"dc=x"};
  config_.ManageSync().same_cover = 1;
  config_.DcList() = {Dc("dc=x", "5.6.7.8", "dcpw")};
  EXPECT_TRUE(config_.SaveAll());

  CLdapConfig fresh;
  fresh.Init();
  SysConfigInfo sys;
  ASSERT_TRUE(fresh.LoadSysConfig(sys));
  EXPECT_EQ(sys.ldap_server_ip, "1.2.3.4");
  EXPECT_EQ(sys.admin_password, "pw");
  AttributeMap map;
  ASSERT_TRUE(fresh.LoadUserProperty(map));
  EXPECT_EQ(map["uid"], "sAMAccountName");
  ASSERT_TRUE(fresh.LoadDeptProperty(map));
  EXPECT_EQ(map["DeptID"], "distinguishedName");
  SyncScopeInfo scope;
  ASSERT_TRUE(fresh.LoadSyncScope(scope));
  EXPECT_EQ(scope.user_domains, (std::vector<std::string>{"dc=x"}));
  ManageSyncInfo manage;
  ASSERT_TRUE(fresh.LoadManageSync(manage));
  EXPECT_EQ(manage.same_cover, 1);
  std::vector<DcEntry> dcs;
  ASSERT_TRUE(fresh.LoadDcList(dcs));
  EXPECT_EQ(dcs[0].admin_password, "dcpw");
}

// A value the file cannot carry (a control character, bytes that are not UTF-8) must not
// turn the whole configuration into a file that no longer loads.
TEST_F(ConfigTest, ValuesTheFileCannotHoldFailTheSaveAndKeepTheFile) {
  for (const char* encoding : {"UTF-8", "GB2312"}) {
    const std::string before = std::string("<?xml version=\"1.0\" encoding=\"") + encoding +
                               "\"?>\n<LdapConfig><LimitUser><User>kept</User></LimitUser>"
                               "<AD><UserProperty uid=\"uid\"/></AD></LdapConfig>\n";
    Open(before);
    for (const std::string& bad : {std::string("a\x01z"), std::string("a\xFF\xFEz"),
                                   std::string("bad\xE4\xB8"), std::string("a\x0Bz")}) {
      EXPECT_FALSE(config_.SaveLimitUser({"fine", bad})) << encoding;
      EXPECT_FALSE(config_.SaveUserProperty({{"uid", bad}})) << encoding;
      SysConfigInfo sys;
      sys.admin_account = bad;
      EXPECT_FALSE(config_.SaveSysConfig(sys)) << encoding;
      EXPECT_EQ(base_.ReadConfig(), before) << encoding;
    }
    std::vector<std::string> users;
    ASSERT_TRUE(config_.LoadLimitUser(users));
    EXPECT_EQ(users, (std::vector<std::string>{"kept"}));
  }
}

// ---- what a save leaves alone

TEST_F(ConfigTest, ASaveChangesOnlyWhatItWrites) {
  const std::string rest =
      "<!-- installed by hand -->\n  <Custom a=\"1\"><Inner>text &amp; more</Inner></Custom>\n"
      "  <AD><UserProperty uid=\"sAMAccountName\"/></AD>\n";
  const std::string before =
      Doc("\n  <ManageSync SameCover=\"0\" AUTHTYPE=\"0\" UpdateTime=\"0\" "
          "IfAutoSync=\"0\" DeleteThreshold=\"50\"/>\n  " +
          rest + "  <StartMode StartType=\"0\"/>\n");
  Open(before);
  ManageSyncInfo info;
  info.same_cover = 1;
  info.auth_type = 1;
  info.update_time = 1293858000;
  info.auto_sync = 1;
  ASSERT_TRUE(config_.SaveManageSync(info));
  ASSERT_TRUE(config_.SaveStartMode(1));
  const std::string after =
      Doc("\n  <ManageSync SameCover=\"1\" AUTHTYPE=\"1\" "
          "UpdateTime=\"1293858000\" IfAutoSync=\"1\" "
          "DeleteThreshold=\"50\" DeleteShare=\"20\"/>\n  " +
          rest + "  <StartMode StartType=\"1\"/>\n");
  EXPECT_EQ(base_.ReadConfig(), after);
}

TEST_F(ConfigTest, SaveKeepsTheFilesPermissions) {
  Open(Doc("<StartMode StartType=\"0\"/>"));
  ASSERT_EQ(::chmod(base_.ConfigPath().c_str(), 0640), 0);
  ASSERT_TRUE(config_.SaveStartMode(1));
  struct stat st;
  ASSERT_EQ(::stat(base_.ConfigPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

// A save that cannot write the new file returns false and leaves the old one whole, with no
// temporary file behind. A file-size limit makes the write fail even for root.
TEST_F(ConfigTest, FailedSaveLeavesTheOldFileIntact) {
  const std::string before =
      Doc("<StartMode StartType=\"0\"/><LimitUser><User>a</User></LimitUser>");
  Open(before);
  struct rlimit old_limit;
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = old_limit;
  small.rlim_cur = 64;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  bool saved_start = config_.SaveStartMode(1);
  bool saved_list = config_.SaveLimitUser({std::string(200, 'u')});
  bool saved_dcs = config_.SaveDcList({});
  ::setrlimit(RLIMIT_FSIZE, &old_limit);
  std::signal(SIGXFSZ, old_handler);
  EXPECT_FALSE(saved_start);
  EXPECT_FALSE(saved_list);
  EXPECT_TRUE(saved_dcs) << "nothing to remove, nothing written";
  EXPECT_EQ(base_.ReadConfig(), before);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(base_.dir()),
                          std::filesystem::directory_iterator()),
            1);

  if (::geteuid() != 0) {  // root writes into read-only folders
    ASSERT_EQ(::chmod(base_.dir().c_str(), 0555), 0);
    EXPECT_FALSE(config_.SaveStartMode(1));
    ::chmod(base_.dir().c_str(), 0755);
    EXPECT_EQ(base_.ReadConfig(), before);
  }
}

}  // namespace
}  // namespace norvane
