// The Windows wide format of "platform/crt.h" as a string, on the C
// runtime's own _vsnwprintf: the function the POSIX layer imitates is here
// the implementation.
//
// Before the runtime sees a format, the conversions are walked once with
// their arguments, so that the formats the module refuses on every system
// (%n, positional arguments, unknown conversions, a width or precision above
// kMaxFieldWidth, also through '*') are refused here too instead of being
// printed literally or, for %n, writing through an argument.
#include <cstdarg>
#include <cstddef>
#include <string>

#include "platform/crt.h"

namespace platform {
namespace {

constexpr int kMaxFieldWidth = 1 << 20;
// Room for most log lines and directory filters on the first attempt.
constexpr size_t kInitialCapacity = 256;
// The runtime gives -1 both for "does not fit" and for a failure, so the
// buffer doubles until the text fits or reaches this many characters
// (a checked format cannot need more: every field is bounded).
constexpr size_t kMaxResultLength = size_t{1} << 26;

enum class ArgumentKind { kNone, kInt, kInt64, kPointer, kDouble, kLongDouble };

// Reads a width or precision (digits, or '*' and the next int argument).
// False when it exceeds kMaxFieldWidth.
bool SkipCount(const wchar_t** f, va_list* args) {
  if (**f == L'*') {
    ++*f;
    const int value = va_arg(*args, int);
    return value <= kMaxFieldWidth && value >= -kMaxFieldWidth;
  }
  long long n = 0;
  while (**f >= L'0' && **f <= L'9') {
    n = n * 10 + (**f - L'0');
    if (n > kMaxFieldWidth) return false;
    ++*f;
  }
  return true;
}

// Parses the conversion after a '%' at *f and consumes its arguments.
// False for a conversion the module refuses.
bool CheckConversion(const wchar_t** f, va_list* args) {
  while (**f == L'-' || **f == L'+' || **f == L' ' || **f == L'#' || **f == L'0') ++*f;
  if (!SkipCount(f, args)) return false;
  if (**f == L'.') {
    ++*f;
    if (!SkipCount(f, args)) return false;
  }
  bool wide_integer = false;  // 64 bits
  bool long_double = false;
  const wchar_t* s = *f;
  if (s[0] == L'h') {
    *f += s[1] == L'h' ? 2 : 1;
  } else if (s[0] == L'l') {
    wide_integer = s[1] == L'l';
    *f += wide_integer ? 2 : 1;
  } else if (s[0] == L'w') {
    *f += 1;
  } else if (s[0] == L'L') {
    wide_integer = long_double = true;
    *f += 1;
  } else if (s[0] == L'I') {
    const bool i64 = s[1] == L'6' && s[2] == L'4';
    const bool i32 = s[1] == L'3' && s[2] == L'2';
    wide_integer = !i32;
    *f += i64 || i32 ? 3 : 1;
  } else if (s[0] == L'z' || s[0] == L't' || s[0] == L'j') {
    wide_integer = true;
    *f += 1;
  }
  ArgumentKind kind = ArgumentKind::kNone;
  switch (**f) {
    case L'%': break;
    case L'c': case L'C': kind = ArgumentKind::kInt; break;
    case L's': case L'S': case L'p': kind = ArgumentKind::kPointer; break;
    case L'd': case L'i': case L'u': case L'o': case L'x': case L'X':
      kind = wide_integer ? ArgumentKind::kInt64 : ArgumentKind::kInt;
      break;
    case L'e': case L'E': case L'f': case L'F': case L'g': case L'G': case L'a': case L'A':
      kind = long_double ? ArgumentKind::kLongDouble : ArgumentKind::kDouble;
      break;
    default:  // %n, positional arguments, unknown letters, the end of the format
      return false;
  }
  ++*f;
  switch (kind) {
    case ArgumentKind::kNone: break;
    case ArgumentKind::kInt: va_arg(*args, int); break;
    case ArgumentKind::kInt64: va_arg(*args, long long); break;
    case ArgumentKind::kPointer: va_arg(*args, void*); break;
    case ArgumentKind::kDouble: va_arg(*args, double); break;
    case ArgumentKind::kLongDouble: va_arg(*args, long double); break;
  }
  return true;
}

// The offset of the '%' that starts the first refused conversion, or npos.
size_t FindRefusedConversion(const wchar_t* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  size_t refused = std::wstring::npos;
  for (const wchar_t* f = format; *f != L'\0';) {
    if (*f != L'%') {
      ++f;
      continue;
    }
    const wchar_t* start = f++;
    if (!CheckConversion(&f, &copy)) {
      refused = static_cast<size_t>(start - format);
      break;
    }
  }
  va_end(copy);
  return refused;
}

// Appends the runtime's formatting of `format` with `args` (copied: the
// caller's list is untouched). False when it does not fit the limit.
bool AppendFormatted(std::wstring* out, const wchar_t* format, va_list args) {
  std::wstring buffer;
  for (size_t capacity = kInitialCapacity; capacity <= kMaxResultLength; capacity *= 2) {
    buffer.resize(capacity);
    va_list copy;
    va_copy(copy, args);
    const int length = _vsnwprintf(buffer.data(), capacity, format, copy);
    va_end(copy);
    // A result of exactly `capacity` characters is not terminated: grow once
    // more so that the text is known to be complete.
    if (length >= 0 && static_cast<size_t>(length) < capacity) {
      out->append(buffer.data(), static_cast<size_t>(length));
      return true;
    }
  }
  return false;
}

}  // namespace

bool AppendWindowsFormatV(std::wstring* out, const wchar_t* format, va_list args) {
  if (format == nullptr) return false;
  const size_t refused = FindRefusedConversion(format, args);
  if (refused == std::wstring::npos) return AppendFormatted(out, format, args);
  // The text before the refused conversion, as the POSIX layer leaves it.
  const std::wstring prefix(format, refused);
  AppendFormatted(out, prefix.c_str(), args);
  return false;
}

std::wstring FormatWindowsV(const wchar_t* format, va_list args) {
  std::wstring out;
  AppendWindowsFormatV(&out, format, args);
  return out;
}

}  // namespace platform
