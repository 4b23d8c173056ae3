// A bare libldap connection: the floor the library's directory reads are
// measured against. One synchronous search at a time; every value of every
// returned entry is copied out, as any client must read them.
#ifndef USERPOLICY_BENCH_RAW_LDAP_CONNECTION_H_
#define USERPOLICY_BENCH_RAW_LDAP_CONNECTION_H_

#include <string>
#include <vector>

typedef struct ldap LDAP;

namespace userpolicy::bench {

class RawLdapConnection {
 public:
  // Connects to `url` (ldap://host:port) and binds as `bind_dn` with
  // `password`, or anonymously when `bind_dn` is empty. Throws
  // std::runtime_error on failure.
  RawLdapConnection(const std::string& url, const std::string& bind_dn, const std::string& password);
  ~RawLdapConnection();
  RawLdapConnection(const RawLdapConnection&) = delete;
  RawLdapConnection& operator=(const RawLdapConnection&) = delete;

  // One search for at most one entry; appends the DN and every value of the
  // entry to `values`. Returns the number of entries (0 or 1). Throws
  // std::runtime_error when the search fails.
  // `attributes` is a null-terminated list, or null for all.
  int Search(const char* base, int scope, const char* filter, const char* const* attributes,
             std::vector<std::string>* values);

 private:
  LDAP* ld_ = nullptr;
};

}  // namespace userpolicy::bench

#endif  // USERPOLICY_BENCH_RAW_LDAP_CONNECTION_H_
