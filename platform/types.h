// Windows base types, result codes and a few structures (GUID, FILETIME,
// SYSTEMTIME) under their Windows names.
//
// Code above the platform layer is written as for 64-bit Windows and includes
// this header instead of <windows.h>. On Windows it is <windows.h> itself; on
// other systems it is a small set of definitions with the same names, sizes
// and values, so that no other file needs to know which one it got.
//
// Where the two differ, and why callers do not notice:
//  - wchar_t is 32 bits on Linux and 16 bits on Windows. Every wide string in
//    the module is text (attribute names, directory values, formats); nothing
//    depends on the width of a code unit, and bytes that cross a process
//    boundary are converted to UTF-8 by the layer that writes them (the log).
//  - `long` is 64 bits on Linux. The Windows 32-bit `LONG`/`ULONG`/`DWORD`
//    and `HRESULT` are therefore defined on fixed-width types, never on `long`.
//    One consequence: `LONG` is `int` here but a distinct `long` on Windows,
//    so an overload chosen by type (for example the _variant_t constructor,
//    VT_INT for int and VT_I4 for long) can differ. Code that builds typed
//    values says the variant type explicitly instead of relying on LONG.
//    LONGLONG and friends are `long long` on both.
#ifndef USERPOLICY_PLATFORM_TYPES_H_
#define USERPOLICY_PLATFORM_TYPES_H_

#if defined(_WIN32)
#include <windows.h>
#else
#include "platform/posix/types_posix.h"
#endif

#endif  // USERPOLICY_PLATFORM_TYPES_H_
