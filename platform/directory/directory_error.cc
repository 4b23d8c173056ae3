#include "platform/directory/directory_error.h"

#include <string>

#include "platform/log.h"

CDirectoryException::CDirectoryException(int code, const char* source, int line, std::wstring_view message,
                                         const DirectoryErrorContext& context)
    : OS::CException(code, source, line, message) {
  if (!context.server.empty()) AddContext(L"server", context.server);
  if (!context.operation.empty()) AddContext(L"operation", context.operation);
  if (!context.target.empty()) AddContext(L"target", context.target);
  if (context.ldap_result != 0) {
    std::wstring ldap = std::to_wstring(context.ldap_result);
    if (!context.ldap_text.empty()) {
      ldap += L' ';
      ldap += context.ldap_text;
    }
    AddContext(L"ldap", ldap);
  }
  if (!context.diagnostic.empty()) AddContext(L"diagnostic", context.diagnostic);
}

namespace directory {

void ThrowDirectoryError(int code, const char* source, int line, std::wstring_view message,
                         const DirectoryErrorContext& context) {
  CDirectoryException error(code, source, line, message, context);
  if (DBG::IsEnabled(DBG::kLevelFailure)) {
    DBG::DebugLogEx(nullptr, DBG::kLevelFailure, source, line, L"%s", error.GetErrorMsgEx().c_str());
  }
  throw error;
}

}  // namespace directory
