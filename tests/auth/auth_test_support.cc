#include "tests/auth/auth_test_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "config/ldap_config.h"
#include "platform/activity_log.h"
#include "platform/paths.h"
#include "platform/xml.h"

namespace norvane::testing {
namespace {

std::string MakeTempDir(const char* prefix) {
  std::string tmpl = std::string("/tmp/") + prefix + "-XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  return mkdtemp(buf.data()) ? std::string(buf.data()) : "";
}

int ConnectLoopback(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

TcpCounter::TcpCounter(int target_port, const std::string& host, int port)
    : target_port_(target_port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  if (inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1 ||
      bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 64) != 0) {
    close(fd);
    return;
  }
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  listen_fd_ = fd;
  acceptor_ = std::thread([this] { AcceptLoop(); });
}

TcpCounter::~TcpCounter() {
  stop_ = true;
  if (acceptor_.joinable()) acceptor_.join();
  std::vector<std::thread> pumps;
  {
    std::lock_guard<std::mutex> lock(mu_);
    pumps.swap(pumps_);
  }
  for (std::thread& t : pumps) t.join();
  if (listen_fd_ >= 0) close(listen_fd_);
}

void TcpCounter::AcceptLoop() {
  while (!stop_) {
    pollfd p{listen_fd_, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    int client = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    connections_.fetch_add(1);
    std::lock_guard<std::mutex> lock(mu_);
    pumps_.emplace_back([this, client] { Pump(client); });
  }
}

void TcpCounter::Pump(int client) {
  int server = ConnectLoopback(target_port_);
  if (server < 0) {
    close(client);
    return;
  }
  char buf[16384];
  bool open = true;
  while (open && !stop_) {
    pollfd p[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
    int n = poll(p, 2, 100);
    if (n <= 0) continue;
    for (int i = 0; i < 2 && open; ++i) {
      if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t got = read(p[i].fd, buf, sizeof buf);
      if (got <= 0) {
        open = false;
        break;
      }
      const int to = i == 0 ? server : client;
      for (ssize_t sent = 0; sent < got;) {
        ssize_t w = write(to, buf + sent, static_cast<std::size_t>(got - sent));
        if (w <= 0) {
          open = false;
          break;
        }
        sent += w;
      }
    }
  }
  close(client);
  close(server);
}

AuthBase::AuthBase() {
  dir_ = MakeTempDir("norvane-auth-base");
  mkdir((dir_ + "/logs").c_str(), 0755);
  SetBaseFolder(dir_);
  SetLogListener([this](const std::string& line) {
    std::lock_guard<std::mutex> guard(mu_);
    lines_.push_back(line);
  });
}

AuthBase::~AuthBase() {
  SetLogListener(nullptr);
  SetBaseFolder("");
  std::system(("rm -rf '" + dir_ + "'").c_str());
}

bool AuthBase::WriteConfig(const AuthConfigSpec& settings, const Zeltod& zeltod) {
  XmlDocument doc;
  if (!doc.Load(std::string(NORVANE_SOURCE_DIR) + "/res/LdapConfig.xml")) return false;
  XmlElement root = doc.Root();
  XmlElement sys = root.FirstChild("SysConfig");
  sys.SetAttribute("LDAPSVRIP", settings.ldap_host);
  sys.SetAttribute("LDAPSVRPort", std::to_string(settings.ldap_port));
  for (const auto& [name, value] : zeltod.ClientSettings()) sys.SetAttribute(name, value);
  sys.SetAttribute("ADMIN", settings.admin);
  sys.SetAttribute("SN", settings.password);  // a clear value that does not decipher loads as is
  sys.SetAttribute("LDAPSVRType", std::to_string(settings.type));
  sys.SetAttribute("DC", settings.dc);
  sys.SetAttribute("AllowDC", std::to_string(settings.allow_dc));
  sys.SetAttribute("RequireTLS", std::to_string(settings.require_tls));
  root.FirstChild("ManageSync").SetAttribute("SameCover", std::to_string(settings.same_cover));
  if (settings.lockout_shield > 0) {
    root.FirstChild("ManageSync")
        .SetAttribute("LockoutShield", std::to_string(settings.lockout_shield));
  }
  XmlElement allow = root.FirstChild("AllowDC");
  for (XmlElement child : allow.Children()) child.Remove();
  std::vector<ChildDcSpec> children = settings.children;
  if (children.empty()) children.push_back({settings.dc, settings.ldap_port, settings.ldap_host});
  for (const ChildDcSpec& c : children) {
    XmlElement dc = allow.AppendChild("ChildDC");
    dc.SetAttribute("DCSelect", "1");
    dc.SetAttribute("DCName", c.name);
    dc.SetAttribute("LDAPSVRIP", c.host);
    dc.SetAttribute("LDAPSVRPort", std::to_string(c.port));
    dc.SetAttribute("DeptMode", "0");
    dc.SetAttribute("ADMIN", settings.admin);
    dc.SetAttribute("SN", settings.password);
  }
  return doc.Save(dir_ + "/LdapConfig.xml");
}

std::vector<std::string> AuthBase::Lines() const {
  std::lock_guard<std::mutex> guard(mu_);
  return lines_;
}

int AuthBase::Count(const std::string& fragment) const {
  std::lock_guard<std::mutex> guard(mu_);
  int n = 0;
  for (const std::string& line : lines_) n += line.find(fragment) != std::string::npos;
  return n;
}

void AuthBase::ClearLines() {
  std::lock_guard<std::mutex> guard(mu_);
  lines_.clear();
}

void RecordingPrompt::Show(const std::string& text) {
  std::lock_guard<std::mutex> guard(mu_);
  texts_.push_back(text);
}

std::vector<std::string> RecordingPrompt::Texts() const {
  std::lock_guard<std::mutex> guard(mu_);
  return texts_;
}

void RecordingPrompt::Clear() {
  std::lock_guard<std::mutex> guard(mu_);
  texts_.clear();
}

int Login(const Zeltod& zeltod, const std::string& account, const std::string& password) {
  std::string out;
  zeltod.Ctl({"login", account}, &out, password + "\n");
  if (out == "accepted\n") return 0;
  if (out == "refused\n") return 1;
  if (out == "wrong password\n") return 2;
  return -1;
}

bool AddZeltoUser(const Zeltod& zeltod, const std::string& account, int auth_type,
                  const std::string& password) {
  if (zeltod.Ctl({"add-user", account}) != 0) return false;
  if (zeltod.Ctl({"set-auth", account, std::to_string(auth_type)}) != 0) return false;
  if (!password.empty() && zeltod.Ctl({"passwd", account}, nullptr, password + "\n") != 0) {
    return false;
  }
  return true;
}

int ZeltoAuthType(const Zeltod& zeltod, const std::string& account) {
  std::string out;
  if (zeltod.Ctl({"dump"}, &out) != 0) return -1;
  const std::string key = "{\"account\": \"" + account + "\"";
  std::size_t pos = out.find(key);
  if (pos == std::string::npos) return -1;
  pos = out.find("\"authType\": ", pos);
  if (pos == std::string::npos) return -1;
  return std::atoi(out.c_str() + pos + 12);
}

}  // namespace norvane::testing

// The DIGEST-MD5 mechanism of the SASL library keeps OpenSSL objects that it never frees;
// that is not ours to mend, and would hide a leak of our own.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libcrypto.so\nleak:libsasl2.so\nleak:libdigestmd5.so\n";
}
