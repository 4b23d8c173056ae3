// ASCII character classes and case folding, for narrow and wide text.
//
// Only the 26 ASCII letters fold; every other code unit (non-ASCII letters
// such as U+00C4 or U+00DF included) is left as it is, whatever the
// process's locale. That is how the Windows "C" locale folds (_wcsicmp,
// _wcsupr), and how LDAP compares keywords, attribute names and schemes.
//
// Thread safety: pure functions.
#ifndef USERPOLICY_PLATFORM_ASCII_H_
#define USERPOLICY_PLATFORM_ASCII_H_

#include <string>
#include <string_view>

namespace platform {

// `c` with an ASCII capital made small; other characters unchanged.
template <class Char>
constexpr Char AsciiToLower(Char c) {
  return c >= Char('A') && c <= Char('Z') ? static_cast<Char>(c - Char('A') + Char('a')) : c;
}

// `c` with an ASCII small letter made capital; other characters unchanged.
template <class Char>
constexpr Char AsciiToUpper(Char c) {
  return c >= Char('a') && c <= Char('z') ? static_cast<Char>(c - Char('a') + Char('A')) : c;
}

// True for 0-9, A-Z and a-z.
template <class Char>
constexpr bool IsAsciiAlphanumeric(Char c) {
  return (c >= Char('0') && c <= Char('9')) || (c >= Char('a') && c <= Char('z')) ||
         (c >= Char('A') && c <= Char('Z'));
}

// `text` with its ASCII capitals made small.
inline std::string AsciiLowercase(std::string_view text) {
  std::string folded(text);
  for (char& c : folded) c = AsciiToLower(c);
  return folded;
}
inline std::wstring AsciiLowercase(std::wstring_view text) {
  std::wstring folded(text);
  for (wchar_t& c : folded) c = AsciiToLower(c);
  return folded;
}

// Equality of two texts with ASCII letters compared without regard to case
// (other characters by code unit).
template <class Char>
constexpr bool EqualsIgnoringAsciiCase(std::basic_string_view<Char> a, std::basic_string_view<Char> b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiToLower(a[i]) != AsciiToLower(b[i])) return false;
  }
  return true;
}
inline bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  return EqualsIgnoringAsciiCase<char>(a, b);
}
inline bool EqualsIgnoringAsciiCase(std::wstring_view a, std::wstring_view b) {
  return EqualsIgnoringAsciiCase<wchar_t>(a, b);
}

// Whether `text` begins with `prefix`, ASCII letters compared without regard
// to case.
inline bool StartsWithIgnoringAsciiCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsIgnoringAsciiCase(text.substr(0, prefix.size()), prefix);
}
inline bool StartsWithIgnoringAsciiCase(std::wstring_view text, std::wstring_view prefix) {
  return text.size() >= prefix.size() && EqualsIgnoringAsciiCase(text.substr(0, prefix.size()), prefix);
}

}  // namespace platform

#endif  // USERPOLICY_PLATFORM_ASCII_H_
