#include "tests/fixtures_selftest/ldap_probe.h"

#include <ldap.h>
#include <sasl/sasl.h>
#include <sys/time.h>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace norvane::testing {
namespace {

struct DigestSecrets {
  const char* user;
  const char* password;
};

int DigestInteract(LDAP*, unsigned, void* defaults, void* in) {
  auto* secrets = static_cast<DigestSecrets*>(defaults);
  for (auto* p = static_cast<sasl_interact_t*>(in); p->id != SASL_CB_LIST_END; ++p) {
    const char* value = "";
    if (p->id == SASL_CB_AUTHNAME || p->id == SASL_CB_USER) value = secrets->user;
    if (p->id == SASL_CB_PASS) value = secrets->password;
    if (p->id == SASL_CB_GETREALM && p->defresult) value = p->defresult;
    p->result = value;
    p->len = static_cast<unsigned>(std::strlen(value));
  }
  return LDAP_SUCCESS;
}

timeval Seconds(int s) { return timeval{s, 0}; }

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}

void Collect(LDAP* ld, LDAPMessage* res, ProbeSearch* out) {
  for (LDAPMessage* e = ldap_first_entry(ld, res); e; e = ldap_next_entry(ld, e)) {
    ProbeEntry entry;
    if (char* dn = ldap_get_dn(ld, e)) {
      entry.dn = dn;
      ldap_memfree(dn);
    }
    BerElement* ber = nullptr;
    for (char* a = ldap_first_attribute(ld, e, &ber); a; a = ldap_next_attribute(ld, e, ber)) {
      auto& vals = entry.values[Lower(a)];
      if (berval** bv = ldap_get_values_len(ld, e, a)) {
        for (int i = 0; bv[i]; ++i) vals.emplace_back(bv[i]->bv_val, bv[i]->bv_len);
        ldap_value_free_len(bv);
      }
      ldap_memfree(a);
    }
    if (ber) ber_free(ber, 0);
    out->entries.push_back(std::move(entry));
  }
}

}  // namespace

LdapProbe::LdapProbe(const std::string& uri, const std::string& ca_file) {
  if (ldap_initialize(&ld_, uri.c_str()) != LDAP_SUCCESS) {
    ld_ = nullptr;
    return;
  }
  int version = LDAP_VERSION3;
  ldap_set_option(ld_, LDAP_OPT_PROTOCOL_VERSION, &version);
  ldap_set_option(ld_, LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
  timeval net = Seconds(10), op = Seconds(30);
  ldap_set_option(ld_, LDAP_OPT_NETWORK_TIMEOUT, &net);
  ldap_set_option(ld_, LDAP_OPT_TIMEOUT, &op);
  if (!ca_file.empty()) {
    ldap_set_option(ld_, LDAP_OPT_X_TLS_CACERTFILE, ca_file.c_str());
    int demand = LDAP_OPT_X_TLS_DEMAND;
    ldap_set_option(ld_, LDAP_OPT_X_TLS_REQUIRE_CERT, &demand);
    int fresh = 0;
    ldap_set_option(ld_, LDAP_OPT_X_TLS_NEWCTX, &fresh);
  }
}

LdapProbe::~LdapProbe() {
  if (ld_) ldap_unbind_ext_s(ld_, nullptr, nullptr);
}

int LdapProbe::StartTls() {
  if (!ld_) return LDAP_PARAM_ERROR;
  return ldap_start_tls_s(ld_, nullptr, nullptr);
}

int LdapProbe::SimpleBind(const std::string& dn, const std::string& password) {
  if (!ld_) return LDAP_PARAM_ERROR;
  berval cred{static_cast<ber_len_t>(password.size()), const_cast<char*>(password.data())};
  return ldap_sasl_bind_s(ld_, dn.c_str(), LDAP_SASL_SIMPLE, &cred, nullptr, nullptr, nullptr);
}

int LdapProbe::DigestBind(const std::string& user, const std::string& password) {
  if (!ld_) return LDAP_PARAM_ERROR;
  // No SASL security layer: the probe only checks the bind, and the layer's cipher state
  // is never freed by the digest plugin (a leak report under the sanitizer).
  ldap_set_option(ld_, LDAP_OPT_X_SASL_SECPROPS, "maxssf=0");
  DigestSecrets secrets{user.c_str(), password.c_str()};
  return ldap_sasl_interactive_bind_s(ld_, nullptr, "DIGEST-MD5", nullptr, nullptr, LDAP_SASL_QUIET,
                                      DigestInteract, &secrets);
}

std::string LdapProbe::WhoAmI() {
  if (!ld_) return "";
  berval* id = nullptr;
  if (ldap_whoami_s(ld_, &id, nullptr, nullptr) != LDAP_SUCCESS || !id) return "";
  std::string out(id->bv_val, id->bv_len);
  ber_bvfree(id);
  return out;
}

ProbeSearch LdapProbe::Search(const std::string& base, const std::string& filter,
                              const std::vector<std::string>& attrs, int page_size, int scope) {
  ProbeSearch out;
  if (!ld_) return out;
  std::vector<char*> names;
  for (const std::string& a : attrs) names.push_back(const_cast<char*>(a.c_str()));
  names.push_back(nullptr);
  char** attr_list = attrs.empty() ? nullptr : names.data();
  berval cookie{0, nullptr};
  do {
    LDAPControl* page = nullptr;
    LDAPControl* controls[2] = {nullptr, nullptr};
    if (page_size > 0) {
      if (ldap_create_page_control(ld_, page_size, &cookie, 1, &page) != LDAP_SUCCESS) {
        out.code = LDAP_LOCAL_ERROR;
        break;
      }
      controls[0] = page;
    }
    timeval limit = Seconds(30);
    LDAPMessage* res = nullptr;
    out.code = ldap_search_ext_s(ld_, base.c_str(), scope, filter.c_str(), attr_list, 0,
                                 page_size > 0 ? controls : nullptr, nullptr, &limit, 0, &res);
    if (page) ldap_control_free(page);
    if (res) Collect(ld_, res, &out);
    ber_memfree(cookie.bv_val);
    cookie = {0, nullptr};
    if (page_size > 0 && res && out.code == LDAP_SUCCESS) {
      LDAPControl** returned = nullptr;
      int err = 0;
      if (ldap_parse_result(ld_, res, &err, nullptr, nullptr, nullptr, &returned, 0) ==
              LDAP_SUCCESS &&
          returned) {
        if (LDAPControl* c = ldap_control_find(LDAP_CONTROL_PAGEDRESULTS, returned, nullptr)) {
          ber_int_t estimate = 0;
          berval got{0, nullptr};
          if (ldap_parse_pageresponse_control(ld_, c, &estimate, &got) == LDAP_SUCCESS) {
            cookie = got;
          }
        }
        ldap_controls_free(returned);
      }
    }
    if (res) ldap_msgfree(res);
  } while (page_size > 0 && out.code == LDAP_SUCCESS && cookie.bv_len > 0);
  ber_memfree(cookie.bv_val);
  return out;
}

ProbeSearch LdapProbe::RootDse(const std::vector<std::string>& attrs) {
  return Search("", "(objectClass=*)", attrs, 0, LDAP_SCOPE_BASE);
}

}  // namespace norvane::testing
