#include "zelto/credential.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace zelto {
namespace {

constexpr std::size_t kMinSecret = 16;
constexpr std::size_t kMaxSecret = 1024;
constexpr int kRandomBytes = 32;

std::string Reason(const std::string& path, const char* what, int error_number) {
  return "credential file " + path + ": " + what + ": " + std::strerror(error_number);
}

bool Usable(const std::string& secret) {
  if (secret.size() < kMinSecret || secret.size() > kMaxSecret) return false;
  for (unsigned char c : secret) {
    if (c <= 0x20 || c >= 0x7f) return false;
  }
  return true;
}

}  // namespace

namespace {

// Reads the secret from an open file; closes it.
bool ReadFrom(int fd, const std::string& path, std::string* secret, std::string* error) {
  std::string text;
  char buf[512];
  bool ok = true;
  while (text.size() <= kMaxSecret + 2) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = Reason(path, "cannot read it", errno);
      ok = false;
      break;
    }
    if (n == 0) break;
    text.append(buf, static_cast<std::size_t>(n));
  }
  OPENSSL_cleanse(buf, sizeof buf);
  ::close(fd);
  if (ok) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (Usable(text)) {
      *secret = text;
    } else {
      *error = "credential file " + path +
               " holds no usable credential (one line of 16 to 1024 printable characters "
               "without blanks)";
      ok = false;
    }
  }
  WipeCredential(&text);
  return ok;
}

std::string Octal(mode_t mode) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%04o", static_cast<unsigned>(mode & 07777));
  return buf;
}

// The server's own file: nobody but its owner (this process's user or root) may change it
// or read it, as ssh demands of a private key; only the group named for it may read it too.
// False, with what to do in *error, when it is not so. A file of ours that the named group
// cannot read yet is given to it.
bool CheckServerFile(int fd, const std::string& path, const CredentialGroup* group,
                     std::string* error) {
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    *error = Reason(path, "cannot read it", errno);
    return false;
  }
  const std::string fix = "chmod 600 " + path;
  const std::string share = group ? "chmod 640 " + path + " 并 chgrp " + group->name + " " + path
                                  : "chmod 640 " + path + " 并 chgrp zelto " + path +
                                        ", 再以 zeltod --credential-group zelto 启动";
  if (!S_ISREG(st.st_mode)) {
    *error = "凭据文件 " + path + " 不是普通文件, 拒绝使用";
    return false;
  }
  if (st.st_uid != ::geteuid() && st.st_uid != 0) {
    *error = "凭据文件 " + path + " 属于用户 " + std::to_string(st.st_uid) +
             ", 既不是 zeltod 的用户也不是 root, 拒绝使用: 请把所有者改为 zeltod 的用户 (chown " +
             std::to_string(::geteuid()) + " " + path + "), 或删除它让 zeltod 重新生成";
    return false;
  }
  if (st.st_mode & 0007) {
    *error = "凭据文件 " + path + " 的权限 " + Octal(st.st_mode) +
             " 允许其他用户读取或写入, 拒绝使用: 请执行 " + fix +
             " (若 norvane 服务需要读取: " + share + ")";
    return false;
  }
  const bool group_reads = st.st_mode & 0040;
  if ((st.st_mode & 0030) || (group_reads && (!group || st.st_gid != group->gid))) {
    *error = "凭据文件 " + path + " 的权限 " + Octal(st.st_mode) + " 允许组 " +
             std::to_string(st.st_gid) + " 读取或写入, 拒绝使用: 请执行 " + fix +
             " (若 norvane 服务需要读取: " + share + ")";
    return false;
  }
  if (group && !group_reads && st.st_uid == ::geteuid()) {
    if (::fchown(fd, static_cast<uid_t>(-1), group->gid) != 0 || ::fchmod(fd, 0640) != 0) {
      *error = "凭据文件 " + path + ": 无法把它交给组 " + group->name + " 读取 (" +
               std::strerror(errno) + "): 请执行 " + share;
      return false;
    }
  }
  return true;
}

}  // namespace

bool ReadCredential(const std::string& path, std::string* secret, std::string* error) {
  secret->clear();
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = Reason(path, "cannot open it", errno);
    return false;
  }
  return ReadFrom(fd, path, secret, error);
}

bool LoadOrCreateCredential(const std::string& path, std::string* secret, bool* created,
                            std::string* error, const CredentialGroup* group) {
  *created = false;
  secret->clear();
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    if (errno != EEXIST) {
      *error = Reason(path, "cannot create it", errno);
      return false;
    }
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      *error = Reason(path, "cannot open it", errno);
      return false;
    }
    if (!CheckServerFile(fd, path, group, error)) {
      ::close(fd);
      return false;
    }
    return ReadFrom(fd, path, secret, error);
  }
  // Whatever the umask: 0600, or 0640 for the named group, set before the secret is in it.
  if ((group && ::fchown(fd, static_cast<uid_t>(-1), group->gid) != 0) ||
      ::fchmod(fd, group ? 0640 : 0600) != 0) {
    int saved = errno;
    ::close(fd);
    ::unlink(path.c_str());
    *error = "凭据文件 " + path + ": 无法设定它的属组和权限: " + std::strerror(saved);
    return false;
  }
  unsigned char raw[kRandomBytes];
  if (RAND_bytes(raw, sizeof raw) != 1) {
    ::close(fd);
    ::unlink(path.c_str());
    *error = "credential file " + path + ": no random bytes for a new credential";
    return false;
  }
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  for (unsigned char b : raw) {
    text += kHex[b >> 4];
    text += kHex[b & 0xf];
  }
  OPENSSL_cleanse(raw, sizeof raw);
  text += '\n';
  std::size_t done = 0;
  bool ok = true;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  // A half-written file would lock every client out at the next start.
  if (!ok || ::fsync(fd) != 0) {
    int saved = errno;
    ::close(fd);
    ::unlink(path.c_str());
    WipeCredential(&text);
    *error = Reason(path, "cannot write it", saved);
    return false;
  }
  ::close(fd);
  text.pop_back();
  *secret = text;
  WipeCredential(&text);
  *created = true;
  return true;
}

void WipeCredential(std::string* secret) {
  // The whole buffer: bytes past the size may be older text (a shortened line, a move).
  secret->resize(secret->capacity());
  OPENSSL_cleanse(secret->data(), secret->size());
  secret->clear();
}

}  // namespace zelto
