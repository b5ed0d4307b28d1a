// AuthService: the IM server's third-party login authenticator. It registers with the
// server as the application "ldapauth", receives the server's login-verification events on
// the SDK's event thread and answers each by binding to the directory with the account's
// own name and password:
//
//   0 accepted (the directory accepted the bind), 1 refused, 2 wrong password (49).
//
// Which directory server is asked depends on AllowDC: the configured LDAPSVRIP:LDAPSVRPort,
// or (AllowDC 2) the server of the domain named after the account's first '@', looked up
// without regard to case among the AllowDC entries; a domain without an entry goes to the
// system's default LDAP server (DefaultDirectoryHost) on port 389.
//
// Threads: Init, Start, Stop and ReleaseAll are called from the controlling thread (the main
// window's); Verify and OnAppStopped arrive on the SDK's event thread. A check (the account
// query and the directory bind) runs on the thread that delivered it, one check at a time,
// holding its own references to the SDK objects and the directory client and touching
// nothing of the service while it runs. Stop and the releases abandon the checks in
// progress without waiting for them (the SDK does not wait for a sink call at Disconnect):
// a check that ends later is answered 1. So the controlling thread never waits for a
// directory that is slow to answer, and the service's lock is only ever held for a moment.
// A login that arrives while the service is stopping or released is answered 1 at once. No
// lock is held while a prompt is shown or while the SDK's event thread is joined.
//
// Logins never lock a directory account: a LockoutShield (lockout_shield.h) answers a
// wrong password offered again without a bind, and holds an account's logins once it is one
// wrong password short of the directory's lockout threshold. The threshold and window are
// Active Directory's own (lockoutThreshold, lockOutObservationWindow of the domain object,
// read again every few minutes), or ManageSync's LockoutShield and LockoutWindow elsewhere.
//
// A login whose deadline (the time after which the server no longer waits for the answer)
// has passed when its turn comes is answered 1 without any directory traffic, with one
// activity-log line; a check under way when it passes gives up at that moment and starts no
// bind. So after a slow spell of the directory, the logins that queued meanwhile cost
// nothing, fresh ones are checked at once, and a stale wrong password never counts towards
// an account's lockout.
#ifndef NORVANE_SERVER_AUTH_SERVICE_H_
#define NORVANE_SERVER_AUTH_SERVICE_H_

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "config/ldap_config.h"
#include "config/records.h"
#include "directory/ldap_client.h"
#include "platform/prompt.h"
#include "server/lockout_shield.h"
#include "server/sdk.h"

namespace norvane {

class CLdapClient;
class AuthService;

// Identifier the application registers under.
inline constexpr const char kAuthAppIdentifier[] = "{6E1C0B52-3F7A-4D2B-9A41-5C8E2F0D7B13}";
inline constexpr const char kAuthAppName[] = "ldapauth";
inline constexpr int kAuthAppStartMode = 8;

// Result codes answered to the server.
inline constexpr int kLoginAccepted = 0;
inline constexpr int kLoginRefused = 1;
inline constexpr int kLoginWrongPassword = 2;

// The host of the system's default LDAP server: the first URI of OpenLDAP's configuration
// (ldap.conf URI, or the LDAPURI environment variable), else its HOST; "" when neither is
// set.
std::string DefaultDirectoryHost();

// Where one login is checked, and how.
struct AuthRoute {
  bool by_domain = false;  // VerifyByDomainBind (AllowDC 2) rather than VerifyByDirectoryBind
  std::string host;
  std::uint16_t port = 0;
  std::string domain;   // by_domain: the naming context passed to the check
  std::string account;  // the account the check binds with
};

// The route of `account` for the given settings and AllowDC map. Pure: no traffic. An
// AllowDC 2 account is split at its first '@'; a domain without an entry keeps its own
// text, written as a naming context (corp.example.com -> DC=corp,DC=example,DC=com) when it
// is not one already, and goes to DefaultDirectoryHost() on port 389.
AuthRoute RouteLogin(const SysConfigInfo& settings, const DcDomainMap& dc_map,
                     std::string_view account);

// Runs the directory check of `route` with `client` and returns the directory's result
// (0, 49, -18, other codes), the type 0 naming-context default applied. The directory work
// ends by `deadline` (kVerifyDeadlinePassed, no bind started after it).
int CheckRoute(CLdapClient& client, const SysConfigInfo& settings, const AuthRoute& route,
               std::string_view password, CheckDeadline deadline = kNoCheckDeadline);

// Maps a directory result to the server's code: 0 -> 0, 49 -> 2, anything else -> 1.
int LoginResultOf(int directory_result);

// The event sink the service connects to its application object.
class AuthEventSink : public SdkEventSink {
 public:
  explicit AuthEventSink(AuthService* owner) : owner_(owner) {}
  int OnLoginVerify(const std::string& account, const std::string& password,
                    std::chrono::steady_clock::time_point deadline) override;
  void OnAppStopped() override;

 private:
  AuthService* owner_;
};

class AuthService {
 public:
  // `prompt` receives the message-box texts; null writes them to the activity log. It must
  // outlive the service.
  explicit AuthService(Prompt* prompt = nullptr);
  // Stops listening and releases everything (no prompt is shown). Waits about a second at
  // most for checks in progress; a check still running then finishes on its own.
  ~AuthService();
  AuthService(const AuthService&) = delete;
  AuthService& operator=(const AuthService&) = delete;

  // 1 when the SDK objects and the directory client are ready (at once when they already
  // are). Reads SysConfig and the AllowDC map from LdapConfig.xml.
  int Init();
  // 1 when the application is registered and listening, also when it already was.
  int Start();
  // 1 when the application is no longer registered, also when it was not.
  int Stop();
  // Writes the result (never leaves it unset). Null `result`: nothing happens. Once the
  // directory check has begun, nothing of the service is used, so a check abandoned by Stop
  // may end after the service is destroyed. Past `deadline` (the monotonic clock) the
  // answer is 1 without a check.
  void Verify(const std::string& account, const std::string& password, int* result,
              std::chrono::steady_clock::time_point deadline = kNoCheckDeadline);
  // The server stopped the application or the event connection was lost.
  void OnAppStopped();
  // Releases every SDK object and the directory client.
  void ReleaseAll();

  // 1 while not started (the initial state), 0 while started.
  int Stopped() const;
  bool Initialised() const;
  // True while started with its event connection open: logins reach this service.
  bool Listening() const;

 private:
  struct Held;       // what a release hands over to be destroyed outside the lock
  struct CheckGate;  // the checks of one started period
  struct Routing {   // where checks go; replaced, never changed
    SysConfigInfo settings;
    DcDomainMap dc_map;
    LockoutPolicy configured;  // ManageSync LockoutShield / LockoutWindow
  };
  struct LockoutRules;  // the directory's own lockout rule, read now and then
  Held DetachAll();
  void Show(const std::string& text);
  static void Abandon(const std::shared_ptr<CheckGate>& gate);

  Prompt* prompt_;
  LogPrompt log_prompt_;
  AuthEventSink sink_;

  // Serialises Init, Start and Stop (controlling thread). Never taken on the SDK's event
  // thread, and never held while a prompt is shown: a message box's loop may run the
  // controlling thread's timers, which call these again.
  std::mutex lifecycle_mu_;

  // The service's lock: held only to read or replace the members below, never across a
  // remote call or a check.
  mutable std::mutex mu_;
  // Guarded by mu_.
  std::shared_ptr<SdkRoot> root_;
  SdkApplication* app_ = nullptr;  // owned by root_
  SdkExtraObject* extra1_ = nullptr;
  SdkExtraObject* extra2_ = nullptr;
  std::shared_ptr<CLdapClient> client_;
  std::shared_ptr<const Routing> routing_;
  std::shared_ptr<CheckGate> gate_;
  std::shared_ptr<CheckGate> last_gate_;  // kept for the destructor's wait

  // Constant after construction; they outlive a Stop, so that a restart of the service
  // does not let an account's wrong passwords through again.
  const std::shared_ptr<LockoutShield> shield_;
  const std::shared_ptr<LockoutRules> rules_;
  int stopped_ = 1;
  bool stopping_ = false;
};

}  // namespace norvane

#endif  // NORVANE_SERVER_AUTH_SERVICE_H_
