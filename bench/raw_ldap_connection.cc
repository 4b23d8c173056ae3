#include "bench/raw_ldap_connection.h"

#include <ldap.h>

#include <stdexcept>

namespace userpolicy::bench {
namespace {
constexpr int kTimeoutSeconds = 15;
}  // namespace

RawLdapConnection::RawLdapConnection(const std::string& url, const std::string& bind_dn,
                                     const std::string& password) {
  if (ldap_initialize(&ld_, url.c_str()) != LDAP_SUCCESS) throw std::runtime_error("ldap_initialize " + url);
  const int version = LDAP_VERSION3;
  ldap_set_option(ld_, LDAP_OPT_PROTOCOL_VERSION, &version);
  ldap_set_option(ld_, LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
  std::string secret = password;
  berval credentials{secret.size(), secret.data()};
  const char* who = bind_dn.empty() ? nullptr : bind_dn.c_str();
  const int rc = ldap_sasl_bind_s(ld_, who, LDAP_SASL_SIMPLE, &credentials, nullptr, nullptr, nullptr);
  if (rc != LDAP_SUCCESS) {
    ldap_unbind_ext_s(ld_, nullptr, nullptr);
    throw std::runtime_error(std::string("bind: ") + ldap_err2string(rc));
  }
}

RawLdapConnection::~RawLdapConnection() { ldap_unbind_ext_s(ld_, nullptr, nullptr); }

int RawLdapConnection::Search(const char* base, int scope, const char* filter, const char* const* attributes,
                              std::vector<std::string>* values) {
  timeval limit{kTimeoutSeconds, 0};
  int message_id = 0;
  if (ldap_search_ext(ld_, base, scope, filter, const_cast<char**>(attributes), 0, nullptr, nullptr, &limit, 1,
                      &message_id) != LDAP_SUCCESS) {
    throw std::runtime_error(std::string("search ") + filter);
  }
  int entries = 0;
  for (;;) {
    timeval wait{kTimeoutSeconds, 0};
    LDAPMessage* message = nullptr;
    const int type = ldap_result(ld_, message_id, LDAP_MSG_ONE, &wait, &message);
    if (type <= 0) throw std::runtime_error(std::string("result ") + filter);
    if (type == LDAP_RES_SEARCH_ENTRY) {
      ++entries;
      BerElement* ber = nullptr;
      berval name{};
      ldap_get_dn_ber(ld_, message, &ber, &name);
      values->emplace_back(name.bv_val, name.bv_len);
      berval* vals = nullptr;
      while (ldap_get_attribute_ber(ld_, message, ber, &name, &vals) == LDAP_SUCCESS && name.bv_val != nullptr) {
        for (const berval* v = vals; v != nullptr && v->bv_val != nullptr; ++v) {
          values->emplace_back(v->bv_val, v->bv_len);
        }
        ber_memfree(vals);
        vals = nullptr;
      }
      ber_free(ber, 0);
    }
    const bool done = type == LDAP_RES_SEARCH_RESULT;
    ldap_msgfree(message);
    if (done) return entries;
  }
}

}  // namespace userpolicy::bench
