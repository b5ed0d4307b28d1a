#include "app/auto_sync.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace norvane {
namespace {

// Local time → time_t, in the test's fixed time zone.
std::time_t Local(int year, int month, int day, int hour, int minute, int second = 0) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  t.tm_isdst = -1;
  return std::mktime(&t);
}

class AutoSyncTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "Asia/Shanghai", 1);
    tzset();
    update_time_ = Local(2011, 1, 1, 2, 30);
  }
  AutoSyncSchedule Make(bool enabled) {
    AutoSyncSchedule::Hooks hooks;
    hooks.read_update_time = [this] {
      ++reads_;
      return update_time_;
    };
    hooks.run_update = [this] {
      ++runs_;
      seen_allowed_during_run_ = allowed_.allowed();
    };
    hooks.now = [this] { return now_; };
    return AutoSyncSchedule(enabled, hooks, allowed_);
  }

  AutoSyncAllowed allowed_;
  std::int64_t update_time_ = 0;
  std::time_t now_ = 0;
  int runs_ = 0, reads_ = 0;
  bool seen_allowed_during_run_ = true;
};

TEST_F(AutoSyncTest, RunsOnceADayInTheConfiguredMinute) {
  AutoSyncSchedule schedule = Make(true);
  for (int minute = 0; minute < 24 * 60 * 2; ++minute) {  // two days of ticks
    now_ = Local(2026, 12, 8, 0, 0, 5) + minute * 60;
    schedule.Tick();
  }
  EXPECT_EQ(runs_, 2);
  EXPECT_FALSE(seen_allowed_during_run_);  // the update runs with the flag held
  EXPECT_TRUE(allowed_.allowed());
}

TEST_F(AutoSyncTest, TwoTicksInTheSameMinuteRunOnce) {
  AutoSyncSchedule schedule = Make(true);
  now_ = Local(2026, 12, 8, 2, 30, 1);
  EXPECT_TRUE(schedule.Tick());
  now_ = Local(2026, 12, 8, 2, 30, 59);
  EXPECT_FALSE(schedule.Tick());
  EXPECT_EQ(runs_, 1);
}

TEST_F(AutoSyncTest, DisabledScheduleNeverRuns) {
  AutoSyncSchedule schedule = Make(false);
  now_ = Local(2026, 12, 8, 2, 30);
  EXPECT_FALSE(schedule.Tick());
  EXPECT_EQ(runs_, 0);
  EXPECT_EQ(reads_, 0);
}

TEST_F(AutoSyncTest, HeldFlagSkipsTheTickWithoutReadingTheConfiguration) {
  AutoSyncSchedule schedule = Make(true);
  now_ = Local(2026, 12, 8, 2, 30);
  {
    AutoSyncAllowed::Hold manual_sync(allowed_);
    EXPECT_FALSE(schedule.Tick());
    EXPECT_EQ(reads_, 0);
  }
  EXPECT_TRUE(schedule.Tick());  // still the configured minute once the command ended
}

TEST_F(AutoSyncTest, UpdateTimeIsReadAgainAtEveryTick) {
  AutoSyncSchedule schedule = Make(true);
  now_ = Local(2026, 12, 8, 2, 30);
  update_time_ = Local(2011, 1, 1, 3, 0);
  EXPECT_FALSE(schedule.Tick());
  now_ = Local(2026, 12, 8, 3, 0);
  EXPECT_TRUE(schedule.Tick());
  EXPECT_EQ(reads_, 2);
}

TEST_F(AutoSyncTest, UnreadableConfigurationMeansTheEpochsLocalMinute) {
  AutoSyncSchedule schedule = Make(true);
  update_time_ = 0;  // 1970-01-01 00:00 UTC is 08:00 in Shanghai
  now_ = Local(2026, 12, 8, 8, 0);
  EXPECT_TRUE(schedule.Tick());
}

}  // namespace
}  // namespace norvane
