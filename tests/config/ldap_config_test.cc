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

[[maybe_unused]] std::string Doc(std::string_view body) {
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

  std::vector<DcEntry> dcs;
  EXPECT_TRUE(config_.LoadDcList(dcs));
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

}  // namespace
}  // namespace norvane
