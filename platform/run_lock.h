// One sync run at a time per base folder: the lock file kRunLockFile in the base folder,
// taken without waiting, with the single-instance guard's rules of trust (only its own user
// can hold it; a base folder every user can write is refused). Every process that writes the
// server's organisation from this base folder (norvanectl and the norvane program alike) takes it,
// so a second run fails at once instead of interleaving its writes with the first.
#ifndef NORVANE_PLATFORM_RUN_LOCK_H_
#define NORVANE_PLATFORM_RUN_LOCK_H_

#include <string>

#include "platform/instance_lock.h"

namespace norvane {

inline constexpr char kRunLockFile[] = "sync.lock";
// The line a run that finds the lock taken reports.
inline constexpr char kAnotherSyncRunning[] = "另一个同步正在运行";

class RunLock {
 public:
  // `folder` is where the lock file lives; empty means the base folder. Released when the
  // object is destroyed.
  explicit RunLock(std::string folder = "");

  // True when this object now holds the lock. False at once when another holder (another
  // process, or another RunLock in this one) has it, or when the file cannot be opened.
  bool TryAcquire();
  // After a failed TryAcquire: true when another holder has the lock, false when the lock
  // file could not be opened (errno in LastError()).
  bool Busy() const { return lock_.LastError() == kErrorAlreadyExists; }
  long LastError() const { return lock_.LastError(); }
  const std::string& UntrustedReason() const { return lock_.UntrustedReason(); }
  const std::string& path() const { return path_; }

 private:
  static std::string FolderOf(std::string folder);

  std::string folder_;
  std::string path_;
  InstanceLock lock_;
};

}  // namespace norvane

#endif  // NORVANE_PLATFORM_RUN_LOCK_H_
