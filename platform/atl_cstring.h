// CStringW: the ATL wide string class with the operations Windows code of
// this module uses. Our own implementation on every system (the mingw-w64
// toolchain has no ATL); formatting is platform::AppendWindowsFormatV's
// (platform/crt.h).
//
// A value type: copies are independent; distinct objects may be used on
// distinct threads, one object needs external synchronisation. The text
// never contains a null pointer: GetString() of an empty string is L"".
//
// As in ATL:
//  - comparisons (Compare, CompareNoCase, ==, <, ...) treat the text as a C
//    string (they stop at an embedded zero); a null pointer argument counts
//    as the empty string;
//  - CompareNoCase, MakeUpper and MakeLower fold ASCII letters only (the "C"
//    locale): L"\u00e9" stays L"\u00e9";
//  - Left/Mid/Right clamp out-of-range counts and positions instead of
//    failing; Find returns -1 when there is no match or the start is outside
//    the string;
//  - Format/AppendFormat take a Windows WIDE format (see FormatV).
// Where ATL would throw a CAtlException, this throws std::invalid_argument
// (bad format, negative length) or std::out_of_range (bad index); memory
// shortage is std::bad_alloc.
#ifndef USERPOLICY_PLATFORM_ATL_CSTRING_H_
#define USERPOLICY_PLATFORM_ATL_CSTRING_H_

#include <cstdarg>
#include <string>

class CStringW {
 public:
  typedef wchar_t XCHAR;
  typedef wchar_t* PXSTR;
  typedef const wchar_t* PCXSTR;

  CStringW() = default;
  CStringW(const wchar_t* psz);  // NOLINT: implicit as in ATL; null is empty
  // The first nLength characters of pch (zeros included).
  // REQUIRES: nLength >= 0; pch non-null if nLength > 0.
  CStringW(const wchar_t* pch, int nLength);
  // nRepeat copies of ch. REQUIRES: nRepeat >= 0.
  explicit CStringW(wchar_t ch, int nRepeat = 1);
  CStringW(const CStringW& that) = default;
  CStringW(CStringW&& that) noexcept = default;
  CStringW& operator=(const CStringW& that) = default;
  CStringW& operator=(CStringW&& that) noexcept = default;
  CStringW& operator=(const wchar_t* psz);
  CStringW& operator=(wchar_t ch);

  int GetLength() const noexcept { return static_cast<int>(text_.size()); }
  bool IsEmpty() const noexcept { return text_.empty(); }
  void Empty() noexcept { text_.clear(); }
  const wchar_t* GetString() const noexcept { return text_.c_str(); }
  operator const wchar_t*() const noexcept { return text_.c_str(); }  // NOLINT

  // REQUIRES: 0 <= iChar < GetLength().
  wchar_t GetAt(int iChar) const;
  wchar_t operator[](int iChar) const { return GetAt(iChar); }
  void SetAt(int iChar, wchar_t ch);

  CStringW& operator+=(const CStringW& str);
  CStringW& operator+=(const wchar_t* psz);
  CStringW& operator+=(wchar_t ch);
  void Append(const CStringW& str);
  void Append(const wchar_t* psz);
  // The first nLength characters of psz. REQUIRES: as for the constructor.
  void Append(const wchar_t* psz, int nLength);
  void AppendChar(wchar_t ch);

  // <0, 0 or >0 as wcscmp / the "C"-locale _wcsicmp (ASCII letters folded
  // to lower case).
  int Compare(const wchar_t* psz) const noexcept;
  int CompareNoCase(const wchar_t* psz) const noexcept;

  // Index of the first match at or after iStart, or -1. A null pszSub gives
  // -1; an empty one matches at iStart (if iStart <= GetLength()).
  int Find(wchar_t ch, int iStart = 0) const noexcept;
  int Find(const wchar_t* pszSub, int iStart = 0) const;

  // Replaces every non-overlapping occurrence of pszOld, scanning left to
  // right, by pszNew (null: remove them). Returns the number of
  // replacements; 0 (and no change) for a null or empty pszOld.
  int Replace(const wchar_t* pszOld, const wchar_t* pszNew);
  // Replaces every chOld by chNew; returns how many (0 when they are equal).
  int Replace(wchar_t chOld, wchar_t chNew);

  CStringW& MakeUpper() noexcept;
  CStringW& MakeLower() noexcept;

  // Substrings; counts and positions are clamped into the string.
  CStringW Left(int nCount) const;
  CStringW Mid(int iFirst) const;
  CStringW Mid(int iFirst, int nCount) const;
  CStringW Right(int nCount) const;

  // printf-style formatting with the Windows rules for WIDE formats
  // (platform::AppendWindowsFormatV; the details are in _snwprintf's comment
  // in platform/posix/crt_posix.h):
  //   %s %ls %ws %lS %wS   wide string (const wchar_t*)
  //   %S %hs %hS           narrow string (const char*, read as UTF-8)
  //   %c %lc %wc %lC %wC   wide character;  %C %hc %hC narrow character
  //   %d %i %u %o %x %X    int; with h short, hh char, l LONG (32 bits, as
  //                        a Windows long), ll or I64 64 bits, I32 32 bits,
  //                        I / z / t / j pointer-sized or intmax_t
  //   %e %E %f %F %g %G %a %A  double (L: long double), C locale
  //   %p                   pointer as 16 upper-case hexadecimal digits
  //   %%                   a percent sign
  // with the flags - + space # 0, width and precision (also *). A null
  // string argument prints "(null)". %n, unknown conversions and a width or
  // precision above 1048576 throw std::invalid_argument (ATL:
  // CAtlException(E_INVALIDARG)), as does a null format; the string is then
  // unchanged.
  void Format(const wchar_t* pszFormat, ...);
  void AppendFormat(const wchar_t* pszFormat, ...);
  void FormatV(const wchar_t* pszFormat, va_list args);
  void AppendFormatV(const wchar_t* pszFormat, va_list args);

  friend CStringW operator+(const CStringW& a, const CStringW& b) {
    CStringW r(a);
    r += b;
    return r;
  }
  friend CStringW operator+(const CStringW& a, const wchar_t* b) {
    CStringW r(a);
    r += b;
    return r;
  }
  friend CStringW operator+(const wchar_t* a, const CStringW& b) {
    CStringW r(a);
    r += b;
    return r;
  }
  friend CStringW operator+(const CStringW& a, wchar_t b) {
    CStringW r(a);
    r += b;
    return r;
  }
  friend CStringW operator+(wchar_t a, const CStringW& b) {
    CStringW r(a);
    r += b;
    return r;
  }

  friend bool operator==(const CStringW& a, const CStringW& b) noexcept {
    return a.Compare(b.GetString()) == 0;
  }
  friend bool operator==(const CStringW& a, const wchar_t* b) noexcept { return a.Compare(b) == 0; }
  friend bool operator==(const wchar_t* a, const CStringW& b) noexcept { return b.Compare(a) == 0; }
  friend bool operator!=(const CStringW& a, const CStringW& b) noexcept { return !(a == b); }
  friend bool operator!=(const CStringW& a, const wchar_t* b) noexcept { return !(a == b); }
  friend bool operator!=(const wchar_t* a, const CStringW& b) noexcept { return !(a == b); }
  friend bool operator<(const CStringW& a, const CStringW& b) noexcept {
    return a.Compare(b.GetString()) < 0;
  }
  friend bool operator>(const CStringW& a, const CStringW& b) noexcept { return b < a; }
  friend bool operator<=(const CStringW& a, const CStringW& b) noexcept { return !(b < a); }
  friend bool operator>=(const CStringW& a, const CStringW& b) noexcept { return !(a < b); }

 private:
  std::wstring text_;
};

#endif  // USERPOLICY_PLATFORM_ATL_CSTRING_H_
