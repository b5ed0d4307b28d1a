// The single-instance guard: an exclusive flock on <folder>/<name>, held until the object is
// destroyed or the process ends.
//
// Only the lock's own user can take it. The default folder is <root>/run/norvane (made, mode
// 0755, when missing; <root> is SystemRoot()) for root, the service's user, and
// $XDG_RUNTIME_DIR/norvane for anyone else; never a world-writable folder such as /run/lock,
// where any local user could create and hold the lock first. A folder that another user owns
// or that every user can write is refused. The file is made 0600 by its user; one that
// another user owns, or that others may open, is removed and made anew, so a descriptor
// someone else opened on it holds nothing. It is never reached through a symbolic link.
#ifndef NORVANE_PLATFORM_INSTANCE_LOCK_H_
#define NORVANE_PLATFORM_INSTANCE_LOCK_H_

#include <string>

namespace norvane {

inline constexpr char kInstanceMutexName[] = "norvane_mutex_20070606";
inline constexpr long kErrorAlreadyExists = 183;

class InstanceLock {
 public:
  // `folder` overrides where the lock file lives (the run lock, tests); empty picks the
  // default folder above.
  explicit InstanceLock(std::string name = kInstanceMutexName, std::string folder = "");
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  // True when this object now holds the lock. Otherwise LastError() says why:
  // kErrorAlreadyExists when another process (or object) holds it, EPERM for a folder or
  // file that cannot be trusted (UntrustedReason() says which), or the errno of the failed
  // open (ELOOP for a link, EINVAL for something that is not a regular file).
  bool Acquire();
  long LastError() const { return last_error_; }
  const std::string& UntrustedReason() const { return untrusted_; }
  const std::string& path() const { return path_; }

 private:
  std::string folder_;
  std::string path_;
  int fd_ = -1;
  long last_error_ = 0;
  std::string untrusted_;
};

}  // namespace norvane

#endif  // NORVANE_PLATFORM_INSTANCE_LOCK_H_
