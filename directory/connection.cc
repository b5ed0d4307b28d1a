// Connecting, securing and binding.
//
// Every connection gets a TLS context built from its own trust settings, never the
// library's process-wide one: the credential checks and the sync may talk to different
// servers with different trust at the same time. Building a context parses every CA
// certificate (about 10 ms for the system bundle, at every login check), so connections
// with the same settings and the same CA file share one.
//
// Referrals are never chased: Active Directory answers a subtree search of the domain with
// continuation references to its other partitions, and libldap would follow them with an
// anonymous bind, which fails or hangs. Searches skip references instead.
#include <ldap.h>
#include <sasl/sasl.h>

#include <openldap.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "config/credential.h"
#include "config/ldap_config.h"
#include "directory/dn_text.h"
#include "directory/internal.h"
#include "directory/ldap_client.h"
#include "platform/activity_log.h"

// Drops a reference to a TLS context; exported by libldap, declared in no public header.
extern "C" void ldap_pvt_tls_ctx_free(void* ctx);

namespace norvane {
namespace {

constexpr char kStartTlsOid[] = "1.3.6.1.4.1.1466.20037";

std::atomic<int> g_server_type{0};
std::atomic<int> g_operation_timeout{kOperationTimeoutSeconds};

std::mutex g_last_mutex;
// Guarded by g_last_mutex. The block holds no password: that is kept apart, for the client
// whose Connect gave it, until that client goes.
LdapServerParams g_last_params;
std::string g_last_password;
const CLdapClient* g_last_password_owner = nullptr;

std::mutex g_trust_mutex;
std::string g_ca_file;  // guarded by g_trust_mutex

std::string Format(const char* format, auto... args) {
  int n = std::snprintf(nullptr, 0, format, args...);
  if (n <= 0) return {};
  std::string out(static_cast<std::size_t>(n) + 1, '\0');
  std::snprintf(out.data(), out.size(), format, args...);
  out.resize(static_cast<std::size_t>(n));
  return out;
}

}  // namespace

std::string DiagnosticOf(LDAP* ld) {
  char* text = nullptr;
  std::string out;
  if (ldap_get_option(ld, LDAP_OPT_DIAGNOSTIC_MESSAGE, &text) == LDAP_OPT_SUCCESS && text) {
    out = text;
  }
  if (text) ldap_memfree(text);
  return out;
}

void SetDirectoryCaFile(std::string path) {
  std::lock_guard<std::mutex> lock(g_trust_mutex);
  g_ca_file = std::move(path);
}

std::string DirectoryCaFile() {
  std::lock_guard<std::mutex> lock(g_trust_mutex);
  return g_ca_file;
}

void SetOperationTimeout(int seconds) { g_operation_timeout.store(seconds > 0 ? seconds : 1); }

int OperationTimeout() { return g_operation_timeout.load(); }

void InitLdapLibrary() {
  static std::once_flag once;
  std::call_once(once, [] {
    int version = 0;
    ldap_get_option(nullptr, LDAP_OPT_PROTOCOL_VERSION, &version);
  });
}

int SelectLibrary(int server_type) {
  InitLdapLibrary();
  g_server_type.store(server_type);
  return 1;
}

void ReleaseLibrary() {}

int SelectedServerType() { return g_server_type.load(); }

LdapServerParams LastConnectParams() {
  std::lock_guard<std::mutex> lock(g_last_mutex);
  return g_last_params;
}

void SetLastConnectParams(const LdapServerParams& params, const CLdapClient* owner) {
  std::lock_guard<std::mutex> lock(g_last_mutex);
  g_last_params = params;
  WipePassword(g_last_params.admin_password);
  WipePassword(g_last_password);
  g_last_password_owner = owner;
  if (owner) g_last_password = params.admin_password;
}

std::string LastConnectPassword() {
  std::lock_guard<std::mutex> lock(g_last_mutex);
  return g_last_password;
}

void ForgetLastConnectPassword(const CLdapClient* owner) {
  std::lock_guard<std::mutex> lock(g_last_mutex);
  if (g_last_password_owner != owner) return;
  WipePassword(g_last_password);
  g_last_password_owner = nullptr;
}

std::string ErrorText(int code) {
  const char* text = ldap_err2string(code);
  return text ? text : "";
}

std::string AdBindIdentity(std::string_view account, std::string_view naming_context) {
  if (account.find_first_of("@\\=") != std::string_view::npos) return std::string(account);
  // "DC" may hold several bases joined by ";": the identity's domain is the first one's.
  std::string dns = DnsNameOfDn(naming_context.substr(0, naming_context.find(';')));
  if (dns.empty()) return std::string(account);
  return std::string(account) + "@" + dns;
}

bool DeadlinePassed(CheckDeadline deadline) {
  // libldap waits in whole milliseconds, rounded down, so a wait bounded by the deadline can
  // end a moment before it: a step that ends within that margin ran out of time, and one
  // about to start there would not finish before the server stops waiting anyway.
  constexpr auto kMargin = std::chrono::milliseconds(20);
  return deadline != kNoCheckDeadline && std::chrono::steady_clock::now() + kMargin >= deadline;
}

bool TimeLeft(CheckDeadline deadline, int cap_seconds, timeval* out) {
  *out = timeval{cap_seconds, 0};
  if (deadline == kNoCheckDeadline) return true;
  const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
      deadline - std::chrono::steady_clock::now());
  // libldap reads a zero time-out as "do not wait": under a millisecond counts as passed.
  if (left < std::chrono::milliseconds(1)) return false;
  if (left < std::chrono::seconds(cap_seconds)) {
    out->tv_sec = static_cast<time_t>(left.count() / 1000000);
    out->tv_usec = static_cast<suseconds_t>(left.count() % 1000000);
  }
  return true;
}

namespace {

// The handle's connect/handshake and synchronous-call time-outs, bounded by `deadline`.
bool BoundHandle(LDAP* ld, CheckDeadline deadline) {
  timeval network{}, operation{};
  if (!TimeLeft(deadline, kNetworkTimeoutSeconds, &network) ||
      !TimeLeft(deadline, OperationTimeout(), &operation)) {
    return false;
  }
  ldap_set_option(ld, LDAP_OPT_NETWORK_TIMEOUT, &network);
  ldap_set_option(ld, LDAP_OPT_TIMEOUT, &operation);
  return true;
}

}  // namespace

bool BoundByDeadline(LdapConnection* connection) {
  return BoundHandle(connection->ld, connection->deadline);
}

namespace {

// The TLS settings a handle copies from the process defaults (ldap.conf, LDAPTLS_*), as
// OpenLDAP's own tools honour them. Text options first, numbers after.
constexpr int kTlsTextOptions[] = {
    LDAP_OPT_X_TLS_CACERTFILE, LDAP_OPT_X_TLS_CACERTDIR,    LDAP_OPT_X_TLS_CERTFILE,
    LDAP_OPT_X_TLS_KEYFILE,    LDAP_OPT_X_TLS_CIPHER_SUITE, LDAP_OPT_X_TLS_RANDOM_FILE,
    LDAP_OPT_X_TLS_CRLFILE,    LDAP_OPT_X_TLS_ECNAME,       LDAP_OPT_X_TLS_PEERKEY_HASH};
constexpr int kTlsNumberOptions[] = {LDAP_OPT_X_TLS_REQUIRE_CERT, LDAP_OPT_X_TLS_REQUIRE_SAN,
                                     LDAP_OPT_X_TLS_PROTOCOL_MIN, LDAP_OPT_X_TLS_PROTOCOL_MAX,
                                     LDAP_OPT_X_TLS_CRLCHECK};

std::string TextOption(LDAP* ld, int option) {
  char* value = nullptr;
  std::string out;
  if (ldap_get_option(ld, option, &value) == LDAP_OPT_SUCCESS && value) out = value;
  if (value) ldap_memfree(value);
  return out;
}

// Gives a new handle every TLS setting of the process defaults: a context built from the
// handle's own options does not inherit them. False when one cannot be set.
bool CopyTlsDefaults(LDAP* ld) {
  for (int option : kTlsTextOptions) {
    char* value = nullptr;
    bool ok = true;
    if (ldap_get_option(nullptr, option, &value) == LDAP_OPT_SUCCESS && value) {
      ok = ldap_set_option(ld, option, value) == LDAP_OPT_SUCCESS;
    }
    if (value) ldap_memfree(value);
    if (!ok) return false;
  }
  for (int option : kTlsNumberOptions) {
    int value = 0;
    if (ldap_get_option(nullptr, option, &value) == LDAP_OPT_SUCCESS &&
        ldap_set_option(ld, option, &value) != LDAP_OPT_SUCCESS) {
      return false;
    }
  }
  return true;
}

// How a file on disk stands: a replaced CA or CRL file builds a new context.
std::string FileStamp(const std::string& path) {
  struct stat st {};
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return "-";
  return std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec) + "/" +
         std::to_string(st.st_size);
}

// What a TLS context is built from: every TLS option of the handle, and the CA and CRL
// files as they are on disk.
using TrustKey = std::string;

TrustKey TrustOf(LDAP* ld) {
  TrustKey key;
  for (int option : kTlsTextOptions) {
    std::string value = TextOption(ld, option);
    key += std::to_string(option) + "=" + std::to_string(value.size()) + ":" + value + "\n";
    if (option == LDAP_OPT_X_TLS_CACERTFILE || option == LDAP_OPT_X_TLS_CRLFILE) {
      key += FileStamp(value) + "\n";
    }
  }
  for (int option : kTlsNumberOptions) {
    int value = -1;
    ldap_get_option(ld, option, &value);
    key += std::to_string(option) + "=" + std::to_string(value) + "\n";
  }
  return key;
}

}  // namespace

std::string ProcessTrustKey() {
  const std::string ca = DirectoryCaFile();
  return TrustOf(nullptr) + "ca=" + ca + "\n" + FileStamp(ca) + "\n";
}

namespace {

std::mutex g_context_mutex;
// Guarded by g_context_mutex. Each handle holds one built context until the process ends.
std::map<TrustKey, LDAP*>* const g_context_holders = new std::map<TrustKey, LDAP*>;

// At exit the holders are unbound, which drops the contexts. Registered after libldap and
// its TLS library were initialised, so it runs before their own exit handlers.
void FreeTlsContextsAtExit() {
  std::lock_guard<std::mutex> lock(g_context_mutex);
  for (auto& [key, holder] : *g_context_holders) ldap_unbind_ext_s(holder, nullptr, nullptr);
  g_context_holders->clear();
}

// Gives `ld`, its trust options set, the context for them: the shared one, or one built now
// and kept for the next connections. False when no context can be built.
bool UseTlsContext(LDAP* ld) {
  const TrustKey key = TrustOf(ld);
  std::lock_guard<std::mutex> lock(g_context_mutex);
  auto found = g_context_holders->find(key);
  void* context = nullptr;
  if (found != g_context_holders->end() &&
      ldap_get_option(found->second, LDAP_OPT_X_TLS_CTX, &context) == LDAP_OPT_SUCCESS && context) {
    // get and set each take a reference; the handle keeps the one set gives it.
    const bool ok = ldap_set_option(ld, LDAP_OPT_X_TLS_CTX, context) == LDAP_OPT_SUCCESS;
    ldap_pvt_tls_ctx_free(context);
    return ok;
  }
  int is_server = 0;
  if (ldap_set_option(ld, LDAP_OPT_X_TLS_NEWCTX, &is_server) != LDAP_OPT_SUCCESS) return false;
  static const bool registered = std::atexit(FreeTlsContextsAtExit) == 0;
  (void)registered;
  LDAP* holder = nullptr;
  if (ldap_initialize(&holder, "ldap://127.0.0.1") != LDAP_SUCCESS || !holder) return true;
  if (ldap_get_option(ld, LDAP_OPT_X_TLS_CTX, &context) == LDAP_OPT_SUCCESS && context) {
    ldap_set_option(holder, LDAP_OPT_X_TLS_CTX, context);
    ldap_pvt_tls_ctx_free(context);
    g_context_holders->emplace(key, holder);
  } else {
    ldap_unbind_ext_s(holder, nullptr, nullptr);
  }
  return true;
}

// Reads the root DSE: whether the server lists StartTLS among its extensions (and lists any
// extension at all), and whether it offers paged results. False when the read failed in a
// way that means the server is gone.
bool ProbeRootDse(LdapConnection* connection, bool* start_tls, bool* lists_extensions, int* code) {
  SearchSpec root;
  root.scope = LDAP_SCOPE_BASE;
  root.filter = "(objectClass=*)";
  root.attributes = {"supportedExtension", "supportedControl"};
  LDAPMessage* chain = nullptr;
  int rc = SearchRequest(connection, root, false, "", 0, &chain, nullptr);
  *start_tls = false;
  *lists_extensions = false;
  if (rc == LDAP_SUCCESS && chain) {
    if (LDAPMessage* entry = ldap_first_entry(connection->ld, chain)) {
      for (const std::string& v : EntryValues(connection, entry, "supportedExtension")) {
        *lists_extensions = true;
        if (v == kStartTlsOid) *start_tls = true;
      }
      for (const std::string& v : EntryValues(connection, entry, "supportedControl")) {
        if (v == LDAP_CONTROL_PAGEDRESULTS) connection->paged_results = true;
      }
    }
  }
  if (chain) ldap_msgfree(chain);
  *code = rc;
  return !(rc == LDAP_SERVER_DOWN || rc == LDAP_TIMEOUT || rc == LDAP_CONNECT_ERROR);
}

}  // namespace

namespace {

// Opens and secures a connection to one server of a host list.
LdapConnection* OpenOnCandidate(int server_type, const HostCandidate& candidate, int* code,
                                bool log_failure, CheckDeadline deadline) {
  const std::string host = candidate.name;
  const std::uint16_t real_port = candidate.port;
  // A step that fails once the deadline has passed failed for want of time: the caller
  // says so in one line of its own.
  auto outcome = [&](int c) { return DeadlinePassed(deadline) ? kVerifyDeadlinePassed : c; };
  auto report = [&](const std::string& line) {
    if (log_failure && !DeadlinePassed(deadline)) WriteLog(line);
  };
  auto fail = [&](int c, LDAP* ld) -> LdapConnection* {
    if (code) *code = outcome(c);
    if (ld) ldap_unbind_ext_s(ld, nullptr, nullptr);
    return nullptr;
  };
  // Always start plain: a refused or unreachable server is then told apart from a TLS
  // failure, which is logged on its own. The socket is connected here, to the one address
  // chosen; the URI keeps the name, which the server's certificate is checked against.
  const bool literal_v6 = host.find(':') != std::string::npos;
  std::string uri =
      "ldap://" + (literal_v6 ? "[" + host + "]" : host) + ":" + std::to_string(real_port);
  InitLdapLibrary();
  int socket_error = 0;  // the connect's errno, not logged
  const int fd = ConnectTcp(candidate, deadline, &socket_error);
  if (fd < 0) {
    // Not logged here: a list of servers says so before it moves on, and a single server's
    // caller reports the failed connect.
    return fail(LDAP_SERVER_DOWN, nullptr);
  }
  LDAP* ld = nullptr;
  int rc = ldap_init_fd(fd, LDAP_PROTO_TCP, uri.c_str(), &ld);
  if (rc != LDAP_SUCCESS || !ld) {
    ::close(fd);
    return fail(rc != LDAP_SUCCESS ? rc : LDAP_LOCAL_ERROR, nullptr);
  }

  int version = LDAP_VERSION3;
  int deref = LDAP_DEREF_NEVER;
  int keep = 0;
  if (ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version) != LDAP_OPT_SUCCESS ||
      ldap_set_option(ld, LDAP_OPT_REFERRALS, LDAP_OPT_OFF) != LDAP_OPT_SUCCESS ||
      ldap_set_option(ld, LDAP_OPT_DEREF, &deref) != LDAP_OPT_SUCCESS ||
      ldap_set_option(ld, LDAP_OPT_KEEPCONN, &keep) != LDAP_OPT_SUCCESS) {
    return fail(LDAP_LOCAL_ERROR, ld);
  }
  if (server_type == 0) {
    int time_limit = 0;
    int size_limit = kSearchSizeLimit;
    if (ldap_set_option(ld, LDAP_OPT_TIMELIMIT, &time_limit) != LDAP_OPT_SUCCESS ||
        ldap_set_option(ld, LDAP_OPT_SIZELIMIT, &size_limit) != LDAP_OPT_SUCCESS) {
      return fail(LDAP_LOCAL_ERROR, ld);
    }
  }
  if (!CopyTlsDefaults(ld)) return fail(LDAP_LOCAL_ERROR, ld);
  std::string ca = DirectoryCaFile();
  if (!ca.empty() &&
      ldap_set_option(ld, LDAP_OPT_X_TLS_CACERTFILE, ca.c_str()) != LDAP_OPT_SUCCESS) {
    return fail(LDAP_LOCAL_ERROR, ld);
  }
  if (!UseTlsContext(ld)) {
    report(Format("为 %s:%d 建立 TLS 设置失败: %s", std::string(host).c_str(), int{real_port},
                  DiagnosticOf(ld).c_str()));
    return fail(LDAP_LOCAL_ERROR, ld);
  }

  if (!BoundHandle(ld, deadline)) return fail(LDAP_TIMEOUT, ld);

  auto* connection = new LdapConnection;
  connection->ld = ld;
  connection->server_type = server_type;
  connection->host = host;
  connection->address = candidate.address;
  connection->port = real_port;
  connection->deadline = deadline;
  auto give_up = [&](int c) -> LdapConnection* {
    CloseConnection(connection);
    if (code) *code = outcome(c);
    return nullptr;
  };
  const std::string where = connection->host + ":" + std::to_string(real_port);
  const bool require_tls = CurrentRequireTls();

  if (real_port == 636) {
    if (!BoundByDeadline(connection)) return give_up(LDAP_TIMEOUT);
    rc = ldap_install_tls(ld);
    if (rc != LDAP_SUCCESS) {
      report("与 " + where + " 的 LDAPS 连接失败: TLS 握手: " + ErrorText(rc) + " " +
             DiagnosticOf(ld));
      return give_up(rc);
    }
  } else if (require_tls) {
    // Nothing is read before TLS: the only request in clear is StartTLS itself, asked for
    // whatever the root DSE would say, since that answer comes in clear and can be forged.
    if (!BoundByDeadline(connection)) return give_up(LDAP_TIMEOUT);
    rc = ldap_start_tls_s(ld, nullptr, nullptr);
    if (rc != LDAP_SUCCESS) {
      report("与 " + where + " 的 StartTLS 失败: " + ErrorText(rc) + " " + DiagnosticOf(ld) +
             "; 不建立明文连接 (确需明文时, 在 LdapConfig.xml 的 SysConfig 中设置 "
             "RequireTLS=\"0\")");
      return give_up(rc);
    }
  } else {
    // RequireTLS="0": the administrator allowed plain text. StartTLS is still used where the
    // server takes it, but a forged root DSE can strip it, so the choice is said every time.
    bool start_tls = false, lists_extensions = false;
    if (!ProbeRootDse(connection, &start_tls, &lists_extensions, &rc)) return give_up(rc);
    // Some servers (Samba) accept StartTLS without listing it; a root DSE that lists other
    // extensions but not StartTLS is taken at its word.
    if (start_tls || !lists_extensions) {
      if (!BoundByDeadline(connection)) return give_up(LDAP_TIMEOUT);
      rc = ldap_start_tls_s(ld, nullptr, nullptr);
      // slapd may still count the root DSE read as outstanding after its answer arrived, and
      // refuses StartTLS then ("operations are outstanding"): ask again after a moment,
      // rather than fail the login or take the refusal for a server without TLS.
      for (int retry = 0; rc == LDAP_OPERATIONS_ERROR && retry < 5; ++retry) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2 << retry));
        if (!BoundByDeadline(connection)) return give_up(LDAP_TIMEOUT);
        rc = ldap_start_tls_s(ld, nullptr, nullptr);
      }
      const bool refused = rc == LDAP_PROTOCOL_ERROR || rc == LDAP_UNWILLING_TO_PERFORM ||
                           rc == LDAP_UNAVAILABLE_CRITICAL_EXTENSION || rc == LDAP_OPERATIONS_ERROR;
      if (rc != LDAP_SUCCESS && !start_tls && refused) {
        // Not offered after all; the connection is still plain and usable.
        if (log_failure) {
          WriteLog("警告: 与 " + where +
                   " 的连接未加密 (配置允许明文 RequireTLS=\"0\", 服务器拒绝了 StartTLS), "
                   "密码以明文传送");
        }
      } else if (rc != LDAP_SUCCESS) {
        report("与 " + where + " 的 StartTLS 失败: " + ErrorText(rc) + " " + DiagnosticOf(ld));
        return give_up(rc);
      }
    } else if (log_failure) {
      WriteLog("警告: 与 " + where +
               " 的连接未加密 (配置允许明文 RequireTLS=\"0\", 服务器不提供 StartTLS), "
               "密码以明文传送");
    }
    if (code) *code = LDAP_SUCCESS;
    return connection;
  }
  // Secured before anything was read: what the server offers is read now.
  bool start_tls = false, lists_extensions = false;
  if (!ProbeRootDse(connection, &start_tls, &lists_extensions, &rc)) return give_up(rc);
  if (code) *code = LDAP_SUCCESS;
  return connection;
}

}  // namespace

LdapConnection* OpenConnection(int server_type, std::string_view hosts, std::uint16_t port,
                               int* code, bool log_failure, CheckDeadline deadline) {
  const std::uint16_t real_port = port == 0 ? 389 : port;
  const std::vector<HostCandidate> candidates = HostCandidates(hosts, real_port);
  if (candidates.empty()) {
    if (code) *code = LDAP_PARAM_ERROR;
    return nullptr;
  }
  int last = LDAP_SERVER_DOWN;
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    const HostCandidate& candidate = candidates[i];
    LdapConnection* connection =
        OpenOnCandidate(server_type, candidate, &last, log_failure, deadline);
    if (connection) {
      MarkHostServed(candidate);
      // With several servers configured, which one answered is worth a line.
      if (log_failure && (i > 0 || SplitHostList(hosts).size() > 1)) {
        WriteLog(Format("由目录服务器 %s (%s) 端口 %d 应答", candidate.name.c_str(),
                        candidate.address.c_str(), int{real_port}));
      }
      if (code) *code = LDAP_SUCCESS;
      return connection;
    }
    if (last == kVerifyDeadlinePassed || DeadlinePassed(deadline)) {
      last = kVerifyDeadlinePassed;
      break;
    }
    MarkHostFailed(candidate);
    if (log_failure && i + 1 < candidates.size()) {
      WriteLog(
          Format("目录服务器 %s (%s) 端口 %d 无法连接或无法建立安全连接, %d 秒内不再尝试, "
                 "改用下一个",
                 candidate.name.c_str(),
                 candidate.address.empty() ? "无法解析该名称" : candidate.address.c_str(),
                 int{real_port}, kFailedHostSkipSeconds));
    }
  }
  if (code) *code = last;
  return nullptr;
}

void CloseConnection(LdapConnection* connection) {
  if (!connection) return;
  if (connection->ld) ldap_unbind_ext_s(connection->ld, nullptr, nullptr);
  delete connection;
}

int SimpleBind(LdapConnection* connection, std::string_view dn, std::string_view password) {
  // An empty DN or password is an unauthenticated bind that servers answer with success.
  if (dn.empty() || password.empty()) return LDAP_INVALID_CREDENTIALS;
  if (!BoundByDeadline(connection)) return kVerifyDeadlinePassed;
  std::string who(dn);
  std::string secret(password);
  berval cred;
  cred.bv_val = secret.data();
  cred.bv_len = secret.size();
  int rc = ldap_sasl_bind_s(connection->ld, who.c_str(), LDAP_SASL_SIMPLE, &cred, nullptr, nullptr,
                            nullptr);
  WipePassword(secret);
  if (rc != LDAP_SUCCESS && DeadlinePassed(connection->deadline)) return kVerifyDeadlinePassed;
  return rc;
}

namespace {

struct DigestDefaults {
  std::string authcid;
  std::string password;
  bool challenged = false;  // the server's challenge arrived (the first step succeeded)
};

// Prints each realm of a "{realm1, realm2}" challenge or of the default realm.
void PrintRealms(const sasl_interact_t* interact) {
  std::string list;
  if (interact->challenge) list = interact->challenge;
  if (list.size() >= 2 && list.front() == '{' && list.back() == '}') {
    list = list.substr(1, list.size() - 2);
    std::size_t start = 0;
    while (start <= list.size()) {
      std::size_t comma = list.find(',', start);
      std::string realm =
          list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
      while (!realm.empty() && realm.front() == ' ') realm.erase(0, 1);
      if (!realm.empty()) std::printf("\n realm: %s\n", realm.c_str());
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
  } else if (interact->defresult) {
    std::printf("\n realm: %s\n", interact->defresult);
  }
  std::fflush(stdout);
}

int DigestInteract(LDAP*, unsigned, void* defaults, void* in) {
  auto* d = static_cast<DigestDefaults*>(defaults);
  for (auto* interact = static_cast<sasl_interact_t*>(in); interact->id != SASL_CB_LIST_END;
       ++interact) {
    const char* result = "";
    switch (interact->id) {
      case SASL_CB_GETREALM:
        d->challenged = true;
        PrintRealms(interact);
        result = interact->defresult ? interact->defresult : "";
        break;
      case SASL_CB_AUTHNAME:
        result = d->authcid.c_str();
        break;
      case SASL_CB_USER:
        result = "";  // no authorisation identity: act as the authenticated user
        break;
      case SASL_CB_PASS:
        d->challenged = true;
        result = d->password.c_str();
        break;
      default:
        result = interact->defresult ? interact->defresult : "";
        break;
    }
    interact->result = result;
    interact->len = static_cast<unsigned>(std::strlen(result));
  }
  return LDAP_SUCCESS;
}

}  // namespace

OpenOutcome OpenAndBind(int server_type, std::string_view host, std::uint16_t port,
                        std::string_view naming_context, std::string_view account,
                        std::string_view password, bool vendor_messages, CheckDeadline deadline) {
  OpenOutcome out;
  if (server_type < 0 || server_type > 2) {
    WriteLog(Format("未知的目录类型 %d: 没有建立连接", server_type));
    out.code = LDAP_PARAM_ERROR;
    return out;
  }
  const bool vendor = server_type != 0;
  if (vendor && vendor_messages) {
    CLdapClient::ReportMessage(
        Format("LDAPServer IP=%s,PORT=%d", std::string(host).c_str(), int{port}));
  }
  int code = 0;
  LdapConnection* connection = OpenConnection(server_type, host, port, &code, true, deadline);
  if (!connection) {
    out.code = code;
    if (vendor && vendor_messages && code != kVerifyDeadlinePassed) {
      if (code == LDAP_PARAM_ERROR || code == LDAP_LOCAL_ERROR || code == LDAP_NO_MEMORY) {
        CLdapClient::ReportMessage("ldap_init failed");
      } else {
        CLdapClient::ReportMessage("bind failed ErrInfo=" + ErrorText(code));
      }
    }
    return out;
  }
  out.opened = true;

  int rc = LDAP_SUCCESS;
  if (server_type == 0) {
    rc = SimpleBind(connection, AdBindIdentity(account, naming_context), password);
    if (rc != LDAP_SUCCESS && rc != kVerifyDeadlinePassed && vendor_messages) {
      CLdapClient::ReportMessage(ErrorText(rc));
    }
  } else if (server_type == 1) {
    rc = SimpleBind(connection, account, password);
    if (rc != LDAP_SUCCESS && rc != kVerifyDeadlinePassed && vendor_messages) {
      CLdapClient::ReportMessage("bind failed ErrInfo=" + ErrorText(rc));
    }
  } else {
    DigestDefaults defaults;
    defaults.authcid = CLdapClient::ToServerText(account, true);
    defaults.password = std::string(password);
    if (defaults.authcid.empty() || defaults.password.empty()) {
      rc = LDAP_INVALID_CREDENTIALS;
      defaults.challenged = true;  // reported as a refused second step
    } else if (!BoundByDeadline(connection)) {
      rc = kVerifyDeadlinePassed;
    } else {
      rc = ldap_sasl_interactive_bind_s(connection->ld, nullptr, "DIGEST-MD5", nullptr, nullptr,
                                        LDAP_SASL_QUIET, DigestInteract, &defaults);
      if (rc != LDAP_SUCCESS && DeadlinePassed(deadline)) rc = kVerifyDeadlinePassed;
    }
    WipePassword(defaults.password);
    if (rc != LDAP_SUCCESS && rc != kVerifyDeadlinePassed && vendor_messages) {
      if (!defaults.challenged) {
        CLdapClient::ReportMessage("ldap_bind_digest_md5_start  failed ErrInfo=" + ErrorText(rc));
        CLdapClient::ReportMessage("bind failed ErrInfo=" + ErrorText(rc));
      } else {
        // The password itself never goes to the log.
        CLdapClient::ReportMessage("ldap_bind_digest_md5_finish failed ErrInfo=" + ErrorText(rc) +
                                   " dn=" + std::string(account) + ",pwd=***");
      }
    }
  }
  if (rc != LDAP_SUCCESS) {
    CloseConnection(connection);
    out.code = rc;
    return out;
  }

  if (vendor) {
    // Whether the server pages; read now that the bind has given us the right to ask.
    SearchSpec root;
    root.scope = LDAP_SCOPE_BASE;
    root.filter = "(objectClass=*)";
    root.attributes = {"supportedControl"};
    LDAPMessage* chain = nullptr;
    if (SearchRequest(connection, root, false, "", 0, &chain, nullptr) == LDAP_SUCCESS && chain) {
      if (LDAPMessage* entry = ldap_first_entry(connection->ld, chain)) {
        for (const std::string& v : EntryValues(connection, entry, "supportedControl")) {
          if (v == LDAP_CONTROL_PAGEDRESULTS) connection->paged_results = true;
        }
      }
    }
    if (chain) ldap_msgfree(chain);
  }
  out.connection = connection;
  out.code = LDAP_SUCCESS;
  return out;
}

CLdapClient::~CLdapClient() {
  ForgetLastConnectPassword(this);
  ReleaseLibrary();
}

LdapConnection* CLdapClient::Connect(const LdapServerParams& params) {
  SetLastConnectParams(params, this);
  OpenOutcome outcome =
      OpenAndBind(SelectedServerType(), params.server_ip, params.server_port, params.domain_name,
                  params.admin_account, params.admin_password, true);
  return outcome.connection;
}

int CLdapClient::Disconnect(LdapConnection* connection) {
  if (!connection) return -1;
  int rc = ldap_unbind_ext_s(connection->ld, nullptr, nullptr);
  connection->ld = nullptr;
  delete connection;
  return rc;
}

void CLdapClient::ReportMessage(std::string_view text) {
  if (!text.empty()) WriteLog(text);
}

}  // namespace norvane
