// The Kerberos bind of the LDAP backend's connections (BindMethod =
// "gssapi"): the library's own credentials from the keytab, and the bind of
// each new connection with them.
// Internal to the LDAP backend (ldap_backend.h): included only by the
// backend's own .cc files and their tests.
//
// Credentials. The library authenticates as one principal with the keys of
// one keytab, per library rather than per process: the credentials live in
// a private memory cache (platform/kerberos.h) and are handed to each
// connection's bind, so the host's environment and its default credential
// cache are never read or changed. They are obtained from the KDC at the
// first bind and renewed from the keytab once three quarters of their
// lifetime have passed (by the library's clock). A renewal that fails while
// the current credentials are still valid is logged, and the current ones
// stay in use until they end.
//
// Binds. SASL GSSAPI to the service "ldap/<host>" of whichever server the
// pool connects to, named from the host as configured or discovered (DNS
// SRV answers and rootDSE dnsHostName give host names, which is what
// Kerberos needs), with at least MinimumSsf (never an unsigned connection).
// After the bind the negotiated strength and the authenticated identity are
// checked and logged at the data level. A bind that fails for a Kerberos
// reason with credentials obtained a while ago (a ticket that ended early by
// the server's clock, a KDC that lost its state) renews them and binds once
// more. A pooled connection whose ticket has ended, or ends within
// kTicketEndMargin, is not reused: its server would refuse it, so the pool
// opens and binds a new one instead (TicketEnded).
//
// Thread safety: every member may be called from any number of threads.
#ifndef USERPOLICY_PLATFORM_DIRECTORY_LDAP_KERBEROS_BIND_H_
#define USERPOLICY_PLATFORM_DIRECTORY_LDAP_KERBEROS_BIND_H_

#include <memory>
#include <string>

#include "platform/directory/ldap_server_settings.h"
#include "platform/kerberos.h"
#include "platform/ldap_api.h"
#include "platform/sync.h"
#include "platform/thread_annotations.h"
#include "platform/types.h"

namespace directory::ldap_backend_internal {

// A connection whose Kerberos ticket ends within this many seconds is not
// handed out again.
inline constexpr __time64_t kTicketEndMargin = 30;

// Whether `authentication` rests on a ticket that ends within
// kTicketEndMargin from now (the library's clock, read only for a Kerberos
// bind: cheap enough for every reuse of a pooled connection).
bool TicketEnded(const ldap::Authentication& authentication);

class KerberosLogin {
 public:
  // Credentials are not renewed again after a failed bind until they are at
  // least this old (seconds), so that a server that refuses every bind does
  // not make each one ask the KDC.
  static constexpr __time64_t kMinimumAgeForRenewal = 60;

  // The login as `principal` (a full name, as CheckBindSettings finds it)
  // with the keys of `keytab`, binding with at least `minimum_ssf`. Makes
  // no KDC exchange yet.
  KerberosLogin(std::string keytab, std::string principal, int minimum_ssf);
  KerberosLogin(const KerberosLogin&) = delete;
  KerberosLogin& operator=(const KerberosLogin&) = delete;

  // Binds `connection`, opened to `endpoint`, as the principal (see the top
  // of this file). Raises ServerFailure when the server is to blame (the
  // connection lost, no answer, unavailable), otherwise CDirectoryException
  // kDirectoryAuthFailed: no credentials from the KDC, a Kerberos failure of
  // the bind (its reason in the message), no GSSAPI mechanism (-6: the
  // message says which package to install), a server that wants a stronger
  // security layer (8: the message says to raise MinimumSsf), a weaker layer
  // than MinimumSsf, or another identity than the principal.
  void Bind(ldap::Connection& connection, const Endpoint& endpoint) EXCLUDES(mu_);

  const std::string& principal() const { return principal_; }

 private:
  // The credentials to bind with: the current ones, or new ones when there
  // are none, they are due for renewal, or `renew` asks for it. *fresh
  // tells whether they were obtained by this call.
  std::shared_ptr<const platform::kerberos::ClientCredentials> Credentials(bool renew, bool* fresh) EXCLUDES(mu_);

  const std::string keytab_;
  const std::string principal_;
  const int minimum_ssf_;
  platform::Mutex mu_;  // held while asking the KDC: one request at a time
  std::shared_ptr<const platform::kerberos::ClientCredentials> credentials_ GUARDED_BY(mu_);
};

}  // namespace directory::ldap_backend_internal

#endif  // USERPOLICY_PLATFORM_DIRECTORY_LDAP_KERBEROS_BIND_H_
