// How the SDK component reports failure: the error text, an unreachable or silent
// server within the deadline, a server killed mid-run and its return.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "platform/activity_log.h"
#include "server/sdk.h"
#include "tests/fixtures/zeltod_fixture.h"

namespace norvane {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

TEST(SdkErrorText, ComposedInTheReportFormat) {
  SdkError e(kSdkErrorNotFound, "Zelto.DeptManager", "AddDepartment: no such parent");
  EXPECT_EQ(ComposeSdkErrorText(e),
            "发生错误!\nCode = 80040201\nCode meaning = IDispatch error #1\n"
            "Source = Zelto.DeptManager\nDescription = AddDepartment: no such parent\n");
  SdkError bare(0x1234, "", "");
  EXPECT_EQ(ComposeSdkErrorText(bare),
            "发生错误!\nCode = 00001234\nCode meaning = Unknown error 0x1234\n"
            "Source = null\nDescription = null\n");
  EXPECT_EQ(SdkErrorMeaning(kSdkErrorUnavailable), "RPC 服务器不可用。");
  EXPECT_EQ(SdkErrorMeaning(kSdkErrorFail), "未指定的错误");
}

TEST(SdkErrorText, ReportWritesTheTextToTheActivityLog) {
  std::string seen;
  SetLogListener([&](const std::string& line) { seen += line; });
  // The log file lives in <base>/logs; whether it exists here does not matter, the line
  // is only echoed when it was written, so make sure the folder is there.
  std::filesystem::path logs = std::filesystem::path(LogFilePath()).parent_path();
  std::error_code ec;
  bool made = std::filesystem::create_directories(logs, ec);
  ReportSdkError(SdkError(kSdkErrorExists, "Zelto.UserManager", "AddUser: dup"));
  SetLogListener(nullptr);
  if (made) std::filesystem::remove_all(logs, ec);
  EXPECT_NE(seen.find("发生错误!\nCode = 80040202\n"), std::string::npos) << seen;
  EXPECT_NE(seen.find("Description = AddUser: dup\n"), std::string::npos) << seen;
}

TEST(SdkRootCreate, RefusesUnusableAddresses) {
  EXPECT_EQ(SdkRoot::Create("", 7101), nullptr);
  EXPECT_EQ(SdkRoot::Create("127.0.0.1", 0), nullptr);
  EXPECT_EQ(SdkRoot::Create("127.0.0.1", 70000), nullptr);
  EXPECT_EQ(SdkRoot::Create("bad host", 7101), nullptr);
  auto root = SdkRoot::Create("127.0.0.1", 7101);
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(root->SdkAddress(), "127.0.0.1:7101");
  EXPECT_NE(root->FirstExtraObject(), nullptr);
  EXPECT_NE(root->SecondExtraObject(), nullptr);
  EXPECT_THROW(root->SetServerPort(0), SdkError);
  EXPECT_THROW(root->SetServerAddress(""), SdkError);
}

// A loopback port with nothing listening.
int ClosedPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  close(fd);
  return ntohs(addr.sin_port);
}

TEST(SdkUnreachable, ARefusedConnectionFailsAtOnceNamingTheAddress) {
  int port = ClosedPort();
  auto root = SdkRoot::Create("127.0.0.1", port);
  ASSERT_TRUE(root);
  auto start = steady_clock::now();
  try {
    root->UserManager()->UserExists("ann");
    FAIL() << "no error";
  } catch (const SdkError& e) {
    EXPECT_EQ(e.code, kSdkErrorUnavailable);
    EXPECT_EQ(e.source, "Zelto.UserManager");
    EXPECT_NE(e.description.find("127.0.0.1:" + std::to_string(port)), std::string::npos)
        << e.description;
    EXPECT_NE(e.description.find("UserExists"), std::string::npos) << e.description;
  }
  EXPECT_LT(steady_clock::now() - start, std::chrono::seconds(10));
}

TEST(SdkUnreachable, ASilentServerFailsAtTheDeadline) {
  // Accepts connections (the kernel does) but never speaks.
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(0, bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
  ASSERT_EQ(0, listen(fd, 16));
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  int port = ntohs(addr.sin_port);

  auto root = SdkRoot::Create("127.0.0.1", port);
  root->SetCallTimeout(milliseconds(800));
  auto start = steady_clock::now();
  try {
    root->DeptManager()->DepartmentExists("HQ\\");
    FAIL() << "no error";
  } catch (const SdkError& e) {
    EXPECT_EQ(e.code, kSdkErrorTimeout);
    EXPECT_NE(e.description.find("127.0.0.1:" + std::to_string(port)), std::string::npos)
        << e.description;
    EXPECT_NE(e.description.find("800 毫秒"), std::string::npos) << e.description;
  }
  auto took = steady_clock::now() - start;
  EXPECT_GE(took, milliseconds(700));
  EXPECT_LT(took, milliseconds(5000));
  close(fd);
}

TEST(SdkApplicationAddress, CallsFailUntilTheRootKnowsTheApplicationServer) {
  auto root = SdkRoot::Create("127.0.0.1", 7101);
  try {
    root->Application()->SetName("ldapauth");
    FAIL() << "no error";
  } catch (const SdkError& e) {
    EXPECT_EQ(e.source, "Zelto.Application");
    EXPECT_NE(e.description.find("没有设置"), std::string::npos) << e.description;
  }
}

TEST(SdkCalls, InvalidUtf8IsRefusedBeforeAnyTraffic) {
  auto root = SdkRoot::Create("127.0.0.1", ClosedPort());
  std::uint64_t before = SdkCallCount();
  try {
    root->DeptManager()->AddDepartment("\xc3\x28", "");
    FAIL() << "no error";
  } catch (const SdkError& e) {
    EXPECT_EQ(e.code, kSdkErrorInvalidArg);
  }
  EXPECT_EQ(SdkCallCount(), before);
}

TEST(SdkAgainstZeltod, ServerTextAndCallCount) {
  Zeltod zeltod;
  ASSERT_TRUE(zeltod.Start()) << zeltod.LogText();
  auto root = SdkRoot::Create(zeltod.Host(), zeltod.SdkPort(), {zeltod.CredentialFile()});
  std::uint64_t before = SdkCallCount();
  EXPECT_EQ(root->ServerText().rfind("Zelto Server", 0), 0u);
  root->UserManager()->AddUser("ann", 0);
  EXPECT_TRUE(root->UserManager()->UserExists("ann"));
  EXPECT_THROW(root->UserManager()->AddUser("ann", 0), SdkError);
  EXPECT_EQ(SdkCallCount() - before, 4u);  // failed calls count too
}

TEST(SdkAgainstZeltod, AKilledServerGivesErrorsAndARestartedOneIsFoundAgain) {
  Zeltod zeltod;
  ASSERT_TRUE(zeltod.Start()) << zeltod.LogText();
  auto root = SdkRoot::Create(zeltod.Host(), zeltod.SdkPort(), {zeltod.CredentialFile()});
  root->UserManager()->AddUser("ann", 0);
  zeltod.Kill();
  try {
    root->UserManager()->UserExists("ann");
    FAIL() << "no error from a dead server";
  } catch (const SdkError& e) {
    EXPECT_EQ(e.code, kSdkErrorUnavailable) << e.description;
    EXPECT_NE(e.description.find(zeltod.SdkAddress()), std::string::npos) << e.description;
  }
  EXPECT_THROW(root->ServerText(), SdkError);
  ASSERT_TRUE(zeltod.Start()) << zeltod.LogText();  // same ports, same database
  // The same root reconnects by itself within a few seconds.
  bool back = false;
  for (int i = 0; i < 30 && !back; ++i) {
    try {
      back = root->UserManager()->UserExists("ann");
    } catch (const SdkError&) {
      std::this_thread::sleep_for(milliseconds(100));
    }
  }
  EXPECT_TRUE(back);
}

}  // namespace
}  // namespace norvane
