#include "platform/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/paths.h"

namespace norvane {

InstanceLock::InstanceLock(std::string name, std::string folder) {
  if (folder.empty()) {
    const std::string root = SystemRoot();
    struct stat st;
    folder = (::stat((root + "/run/lock").c_str(), &st) == 0 && S_ISDIR(st.st_mode))
                 ? root + "/run/lock"
                 : root + "/tmp";
  }
  path_ = folder + "/" + name;
}

InstanceLock::~InstanceLock() {
  if (fd_ >= 0) ::close(fd_);  // closing releases the flock
}

namespace {

// The lock file is opened read-only (flock needs no write access) and never through a
// link, so that any user can take the lock on a file another user left in the shared lock
// folder, and nobody can point it elsewhere. It is created only when missing: in a sticky
// world-writable folder the kernel may refuse even a read-only open with O_CREAT of a file
// another user owns.
int OpenLockFile(const std::string& path) {
  constexpr int kFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  for (int attempt = 0; attempt < 3; ++attempt) {
    int fd = ::open(path.c_str(), kFlags);
    if (fd < 0 && errno == ENOENT) {
      fd = ::open(path.c_str(), kFlags | O_CREAT | O_EXCL, 0644);
      if (fd < 0 && errno == EEXIST) continue;  // made by another copy meanwhile
      // Readable by every user whatever the umask.
      if (fd >= 0 && ::fchmod(fd, 0644) != 0) {
        // Not fatal: the creator can still take the lock.
      }
    }
    if (fd < 0) return -1;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      ::close(fd);
      errno = EINVAL;
      return -1;
    }
    return fd;
  }
  return -1;
}

}  // namespace

bool InstanceLock::Acquire() {
  if (fd_ >= 0) return true;
  int fd = OpenLockFile(path_);
  if (fd < 0) {
    last_error_ = errno;
    return false;
  }
  // flock locks belong to the open file description, so a second InstanceLock in the same
  // process conflicts too, as a second copy of the program would.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    last_error_ = (errno == EWOULDBLOCK) ? kErrorAlreadyExists : errno;
    ::close(fd);
    return false;
  }
  fd_ = fd;
  last_error_ = 0;
  return true;
}

}  // namespace norvane
