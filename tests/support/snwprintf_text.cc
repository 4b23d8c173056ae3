#include "tests/support/snwprintf_text.h"

#include <cstdarg>
#include <iterator>

#include <gtest/gtest.h>

#include "platform/crt.h"

namespace userpolicy::testing {

std::wstring SnwprintfText(const wchar_t* format, ...) {
  wchar_t buffer[256];
  va_list args;
  va_start(args, format);
  const int length = _vsnwprintf(buffer, std::size(buffer), format, args);
  va_end(args);
  if (length < 0) return L"<invalid>";
  EXPECT_EQ(static_cast<size_t>(length), wcslen(buffer));
  return buffer;
}

}  // namespace userpolicy::testing
