// How a C-interface call fails: the status a failure maps to, the up_error
// that describes it, and the wrapper that lets no exception out of a call.
//
// Every exported function runs its body through RunCall. A body reports its
// own failures by throwing CallError (status, code, message); everything
// the layers below throw is mapped here:
//
//   caught                         status              code
//   CallError                      its own             its own
//   OS::CException -91008          UP_NOT_FOUND        -91008
//     (manager: object not found)
//   OS::CException -92001          UP_NOT_FOUND        -92001
//     (directory: no such object)
//   OS::CException -92002, -92010,  UP_INVALID_ARGUMENT the exception's
//     -91003 (malformed path or
//     argument, null key)
//   OS::CException -92003..-92008  UP_DIRECTORY_ERROR  the exception's
//     (server down, timeout, bind
//     refused, TLS, LDAP error, no
//     server)
//   OS::CException -92009          UP_CONFIG_ERROR     -92009
//   OS::CException -91002, -91009  UP_OUT_OF_MEMORY    the exception's
//   any other OS::CException       UP_INTERNAL_ERROR   the exception's
//   _com_error E_OUTOFMEMORY       UP_OUT_OF_MEMORY    the HRESULT
//   _com_error E_INVALIDARG        UP_INVALID_ARGUMENT the HRESULT
//   other _com_error               UP_INTERNAL_ERROR   the HRESULT
//   std::bad_alloc                 UP_OUT_OF_MEMORY    E_OUTOFMEMORY
//   other std::exception, ...      UP_INTERNAL_ERROR   0
//
// The message is one line: "<function>(<subject>): <what went wrong>", the
// subject being the key or option the call was about; for an
// OS::CException the description, code and context of GetErrorMsgEx
// (server, operation, target, LDAP result), which never hold a secret.
//
// Thread safety: every function may be called from any thread.
#ifndef USERPOLICY_CAPI_CALL_ERRORS_H_
#define USERPOLICY_CAPI_CALL_ERRORS_H_

#include <string>
#include <string_view>
#include <utility>

#include "capi/userpolicy.h"
#include "platform/exception.h"

namespace capi {

// A failure a call's body reports itself.
class CallError {
 public:
  CallError(up_status status, int code, std::string message)
      : status_(status), code_(code), message_(std::move(message)) {}

  up_status status() const { return status_; }
  int code() const { return code_; }
  const std::string& message() const { return message_; }

 private:
  up_status status_;
  int code_;
  std::string message_;
};

// The status of an OS::CException's code (table above).
up_status StatusOfCode(int code);

// The status, code and message of `failure` as a CallError.
CallError CallErrorOf(const OS::CException& failure);

// `text` quoted for a message: in double quotes, "(null)" for null.
std::string Quoted(const char* text);

// Runs `body` (returning UP_OK) for the function `function`: sets *error
// to null first (when error is not null), and turns whatever the body
// throws into the returned status and, when error is not null, an up_error
// whose message names `subject()` (the key or options the call was about;
// built only for a failure). Never throws.
template <class Subject, class Body>
int RunCall(const char* function, const Subject& subject, up_error** error, Body&& body) noexcept;

// Implementation details of RunCall. REQUIRES: called inside a catch block.
int ReportCurrentException(const char* function, std::string_view subject, up_error** error) noexcept;

template <class Subject, class Body>
int RunCall(const char* function, const Subject& subject, up_error** error, Body&& body) noexcept {
  if (error != nullptr) *error = nullptr;
  try {
    return std::forward<Body>(body)();
  } catch (...) {
    std::string described;
    try {
      described = subject();
    } catch (...) {
      // No memory for the subject: the message goes without it.
    }
    return ReportCurrentException(function, described, error);
  }
}

}  // namespace capi

#endif  // USERPOLICY_CAPI_CALL_ERRORS_H_
