// C runtime string functions under their Windows names (_wcsicmp, _wcsupr,
// _snwprintf, ...) plus the standard wide-string functions (wcslen,
// wcsncpy, wcsncmp), the Windows wide format as a string, and decimal
// digits. ASCII case folding is in platform/ascii.h, UTF-8 conversion in
// platform/utf8.h.
//
// On Windows the CRT functions are the real ones from <wchar.h>/<stdio.h>/
// <string.h>. Elsewhere "platform/posix/crt_posix.h" implements them with the
// Microsoft "C" locale behaviour; read it for the exact formatting and
// truncation rules. The platform:: helpers below exist on both; on Windows
// they are implemented in platform/win/crt_win.cc.
#ifndef USERPOLICY_PLATFORM_CRT_H_
#define USERPOLICY_PLATFORM_CRT_H_

#include <cstdarg>
#include <string>
#include <string_view>

#if defined(_WIN32)
#include <stdio.h>
#include <string.h>
#include <wchar.h>
#else
#include "platform/posix/crt_posix.h"
#endif

namespace platform {

// Appends the result of the Windows wide `format` (the _snwprintf rules, see
// crt_posix.h) applied to `args` to `*out`. Returns false for an invalid
// format; `*out` then holds the text formatted before the bad conversion.
// Thread-safe; consumes `args`.
bool AppendWindowsFormatV(std::wstring* out, const wchar_t* format, va_list args);

// The result of the Windows wide `format` applied to `args`; for an invalid
// format, the text formatted before the bad conversion. Consumes `args`.
std::wstring FormatWindowsV(const wchar_t* format, va_list args);

// Appends the decimal digits of `value` to `*out`: what std::to_wstring
// gives, without the wide-stream machinery it goes through (several times
// slower, and on paths that run for every directory read).
inline void AppendDecimal(std::wstring* out, unsigned long long value) {
  wchar_t digits[20];
  size_t count = 0;
  do {
    digits[count++] = static_cast<wchar_t>(L'0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (count > 0) out->push_back(digits[--count]);
}

}  // namespace platform

#endif  // USERPOLICY_PLATFORM_CRT_H_
