// zeltoctl against a real zeltod, and what survives a killed or stopped server.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "server/sdk.h"
#include "tests/fixtures/zeltod_fixture.h"

namespace norvane {
namespace {

class Zeltoctl : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(zeltod_.Start()) << zeltod_.LogText(); }
  Zeltod zeltod_;
};

TEST_F(Zeltoctl, BuildsAnOrganisationAndShowsItAsTreeAndDump) {
  std::string out, err;
  ASSERT_EQ(0, zeltod_.Ctl({"add-dept", "HQ\\Sales\\"}, &out, "", &err)) << err;
  ASSERT_EQ(0, zeltod_.Ctl({"add-dept", "HQ\\Lab\\"}, &out, "", &err)) << err;
  ASSERT_EQ(0, zeltod_.Ctl({"add-dept", "Ops"}, &out, "", &err)) << err;
  ASSERT_EQ(0, zeltod_.Ctl({"add-user", "ann", "HQ\\Sales\\"}, &out, "", &err)) << err;
  ASSERT_EQ(0, zeltod_.Ctl({"add-user", "bob"}, &out, "", &err)) << err;
  ASSERT_EQ(0, zeltod_.Ctl({"set-auth", "bob", "3"}, &out, "", &err)) << err;

  ASSERT_EQ(0, zeltod_.Ctl({"tree"}, &out));
  EXPECT_EQ(out,
            "(top): bob\n"
            "  HQ\\\n"
            "    Sales\\: ann\n"
            "    Lab\\\n"
            "  Ops\\\n");

  ASSERT_EQ(0, zeltod_.Ctl({"dump"}, &out));
  EXPECT_EQ(out,
            "{\n"
            "  \"departments\": [\"HQ\\\\\", \"Ops\\\\\", \"HQ\\\\Sales\\\\\", "
            "\"HQ\\\\Lab\\\\\"],\n"
            "  \"users\": [\n"
            "    {\"account\": \"ann\", \"name\": \"\", \"gender\": 0, \"mobile\": \"\", "
            "\"email\": \"\", \"phone\": \"\", \"position\": \"\", \"authType\": 0, "
            "\"departments\": [\"HQ\\\\Sales\\\\\"]},\n"
            "    {\"account\": \"bob\", \"name\": \"\", \"gender\": 0, \"mobile\": \"\", "
            "\"email\": \"\", \"phone\": \"\", \"position\": \"\", \"authType\": 3, "
            "\"departments\": []}\n"
            "  ]\n"
            "}\n");

  // Quotes, backslashes and Chinese text come back as they went in.
  const std::string odd = "研发 \"一\" 部\\";
  ASSERT_EQ(0, zeltod_.Ctl({"add-dept", odd}, &out, "", &err)) << err;
  ASSERT_EQ(0, zeltod_.Ctl({"dump"}, &out));
  const nlohmann::json departments = nlohmann::json::parse(out)["departments"];
  EXPECT_NE(std::find(departments.begin(), departments.end(), odd), departments.end()) << out;
}

TEST_F(Zeltoctl, RefusesBadInputWithAMessageAndNonZeroStatus) {
  std::string out, err;
  ASSERT_EQ(0, zeltod_.Ctl({"add-dept", "HQ\\"}, &out));
  EXPECT_EQ(1, zeltod_.Ctl({"add-dept", "HQ\\"}, &out, "", &err));
  EXPECT_NE(err.find("already exists"), std::string::npos) << err;
  EXPECT_EQ(1, zeltod_.Ctl({"add-dept", "A\\\\B\\"}, &out, "", &err));
  EXPECT_NE(err.find("empty name"), std::string::npos) << err;
  EXPECT_EQ(1, zeltod_.Ctl({"add-user", "ann", "Nowhere\\"}, &out, "", &err));
  EXPECT_NE(err.find("Nowhere"), std::string::npos) << err;
  EXPECT_EQ(0, zeltod_.Ctl({"add-user", "ann"}, &out));  // the failed add left no account
  EXPECT_EQ(1, zeltod_.Ctl({"set-auth", "ghost", "0"}, &out, "", &err));
  EXPECT_NE(err.find("ghost"), std::string::npos) << err;
  EXPECT_EQ(2, zeltod_.Ctl({"frobnicate"}, &out));
  ASSERT_EQ(0, zeltod_.Ctl({"dump"}, &out));
  EXPECT_NE(out.find("\"departments\": [\"HQ\\\\\"]"), std::string::npos) << out;
}

TEST_F(Zeltoctl, AReaderThatWentAwayDoesNotKillIt) {
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  close(out[0]);  // whatever it writes goes to a pipe nobody reads
  std::vector<std::string> argv_text = {Zeltod::ZeltoctlPath(),   "--app",
                                        zeltod_.AppAddress(),     "--sdk",
                                        zeltod_.SdkAddress(),     "--credential-file",
                                        zeltod_.CredentialFile(), "dump"};
  std::vector<char*> argv;
  for (std::string& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    signal(SIGPIPE, SIG_DFL);  // as a shell starts it
    dup2(out[1], 1);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_FALSE(WIFSIGNALED(status)) << "killed by signal " << WTERMSIG(status);
}

TEST_F(Zeltoctl, LocalPasswordLogin) {
  std::string out, err;
  ASSERT_EQ(0, zeltod_.Ctl({"add-user", "ann"}, &out));
  EXPECT_EQ(1, zeltod_.Ctl({"login", "ann"}, &out, "anything\n"));
  EXPECT_EQ(out, "refused\n");  // no local password yet
  ASSERT_EQ(0, zeltod_.Ctl({"passwd", "ann"}, &out, "s3cret pass\n", &err)) << err;
  EXPECT_EQ(0, zeltod_.Ctl({"login", "ann"}, &out, "s3cret pass\n"));
  EXPECT_EQ(out, "accepted\n");
  EXPECT_EQ(1, zeltod_.Ctl({"login", "ANN"}, &out, "s3cret\n"));
  EXPECT_EQ(out, "wrong password\n");
  EXPECT_EQ(1, zeltod_.Ctl({"login", "nobody"}, &out, "x\n"));
  EXPECT_EQ(out, "refused\n");
  // The password never reaches the server's log.
  EXPECT_EQ(zeltod_.LogText().find("s3cret"), std::string::npos);
  EXPECT_EQ(1, zeltod_.Ctl({"passwd", "ghost"}, &out, "pw\n"));
}

TEST_F(Zeltoctl, DirectoryUsersAreRefusedWithoutAnApplication) {
  std::string out;
  ASSERT_EQ(0, zeltod_.Ctl({"add-user", "dir1"}, &out));
  ASSERT_EQ(0, zeltod_.Ctl({"set-auth", "dir1", "1"}, &out));
  ASSERT_EQ(0, zeltod_.Ctl({"passwd", "dir1"}, &out, "local\n"));
  // Type 1 is served by the application, not by the local password.
  EXPECT_EQ(1, zeltod_.Ctl({"login", "dir1"}, &out, "local\n"));
  EXPECT_EQ(out, "refused\n");
}

TEST_F(Zeltoctl, AcknowledgedWritesSurviveAKill) {
  {
    auto root = SdkRoot::Create(zeltod_.Host(), zeltod_.SdkPort(), {zeltod_.CredentialFile()});
    ASSERT_TRUE(root);
    root->DeptManager()->AddDepartment("HQ", "");
    for (int i = 0; i < 200; ++i) {
      std::string account = "u" + std::to_string(i);
      root->UserManager()->AddUser(account, 0);
      root->DeptManager()->MoveUser(account, "", "HQ\\", 0);
    }
  }
  zeltod_.Kill();
  ASSERT_TRUE(zeltod_.Start()) << zeltod_.LogText();
  auto root = SdkRoot::Create(zeltod_.Host(), zeltod_.SdkPort(), {zeltod_.CredentialFile()});
  ASSERT_TRUE(root);
  EXPECT_TRUE(root->UserManager()->UserExists("u199"));
  std::string users = root->DeptManager()->DepartmentUsers("HQ\\");
  EXPECT_NE(users.find("<User Name=\"u0\"/>"), std::string::npos);
  EXPECT_NE(users.find("<User Name=\"u199\"/>"), std::string::npos);
  EXPECT_TRUE(zeltod_.Stop());  // SIGTERM: a clean exit with status 0
  ASSERT_TRUE(zeltod_.Start());
  std::string out;
  ASSERT_EQ(0, zeltod_.Ctl({"dump"}, &out));
  EXPECT_NE(out.find("\"account\": \"u199\""), std::string::npos);
}

TEST_F(Zeltoctl, AKillDuringAWriteStormLosesNoAcknowledgedWrite) {
  // A writer adds users and puts each into a department, two calls each; the server is
  // killed under it. Every user that exists afterwards has had its add committed whole,
  // and the database opens and answers normally.
  auto root = SdkRoot::Create(zeltod_.Host(), zeltod_.SdkPort(), {zeltod_.CredentialFile()});
  ASSERT_TRUE(root);
  root->DeptManager()->AddDepartment("D", "");
  int acknowledged = 0;
  std::thread killer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    zeltod_.Kill();
  });
  try {
    for (int i = 0; i < 100000; ++i) {
      root->UserManager()->AddUser("w" + std::to_string(i), 0);
      acknowledged = i + 1;
    }
  } catch (const SdkError& e) {
    EXPECT_TRUE(e.code == kSdkErrorUnavailable || e.code == kSdkErrorFail) << e.description;
  }
  killer.join();
  ASSERT_GT(acknowledged, 0);
  ASSERT_TRUE(zeltod_.Start()) << zeltod_.LogText();
  root = SdkRoot::Create(zeltod_.Host(), zeltod_.SdkPort(), {zeltod_.CredentialFile()});
  for (int i = 0; i < acknowledged; i += 97) {
    EXPECT_TRUE(root->UserManager()->UserExists("w" + std::to_string(i))) << i;
  }
  EXPECT_TRUE(root->UserManager()->UserExists("w" + std::to_string(acknowledged - 1)));
  EXPECT_FALSE(root->UserManager()->UserExists("w" + std::to_string(acknowledged + 1)));
  root->UserManager()->AddUser("after", 0);
  EXPECT_TRUE(root->DeptManager()->DepartmentExists("D\\"));
}

}  // namespace
}  // namespace norvane
