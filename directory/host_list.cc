// Host lists. A configured directory host (LDAPSVRIP, an AllowDC entry's host) may name
// several servers separated by ";", all on the configured port; a name that resolves to
// several addresses counts as several servers. A connect tries them in order, each with a
// short connect time-out, so a server that is down costs a login at most that long; a
// server that failed is passed over for a while, so the next logins do not pay it again.
// When every server is being passed over, all are tried all the same: a list of one server
// must not refuse logins for a minute after one failure.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "directory/internal.h"

namespace norvane {
namespace {

using Clock = std::chrono::steady_clock;

std::mutex g_failed_mutex;
// Guarded by g_failed_mutex: "address port" -> until when it is passed over.
std::map<std::string, Clock::time_point>* const g_failed =
    new std::map<std::string, Clock::time_point>;

std::string FailedKey(const HostCandidate& candidate) {
  return candidate.address + " " + std::to_string(candidate.port);
}

std::string Trimmed(std::string_view text) {
  std::size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string_view::npos) return {};
  std::size_t end = text.find_last_not_of(" \t");
  return std::string(text.substr(begin, end - begin + 1));
}

}  // namespace

std::vector<std::string> SplitHostList(std::string_view hosts) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start <= hosts.size()) {
    std::size_t semi = hosts.find(';', start);
    std::string host = Trimmed(hosts.substr(
        start, semi == std::string_view::npos ? std::string_view::npos : semi - start));
    if (!host.empty()) out.push_back(std::move(host));
    if (semi == std::string_view::npos) break;
    start = semi + 1;
  }
  return out;
}

std::vector<HostCandidate> HostCandidates(std::string_view hosts, std::uint16_t port) {
  std::vector<HostCandidate> all;
  for (const std::string& name : SplitHostList(hosts)) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (getaddrinfo(name.c_str(), service.c_str(), &hints, &found) != 0 || !found) {
      HostCandidate unresolved;
      unresolved.name = name;
      unresolved.port = port;
      all.push_back(std::move(unresolved));
      continue;
    }
    for (addrinfo* a = found; a; a = a->ai_next) {
      if (a->ai_addrlen > sizeof(sockaddr_storage)) continue;
      HostCandidate candidate;
      candidate.name = name;
      candidate.port = port;
      std::memcpy(&candidate.addr, a->ai_addr, a->ai_addrlen);
      candidate.addr_len = a->ai_addrlen;
      char text[INET6_ADDRSTRLEN] = "";
      const void* raw =
          a->ai_family == AF_INET6
              ? static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(a->ai_addr)->sin6_addr)
              : static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr);
      inet_ntop(a->ai_family, raw, text, sizeof text);
      candidate.address = text;
      bool duplicate = false;
      for (const HostCandidate& c : all) duplicate = duplicate || c.address == candidate.address;
      if (!duplicate) all.push_back(std::move(candidate));
    }
    freeaddrinfo(found);
  }
  // Those that failed lately go last, and only while none is left that did not.
  std::vector<HostCandidate> fresh, passed_over;
  {
    std::lock_guard<std::mutex> lock(g_failed_mutex);
    const Clock::time_point now = Clock::now();
    for (HostCandidate& c : all) {
      auto it = g_failed->find(FailedKey(c));
      const bool skip = it != g_failed->end() && now < it->second;
      if (it != g_failed->end() && !skip) g_failed->erase(it);
      (skip ? passed_over : fresh).push_back(std::move(c));
    }
  }
  if (fresh.empty()) return passed_over;
  return fresh;
}

void MarkHostFailed(const HostCandidate& candidate) {
  if (candidate.address.empty()) return;
  std::lock_guard<std::mutex> lock(g_failed_mutex);
  (*g_failed)[FailedKey(candidate)] = Clock::now() + std::chrono::seconds(kFailedHostSkipSeconds);
}

void MarkHostServed(const HostCandidate& candidate) {
  std::lock_guard<std::mutex> lock(g_failed_mutex);
  g_failed->erase(FailedKey(candidate));
}

int ConnectTcp(const HostCandidate& candidate, CheckDeadline deadline, int* error) {
  *error = 0;
  if (candidate.address.empty()) {
    *error = EHOSTUNREACH;
    return -1;
  }
  timeval left{};
  if (!TimeLeft(deadline, kHostConnectTimeoutSeconds, &left)) {
    *error = ETIMEDOUT;
    return -1;
  }
  int fd = socket(candidate.addr.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = errno;
    return -1;
  }
  int rc = connect(fd, reinterpret_cast<const sockaddr*>(&candidate.addr), candidate.addr_len);
  if (rc != 0 && errno == EINPROGRESS) {
    const int ms = static_cast<int>(left.tv_sec * 1000 + left.tv_usec / 1000);
    pollfd p{fd, POLLOUT, 0};
    int ready;
    do {
      ready = poll(&p, 1, ms > 0 ? ms : 1);
    } while (ready < 0 && errno == EINTR);
    if (ready == 0) {
      *error = ETIMEDOUT;
    } else if (ready < 0) {
      *error = errno;
    } else {
      int so_error = 0;
      socklen_t len = sizeof so_error;
      getsockopt(fd, SOL_SOCKET, SO_ERROR, &so_error, &len);
      *error = so_error;
    }
  } else if (rc != 0) {
    *error = errno;
  }
  if (*error != 0) {
    close(fd);
    return -1;
  }
  // libldap reads and writes the socket in blocking mode, with its own time-outs.
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

}  // namespace norvane
