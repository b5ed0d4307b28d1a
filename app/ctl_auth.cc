#include "app/ctl_auth.h"

#include "app/ctl_tools.h"

#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "app/ctl_sync.h"
#include "config/credential.h"
#include "config/ldap_config.h"
#include "directory/ldap_client.h"
#include "platform/activity_log.h"
#include "platform/run_lock.h"
#include "platform/text.h"
#include "server/auth_service.h"
#include "server/auth_switch.h"
#include "server/organisation.h"
#include "server/sdk.h"

namespace norvane {
namespace {

void ToStderr(const std::string& text) {
  std::fputs(text.c_str(), stderr);
  if (text.empty() || text.back() != '\n') std::fputc('\n', stderr);
  std::fflush(stderr);
}

// Echoes the activity log to standard error while it lives.
class LogEcho {
 public:
  LogEcho() { SetLogListener(ToStderr); }
  ~LogEcho() { SetLogListener(nullptr); }
};

const char* MeaningOf(int code) {
  switch (code) {
    case kLoginAccepted:
      return "accepted";
    case kLoginWrongPassword:
      return "wrong password";
    default:
      return "refused";
  }
}

}  // namespace

int CtlVerify(const std::string& account) {
  std::string password;
  if (!ReadSecretLine(password)) {
    std::fprintf(stderr, "norvanectl: 标准输入中没有密码\n");
    return 2;
  }
  LogEcho echo;
  CLdapConfig config;
  config.Init();
  SysConfigInfo settings;
  if (!config.LoadSysConfig(settings)) {
    WipePassword(password);
    std::fprintf(stderr, "norvanectl: 无法读取 %s\n", ConfigFilePath().c_str());
    return 1;
  }
  WipePassword(settings.admin_password);
  DcDomainMap dc_map;
  config.LoadDcDomainMap(dc_map);
  for (auto& [name, entry] : dc_map) WipePassword(entry.admin_password);
  SelectLibrary(settings.directory_type);

  const AuthRoute route = RouteLogin(settings, dc_map, account);
  int directory_result;
  {
    CLdapClient client;
    directory_result = CheckRoute(client, settings, route, password);
  }
  WipePassword(password);
  const int code = LoginResultOf(directory_result);
  std::string detail = "directory result " + std::to_string(directory_result);
  if (directory_result == kVerifyCannotConnect) {
    detail += ": no connection to " + (route.host.empty() ? std::string("(no host)") : route.host) +
              ":" + std::to_string(route.port ? route.port : 389);
  }
  std::printf("%d %s (%s)\n", code, MeaningOf(code), detail.c_str());
  return code == kLoginAccepted ? 0 : 1;
}

int CtlAuth(AuthScope scope, const std::string& users, bool ldap) {
  const int type = ldap ? kThirdPartyAuthType : kLocalAuthType;
  if (scope == AuthScope::kDomain) return CtlAuthCurrentDomain(type);
  const bool named = scope == AuthScope::kUsers;
  LogEcho echo;
  // The switch writes the server's accounts: not while another run writes them.
  RunLock run_lock;
  if (!run_lock.TryAcquire()) {
    ToStderr(run_lock.Busy()
                 ? kAnotherSyncRunning
                 : "无法使用运行锁 " + run_lock.path() + " " + run_lock.UntrustedReason());
    return 1;
  }
  CLdapConfig config;
  config.Init();
  const std::unique_ptr<SdkRoot> owned_root = CreateConfiguredSdkRoot();
  SdkRoot* root = owned_root.get();
  const bool connected = root != nullptr;
  SdkApplication* app = root ? root->Application() : nullptr;
  int result;
  std::string text;
  if (!connected || !app) {
    // The switch itself reports success without a server; from the command line that
    // would tell the administrator that accounts were switched when none was.
    ToStderr("没有可切换帐号的Zelto服务器: 请检查 " + ConfigFilePath() +
             " 中的 SDKSVRIP 和 SDKSVRPort");
    result = 0;
    if (!named) {
      text = ldap ? "关联所有用户LDAP认证失败，请用Zelto用户密码登录"
                  : "取消所有用户LDAP认证失败，详情请见系统日志";
    }
  } else if (named) {
    result = SetAuthTypeForAccounts(connected, app, SplitList(users), type, ToStderr);
    if (result) text = "设置用户认证类型成功!";  // a failure has shown its own message
  } else {
    const std::vector<std::string> none;  // scope 0 lists the organisation itself
    result = SetAuthType(connected, app, root ? root->DeptManager() : nullptr, none,
                         kAuthScopeAllUsers, type, ToStderr);
    // A failed switch is said as one: telling the user it worked would leave accounts
    // unable to log in the way the message promises.
    if (ldap) {
      text = result ? "关联所有用户LDAP认证成功，请用LDAP用户密码登录"
                    : "关联所有用户LDAP认证失败，请用Zelto用户密码登录";
    } else {
      text = result ? "取消所有用户LDAP认证成功，请用Zelto用户密码登录"
                    : "取消所有用户LDAP认证失败，详情请见系统日志";
    }
  }
  if (!text.empty()) std::printf("%s\n", text.c_str());
  return result ? 0 : 1;
}

}  // namespace norvane
