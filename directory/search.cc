// Searches, paged searches on the RFC 2696 control, entry iteration and text conversion.
//
// A result holds one page: the library's message chain and its entries. References in a
// chain are skipped (ldap_first_entry/ldap_next_entry pass over them): they point into other
// partitions of an Active Directory forest that we do not follow (see connection.cc).
#include <ldap.h>

#include <cstring>
#include <string>

#include "directory/change_tracking.h"
#include "directory/dn_text.h"
#include "directory/internal.h"
#include "directory/ldap_client.h"
#include "platform/text.h"

namespace norvane {

std::vector<std::string> EntryValues(LdapConnection* connection, LDAPMessage* entry,
                                     const char* name) {
  std::vector<std::string> out;
  berval** values = ldap_get_values_len(connection->ld, entry, name);
  if (!values) return out;
  for (berval** v = values; *v; ++v) out.emplace_back((*v)->bv_val, (*v)->bv_len);
  ldap_value_free_len(values);
  return out;
}

int SearchRequest(LdapConnection* connection, const SearchSpec& request, bool paged,
                  const std::string& cookie, int page_size, LDAPMessage** chain,
                  std::string* next_cookie) {
  *chain = nullptr;
  if (next_cookie) next_cookie->clear();
  std::vector<std::string> names = request.attributes;
  std::vector<char*> attrs;
  for (std::string& name : names) attrs.push_back(name.data());
  attrs.push_back(nullptr);

  LDAPControl* controls[3] = {nullptr, nullptr, nullptr};
  int n = 0;
  LDAPControl* page_control = nullptr;
  std::string cookie_bytes = cookie;
  if (paged) {
    berval value;
    value.bv_val = cookie_bytes.data();
    value.bv_len = cookie_bytes.size();
    int rc = ldap_create_page_control(connection->ld, page_size,
                                      cookie_bytes.empty() ? nullptr : &value, 0, &page_control);
    if (rc != LDAP_SUCCESS) return rc;
    controls[n++] = page_control;
  }
  LDAPControl show_deleted;
  std::string show_deleted_oid = kShowDeletedControlOid;
  if (request.show_deleted) {
    show_deleted.ldctl_oid = show_deleted_oid.data();
    show_deleted.ldctl_value.bv_val = nullptr;
    show_deleted.ldctl_value.bv_len = 0;
    show_deleted.ldctl_iscritical = 1;
    controls[n++] = &show_deleted;
  }
  timeval limit{};
  if (!TimeLeft(connection->deadline, OperationTimeout(), &limit)) {
    if (page_control) ldap_control_free(page_control);
    return LDAP_TIMEOUT;
  }
  int rc = ldap_search_ext_s(connection->ld, request.base.c_str(), request.scope,
                             request.filter.c_str(), names.empty() ? nullptr : attrs.data(), 0,
                             n ? controls : nullptr, nullptr, &limit, request.size_limit, chain);
  if (page_control) ldap_control_free(page_control);

  if (*chain && paged && next_cookie) {
    LDAPControl** response = nullptr;
    int err = 0;
    if (ldap_parse_result(connection->ld, *chain, &err, nullptr, nullptr, nullptr, &response, 0) ==
            LDAP_SUCCESS &&
        response) {
      if (LDAPControl* c = ldap_control_find(LDAP_CONTROL_PAGEDRESULTS, response, nullptr)) {
        ber_int_t estimate = 0;
        berval next{0, nullptr};
        if (ldap_parse_pageresponse_control(connection->ld, c, &estimate, &next) == LDAP_SUCCESS) {
          if (next.bv_val) {
            next_cookie->assign(next.bv_val, next.bv_len);
            ber_memfree(next.bv_val);
          }
        }
      }
      ldap_controls_free(response);
    }
  }
  return rc;
}

int AbandonPagedSearch(LdapConnection* connection, const SearchSpec& request,
                       const std::string& cookie) {
  LDAPMessage* chain = nullptr;
  int rc = SearchRequest(connection, request, true, cookie, 0, &chain, nullptr);
  if (chain) ldap_msgfree(chain);
  return rc;
}

namespace {

// Takes `chain` as the result's page and lists its entries.
void SetPage(LdapResult* result, LDAPMessage* chain) {
  result->chain = chain;
  result->entries.clear();
  std::size_t index = 0;
  LDAP* ld = result->connection->ld;
  for (LDAPMessage* e = chain ? ldap_first_entry(ld, chain) : nullptr; e;
       e = ldap_next_entry(ld, e)) {
    result->entries.push_back(LdapEntry{result, e, index++});
  }
}

}  // namespace

LdapResult* MakeResult(LdapConnection* connection, LDAPMessage* chain) {
  auto* result = new LdapResult;
  result->connection = connection;
  SetPage(result, chain);
  return result;
}

namespace {

// Replaces the result's page by the next one of its paged search. False when there is no
// next page or fetching it failed (logged; the result is then incomplete).
bool FetchNextPage(LdapResult* result) {
  while (result->streaming) {
    if (result->chain) ldap_msgfree(result->chain);
    result->chain = nullptr;
    result->entries.clear();
    LDAPMessage* chain = nullptr;
    std::string next;
    int rc = SearchRequest(result->connection, result->request, true, result->cookie,
                           result->request.page_size, &chain, &next);
    SetPage(result, chain);
    if (rc != LDAP_SUCCESS) {
      CLdapClient::ReportMessage(ErrorText(rc));
      result->code = rc;
      result->complete = false;
      result->streaming = false;
      if (rc != LDAP_SIZELIMIT_EXCEEDED) {
        if (result->chain) ldap_msgfree(result->chain);
        result->chain = nullptr;
        result->entries.clear();
      }
      return !result->entries.empty();
    }
    result->cookie = next;
    result->streaming = !next.empty();
    if (!result->entries.empty()) return true;
  }
  return false;
}

bool IsUtf8Continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

}  // namespace

LdapResult* CLdapClient::Search(LdapConnection* connection, std::string_view base,
                                std::string_view filter, std::string_view attribute, int* code) {
  if (code) *code = LDAP_PARAM_ERROR;
  if (!connection || filter.empty()) return nullptr;
  SearchSpec request;
  request.base = std::string(base);  // the base goes out as given
  request.filter = RepairFilter(ToServerText(filter, true));
  if (!attribute.empty() && attribute != "*") {
    request.attributes.push_back(connection->server_type == 0 ? CutToBytes(attribute, 255)
                                                              : std::string(attribute));
  }
  const bool paged = connection->paged_results;
  // Paged: no total limit, the pages bound memory. Otherwise the connection's limit
  // (kSearchSizeLimit on type 0, none elsewhere).
  request.size_limit = paged ? 0 : -1;
  LDAPMessage* chain = nullptr;
  std::string next;
  int rc = SearchRequest(connection, request, paged, "", kPageSize, &chain, &next);
  if (code) *code = rc;
  if (rc != LDAP_SUCCESS && rc != LDAP_SIZELIMIT_EXCEEDED) {
    // A login check whose deadline cut the search short says so itself.
    if (!DeadlinePassed(connection->deadline)) ReportMessage(ErrorText(rc));
    if (chain) ldap_msgfree(chain);
    return nullptr;
  }
  LdapResult* result = MakeResult(connection, chain);
  result->request = std::move(request);
  if (rc == LDAP_SIZELIMIT_EXCEEDED) {
    ReportMessage(ErrorText(rc));
    result->code = rc;
    result->complete = false;
  } else if (paged && !next.empty()) {
    result->streaming = true;
    result->cookie = next;
  }
  if (result->entries.empty()) FetchNextPage(result);
  if (result->entries.empty()) {
    if (code && result->code != 0) *code = result->code;
    FreeResult(result);
    return nullptr;
  }
  return result;
}

int CLdapClient::CountEntries(LdapConnection* connection, LdapResult* result) {
  if (!connection || !result) return -1;
  return static_cast<int>(result->entries.size());
}

LdapEntry* CLdapClient::FirstEntry(LdapConnection* connection, LdapResult* result) {
  if (!connection || !result || result->entries.empty()) return nullptr;
  return &result->entries.front();
}

LdapEntry* CLdapClient::NextEntry(LdapConnection* connection, LdapEntry* entry) {
  if (!connection || !entry || !entry->owner) return nullptr;
  LdapResult* result = entry->owner;
  if (entry->index + 1 < result->entries.size()) return &result->entries[entry->index + 1];
  if (!FetchNextPage(result)) return nullptr;
  return &result->entries.front();
}

void CLdapClient::FreeResult(LdapResult* result) {
  if (!result) return;
  // A paged search left unfinished is not abandoned here: the connection may already be
  // gone, and the server drops the search with the connection.
  if (result->chain) ldap_msgfree(result->chain);
  delete result;
}

bool CLdapClient::IsComplete(const LdapResult* result) { return result && result->complete; }

int CLdapClient::ResultCode(const LdapResult* result) { return result ? result->code : -1; }

LdapPage* CLdapClient::BeginPagedSearch(LdapConnection* connection, std::string_view base,
                                        std::string_view filter,
                                        const std::vector<std::string>& /*attributes*/, int scope) {
  // The connection's own type decides, not the process-wide one: another component may
  // select another type while this search runs.
  if (!connection || connection->server_type != 0 || filter.empty()) return nullptr;
  auto* page = new LdapPage;
  page->request.base = ToServerText(base, true);
  page->request.filter = RepairFilter(ToServerText(filter, true));
  page->request.scope = scope;
  page->request.size_limit = 0;  // no total limit: each page is kPageSize entries
  return page;
}

int CLdapClient::NextPage(LdapConnection* connection, LdapPage* page, LdapResult** result) {
  if (result) *result = nullptr;
  const int type = connection ? connection->server_type : SelectedServerType();
  if (type != 0) return 0;
  if (!connection || !page || !result) return LDAP_PARAM_ERROR;
  if (page->finished) return page->code != 0 ? page->code : kLdapNoMoreResults;
  LDAPMessage* chain = nullptr;
  std::string next;
  int rc = SearchRequest(connection, page->request, true, page->cookie, kPageSize, &chain, &next);
  page->started = true;
  if (rc == LDAP_SUCCESS) {
    page->cookie = next;
    if (next.empty()) {
      page->finished = true;
      page->complete = true;
    }
    *result = MakeResult(connection, chain);
    return 0;
  }
  ReportMessage(ErrorText(rc));
  page->code = rc;
  page->finished = true;
  page->complete = false;
  if (rc == LDAP_SIZELIMIT_EXCEEDED && chain) {
    *result = MakeResult(connection, chain);
  } else if (chain) {
    ldap_msgfree(chain);
  }
  return rc;
}

bool CLdapClient::IsComplete(const LdapPage* page) { return page && page->complete; }

int CLdapClient::EndPagedSearch(LdapConnection* connection, LdapPage* page) {
  if (!page) return 0;
  int ok = 0;
  if (connection && connection->server_type == 0) {
    ok = 1;
    if (page->started && !page->finished && !page->cookie.empty()) {
      int rc = AbandonPagedSearch(connection, page->request, page->cookie);
      if (rc != LDAP_SUCCESS) {
        ReportMessage(ErrorText(rc));
        ok = 0;
      }
    }
  }
  delete page;
  return ok;
}

std::string CLdapClient::ToServerText(std::string_view in, bool normalise) {
  return normalise ? NormaliseDnText(in) : std::string(in);
}

std::string CLdapClient::FromServerText(std::string_view in, bool normalise) {
  std::size_t nul = in.find('\0');
  if (nul != std::string_view::npos) in = in.substr(0, nul);
  std::string out;
  out.reserve(in.size());
  for (std::size_t i = 0; i < in.size();) {
    unsigned char c = static_cast<unsigned char>(in[i]);
    std::size_t len = c < 0x80           ? 1
                      : (c >> 5) == 0x6  ? 2
                      : (c >> 4) == 0xE  ? 3
                      : (c >> 3) == 0x1E ? 4
                                         : 0;
    bool valid = len > 0 && i + len <= in.size();
    for (std::size_t k = 1; valid && k < len; ++k) {
      valid = IsUtf8Continuation(static_cast<unsigned char>(in[i + k]));
    }
    if (valid && len > 1) {
      // Overlong forms and surrogates are not text either.
      unsigned char c1 = static_cast<unsigned char>(in[i + 1]);
      if ((len == 2 && c < 0xC2) || (len == 3 && c == 0xE0 && c1 < 0xA0) ||
          (len == 3 && c == 0xED && c1 >= 0xA0) || (len == 4 && c == 0xF0 && c1 < 0x90) ||
          (len == 4 && (c > 0xF4 || (c == 0xF4 && c1 >= 0x90)))) {
        valid = false;
      }
    }
    if (!valid) {
      out += '?';
      ++i;
      continue;
    }
    out.append(in.substr(i, len));
    i += len;
  }
  return normalise ? NormaliseDnText(out) : out;
}

}  // namespace norvane
