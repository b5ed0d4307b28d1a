// The daily automatic update: the main window's one-minute timer calls Tick(), which runs
// the update when the local hour and minute of the configured UpdateTime come round.
#ifndef NORVANE_APP_AUTO_SYNC_H_
#define NORVANE_APP_AUTO_SYNC_H_

#include <cstdint>
#include <ctime>
#include <functional>

namespace norvane {

// Cleared while a manual sync, an all-users authentication switch or an automatic update
// runs, so that a tick in that time does nothing. Main-window thread only.
class AutoSyncAllowed {
 public:
  bool allowed() const { return allowed_; }

  // Clears the flag for the life of the guard (guards nest).
  class Hold {
   public:
    explicit Hold(AutoSyncAllowed& flag) : flag_(flag) {
      ++flag_.holds_;
      flag_.allowed_ = false;
    }
    ~Hold() {
      if (--flag_.holds_ == 0) flag_.allowed_ = true;
    }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

   private:
    AutoSyncAllowed& flag_;
  };

 private:
  bool allowed_ = true;
  int holds_ = 0;
};

class AutoSyncSchedule {
 public:
  struct Hooks {
    // Reads UpdateTime afresh from the configuration; 0 when it cannot be read.
    std::function<std::int64_t()> read_update_time;
    // Runs the update (the Update now command, with its result message).
    std::function<void()> run_update;
    // The current time; the system clock when empty.
    std::function<std::time_t()> now;
  };

  // `enabled` is IfAutoSync > 0 as read when the window starts; a disabled schedule never
  // runs, whatever later ticks see.
  AutoSyncSchedule(bool enabled, Hooks hooks, AutoSyncAllowed& allowed);

  // One timer tick. Returns true when it ran the update. A second tick inside the minute
  // that already ran (a timer that fires early) does not run it again.
  bool Tick();

  bool enabled() const { return enabled_; }

 private:
  bool enabled_;
  Hooks hooks_;
  AutoSyncAllowed& allowed_;
  // Local year-day, hour and minute of the last run; -1 before the first.
  int last_yday_ = -1, last_hour_ = -1, last_minute_ = -1, last_year_ = -1;
};

}  // namespace norvane

#endif  // NORVANE_APP_AUTO_SYNC_H_
