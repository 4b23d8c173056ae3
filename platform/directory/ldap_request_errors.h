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
  bool connected = true;  // false: no connection to the server was made
};

// The step of a call that failed: making the connection (connect, TLS,
// bind) or a request on a connection already made.
enum class FailedStep { kConnect, kRequest };

// Whether a failed `status` of `step` says "this server cannot answer now"
// (the call marks the server and moves to the next one) rather than "the
// request is wrong" (the same request would fail on every server, so it is
// raised at once). One table decides (ldap_request_errors.cc):
//   server:  connection refused or lost, no answer in time, TLS failure,
//            an answer that cannot be decoded, busy, unavailable, unwilling
//            to perform a request (a server refusing service), protocol
//            error on connect or bind (a server that cannot speak LDAP)
//   request: everything else: bad filter, no such object, size or time
//            limit, refused credentials, unwilling to bind (a refused
//            unauthenticated or restricted bind), ...
bool IsServerFailure(const ldap::Status& status, FailedStep step);

// The context of a failure of `operation` on `target` at `endpoint`: its
// server name, and the status's result code, text and diagnostic.
DirectoryErrorContext ErrorContextOf(const Endpoint& endpoint, std::wstring operation, std::wstring target,
                                     const ldap::Status& status);

// Raises the CDirectoryException for a request the server refused with
// `status` (not a server failure): kDirectoryNotFound for no such object,
// kDirectoryInvalidPath for a DN the server does not accept,
// kDirectoryInvalidArgument for a malformed filter, kDirectoryTimeout for
// the server's time limit, kDirectoryAuthFailed for a refused bind (for
// "stronger authentication required" and "confidentiality required", with
// the message saying how to bind so that the server accepts it),
// kDirectoryProtocolError otherwise. Logged where raised (DIRECTORY_THROW).
[[noreturn]] void ThrowRequestError(const Endpoint& endpoint, const std::wstring& operation,
                                    const std::wstring& target, const ldap::Status& status);

}  // namespace directory::ldap_backend_internal

#endif  // USERPOLICY_PLATFORM_DIRECTORY_LDAP_REQUEST_ERRORS_H_
