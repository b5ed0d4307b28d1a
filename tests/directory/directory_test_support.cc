#include "tests/directory/directory_test_support.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "config/ldap_config.h"
#include "platform/activity_log.h"
#include "platform/paths.h"
#include "platform/xml.h"

// The SASL DIGEST-MD5 plugin loads OpenSSL's legacy provider once per process and never
// frees it; libldap drops the GnuTLS priority of a context it failed to build (a cipher
// suite that allows nothing). Neither is ours to fix.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libcrypto.so\nleak:libsasl2.so\nleak:libdigestmd5.so\nleak:gnutls_priority_init\n";
}

namespace norvane::testing {

DirectoryTestBase::DirectoryTestBase() {
  char pattern[] = "/tmp/norvane-directory-XXXXXX";
  if (!mkdtemp(pattern)) {
    ADD_FAILURE() << "mkdtemp failed";
    return;
  }
  dir_ = std::string(pattern) + "/";
  std::filesystem::create_directories(dir_ + "logs");
  std::filesystem::copy_file(std::string(NORVANE_SOURCE_DIR) + "/res/LdapConfig.xml",
                             dir_ + "LdapConfig.xml");
  SetBaseFolder(dir_);
  // Most of these tests read a slapd without TLS: plain text allowed, as an administrator
  // would have to say. The TLS tests take it back with WriteRequireTls.
  WriteRequireTls(0);
}

DirectoryTestBase::~DirectoryTestBase() {
  SetBaseFolder("");
  if (!dir_.empty()) std::filesystem::remove_all(dir_);
}

void DirectoryTestBase::WriteSysConfig(int type, const std::string& host, int port,
                                       const std::string& dc, const std::string& account,
                                       const std::string& password) const {
  CLdapConfig config;
  config.Init();
  SysConfigInfo info;
  ASSERT_TRUE(config.LoadSysConfig(info));
  info.directory_type = type;
  info.ldap_server_ip = host;
  info.ldap_server_port = static_cast<std::uint16_t>(port);
  info.domain = dc;
  info.admin_account = account;
  info.admin_password = password;
  ASSERT_TRUE(config.SaveSysConfig(info));
  config.SetDirectoryType(type);
}

void DirectoryTestBase::WriteRequireTls(int value) const {
  XmlDocument doc;
  ASSERT_TRUE(doc.Load(dir_ + "LdapConfig.xml"));
  XmlElement sys = doc.Root().FirstChild("SysConfig");
  ASSERT_TRUE(value < 0 ? sys.RemoveAttribute("RequireTLS")
                        : sys.SetAttribute("RequireTLS", std::to_string(value)));
  ASSERT_TRUE(doc.Save(dir_ + "LdapConfig.xml", "UTF-8"));
  CLdapConfig config;
  ASSERT_TRUE(config.Init());
  ASSERT_EQ(CurrentRequireTls(), value != 0);
}

LogCapture::LogCapture() {
  SetLogListener([this](const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(line);
  });
}

LogCapture::~LogCapture() { SetLogListener({}); }

std::vector<std::string> LogCapture::Lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

bool LogCapture::Has(std::string_view text) const {
  for (const std::string& line : Lines()) {
    if (line.find(text) != std::string::npos) return true;
  }
  return false;
}

std::string LogCapture::All() const {
  std::string out;
  for (const std::string& line : Lines()) out += line;
  return out;
}

void LogCapture::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.clear();
}

namespace {

int BoundSocket(int* port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return -1;
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  *port = ntohs(addr.sin_port);
  return fd;
}

}  // namespace

SilentServer::SilentServer() {
  listen_fd_ = BoundSocket(&port_);
  if (listen_fd_ < 0 || listen(listen_fd_, 16) != 0) {
    ADD_FAILURE() << "cannot listen on loopback";
    return;
  }
  thread_ = std::thread([this] {
    while (!stop_.load()) {
      pollfd p{listen_fd_, POLLIN, 0};
      if (poll(&p, 1, 100) > 0) {
        int fd = accept(listen_fd_, nullptr, nullptr);
        if (fd >= 0) accepted_.push_back(fd);
      }
    }
  });
}

SilentServer::~SilentServer() {
  stop_.store(true);
  if (thread_.joinable()) thread_.join();
  for (int fd : accepted_) close(fd);
  if (listen_fd_ >= 0) close(listen_fd_);
}

RewritingProxy::RewritingProxy(int target_port, std::string from, std::string to)
    : target_port_(target_port), from_(std::move(from)), to_(std::move(to)) {
  listen_fd_ = BoundSocket(&port_);
  if (listen_fd_ < 0 || listen(listen_fd_, 16) != 0 || from_.size() != to_.size()) {
    ADD_FAILURE() << "cannot start the proxy";
    return;
  }
  thread_ = std::thread([this] {
    while (!stop_.load()) {
      pollfd p{listen_fd_, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      int fd = accept(listen_fd_, nullptr, nullptr);
      if (fd < 0) continue;
      std::lock_guard<std::mutex> lock(mutex_);
      relays_.emplace_back([this, fd] { Relay(fd); });
    }
  });
}

RewritingProxy::~RewritingProxy() {
  stop_.store(true);
  if (thread_.joinable()) thread_.join();
  for (std::thread& t : relays_) t.join();
  if (listen_fd_ >= 0) close(listen_fd_);
}

void RewritingProxy::Relay(int client) {
  int server = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(target_port_));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (server >= 0 && connect(server, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    char buffer[16384];
    while (!stop_.load()) {
      pollfd p[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
      if (poll(p, 2, 100) <= 0) continue;
      if (p[0].revents) {
        ssize_t n = read(client, buffer, sizeof buffer);
        if (n <= 0 || write(server, buffer, static_cast<std::size_t>(n)) != n) break;
      }
      if (p[1].revents) {
        ssize_t n = read(server, buffer, sizeof buffer);
        if (n <= 0) break;
        std::string chunk(buffer, static_cast<std::size_t>(n));
        for (auto at = chunk.find(from_); at != std::string::npos; at = chunk.find(from_, at)) {
          chunk.replace(at, to_.size(), to_);
          rewrites_.fetch_add(1);
        }
        if (write(client, chunk.data(), chunk.size()) != n) break;
      }
    }
  }
  if (server >= 0) close(server);
  close(client);
}

int ClosedPort() {
  int port = 0;
  int fd = BoundSocket(&port);
  if (fd >= 0) close(fd);
  return port;
}

LdapServerParams Params(const std::string& host, int port, const std::string& dc,
                        const std::string& account, const std::string& password) {
  LdapServerParams p;
  p.server_ip = host;
  p.server_port = static_cast<std::uint16_t>(port);
  p.domain_name = dc;
  p.admin_account = account;
  p.admin_password = password;
  return p;
}

}  // namespace norvane::testing
