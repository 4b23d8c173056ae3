#include "platform/directory/ldap_request_errors.h"

#include <utility>

#include "platform/utf8.h"

namespace directory::ldap_backend_internal {
namespace {

constexpr char kSource[] = "ldap_backend";

// Who a result code blames, per step. Codes not listed blame the request.
enum class Blame : bool { kRequest, kServer };
struct BlameRule {
  int code;
  Blame on_connect;  // connect, TLS set-up and bind
  Blame on_request;  // a search on a connection made
};
constexpr Blame kServer = Blame::kServer;
constexpr Blame kRequest = Blame::kRequest;
constexpr BlameRule kBlameRules[] = {
    {ldap::kServerDown, kServer, kServer},     // refused, or the connection was lost
    {ldap::kConnectError, kServer, kServer},   // connected, but no LDAP session came up
    {ldap::kTimeout, kServer, kServer},        // no answer within the timeout
    {ldap::kDecodingError, kServer, kServer},  // an answer that is not LDAP
    {ldap::kBusy, kServer, kServer},
    {ldap::kUnavailable, kServer, kServer},
    // A search refused this way is a server refusing service (shutting
    // down, over a limit of its own); a bind refused this way is about the
    // credentials, which every server refuses alike.
    {ldap::kUnwillingToPerform, kRequest, kServer},
    // A bind the server cannot parse says the server is broken; a search
    // it cannot parse says the request is.
    {ldap::kProtocolError, kServer, kRequest},
};

}  // namespace

bool IsServerFailure(const ldap::Status& status, FailedStep step) {
  if (status.ok()) return false;
  if (status.tls) return true;  // no TLS, no service from this server
  for (const BlameRule& rule : kBlameRules) {
    if (rule.code == status.code) return (step == FailedStep::kConnect ? rule.on_connect : rule.on_request) == kServer;
  }
  return false;
}

DirectoryErrorContext ErrorContextOf(const Endpoint& endpoint, std::wstring operation, std::wstring target,
                                     const ldap::Status& status) {
  DirectoryErrorContext context;
  context.server = endpoint.name;
  context.operation = std::move(operation);
  context.target = std::move(target);
  context.ldap_result = status.code;
  context.ldap_text = platform::Utf8ToWide(status.text);
  context.diagnostic = platform::Utf8ToWide(status.diagnostic);
  return context;
}

void ThrowRequestError(const Endpoint& endpoint, const std::wstring& operation, const std::wstring& target,
                       const ldap::Status& status) {
  const DirectoryErrorContext context = ErrorContextOf(endpoint, operation, target, status);
  switch (status.code) {
    case ldap::kNoSuchObject:
      DIRECTORY_THROW(kDirectoryNotFound, L"no such object: " + target, context);
    case ldap::kInvalidDnSyntax:
      DIRECTORY_THROW(kDirectoryInvalidPath, L"the server does not accept the name " + target, context);
    case ldap::kFilterError:
      DIRECTORY_THROW(kDirectoryInvalidArgument, L"malformed search filter " + target, context);
    case ldap::kTimeLimitExceeded:
      DIRECTORY_THROW(kDirectoryTimeout, L"the server's time limit ended the " + operation, context);
    case ldap::kStrongerAuthRequired:
    case ldap::kConfidentialityRequired:
      // A domain that requires LDAP signing refuses simple binds without TLS.
      DIRECTORY_THROW(kDirectoryAuthFailed,
                      L"the directory server " + endpoint.name + L" refused the " + operation +
                          L": it requires a signed or sealed connection (bind with Kerberos: BindMethod = \"gssapi\"; "
                          L"or use TLS: Tls = \"ldaps\" or \"starttls\")",
                      context);
    case ldap::kInvalidCredentials:
    case ldap::kInappropriateAuthentication:
    case ldap::kAuthMethodNotSupported:
      DIRECTORY_THROW(kDirectoryAuthFailed, L"the directory server " + endpoint.name + L" refused the " + operation,
                      context);
    default:
      DIRECTORY_THROW(kDirectoryProtocolError, L"the directory server " + endpoint.name + L" refused the " + operation,
                      context);
  }
}

}  // namespace directory::ldap_backend_internal
