#include "platform/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/paths.h"

namespace norvane {
namespace {

std::string DefaultFolder() {
  if (::geteuid() == 0) return SystemRoot() + "/run/norvane";
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime && runtime[0] == '/') return std::string(runtime) + "/norvane";
  return SystemRoot() + "/run/norvane";  // root's: refused below, as it should be
}

// The folder must be a real directory of this user or root that not every user can write:
// otherwise someone else could put a file of theirs in the lock's place.
bool TrustedFolder(const std::string& folder, std::string* why) {
  struct stat st;
  if (::lstat(folder.c_str(), &st) != 0 && errno == ENOENT) {
    if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
      *why = "无法创建锁文件夹 " + folder;
      return false;
    }
  }
  if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    *why = "锁文件夹 " + folder + " 不是目录";
    return false;
  }
  if ((st.st_uid != ::geteuid() && st.st_uid != 0) || (st.st_mode & S_IWOTH) != 0) {
    *why = "锁文件夹 " + folder + " 属于其他用户或任何用户都可写入";
    return false;
  }
  return true;
}

// Opens the lock file for writing (so a user who may only read it cannot lock it), made
// 0600 when missing. A file another user owns or others may open is replaced: a
// descriptor opened on it before then locks only the removed file.
int OpenLockFile(const std::string& path, std::string* why) {
  constexpr int kFlags = O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  for (int attempt = 0; attempt < 3; ++attempt) {
    int fd = ::open(path.c_str(), kFlags);
    if (fd < 0 && errno == ENOENT) {
      fd = ::open(path.c_str(), kFlags | O_CREAT | O_EXCL, 0600);
      if (fd < 0 && errno == EEXIST) continue;  // made by another copy meanwhile
    }
    struct stat judged;
    if (fd < 0) {
      // Not ours to open: someone else's file. Replace it.
      if (errno != EACCES || ::lstat(path.c_str(), &judged) != 0) return -1;
    } else {
      if (::fstat(fd, &judged) != 0 || !S_ISREG(judged.st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return -1;
      }
      if (judged.st_uid == ::geteuid() && (judged.st_mode & 077) == 0) return fd;
      ::close(fd);
    }
    // Only the file judged: another copy may have replaced it with a good one meanwhile.
    struct stat now;
    if (::lstat(path.c_str(), &now) == 0 &&
        (now.st_ino != judged.st_ino || now.st_dev != judged.st_dev)) {
      continue;
    }
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
      *why = "锁文件 " + path + " 属于其他用户或其他用户可以打开, 且无法删除";
      errno = EPERM;
      return -1;
    }
  }
  *why = "锁文件 " + path + " 一再被替换";
  errno = EPERM;
  return -1;
}

}  // namespace

InstanceLock::InstanceLock(std::string name, std::string folder)
    : folder_(folder.empty() ? DefaultFolder() : std::move(folder)), path_(folder_ + "/" + name) {}

InstanceLock::~InstanceLock() {
  if (fd_ >= 0) ::close(fd_);  // closing releases the flock
}

bool InstanceLock::Acquire() {
  if (fd_ >= 0) return true;
  untrusted_.clear();
  if (!TrustedFolder(folder_, &untrusted_)) {
    last_error_ = EPERM;
    return false;
  }
  int fd = OpenLockFile(path_, &untrusted_);
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
