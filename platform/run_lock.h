// One sync run at a time per base folder: an exclusive flock on the file kRunLockFile in the
// base folder, taken without waiting. Every process that writes the server's organisation
// from this base folder (norvanectl and the norvane program alike) takes it, so a second run
// fails at once instead of interleaving its writes with the first.
#ifndef NORVANE_PLATFORM_RUN_LOCK_H_
#define NORVANE_PLATFORM_RUN_LOCK_H_

#include <string>

namespace norvane {

inline constexpr char kRunLockFile[] = "sync.lock";
// The line a run that finds the lock taken reports.
inline constexpr char kAnotherSyncRunning[] = "another sync is running";

class RunLock {
 public:
  // `folder` is where the lock file lives; empty means the base folder.
  explicit RunLock(std::string folder = "");
  ~RunLock();  // releases the lock if held
  RunLock(const RunLock&) = delete;
  RunLock& operator=(const RunLock&) = delete;

  // True when this object now holds the lock. False at once when another holder (another
  // process, or another RunLock in this one) has it, or when the file cannot be opened.
  bool TryAcquire();
  bool held() const { return fd_ >= 0; }
  // After a failed TryAcquire: true when another holder has the lock, false when the lock
  // file could not be opened (errno in LastError()).
  bool Busy() const { return busy_; }
  int LastError() const { return last_error_; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  int fd_ = -1;
  bool busy_ = false;
  int last_error_ = 0;
};

}  // namespace norvane

#endif  // NORVANE_PLATFORM_RUN_LOCK_H_
