// The daily update's schedule hooks read from the configuration file: UpdateTime afresh on
// every tick (so that a time changed in the wizard counts from the next minute) and the
// IfAutoSync switch as the window reads it when it starts.
#ifndef NORVANE_APP_AUTO_SYNC_CONFIG_H_
#define NORVANE_APP_AUTO_SYNC_CONFIG_H_

#include <cstdint>
#include <functional>
#include <utility>

#include "app/auto_sync.h"
#include "config/ldap_config.h"

namespace norvane {

// ManageSync's UpdateTime; 0 when the section cannot be read.
inline std::int64_t ReadConfiguredUpdateTime() {
  CLdapConfig config;
  config.Init();  // points the store at the base folder's file; the SDK is not contacted
  ManageSyncInfo info;
  if (!config.LoadManageSync(info)) return 0;
  return info.update_time;
}

// IfAutoSync > 0.
inline bool ConfiguredAutoSyncEnabled() {
  CLdapConfig config;
  config.Init();  // points the store at the base folder's file; the SDK is not contacted
  ManageSyncInfo info;
  return config.LoadManageSync(info) && info.auto_sync > 0;
}

// Hooks with the configured UpdateTime and the system clock.
inline AutoSyncSchedule::Hooks ConfiguredAutoSyncHooks(std::function<void()> run_update) {
  AutoSyncSchedule::Hooks hooks;
  hooks.read_update_time = &ReadConfiguredUpdateTime;
  hooks.run_update = std::move(run_update);
  return hooks;
}

}  // namespace norvane

#endif  // NORVANE_APP_AUTO_SYNC_CONFIG_H_
