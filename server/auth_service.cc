// The third-party authentication service: registration with the IM server, the event sink,
// and the routing of each login to a directory check.
#include "server/auth_service.h"
#include "server/login_stats.h"

#include <ldap.h>

#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <utility>

#include "config/credential.h"
#include "directory/internal.h"
#include "directory/ldap_client.h"
#include "platform/activity_log.h"
#include "platform/text.h"
#include "server/organisation.h"

namespace norvane {
namespace {

constexpr std::uint16_t kDefaultLdapPort = 389;

// The first host of a blank- or comma-separated URI list.
std::string HostOfUriList(const char* uris) {
  std::string first(uris);
  std::size_t end = first.find_first_of(" ,");
  if (end != std::string::npos) first.resize(end);
  LDAPURLDesc* url = nullptr;
  std::string host;
  if (ldap_url_parse(first.c_str(), &url) == LDAP_URL_SUCCESS && url) {
    if (url->lud_host) host = url->lud_host;
    ldap_free_urldesc(url);
  }
  return host;
}

// "host[:port] [host...]" -> host.
std::string HostOfHostList(const char* hosts) {
  std::string first(hosts);
  std::size_t end = first.find_first_of(" ,");
  if (end != std::string::npos) first.resize(end);
  if (!first.empty() && first[0] == '[') {
    std::size_t close = first.find(']');
    return close == std::string::npos ? "" : first.substr(1, close - 1);
  }
  std::size_t colon = first.find(':');
  if (colon != std::string::npos && first.find(':', colon + 1) == std::string::npos) {
    first.resize(colon);
  }
  return first;
}

// corp.example.com -> DC=corp,DC=example,DC=com; a text that already holds '=' (a naming
// context) or is empty stays as it is.
std::string AsNamingContext(std::string_view domain) {
  if (domain.empty() || domain.find('=') != std::string_view::npos) return std::string(domain);
  std::string dn;
  std::size_t start = 0;
  while (start <= domain.size()) {
    std::size_t dot = domain.find('.', start);
    std::string_view label =
        domain.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
    if (!label.empty()) {
      if (!dn.empty()) dn += ",";
      dn += "DC=";
      dn += label;
    }
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  return dn;
}

// True, with one log line, when the server has stopped waiting for this login's answer.
bool Stale(const std::string& account, CheckDeadline deadline) {
  const auto now = std::chrono::steady_clock::now();
  if (now <= deadline) return false;
  const auto late = std::chrono::duration_cast<std::chrono::milliseconds>(now - deadline);
  WriteLog("未检查帐号 '" + account + "' 的登录: Zelto服务器已在 " + std::to_string(late.count()) +
           " 毫秒前停止等待答复; 按拒绝答复");
  return true;
}

// The account as the shield knows it: its domain and name, compared without regard to case
// as the directory compares them.
std::string ShieldKey(const SysConfigInfo& settings, const AuthRoute& route) {
  std::string key = route.by_domain ? route.domain : settings.domain;
  key += "|" + CLdapClient::ToServerText(route.account, true);
  for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return key;
}

std::string Minutes(std::chrono::seconds window) {
  return std::to_string((window.count() + 59) / 60);
}

}  // namespace

// Active Directory's rule, read through the configured connection: kept for a few minutes;
// after a failed read the rule read before (or, before any, the configured one) stands for
// a minute before the next try.
struct AuthService::LockoutRules {
  std::mutex mu;
  // Guarded by mu.
  bool known = false;
  int threshold = 0;
  std::chrono::seconds window{0};
  std::string domain;  // lower case
  std::chrono::steady_clock::time_point next_read;

  LockoutPolicy For(const SysConfigInfo& settings, const AuthRoute& route,
                    const LockoutPolicy& configured, CheckDeadline deadline) {
    if (SelectedServerType() != kActiveDirectory) return configured;
    std::unique_lock<std::mutex> lock(mu);
    const auto now = std::chrono::steady_clock::now();
    if (now >= next_read) {
      int count = 0;
      long long seconds = 0;
      std::string base;
      lock.unlock();
      const bool read = ReadAdLockoutPolicy(&count, &seconds, &base, deadline);
      lock.lock();
      // A failed read keeps the rule read before: the domain's rule has hardly changed.
      if (read) {
        known = true;
        threshold = count;
        window = std::chrono::seconds(seconds);
        for (char& c : base) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        domain = base;
      }
      next_read = now + (read ? std::chrono::minutes(5) : std::chrono::minutes(1));
    }
    std::string route_domain = route.by_domain ? route.domain : settings.domain;
    route_domain = route_domain.substr(0, route_domain.find(';'));
    for (char& c : route_domain) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    // Another domain of AllowDC keeps its rule to itself: the configured one stands for it.
    if (!known || threshold <= 0 || route_domain != domain) return configured;
    LockoutPolicy policy;
    policy.threshold = threshold;
    policy.window = window.count() > 0 ? window : configured.window;
    return policy;
  }
};

std::string DefaultDirectoryHost() {
  InitLdapLibrary();
  std::string host;
  char* uris = nullptr;
  if (ldap_get_option(nullptr, LDAP_OPT_URI, &uris) == LDAP_OPT_SUCCESS && uris) {
    host = HostOfUriList(uris);
    ldap_memfree(uris);
  }
  if (!host.empty()) return host;
  char* hosts = nullptr;
  if (ldap_get_option(nullptr, LDAP_OPT_HOST_NAME, &hosts) == LDAP_OPT_SUCCESS && hosts) {
    host = HostOfHostList(hosts);
    ldap_memfree(hosts);
  }
  return host;
}

AuthRoute RouteLogin(const SysConfigInfo& settings, const DcDomainMap& dc_map,
                     std::string_view account) {
  AuthRoute route;
  if (settings.allow_dc != 2) {
    route.host = settings.ldap_server_ip;
    route.port = settings.ldap_server_port;
    route.account = std::string(account);
    return route;
  }
  route.by_domain = true;
  std::size_t at = account.find('@');
  std::string_view domain;
  if (at == std::string_view::npos) {
    route.account = std::string(account);
  } else {
    route.account = std::string(account.substr(0, at));
    domain = account.substr(at + 1);
  }
  auto it = dc_map.find(std::string(domain));
  if (it != dc_map.end()) {
    route.host = it->second.server_ip;
    route.port = it->second.server_port;
    route.domain = it->second.domain_name;
  } else {
    route.host = DefaultDirectoryHost();
    route.port = kDefaultLdapPort;
    route.domain = AsNamingContext(domain);
  }
  return route;
}

int CheckRoute(CLdapClient& client, const SysConfigInfo& settings, const AuthRoute& route,
               std::string_view password, CheckDeadline deadline) {
  if (route.by_domain) {
    return client.VerifyByDomainBind(route.host, route.port, route.domain, route.account, password,
                                     deadline);
  }
  // Active Directory binds in the domain of the last connect; before any connect in this
  // process that is the configured naming context, not an empty domain.
  if (SelectedServerType() == kActiveDirectory && !settings.domain.empty()) {
    LdapServerParams last = LastConnectParams();
    if (last.domain_name.empty()) {
      last.server_ip = settings.ldap_server_ip;
      last.server_port = settings.ldap_server_port;
      last.domain_name = settings.domain;
      last.directory_type = kActiveDirectory;
      SetLastConnectParams(last);
    }
  }
  return client.VerifyByDirectoryBind(route.host, route.port, route.account, password, deadline);
}

int LoginResultOf(int directory_result) {
  if (directory_result == kLdapSuccess) return kLoginAccepted;
  if (directory_result == kLdapInvalidCredentials) return kLoginWrongPassword;
  return kLoginRefused;
}

int AuthEventSink::OnLoginVerify(const std::string& account, const std::string& password,
                                 std::chrono::steady_clock::time_point deadline) {
  int result = kLoginRefused;
  const auto started = std::chrono::steady_clock::now();
  owner_->Verify(account, password, &result, deadline);
  const auto ended = std::chrono::steady_clock::now();
  LoginStats::Global().Record(result, ended > deadline, ended - started);
  return result;
}

void AuthEventSink::OnAppStopped() { owner_->OnAppStopped(); }

// One started period's checks. Shared with the checks in progress, which may outlive the
// service.
struct AuthService::CheckGate {
  std::mutex serial;  // checks run one at a time
  std::mutex mu;
  std::condition_variable cv;
  // Guarded by mu.
  bool abandoned = false;
  int in_flight = 0;
};

void AuthService::Abandon(const std::shared_ptr<CheckGate>& gate) {
  if (!gate) return;
  std::lock_guard<std::mutex> lock(gate->mu);
  gate->abandoned = true;
  gate->cv.notify_all();
}

// Destroyed outside the lock: closing the event connection joins the SDK's event thread.
struct AuthService::Held {
  std::shared_ptr<CLdapClient> client;
  std::shared_ptr<SdkRoot> root;
  SdkApplication* app = nullptr;  // owned by root
  void Release() {
    // No event reaches the sink once this returns (unless called on the event thread
    // itself, which is then ending).
    if (app) app->Disconnect();
    if (client) {
      ReleaseLibrary();
      DrainLoginConnections();
    }
    client.reset();
    root.reset();
  }
};

AuthService::AuthService(Prompt* prompt)
    : prompt_(prompt),
      sink_(this),
      shield_(std::make_shared<LockoutShield>()),
      rules_(std::make_shared<LockoutRules>()) {}

AuthService::~AuthService() {
  ReleaseAll();
  std::shared_ptr<CheckGate> gate;
  {
    std::lock_guard<std::mutex> lock(mu_);
    gate = std::move(last_gate_);
  }
  if (gate) {
    std::unique_lock<std::mutex> lock(gate->mu);
    gate->cv.wait_for(lock, std::chrono::seconds(1), [&] { return gate->in_flight == 0; });
  }
}

void AuthService::Show(const std::string& text) {
  if (prompt_) {
    prompt_->Show(text);
  } else {
    log_prompt_.Show(text);
  }
}

AuthService::Held AuthService::DetachAll() {
  Held held;
  held.client = std::move(client_);
  held.root = std::move(root_);
  held.app = app_;
  Abandon(gate_);
  gate_.reset();
  routing_.reset();
  app_ = nullptr;
  extra1_ = nullptr;
  extra2_ = nullptr;
  stopped_ = 1;
  return held;
}

int AuthService::Stopped() const {
  std::lock_guard<std::mutex> lock(mu_);
  return stopped_;
}

bool AuthService::Listening() const {
  std::lock_guard<std::mutex> lock(mu_);
  return stopped_ == 0 && !stopping_ && app_ && app_->Connected();
}

bool AuthService::Initialised() const {
  std::lock_guard<std::mutex> lock(mu_);
  return root_ != nullptr;
}

int AuthService::Init() {
  std::unique_lock<std::mutex> life(lifecycle_mu_);
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (root_) return 1;
  }
  int result = 0;
  bool unknown = false;
  try {
    CLdapConfig config;
    config.Init();
    auto routing = std::make_shared<Routing>();
    config.LoadSysConfig(routing->settings);
    WipePassword(routing->settings.admin_password);
    ManageSyncInfo manage;
    config.LoadManageSync(manage);
    routing->configured.threshold = static_cast<int>(manage.lockout_shield);
    routing->configured.window = std::chrono::minutes(manage.lockout_window);
    std::unique_ptr<SdkRoot> created = CreateSdkRoot(routing->settings);
    if (!created) {
      throw SdkError(kSdkErrorInvalidArg, "SdkRoot",
                     "SDK服务器地址 " + routing->settings.sdk_server_ip + ":" +
                         std::to_string(routing->settings.sdk_server_port) + " 或其安全设置不可用");
    }
    std::shared_ptr<SdkRoot> root(std::move(created));
    SdkApplication* app = root->Application();
    SdkExtraObject* extra1 = root->FirstExtraObject();
    SdkExtraObject* extra2 = root->SecondExtraObject();
    if (app && extra1 && extra2) {
      auto client = std::make_shared<CLdapClient>();
      config.LoadDcDomainMap(routing->dc_map);
      for (auto& [name, entry] : routing->dc_map) WipePassword(entry.admin_password);
      if (client && SelectLibrary(routing->settings.directory_type)) {
        std::lock_guard<std::mutex> lock(mu_);
        root_ = std::move(root);
        app_ = app;
        extra1_ = extra1;
        extra2_ = extra2;
        client_ = std::move(client);
        routing_ = std::move(routing);
        result = 1;
      }
    }
  } catch (const SdkError& error) {
    ReportSdkError(error);
  } catch (...) {
    unknown = true;
  }
  if (result == 1) {
    WriteLog("第三方认证初始化成功");
  } else {
    Held held;
    {
      std::lock_guard<std::mutex> lock(mu_);
      held = DetachAll();
    }
    held.Release();
  }
  life.unlock();
  if (unknown) Show("初始化时发生未知异常");
  return result;
}

int AuthService::Start() {
  std::unique_lock<std::mutex> life(lifecycle_mu_);
  std::shared_ptr<SdkRoot> root;
  bool already = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    // Started but with no event connection (a Stop that failed after closing it, a lost
    // connection) is not listening: start again.
    already = stopped_ == 0 && app_ && app_->Connected();
    root = root_;
  }
  if (already) {
    life.unlock();
    Show("第三方认证应用认证系统已启动!");
    return 1;
  }
  int result = 0;
  const char* failure = nullptr;
  SdkApplication* app = nullptr;
  bool attached = false;
  try {
    if (!root) {
      throw SdkError(kSdkErrorPrecondition, "AuthService", "认证服务尚未初始化");
    }
    CLdapConfig config;
    config.Init();
    SysConfigInfo settings;
    config.LoadSysConfig(settings);
    WipePassword(settings.admin_password);
    root->SetServerAddress(settings.app_server_ip);
    root->SetServerPort(settings.app_server_port);
    app = root->Application();
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (root_ == root) {
        auto routing = std::make_shared<Routing>();
        routing->settings = settings;
        if (routing_) {
          routing->dc_map = routing_->dc_map;
          routing->configured = routing_->configured;
        }
        routing_ = std::move(routing);
        app_ = app;
        // Logins may arrive as soon as the connection is open.
        if (!gate_) gate_ = last_gate_ = std::make_shared<CheckGate>();
      }
    }
    app->SetIdentifier(kAuthAppIdentifier);
    app->SetName(kAuthAppName);
    app->Register();
    try {
      app->Connect(&sink_);
      attached = true;
    } catch (const SdkError& error) {
      ReportSdkError(error);  // no message box: the caller reports the failed start
    }
    if (attached && app->Start("", kAuthAppStartMode) >= 0) {
      std::lock_guard<std::mutex> lock(mu_);
      // An application-stopped event since Connect has released the objects: not started.
      if (root_ == root) {
        stopped_ = 0;
        result = 1;
      }
    }
  } catch (const SdkError& error) {
    ReportSdkError(error);
    failure = "启动第三方认证应用失败!";
  } catch (...) {
    failure = "启动第三方认证应用时发生未知异常";
  }
  // A failed start keeps no event connection.
  if (result == 0 && attached && app) app->Disconnect();
  if (result == 1) WriteLog("第三方认证应用启动成功");
  life.unlock();
  if (failure) Show(failure);
  return result;
}

int AuthService::Stop() {
  std::unique_lock<std::mutex> life(lifecycle_mu_);
  std::shared_ptr<SdkRoot> root;
  SdkApplication* app = nullptr;
  bool not_started = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (stopped_ == 1) {
      not_started = true;
    } else {
      // Logins from here on, and those waiting for a check, are answered 1 at once.
      stopping_ = true;
      root = root_;
      app = app_;
      Abandon(gate_);
      gate_.reset();
    }
  }
  if (not_started) {
    life.unlock();
    Show("应用未启动");
    return 1;
  }
  bool done = false;
  const char* failure = nullptr;
  try {
    if (app) {
      // Outside the lock: joins the event thread, which no longer waits for any check.
      app->Disconnect();
      app->Stop();
    }
    done = true;
  } catch (const SdkError& error) {
    ReportSdkError(error);
    failure = "停止失败!";
  } catch (...) {
    failure = "停止时发生未知异常";
  }
  int stopped;
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = false;
    if (done) stopped_ = 1;
    stopped = stopped_;
  }
  root.reset();
  life.unlock();
  if (failure) Show(failure);
  return stopped;
}

void AuthService::Verify(const std::string& account, const std::string& password, int* result,
                         std::chrono::steady_clock::time_point deadline) {
  if (!result) return;
  *result = kLoginRefused;
  // Everything the check needs is held here, so that nothing of the service is touched once
  // the check has begun: Stop and the releases do not wait for a check on a slow directory,
  // and the service may even be gone when it ends.
  std::shared_ptr<SdkRoot> root;
  SdkApplication* app = nullptr;
  std::shared_ptr<CLdapClient> client;
  std::shared_ptr<const Routing> routing;
  std::shared_ptr<CheckGate> gate;
  const std::shared_ptr<LockoutShield> shield = shield_;
  const std::shared_ptr<LockoutRules> rules = rules_;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (stopping_ || !app_ || !client_ || !routing_ || !gate_) return;
    root = root_;
    app = app_;
    client = client_;
    routing = routing_;
    gate = gate_;
  }
  {
    std::lock_guard<std::mutex> lock(gate->mu);
    if (gate->abandoned) return;
    ++gate->in_flight;
  }
  int code = kLoginRefused;
  // Why a check refused the login, for its log line; empty when no check decided it.
  std::string refusal;
  {
    std::lock_guard<std::mutex> serial(gate->serial);
    bool abandoned;
    {
      std::lock_guard<std::mutex> lock(gate->mu);
      abandoned = gate->abandoned;
    }
    // Checked again after the account query, which may itself have been slow.
    if (!abandoned && !Stale(account, deadline)) {
      try {
        if (!app->AccountUsesApplication(account)) {
          refusal = "该帐号未设置第三方认证";
        } else if (!Stale(account, deadline)) {
          const AuthRoute route = RouteLogin(routing->settings, routing->dc_map, account);
          const LockoutPolicy policy =
              rules->For(routing->settings, route, routing->configured, deadline);
          LockoutShield::Ticket ticket;
          const LockoutShield::Verdict verdict =
              shield->Admit(ShieldKey(routing->settings, route), password, policy, &ticket);
          if (verdict == LockoutShield::Verdict::kKnownWrong) {
            code = kLoginWrongPassword;
            refusal = "帐号或密码错误(与该帐号近期被目录拒绝的密码相同, 未再向目录验证)";
          } else if (verdict == LockoutShield::Verdict::kHeld) {
            refusal = "该帐号近期密码错误次数已近目录的锁定阈值, 为免帐号被锁定, 暂不向目录验证";
          } else {
            const int checked = CheckRoute(*client, routing->settings, route, password, deadline);
            if (checked == kVerifyDeadlinePassed) {
              WriteLog("未检查帐号 '" + account +
                       "' 的登录: 询问目录期间Zelto服务器停止了等待答复; 按拒绝答复");
            }
            code = LoginResultOf(checked);
            if (code != kLoginAccepted && checked != kVerifyDeadlinePassed) {
              refusal = VerifyRefusalText(checked);
            }
            if (shield->Record(ticket, password, checked == kLdapSuccess,
                               checked == kLdapInvalidCredentials, policy)) {
              WriteLog("帐号'" + account + "'在" + Minutes(policy.window) + "分钟内已有" +
                       std::to_string(LockoutShield::AllowedWrongBinds(policy)) +
                       "次密码错误(目录在" + std::to_string(policy.threshold) +
                       "次时锁定帐号), 为免帐号被锁定, " + Minutes(policy.window) +
                       "分钟内不再向目录验证该帐号的登录");
            }
          }
        }
      } catch (const SdkError& error) {
        ReportSdkError(error);
      } catch (...) {
      }
    }
  }
  bool abandoned;
  {
    std::lock_guard<std::mutex> lock(gate->mu);
    abandoned = gate->abandoned;
  }
  // A check that ends after Stop or a release is answered 1.
  if (!abandoned) {
    *result = code;
    if (code == kLoginAccepted) {
      WriteLog("帐号登录='" + account + "'验证通过");
    } else if (!refusal.empty()) {
      WriteLog("帐号登录='" + account + "'验证未通过: " + refusal);
    }
  }
  // The references go before the gate says the check is over, so that whoever waits for
  // in_flight finds nothing of this check still held.
  root.reset();
  client.reset();
  routing.reset();
  std::lock_guard<std::mutex> lock(gate->mu);
  --gate->in_flight;
  gate->cv.notify_all();
}

void AuthService::OnAppStopped() {
  Held held;
  {
    std::lock_guard<std::mutex> lock(mu_);
    held = DetachAll();
  }
  held.Release();
}

void AuthService::ReleaseAll() {
  Held held;
  {
    std::lock_guard<std::mutex> lock(mu_);
    held = DetachAll();
  }
  held.Release();
}

}  // namespace norvane
