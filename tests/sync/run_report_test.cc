#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/paths.h"
#include "sync/change_set.h"
#include "sync/run_report.h"

namespace norvane {
namespace {

using Kind = SdkWrite::Kind;

// A later write of the same run undoes an earlier one instead of showing both.
TEST(ChangeSetTest, TellsWhatTheRunLeftChangedNotEveryWrite) {
  ChangeSet changes;
  changes.Reset();
  changes.OnWrite({Kind::kAddDepartment, "", "Sales\\West\\"});
  changes.OnWrite({Kind::kAddDepartment, "", "Tmp\\"});
  changes.OnWrite({Kind::kRemoveDepartment, "", "tmp\\"});
  changes.OnWrite({Kind::kAddUser, "ann", "", "", 3});
  changes.OnWrite({Kind::kMoveUser, "ann", "", "Sales\\West\\"});
  changes.OnWrite({Kind::kBasicInfo, "ann"});
  changes.OnWrite({Kind::kMoveUser, "bob", "Sales\\", "HQ\\"});
  changes.OnWrite({Kind::kMoveUser, "cid", "Sales\\", "HQ\\"});
  changes.OnWrite({Kind::kMoveUser, "cid", "HQ\\", "sales\\"});  // back where it was
  changes.OnWrite({Kind::kBasicInfo, "cid"});
  changes.OnWrite({Kind::kBasicInfo, "bob"});
  changes.OnWrite({Kind::kSetAuthType, "dan", "", "", 3});
  changes.OnWrite({Kind::kDetails, "dan"});
  changes.OnWrite({Kind::kRemoveUser, "eve"});

  const nlohmann::json json = changes.ToJson();
  EXPECT_EQ(json["departments"]["add"], nlohmann::json({"Sales\\West"}));
  EXPECT_TRUE(json["departments"]["remove"].empty());
  EXPECT_EQ(json["users"]["add"],
            nlohmann::json::parse(R"([{"account":"ann","departments":["Sales\\West"]}])"));
  EXPECT_EQ(json["users"]["move"],
            nlohmann::json::parse(R"([{"account":"bob","from":["Sales"],"to":["HQ"]}])"));
  EXPECT_EQ(json["users"]["remove"], nlohmann::json({"eve"}));
  EXPECT_TRUE(json["users"]["auth_type"].empty());  // a sync's routine type write
  EXPECT_EQ(json["users"]["rewritten"], 2);         // cid and dan, not the added ann
  EXPECT_EQ(json["changes"], 4);

  changes.Reset(true);  // a switch: every type write is listed
  changes.OnWrite({Kind::kSetAuthType, "dan", "", "", 0});
  EXPECT_EQ(changes.ToJson(0)["users"]["auth_type"].size(), 0u);
  EXPECT_TRUE(changes.ToJson(0)["truncated"]);
  EXPECT_EQ(changes.ToJson()["counts"]["users"]["auth_type"], 1);
}

TEST(RunReportTest, RotatesAtTheLimitAndReadsAcrossFiles) {
  char dir[] = "/tmp/norvane-runs-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  SetBaseFolder(std::string(dir) + "/");
  ASSERT_TRUE(AppendRunReport({{"kind", "sync"}, {"n", 1}}));
  struct stat st {};
  ASSERT_EQ(stat(RunReportPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  {
    std::ofstream grow(RunReportPath(), std::ios::app);
    grow << std::string(kRunReportSizeLimit, 'x') << "\n";  // not a report: skipped on reading
  }
  ASSERT_TRUE(AppendRunReport({{"kind", "update"}, {"n", 2}}));
  ASSERT_TRUE(AppendRunReport({{"kind", "auth"}, {"n", 3}}));
  EXPECT_EQ(stat((RunReportPath() + ".1").c_str(), &st), 0);
  const auto reports = ReadRunReports(10);
  ASSERT_EQ(reports.size(), 3u);
  EXPECT_EQ(reports[0]["n"], 1);  // from runs.jsonl.1
  EXPECT_EQ(reports[2]["n"], 3);
  EXPECT_EQ(ReadRunReports(1)[0]["kind"], "auth");
  EXPECT_EQ(ParseRfc3339("2026-12-09T14:30:05+08:00"), ParseRfc3339("2026-12-09T06:30:05Z"));
  std::system((std::string("rm -rf ") + dir).c_str());
}

}  // namespace
}  // namespace norvane
