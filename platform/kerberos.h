// Kerberos credentials of a service, from its keytab, for the Kerberos bind
// of the LDAP client (platform/ldap_api.h, Connection::KerberosBind).
//
// The credentials live in a private in-memory credential cache of their own
// (one per ClientCredentials), so the library authenticates as the service
// without reading or changing the host process's environment (KRB5CCNAME)
// or its default credential cache, and without disturbing what the host
// does with Kerberos itself. Which KDC serves the realm comes from the
// system's Kerberos configuration (krb5.conf, or the file KRB5_CONFIG names
// in the host's environment).
//
// The POSIX build implements this over MIT Kerberos and its GSS-API
// (platform/posix/kerberos_posix.cc). Nothing here writes key material
// anywhere: errors name files, principals and the Kerberos reason only.
//
// Windows has no keytab (platform/win/kerberos_win.cc): a service there
// binds as the account it runs as, through the system's Negotiate package,
// with the tickets the system keeps and renews for that account. There
// CredentialsFromKeytab() is false, the keytab and principal passed in must
// be empty (FindKeytabPrincipal then names that account), and the
// credentials stand for the account rather than holding tickets.
//
// Thread safety: the free functions are thread-safe. A ClientCredentials is
// immutable once made and may be shared by any number of threads (each
// connection hands it to its own bind).
#ifndef USERPOLICY_PLATFORM_KERBEROS_H_
#define USERPOLICY_PLATFORM_KERBEROS_H_

#include <memory>
#include <string>

#include "platform/types.h"

namespace platform::kerberos {

// The system's handle of acquired credentials; defined by the implementation.
struct NativeCredentials;

// Whether this system's Kerberos binds take their keys from a keytab (true
// on POSIX systems; false on Windows, see the top of this file).
bool CredentialsFromKeytab();

// The mechanism the LDAP library binds with ("SASL GSSAPI", "Negotiate"),
// and what to install or configure when the library does not have it (the
// LDAP client's kAuthUnknown), in one line.
std::string MechanismName();
std::string MissingMechanismAdvice();

// Looks in the keytab file `keytab` for the keys of `principal` ("name" or
// "name@REALM"; without a realm, the configured default realm's), or for
// the first principal the keytab holds when `principal` is empty. On success
// returns true with *found set to the principal's full name
// ("name@REALM"). On failure returns false with *problem saying why in one
// line: the file cannot be opened (the system's reason), is not a keytab,
// holds no keys, or holds none of `principal`; never what it holds.
bool FindKeytabPrincipal(const std::string& keytab, const std::string& principal, std::string* found,
                         std::string* problem);

// Initiator credentials of one principal: a ticket-granting ticket obtained
// from the KDC with the keys of a keytab, in a memory cache that only this
// object uses. Service tickets the binds obtain with it go into the same
// cache. Tickets are not renewed in place: a caller that wants fresher ones
// acquires a new ClientCredentials and drops the old one.
class ClientCredentials {
 public:
  // Asks the KDC for a ticket-granting ticket of `principal` (a full name
  // from FindKeytabPrincipal) with the keys of `keytab`. On success
  // *credentials holds them and the call returns true; on failure false,
  // with *problem holding the Kerberos reason ("Cannot contact any KDC for
  // realm 'EXAMPLE.TEST'", "Preauthentication failed", ...).
  static bool Acquire(const std::string& keytab, const std::string& principal,
                      std::shared_ptr<const ClientCredentials>* credentials, std::string* problem);

  // Releases the credentials and destroys their memory cache.
  ~ClientCredentials();
  ClientCredentials(const ClientCredentials&) = delete;
  ClientCredentials& operator=(const ClientCredentials&) = delete;

  // The principal the credentials authenticate ("name@REALM").
  const std::string& principal() const { return principal_; }
  // When they were obtained and when the ticket-granting ticket ends, in
  // seconds since 1970 by the library's clock (_time64, platform/clock.h):
  // the ticket's lifetime counted from the moment it was obtained.
  __time64_t acquired_at() const { return acquired_at_; }
  __time64_t expires_at() const { return expires_at_; }

  // For the LDAP client of the same system only.
  NativeCredentials* native() const { return native_.get(); }

 private:
  struct NativeDeleter {
    void operator()(NativeCredentials* native) const;
  };
  struct PrivateTag {};

 public:
  // For Acquire only (through std::make_shared).
  explicit ClientCredentials(PrivateTag) {}

 private:
  std::string principal_;
  __time64_t acquired_at_ = 0;
  __time64_t expires_at_ = 0;
  std::unique_ptr<NativeCredentials, NativeDeleter> native_;
};

}  // namespace platform::kerberos

#endif  // USERPOLICY_PLATFORM_KERBEROS_H_
