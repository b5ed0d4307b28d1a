// Active Directory change tracking over LDAP.
//
// Two passes, both paged (kChangePageSize) with the show-deleted control so that tombstones
// are returned: one on the deleted-objects container
// (<WKGUID=18e2ea80684f11d2b9aa00c04f79f805,naming context>), one on the search base. Each
// object becomes a ChangeRow, which MergeChangeRow classifies.
//
// Store layout (RegistryStore): key "Software\Microsoft\Windows LDAP-Synchro-USN\<DC text>",
// value "PreviousHighUSN" (decimal, 64-bit) and value "InvocationID" (32 hex digits).
#include "directory/change_tracking.h"

#include <ldap.h>

#include <charconv>
#include <cstdio>
#include <mutex>

#include "config/credential.h"
#include "directory/dn_text.h"
#include "directory/internal.h"
#include "directory/ldap_client.h"
#include "platform/activity_log.h"
#include "platform/registry_store.h"
#include "platform/text.h"

namespace norvane {
namespace {

constexpr char kUsnValueName[] = "PreviousHighUSN";
constexpr char kInvocationValueName[] = "InvocationID";

std::mutex g_root_mutex;
RootDseInfo g_root_dse;  // guarded by g_root_mutex

// Leading decimal digits (with an optional sign); 0 when there are none.
std::int64_t ParseInt64(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  std::int64_t value = 0;
  const char* begin = text.data() + i;
  if (i < text.size() && text[i] == '+') ++begin;
  auto [ptr, ec] = std::from_chars(begin, text.data() + text.size(), value);
  (void)ptr;
  return ec == std::errc() ? value : 0;
}

int NegativeCode(int code) {
  if (code == 0) return -1;
  return code < 0 ? code : -code;
}

// Reads the root DSE and the controller's invocation ID over `connection` into `info`,
// field by field in this order; the first missing piece ends the read with its code.
int ReadRootDseOn(LdapConnection* connection, RootDseInfo& info) {
  SearchSpec root;
  root.base = "";
  root.scope = LDAP_SCOPE_BASE;
  root.filter = "(objectClass=*)";
  root.attributes = {"rootDomainNamingContext", "defaultNamingContext", "highestCommittedUSN",
                     "dnsHostName", "dsServiceName"};
  LDAPMessage* chain = nullptr;
  int rc = SearchRequest(connection, root, false, "", 0, &chain, nullptr);
  LDAPMessage* entry = chain ? ldap_first_entry(connection->ld, chain) : nullptr;
  if (rc != LDAP_SUCCESS || !entry) {
    if (chain) ldap_msgfree(chain);
    return NegativeCode(rc != LDAP_SUCCESS ? rc : LDAP_NO_SUCH_OBJECT);
  }
  auto first = [&](const char* name, std::string& out) {
    std::vector<std::string> values = EntryValues(connection, entry, name);
    if (values.empty()) return false;
    out = values.front();
    return true;
  };
  std::string service;
  bool ok = first("rootDomainNamingContext", info.root_domain_naming_context) &&
            first("defaultNamingContext", info.default_naming_context) &&
            first("highestCommittedUSN", info.highest_committed_usn) &&
            first("dnsHostName", info.dns_host_name);
  if (ok) info.server_path = "LDAP://" + info.dns_host_name + "/";
  ok = ok && first("dsServiceName", service);
  ldap_msgfree(chain);
  if (!ok) return NegativeCode(LDAP_NO_SUCH_ATTRIBUTE);

  SearchSpec settings;
  settings.base = service;
  settings.scope = LDAP_SCOPE_BASE;
  settings.filter = "(objectClass=*)";
  settings.attributes = {"invocationID"};
  chain = nullptr;
  rc = SearchRequest(connection, settings, false, "", 0, &chain, nullptr);
  entry = chain ? ldap_first_entry(connection->ld, chain) : nullptr;
  std::vector<std::string> id;
  if (entry) id = EntryValues(connection, entry, "invocationID");
  if (chain) ldap_msgfree(chain);
  if (rc != LDAP_SUCCESS) return NegativeCode(rc);
  if (id.empty()) return NegativeCode(LDAP_NO_SUCH_ATTRIBUTE);
  info.invocation_id = HexOf(id.front());
  return 0;
}

ChangeRow RowOf(LdapConnection* connection, LDAPMessage* entry) {
  ChangeRow row;
  auto first = [&](const char* name) -> std::optional<std::string> {
    std::vector<std::string> values = EntryValues(connection, entry, name);
    if (values.empty()) return std::nullopt;
    return CLdapClient::FromServerText(values.front(), false);
  };
  row.user_account_control = first("userAccountControl");
  row.distinguished_name = first("distinguishedName").value_or("");
  row.last_known_parent = first("lastKnownParent").value_or("");
  row.account = first("sAMAccountName").value_or("");
  if (auto v = first("uSNCreated")) row.usn_created = ParseInt64(*v);
  if (auto v = first("uSNChanged")) row.usn_changed = ParseInt64(*v);
  row.is_deleted = first("isDeleted").has_value();
  // Binary: read as it came, never through the text conversion.
  std::vector<std::string> guid = EntryValues(connection, entry, "objectGUID");
  if (!guid.empty()) row.guid = HexOf(guid.front());
  return row;
}

// True when the bind account can see what the deleted-objects container holds. One that
// may not gets no error: the container comes back without its attributes (or not at all)
// and its tombstones are left out, which would read as "nothing was deleted". The container
// always carries isDeleted, so reading it tells the two apart.
bool CanReadDeletedObjects(LdapConnection* connection, const std::string& container) {
  SearchSpec probe;
  probe.base = container;
  probe.scope = LDAP_SCOPE_BASE;
  probe.filter = "(objectClass=*)";
  probe.attributes = {"isDeleted"};
  probe.show_deleted = true;
  LDAPMessage* chain = nullptr;
  const int rc = SearchRequest(connection, probe, false, "", 0, &chain, nullptr);
  bool readable = false;
  if (rc == LDAP_SUCCESS && chain) {
    if (LDAPMessage* entry = ldap_first_entry(connection->ld, chain)) {
      readable = !EntryValues(connection, entry, "isDeleted").empty();
    }
  }
  if (chain) ldap_msgfree(chain);
  return readable;
}

// Runs one pass to its end. 0, or the code that cut it short.
int RunPass(LdapConnection* connection, const SearchSpec& request, bool change_pass,
            std::int64_t previous, std::vector<ChangedUser>& users,
            std::vector<ChangedDept>& depts) {
  std::string cookie;
  while (true) {
    LDAPMessage* chain = nullptr;
    std::string next;
    int rc = SearchRequest(connection, request, true, cookie, kChangePageSize, &chain, &next);
    if (chain) {
      for (LDAPMessage* e = ldap_first_entry(connection->ld, chain); e;
           e = ldap_next_entry(connection->ld, e)) {
        MergeChangeRow(RowOf(connection, e), change_pass, previous, users, depts);
      }
      ldap_msgfree(chain);
    }
    if (rc != LDAP_SUCCESS) return rc;
    if (next.empty()) return 0;
    cookie = next;
  }
}

}  // namespace

std::string HexOf(std::string_view bytes) {
  std::string out;
  char buf[3];
  for (unsigned char c : bytes) {
    std::snprintf(buf, sizeof buf, "%02x", c);
    out += buf;
  }
  return out;
}

void MergeChangeRow(const ChangeRow& row, bool change_pass, std::int64_t previous_high_usn,
                    std::vector<ChangedUser>& users, std::vector<ChangedDept>& depts) {
  const bool is_user = row.user_account_control.has_value();
  std::int16_t kind = kChangeCreated;
  if (is_user && (ParseInt64(*row.user_account_control) & kAccountDisabled)) {
    kind = kChangeDeleted;
  }
  if (change_pass && row.usn_created && kind != kChangeDeleted) {
    kind = *row.usn_created < previous_high_usn ? kChangeChanged : kChangeCreated;
  }
  const std::int64_t usn = row.usn_changed.value_or(0);
  if (row.is_deleted) kind = kChangeDeleted;

  if (is_user) {
    if (row.account.empty()) return;
    if (change_pass) {
      for (ChangedUser& seen : users) {
        if (!EqualsNoCase(seen.account, row.account)) continue;
        if (seen.usn >= usn) return;
        seen.dn = row.distinguished_name;
        seen.kind = kind;
        seen.usn = usn;
        seen.last_known_parent = row.last_known_parent;
        return;
      }
    }
    users.push_back(
        ChangedUser{row.distinguished_name, row.account, kind, usn, row.last_known_parent});
    return;
  }
  // Only organisational units are departments; other objects (containers, groups, contacts)
  // would otherwise be named after an OU further up their DN.
  const std::string& dn = row.distinguished_name;
  if (dn.size() < 3 || !EqualsNoCase(std::string_view(dn).substr(0, 3), "ou=")) return;
  ChangedDept dept;
  dept.kind = kind;
  dept.guid = row.guid;
  if (kind == kChangeDeleted) {
    dept.name = OuNameOf(dn, "\\");
    dept.parent_dn = row.last_known_parent;
  } else {
    dept.name = OuNameOf(dn, ",");
    dept.parent_dn = ParentDnOrEmpty(dn);
  }
  if (!dept.name.empty()) depts.push_back(std::move(dept));
}

std::string UsnRegistryKey(std::string_view dc) {
  return "Software\\Microsoft\\Windows LDAP-Synchro-USN\\" + std::string(dc);
}

std::int64_t ReadPreviousHighUsn(std::string_view dc) {
  RegistryStore store;
  std::optional<std::string> value = store.ReadValue(UsnRegistryKey(dc), kUsnValueName);
  return value ? ParseInt64(*value) : 0;
}

bool WritePreviousHighUsn(std::string_view dc, std::int64_t n) {
  RegistryStore store;
  return store.WriteValue(UsnRegistryKey(dc), kUsnValueName, std::to_string(n));
}

std::string ReadPreviousInvocationId(std::string_view dc) {
  RegistryStore store;
  return store.ReadValue(UsnRegistryKey(dc), kInvocationValueName).value_or("");
}

bool WritePreviousInvocationId(std::string_view dc, std::string_view invocation_id) {
  RegistryStore store;
  return store.WriteValue(UsnRegistryKey(dc), kInvocationValueName, std::string(invocation_id));
}

int CLdapClient::ReadRootDse(std::string_view host, std::uint16_t port, std::string_view user,
                             std::string_view password, RootDseInfo& info) {
  OpenOutcome outcome = OpenAndBind(0, host, port == 0 ? 389 : port,
                                    LastConnectParams().domain_name, user, password, false);
  if (!outcome.connection) return NegativeCode(outcome.code);
  int rc = ReadRootDseOn(outcome.connection, info);
  CloseConnection(outcome.connection);
  return rc;
}

std::int64_t CLdapClient::CurrentHighestUsn(std::string_view /*dc*/) {
  const LdapServerParams last = LastConnectParams();
  RootDseInfo info;
  {
    std::lock_guard<std::mutex> lock(g_root_mutex);
    info = g_root_dse;
  }
  std::string password = LastConnectPassword();
  int rc = ReadRootDse(last.server_ip, last.server_port, last.admin_account, password, info);
  WipePassword(password);
  if (rc < 0) ReportMessage("GetCurRootDSE Failed!");
  std::lock_guard<std::mutex> lock(g_root_mutex);
  g_root_dse = info;
  return ParseInt64(g_root_dse.highest_committed_usn);
}

std::string CLdapClient::CurrentInvocationId() {
  std::lock_guard<std::mutex> lock(g_root_mutex);
  return g_root_dse.invocation_id;
}

int CLdapClient::TrackChanges(std::string_view filter, std::string_view base,
                              std::vector<ChangedUser>& users, std::vector<ChangedDept>& depts) {
  users.clear();
  depts.clear();
  const LdapServerParams last = LastConnectParams();
  std::string password = LastConnectPassword();
  OpenOutcome outcome = OpenAndBind(0, last.server_ip, last.server_port, last.domain_name,
                                    last.admin_account, password, false);
  WipePassword(password);
  if (!outcome.connection) return NegativeCode(outcome.code);
  LdapConnection* connection = outcome.connection;

  // The deleted-objects container hangs off the default naming context; read it here when
  // this process has not read the root DSE yet, so a first run after a start still sees the
  // deletions.
  std::string naming_context;
  {
    std::lock_guard<std::mutex> lock(g_root_mutex);
    naming_context = g_root_dse.default_naming_context;
  }
  if (naming_context.empty()) {
    RootDseInfo info;
    ReadRootDseOn(connection, info);
    naming_context = info.default_naming_context;
  }
  const std::int64_t previous = ReadPreviousHighUsn(last.domain_name);

  SearchSpec deleted;
  deleted.base = "<WKGUID=" + std::string(kDeletedObjectsWkGuid) + "," + naming_context + ">";
  deleted.filter = RepairFilter(ToServerText(filter, true));
  deleted.attributes = {"userAccountControl", "distinguishedName", "sAMAccountName",
                        "lastKnownParent",    "uSNCreated",        "uSNChanged",
                        "isDeleted",          "objectGUID"};
  deleted.show_deleted = true;
  deleted.size_limit = 0;
  int deleted_rc = LDAP_NO_SUCH_OBJECT;
  if (!naming_context.empty()) {
    deleted_rc = CanReadDeletedObjects(connection, deleted.base)
                     ? RunPass(connection, deleted, false, previous, users, depts)
                     : LDAP_INSUFFICIENT_ACCESS;
  }
  if (deleted_rc != 0) ReportMessage("已删除对象: " + ErrorText(deleted_rc));

  SearchSpec changed = deleted;
  changed.base = std::string(base);
  changed.attributes = {"userAccountControl", "distinguishedName", "sAMAccountName",
                        "lastKnownParent",    "uSNSource",         "uSNCreated",
                        "uSNChanged",         "isDeleted",         "objectGUID"};
  WriteLog("Filter='" + std::string(filter) + "',update:LDAP://" + last.server_ip + "/" +
           std::string(base));
  int changed_rc = RunPass(connection, changed, true, previous, users, depts);
  if (changed_rc != 0) ReportMessage(ErrorText(changed_rc));
  CloseConnection(connection);
  // Either pass cut short means changes were missed: the caller must not move the stored
  // number past them.
  if (changed_rc != 0) return NegativeCode(changed_rc);
  if (deleted_rc != 0) return kDeletedObjectsUnreadable;
  return 0;
}

}  // namespace norvane
