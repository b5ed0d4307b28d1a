// norvanectl verify and norvanectl auth as real processes, against zeltod and slapd.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/auth/auth_test_support.h"
#include "tests/fixtures/script_runner.h"
#include "tests/fixtures/slapd_fixture.h"
#include "tests/fixtures/zeltod_fixture.h"

namespace norvane {
namespace {

using testing::AuthBase;
using testing::AuthConfigSpec;
using testing::ScriptResult;
using testing::ZeltoAuthType;

const std::string kAlice = "uid=alice,ou=Sales,o=corp";
const std::string kBob = "uid=bob,ou=East,ou=Sales,o=corp";

class CtlAuth : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(slapd_.Start());
    ASSERT_TRUE(zeltod_.Start()) << zeltod_.LogText();
    AuthConfigSpec settings;
    settings.ldap_port = slapd_.port();
    settings.admin = slapd_.admin_dn();
    settings.password = slapd_.admin_password();
    ASSERT_TRUE(base_.WriteConfig(settings, zeltod_));
    ASSERT_TRUE(testing::AddZeltoUser(zeltod_, kAlice, 0, "zelto-pass"));
    ASSERT_TRUE(testing::AddZeltoUser(zeltod_, kBob, 0, "zelto-pass"));
  }

  ScriptResult Ctl(std::vector<std::string> args, const std::string& input = "") {
    args.insert(args.begin(),
                {std::string(NORVANE_BINARY_DIR) + "/bin/norvanectl", "--base", base_.dir()});
    return testing::RunScript(args, input, std::chrono::seconds(120));
  }

  std::string LogFile() const {
    std::ifstream in(base_.dir() + "/logs/norvanelog.log");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  testing::Slapd slapd_;
  AuthBase base_;
  Zeltod zeltod_;
};

TEST_F(CtlAuth, VerifyChecksTheDirectoryAndSaysWhat) {
  ScriptResult r = Ctl({"verify", kAlice}, "alice-pass\n");
  EXPECT_EQ(r.exit_code, 0) << r.errors;
  EXPECT_EQ(r.output, "0 accepted (directory result 0)\n");

  r = Ctl({"verify", kAlice}, "bob-pass\n");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.output, "2 wrong password (directory result 49)\n");

  r = Ctl({"verify", kAlice}, "\n");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.output, "2 wrong password (directory result 49)\n");

  r = Ctl({"verify", kAlice});  // no password at all
  EXPECT_EQ(r.exit_code, 2);
  r = Ctl({"verify"}, "alice-pass\n");
  EXPECT_EQ(r.exit_code, 2);

  EXPECT_EQ(LogFile().find("alice-pass"), std::string::npos);
  EXPECT_EQ(LogFile().find("bob-pass"), std::string::npos);
}

TEST_F(CtlAuth, VerifyOfAnUnreachableDirectoryIsRefused) {
  slapd_.Stop();
  ScriptResult r = Ctl({"verify", kAlice}, "alice-pass\n");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.output.rfind("1 refused (directory result -18: no connection to 127.0.0.1:", 0), 0u)
      << r.output;
}

TEST_F(CtlAuth, AuthSwitchesAndReportsWithTheWindowsTexts) {
  ScriptResult r = Ctl({"auth", "--all", "--type", "ldap"});
  EXPECT_EQ(r.exit_code, 0) << r.errors;
  EXPECT_EQ(r.output, "关联所有用户LDAP认证成功，请用LDAP用户密码登录\n");
  EXPECT_EQ(ZeltoAuthType(zeltod_, kAlice), 3);
  EXPECT_EQ(ZeltoAuthType(zeltod_, kBob), 3);

  r = Ctl({"auth", "--users", kAlice + ";uid=nobody,o=corp;" + kBob, "--type", "local"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.output, "");
  EXPECT_NE(r.errors.find("调用新的Zelto SDK设置用户认证类型接口失败!"), std::string::npos);
  EXPECT_EQ(ZeltoAuthType(zeltod_, kAlice), 0);
  EXPECT_EQ(ZeltoAuthType(zeltod_, kBob), 3);

  r = Ctl({"auth", "--users", kBob, "--type", "local"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.output, "设置用户认证类型成功!\n");
  EXPECT_EQ(ZeltoAuthType(zeltod_, kBob), 0);

  EXPECT_EQ(Ctl({"auth", "--all", "--domain", "--type", "ldap"}).exit_code, 2);
  EXPECT_EQ(Ctl({"auth", "--all", "--type", "3"}).exit_code, 2);
  EXPECT_EQ(Ctl({"auth", "--all"}).exit_code, 2);
}

TEST_F(CtlAuth, AFailedSwitchOfAllUsersIsNotReportedAsSuccess) {
  ASSERT_TRUE(zeltod_.Stop());
  ScriptResult r = Ctl({"auth", "--all", "--type", "local"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.output, "取消所有用户LDAP认证失败，详情请见系统日志\n");
  r = Ctl({"auth", "--all", "--type", "ldap"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.output, "关联所有用户LDAP认证失败，请用Zelto用户密码登录\n");
}

TEST_F(CtlAuth, WithoutAServerAddressNothingIsReportedAsSwitched) {
  ASSERT_EQ(std::remove((base_.dir() + "/LdapConfig.xml").c_str()), 0);
  ScriptResult r = Ctl({"auth", "--all", "--type", "ldap"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.output, "关联所有用户LDAP认证失败，请用Zelto用户密码登录\n");
  EXPECT_NE(r.errors.find("没有可切换帐号的Zelto服务器"), std::string::npos) << r.errors;
  r = Ctl({"auth", "--users", kAlice, "--type", "ldap"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.output, "");
  EXPECT_EQ(ZeltoAuthType(zeltod_, kAlice), 0);
}

}  // namespace
}  // namespace norvane
