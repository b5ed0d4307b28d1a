#include "server/login_stats.h"

#include <algorithm>

namespace norvane {

LoginStats& LoginStats::Global() {
  static LoginStats* stats = new LoginStats();  // never destroyed: checks may end at exit
  return *stats;
}

void LoginStats::Record(int answer, bool late, std::chrono::steady_clock::duration took) {
  const double seconds = std::chrono::duration<double>(took).count();
  Result result = kRefused;
  if (late) {
    result = kTimedOut;
  } else if (answer == 0) {
    result = kAccepted;
  } else if (answer == 2) {
    result = kWrongPassword;
  }
  std::lock_guard<std::mutex> lock(mu_);
  ++totals_.count[result];
  std::size_t b = 0;
  while (b < kBuckets.size() && seconds > kBuckets[b]) ++b;
  ++totals_.bucket[b];
  totals_.sum_seconds += seconds;
  if (recent_ms_.size() < kRecent) {
    recent_ms_.push_back(seconds * 1000);
  } else {
    recent_ms_[next_] = seconds * 1000;
    next_ = (next_ + 1) % kRecent;
  }
}

LoginStats::Snapshot LoginStats::Take() const {
  std::vector<double> sorted;
  Snapshot snapshot;
  {
    std::lock_guard<std::mutex> lock(mu_);
    snapshot = totals_;
    sorted = recent_ms_;
  }
  if (!sorted.empty()) {
    std::sort(sorted.begin(), sorted.end());
    // Nearest rank.
    auto rank = [&](double q) {
      std::size_t i = static_cast<std::size_t>(q * static_cast<double>(sorted.size()) + 0.999999);
      return sorted[std::min(sorted.size(), std::max<std::size_t>(i, 1)) - 1];
    };
    snapshot.p50_ms = rank(0.50);
    snapshot.p99_ms = rank(0.99);
  }
  return snapshot;
}

void LoginStats::ResetForTesting() {
  std::lock_guard<std::mutex> lock(mu_);
  totals_ = {};
  recent_ms_.clear();
  next_ = 0;
}

}  // namespace norvane
