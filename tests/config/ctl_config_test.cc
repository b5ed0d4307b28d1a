// norvanectl config show: its JSON, read back by an independent JSON parser (python3).
#include "app/ctl_config.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <vector>

#include <nlohmann/json.hpp>

#include "config/credential.h"
#include "config/ldap_config.h"
#include "tests/config/config_test_support.h"

namespace norvane {
namespace {

using testing::TempBase;

// Runs a shell command, returning its exit status and standard output.
int RunShell(const std::string& command, std::string* output) {
  output->clear();
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return -1;
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) output->append(buf, n);
  int status = ::pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Parses JSON text with python3 and flattens it to path -> value lines ("a.b.0" -> text;
// strings keep their text, numbers and other values their JSON form). Fails on bad JSON.
std::map<std::string, std::string> ParseJson(const TempBase& base, const std::string& json) {
  const std::string json_path = base.dir() + "out.json";
  std::ofstream(json_path, std::ios::binary) << json;
  const std::string script = base.dir() + "flatten.py";
  std::ofstream(script) << R"(import json, sys
def walk(prefix, v):
    if isinstance(v, dict):
        print(prefix + '{}=' + str(len(v)))
        for k, x in v.items(): walk(prefix + k + '.', x)
    elif isinstance(v, list):
        print(prefix + '[]=' + str(len(v)))
        for i, x in enumerate(v): walk(prefix + str(i) + '.', x)
    elif isinstance(v, str):
        print(prefix[:-1] + '=' + v.replace('\n', '\\n'))
    else:
        print(prefix[:-1] + '=' + json.dumps(v))
walk('', json.load(open(sys.argv[1], encoding='utf-8')))
)";
  std::string flat;
  EXPECT_EQ(RunShell("python3 " + script + " " + json_path, &flat), 0) << "not valid JSON:\n"
                                                                       << json;
  std::map<std::string, std::string> values;
  std::istringstream lines(flat);
  for (std::string line; std::getline(lines, line);) {
    std::size_t eq = line.find('=');
    values[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return values;
}

std::string Sample() {
  std::string sn;
  EXPECT_TRUE(EncryptPassword("top secret", sn));
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<LdapConfig>"
         "<SysConfig LDAPSVRIP=\"10.1.1.1\" LDAPSVRPort=\"70000\" APPSVRIP=\"127.0.0.1\" "
         "APPSVRPort=\"7100\" SDKSVRIP=\"127.0.0.1\" SDKSVRPort=\"7101\" DC=\"dc=corp,dc=com\" "
         "ADMIN=\"管理员 \\ &quot;x&quot;\" SN=\"" +
         sn +
         "\" LDAPSVRType=\"2\" DeptMode=\"1\" AllowDC=\"2\" StepImport=\"3\" "
         "SDKCredentialFile=\"/var/lib/zelto/zelto.db.credential\" SDKCAFile=\"/etc/ca.pem\" "
         "RequireTLS=\"1\"/>"
         "<AllowDC><ChildDC DCSelect=\"1\" DCName=\"dc=corp,dc=com;\" LDAPSVRIP=\"10.1.1.2\" "
         "LDAPSVRPort=\"636\" DeptMode=\"0\" ADMIN=\"admin\" SN=\"\"/>"
         "<ChildDC DCSelect=\"0\" DCName=\"dc=b\" SN=\"hand typed\"/></AllowDC>"
         "<ManageSync SameCover=\"1\" AUTHTYPE=\"1\" UpdateTime=\"1293858000\" IfAutoSync=\"1\"/>"
         "<StartMode StartType=\"1\"/>"
         "<LimitDC><ChildDC>ou=a&#9;b,dc=corp</ChildDC></LimitDC><LimitUser><User>bob</User>"
         "<User>张三</User></LimitUser><user uid=\"\" name=\"\"/>"
         "<AD><UserProperty uid=\"ad-only\"/></AD>"
         "<NDS><UserProperty uid=\"uid\" name=\"cn\"/><DeptProperty DeptID=\"dn\"/>"
         "<SyncScope DeptDomain=\"o=a;o=b;\" PDeptType=\"1\" PDeptKey=\"k\" UserDomain=\"\" "
         "UserDeptType=\"2\" UserDeptKey=\"" +
         std::string(70, 'u') + "\"/></NDS></LdapConfig>\n";
}

void ExpectSample(const std::map<std::string, std::string>& v) {
  const std::map<std::string, std::string> expected = {
      {"DirectoryType", "2"},
      {"SysConfig.LDAPSVRIP", "10.1.1.1"},
      {"SysConfig.LDAPSVRPort", "4464"},
      {"SysConfig.APPSVRIP", "127.0.0.1"},
      {"SysConfig.APPSVRPort", "7100"},
      {"SysConfig.SDKSVRIP", "127.0.0.1"},
      {"SysConfig.SDKSVRPort", "7101"},
      {"SysConfig.DC", "dc=corp,dc=com"},
      {"SysConfig.ADMIN", "管理员 \\ \"x\""},
      {"SysConfig.SN", "***"},
      {"SysConfig.LDAPSVRType", "2"},
      {"SysConfig.DeptMode", "1"},
      {"SysConfig.AllowDC", "2"},
      {"SysConfig.StepImport", "3"},
      {"SysConfig.SDKCredentialFile", "/var/lib/zelto/zelto.db.credential"},
      {"SysConfig.SDKCAFile", "/etc/ca.pem"},
      {"SysConfig.RequireTLS", "1"},
      {"SysConfig.{}", "16"},
      {"AllowDC.[]", "2"},
      {"AllowDC.0.DCSelect", "1"},
      {"AllowDC.0.DCName", "dc=corp,dc=com"},
      {"AllowDC.0.LDAPSVRIP", "10.1.1.2"},
      {"AllowDC.0.LDAPSVRPort", "636"},
      {"AllowDC.0.DeptMode", "0"},
      {"AllowDC.0.ADMIN", "admin"},
      {"AllowDC.0.SN", ""},
      {"AllowDC.1.DCSelect", "0"},
      {"AllowDC.1.SN", "***"},
      {"ManageSync.AUTHTYPE", "1"},
      {"ManageSync.SameCover", "1"},
      {"ManageSync.IfAutoSync", "1"},
      {"ManageSync.UpdateTime", "1293858000"},
      {"ManageSync.DeleteThreshold", "500"},
      {"StartType", "1"},
      {"LimitDC.[]", "1"},
      {"LimitDC.0", "ou=a\tb,dc=corp"},
      {"LimitUser.[]", "2"},
      {"LimitUser.1", "张三"},
      {"UserAttributeNames.[]", "2"},
      {"UserAttributeNames.1", "name"},
      {"UserProperty.{}", "2"},
      {"UserProperty.uid", "uid"},
      {"UserProperty.name", "cn"},
      {"DeptProperty.DeptID", "dn"},
      {"SyncScope.DeptDomain.[]", "2"},
      {"SyncScope.DeptDomain.1", "o=b"},
      {"SyncScope.PDeptType", "1"},
      {"SyncScope.PDeptKey", "k"},
      {"SyncScope.UserDomain.[]", "0"},
      {"SyncScope.UserDeptType", "2"},
      {"SyncScope.UserDeptKey", std::string(63, 'u')},
  };
  for (const auto& [path, value] : expected) {
    auto found = v.find(path);
    ASSERT_NE(found, v.end()) << path;
    EXPECT_EQ(found->second, value) << path;
  }
  for (const auto& [path, value] : v) {
    EXPECT_EQ(value.find("top secret"), std::string::npos) << path;
  }
}

// Read back by a JSON parser, which refuses raw control characters and broken UTF-8.
std::string Decoded(const std::string& literal) {
  return nlohmann::json::parse(literal).get<std::string>();
}

TEST(JsonStringTest, EscapesWhatJsonRequiresAndReplacesBrokenUtf8) {
  EXPECT_EQ(JsonString("plain 中文"), "\"plain 中文\"");  // readable, not \u escapes
  EXPECT_EQ(JsonString("q\"b\\s/"), "\"q\\\"b\\\\s/\"");
  EXPECT_EQ(JsonString("\n\r\t\b\f"), "\"\\n\\r\\t\\b\\f\"");
  EXPECT_EQ(JsonString(std::string("\x01\x1f", 2)), "\"\\u0001\\u001f\"");
  for (const std::string& text :
       {std::string("a\0b", 3), std::string("\x01\x1f\x7f", 3), std::string("q\"b\\s/ 中文\n")}) {
    EXPECT_EQ(Decoded(JsonString(text)), text);
  }
  const std::string replacement = "\xEF\xBF\xBD";
  EXPECT_EQ(Decoded(JsonString("a\xE4\xB8z")), "a" + replacement + "z");  // cut character
  EXPECT_EQ(Decoded(JsonString("\xC0\xAF")), replacement + replacement);  // overlong "/"
  EXPECT_EQ(Decoded(JsonString("\xED\xA0\x80")),
            replacement + replacement + replacement);  // surrogate
  EXPECT_EQ(JsonString("\xF0\x9F\x98\x80"), "\"\xF0\x9F\x98\x80\"");
}

TEST(CtlConfigShowTest, PrintsTheLoadedConfigurationAsJson) {
  TempBase base;
  base.WriteConfig(Sample());
  std::ostringstream out, err;
  ASSERT_EQ(CtlConfigShow(out, err), 0) << err.str();
  EXPECT_EQ(err.str(), "");
  ExpectSample(ParseJson(base, out.str()));
}

TEST(CtlConfigShowTest, MissingOrUnreadableFileIsExitOneWithAReason) {
  TempBase base;
  for (const char* content : {static_cast<const char*>(nullptr), "", "<LdapConfig>", "<Other/>"}) {
    if (content) base.WriteConfig(content);
    std::ostringstream out, err;
    EXPECT_EQ(CtlConfigShow(out, err), 1) << (content ? content : "missing");
    EXPECT_EQ(out.str(), "");
    const std::string reason = err.str();
    EXPECT_NE(reason.find(base.ConfigPath()), std::string::npos) << reason;
    EXPECT_EQ(reason.find('\n'), reason.size() - 1) << "one line: " << reason;
  }
}

// The reason is the only line on standard error: the XML library stays quiet even about
// a file whose bytes do not match its declared encoding.
TEST(CtlConfigShowTest, WronglyEncodedFileGivesOnlyTheOneLineReason) {
  TempBase base;
  base.WriteConfig(
      "<?xml version=\"1.0\" encoding=\"GB2312\"?>\n<LdapConfig><SysConfig ADMIN=\"\xE6\xB5\x8B"
      "\xE8\xAF\x95\"/></LdapConfig>\n");
  const std::string captured = base.dir() + "stderr.txt";
  std::fflush(stderr);
  const int saved = ::dup(2);
  const int fd = ::open(captured.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  ::dup2(fd, 2);
  ::close(fd);
  std::ostringstream out, err;
  const int status = CtlConfigShow(out, err);
  std::fflush(stderr);
  ::dup2(saved, 2);
  ::close(saved);
  EXPECT_EQ(status, 1);
  std::ifstream in(captured);
  const std::string noise((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(noise, "");
  EXPECT_NE(err.str().find("无法读取配置文件"), std::string::npos) << err.str();
}

TEST(CtlConfigShowTest, MissingSectionsShowAsEmpty) {
  TempBase base;
  base.WriteConfig("<LdapConfig/>");
  std::ostringstream out, err;
  ASSERT_EQ(CtlConfigShow(out, err), 0);
  auto v = ParseJson(base, out.str());
  EXPECT_EQ(v["AllowDC.[]"], "0");
  EXPECT_EQ(v["SysConfig.SN"], "");
  EXPECT_EQ(v["UserProperty.{}"], "0");
  EXPECT_EQ(v["LimitUser.[]"], "0");
}

TEST(CtlConfigSetTest, SetsOnlyTheNamedSettingAndRefusesEverythingElse) {
  TempBase base;
  base.WriteConfig(Sample());
  std::ostringstream out, err;
  ASSERT_EQ(CtlConfigSet({"SDKCredentialFile", "/srv/zelto/new.credential"}, out, err), 0)
      << err.str();
  ASSERT_EQ(CtlConfigSet({"RequireTLS", "0"}, out, err), 0) << err.str();
  const std::vector<std::vector<std::string>> refused = {
      {"SN", "x"},          {"RequireTLS", "yes"}, {"SDKCAFile", "ca.pem"}, {"LDAPSVRPort", "0"},
      {"LDAPSVRType", "3"}, {"LDAPSVRIP", "a b"},  {"UpdateTime", "24:00"}, {"DeleteShare", "101"},
      {"AllowDC", "1"}};
  for (const std::vector<std::string>& args : refused) {
    std::ostringstream o, e;
    EXPECT_EQ(CtlConfigSet(args, o, e), 1) << args[0];
    EXPECT_EQ(e.str().find('\n'), e.str().size() - 1) << "one line: " << e.str();
  }

  std::ostringstream shown, shown_err;
  ASSERT_EQ(CtlConfigShow(shown, shown_err), 0) << shown_err.str();
  auto v = ParseJson(base, shown.str());
  EXPECT_EQ(v["SysConfig.SDKCredentialFile"], "/srv/zelto/new.credential");
  EXPECT_EQ(v["SysConfig.RequireTLS"], "0");
  // Everything else, the protected password included, is as it was.
  v["SysConfig.SDKCredentialFile"] = "/var/lib/zelto/zelto.db.credential";
  v["SysConfig.RequireTLS"] = "1";
  ExpectSample(v);
  CLdapConfig config;
  SysConfigInfo sys;
  ASSERT_TRUE(config.LoadSysConfig(sys));
  EXPECT_EQ(sys.admin_password, "top secret");
}

// The settings the wizard edits, from the shell alone: each checked as the wizard checks it,
// the password from standard input and stored protected, the domain's entry and sync scope
// following the directory settings.
TEST(CtlConfigSetTest, SetsWhatTheWizardEditsFromTheShell) {
  TempBase base;
  base.WriteConfig(Sample());
  std::istringstream no_input;
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"LDAPSVRType", "1"},
                                             {"LDAPSVRIP", "ldap.corp"},
                                             {"LDAPSVRPort", "389"},
                                             {"DC", "o=corp"},
                                             {"ADMIN", "cn=admin,o=corp"},
                                             {"SDKSVRPort", "7201"},
                                             {"IfAutoSync", "1"},
                                             {"UpdateTime", "02:30"},
                                             {"DeleteShare", "5"},
                                             {"StartType", "0"}}) {
    std::ostringstream out, err;
    EXPECT_EQ(CtlConfigSet(args, out, err, no_input), 0) << args[0] << ": " << err.str();
  }
  std::istringstream password("new secret\n");
  std::ostringstream out, err;
  ASSERT_EQ(CtlConfigSet({"SN", "-"}, out, err, password), 0) << err.str();
  EXPECT_EQ(out.str().find("new secret"), std::string::npos);
  std::istringstream empty;
  EXPECT_EQ(CtlConfigSet({"SN", "-"}, out, err, empty), 1);

  CLdapConfig config;
  config.Init();
  SysConfigInfo sys;
  ASSERT_TRUE(config.LoadSysConfig(sys));
  EXPECT_EQ(sys.directory_type, 1);
  EXPECT_EQ(sys.ldap_server_ip, "ldap.corp");
  EXPECT_EQ(sys.ldap_server_port, 389);
  EXPECT_EQ(sys.domain, "o=corp");
  EXPECT_EQ(sys.admin_account, "cn=admin,o=corp");
  EXPECT_EQ(sys.admin_password, "new secret");
  EXPECT_EQ(sys.sdk_server_port, 7201);
  EXPECT_EQ(sys.sdk_credential_file, "/var/lib/zelto/zelto.db.credential");  // kept
  std::ifstream file(base.dir() + "LdapConfig.xml");
  const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text.find("new secret"), std::string::npos);
  std::vector<DcEntry> dcs;
  ASSERT_TRUE(config.LoadDcList(dcs));
  ASSERT_EQ(dcs.size(), 2u);  // the old domain's entry became the new one's
  EXPECT_EQ(dcs[0].domain_name, "o=corp");
  EXPECT_EQ(dcs[0].server_ip, "ldap.corp");
  EXPECT_EQ(dcs[0].admin_password, "new secret");
  ManageSyncInfo manage;
  ASSERT_TRUE(config.LoadManageSync(manage));
  EXPECT_EQ(manage.auto_sync, 1);
  EXPECT_EQ(manage.update_time, DailyUpdateTime(2, 30));
  EXPECT_EQ(manage.delete_share, 5);
  int start_type = -1;
  config.LoadStartMode(start_type);  // reports false whatever it read
  EXPECT_EQ(start_type, 0);
}

#ifdef NORVANECTL_PATH
TEST(NorvanectlTest, ConfigShowPrintsTheFileOfTheGivenBase) {
  TempBase base;
  base.WriteConfig(Sample());
  std::string output;
  const std::string command = std::string(NORVANECTL_PATH) + " --base " + base.dir() +
                              " config show 2>" + base.dir() + "err.txt";
  const int status = RunShell(command, &output);
  std::ifstream err_file(base.dir() + "err.txt");
  std::string err((std::istreambuf_iterator<char>(err_file)), std::istreambuf_iterator<char>());
  if (status == 2 && err.find("usage:") != std::string::npos)
    GTEST_SKIP() << "norvanectl has no \"config show\" command registered yet";
  ASSERT_EQ(status, 0) << err;
  std::remove((base.dir() + "err.txt").c_str());
  ExpectSample(ParseJson(base, output));

  const std::string missing =
      std::string(NORVANECTL_PATH) + " --base " + base.dir() + "nowhere config show 2>&1";
  EXPECT_EQ(RunShell(missing, &output), 1);
  EXPECT_NE(output.find("nowhere/LdapConfig.xml"), std::string::npos) << output;
}
#endif

}  // namespace
}  // namespace norvane
