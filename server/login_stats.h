// LoginStats: the login checks this process answered since it started, by result, with
// their durations, for the status file and the metrics (app/status_publisher.h).
//
// Safe to use from any thread.
#ifndef NORVANE_SERVER_LOGIN_STATS_H_
#define NORVANE_SERVER_LOGIN_STATS_H_

#include <array>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <vector>

namespace norvane {

class LoginStats {
 public:
  enum Result { kAccepted, kWrongPassword, kRefused, kTimedOut, kResults };
  // Upper bounds (seconds) of the duration histogram's buckets, the last one +Inf.
  static constexpr std::array<double, 11> kBuckets = {0.005, 0.01, 0.025, 0.05, 0.1, 0.25,
                                                      0.5,   1,    2.5,   5,    10};

  struct Snapshot {
    std::array<std::uint64_t, kResults> count{};
    std::array<std::uint64_t, kBuckets.size() + 1> bucket{};  // not cumulative; last: +Inf
    double sum_seconds = 0;
    double p50_ms = 0, p99_ms = 0;  // of the last kRecent checks; 0 with none
  };

  static LoginStats& Global();

  // `answer`: 0, 1 or 2 as given to the server; `late`: the server had stopped waiting.
  void Record(int answer, bool late, std::chrono::steady_clock::duration took);
  Snapshot Take() const;
  void ResetForTesting();

 private:
  static constexpr std::size_t kRecent = 4096;
  mutable std::mutex mu_;
  Snapshot totals_;
  std::vector<double> recent_ms_;  // a ring of the last kRecent durations
  std::size_t next_ = 0;
};

}  // namespace norvane

#endif  // NORVANE_SERVER_LOGIN_STATS_H_
