// The searches a directory answers with each change: change notification (Active
// Directory), RFC 4533 refreshAndPersist and the persistent-search control (others).
//
// Wire formats built and read here:
//   sync request control value   SEQUENCE { mode ENUMERATED (3 refreshAndPersist),
//                                            cookie OCTET STRING OPTIONAL }
//   sync state control value     SEQUENCE { state ENUMERATED (0 present, 1 add, 2 modify,
//                                            3 delete), entryUUID OCTET STRING, cookie ... }
//   sync info message            CHOICE { [0] newcookie, [1] refreshDelete, [2] refreshPresent,
//                                         [3] syncIdSet { cookie OPTIONAL,
//                                             refreshDeletes BOOLEAN DEFAULT FALSE,
//                                             syncUUIDs SET OF OCTET STRING } }
//   persistent search value      SEQUENCE { changeTypes INTEGER, changesOnly BOOLEAN,
//                                            returnECs BOOLEAN }
//   entry change notification    SEQUENCE { changeType ENUMERATED (1 add, 2 delete,
//                                            4 modify, 8 modDN), previousDN OPTIONAL, ... }
// A sync cookie "rid=000,csn=<contextCSN>" starts the refresh at the directory's present
// state: only what changes from then on is sent.
#include "directory/notification_search.h"

#include <ldap.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>

#include "config/credential.h"
#include "directory/internal.h"
#include "platform/activity_log.h"
#include "platform/text.h"

namespace norvane {
namespace {

// What an administrator reads in the log when the search cannot be opened; libldap's own
// texts are English and name its internals.
const char* OpenFailureReason(int code) {
  switch (code) {
    case LDAP_SERVER_DOWN:
      return "服务器未应答或拒绝连接";
    case LDAP_CONNECT_ERROR:
      return "连接或 TLS 协商失败";
    case LDAP_TIMEOUT:
      return "超时";
    case LDAP_INVALID_CREDENTIALS:
      return "管理员账号或密码错误";
    case LDAP_STRONG_AUTH_REQUIRED:
    case LDAP_CONFIDENTIALITY_REQUIRED:
      return "服务器要求加密或更强的认证";
    default:
      return "连接或绑定失败";
  }
}

constexpr char kChangeNotificationOid[] = "1.2.840.113556.1.4.528";
constexpr char kSyncRequestOid[] = "1.3.6.1.4.1.4203.1.9.1.1";
constexpr char kSyncStateOid[] = "1.3.6.1.4.1.4203.1.9.1.2";
constexpr char kSyncInfoOid[] = "1.3.6.1.4.1.4203.1.9.1.4";
constexpr char kPersistentSearchOid[] = "2.16.840.1.113730.3.4.3";
constexpr char kEntryChangeOid[] = "2.16.840.1.113730.3.4.7";
constexpr int kSyncRefreshRequired = 4096;  // e-syncRefreshRequired

// Keepalives: a peer that vanished without a word is found within about a minute.
void KeepAlive(LDAP* ld) {
  int fd = -1;
  if (ldap_get_option(ld, LDAP_OPT_DESC, &fd) != LDAP_OPT_SUCCESS || fd < 0) return;
  int on = 1, idle = 30, interval = 10, count = 3;
  unsigned user_timeout = 60000;  // ms: unacknowledged data gives up the connection
  setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
  setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &user_timeout, sizeof user_timeout);
}

// Values of one attribute of the root entry, or of `dn` with a base search.
std::vector<std::string> ReadValues(LdapConnection* connection, const std::string& dn,
                                    const char* attribute) {
  SearchSpec query;
  query.base = dn;
  query.scope = LDAP_SCOPE_BASE;
  query.filter = "(objectClass=*)";
  query.attributes = {attribute};
  LDAPMessage* chain = nullptr;
  std::vector<std::string> values;
  if (SearchRequest(connection, query, false, "", 0, &chain, nullptr) == LDAP_SUCCESS && chain) {
    if (LDAPMessage* entry = ldap_first_entry(connection->ld, chain)) {
      values = EntryValues(connection, entry, attribute);
    }
  }
  if (chain) ldap_msgfree(chain);
  return values;
}

bool EndsWithNoCase(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         EqualsNoCase(std::string_view(text).substr(text.size() - tail.size()), tail);
}

// The sync cookie of the directory's present state: the contextCSN of the naming context
// that holds `base`; empty when it cannot be read.
std::string PresentCookie(LdapConnection* connection, const std::string& base) {
  std::string context;
  for (const std::string& nc : ReadValues(connection, "", "namingContexts")) {
    if (EndsWithNoCase(base, nc) && nc.size() > context.size()) context = nc;
  }
  if (context.empty()) context = base;
  std::string csn;
  for (const std::string& value : ReadValues(connection, context, "contextCSN")) {
    csn += (csn.empty() ? "" : ";") + value;
  }
  return csn.empty() ? "" : "rid=000,csn=" + csn;
}

berval* BerValue(BerElement* ber) {
  berval* value = nullptr;
  if (ber_flatten(ber, &value) != 0) value = nullptr;
  ber_free(ber, 1);
  return value;
}

// The control values the searches send; null when the encoder failed.
berval* SyncRequestValue(const std::string& cookie) {
  BerElement* ber = ber_alloc_t(LBER_USE_DER);
  if (!ber) return nullptr;
  berval c{cookie.size(), const_cast<char*>(cookie.data())};
  int rc = ber_printf(ber, "{e", static_cast<ber_int_t>(3));
  if (rc != -1 && !cookie.empty()) rc = ber_printf(ber, "O", &c);
  if (rc != -1) rc = ber_printf(ber, "N}");
  if (rc == -1) {
    ber_free(ber, 1);
    return nullptr;
  }
  return BerValue(ber);
}

berval* PersistentSearchValue() {
  BerElement* ber = ber_alloc_t(LBER_USE_DER);
  if (!ber) return nullptr;
  if (ber_printf(ber, "{ibb}", static_cast<ber_int_t>(15), static_cast<ber_int_t>(1),
                 static_cast<ber_int_t>(1)) == -1) {
    ber_free(ber, 1);
    return nullptr;
  }
  return BerValue(ber);
}

// The sync state control carries the 16 bytes of entryUUID; the attribute reads as text.
std::string UuidText(const berval& raw) {
  if (raw.bv_len != 16 || !raw.bv_val) return std::string(raw.bv_val ? raw.bv_val : "", raw.bv_len);
  std::string text;
  char hex[3];
  for (ber_len_t i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    std::snprintf(hex, sizeof hex, "%02x", static_cast<unsigned char>(raw.bv_val[i]));
    text += hex;
  }
  return text;
}

const char* KindName(NotificationKind kind) {
  switch (kind) {
    case NotificationKind::kChangeNotification:
      return "更改通知(1.2.840.113556.1.4.528)";
    case NotificationKind::kSyncRepl:
      return "RFC 4533 refreshAndPersist";
    case NotificationKind::kPersistentSearch:
      return "持久搜索(2.16.840.1.113730.3.4.3)";
    default:
      return "无";
  }
}

}  // namespace

std::string NamingContextOf(const std::string& base) {
  // The first component that starts with "dc=" (ignoring case and blanks) begins the context.
  std::size_t at = 0;
  while (at < base.size()) {
    std::size_t start = base.find_first_not_of(' ', at);
    if (start == std::string::npos) break;
    if (base.size() - start >= 3 && EqualsNoCase(std::string_view(base).substr(start, 3), "dc=")) {
      return base.substr(start);
    }
    // The next unescaped comma.
    std::size_t i = start;
    for (; i < base.size(); ++i) {
      if (base[i] == '\\') {
        ++i;
        continue;
      }
      if (base[i] == ',') break;
    }
    at = i + 1;
  }
  return base;
}

NotificationSearch::~NotificationSearch() { Close(); }

void NotificationSearch::Close() {
  if (connection_) {
    if (search_id_ >= 0) ldap_abandon_ext(connection_->ld, search_id_, nullptr, nullptr);
    CloseConnection(connection_);
  }
  connection_ = nullptr;
  kind_ = NotificationKind::kNone;
  search_id_ = probe_id_ = -1;
}

NotificationKind NotificationSearch::Open(const LdapServerParams& params, const std::string& base,
                                          const std::string& filter,
                                          const std::vector<std::string>& attributes,
                                          std::vector<PushedEntry>* snapshot) {
  Close();
  unsupported_ = false;
  const int type = params.directory_type;
  where_ = params.server_ip + ":" + std::to_string(params.server_port ? params.server_port : 389) +
           " " + base;
  OpenOutcome outcome = OpenAndBind(type, params.server_ip, params.server_port, params.domain_name,
                                    params.admin_account, params.admin_password, false);
  if (!outcome.connection) {
    WriteLog(Format("实时同步: 无法连接目录服务器 %s: %s (错误 %d)", where_.c_str(),
                    OpenFailureReason(outcome.code), outcome.code));
    return NotificationKind::kNone;
  }
  connection_ = outcome.connection;
  LDAP* ld = connection_->ld;
  KeepAlive(ld);

  NotificationKind kind = NotificationKind::kNone;
  std::string search_base = base;
  std::string search_filter = filter.empty() ? "(objectClass=*)" : filter;
  // The pushed entries carry every attribute the import maps; the snapshot only what tells
  // an entry apart.
  std::vector<std::string> names = {"*", "entryUUID"};
  std::vector<std::string> snapshot_names = {"objectClass", "entryUUID"};
  for (const std::string& a : attributes) {
    if (std::none_of(snapshot_names.begin(), snapshot_names.end(),
                     [&](const std::string& n) { return EqualsNoCase(n, a); })) {
      snapshot_names.push_back(a);
    }
  }
  std::string cookie;
  if (type == 0) {
    // The control takes a naming context head, subtree, any filter; the entries only say
    // that something changed.
    kind = NotificationKind::kChangeNotification;
    search_base = NamingContextOf(base);
    search_filter = "(objectClass=*)";
    names = {"uSNChanged"};
  } else {
    const std::vector<std::string> controls = ReadValues(connection_, "", "supportedControl");
    auto offers = [&](const char* oid) {
      return std::find(controls.begin(), controls.end(), oid) != controls.end();
    };
    if (offers(kSyncRequestOid)) {
      kind = NotificationKind::kSyncRepl;
      cookie = PresentCookie(connection_, base);
    } else if (offers(kPersistentSearchOid)) {
      kind = NotificationKind::kPersistentSearch;
    } else {
      WriteLog(
          Format("实时同步: 目录服务器 %s 的根条目既未列出同步控件(RFC 4533)也未列出持久搜索"
                 "控件，实时同步不可用，仅按每日更新同步",
                 where_.c_str()));
      Close();
      unsupported_ = true;
      return NotificationKind::kNone;
    }
  }

  LDAPControl control{};
  berval* value = nullptr;
  if (kind == NotificationKind::kChangeNotification) {
    control.ldctl_oid = const_cast<char*>(kChangeNotificationOid);
  } else if (kind == NotificationKind::kSyncRepl) {
    value = SyncRequestValue(cookie);
    control.ldctl_oid = const_cast<char*>(kSyncRequestOid);
  } else {
    value = PersistentSearchValue();
    control.ldctl_oid = const_cast<char*>(kPersistentSearchOid);
  }
  if (kind != NotificationKind::kChangeNotification && !value) {
    Close();
    return NotificationKind::kNone;
  }
  if (value) control.ldctl_value = *value;
  control.ldctl_iscritical = 1;
  // Deletions are notified only to a search that asks for deleted objects too.
  LDAPControl show_deleted{};
  show_deleted.ldctl_oid = const_cast<char*>(kShowDeletedControlOid);
  show_deleted.ldctl_iscritical = 1;
  LDAPControl* controls[] = {&control, nullptr, nullptr};
  if (kind == NotificationKind::kChangeNotification) controls[1] = &show_deleted;
  std::vector<char*> attrs;
  for (std::string& n : names) attrs.push_back(n.data());
  attrs.push_back(nullptr);
  int id = -1;
  // No time limit: the search is meant to stay; the probe watches the server instead.
  int rc = ldap_search_ext(ld, search_base.c_str(), LDAP_SCOPE_SUBTREE, search_filter.c_str(),
                           attrs.data(), 0, controls, nullptr, nullptr, 0, &id);
  if (value) ber_bvfree(value);
  if (rc != LDAP_SUCCESS) {
    WriteLog(Format("实时同步: 目录服务器 %s 拒绝了%s搜索: %s", where_.c_str(), KindName(kind),
                    ErrorText(rc).c_str()));
    Close();
    return NotificationKind::kNone;
  }
  kind_ = kind;
  search_id_ = id;
  last_message_ = std::chrono::steady_clock::now();

  if (snapshot && kind != NotificationKind::kChangeNotification) {
    // Paged, so that a size limit does not cut it short; the connection's other search
    // runs on beside it.
    CLdapClient reader;
    SearchSpec query;
    query.base = base;
    query.filter = search_filter;
    query.attributes = snapshot_names;
    std::string page_cookie;
    bool first = true;
    while (first || !page_cookie.empty()) {
      first = false;
      LDAPMessage* chain = nullptr;
      std::string next;
      rc = SearchRequest(connection_, query, connection_->paged_results, page_cookie, kPageSize,
                         &chain, &next);
      if (rc != LDAP_SUCCESS) {
        if (chain) ldap_msgfree(chain);
        WriteLog(Format("实时同步: 读取 %s 的条目失败: %s", where_.c_str(), ErrorText(rc).c_str()));
        Close();
        return NotificationKind::kNone;
      }
      for (LDAPMessage* m = ldap_first_entry(ld, chain); m; m = ldap_next_entry(ld, m)) {
        LdapEntry entry{nullptr, m, 0};
        PushedEntry pushed;
        pushed.state = PushedEntry::State::kPresent;
        pushed.dn = reader.EntryDn(connection_, &entry);
        reader.ReadEntry(connection_, &entry, pushed.attributes);
        pushed.object_classes = EntryValues(connection_, m, "objectClass");
        std::vector<std::string> uuid = EntryValues(connection_, m, "entryUUID");
        if (!uuid.empty()) pushed.uuid = uuid.front();
        snapshot->push_back(std::move(pushed));
      }
      ldap_msgfree(chain);
      page_cookie = connection_->paged_results ? next : "";
    }
  }
  WriteLog(Format("实时同步: 已连接 %s (%s)", where_.c_str(), KindName(kind)));
  return kind;
}

bool NotificationSearch::SendProbe() {
  char attr[] = "1.1";
  char* attrs[] = {attr, nullptr};
  int id = -1;
  if (ldap_search_ext(connection_->ld, "", LDAP_SCOPE_BASE, "(objectClass=*)", attrs, 0, nullptr,
                      nullptr, nullptr, 0, &id) != LDAP_SUCCESS) {
    return false;
  }
  probe_id_ = id;
  probe_sent_ = std::chrono::steady_clock::now();
  return true;
}

NotificationSearch::Status NotificationSearch::Wait(std::chrono::milliseconds timeout, int wake_fd,
                                                    std::vector<PushedEntry>* out) {
  using Clock = std::chrono::steady_clock;
  if (!connection_) return Status::kLost;
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    // Everything libldap holds or can read at once, TLS records included, before sleeping.
    bool handled = false;
    for (;;) {
      LDAPMessage* message = nullptr;
      timeval zero{0, 0};
      int rc = ldap_result(connection_->ld, LDAP_RES_ANY, LDAP_MSG_ONE, &zero, &message);
      if (rc == 0) break;
      if (rc < 0) {
        WriteLog(Format("实时同步: 与 %s 的连接已断开", where_.c_str()));
        return Status::kLost;
      }
      last_message_ = Clock::now();
      handled = true;
      Status status = Handle(message, out);
      ldap_msgfree(message);
      if (status != Status::kReady) return status;
    }
    if (handled) return Status::kReady;

    const auto now = Clock::now();
    if (probe_id_ >= 0 && now - probe_sent_ >= std::chrono::seconds(kProbeTimeout)) {
      WriteLog(Format("实时同步: 目录服务器 %s 在%d秒内没有应答，重新连接", where_.c_str(),
                      kProbeTimeout));
      return Status::kLost;
    }
    if (probe_id_ < 0 && now - last_message_ >= std::chrono::seconds(kIdleProbe) && !SendProbe()) {
      return Status::kLost;
    }
    auto until = deadline;
    if (probe_id_ >= 0) {
      until = std::min(until, probe_sent_ + std::chrono::seconds(kProbeTimeout));
    } else {
      until = std::min(until, last_message_ + std::chrono::seconds(kIdleProbe));
    }
    if (now >= deadline) return Status::kIdle;
    int fd = -1;
    ldap_get_option(connection_->ld, LDAP_OPT_DESC, &fd);
    if (fd < 0) return Status::kLost;
    pollfd fds[2] = {{fd, POLLIN, 0}, {wake_fd, POLLIN, 0}};
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count();
    int n = ::poll(fds, wake_fd >= 0 ? 2 : 1, static_cast<int>(std::max<long long>(wait, 0) + 1));
    if (n > 0 && wake_fd >= 0 && (fds[1].revents & POLLIN)) return Status::kWoken;
  }
}

NotificationSearch::Status NotificationSearch::Handle(void* raw, std::vector<PushedEntry>* out) {
  LDAP* ld = connection_->ld;
  auto* message = static_cast<LDAPMessage*>(raw);
  const int id = ldap_msgid(message);
  const int type = ldap_msgtype(message);
  if (id == probe_id_) {
    if (type == LDAP_RES_SEARCH_RESULT) probe_id_ = -1;
    return Status::kReady;
  }
  if (type == LDAP_RES_SEARCH_ENTRY && id == search_id_) {
    PushedEntry pushed;
    LdapEntry entry{nullptr, message, 0};
    CLdapClient reader;
    pushed.dn = reader.EntryDn(connection_, &entry);
    reader.ReadEntry(connection_, &entry, pushed.attributes);
    pushed.object_classes = EntryValues(connection_, message, "objectClass");
    LDAPControl** controls = nullptr;
    ldap_get_entry_controls(ld, message, &controls);
    if (kind_ == NotificationKind::kSyncRepl) {
      LDAPControl* state = controls ? ldap_control_find(kSyncStateOid, controls, nullptr) : nullptr;
      if (state) {
        BerElement* ber = ber_init(&state->ldctl_value);
        ber_int_t value = 0;
        berval uuid{0, nullptr};
        if (ber && ber_scanf(ber, "{em", &value, &uuid) != LBER_ERROR) {
          pushed.uuid = UuidText(uuid);
          pushed.state = value == 0   ? PushedEntry::State::kPresent
                         : value == 1 ? PushedEntry::State::kAdded
                         : value == 3 ? PushedEntry::State::kDeleted
                                      : PushedEntry::State::kModified;
        }
        if (ber) ber_free(ber, 1);
      }
    } else if (kind_ == NotificationKind::kPersistentSearch) {
      LDAPControl* change =
          controls ? ldap_control_find(kEntryChangeOid, controls, nullptr) : nullptr;
      if (change) {
        BerElement* ber = ber_init(&change->ldctl_value);
        ber_int_t value = 0;
        ber_len_t len = 0;
        if (ber && ber_scanf(ber, "{e", &value) != LBER_ERROR) {
          pushed.state = value == 1   ? PushedEntry::State::kAdded
                         : value == 2 ? PushedEntry::State::kDeleted
                                      : PushedEntry::State::kModified;
          if (value == 8 && ber_peek_tag(ber, &len) == LBER_OCTETSTRING) {
            berval previous{0, nullptr};
            if (ber_scanf(ber, "m", &previous) != LBER_ERROR && previous.bv_val) {
              pushed.previous_dn.assign(previous.bv_val, previous.bv_len);
            }
          }
        }
        if (ber) ber_free(ber, 1);
      }
    }
    if (controls) ldap_controls_free(controls);
    out->push_back(std::move(pushed));
    return Status::kReady;
  }
  if (type == LDAP_RES_INTERMEDIATE && kind_ == NotificationKind::kSyncRepl) {
    char* oid = nullptr;
    berval* data = nullptr;
    if (ldap_parse_intermediate(ld, message, &oid, &data, nullptr, 0) == LDAP_SUCCESS && oid &&
        std::string(oid) == kSyncInfoOid && data) {
      BerElement* ber = ber_init(data);
      ber_len_t len = 0;
      if (ber && ber_peek_tag(ber, &len) == LDAP_TAG_SYNC_ID_SET) {
        // Entries gone while the refresh ran: named by UUID only.
        ber_tag_t tag = ber_scanf(ber, "{");
        if (tag != LBER_ERROR && ber_peek_tag(ber, &len) == LDAP_TAG_SYNC_COOKIE) {
          berval ignored{0, nullptr};
          tag = ber_scanf(ber, "m", &ignored);
        }
        ber_int_t deletes = 0;
        if (tag != LBER_ERROR && ber_peek_tag(ber, &len) == LDAP_TAG_REFRESHDELETES) {
          tag = ber_scanf(ber, "b", &deletes);
        }
        BerVarray uuids = nullptr;
        if (tag != LBER_ERROR && deletes && ber_scanf(ber, "[W]", &uuids) != LBER_ERROR && uuids) {
          for (berval* u = uuids; u->bv_val; ++u) {
            PushedEntry gone;
            gone.state = PushedEntry::State::kDeleted;
            gone.uuid = UuidText(*u);
            out->push_back(std::move(gone));
          }
          ber_bvarray_free(uuids);
        }
      }
      if (ber) ber_free(ber, 1);
    }
    if (oid) ldap_memfree(oid);
    if (data) ber_bvfree(data);
    return Status::kReady;
  }
  if (type == LDAP_RES_SEARCH_RESULT && id == search_id_) {
    int code = 0;
    char* text = nullptr;
    ldap_parse_result(ld, message, &code, nullptr, &text, nullptr, nullptr, 0);
    const std::string detail = text ? text : "";
    if (text) ldap_memfree(text);
    search_id_ = -1;
    if (code == kSyncRefreshRequired) {
      WriteLog(Format("实时同步: 目录服务器 %s 不接受同步状态(cookie)，重新开始并导入全部数据",
                      where_.c_str()));
      return Status::kRefreshRequired;
    }
    WriteLog(Format("实时同步: 目录服务器 %s 结束了%s搜索: %s %s", where_.c_str(), KindName(kind_),
                    ErrorText(code).c_str(), detail.c_str()));
    return Status::kLost;
  }
  if (type == LDAP_RES_EXTENDED) {
    // An unsolicited notice (message ID 0): the server is closing the connection.
    WriteLog(Format("实时同步: 目录服务器 %s 通知断开连接", where_.c_str()));
    return Status::kLost;
  }
  return Status::kReady;
}

}  // namespace norvane
