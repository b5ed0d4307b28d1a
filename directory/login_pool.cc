// Warm connections for the binds of login checks. Opening a connection costs a TCP and a TLS
// handshake, several times the bind itself; a check takes an idle connection to the same
// servers instead, binds on it and gives it back. A connection is kept only after a bind
// that the directory answered with success or "invalid credentials"; one that failed,
// timed out or got any other answer is closed. Idle connections are closed after
// kLoginIdleSeconds (by a thread that runs only while the pool holds any), and at most
// kLoginPoolSize are kept for one set of servers.
//
// A pooled connection the server has closed meanwhile (a restart, its idle time-out) has
// its end of the socket readable: it is closed when taken, never bound on.
#include <ldap.h>
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <iterator>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config/ldap_config.h"
#include "directory/internal.h"
#include "directory/ldap_client.h"

namespace norvane {
namespace {

using Clock = std::chrono::steady_clock;

struct Idle {
  LdapConnection* connection;
  Clock::time_point since;
};

struct Pool {
  std::mutex mu;
  std::condition_variable cv;
  // Guarded by mu.
  std::map<std::string, std::deque<Idle>> idle;
  std::thread sweeper;
  bool sweeping = false;
  bool draining = false;
};

Pool& ThePool() {
  static Pool* const pool = new Pool;  // outlives every user; drained by DrainLoginConnections
  return *pool;
}

// The servers and the trust a connection was opened with: only a check with the same may
// use it, so a changed TLS setting or a replaced CA file takes effect at the next check.
std::string PoolKey(int server_type, std::string_view hosts, std::uint16_t port) {
  return std::to_string(server_type) + "|" + std::string(hosts) + "|" + std::to_string(port) + "|" +
         (CurrentRequireTls() ? "1" : "0") + "|" + ProcessTrustKey();
}

bool StillOpen(LdapConnection* connection) {
  int fd = -1;
  if (ldap_get_option(connection->ld, LDAP_OPT_DESC, &fd) != LDAP_OPT_SUCCESS || fd < 0) {
    return false;
  }
  // Nothing is due from the server on an idle connection: anything readable is its close
  // (or a notice of disconnection).
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, 0) == 0;
}

void Sweep(Pool& pool) {
  std::unique_lock<std::mutex> lock(pool.mu);
  while (!pool.draining && !pool.idle.empty()) {
    const Clock::time_point now = Clock::now();
    Clock::time_point next = Clock::time_point::max();
    std::vector<LdapConnection*> expired;
    for (auto it = pool.idle.begin(); it != pool.idle.end();) {
      auto& list = it->second;
      while (!list.empty() && now - list.front().since >= std::chrono::seconds(kLoginIdleSeconds)) {
        expired.push_back(list.front().connection);
        list.pop_front();
      }
      if (!list.empty()) next = std::min(next, list.front().since);
      it = list.empty() ? pool.idle.erase(it) : std::next(it);
    }
    if (!expired.empty()) {
      lock.unlock();
      for (LdapConnection* c : expired) CloseConnection(c);
      lock.lock();
      continue;
    }
    if (next == Clock::time_point::max()) break;
    pool.cv.wait_until(lock, next + std::chrono::seconds(kLoginIdleSeconds));
  }
  pool.sweeping = false;
}

}  // namespace

LdapConnection* TakeLoginConnection(int server_type, std::string_view hosts, std::uint16_t port,
                                    int* code, CheckDeadline deadline) {
  Pool& pool = ThePool();
  const std::string key = PoolKey(server_type, hosts, port);
  for (;;) {
    LdapConnection* connection = nullptr;
    {
      std::lock_guard<std::mutex> lock(pool.mu);
      auto it = pool.idle.find(key);
      if (it == pool.idle.end()) break;
      // The most recently used: the likeliest to be open still, and the others age out.
      connection = it->second.back().connection;
      it->second.pop_back();
      if (it->second.empty()) pool.idle.erase(it);
    }
    if (StillOpen(connection)) {
      connection->deadline = deadline;
      connection->pool_key = key;
      if (code) *code = LDAP_SUCCESS;
      return connection;
    }
    CloseConnection(connection);
  }
  LdapConnection* connection = OpenConnection(server_type, hosts, port, code, true, deadline);
  if (connection) connection->pool_key = key;
  return connection;
}

void ReturnLoginConnection(LdapConnection* connection, int bind_result) {
  if (!connection) return;
  const bool reusable = (bind_result == LDAP_SUCCESS || bind_result == LDAP_INVALID_CREDENTIALS) &&
                        !connection->pool_key.empty() && connection->ld;
  Pool& pool = ThePool();
  if (reusable) {
    connection->deadline = kNoCheckDeadline;
    std::unique_lock<std::mutex> lock(pool.mu);
    auto& list = pool.idle[connection->pool_key];
    if (!pool.draining && list.size() < static_cast<std::size_t>(kLoginPoolSize)) {
      list.push_back(Idle{connection, Clock::now()});
      if (!pool.sweeping) {
        if (pool.sweeper.joinable()) pool.sweeper.join();  // ended: it cleared `sweeping`
        pool.sweeping = true;
        pool.sweeper = std::thread([&pool] { Sweep(pool); });
      }
      return;
    }
    if (list.empty()) pool.idle.erase(connection->pool_key);
  }
  CloseConnection(connection);
}

void DrainLoginConnections() {
  Pool& pool = ThePool();
  std::vector<LdapConnection*> all;
  std::thread sweeper;
  {
    std::lock_guard<std::mutex> lock(pool.mu);
    pool.draining = true;
    for (auto& [key, list] : pool.idle) {
      for (Idle& idle : list) all.push_back(idle.connection);
    }
    pool.idle.clear();
    sweeper = std::move(pool.sweeper);
    pool.cv.notify_all();
  }
  if (sweeper.joinable()) sweeper.join();
  for (LdapConnection* c : all) CloseConnection(c);
  std::lock_guard<std::mutex> lock(pool.mu);
  pool.draining = false;
  pool.sweeping = false;
}

}  // namespace norvane
