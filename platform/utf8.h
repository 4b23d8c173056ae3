// UTF-8 and wide text: conversion both ways, and the checks that decide
// whether bytes from a server are text.
//
// Text that is plain ASCII (names, DNs and filters mostly are) converts by
// copying each code unit; the rest is decoded. Conversion never throws on
// bad data: invalid input (lone surrogates, values above U+10FFFF, malformed
// or overlong UTF-8) becomes U+FFFD, one per maximal invalid subsequence. A
// valid UTF-16 surrogate pair in wide input is combined into its code point.
// Wide text is UTF-32 where wchar_t has 32 bits (Linux) and UTF-16 where it
// has 16 (Windows): a character above U+FFFF is one code unit there and a
// surrogate pair here.
//
// Thread safety: pure functions.
#ifndef USERPOLICY_PLATFORM_UTF8_H_
#define USERPOLICY_PLATFORM_UTF8_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

// What invalid input becomes.
inline constexpr char32_t kReplacementCharacter = 0xFFFD;

std::string WideToUtf8(std::wstring_view text);
std::wstring Utf8ToWide(std::string_view text);

// Whether every code unit of `text` is below 0x80.
inline bool IsAscii(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}
inline bool IsAscii(std::wstring_view text) {
  for (wchar_t c : text) {
    if (static_cast<uint32_t>(c) >= 0x80) return false;
  }
  return true;
}

// The index of the first code unit of `text` that is not part of a valid
// Unicode character, or npos when there is none: a surrogate that is not
// half of a pair (on systems whose wchar_t is UTF-16; where it is UTF-32,
// every surrogate), or a value above U+10FFFF. Conversion to UTF-8 would
// turn such a unit into U+FFFD, so that different texts became one.
size_t FindInvalidCodeUnit(std::wstring_view text);

// Whether `text` is strict UTF-8: no overlong forms, no surrogates, nothing
// above U+10FFFF, no truncated sequence.
bool IsValidUtf8(std::string_view text);

// Whether `text` is something a person could read: valid UTF-8 without
// control characters other than tab, line feed and carriage return (and
// without DEL).
bool IsPrintableText(std::string_view text);

}  // namespace platform

#endif  // USERPOLICY_PLATFORM_UTF8_H_
