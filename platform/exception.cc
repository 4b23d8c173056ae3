#include "platform/exception.h"

#include <exception>
#include <string>

#include "platform/com.h"
#include "platform/utf8.h"

namespace OS {

CException::CException(int code, const char* source, int line)
    : code_(code), source_(source ? source : ""), line_(line) {}

CException::CException(int code, const char* source, int line, std::wstring_view message)
    : code_(code), source_(source ? source : ""), line_(line), message_(message) {}

CException::CException(const CException& other) = default;
CException& CException::operator=(const CException& other) = default;
CException::~CException() = default;

int CException::GetErrorCode() const { return code_; }

x_wstring CException::GetErrorMsg() const {
  if (!message_.empty()) return x_wstring(message_);
  return x_wstring(L"error " + std::to_wstring(code_));
}

x_wstring CException::GetErrorMsgEx() const {
  std::wstring text = GetErrorMsg().str();
  text += L" (code ";
  text += std::to_wstring(code_);
  for (const auto& [name, value] : context_) {
    text += L"; ";
    text += name;
    text += L'=';
    text += value;
  }
  text += L") [";
  text += platform::Utf8ToWide(source_);
  text += L':';
  text += std::to_wstring(line_);
  text += L']';
  return x_wstring(std::move(text));
}

CException& CException::AddContext(std::wstring_view name, std::wstring_view value) {
  context_.emplace_back(std::wstring(name), std::wstring(value));
  return *this;
}

const std::wstring* CException::FindContext(std::wstring_view name) const {
  for (const auto& item : context_) {
    if (item.first == name) return &item.second;
  }
  return nullptr;
}

std::wstring DescribeCurrentException() noexcept {
  try {
    try {
      throw;
    } catch (const CException& error) {
      return error.GetErrorMsgEx().str();
    } catch (const _com_error& error) {
      return error.ErrorMessage();
    } catch (const std::exception& error) {
      return platform::Utf8ToWide(error.what());
    } catch (...) {
      return L"an exception of unknown type";
    }
  } catch (...) {
    // Out of memory while describing: nothing to describe it with.
    return std::wstring();
  }
}

}  // namespace OS
