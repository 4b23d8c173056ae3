// Errors of the directory-access library. Every failure is a
// CDirectoryException (an OS::CException) with one of the stable codes below
// and context items that GetErrorMsgEx shows: "server", "operation",
// "target" (a DN, path or filter; never a password), "ldap" (the LDAP result
// code and its text) and "diagnostic" (the server's diagnostic message).
#ifndef USERPOLICY_PLATFORM_DIRECTORY_DIRECTORY_ERROR_H_
#define USERPOLICY_PLATFORM_DIRECTORY_DIRECTORY_ERROR_H_

#include <string>
#include <string_view>

#include "platform/exception.h"

enum DirectoryErrorCode : int {
  kDirectoryNotFound = -92001,         // the path names no object
  kDirectoryInvalidPath = -92002,      // a path that is not of an accepted form
  kDirectoryServerDown = -92003,       // no connection to any server
  kDirectoryTimeout = -92004,          // the connect or operation timeout passed
  kDirectoryAuthFailed = -92005,       // the bind was refused
  kDirectoryTlsFailed = -92006,        // TLS could not be set up or verified
  kDirectoryProtocolError = -92007,    // any other LDAP error the server reported
  kDirectoryNoServer = -92008,         // no server configured or discovered
  kDirectoryConfigError = -92009,      // settings that cannot be used
  kDirectoryInvalidArgument = -92010,  // a caller's argument out of range
};

// What a failure concerns; every field may be empty.
struct DirectoryErrorContext {
  std::wstring server;      // "host:port"
  std::wstring operation;   // "search", "read", "bind", "connect", ...
  std::wstring target;      // DN, path or filter
  int ldap_result = 0;      // the LDAP result code, 0 when none
  std::wstring ldap_text;   // its text (ldap_err2string)
  std::wstring diagnostic;  // the server's diagnostic message
};

class CDirectoryException : public OS::CException {
 public:
  CDirectoryException(int code, const char* source, int line, std::wstring_view message,
                      const DirectoryErrorContext& context = {});
};

namespace directory {

// Logs the failure at the failure level (4097) with GetErrorMsgEx and throws
// it. Use through DIRECTORY_THROW so that the throw site is recorded.
[[noreturn]] void ThrowDirectoryError(int code, const char* source, int line, std::wstring_view message,
                                      const DirectoryErrorContext& context = {});

}  // namespace directory

#define DIRECTORY_THROW(code, message, ...) \
  ::directory::ThrowDirectoryError((code), kSource, __LINE__, (message) __VA_OPT__(, ) __VA_ARGS__)

#endif  // USERPOLICY_PLATFORM_DIRECTORY_DIRECTORY_ERROR_H_
