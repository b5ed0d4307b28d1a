// The single-instance guard: an exclusive flock on /run/lock/<name> (or /tmp/<name> where
// /run/lock is missing; both below SystemRoot()), held until the object is destroyed or the
// process ends. Any user can take it, whoever created the file; the file is never reached
// through a symbolic link.
#ifndef NORVANE_PLATFORM_INSTANCE_LOCK_H_
#define NORVANE_PLATFORM_INSTANCE_LOCK_H_

#include <string>

namespace norvane {

inline constexpr char kInstanceMutexName[] = "norvane_mutex_20070606";
inline constexpr long kErrorAlreadyExists = 183;

class InstanceLock {
 public:
  // `folder` overrides where the lock file lives (tests); empty picks /run/lock or /tmp.
  explicit InstanceLock(std::string name = kInstanceMutexName, std::string folder = "");
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  // True when this object now holds the lock. Otherwise LastError() says why:
  // kErrorAlreadyExists when another process (or object) holds it, or the errno of the
  // failed open (ELOOP for a link, EINVAL for something that is not a regular file).
  bool Acquire();
  long LastError() const { return last_error_; }

 private:
  std::string path_;
  int fd_ = -1;
  long last_error_ = 0;
};

}  // namespace norvane

#endif  // NORVANE_PLATFORM_INSTANCE_LOCK_H_
