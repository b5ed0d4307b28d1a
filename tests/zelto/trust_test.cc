// Who may use zeltod's ports, how they are secured, and which databases it runs on.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "server/sdk.h"
#include "tests/fixtures/script_runner.h"
#include "tests/fixtures/zeltod_fixture.h"

namespace norvane {
namespace {

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

class SdkEventSinkStub : public SdkEventSink {
 public:
  int OnLoginVerify(const std::string&, const std::string&,
                    std::chrono::steady_clock::time_point) override {
    return 1;
  }
  void OnAppStopped() override {}
};

class ZeltodTrust : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(zeltod_.Start()) << zeltod_.LogText(); }
  Zeltod zeltod_;
};

TEST_F(ZeltodTrust, TheCredentialIsMadeOnceReadableByItsOwnerOnlyAndNeverLogged) {
  struct stat st {};
  ASSERT_EQ(stat(zeltod_.CredentialFile().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600);
  const std::string secret = ReadText(zeltod_.CredentialFile());
  EXPECT_EQ(secret.size(), 65u) << "64 hexadecimal digits and a line end";
  ASSERT_TRUE(zeltod_.Stop());
  ASSERT_TRUE(zeltod_.Start()) << zeltod_.LogText();
  EXPECT_EQ(ReadText(zeltod_.CredentialFile()), secret) << "a restart keeps the credential";
  EXPECT_EQ(zeltod_.LogText().find(secret.substr(0, 64)), std::string::npos);
}

TEST_F(ZeltodTrust, AClientWithoutTheCredentialIsRefusedEverywhereButAtLogin) {
  std::string out, err;
  ASSERT_EQ(0, zeltod_.Ctl({"add-user", "local.user"}, &out, "", &err)) << err;
  ASSERT_EQ(0, zeltod_.Ctl({"passwd", "local.user"}, &out, "pass\n", &err)) << err;
  ASSERT_EQ(0, zeltod_.Ctl({"add-user", "dir.user"}, &out, "", &err)) << err;
  ASSERT_EQ(0, zeltod_.Ctl({"set-auth", "dir.user", "3"}, &out, "", &err)) << err;

  const std::vector<std::vector<std::string>> commands = {{"dump"},
                                                          {"tree"},
                                                          {"passwd", "local.user"},
                                                          {"set-auth", "dir.user", "0"},
                                                          {"stop-app"},
                                                          {"add-dept", "X\\"},
                                                          {"add-user", "intruder"}};
  for (const auto& command : commands) {
    EXPECT_EQ(1, zeltod_.ForeignCtl(command, &out, "new\n", &err)) << command[0];
    EXPECT_NE(err.find("refused the call"), std::string::npos) << command[0] << ": " << err;
  }
  // Nothing changed; and anyone may still try to log in.
  EXPECT_EQ(0, zeltod_.ForeignCtl({"login", "local.user"}, &out, "pass\n")) << out;

  // The SDK's own calls, the application's included, without a credential and with a wrong
  // one.
  const std::string wrong = zeltod_.Dir() + "/wrong.credential";
  std::ofstream(wrong) << std::string(64, 'a') << "\n";
  for (const SdkSecurity& security : {SdkSecurity{}, SdkSecurity{wrong, ""}}) {
    auto foreign = SdkRoot::Create(zeltod_.Host(), zeltod_.SdkPort(), security);
    ASSERT_TRUE(foreign);
    foreign->SetServerAddress(zeltod_.Host());
    foreign->SetServerPort(zeltod_.AppPort());
    SdkApplication* app = foreign->Application();
    auto refused = [](auto&& call, const char* what) {
      try {
        call();
        ADD_FAILURE() << what << " was not refused";
      } catch (const SdkError& e) {
        EXPECT_EQ(e.code, kSdkErrorAccessDenied) << what << ": " << e.description;
      }
    };
    refused([&] { foreign->ServerText(); }, "the root");
    refused([&] { foreign->UserManager()->UserExists("dir.user"); }, "the user manager");
    refused([&] { app->SetIdentifier("{x}"); }, "set identifier");
    refused([&] { app->Register(); }, "register");
    refused([&] { app->Start("", 8); }, "start");
    refused([&] { app->SetUserAuthType("dir.user", 0); }, "set auth type");
    refused([&] { app->AccountUsesApplication("dir.user"); }, "account query");
    SdkEventSinkStub sink;
    refused([&] { app->Connect(&sink); }, "the event connection");
    long batch_code = 0;
    {
      SdkPipeline pipeline(foreign.get());
      pipeline.Send("dir.user",
                    {pipeline.SetUserAuthType("dir.user", 0), pipeline.AddUser("intruder", 0)},
                    [&](const SdkError* e) { batch_code = e ? e->code : 0; });
      pipeline.Wait();
    }
    EXPECT_EQ(batch_code, kSdkErrorAccessDenied) << "the import's batched writes";
  }
  ASSERT_EQ(0, zeltod_.Ctl({"dump"}, &out));
  EXPECT_EQ(out.find("intruder"), std::string::npos);
  EXPECT_NE(out.find("\"account\": \"dir.user\""), std::string::npos);
  EXPECT_NE(out.find("\"authType\": 3"), std::string::npos);
}

// The mode and group of a file; -1 when it is missing.
std::pair<int, int> ModeAndGroup(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return {-1, -1};
  return {static_cast<int>(st.st_mode & 0777), static_cast<int>(st.st_gid)};
}

// Zeltod does not start, and says which file is wrong and what to do.
void ExpectRefused(Zeltod& zeltod, const std::string& fix) {
  const std::size_t from = zeltod.LogText().size();
  EXPECT_FALSE(zeltod.Start());
  const std::string said = zeltod.LogText().substr(from);
  EXPECT_NE(said.find("凭据文件 " + zeltod.CredentialFile()), std::string::npos) << said;
  EXPECT_NE(said.find(fix), std::string::npos) << said;
}

TEST(ZeltodFiles, AreItsUsersAloneWhateverTheUmaskAndALooseCredentialIsRefused) {
  const mode_t umask_before = umask(0);
  Zeltod zeltod;
  const bool started = zeltod.Start();
  umask(umask_before);
  ASSERT_TRUE(started) << zeltod.LogText();
  for (const char* suffix : {"", "-wal", "-shm"}) {
    EXPECT_EQ(ModeAndGroup(zeltod.DbPath() + suffix).first, 0600) << suffix;
  }
  ASSERT_TRUE(zeltod.Stop());

  const std::string credential = zeltod.CredentialFile();
  for (mode_t loose : {0644, 0606, 0620, 0640}) {
    SCOPED_TRACE(loose);
    ASSERT_EQ(chmod(credential.c_str(), loose), 0);
    ExpectRefused(zeltod, "chmod 600 " + credential);
  }
  ASSERT_EQ(chmod(credential.c_str(), 0600), 0);
  ASSERT_EQ(chown(credential.c_str(), 65534, static_cast<gid_t>(-1)), 0);
  ExpectRefused(zeltod, "chown");
  ASSERT_EQ(chown(credential.c_str(), geteuid(), static_cast<gid_t>(-1)), 0);
  ASSERT_TRUE(zeltod.Start()) << zeltod.LogText();
}

TEST(ZeltodFiles, TheNamedCredentialGroupMayReadTheCredentialAndNoOtherGroup) {
  const struct group* found = getgrgid(65534);
  if (!found) GTEST_SKIP() << "no group 65534 to name";
  const std::string name = found->gr_name;
  const int gid = static_cast<int>(found->gr_gid);
  Zeltod zeltod({.extra_args = {"--credential-group", name}});
  ASSERT_TRUE(zeltod.Start()) << zeltod.LogText();
  const std::string credential = zeltod.CredentialFile();
  EXPECT_EQ(ModeAndGroup(credential), std::make_pair(0640, gid));
  ASSERT_TRUE(zeltod.Stop());
  ASSERT_TRUE(zeltod.Start()) << zeltod.LogText();
  ASSERT_TRUE(zeltod.Stop());

  ASSERT_EQ(chmod(credential.c_str(), 0660), 0);  // never writable by the group
  ExpectRefused(zeltod, "chmod 640 " + credential);
  ASSERT_EQ(chmod(credential.c_str(), 0640), 0);
  ASSERT_EQ(chown(credential.c_str(), static_cast<uid_t>(-1), 0), 0);  // another group
  ExpectRefused(zeltod, "chgrp " + name);
  // A file of the owner alone is handed to the named group.
  ASSERT_EQ(chmod(credential.c_str(), 0600), 0);
  ASSERT_TRUE(zeltod.Start()) << zeltod.LogText();
  EXPECT_EQ(ModeAndGroup(credential), std::make_pair(0640, gid));
}

TEST(ZeltodTls, BothPortsSpeakTlsWithTheServersCertificate) {
  Zeltod zeltod({.tls = true});
  ASSERT_TRUE(zeltod.Start()) << zeltod.LogText();
  std::string out, err;
  ASSERT_EQ(0, zeltod.Ctl({"add-user", "u"}, &out, "", &err)) << err;
  ASSERT_EQ(0, zeltod.Ctl({"passwd", "u"}, &out, "pw\n", &err)) << err;
  EXPECT_EQ(0, zeltod.Ctl({"login", "u"}, &out, "pw\n", &err)) << err;
  // Trusting another CA, or speaking plain text, gets nowhere.
  for (const std::vector<std::string>& trust :
       {std::vector<std::string>{"--ca-file", zeltod.OtherCaFile()}, std::vector<std::string>{}}) {
    std::vector<std::string> argv = {Zeltod::ZeltoctlPath(), "--sdk",
                                     zeltod.SdkAddress(),    "--app",
                                     zeltod.AppAddress(),    "--credential-file",
                                     zeltod.CredentialFile()};
    argv.insert(argv.end(), trust.begin(), trust.end());
    argv.push_back("dump");
    testing::ScriptResult r = testing::RunScript(argv, "", std::chrono::seconds(60));
    EXPECT_EQ(r.exit_code, 1) << r.output;
    EXPECT_NE(r.errors.find("cannot reach zeltod"), std::string::npos) << r.errors;
  }
}

TEST_F(ZeltodTrust, ADatabaseOfAnUnknownSchemaVersionIsNotOpened) {
  ASSERT_EQ(0, zeltod_.Ctl({"add-user", "kept"}));
  ASSERT_TRUE(zeltod_.Stop());
  auto python = [&](const std::string& code) {
    return testing::RunScript({"python3", "-c",
                               "import sqlite3, sys\n"
                               "db = sqlite3.connect(sys.argv[1])\n" +
                                   code,
                               zeltod_.DbPath()},
                              "", std::chrono::seconds(30));
  };
  testing::ScriptResult version = python("print(db.execute('PRAGMA user_version').fetchone()[0])");
  EXPECT_EQ(version.output, "1\n") << version.errors;

  ASSERT_EQ(python("db.execute('PRAGMA user_version = 7'); db.commit()").exit_code, 0);
  EXPECT_FALSE(zeltod_.Start());
  EXPECT_NE(zeltod_.LogText().find("has schema version 7, which this zeltod (schema version 1) "
                                   "does not know"),
            std::string::npos)
      << zeltod_.LogText();

  // A database from before versions were recorded is this server's first version.
  ASSERT_EQ(python("db.execute('PRAGMA user_version = 0'); db.commit()").exit_code, 0);
  ASSERT_TRUE(zeltod_.Start()) << zeltod_.LogText();
  std::string out;
  ASSERT_EQ(0, zeltod_.Ctl({"dump"}, &out));
  EXPECT_NE(out.find("\"account\": \"kept\""), std::string::npos);
}

}  // namespace
}  // namespace norvane
