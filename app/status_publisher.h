// StatusPublisher: what only the running program knows, published where others can read it
// without asking it anything (no listening port):
//   <base>/norvane-status.json  pid, mode, whether login answering is registered, the next
//                               automatic update and the login counters (norvanectl status)
//   <base>/logs/metrics.prom    the same counters, the last run of each kind and the changes
//                               runs made, in Prometheus's text format for node_exporter's
//                               textfile collector
// Both are replaced atomically every few seconds and at once after Poke; under systemd the
// service's STATUS= carries a one-line summary. The status file goes when the publisher does.
#ifndef NORVANE_APP_STATUS_PUBLISHER_H_
#define NORVANE_APP_STATUS_PUBLISHER_H_

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

namespace norvane {

inline constexpr char kStatusFileName[] = "norvane-status.json";

std::string StatusFilePath();   // BaseFolder() + kStatusFileName
std::string MetricsFilePath();  // BaseFolder() + "logs/metrics.prom"

// The next daily update after `now` at the configured time, or 0 when IfAutoSync is off or
// the configuration cannot be read.
std::time_t NextAutomaticUpdate(std::time_t now);

// The status file of a program that runs now; null when there is none, or its writer is
// gone (the process is no longer there, or the file has not been refreshed for a minute).
nlohmann::json ReadLiveStatus();

class StatusPublisher {
 public:
  struct Options {
    bool service_mode = false;
    bool notify_systemd = false;  // STATUS= through sd_notify
    std::chrono::milliseconds period{5000};
  };
  explicit StatusPublisher(Options options);
  ~StatusPublisher();
  StatusPublisher(const StatusPublisher&) = delete;
  StatusPublisher& operator=(const StatusPublisher&) = delete;

  void SetAnswering(bool answering);
  // Publishes now (after a run, a start or a stop), on the publisher's thread.
  void Poke();
  // One publication on the calling thread (tests).
  void PublishNow();

 private:
  struct RunTotals {
    std::time_t last_ended = 0;
    bool last_success = false;
    std::map<std::string, std::uint64_t> changes;  // action -> count
  };
  void Loop();
  // Reads the run reports appended since the last call.
  void ReadNewReports(bool count_changes);
  std::string MetricsText() const;

  Options options_;
  const std::time_t started_;
  std::atomic<bool> answering_{false};
  std::map<std::string, RunTotals> runs_;  // by kind; publisher's thread (or PublishNow's)
  std::string reports_read_id_;            // device:inode of the file read so far
  off_t reports_offset_ = 0;
  std::time_t next_update_ = 0, next_checked_ = 0;
  std::mutex publish_mu_;  // one publication at a time

  std::mutex mu_;
  std::condition_variable cv_;
  bool poked_ = false;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace norvane

#endif  // NORVANE_APP_STATUS_PUBLISHER_H_
