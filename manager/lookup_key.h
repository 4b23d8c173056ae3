// Keys and the texts built from them: normalisation, LDAP filter escaping and
// the escaping of slashes in distinguished names for bind paths.
#ifndef USERPOLICY_MANAGER_LOOKUP_KEY_H_
#define USERPOLICY_MANAGER_LOOKUP_KEY_H_

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/atl_cstring.h"
#include "platform/exception.h"

// Keys and bind paths live in buffers of this many wide characters, search
// filters in buffers of kFilterBufferLength; longer texts are cut (the last
// element is set to zero), never refused.
inline constexpr size_t kKeyBufferLength = 520;
inline constexpr size_t kFilterBufferLength = 2048;

// The key as the cache, the in-flight table and the fetch see it: the first
// kKeyBufferLength - 1 characters of `key`, upper-cased (ASCII letters only).
// REQUIRES: key != nullptr.
std::wstring NormaliseKey(const wchar_t* key);
// The same, built in `buffer` without allocating; the view points into it.
std::wstring_view NormaliseKey(const wchar_t* key, wchar_t (&buffer)[kKeyBufferLength]);

// Orders normalised keys by their code units, as std::wstring compares them
// (wmemcmp, which compares many characters a step: distinguished names share
// long prefixes, and a hit compares the whole key twice), and finds a key by
// a view of it without building a string.
struct KeyLess {
  using is_transparent = void;
  bool operator()(std::wstring_view a, std::wstring_view b) const noexcept { return a.compare(b) < 0; }
};

// `key` with the LDAP filter metacharacters escaped, in this order:
// "\" -> "\5C", "(" -> "\28", ")" -> "\29", "*" -> "\2A", "/" -> "\2f".
// The backslash comes first so the escapes added later stay as they are.
CStringW EscapeFilterValue(const wchar_t* key);

// Makes `out` the first `length` characters of `text` with every "/"
// replaced by "\2f". Does nothing more when `text` is null.
void EscapeSlashes(const wchar_t* text, size_t length, OS::x_wstring& out);

#endif  // USERPOLICY_MANAGER_LOOKUP_KEY_H_
