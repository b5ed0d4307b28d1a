// The norvane program in service mode under a simulated systemd (a notification socket read
// by the test, INVOCATION_ID): ready, logins answered through zeltod against slapd, answered
// again after the Zelto server restarts or stops the application, and a clean stop on
// SIGTERM; a start while the Zelto server does not answer fails so that systemd retries.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "config/ldap_config.h"
#include "tests/app/app_test_support.h"
#include "tests/auth/auth_test_support.h"
#include "tests/fixtures/script_runner.h"
#include "tests/fixtures/slapd_fixture.h"
#include "tests/fixtures/zeltod_fixture.h"

namespace norvane {
namespace {

using namespace std::chrono_literals;
using testing::Login;
using testing::RunScript;
using testing::ScriptResult;
using testing::WaitUntil;

const std::string kAlice = "uid=alice,ou=Sales,o=corp";

class ServiceMode : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { slapd_ = testing::StartSuiteSlapd(); }
  static void TearDownTestSuite() {
    delete slapd_;
    slapd_ = nullptr;
  }

  void SetUp() override {
    ASSERT_NE(slapd_, nullptr);
    ASSERT_TRUE(zeltod_.Start()) << zeltod_.LogText();
    testing::AuthConfigSpec settings;
    settings.ldap_port = slapd_->port();
    settings.admin = slapd_->admin_dn();
    settings.password = slapd_->admin_password();
    ASSERT_TRUE(base_.WriteConfig(settings, zeltod_));
    CLdapConfig config;
    config.Init();
    ASSERT_TRUE(config.SaveStartMode(1));
    program_ = std::make_unique<testing::Program>(base_.dir());
    ASSERT_EQ(program_->Run({"-install"}, root_.Environment()), 0) << program_->Errors();
    env_ = root_.Environment();
    env_["NOTIFY_SOCKET"] = notify_.path();
    env_["INVOCATION_ID"] = "0123456789abcdef0123456789abcdef";
  }

  std::string Log() const { return testing::ReadLog(base_.dir()); }

  static testing::Slapd* slapd_;
  testing::AuthBase base_;
  Zeltod zeltod_;
  testing::SystemRoot root_;
  testing::NotifySocket notify_{root_.dir};
  std::unique_ptr<testing::Program> program_;
  std::map<std::string, std::string> env_;
};

testing::Slapd* ServiceMode::slapd_ = nullptr;

TEST_F(ServiceMode, AnswersLoginsRecoversFromServerRestartsAndStopsOnSigterm) {
  ASSERT_TRUE(notify_.ok());
  const std::string password = slapd_->User("alice").password;
  ASSERT_TRUE(testing::AddZeltoUser(zeltod_, kAlice, 3));
  ASSERT_TRUE(program_->Start({}, env_));
  ASSERT_TRUE(notify_.WaitFor("READY=1", 60s)) << program_->Errors();
  // Ready means answering: the first login after it is checked, not refused unanswered.
  EXPECT_EQ(Login(zeltod_, kAlice, password), 0) << Log();
  EXPECT_EQ(Login(zeltod_, kAlice, "wrong"), 2);

  // What the program publishes: the metrics file, the status norvanectl reads, STATUS=.
  const std::string metrics = base_.dir() + "/logs/metrics.prom";
  auto published = [&] {
    std::ifstream in(metrics);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  };
  EXPECT_TRUE(WaitUntil(
      [&] {
        const std::string text = published();
        return text.find("norvane_logins_total{result=\"accepted\"} 1\n") != std::string::npos &&
               text.find("norvane_logins_total{result=\"wrong_password\"} 1\n") !=
                   std::string::npos;
      },
      15s))
      << published();
  EXPECT_NE(published().find("norvane_login_duration_seconds_count 2\n"), std::string::npos);
  EXPECT_TRUE(notify_.WaitFor("STATUS=正在运行, 登录验证已注册", 15s));
  auto status = [&] {
    ScriptResult r = RunScript({std::string(NORVANE_BINARY_DIR) + "/bin/norvanectl", "--base",
                                base_.dir(), "status", "--json"},
                               "", 30s);
    EXPECT_EQ(r.exit_code, 0) << r.errors;
    return nlohmann::json::parse(r.output, nullptr, false);
  };
  nlohmann::json now = status();
  EXPECT_EQ(now["running"], true) << now.dump();
  EXPECT_EQ(now["mode"], "service");
  EXPECT_EQ(now["answering"], true);
  EXPECT_EQ(now["logins"]["accepted"], 1);
  EXPECT_EQ(now["logins"]["wrong_password"], 1);

  // The server is killed and comes back on the same ports: at once, then after the
  // watchdog has found it down.
  for (auto down_for : {0s, 3s}) {
    zeltod_.Kill();
    std::this_thread::sleep_for(down_for);
    ASSERT_TRUE(zeltod_.Start()) << zeltod_.LogText();
    EXPECT_TRUE(WaitUntil([&] { return Login(zeltod_, kAlice, password) == 0; }, 5s)) << Log();
  }
  EXPECT_NE(Log().find("] 服务已停止\n"), std::string::npos);

  // The server stops the application while it keeps answering.
  ASSERT_EQ(zeltod_.Ctl({"stop-app"}), 0);
  EXPECT_TRUE(WaitUntil([&] { return Login(zeltod_, kAlice, password) == 0; }, 5s)) << Log();

  program_->Signal(SIGTERM);
  EXPECT_TRUE(notify_.WaitFor("STOPPING=1", 25s));
  EXPECT_EQ(program_->Wait(25s), 0) << Log();
  // The journal (the service's standard output) holds the log's lines, with priorities.
  EXPECT_NE(program_->Output().find("<6>["), std::string::npos) << program_->Output();
  EXPECT_NE(program_->Output().find("] 服务已停止\n"), std::string::npos) << program_->Output();
  EXPECT_EQ(Login(zeltod_, kAlice, password), 1);
  now = status();
  EXPECT_EQ(now["running"], false);  // the status file went with the program
}

TEST_F(ServiceMode, AStartWhileTheZeltoServerDoesNotAnswerFailsSoThatSystemdRetries) {
  ASSERT_TRUE(zeltod_.Stop());
  ASSERT_TRUE(program_->Start({}, env_));
  EXPECT_EQ(program_->Wait(60s), 1);
  EXPECT_NE(Log().find("检测到Zelto服务器的APPServer处于已停止或异常状态，请打开Zelto管理器启动!"),
            std::string::npos)
      << Log();
}

}  // namespace
}  // namespace norvane
