// COM and OLE Automation: BSTR, VARIANT, SAFEARRAY, the COM support classes
// (_bstr_t, _variant_t, _com_error) and per-thread COM initialisation.
//
// Code above the platform layer uses these exactly as on Windows. On Windows
// this header is the system headers themselves; elsewhere it is our own
// implementation under the same names, numbers and layouts (VARIANT is 24
// bytes, SAFEARRAY keeps its Windows fields and reversed bound order, the
// VARENUM values are the Windows ones).
//
// Ownership and threads follow Windows: a VARIANT owns its BSTR or SAFEARRAY
// and is released with VariantClear (or by _variant_t's destructor); a
// SAFEARRAY owns its BSTR and VARIANT elements; _bstr_t copies share one
// BSTR through an atomic reference count; nothing else is synchronised.
// CoInitializeEx/CoUninitialize keep a per-thread count.
//
// What differs from Windows, and what callers must therefore avoid relying on:
//  - wchar_t is 32 bits on Linux, so OLECHAR (= wchar_t) is a UTF-32 code
//    unit and a BSTR's length prefix counts bytes of 4-byte units
//    (SysStringByteLen == 4 * SysStringLen). Never hard-code 2 for
//    sizeof(OLECHAR).
//  - Narrow text (_bstr_t/_variant_t from const char*, _bstr_t's
//    operator const char*) is UTF-8 here and the ANSI code page on Windows:
//    pass only ASCII through the narrow interfaces, or use wide strings.
//  - `long` is 64 bits on Linux. _variant_t treats `long`/`unsigned long` as
//    the 32-bit Windows types (VT_I4/VT_UI4, low 32 bits kept). int64_t and
//    size_t are `long` on Linux and `long long` on Windows, so never hand
//    them to _variant_t; use __int64 / unsigned __int64 (long long).
//  - Not provided: IUnknown, IDispatch, DECIMAL, VT_RECORD and interface
//    pointers in variants; any such VARTYPE is refused with
//    DISP_E_BADVARTYPE (VariantCopy, VariantClear, VariantChangeType,
//    SafeArrayCreate returns null). VT_BYREF variants are copied and cleared
//    as on Windows (the reference, never the target) and are dereferenced as
//    the source of VariantChangeType.
//  - VariantChangeType ignores the locale: text is C-locale decimal (optional
//    blanks and sign, digits, optional fraction and exponent; no thousands
//    separators, no "&H" hexadecimal). VT_R8 becomes text with 15 significant
//    digits and VT_R4 with 7 ("0.1", "1E+20"); VT_DATE does not convert to or
//    from text. VT_BOOL becomes "-1"/"0" as on Windows, "True"/"False" with
//    VARIANT_ALPHABOOL. VariantClear of a variant holding a locked array
//    returns DISP_E_ARRAYISLOCKED and leaves the variant unchanged.
//  - _com_error::ErrorMessage has English texts for the codes the module
//    uses, "Unknown error 0x8XXXXXXX" otherwise; Description() and Source()
//    are always empty. _com_error derives from nothing, as on Windows.
//  - _bstr_t compares a null string equal to an empty one in every case.
//  - _variant_t::operator== compares arrays and references by pointer.
#ifndef USERPOLICY_PLATFORM_COM_H_
#define USERPOLICY_PLATFORM_COM_H_

#if defined(_WIN32)
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <comdef.h>
#include <comutil.h>
#else
#include "platform/posix/com_posix.h"
#endif

#endif  // USERPOLICY_PLATFORM_COM_H_
