#include "platform/directory/ldap_request_errors.h"

#include <utility>

#include "platform/utf8.h"

namespace directory::ldap_backend_internal {
namespace {

constexpr char kSource[] = "ldap_backend";

}  // namespace

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
    case ldap::kInvalidCredentials:
    case ldap::kInappropriateAuthentication:
    case ldap::kAuthMethodNotSupported:
    case ldap::kStrongerAuthRequired:
    case ldap::kConfidentialityRequired:
      DIRECTORY_THROW(kDirectoryAuthFailed, L"the directory server " + endpoint.name + L" refused the " + operation,
                      context);
    default:
      DIRECTORY_THROW(kDirectoryProtocolError, L"the directory server " + endpoint.name + L" refused the " + operation,
                      context);
  }
}

}  // namespace directory::ldap_backend_internal
