// Windows C runtime string functions for non-Windows builds. Included only
// through "platform/crt.h"; the behaviour is the one the Microsoft CRT has in
// the "C" locale, with the differences noted here.
//
// wchar_t is 32 bits here and 16 bits on Windows: a character outside the
// Basic Multilingual Plane is one code unit here and a surrogate pair there,
// so lengths and counts of such text differ between the two. No caller
// depends on that (every limit in the module is far from a real string).
#ifndef USERPOLICY_PLATFORM_POSIX_CRT_POSIX_H_
#define USERPOLICY_PLATFORM_POSIX_CRT_POSIX_H_

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <cwchar>

// What the comparison functions return for a null argument (as the Microsoft
// CRT does after its invalid-parameter handler returns).
#ifndef _NLSCMPERROR
#define _NLSCMPERROR 2147483647
#endif

// Upper-/lower-cases the ASCII letters of `s` in place; every other code unit
// (including non-ASCII letters such as U+00DF or U+00E9) is left alone.
// Returns `s`.
wchar_t* _wcsupr(wchar_t* s);
wchar_t* _wcslwr(wchar_t* s);

// Case-insensitive comparison: folds A-Z to a-z, then compares by code unit.
// Returns <0, 0 or >0 (the difference of the first differing folded units),
// or _NLSCMPERROR when an argument is null. _wcsnicmp compares at most
// `count` units.
int _wcsicmp(const wchar_t* a, const wchar_t* b);
int _wcsnicmp(const wchar_t* a, const wchar_t* b, size_t count);
int _stricmp(const char* a, const char* b);
int _strnicmp(const char* a, const char* b, size_t count);

// Formats into `buffer` of `count` wide characters with the Windows rules:
//  - the result fits: written with a terminating zero, returns its length;
//  - it is exactly `count` characters: written WITHOUT a terminator, returns
//    `count`;
//  - it is longer: the first `count` characters are written, no terminator,
//    returns -1. Characters past `count` are never touched.
// With buffer == NULL and count == 0 returns the length the result needs.
// The format follows the Windows wide conventions: %s / %c take a wide
// string / character (%hs, %S, %hc, %C narrow ones; %ls, %ws, %lc, %wc wide
// ones); %ld, %lu, %lx take a 32-bit LONG/ULONG; %I64d / %I64u / %I64x and
// %lld take 64 bits, %I32d 32 bits, %Id / %Iu / %zu / %td pointer-sized
// values; %p prints 16 upper-case hex digits. A null string prints "(null)".
// The 0 flag pads strings and characters with zeros, as the Microsoft CRT
// does. Narrow strings and characters are UTF-8; invalid bytes print as
// U+FFFD. Returns -1 (buffer[0] = 0 when count > 0) for an invalid format:
// an unknown conversion, %n, or a width or precision above 1048576.
int _snwprintf(wchar_t* buffer, size_t count, const wchar_t* format, ...);
int _vsnwprintf(wchar_t* buffer, size_t count, const wchar_t* format, va_list args);

#endif  // USERPOLICY_PLATFORM_POSIX_CRT_POSIX_H_
