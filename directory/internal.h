// Shared inside the directory layer only: the handles behind the opaque public types, and
// the connection and search steps the operations are built from.
#ifndef NORVANE_DIRECTORY_INTERNAL_H_
#define NORVANE_DIRECTORY_INTERNAL_H_

#include <ldap.h>
#include <sys/socket.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/records.h"
#include "directory/ldap_client.h"

namespace norvane {

struct LdapConnection {
  LDAP* ld = nullptr;
  int server_type = 0;
  bool paged_results = false;  // the server offers the RFC 2696 control
  std::string host;            // the server's name, as configured (one of a host list)
  std::string address;         // the address connected to
  std::uint16_t port = 0;
  // A login check's connection: the pool it goes back to ("" for any other connection).
  std::string pool_key;
  // Bounds every request on the connection while a login check uses it.
  CheckDeadline deadline = kNoCheckDeadline;
};

struct LdapEntry {
  LdapResult* owner = nullptr;
  LDAPMessage* message = nullptr;
  std::size_t index = 0;
};

// What one search asks for; kept by a result or a page handle so that further pages can be
// requested with the same parameters.
struct SearchSpec {
  std::string base;
  std::string filter;
  int scope = LDAP_SCOPE_SUBTREE;
  std::vector<std::string> attributes;  // empty: all attributes
  int size_limit = 0;                   // 0: none asked for
  int page_size = kPageSize;
  bool show_deleted = false;  // Active Directory: include tombstones
};

// One page: the library's chain and its entries in order.
struct LdapResult {
  LdapConnection* connection = nullptr;
  LDAPMessage* chain = nullptr;
  std::vector<LdapEntry> entries;
  // A Search that pages as it is walked: set while further pages may follow.
  bool streaming = false;
  SearchSpec request;
  std::string cookie;
  int code = 0;
  bool complete = true;
};

struct LdapPage {
  SearchSpec request;
  std::string cookie;
  bool started = false;
  bool finished = false;  // the server said there is nothing more
  int code = 0;
  bool complete = false;
};

// The process-wide copy of the last Connect's block, without its password.
LdapServerParams LastConnectParams();
// Replaces the copy. The password (which the change tracking binds with) is kept only for
// an `owner`, the client whose Connect it was, until the owner is destroyed or the copy is
// replaced; otherwise it is not kept at all.
void SetLastConnectParams(const LdapServerParams& params, const CLdapClient* owner = nullptr);
// A copy the caller wipes; empty when none is kept.
std::string LastConnectPassword();
void ForgetLastConnectPassword(const CLdapClient* owner);

// Opens a connection for `server_type` and binds it with `bind_account` / `password`
// (type 0: the account is turned into user@dns.domain of `naming_context`). Writes the
// activity-log lines of a connect. `opened` tells whether a connection to the server was
// made at all (false: unreachable, refused, TLS failed). Null on any failure; `code` gets
// the failing code.
struct OpenOutcome {
  LdapConnection* connection = nullptr;
  int code = 0;
  bool opened = false;
};
// With a deadline the connection keeps it (see LdapConnection::deadline); a deadline that
// passes gives kVerifyDeadlinePassed and no log line.
OpenOutcome OpenAndBind(int server_type, std::string_view host, std::uint16_t port,
                        std::string_view naming_context, std::string_view account,
                        std::string_view password, bool vendor_messages,
                        CheckDeadline deadline = kNoCheckDeadline);

// --- Host lists (host_list.cc) --------------------------------------------------------------

// The longest a TCP connect to one server of a host list may take.
inline constexpr int kHostConnectTimeoutSeconds = 2;
// How long a server that failed is passed over.
inline constexpr int kFailedHostSkipSeconds = 60;

// One server to try: a name of the list and one of its addresses.
struct HostCandidate {
  std::string name;
  std::string address;  // "" when the name does not resolve
  std::uint16_t port = 0;
  sockaddr_storage addr{};
  socklen_t addr_len = 0;
};
// The names of a ";"-separated host list, blanks trimmed, empty ones dropped.
std::vector<std::string> SplitHostList(std::string_view hosts);
// Every address of every name, in order, without those that failed within
// kFailedHostSkipSeconds (all of them when every one did).
std::vector<HostCandidate> HostCandidates(std::string_view hosts, std::uint16_t port);
void MarkHostFailed(const HostCandidate& candidate);
void MarkHostServed(const HostCandidate& candidate);
// A connected blocking socket, or -1 with `error` (an errno) set. Waits at most
// kHostConnectTimeoutSeconds, and never past `deadline`.
int ConnectTcp(const HostCandidate& candidate, CheckDeadline deadline, int* error);

// --- Login connections (login_pool.cc) --------------------------------------------------------

inline constexpr int kLoginIdleSeconds = 60;  // an idle pooled connection is closed then
inline constexpr int kLoginPoolSize = 8;      // idle connections kept for one set of servers

// The trust a connection opened now would have: the process's TLS settings (ldap.conf,
// LDAPTLS_*), the CA file of SetDirectoryCaFile, and how those files stand on disk.
std::string ProcessTrustKey();

// A secured, unbound connection for a login check's bind: an idle one from the pool, or a
// new one (OpenConnection). Give it back with ReturnLoginConnection.
LdapConnection* TakeLoginConnection(int server_type, std::string_view hosts, std::uint16_t port,
                                    int* code, CheckDeadline deadline);
// `bind_result`: the directory's answer to the bind made on it. Kept for the next check only
// after success or invalid credentials (and while the pool has room); closed otherwise.
void ReturnLoginConnection(LdapConnection* connection, int bind_result);

// Opens a TCP connection and secures it (LDAPS, StartTLS) without binding. `hosts` may list
// several servers separated by ";": they are tried in order (see HostCandidates), each one
// that fails is passed over for a while, and the one that served is logged. Null on failure,
// with the reason logged when `log_failure` is set, unless `deadline` has passed: the code
// is then kVerifyDeadlinePassed and nothing is logged.
LdapConnection* OpenConnection(int server_type, std::string_view host, std::uint16_t port,
                               int* code, bool log_failure,
                               CheckDeadline deadline = kNoCheckDeadline);
void CloseConnection(LdapConnection* connection);
bool DeadlinePassed(CheckDeadline deadline);
// What is left of `deadline`, at most `cap_seconds`; false when it has passed.
bool TimeLeft(CheckDeadline deadline, int cap_seconds, timeval* out);
// Sets the connection's network and request time-outs to what is left of its deadline, at
// most the configured ones (which it restores once the deadline is kNoCheckDeadline again).
// False, with nothing sent, when the deadline has passed.
bool BoundByDeadline(LdapConnection* connection);
// Simple bind; never sends an empty DN or password (returns 49 for them instead), nor
// anything once the connection's deadline has passed (kVerifyDeadlinePassed).
int SimpleBind(LdapConnection* connection, std::string_view dn, std::string_view password);
// The type 0 bind identity: the account itself when it holds '@', '\' or '=', otherwise
// account@dns.domain of the naming context (of its first base when it holds several joined
// by ";"; the account alone when that has no dc=).
std::string AdBindIdentity(std::string_view account, std::string_view naming_context);

// Runs one request of a search and waits for its answer (with the operation time-out, or
// what is left of the connection's deadline; LDAP_TIMEOUT without a request once it passed).
// `cookie` empty and `paged` set starts a paged search; `next_cookie` receives the
// server's cookie ("" at the end). Returns the result code; *chain may hold entries even
// when the code is not 0 (size limit).
int SearchRequest(LdapConnection* connection, const SearchSpec& request, bool paged,
                  const std::string& cookie, int page_size, LDAPMessage** chain,
                  std::string* next_cookie);
// Tells the server to drop a paged search (a request of page size 0 with the cookie).
int AbandonPagedSearch(LdapConnection* connection, const SearchSpec& request,
                       const std::string& cookie);
// A result holding the entries of one chain (takes ownership of it).
LdapResult* MakeResult(LdapConnection* connection, LDAPMessage* chain);

// The bases of a naming-context text: the "DC" setting may join several with ";". Empty
// pieces are dropped.
std::vector<std::string> SearchBasesOf(std::string_view naming_context);

// Reads attribute `name`'s values of an entry as byte strings.
std::vector<std::string> EntryValues(LdapConnection* connection, LDAPMessage* entry,
                                     const char* name);
std::string ErrorText(int code);
// Bytes as lower-case hex digits, in the order given.
std::string HexOf(std::string_view bytes);

// The server's diagnostic text of the last operation on `ld` ("" when none).
std::string DiagnosticOf(LDAP* ld);

}  // namespace norvane

#endif  // NORVANE_DIRECTORY_INTERNAL_H_
