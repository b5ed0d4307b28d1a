#include "platform/activity_log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/files.h"
#include "platform/paths.h"

namespace norvane {
namespace {

std::tm At(int year, int month, int day, int hour, int minute, int second) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  return t;
}

class ActivityLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/norvane-log-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    SetBaseFolder(dir_);
    SetLogClockForTesting([] { return At(2026, 12, 6, 9, 5, 3); });
  }
  void TearDown() override {
    SetLogListener(nullptr);
    SetLogClockForTesting(nullptr);
    SetBaseFolder("");
    std::system(("rm -rf '" + dir_ + "'").c_str());
  }
  std::string Log() {
    std::string content;
    ReadFile(dir_ + "/logs/norvanelog.log", &content);
    return content;
  }
  std::string dir_;
};

TEST_F(ActivityLogTest, LineHasNoLeadingZeros) {
  EXPECT_EQ(FormatLogLine(At(2026, 12, 6, 9, 5, 3), "导入部门数据成功"),
            "[2026年12月6日9时5分3秒] 导入部门数据成功\n");
  EXPECT_EQ(FormatLogLine(At(2027, 1, 31, 23, 59, 0), "x"), "[2027年1月31日23时59分0秒] x\n");
}

TEST_F(ActivityLogTest, WithoutALogsFolderNothingIsWrittenOrEchoed) {
  std::vector<std::string> echoed;
  SetLogListener([&](const std::string& line) { echoed.push_back(line); });
  WriteLog("lost");
  EXPECT_TRUE(echoed.empty());
  struct stat st;
  EXPECT_NE(::stat((dir_ + "/logs").c_str(), &st), 0);  // never created
}

TEST_F(ActivityLogTest, AppendsAndEchoesEachLineOnceInOrder) {
  ASSERT_EQ(::mkdir((dir_ + "/logs").c_str(), 0755), 0);
  std::vector<std::string> echoed;
  SetLogListener([&](const std::string& line) { echoed.push_back(line); });
  WriteLog("one");
  WriteLog("two");
  EXPECT_EQ(Log(), "[2026年12月6日9时5分3秒] one\n[2026年12月6日9时5分3秒] two\n");
  ASSERT_EQ(echoed.size(), 2u);
  EXPECT_EQ(echoed[1], "[2026年12月6日9时5分3秒] two\n");
  SetLogListener(nullptr);
  WriteLog("three");
  EXPECT_EQ(echoed.size(), 2u);
}

TEST_F(ActivityLogTest, EmptiesTheFileOnlyAboveTheLimit) {
  ASSERT_EQ(::mkdir((dir_ + "/logs").c_str(), 0755), 0);
  const std::string path = dir_ + "/logs/norvanelog.log";
  ASSERT_TRUE(WriteFileAtomically(path, std::string(kLogSizeLimit, 'x')));
  WriteLog("kept");
  EXPECT_EQ(Log().size(), kLogSizeLimit + FormatLogLine(At(2026, 12, 6, 9, 5, 3), "kept").size());

  ASSERT_TRUE(WriteFileAtomically(path, std::string(kLogSizeLimit + 1, 'x')));
  WriteLog("fresh");
  EXPECT_EQ(Log(), "[2026年12月6日9时5分3秒] fresh\n");
}

TEST_F(ActivityLogTest, ConcurrentWritersLoseNoLine) {
  ASSERT_EQ(::mkdir((dir_ + "/logs").c_str(), 0755), 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 50; ++i) WriteLog("line");
    });
  }
  for (auto& th : threads) th.join();
  std::string log = Log();
  std::size_t lines = 0;
  for (char c : log) lines += c == '\n';
  EXPECT_EQ(lines, 200u);
}

}  // namespace
}  // namespace norvane
