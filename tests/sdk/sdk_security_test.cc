// How the SDK component speaks to the server as the configuration says: its credential on
// every call, TLS checked against SDKCAFile, and no plain text off this machine.
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/activity_log.h"
#include "server/organisation.h"
#include "server/sdk.h"
#include "tests/config/config_test_support.h"
#include "tests/fixtures/zeltod_fixture.h"

// gRPC resolves "localhost" through c-ares, which keeps a few bytes of its own for the life
// of the process; that is not ours to fix.
extern "C" const char* __lsan_default_suppressions() { return "leak:libcares.so\n"; }

namespace norvane {
namespace {

class AcceptingSink : public SdkEventSink {
 public:
  int OnLoginVerify(const std::string&, const std::string& password,
                    std::chrono::steady_clock::time_point) override {
    ++verifications;
    return password == "right" ? 0 : 2;
  }
  void OnAppStopped() override {}
  std::atomic<int> verifications{0};
};

class SdkSecurityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(base_.dir() + "logs");
    SetLogListener([this](const std::string& line) {
      std::lock_guard<std::mutex> lock(mu_);
      lines_.push_back(line);
    });
  }
  void TearDown() override { SetLogListener(nullptr); }

  // A configuration naming the server at sdk_host/app_host with these trust settings.
  void WriteConfig(const Zeltod& zeltod, const std::string& sdk_host, const std::string& app_host,
                   const std::string& credential, const std::string& ca) {
    base_.WriteConfig("<LdapConfig><SysConfig SDKSVRIP=\"" + sdk_host + "\" SDKSVRPort=\"" +
                      std::to_string(zeltod.SdkPort()) + "\" APPSVRIP=\"" + app_host +
                      "\" APPSVRPort=\"" + std::to_string(zeltod.AppPort()) +
                      "\" SDKCredentialFile=\"" + credential + "\" SDKCAFile=\"" + ca +
                      "\"/></LdapConfig>");
  }
  int Count(const std::string& fragment) {
    std::lock_guard<std::mutex> lock(mu_);
    int n = 0;
    for (const std::string& line : lines_) n += line.find(fragment) != std::string::npos;
    return n;
  }

  testing::TempBase base_;
  std::mutex mu_;
  std::vector<std::string> lines_;
};

TEST_F(SdkSecurityTest, OverTlsTheCallsAndTheEventConnectionWorkWithTheServersCa) {
  Zeltod zeltod({.tls = true});
  ASSERT_TRUE(zeltod.Start()) << zeltod.LogText();
  ASSERT_EQ(0, zeltod.Ctl({"add-user", "dir.user"}));
  ASSERT_EQ(0, zeltod.Ctl({"set-auth", "dir.user", "3"}));
  WriteConfig(zeltod, "localhost", "localhost", zeltod.CredentialFile(), zeltod.CaFile());
  std::unique_ptr<SdkRoot> root = CreateConfiguredSdkRoot();
  ASSERT_NE(root, nullptr);
  EXPECT_NE(root->ServerText().find("Zelto"), std::string::npos);
  SdkApplication* app = root->Application();
  AcceptingSink sink;
  app->SetIdentifier("{6C3A1F52-4E0B-4B8E-9D71-2A5F0C7E9B13}");
  app->SetName("ldapauth");
  app->Register();
  app->Connect(&sink);
  ASSERT_GE(app->Start("", 8), 0);
  std::string out;
  EXPECT_EQ(0, zeltod.Ctl({"login", "dir.user"}, &out, "right\n")) << out;
  EXPECT_EQ(sink.verifications, 1);

  // A server whose certificate the CA did not sign is not talked to.
  WriteConfig(zeltod, "127.0.0.1", "127.0.0.1", zeltod.CredentialFile(), zeltod.OtherCaFile());
  std::unique_ptr<SdkRoot> untrusting = CreateConfiguredSdkRoot();
  ASSERT_NE(untrusting, nullptr);
  try {
    untrusting->ServerText();
    ADD_FAILURE() << "a certificate of an unknown CA was accepted";
  } catch (const SdkError& e) {
    EXPECT_EQ(e.code, kSdkErrorUnavailable) << e.description;
  }
}

TEST_F(SdkSecurityTest, PlainTextNeverLeavesThisMachine) {
  Zeltod zeltod;
  ASSERT_TRUE(zeltod.Start()) << zeltod.LogText();
  const std::uint64_t calls = SdkCallCount();
  // 192.0.2.0/24 is reserved for documentation: nothing answers there.
  WriteConfig(zeltod, "192.0.2.10", "127.0.0.1", zeltod.CredentialFile(), "");
  EXPECT_EQ(CreateConfiguredSdkRoot(), nullptr);
  EXPECT_EQ(Count("192.0.2.10:" + std::to_string(zeltod.SdkPort()) +
                  " 不在本机, 而 SDKCAFile 没有指定 CA"),
            1);

  // The SDK server on loopback, the application server elsewhere: refused at its first
  // call, before any traffic.
  WriteConfig(zeltod, "127.0.0.1", "192.0.2.10", zeltod.CredentialFile(), "");
  std::unique_ptr<SdkRoot> root = CreateConfiguredSdkRoot();
  ASSERT_NE(root, nullptr);
  try {
    root->Application()->Register();
    ADD_FAILURE() << "a plain-text call left the machine";
  } catch (const SdkError& e) {
    EXPECT_EQ(e.code, kSdkErrorAccessDenied) << e.description;
  }
  EXPECT_EQ(SdkCallCount(), calls);
  EXPECT_EQ(Count("Zelto应用服务器 192.0.2.10"), 1);

  // Every loopback spelling is this machine.
  for (const char* host : {"localhost", "127.0.0.1", "127.45.0.9", "::1"}) {
    EXPECT_NE(SdkRoot::Create(host, zeltod.SdkPort(), {zeltod.CredentialFile()}), nullptr) << host;
  }
}

TEST_F(SdkSecurityTest, ARefusedCredentialIsSaidOnceAndAnUnreadableOneMakesNoRoot) {
  Zeltod zeltod;
  ASSERT_TRUE(zeltod.Start()) << zeltod.LogText();
  WriteConfig(zeltod, "127.0.0.1", "127.0.0.1", "", "");
  std::unique_ptr<SdkRoot> root = CreateConfiguredSdkRoot();
  ASSERT_NE(root, nullptr);
  for (int i = 0; i < 3; ++i) {
    try {
      root->ServerText();
      ADD_FAILURE() << "a call without the credential went through";
    } catch (const SdkError& e) {
      EXPECT_EQ(e.code, kSdkErrorAccessDenied);
      EXPECT_NE(ComposeSdkErrorText(e).find("拒绝访问。"), std::string::npos);
    }
  }
  EXPECT_EQ(Count("拒绝了本程序的凭据"), 1);
  EXPECT_EQ(Count("没有配置凭据文件; 请把 SDKCredentialFile"), 1);

  const std::string missing = zeltod.Dir() + "/no-such.credential";
  WriteConfig(zeltod, "127.0.0.1", "127.0.0.1", missing, "");
  EXPECT_EQ(CreateConfiguredSdkRoot(), nullptr);
  EXPECT_EQ(Count("credential file " + missing + ": cannot open it"), 1);

  WriteConfig(zeltod, "127.0.0.1", "127.0.0.1", zeltod.CredentialFile(), "");
  root = CreateConfiguredSdkRoot();
  ASSERT_NE(root, nullptr);
  EXPECT_NE(root->ServerText().find("Zelto"), std::string::npos);

  // Another user's file that this process may not read, as the service without capabilities
  // finds zeltod's: the line says how to share it, not to set another file.
  const std::string others = zeltod.Dir() + "/others.credential";
  std::filesystem::copy_file(zeltod.CredentialFile(), others);
  ASSERT_EQ(chown(others.c_str(), 65534, 65534), 0);
  std::thread without_capabilities([&] {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct none[2] = {};
    ASSERT_EQ(syscall(SYS_capset, &header, none), 0);  // this thread only
    EXPECT_EQ(SdkRoot::Create("127.0.0.1", zeltod.SdkPort(), {others}), nullptr);
  });
  without_capabilities.join();
  EXPECT_EQ(Count("zeltod --credential-group zelto"), 1);

  // Another server's credential: the line names the file that was sent.
  const std::string foreign = zeltod.Dir() + "/foreign.credential";
  std::ofstream(foreign) << "0123456789abcdef0123456789abcdef\n";
  WriteConfig(zeltod, "127.0.0.1", "127.0.0.1", foreign, "");
  root = CreateConfiguredSdkRoot();
  ASSERT_NE(root, nullptr);
  EXPECT_THROW(root->ServerText(), SdkError);
  EXPECT_EQ(Count("凭据读自 " + foreign + "; 请把 SDKCredentialFile"), 1);
}

}  // namespace
}  // namespace norvane
