// The MIT Kerberos side of "platform/kerberos.h": what a ClientCredentials
// holds, for the LDAP client over libldap (platform/posix/ldap_api_posix.cc),
// which hands the credential to each connection's SASL GSSAPI bind.
// Included only by those two files.
#ifndef USERPOLICY_PLATFORM_POSIX_KERBEROS_POSIX_H_
#define USERPOLICY_PLATFORM_POSIX_KERBEROS_POSIX_H_

#include <gssapi/gssapi.h>
#include <krb5.h>

#include "platform/kerberos.h"

namespace platform::kerberos {

// Owned by its ClientCredentials; releases the credential, destroys the
// cache and frees the context, in that order.
struct NativeCredentials {
  NativeCredentials() = default;
  ~NativeCredentials();
  NativeCredentials(const NativeCredentials&) = delete;
  NativeCredentials& operator=(const NativeCredentials&) = delete;

  krb5_context context = nullptr;  // used only to make and destroy `cache`
  krb5_ccache cache = nullptr;     // the private MEMORY: cache
  gss_cred_id_t credential = GSS_C_NO_CREDENTIAL;
};

}  // namespace platform::kerberos

#endif  // USERPOLICY_PLATFORM_POSIX_KERBEROS_POSIX_H_
