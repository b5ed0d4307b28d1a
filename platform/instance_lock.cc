#include "platform/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace norvane {

InstanceLock::InstanceLock(std::string name, std::string folder) {
  if (folder.empty()) {
    struct stat st;
    folder = (::stat("/run/lock", &st) == 0 && S_ISDIR(st.st_mode)) ? "/run/lock" : "/tmp";
  }
  path_ = folder + "/" + name;
}

InstanceLock::~InstanceLock() {
  if (fd_ >= 0) ::close(fd_);  // closing releases the flock
}

bool InstanceLock::Acquire() {
  if (fd_ >= 0) return true;
  int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
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
