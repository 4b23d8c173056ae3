#include "capi/call_errors.h"

#include <exception>
#include <new>

#include "capi/result_memory.h"
#include "dsobject/user_policy_manager_exception.h"
#include "platform/com.h"
#include "platform/directory/directory_error.h"
#include "platform/utf8.h"

namespace capi {
namespace {

constexpr char kUnknownException[] = "an exception of unknown type";

// `text` as one line: line breaks and other control characters become
// spaces.
std::string OneLine(std::string text) {
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
  }
  return text;
}

// The up_error for a failure, or null when even that cannot be allocated.
up_error* NewError(up_status status, int code, const char* function, std::string_view subject,
                   const std::string& detail) noexcept {
  try {
    std::string message = function;
    message += '(';
    message += subject;
    message += "): ";
    message += detail;
    ErrorOwner error(static_cast<up_error*>(AllocateZeroed(1, sizeof(up_error))));
    error->status = status;
    error->code = code;
    error->message = CopyString(OneLine(std::move(message)));
    return error.release();
  } catch (...) {
    return nullptr;
  }
}

}  // namespace

up_status StatusOfCode(int code) {
  switch (code) {
    case EX_USER_POLICY_MGR_DSOBJECT_NOT_FOUND:
    case kDirectoryNotFound:
      return UP_NOT_FOUND;
    case EX_USER_POLICY_MGR_NULL_KEY:
    case kDirectoryInvalidPath:
    case kDirectoryInvalidArgument:
      return UP_INVALID_ARGUMENT;
    case kDirectoryServerDown:
    case kDirectoryTimeout:
    case kDirectoryAuthFailed:
    case kDirectoryTlsFailed:
    case kDirectoryProtocolError:
    case kDirectoryNoServer:
      return UP_DIRECTORY_ERROR;
    case kDirectoryConfigError:
      return UP_CONFIG_ERROR;
    case EX_USER_POLICY_MGR_OUT_OF_MEMORY:
    case EX_USER_POLICY_MGR_FACTORY_OUT_OF_MEMORY:
      return UP_OUT_OF_MEMORY;
    default:
      return UP_INTERNAL_ERROR;
  }
}

CallError CallErrorOf(const OS::CException& failure) {
  return CallError(StatusOfCode(failure.GetErrorCode()), failure.GetErrorCode(),
                   platform::WideToUtf8(failure.GetErrorMsgEx().str()));
}

std::string Quoted(const char* text) {
  if (text == nullptr) return "(null)";
  return std::string("\"") + text + "\"";
}

int ReportCurrentException(const char* function, std::string_view subject, up_error** error) noexcept {
  up_status status = UP_INTERNAL_ERROR;
  int code = 0;
  std::string detail;
  try {
    try {
      throw;
    } catch (const CallError& failure) {
      status = failure.status();
      code = failure.code();
      detail = failure.message();
    } catch (const OS::CException& failure) {
      const CallError mapped = CallErrorOf(failure);
      status = mapped.status();
      code = mapped.code();
      detail = mapped.message();
    } catch (const _com_error& failure) {
      code = static_cast<int>(failure.Error());
      status = failure.Error() == E_OUTOFMEMORY  ? UP_OUT_OF_MEMORY
               : failure.Error() == E_INVALIDARG ? UP_INVALID_ARGUMENT
                                                 : UP_INTERNAL_ERROR;
      detail = platform::WideToUtf8(failure.ErrorMessage());
    } catch (const std::bad_alloc&) {
      status = UP_OUT_OF_MEMORY;
      code = static_cast<int>(E_OUTOFMEMORY);
      detail = "out of memory";
    } catch (const std::exception& failure) {
      detail = failure.what();
    } catch (...) {
      detail = kUnknownException;
    }
  } catch (...) {
    // The description itself could not be built: report what is known.
    if (status == UP_INTERNAL_ERROR && code == 0) status = UP_OUT_OF_MEMORY;
  }
  if (error != nullptr) *error = NewError(status, code, function, subject, detail);
  return status;
}

}  // namespace capi

const char* up_status_name(int status) {
  switch (status) {
    case UP_OK: return "UP_OK";
    case UP_NOT_FOUND: return "UP_NOT_FOUND";
    case UP_INVALID_ARGUMENT: return "UP_INVALID_ARGUMENT";
    case UP_NOT_STARTED: return "UP_NOT_STARTED";
    case UP_DIRECTORY_ERROR: return "UP_DIRECTORY_ERROR";
    case UP_CONFIG_ERROR: return "UP_CONFIG_ERROR";
    case UP_OUT_OF_MEMORY: return "UP_OUT_OF_MEMORY";
    case UP_INTERNAL_ERROR: return "UP_INTERNAL_ERROR";
    default: return "UP_UNKNOWN";
  }
}
