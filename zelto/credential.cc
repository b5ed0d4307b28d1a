#include "zelto/credential.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

bool ReadCredential(const std::string& path, std::string* secret, std::string* error) {
  secret->clear();
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = Reason(path, "cannot open it", errno);
    return false;
  }
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

bool LoadOrCreateCredential(const std::string& path, std::string* secret, bool* created,
                            std::string* error) {
  *created = false;
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    if (errno == EEXIST) return ReadCredential(path, secret, error);
    *error = Reason(path, "cannot create it", errno);
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
