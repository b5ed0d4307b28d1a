// norvanectl sync, preview and import-users as an administrator runs them.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "platform/run_lock.h"
#include "tests/fixtures/script_runner.h"
#include "tests/fixtures/zeltod_fixture.h"
#include "tests/sync/sync_test_support.h"

namespace norvane::testing {
namespace {

class CtlSyncTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(slapd_.Start());
    ASSERT_TRUE(zeltod_.Start()) << zeltod_.LogText();
    settings_ = CorpSettings(slapd_);
  }

  ScriptResult Ctl(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {std::string(NORVANE_BINARY_DIR) + "/bin/norvanectl", "--base",
                                     base_.dir()};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunScript(argv, "", std::chrono::seconds(300));
  }

  // Every file under the base folder, with its content.
  std::map<std::string, std::string> BaseFiles() const {
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(base_.dir())) {
      if (!entry.is_regular_file()) continue;
      std::ifstream in(entry.path(), std::ios::binary);
      std::ostringstream content;
      content << in.rdbuf();
      files[entry.path().string()] = content.str();
    }
    return files;
  }

  SlapdServer slapd_;
  Zeltod zeltod_;
  BaseFolderScope base_;
  ConfigSpec settings_;
};

TEST_F(CtlSyncTest, SyncEchoesTheLogAndReportsTheResult) {
  ASSERT_TRUE(base_.WriteConfig(settings_, zeltod_));
  ScriptResult r = Ctl({"sync"});
  EXPECT_EQ(r.exit_code, 0) << r.errors;
  EXPECT_NE(r.errors.find("] 导入部门数据成功\n"), std::string::npos) << r.errors;
  EXPECT_NE(r.errors.find("] 导入LDAP数据成功\n"), std::string::npos);
  EXPECT_NE(r.errors.find("LDAP数据已成功导入Zelto服务器，请打开Zelto管理器查看!"),
            std::string::npos);
  EXPECT_EQ(r.errors.find("\033["), std::string::npos);  // no progress line off a terminal
  EXPECT_TRUE(DumpOrg(zeltod_).HasDept("Sales\\East\\"));

  settings_.password = "wrong";
  ASSERT_TRUE(base_.WriteConfig(settings_, zeltod_));
  r = Ctl({"sync"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.errors.find("ConnectLdapsvr失败"), std::string::npos);
  EXPECT_NE(r.errors.find("LDAP数据导入失败，详情请见系统日志."), std::string::npos);
}

// A new administrator's path: the shipped configuration, set up with config set alone (the
// password on standard input), then a sync and a login check.
TEST_F(CtlSyncTest, TheShippedConfigurationIsSetUpFromTheShellAlone) {
  {
    std::ifstream in(std::string(NORVANE_SOURCE_DIR) + "/res/LdapConfig.xml", std::ios::binary);
    std::ofstream(base_.dir() + "/LdapConfig.xml", std::ios::binary) << in.rdbuf();
  }
  std::vector<std::pair<std::string, std::string>> settings = {
      {"LDAPSVRType", "1"},
      {"LDAPSVRIP", "127.0.0.1"},
      {"LDAPSVRPort", std::to_string(slapd_.Port())},
      {"DC", "o=corp"},
      {"ADMIN", settings_.admin},
      {"RequireTLS", "0"}};  // the test slapd speaks plain text
  for (const auto& setting : zeltod_.ClientSettings()) settings.push_back(setting);
  for (const auto& [name, value] : settings) {
    ScriptResult r = Ctl({"config", "set", name, value});
    EXPECT_EQ(r.exit_code, 0) << name << ": " << r.errors;
  }
  ScriptResult r = RunScript({std::string(NORVANE_BINARY_DIR) + "/bin/norvanectl", "--base",
                              base_.dir(), "config", "set", "SN", "-"},
                             settings_.password + "\n", std::chrono::seconds(30));
  ASSERT_EQ(r.exit_code, 0) << r.errors;
  r = Ctl({"sync"});
  EXPECT_EQ(r.exit_code, 0) << r.errors;
  EXPECT_TRUE(DumpOrg(zeltod_).HasDept("Sales\\East\\"));
  r = RunScript({std::string(NORVANE_BINARY_DIR) + "/bin/norvanectl", "--base", base_.dir(),
                 "verify", "alice"},
                "alice-pass\n", std::chrono::seconds(30));
  EXPECT_EQ(r.exit_code, 0) << r.output << r.errors;
}

TEST_F(CtlSyncTest, PreviewPrintsTheIndentedTreeWithoutWritingTheServer) {
  ASSERT_TRUE(base_.WriteConfig(settings_, zeltod_));
  ScriptResult r = Ctl({"preview"});
  EXPECT_EQ(r.exit_code, 0) << r.errors;
  EXPECT_NE(r.output.find("\n  Sales\n    East\n"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("\n  Engineering\n    Platform\n"), std::string::npos);
  EXPECT_TRUE(DumpOrg(zeltod_).departments.empty());

  // Departments from groups: the groups are what the dialog shows and excludes.
  settings_.dept_mode = 1;
  ASSERT_TRUE(base_.WriteConfig(settings_, zeltod_));
  r = Ctl({"preview"});
  EXPECT_EQ(r.exit_code, 0) << r.errors;
  EXPECT_NE(r.output.find("\n  Engineers\n    Platform Team\n"), std::string::npos) << r.output;
  EXPECT_EQ(r.output.find("East"), std::string::npos);
  EXPECT_TRUE(DumpOrg(zeltod_).departments.empty());
}

TEST_F(CtlSyncTest, ImportUsersIsForActiveDirectoryOnly) {
  ASSERT_TRUE(base_.WriteConfig(settings_, zeltod_));
  ScriptResult r = Ctl({"import-users", "alice;bob"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_TRUE(DumpOrg(zeltod_).users.empty());
}

TEST_F(CtlSyncTest, AuthDomainImportsThenSwitchesTheAccountsItPlaced) {
  settings_.same_cover = 1;  // keep the server's own account below
  ASSERT_TRUE(base_.WriteConfig(settings_, zeltod_));
  ASSERT_EQ(zeltod_.Ctl({"add-user", "server-only"}), 0);

  ScriptResult r = Ctl({"auth", "--domain", "--type", "ldap"});
  EXPECT_EQ(r.exit_code, 0) << r.errors;
  EXPECT_EQ(r.output, "设置当前配置域同步用户第三方认证成功!\n");
  EXPECT_NE(r.errors.find("] 导入LDAP数据成功\n"), std::string::npos) << r.errors;
  ServerOrg org = DumpOrg(zeltod_);
  ASSERT_TRUE(org.users.count("alice") && org.users.count("bob"));
  EXPECT_EQ(org.users["alice"].Field("authType"), "3");
  EXPECT_EQ(org.users["bob"].Field("authType"), "3");
  EXPECT_EQ(org.users["server-only"].Field("authType"), "0");

  r = Ctl({"auth", "--domain", "--type", "local"});
  EXPECT_EQ(r.exit_code, 0) << r.errors;
  EXPECT_EQ(r.output, "取消当前配置域同步用户第三方认证成功!\n");
  EXPECT_EQ(DumpOrg(zeltod_).users["alice"].Field("authType"), "0");

  // An import that fails switches nobody and says so.
  settings_.password = "wrong";
  ASSERT_TRUE(base_.WriteConfig(settings_, zeltod_));
  r = Ctl({"auth", "--domain", "--type", "ldap"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.output, "设置当前配置域同步用户第三方认证失败!\n");
  EXPECT_EQ(DumpOrg(zeltod_).users["alice"].Field("authType"), "0");
}

TEST_F(CtlSyncTest, RunsThatWriteTheServerRefuseWhileAnotherHoldsTheLock) {
  ASSERT_TRUE(base_.WriteConfig(settings_, zeltod_));
  RunLock other(base_.dir());
  ASSERT_TRUE(other.TryAcquire());
  for (const std::vector<std::string>& args : {std::vector<std::string>{"sync"},
                                               {"update"},
                                               {"import-users", "alice"},
                                               {"auth", "--all", "--type", "ldap"},
                                               {"auth", "--users", "alice", "--type", "local"}}) {
    ScriptResult r = Ctl(args);
    EXPECT_EQ(r.exit_code, 1) << args[0];
    EXPECT_NE(r.errors.find(kAnotherSyncRunning), std::string::npos) << args[0] << r.errors;
  }
  EXPECT_TRUE(DumpOrg(zeltod_).users.empty());
}

// The plan of a dry run is what the run then does, and making it writes nothing anywhere.
TEST_F(CtlSyncTest, ADryRunPlansWhatTheRunDoesAndWritesNothing) {
  ASSERT_TRUE(base_.WriteConfig(settings_, zeltod_));
  ASSERT_EQ(Ctl({"sync"}).exit_code, 0);
  ASSERT_TRUE(slapd_.Modify(
      "dn: uid=bob,ou=East,ou=Sales,o=corp\nchangetype: modrdn\nnewrdn: uid=bob\n"
      "deleteoldrdn: 1\nnewsuperior: ou=Engineering,o=corp\n\n"
      "dn: uid=dave,ou=Platform,ou=Engineering,o=corp\nchangetype: delete\n\n"
      "dn: ou=West,ou=Sales,o=corp\nchangetype: add\nobjectClass: organizationalUnit\n"
      "ou: West\n"));
  const std::string server_before = DumpOrg(zeltod_).users.at("bob").line;
  const auto files_before = BaseFiles();

  ScriptResult r = Ctl({"sync", "--dry-run", "--json"});
  ASSERT_EQ(r.exit_code, 2) << r.errors;
  const nlohmann::json plan = nlohmann::json::parse(r.output);
  EXPECT_EQ(plan["changes"], 3);
  // Paths name a department's ancestors as the engine addresses them (upper case).
  EXPECT_EQ(plan["departments"]["add"], nlohmann::json({"SALES\\West"}));
  EXPECT_EQ(plan["users"]["remove"], nlohmann::json({"dave"}));
  EXPECT_EQ(plan["users"]["move"][0]["account"], "bob");
  EXPECT_EQ(plan["users"]["move"][0]["to"], nlohmann::json({"ENGINEERING"}));
  EXPECT_FALSE(plan["guard"]["stops_run"]);
  EXPECT_EQ(DumpOrg(zeltod_).users.at("bob").line, server_before);
  EXPECT_TRUE(DumpOrg(zeltod_).users.count("dave"));
  // No log line, document, report or lock content.
  const auto files_after = BaseFiles();
  EXPECT_EQ(files_after.size(), files_before.size());
  for (const auto& [path, content] : files_before) {
    EXPECT_TRUE(files_after.count(path) && files_after.at(path) == content) << path;
  }

  r = Ctl({"sync"});
  ASSERT_EQ(r.exit_code, 0) << r.errors;
  r = Ctl({"runs", "--last", "1", "--json"});
  const nlohmann::json report = nlohmann::json::parse(r.output);
  EXPECT_EQ(report["kind"], "sync");
  EXPECT_EQ(report["trigger"], "command");
  EXPECT_EQ(report["result"], "success");
  EXPECT_EQ(report["departments"], plan["departments"]);
  for (const char* list : {"add", "move", "remove", "auth_type"}) {
    EXPECT_EQ(report["users"][list], plan["users"][list]) << list;
  }
  EXPECT_EQ(std::filesystem::status(base_.dir() + "/logs/runs.jsonl").permissions() &
                std::filesystem::perms::all,
            std::filesystem::perms(0640));
  EXPECT_EQ(Ctl({"sync", "--dry-run"}).exit_code, 0);  // nothing left to do

  settings_.password = "wrong";
  ASSERT_TRUE(base_.WriteConfig(settings_, zeltod_));
  EXPECT_EQ(Ctl({"sync", "--dry-run"}).exit_code, 1);  // no plan without the directory
}

// The guard's refusal says how to see the removals and how to let one run make them.
TEST_F(CtlSyncTest, AllowRemovalsLetsOneRunPastTheGuardWhenItCoversThePlan) {
  ASSERT_TRUE(base_.WriteConfig(settings_, zeltod_));
  ASSERT_EQ(Ctl({"sync"}).exit_code, 0);
  settings_.delete_threshold = 1;
  ASSERT_TRUE(base_.WriteConfig(settings_, zeltod_));
  ASSERT_TRUE(
      slapd_.Modify("dn: uid=dave,ou=Platform,ou=Engineering,o=corp\nchangetype: delete\n\n"
                    "dn: uid=carol,ou=Engineering,o=corp\nchangetype: delete\n"));

  ScriptResult r = Ctl({"sync"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.errors.find("超过删除上限1"), std::string::npos) << r.errors;
  EXPECT_NE(r.errors.find("norvanectl sync --dry-run"), std::string::npos);
  EXPECT_NE(r.errors.find("--allow-removals 2"), std::string::npos);
  r = Ctl({"sync", "--dry-run", "--json"});
  EXPECT_EQ(r.exit_code, 2);
  const nlohmann::json plan = nlohmann::json::parse(r.output);
  EXPECT_EQ(plan["guard"],
            nlohmann::json({{"removals", 2}, {"threshold", 1}, {"stops_run", true}}));

  EXPECT_EQ(Ctl({"sync", "--allow-removals", "1"}).exit_code, 1);
  EXPECT_TRUE(DumpOrg(zeltod_).users.count("carol"));
  EXPECT_EQ(Ctl({"sync", "--allow-removals", "2"}).exit_code, 0);
  EXPECT_FALSE(DumpOrg(zeltod_).users.count("carol"));
  r = Ctl({"runs", "--last", "2"});
  EXPECT_NE(r.output.find("失败"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("删除保护"), std::string::npos);
}

}  // namespace
}  // namespace norvane::testing
