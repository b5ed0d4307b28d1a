// Live sync: while the program runs, one notification search per configured domain keeps the
// IM server's organisation in step with the directory within seconds.
//
//   Active Directory: a notification only says that something changed; it starts the
//     incremental update (SyncOneDC mode 1) of the domain, debounced by LiveDebounce.
//   types 1 and 2: each pushed user or OU entry is applied on its own
//     (SyncEngine::ApplyLiveChanges); a group change, in group mode, runs a full import.
//
// After every connect (the first, a reconnect after a drop, a refused sync cookie) one
// catch-up run (SyncOneDC mode 1: the incremental update on Active Directory, a full import
// elsewhere) runs before live changes are applied again; a dropped search is reopened after
// 1 s, 2 s, ... at most kMaxBackoff. A run that finds the run lock taken or the IM server
// silent is tried again later, with the changes kept. Every run is logged with the trigger
// "live". Idle, the watchers sleep in poll(2).
#ifndef NORVANE_APP_LIVE_SYNC_H_
#define NORVANE_APP_LIVE_SYNC_H_

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace norvane {

class SyncEngine;

// When the update that notifications ask for is due: kQuiet after the last notification of
// a burst, and no later than kMaxDelay after the first one during a steady stream. The
// directory notifies within milliseconds, so these are the latency a change sees.
class LiveDebounce {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kQuiet{300};
  static constexpr std::chrono::milliseconds kMaxDelay{1000};
  // Notifications read this soon after an update ended were waiting during it.
  static constexpr std::chrono::milliseconds kQueued{100};

  void Note(Clock::time_point at);
  // The moment the update is due; none when nothing is pending.
  std::optional<Clock::time_point> Due() const;
  // The update started: what comes from now on asks for another one.
  void Started(Clock::time_point at) {
    pending_ = false;
    started_ = at;
  }
  // The update ended: what was noted during it counts from its start, so a steady stream
  // is not made to wait a whole kMaxDelay again after every run.
  void Finished(Clock::time_point at) { finished_ = at; }
  bool pending() const { return pending_; }

 private:
  bool pending_ = false;
  Clock::time_point first_{}, last_{};
  Clock::time_point started_{}, finished_{};
};

// The single place where a live run is marked as such: the engine's run trigger (its run
// report) and the activity-log line.
void BeginLiveRun(SyncEngine& engine, const std::string& domain, const std::string& what);

class LiveSync {
 public:
  static constexpr std::chrono::seconds kMaxBackoff{30};

  struct DomainState {
    std::string domain;      // the search base (Active Directory: the naming context)
    bool connected = false;  // the search is open
    std::string kind;        // how the directory tells changes; "" when not connected
  };
  // Called on a watcher's thread each time a domain's state changes.
  using StateListener = std::function<void(const std::vector<DomainState>&)>;

  explicit LiveSync(StateListener listener = {});
  ~LiveSync();  // Stop
  LiveSync(const LiveSync&) = delete;
  LiveSync& operator=(const LiveSync&) = delete;

  // Reads the configuration; with ManageSync LiveSync on (absent counts as on), starts one
  // watcher per domain. False when live sync is off or nothing could be started.
  bool Start();
  // Ends the watchers (a run in progress finishes first). Safe to call more than once.
  void Stop();
  std::vector<DomainState> States() const;
  // Runs (catch-up and live) finished by all watchers so far; for tests and benchmarks.
  long RunsDone() const;

  class Watcher;

 private:
  void Publish();

  StateListener listener_;
  std::vector<std::unique_ptr<Watcher>> watchers_;
  mutable std::mutex lock_;  // guards the states the watchers report
};

// ManageSync LiveSync of the base folder's configuration: true unless it is present and 0.
bool ConfiguredLiveSyncEnabled();

// The text the window shows for the states, e.g. "实时同步: o=corp 已连接".
std::string LiveSyncStateText(const std::vector<LiveSync::DomainState>& states);

}  // namespace norvane

#endif  // NORVANE_APP_LIVE_SYNC_H_
