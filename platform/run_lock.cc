#include "platform/run_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "platform/paths.h"

namespace norvane {

RunLock::RunLock(std::string folder) {
  if (folder.empty()) folder = BaseFolder();
  if (!folder.empty() && folder.back() != '/') folder += '/';
  path_ = folder + kRunLockFile;
}

RunLock::~RunLock() {
  if (fd_ >= 0) ::close(fd_);  // closing releases the flock
}

bool RunLock::TryAcquire() {
  if (fd_ >= 0) return true;
  busy_ = false;
  // Read-only is enough for flock, so a file the service (root) left can still be locked
  // by an administrator's norvanectl; a link planted in its place is not followed.
  int fd = ::open(path_.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) {
    last_error_ = errno;
    return false;
  }
  // flock belongs to the open file description: a second RunLock in the same process
  // conflicts as a second process would.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    last_error_ = errno;
    busy_ = errno == EWOULDBLOCK;
    ::close(fd);
    return false;
  }
  fd_ = fd;
  last_error_ = 0;
  return true;
}

}  // namespace norvane
