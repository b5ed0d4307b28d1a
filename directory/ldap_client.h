// CLdapClient: the one way into the directory. Both roles run on libldap:
//
//   type 0 (Active Directory): simple bind as user@dns.domain (the DNS name taken from the
//     naming context), or as the account itself when it already holds '@', '\' or '='.
//   types 1 and 2 (Domino, NDS): simple bind with the account as DN (type 1), or DIGEST-MD5
//     through SASL with the account as authentication identity (type 2).
//
// Every type is secured the same way. Port 636 is LDAPS; on any other port StartTLS is used
// when the server offers it (or does not say), and a connection that stays plain because the
// server offers none or refuses it is logged as a warning. A TLS failure fails the connect;
// there is no fallback to plain text. With RequireTLS (CurrentRequireTls) nothing but
// StartTLS is sent before TLS is up, and a server without TLS fails the connect with a log
// line: no bind, search or password ever crosses in clear. Certificates are checked the
// OpenLDAP way (ldap.conf TLS_CACERT/TLS_REQCERT, LDAPTLS_* variables), or against
// SetDirectoryCaFile's file.
//
// A host may be a list of servers separated by ";" (all on the given port; a name with several
// addresses counts as several servers): they are tried in order, a server that failed is
// passed over for a minute, and the log says which one served when there is a choice.
//
// Every TCP connect has a time-out of 2 s a server, every handshake one of
// kNetworkTimeoutSeconds and every operation a time limit of kOperationTimeoutSeconds, so a
// dead or stalled server never hangs a caller.
// Referrals are never chased. Text in and out is UTF-8.
//
// Handles (LdapConnection, LdapResult, LdapEntry, LdapPage) are opaque; the caller releases
// each with the operation named at the call that returned it. A null handle makes every
// operation return its failure value. A handle is used by one thread at a time.
//
// Failures are reported as the directory layer's results (null handles, codes) with one
// activity-log line each; nothing throws.
#ifndef NORVANE_DIRECTORY_LDAP_CLIENT_H_
#define NORVANE_DIRECTORY_LDAP_CLIENT_H_

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "config/records.h"
#include "directory/change_tracking.h"
#include "platform/text.h"

namespace norvane {

struct LdapConnection;
struct LdapResult;
struct LdapEntry;
struct LdapPage;

inline constexpr int kNetworkTimeoutSeconds = 10;
inline constexpr int kOperationTimeoutSeconds = 60;
inline constexpr int kPageSize = 500;  // entries per page of a paged search
// Type 0: most entries a search that does not page may return. A paged search has no
// total limit: paging already bounds what is held at once.
inline constexpr int kSearchSizeLimit = 90000;

// Result codes used across the layer (LDAP result codes as the directory gives them).
inline constexpr int kLdapSuccess = 0;
inline constexpr int kLdapSizeLimitExceeded = 4;
inline constexpr int kLdapNoSuchObject = 32;
inline constexpr int kLdapInvalidCredentials = 49;
inline constexpr int kLdapNoMoreResults = 94;  // NextPage: the paged search has ended
inline constexpr int kVerifyCannotConnect = -18;
inline constexpr int kVerifyReleaseFailed = -19;
// A login check gave up because its deadline passed before the directory answered; no bind
// was started after that moment.
inline constexpr int kVerifyDeadlinePassed = -20;
// Active Directory's reasons for refusing a bind other than a wrong password (the "data" code
// of its diagnostic text). A wrong password (data 52e) stays 49.
inline constexpr int kVerifyUnknownAccount = -21;      // 525
inline constexpr int kVerifyLogonHoursRefused = -22;   // 530
inline constexpr int kVerifyWorkstationRefused = -23;  // 531
inline constexpr int kVerifyPasswordExpired = -24;     // 532
inline constexpr int kVerifyAccountDisabled = -25;     // 533
inline constexpr int kVerifyAccountExpired = -26;      // 701
inline constexpr int kVerifyMustChangePassword = -27;  // 773
inline constexpr int kVerifyAccountLocked = -28;       // 775
inline constexpr int kVerifyRefusedOther = -29;        // another data code

// The moment by which a login check's directory work must be over: the server stops waiting
// for the answer then. Each step (connect, StartTLS, lookup, bind) is bounded by what is
// left of it as well as by the configured time-outs, and no bind is started once it has
// passed. kNoCheckDeadline: only the configured time-outs apply.
using CheckDeadline = std::chrono::steady_clock::time_point;
inline constexpr CheckDeadline kNoCheckDeadline = CheckDeadline::max();

// Attribute map of one entry: attribute name -> value text, plus the key "dn". The first
// insertion of a key wins. Names compare ignoring ASCII case, as LDAP compares attribute
// names, so a mapping that says "UID" finds the server's "uid".
using EntryAttributes = std::map<std::string, std::string, LessNoCase>;
// Department DN -> parent DN ("" for a top-level department).
using DeptParentMap = std::map<std::string, std::string>;

// Process-wide server type (LDAPSVRType). SelectLibrary stores it and returns 1; any
// value other than 0, 1 or 2 is stored too and then fails every Connect. The last call
// decides the type for every client object in the process. Thread-safe.
int SelectLibrary(int server_type);
// libldap builds its process-wide defaults on first use without a guard of its own, so two
// threads' first calls race. Every use of the library outside a connection handle (and
// SelectLibrary and every connect) goes through this first. Thread-safe.
void InitLdapLibrary();
void ReleaseLibrary();
int SelectedServerType();

// CA certificates (PEM file) that directory servers' TLS certificates are checked against,
// for every connection opened afterwards. Empty (the default): the OpenLDAP settings
// (ldap.conf TLS_CACERT, LDAPTLS_CACERT). Thread-safe.
void SetDirectoryCaFile(std::string path);
std::string DirectoryCaFile();

// The time limit of every operation on connections opened afterwards:
// kOperationTimeoutSeconds unless changed (a test of a stalled server shortens it).
// Thread-safe.
void SetOperationTimeout(int seconds);
int OperationTimeout();

// What a credential check's result means to a user, in a word (for the login's log line).
std::string VerifyRefusalText(int result);

// Active Directory's account lockout rule, read from the domain object (the first base of
// the configured naming context) through the connection LookupAccountDn keeps: the
// lockoutThreshold (0: never locks) and the lockOutObservationWindow in seconds; `domain`
// gets that base. False when it could not be read (not type 0, no connection, `deadline`).
bool ReadAdLockoutPolicy(int* threshold, long long* window_seconds, std::string* domain,
                         CheckDeadline deadline = kNoCheckDeadline);

// Closes the idle connections kept for login checks (the service that used them stops).
// Thread-safe.
void DrainLoginConnections();

class CLdapClient {
 public:
  CLdapClient() = default;
  virtual ~CLdapClient();  // calls ReleaseLibrary
  CLdapClient(const CLdapClient&) = delete;
  CLdapClient& operator=(const CLdapClient&) = delete;

  // --- Connection -------------------------------------------------------------------------

  // Opens, secures (type 0) and binds a connection with the block's server_ip, server_port,
  // domain_name (naming context), admin_account and admin_password. Null on failure, with
  // the reason in the activity log. An empty account or password is refused without a bind
  // (the server would take it for an anonymous login). The block becomes the process-wide
  // "last connect" copy that LookupAccountDn, the change tracking and the credential checks
  // read. The caller releases the connection with Disconnect; no other component shares it.
  LdapConnection* Connect(const LdapServerParams& params);
  // 0 on success, -1 for a null handle. The handle is invalid afterwards.
  int Disconnect(LdapConnection* connection);

  // --- Search -----------------------------------------------------------------------------

  // Subtree search of `base` with `filter` (normalised, see ToServerText). `attribute`: one
  // attribute name, or "" / "*" for all. Null when the filter is empty, on failure (logged)
  // and when nothing matched (not logged); `code`, when given, receives 0 or the failing
  // code, so that "nothing matched" and "failed" can be told apart.
  //
  // Where the server offers the paged-results control, the search fetches kPageSize entries
  // at a time as the caller walks it with FirstEntry/NextEntry, and a page is freed as soon
  // as the walk leaves it; a server size limit therefore does not cut the read short, and
  // memory stays bounded. An entry is valid until the walk leaves its page or the result is
  // freed. Release with FreeResult (which also abandons a search still in progress).
  //
  // A read that ended early (size limit, page error, lost connection, time-out) is logged and
  // makes IsComplete false: check it after the walk before taking the entries for the whole
  // directory.
  LdapResult* Search(LdapConnection* connection, std::string_view base, std::string_view filter,
                     std::string_view attribute, int* code = nullptr);
  // Entries held by the result now: all of them for a result of one page, those of the
  // current page while a paged Search is being walked. -1 when either argument is null.
  int CountEntries(LdapConnection* connection, LdapResult* result);
  LdapEntry* FirstEntry(LdapConnection* connection, LdapResult* result);
  // Null at the end of the result, and when fetching the next page failed (IsComplete is
  // then false). Either way, the walk is over.
  LdapEntry* NextEntry(LdapConnection* connection, LdapEntry* entry);
  void FreeResult(LdapResult* result);
  // True when every entry the search matched has been or can still be delivered: false once
  // a size limit, page error, lost connection or time-out has cut the read short.
  static bool IsComplete(const LdapResult* result);
  // 0 or the code that cut the read short.
  static int ResultCode(const LdapResult* result);

  // Paged search for Active Directory, kPageSize entries a page and no total limit. The
  // type is the connection's (the type it was opened with), whatever SelectLibrary said
  // since. Begin returns null unless the connection is of type 0 and the filter is not
  // empty. `attributes` is not used (every attribute is read); scope is an LDAP scope (2 =
  // subtree). The caller releases the handle with EndPagedSearch.
  LdapPage* BeginPagedSearch(LdapConnection* connection, std::string_view base,
                             std::string_view filter, const std::vector<std::string>& attributes,
                             int scope);
  // Fetches the next page into *result (release it with FreeResult). Returns 0 with a page,
  // kLdapNoMoreResults (94) once the search has ended with nothing more to fetch, or the
  // failing code (then the read is incomplete). 0 without any call and without a page
  // unless type 0: a caller that gets 0 and no page must take the read as incomplete.
  int NextPage(LdapConnection* connection, LdapPage* page, LdapResult** result);
  // True when the paged search has reached its end without an error.
  static bool IsComplete(const LdapPage* page);
  // Abandons the search if it is still running and frees the handle: 1 on success, 0 when
  // the abandon failed (logged) or unless type 0 (the handle is freed either way).
  int EndPagedSearch(LdapConnection* connection, LdapPage* page);

  // --- Entries and queries ----------------------------------------------------------------

  // Reads the entry into `attributes` (emptied first). Type 0: "dn" and every value have
  // their backslashes removed; multi-valued attributes are joined with ";"; an attribute
  // without values is stored as "". Types 1 and 2: only the first value of each attribute
  // is kept, and an attribute without values is absent. 0, or -1 for a null argument.
  int ReadEntry(LdapConnection* connection, LdapEntry* entry, EntryAttributes& attributes);
  // The entry's DN exactly as the server sent it, escapes kept (so that ParentDnOf can tell
  // an escaped comma from a separator). Empty for a null argument.
  std::string EntryDn(LdapConnection* connection, LdapEntry* entry);
  // The entry's objectGUID as 32 lower-case hex digits, bytes in stored order: the identity
  // an OU keeps through renames and moves. Empty when absent or for a null argument.
  std::string EntryGuid(LdapConnection* connection, LdapEntry* entry);

  // DN of the first entry matching `filter` under the naming context of the last Connect
  // (each of its ";"-joined bases in turn, the first that holds a match answering),
  // as the server sent it (escapes kept: it is used as a search base and cut with
  // ParentDnOf). 0, or -1 when that DN cannot be read; `dn` is left as it was when nothing
  // matches. Build the filter with AccountFilter so the account is escaped.
  int FindAccountDn(LdapConnection* connection, std::string_view filter, std::string& dn);
  // DN of the account through the process-wide shared connection, opened from the
  // configuration on first use and opened again when it has been lost. The account is
  // matched on the directory attribute that UserProperty maps to "uid", under each base of
  // "DC" in turn. The DN is the server's, escapes and blanks exactly as sent. `dn` is left
  // as it was when nothing matches, the directory cannot be reached or `deadline` passes.
  void LookupAccountDn(std::string_view account, std::string& dn,
                       CheckDeadline deadline = kNoCheckDeadline);
  // The same lookup for a login by account name, where the account must name one entry
  // only: every base is searched. Returns the number of entries found, 0, 1 (`dn` then set)
  // or 2 for several, or -1 when the directory could not be searched (`deadline` passed,
  // no connection, a search refused). `attribute` gets the mapped account attribute ("" when
  // none is mapped: nothing is then asked and 0 returned).
  int LookupUniqueAccountDn(std::string_view account, std::string& dn,
                            CheckDeadline deadline = kNoCheckDeadline,
                            std::string* attribute = nullptr);
  // Fills `parents` (emptied first) with department DN -> parent DN for every entry under
  // `base` matching `filter`. 0 on success; -1 when the search returns nothing; -2 for a
  // null connection or an empty base or filter; -3 when the read was cut short (`parents`
  // then holds what was read and must not be taken for the whole directory).
  int ScanDeptParents(LdapConnection* connection, std::string_view base, std::string_view filter,
                      std::string_view attribute, std::string_view parent_attribute,
                      DeptParentMap& parents);

  // --- Change tracking (type 0) -----------------------------------------------------------

  // Reads the root DSE of host:port (0 means 389), binding as in Connect with the naming
  // context of the last Connect. 0 or a negative code; fields read before a failure stay.
  int ReadRootDse(std::string_view host, std::uint16_t port, std::string_view user,
                  std::string_view password, RootDseInfo& info);
  // The highest committed USN of the controller of the last Connect (re-reading the
  // process-wide root DSE record; the previous value when the read fails).
  std::int64_t CurrentHighestUsn(std::string_view dc);
  // The controller's invocation ID from the process-wide record ("" before a read).
  static std::string CurrentInvocationId();
  // Objects changed since the stored USN of the last Connect's naming context, and the
  // tombstones of the deleted-objects container, classified (see change_tracking.h).
  // Returns a non-negative value when both passes ran to the end; a negative code when
  // either pass failed or was cut short (the lists then hold what was read, and the caller
  // must not advance the stored USN): kDeletedObjectsUnreadable when only the
  // deleted-objects pass failed.
  int TrackChanges(std::string_view filter, std::string_view base, std::vector<ChangedUser>& users,
                   std::vector<ChangedDept>& depts);

  // --- Credential checks ------------------------------------------------------------------

  // Each check binds once with the account and password on a connection of its own: a
  // warm one kept from an earlier check to the same servers, or a new one. `host` may list
  // several servers separated by ";" (tried in order until one can be connected to; the
  // password goes to that one only). The password is used exactly as given. An empty account (or
  // bind DN) or an empty password gives 49 without any bind. Results: 0 accepted, 49 wrong account
  // or password, -18 no connection to host:port (TLS failures included), -19 the release failed,
  // -20 (kVerifyDeadlinePassed) `deadline` passed first (nothing logged: the caller says it),
  // -21 to -29 Active Directory's other reasons for a refusal (each logged with the account),
  // any other value the bind's result code.
  int VerifyByDirectoryBind(std::string_view host, std::uint16_t port, std::string_view account,
                            std::string_view password, CheckDeadline deadline = kNoCheckDeadline);
  // As above, with `domain` (a naming context) in place of the configured one for type 0.
  int VerifyByDomainBind(std::string_view host, std::uint16_t port, std::string_view domain,
                         std::string_view account, std::string_view password,
                         CheckDeadline deadline = kNoCheckDeadline);

  // --- Text -------------------------------------------------------------------------------

  // Writes a non-empty text to the activity log.
  static void ReportMessage(std::string_view text);
  // Text on its way to the server: NormaliseDnText'ed when `normalise` is set.
  static std::string ToServerText(std::string_view in, bool normalise);
  // Text from the server: bytes that are not UTF-8 become '?', the text ends at a NUL, then
  // NormaliseDnText when `normalise` is set.
  static std::string FromServerText(std::string_view in, bool normalise);
};

}  // namespace norvane

#endif  // NORVANE_DIRECTORY_LDAP_CLIENT_H_
