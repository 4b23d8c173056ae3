// What an LDAP status means to the backend: a server failure, after which a
// call moves on to the next server, or a refused request, raised as the
// CDirectoryException its result code calls for.
// Internal to the LDAP backend (ldap_backend.h): included only by the
// backend's own .cc files and their tests.
//
// Thread safety: values and pure functions.
#ifndef USERPOLICY_PLATFORM_DIRECTORY_LDAP_REQUEST_ERRORS_H_
#define USERPOLICY_PLATFORM_DIRECTORY_LDAP_REQUEST_ERRORS_H_

#include <string>

#include "platform/directory/directory_error.h"
#include "platform/directory/ldap_server_settings.h"
#include "platform/ldap_api.h"

namespace directory::ldap_backend_internal {

// A failure that makes the call try the next server: the server cannot be
// reached, does not answer, or refuses service. Thrown by value from the
// code that talks to a server and caught by Failover::Run, which never lets
// it out.
struct ServerFailure {
  ldap::Status status;
  std::wstring operation;
  std::wstring target;
};

// True for the statuses that raise ServerFailure: the connection failed or
// timed out, the server is busy or unavailable, or TLS could not be set up.
inline bool IsServerFailure(const ldap::Status& status) {
  return ldap::IsConnectionFailure(status.code) || status.code == ldap::kBusy || status.code == ldap::kUnavailable ||
         status.tls;
}

// The context of a failure of `operation` on `target` at `endpoint`: its
// server name, and the status's result code, text and diagnostic.
DirectoryErrorContext ErrorContextOf(const Endpoint& endpoint, std::wstring operation, std::wstring target,
                                     const ldap::Status& status);

// Raises the CDirectoryException for a request the server refused with
// `status` (not a server failure): kDirectoryNotFound for no such object,
// kDirectoryInvalidPath for a DN the server does not accept,
// kDirectoryInvalidArgument for a malformed filter, kDirectoryTimeout for
// the server's time limit, kDirectoryAuthFailed for a refused bind,
// kDirectoryProtocolError otherwise. Logged where raised (DIRECTORY_THROW).
[[noreturn]] void ThrowRequestError(const Endpoint& endpoint, const std::wstring& operation,
                                    const std::wstring& target, const ldap::Status& status);

}  // namespace directory::ldap_backend_internal

#endif  // USERPOLICY_PLATFORM_DIRECTORY_LDAP_REQUEST_ERRORS_H_
