// The daily schedule driven by the configuration file: UpdateTime is read on every tick.
#include "app/auto_sync_config.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "platform/paths.h"

namespace norvane {
namespace {

std::time_t LocalTime(int hour, int minute, int day = 10) {
  std::tm tm{};
  tm.tm_year = 2026 - 1900;
  tm.tm_mon = 11;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_isdst = -1;
  return std::mktime(&tm);
}

class AutoSyncConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/norvane-autosync-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    SetBaseFolder(dir_);
  }
  void TearDown() override {
    SetBaseFolder("");
    std::system(("rm -rf '" + dir_ + "'").c_str());
  }
  bool WriteManageSync(std::int64_t update_time, int auto_sync) {
    const std::string copy = "cp '" + std::string(NORVANE_SOURCE_DIR) + "/res/LdapConfig.xml' '" +
                             dir_ + "/LdapConfig.xml'";
    if (std::system(copy.c_str()) != 0) return false;
    CLdapConfig config;
    config.Init();
    ManageSyncInfo info;
    if (!config.LoadManageSync(info)) return false;
    info.update_time = update_time;
    info.auto_sync = auto_sync;
    return config.SaveManageSync(info);
  }
  std::string dir_;
};

TEST_F(AutoSyncConfigTest, MissingFileReadsAsZeroAndDisabled) {
  EXPECT_EQ(ReadConfiguredUpdateTime(), 0);
  EXPECT_FALSE(ConfiguredAutoSyncEnabled());
}

TEST_F(AutoSyncConfigTest, TicksFollowTheTimeStoredInTheFile) {
  ASSERT_TRUE(WriteManageSync(LocalTime(2, 30, 1), 1));
  EXPECT_EQ(ReadConfiguredUpdateTime(), LocalTime(2, 30, 1));
  EXPECT_TRUE(ConfiguredAutoSyncEnabled());

  int runs = 0;
  std::time_t now = LocalTime(2, 29);
  AutoSyncSchedule::Hooks hooks = ConfiguredAutoSyncHooks([&] { ++runs; });
  hooks.now = [&] { return now; };
  AutoSyncAllowed allowed;
  AutoSyncSchedule schedule(ConfiguredAutoSyncEnabled(), hooks, allowed);
  EXPECT_FALSE(schedule.Tick());
  now = LocalTime(2, 30);
  EXPECT_TRUE(schedule.Tick());
  EXPECT_FALSE(schedule.Tick());  // once in the minute
  EXPECT_EQ(runs, 1);

  // A time changed in the file counts from the next tick, without a new schedule.
  ASSERT_TRUE(WriteManageSync(LocalTime(2, 45, 1), 1));
  now = LocalTime(2, 45);
  EXPECT_TRUE(schedule.Tick());
  EXPECT_EQ(runs, 2);
}

}  // namespace
}  // namespace norvane
