#include "app/auto_sync.h"

namespace norvane {

AutoSyncSchedule::AutoSyncSchedule(bool enabled, Hooks hooks, AutoSyncAllowed& allowed)
    : enabled_(enabled), hooks_(std::move(hooks)), allowed_(allowed) {}

bool AutoSyncSchedule::Tick() {
  if (!enabled_ || !allowed_.allowed()) return false;
  std::time_t configured =
      hooks_.read_update_time ? static_cast<std::time_t>(hooks_.read_update_time()) : 0;
  std::time_t now = hooks_.now ? hooks_.now() : std::time(nullptr);
  std::tm at{}, current{};
  if (!localtime_r(&configured, &at) || !localtime_r(&now, &current)) return false;
  if (at.tm_hour != current.tm_hour || at.tm_min != current.tm_min) return false;
  if (current.tm_year == last_year_ && current.tm_yday == last_yday_ &&
      current.tm_hour == last_hour_ && current.tm_min == last_minute_) {
    return false;
  }
  last_year_ = current.tm_year;
  last_yday_ = current.tm_yday;
  last_hour_ = current.tm_hour;
  last_minute_ = current.tm_min;
  AutoSyncAllowed::Hold hold(allowed_);
  if (hooks_.run_update) hooks_.run_update();
  return true;
}

}  // namespace norvane
