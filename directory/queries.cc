// Reading entries into attribute maps, and the account and department lookups.
#include <ldap.h>

#include <cstdlib>
#include <mutex>
#include <string>

#include "config/credential.h"
#include "config/ldap_config.h"
#include "directory/dn_text.h"
#include "directory/internal.h"
#include "directory/ldap_client.h"
#include "platform/text.h"

namespace norvane {
namespace {

// The connection LookupAccountDn keeps for the life of the process; opened on first use
// and again after it was lost. Used under g_shared_mutex only, so concurrent logins take
// turns on it.
std::timed_mutex g_shared_mutex;
LdapConnection* g_shared = nullptr;  // guarded by g_shared_mutex

bool ConnectionLost(int code) {
  return code == LDAP_SERVER_DOWN || code == LDAP_CONNECT_ERROR || code == LDAP_TIMEOUT ||
         code == LDAP_UNAVAILABLE || code == LDAP_OTHER;
}

std::string RawDn(LdapConnection* connection, LDAPMessage* entry) {
  char* dn = ldap_get_dn(connection->ld, entry);
  if (!dn) return {};
  std::string out = dn;
  ldap_memfree(dn);
  return out;
}

struct LookupSettings {
  LdapServerParams params;
  std::string uid_attribute;
  int server_type = 0;
};

// The SysConfig connection values and the directory attribute mapped to "uid".
LookupSettings LoadLookupSettings() {
  LookupSettings out;
  CLdapConfig config;
  // Init is what sets the configuration's path; a process that has not made one yet needs it.
  if (ConfigFilePath().empty()) config.Init();
  SysConfigInfo info;
  config.LoadSysConfig(info);
  AttributeMap user;
  config.LoadUserProperty(user);
  out.params.server_ip = CutToBytes(info.ldap_server_ip, kAddressBytes);
  out.params.server_port = info.ldap_server_port;
  out.params.domain_name = CutToBytes(info.domain, kDomainBytes);
  out.params.admin_account = CutToBytes(info.admin_account, kAccountBytes);
  out.params.admin_password = CutToBytes(info.admin_password, kPasswordBytes);
  out.params.dept_mode = info.dept_mode;
  out.params.directory_type = info.directory_type;
  auto uid = user.find("uid");
  if (uid != user.end()) out.uid_attribute = uid->second;
  out.server_type = SelectedServerType();
  WipePassword(info.admin_password);
  return out;
}

}  // namespace

std::vector<std::string> SearchBasesOf(std::string_view naming_context) {
  std::vector<std::string> bases;
  for (std::string& base : SplitList(naming_context)) {
    if (!base.empty()) bases.push_back(std::move(base));
  }
  return bases;
}

std::string CLdapClient::EntryDn(LdapConnection* connection, LdapEntry* entry) {
  if (!connection || !entry) return {};
  return RawDn(connection, entry->message);
}

std::string CLdapClient::EntryGuid(LdapConnection* connection, LdapEntry* entry) {
  if (!connection || !entry) return {};
  std::vector<std::string> values = EntryValues(connection, entry->message, "objectGUID");
  return values.empty() ? std::string() : HexOf(values.front());
}

int CLdapClient::ReadEntry(LdapConnection* connection, LdapEntry* entry,
                           EntryAttributes& attributes) {
  if (!connection || !entry) return -1;
  attributes.clear();
  LDAP* ld = connection->ld;
  LDAPMessage* message = entry->message;
  const bool ad = connection->server_type == 0;

  char* dn = ldap_get_dn(ld, message);
  if (dn) {
    attributes.emplace("dn", ad ? StripBackslashes(dn) : FromServerText(dn, true));
    ldap_memfree(dn);
  }
  BerElement* state = nullptr;
  for (char* name = ldap_first_attribute(ld, message, &state); name;
       name = ldap_next_attribute(ld, message, state)) {
    berval** values = ldap_get_values_len(ld, message, name);
    if (ad) {
      std::string joined;
      if (values) {
        for (berval** v = values; *v; ++v) {
          if (v != values) joined += ';';
          joined.append((*v)->bv_val, (*v)->bv_len);
        }
      }
      attributes.emplace(name, StripBackslashes(FromServerText(joined, true)));
    } else if (values) {
      for (berval** v = values; *v; ++v) {
        attributes.emplace(name,
                           FromServerText(std::string_view((*v)->bv_val, (*v)->bv_len), true));
      }
    }
    if (values) ldap_value_free_len(values);
    ldap_memfree(name);
  }
  if (state) ber_free(state, 0);
  return 0;
}

int CLdapClient::FindAccountDn(LdapConnection* connection, std::string_view filter,
                               std::string& dn) {
  if (!connection || filter.empty()) return 0;
  const bool ad = connection->server_type == 0;
  // Each base of the naming context in turn; the first that holds the account answers.
  for (const std::string& base : SearchBasesOf(LastConnectParams().domain_name)) {
    LdapResult* result = Search(connection, base, filter, ad ? "sAMAccountName" : "uid");
    if (!result) continue;
    int rc = 0;
    LdapEntry* first = FirstEntry(connection, result);
    std::string found = first ? RawDn(connection, first->message) : std::string();
    if (found.empty()) {
      rc = -1;
    } else {
      // Kept escaped on every type: the DN is used as a search base and cut into its parent.
      dn = ad ? found : FromServerText(found, false);
    }
    FreeResult(result);
    return rc;
  }
  return 0;
}

namespace {

// What one lookup on the shared connection found: the entries counted (at most `limit`)
// and the first one's DN; `searched` is false when the directory could not be asked.
struct SharedLookup {
  bool searched = false;
  int matches = 0;
  std::string dn;
  std::string attribute;
};

// Searches the shared connection for the account by the attribute mapped to "uid". With a
// limit of 1 the first base holding a match answers; with more, every base is searched and
// the entries counted up to the limit, so that an account named twice is told apart.
SharedLookup LookupOnShared(CLdapClient& client, std::string_view account, CheckDeadline deadline,
                            int limit) {
  SharedLookup out;
  LookupSettings settings = LoadLookupSettings();
  SetLastConnectParams(settings.params);
  out.attribute = settings.uid_attribute;
  // Without a mapped account attribute no filter can match; nothing is asked.
  if (settings.uid_attribute.empty() || account.empty()) {
    out.searched = true;
    WipePassword(settings.params.admin_password);
    return out;
  }
  const std::string filter = EqualityFilter(settings.uid_attribute, account);

  // A login check waits for the connection no longer than its deadline.
  std::unique_lock<std::timed_mutex> lock(g_shared_mutex, std::defer_lock);
  if (deadline == kNoCheckDeadline) {
    lock.lock();
  } else if (!lock.try_lock_until(deadline)) {
    WipePassword(settings.params.admin_password);
    return out;
  }
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (!g_shared) {
      OpenOutcome outcome =
          OpenAndBind(settings.server_type, settings.params.server_ip, settings.params.server_port,
                      settings.params.domain_name, settings.params.admin_account,
                      settings.params.admin_password, true, deadline);
      g_shared = outcome.connection;
      if (!g_shared) break;
    }
    g_shared->deadline = deadline;
    bool lost = false;
    bool failed = false;
    out.matches = 0;
    out.dn.clear();
    for (const std::string& base : SearchBasesOf(settings.params.domain_name)) {
      int code = 0;
      LdapResult* result = client.Search(g_shared, base, filter, "*", &code);
      if (!result) {
        lost = ConnectionLost(code);
        if (lost) break;
        // A base that does not exist holds no match; any other refusal leaves the count
        // unknown.
        if (code != LDAP_SUCCESS && code != LDAP_NO_SUCH_OBJECT) failed = true;
        continue;
      }
      for (LdapEntry* entry = client.FirstEntry(g_shared, result); entry && out.matches < limit;
           entry = client.NextEntry(g_shared, entry)) {
        if (out.matches++ == 0) out.dn = RawDn(g_shared, entry->message);
      }
      // A walk cut short (a page that could not be fetched) may have missed a match.
      if (out.matches < limit && !CLdapClient::IsComplete(result)) failed = true;
      client.FreeResult(result);
      if (out.matches >= limit) break;
    }
    if (!lost) {
      out.searched = !failed || out.matches >= limit;
      // Exactly as the server wrote it: an escaped comma followed by a blank ("Smith\, John")
      // belongs to the value, and the DN is bound with as it stands.
      if (!out.dn.empty() && g_shared->server_type != 0) {
        out.dn = CLdapClient::FromServerText(out.dn, false);
      }
      // The next user of the connection has a deadline of its own, or none.
      g_shared->deadline = kNoCheckDeadline;
      BoundByDeadline(g_shared);
      break;
    }
    out.matches = 0;
    out.dn.clear();
    CloseConnection(g_shared);
    g_shared = nullptr;
    // Once more on a fresh connection, if there is still time for it.
    if (DeadlinePassed(deadline)) break;
  }
  WipePassword(settings.params.admin_password);
  return out;
}

}  // namespace

void CLdapClient::LookupAccountDn(std::string_view account, std::string& dn,
                                  CheckDeadline deadline) {
  SharedLookup found = LookupOnShared(*this, account, deadline, 1);
  if (!found.dn.empty()) dn = found.dn;
}

int CLdapClient::LookupUniqueAccountDn(std::string_view account, std::string& dn,
                                       CheckDeadline deadline, std::string* attribute) {
  SharedLookup found = LookupOnShared(*this, account, deadline, 2);
  if (attribute) *attribute = found.attribute;
  if (!found.searched) return -1;
  if (found.matches == 1) {
    // An entry whose DN cannot be read cannot be bound with.
    if (found.dn.empty()) return -1;
    dn = found.dn;
  }
  return found.matches;
}

bool ReadAdLockoutPolicy(int* threshold, long long* window_seconds, std::string* domain,
                         CheckDeadline deadline) {
  LookupSettings settings = LoadLookupSettings();
  WipePassword(settings.params.admin_password);
  const std::vector<std::string> bases = SearchBasesOf(settings.params.domain_name);
  if (settings.server_type != kActiveDirectory || bases.empty()) return false;
  *domain = bases.front();
  std::unique_lock<std::timed_mutex> lock(g_shared_mutex, std::defer_lock);
  if (deadline == kNoCheckDeadline) {
    lock.lock();
  } else if (!lock.try_lock_until(deadline)) {
    return false;
  }
  bool read = false;
  for (int attempt = 0; attempt < 2 && !read; ++attempt) {
    if (!g_shared) {
      LookupSettings open = LoadLookupSettings();
      OpenOutcome outcome = OpenAndBind(
          open.server_type, open.params.server_ip, open.params.server_port, open.params.domain_name,
          open.params.admin_account, open.params.admin_password, true, deadline);
      WipePassword(open.params.admin_password);
      g_shared = outcome.connection;
      if (!g_shared) break;
    }
    g_shared->deadline = deadline;
    SearchSpec domain_object;
    domain_object.base = bases.front();
    domain_object.scope = LDAP_SCOPE_BASE;
    domain_object.filter = "(objectClass=*)";
    domain_object.attributes = {"lockoutThreshold", "lockOutObservationWindow"};
    LDAPMessage* chain = nullptr;
    const int rc = SearchRequest(g_shared, domain_object, false, "", 0, &chain, nullptr);
    if (rc == LDAP_SUCCESS && chain) {
      if (LDAPMessage* entry = ldap_first_entry(g_shared->ld, chain)) {
        std::vector<std::string> count = EntryValues(g_shared, entry, "lockoutThreshold");
        std::vector<std::string> window = EntryValues(g_shared, entry, "lockOutObservationWindow");
        if (!count.empty() && !window.empty()) {
          *threshold = std::atoi(count.front().c_str());
          // A negative count of 100 ns intervals.
          *window_seconds = -std::atoll(window.front().c_str()) / 10000000LL;
          read = true;
        }
      }
    }
    if (chain) ldap_msgfree(chain);
    g_shared->deadline = kNoCheckDeadline;
    BoundByDeadline(g_shared);
    if (read || !ConnectionLost(rc)) break;
    CloseConnection(g_shared);
    g_shared = nullptr;
    if (DeadlinePassed(deadline)) break;
  }
  return read;
}

int CLdapClient::ScanDeptParents(LdapConnection* connection, std::string_view base,
                                 std::string_view filter, std::string_view attribute,
                                 std::string_view parent_attribute, DeptParentMap& parents) {
  if (!connection || filter.empty() || base.empty()) return -2;
  parents.clear();
  LdapResult* result = Search(connection, base, filter, attribute);
  if (!result) return -1;
  const bool by_dn = EqualsNoCase(parent_attribute, "dn");
  for (LdapEntry* entry = FirstEntry(connection, result); entry;
       entry = NextEntry(connection, entry)) {
    const std::string f = FromServerText(RawDn(connection, entry->message), true);
    if (by_dn) {
      if (EqualsNoCase(f, base)) {
        parents.emplace(f, "");
      } else {
        std::string parent;
        ParentDnOf(f, parent);
        parents.emplace(f, parent);
      }
      continue;
    }
    BerElement* state = nullptr;
    for (char* name = ldap_first_attribute(connection->ld, entry->message, &state); name;
         name = ldap_next_attribute(connection->ld, entry->message, state)) {
      if (EqualsNoCase(name, parent_attribute)) {
        for (const std::string& value : EntryValues(connection, entry->message, name)) {
          const std::string e = FromServerText(value, true);
          if (EqualsNoCase(e, base)) {
            parents.emplace(f, "");
            continue;
          }
          std::size_t start = 0;
          while (true) {
            std::size_t semi = e.find(';', start);
            if (semi == std::string::npos) {
              parents.emplace(f, e.substr(start));
              break;
            }
            parents.emplace(f, e.substr(start, semi - start));
            start = semi + 1;
          }
          parents.emplace(f, e);
        }
      }
      ldap_memfree(name);
    }
    if (state) ber_free(state, 0);
  }
  const bool complete = IsComplete(result);
  FreeResult(result);
  return complete ? 0 : -3;
}

}  // namespace norvane
