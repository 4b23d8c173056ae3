// The exception base of the support library and its wide-string type.
//
// Every failure that the module or the directory-access library raises is an
// OS::CException or a class derived from it, thrown by value and caught by
// reference. An exception carries a stable numeric code, the source name and
// line of the throw site, an optional message, and optional context (for
// directory errors: server, operation, target, LDAP result). The context
// never holds secrets: callers put only names, DNs, filters and result texts
// into it.
//
// Thread safety: an exception object is a value; distinct objects may be used
// on distinct threads freely.
#ifndef USERPOLICY_PLATFORM_EXCEPTION_H_
#define USERPOLICY_PLATFORM_EXCEPTION_H_

#include <algorithm>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/export.h"

namespace OS {

// A wide string value. A thin wrapper that keeps the interface the support
// library has always offered (construction from and assignment of a wide
// string, appending a string or one character, c_str() and conversion to a
// const wide string pointer). Never holds a null pointer: c_str() of an empty
// x_wstring is L"".
class x_wstring {
 public:
  x_wstring() = default;
  x_wstring(const wchar_t* s) : text_(s ? s : L"") {}  // NOLINT: implicit by design
  explicit x_wstring(std::wstring s) : text_(std::move(s)) {}

  x_wstring& operator=(const wchar_t* s) {
    text_ = s ? s : L"";
    return *this;
  }
  x_wstring& operator+=(const wchar_t* s) {
    if (s) text_ += s;
    return *this;
  }
  // Text built a character at a time (an escaped key, say) grows by at
  // least kMinGrowth characters, not through every small size.
  x_wstring& operator+=(wchar_t c) {
    if (text_.size() == text_.capacity()) text_.reserve(std::max(2 * text_.capacity(), kMinGrowth));
    text_ += c;
    return *this;
  }
  x_wstring& append(const wchar_t* s) { return *this += s; }
  x_wstring& append(const wchar_t* s, size_t n) {
    if (s) text_.append(s, n);
    return *this;
  }
  void clear() { text_.clear(); }

  const wchar_t* c_str() const { return text_.c_str(); }
  operator const wchar_t*() const { return text_.c_str(); }  // NOLINT
  size_t length() const { return text_.size(); }
  bool empty() const { return text_.empty(); }
  const std::wstring& str() const { return text_; }

 private:
  static constexpr size_t kMinGrowth = 64;

  std::wstring text_;
};

class USERPOLICY_EXPORT CException {
 public:
  // `source` is the name of the throwing unit (copied); `line` its line.
  CException(int code, const char* source, int line);
  // As above, with a human-readable description of the failure.
  CException(int code, const char* source, int line, std::wstring_view message);
  CException(const CException& other);
  CException& operator=(const CException& other);
  virtual ~CException();

  // The stable error code.
  virtual int GetErrorCode() const;
  // The description: the message given at construction, or "error <code>".
  virtual x_wstring GetErrorMsg() const;
  // The description followed by the code, the context items and the throw
  // site, e.g. "bind failed (code -92049; server=127.0.0.1:3268,
  // ldap=49 Invalid credentials) [ldap_connection:120]".
  virtual x_wstring GetErrorMsgEx() const;

  const char* GetSource() const { return source_.c_str(); }
  int GetLine() const { return line_; }

  // Adds one named context item; shown by GetErrorMsgEx in insertion order.
  CException& AddContext(std::wstring_view name, std::wstring_view value);
  // The value of a context item, or null when there is none of that name.
  const std::wstring* FindContext(std::wstring_view name) const;

 private:
  int code_;
  std::string source_;
  int line_;
  std::wstring message_;
  std::vector<std::pair<std::wstring, std::wstring>> context_;
};

// The text of the exception being handled, for the log line of a caller that
// turns it into an error code: GetErrorMsgEx() of an OS::CException (a
// CDirectoryException's server, operation, target and LDAP result
// included), ErrorMessage() of a _com_error, what() of a std::exception,
// "an exception of unknown type" for anything else; empty when even that
// cannot be allocated. Never throws.
// REQUIRES: called inside a catch block (directly or from a function it
// calls).
std::wstring DescribeCurrentException() noexcept;

}  // namespace OS

#endif  // USERPOLICY_PLATFORM_EXCEPTION_H_
