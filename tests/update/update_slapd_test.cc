// An update requested against a Domino or NDS directory is a full import and stores no
// update sequence number.
#include <gtest/gtest.h>

#include "directory/change_tracking.h"
#include "sync/sync_engine.h"
#include "tests/fixtures/script_runner.h"
#include "tests/fixtures/zeltod_fixture.h"
#include "tests/sync/sync_test_support.h"

namespace norvane::testing {
namespace {

TEST(SlapdUpdateTest, UpdateOnADominoDirectoryIsAFullImport) {
  SlapdServer slapd;
  Zeltod zeltod;
  BaseFolderScope base;
  ASSERT_TRUE(slapd.Start());
  ASSERT_TRUE(zeltod.Start()) << zeltod.LogText();
  ConfigSpec settings = CorpSettings(slapd);
  ASSERT_TRUE(base.WriteConfig(settings, zeltod));
  int result = 0;
  {
    SyncEngine engine;
    engine.EngineInit();
    result = engine.SyncOneDC(1);
  }
  EXPECT_EQ(result, 1);
  EXPECT_TRUE(base.Logged("导入LDAP数据成功"));
  EXPECT_FALSE(base.Logged("UpdateFromLDAP"));
  EXPECT_FALSE(DumpOrg(zeltod).users.empty());
  EXPECT_EQ(ReadPreviousHighUsn(settings.dc), 0);
  EXPECT_EQ(ReadPreviousInvocationId(settings.dc), "");
}

TEST(SlapdUpdateTest, NorvanectlUpdateEchoesTheLogAndExitsWithTheResult) {
  SlapdServer slapd;
  Zeltod zeltod;
  BaseFolderScope base;
  ASSERT_TRUE(slapd.Start());
  ASSERT_TRUE(zeltod.Start()) << zeltod.LogText();
  ConfigSpec settings = CorpSettings(slapd);
  ASSERT_TRUE(base.WriteConfig(settings, zeltod));
  ScriptResult ok =
      RunScript({NORVANECTL_PATH, "--base", base.dir(), "update"}, "", std::chrono::seconds(120));
  EXPECT_EQ(ok.exit_code, 0) << ok.errors;
  EXPECT_NE(ok.errors.find("导入LDAP数据成功"), std::string::npos) << ok.errors;
  EXPECT_NE(ok.errors.find("LDAP数据已成功更新到Zelto服务器"), std::string::npos);
  EXPECT_EQ(ok.errors.find(settings.password), std::string::npos);

  settings.password = "wrong-password";
  ASSERT_TRUE(base.WriteConfig(settings, zeltod));
  ScriptResult failed =
      RunScript({NORVANECTL_PATH, "--base", base.dir(), "update"}, "", std::chrono::seconds(120));
  EXPECT_EQ(failed.exit_code, 1);
  EXPECT_NE(failed.errors.find("LDAP数据更新失败."), std::string::npos) << failed.errors;
}

}  // namespace
}  // namespace norvane::testing
