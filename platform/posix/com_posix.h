// OLE Automation values and the COM support classes for non-Windows builds.
// Included only through "platform/com.h"; see that header for the contract
// and for what differs from Windows.
//
// Everything here carries its Windows name, numbers and layout:
//  - BSTR and the Sys*String functions,
//  - VARIANT, VariantInit/Clear/Copy/ChangeType(Ex),
//  - SAFEARRAY and the SafeArray* functions,
//  - _com_error, _com_issue_error, _bstr_t and _variant_t,
//  - CoInitializeEx/CoUninitialize, CoCreateGuid, StringFromGUID2 and
//    CoTaskMemAlloc/CoTaskMemFree.
//
// The shared library exports (USERPOLICY_PORT_EXPORT) what a host needs to
// use the values its interface takes and hands out: the three classes,
// _com_issue_error, and the BSTR, VARIANT and SAFEARRAY functions (a record's
// value may hold a string or an array of bytes). The COM runtime functions
// and _com_util::ConvertStringToBSTR serve the module itself and stay hidden:
// a host on this system has no COM to initialise.
#ifndef USERPOLICY_PLATFORM_POSIX_COM_POSIX_H_
#define USERPOLICY_PLATFORM_POSIX_COM_POSIX_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/export.h"
#include "platform/posix/types_posix.h"

// `__int64` is a compiler keyword on Windows and a macro in the mingw-w64
// headers; a macro (not a typedef) is what lets `unsigned __int64` compile.
#ifndef __int64
#define __int64 long long
#endif

// Base types ------------------------------------------------------------------

typedef wchar_t OLECHAR;
typedef OLECHAR* LPOLESTR;
typedef const OLECHAR* LPCOLESTR;
typedef OLECHAR* BSTR;
typedef BSTR* LPBSTR;
typedef uint16_t VARTYPE;
typedef int16_t VARIANT_BOOL;
typedef double DATE;
typedef DWORD LCID;
typedef const GUID& REFGUID;
typedef const GUID& REFIID;
typedef const GUID& REFCLSID;

#define VARIANT_TRUE ((VARIANT_BOOL)-1)
#define VARIANT_FALSE ((VARIANT_BOOL)0)

// A currency amount: a 64-bit integer scaled by 10,000.
union tagCY {
  struct {
    ULONG Lo;
    LONG Hi;
  };
  LONGLONG int64;
};
typedef tagCY CY;

// Locale identifiers. Accepted by the *Ex functions and otherwise ignored:
// conversions always use the C locale (see com.h).
#ifndef LOCALE_NEUTRAL
#define LOCALE_NEUTRAL 0x0000
#endif
#ifndef LOCALE_INVARIANT
#define LOCALE_INVARIANT 0x007F
#endif
#ifndef LOCALE_USER_DEFAULT
#define LOCALE_USER_DEFAULT 0x0400
#endif
#ifndef LOCALE_SYSTEM_DEFAULT
#define LOCALE_SYSTEM_DEFAULT 0x0800
#endif

#ifndef RPC_E_CHANGED_MODE
#define RPC_E_CHANGED_MODE ((HRESULT)0x80010106L)
#endif

// Variant types ---------------------------------------------------------------

enum VARENUM {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_CY = 6,
  VT_DATE = 7,
  VT_BSTR = 8,
  VT_DISPATCH = 9,
  VT_ERROR = 10,
  VT_BOOL = 11,
  VT_VARIANT = 12,
  VT_UNKNOWN = 13,
  VT_DECIMAL = 14,
  VT_I1 = 16,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_I8 = 20,
  VT_UI8 = 21,
  VT_INT = 22,
  VT_UINT = 23,
  VT_VOID = 24,
  VT_HRESULT = 25,
  VT_PTR = 26,
  VT_SAFEARRAY = 27,
  VT_CARRAY = 28,
  VT_USERDEFINED = 29,
  VT_LPSTR = 30,
  VT_LPWSTR = 31,
  VT_RECORD = 36,
  VT_INT_PTR = 37,
  VT_UINT_PTR = 38,
  VT_FILETIME = 64,
  VT_BLOB = 65,
  VT_CLSID = 72,
  VT_VECTOR = 0x1000,
  VT_ARRAY = 0x2000,
  VT_BYREF = 0x4000,
  VT_RESERVED = 0x8000,
  VT_ILLEGAL = 0xffff,
  VT_ILLEGALMASKED = 0x0fff,
  VT_TYPEMASK = 0x0fff
};

// VariantChangeType(Ex) flags. Only VARIANT_ALPHABOOL and VARIANT_LOCALBOOL
// change anything here (VT_BOOL to VT_BSTR gives "True"/"False").
#define VARIANT_NOVALUEPROP 0x01
#define VARIANT_ALPHABOOL 0x02
#define VARIANT_NOUSEROVERRIDE 0x04
#define VARIANT_LOCALBOOL 0x10

// SAFEARRAY -------------------------------------------------------------------

struct tagSAFEARRAYBOUND {
  ULONG cElements;
  LONG lLbound;
};
typedef tagSAFEARRAYBOUND SAFEARRAYBOUND;
typedef tagSAFEARRAYBOUND* LPSAFEARRAYBOUND;

// The descriptor. rgsabound really holds cDims entries, stored in reverse:
// rgsabound[0] describes the LAST dimension, as on Windows; use
// SafeArrayGetLBound/GetUBound (dimension numbers start at 1) to read them.
struct tagSAFEARRAY {
  USHORT cDims;
  USHORT fFeatures;
  ULONG cbElements;
  ULONG cLocks;
  PVOID pvData;
  SAFEARRAYBOUND rgsabound[1];
};
typedef tagSAFEARRAY SAFEARRAY;
typedef tagSAFEARRAY* LPSAFEARRAY;

// fFeatures bits.
#define FADF_AUTO 0x0001
#define FADF_STATIC 0x0002
#define FADF_EMBEDDED 0x0004
#define FADF_FIXEDSIZE 0x0010
#define FADF_RECORD 0x0020
#define FADF_HAVEIID 0x0040
#define FADF_HAVEVARTYPE 0x0080
#define FADF_BSTR 0x0100
#define FADF_UNKNOWN 0x0200
#define FADF_DISPATCH 0x0400
#define FADF_VARIANT 0x0800
#define FADF_RESERVED 0xF008

// VARIANT ---------------------------------------------------------------------

// 24 bytes, laid out as on 64-bit Windows. The union has the Windows member
// names for every type this implementation stores; interface pointers and
// DECIMAL are not provided.
struct tagVARIANT {
  VARTYPE vt;
  WORD wReserved1;
  WORD wReserved2;
  WORD wReserved3;
  union {
    LONGLONG llVal;
    LONG lVal;
    BYTE bVal;
    SHORT iVal;
    FLOAT fltVal;
    DOUBLE dblVal;
    VARIANT_BOOL boolVal;
    SCODE scode;
    CY cyVal;
    DATE date;
    BSTR bstrVal;
    SAFEARRAY* parray;
    BYTE* pbVal;
    SHORT* piVal;
    LONG* plVal;
    LONGLONG* pllVal;
    FLOAT* pfltVal;
    DOUBLE* pdblVal;
    VARIANT_BOOL* pboolVal;
    SCODE* pscode;
    CY* pcyVal;
    DATE* pdate;
    BSTR* pbstrVal;
    SAFEARRAY** pparray;
    tagVARIANT* pvarVal;
    PVOID byref;
    CHAR cVal;
    USHORT uiVal;
    ULONG ulVal;
    ULONGLONG ullVal;
    INT intVal;
    UINT uintVal;
    CHAR* pcVal;
    USHORT* puiVal;
    ULONG* pulVal;
    ULONGLONG* pullVal;
    INT* pintVal;
    UINT* puintVal;
    struct {  // VT_RECORD; present so the union has its Windows size
      PVOID pvRecord;
      PVOID pRecInfo;
    };
  };
};
typedef tagVARIANT VARIANT;
typedef tagVARIANT VARIANTARG;
typedef tagVARIANT* LPVARIANT;
typedef tagVARIANT* LPVARIANTARG;
static_assert(sizeof(VARIANT) == 24, "VARIANT is 24 bytes as on 64-bit Windows");
static_assert(sizeof(SAFEARRAY) == 32, "SAFEARRAY is 32 bytes as on 64-bit Windows");

// Accessor macros of <oleauto.h>.
#define V_VT(X) ((X)->vt)
#define V_ISBYREF(X) (V_VT(X) & VT_BYREF)
#define V_ISARRAY(X) (V_VT(X) & VT_ARRAY)
#define V_I1(X) ((X)->cVal)
#define V_I2(X) ((X)->iVal)
#define V_I4(X) ((X)->lVal)
#define V_I8(X) ((X)->llVal)
#define V_UI1(X) ((X)->bVal)
#define V_UI2(X) ((X)->uiVal)
#define V_UI4(X) ((X)->ulVal)
#define V_UI8(X) ((X)->ullVal)
#define V_INT(X) ((X)->intVal)
#define V_UINT(X) ((X)->uintVal)
#define V_R4(X) ((X)->fltVal)
#define V_R8(X) ((X)->dblVal)
#define V_CY(X) ((X)->cyVal)
#define V_DATE(X) ((X)->date)
#define V_BSTR(X) ((X)->bstrVal)
#define V_BOOL(X) ((X)->boolVal)
#define V_ERROR(X) ((X)->scode)
#define V_ARRAY(X) ((X)->parray)
#define V_BYREF(X) ((X)->byref)
#define V_VARIANTREF(X) ((X)->pvarVal)

// BSTR ------------------------------------------------------------------------
// All functions may be called from any thread. A BSTR is owned by whoever
// allocated it until passed to SysFreeString (or to an owner such as a
// VARIANT, a SAFEARRAY or _bstr_t::Attach).

// A copy of the zero-terminated `psz`; null if psz is null or memory is short.
USERPOLICY_PORT_EXPORT BSTR SysAllocString(const OLECHAR* psz);
// A string of `len` characters copied from `psz`, which may hold zeros; if psz
// is null the characters are zero. Null if memory is short or len is too big.
USERPOLICY_PORT_EXPORT BSTR SysAllocStringLen(const OLECHAR* psz, UINT len);
// A string whose storage holds `len` BYTES copied from `psz` (zeros if psz is
// null), followed by a zero character. SysStringLen is len / sizeof(OLECHAR).
USERPOLICY_PORT_EXPORT BSTR SysAllocStringByteLen(LPCSTR psz, UINT len);
// Replaces *pbstr by a copy of psz (which may point into *pbstr) and frees the
// old string. Returns FALSE, leaving *pbstr unchanged, if pbstr is null or
// memory is short.
USERPOLICY_PORT_EXPORT INT SysReAllocString(BSTR* pbstr, const OLECHAR* psz);
USERPOLICY_PORT_EXPORT INT SysReAllocStringLen(BSTR* pbstr, const OLECHAR* psz, UINT len);
// Frees `bstr`; null is ignored. REQUIRES: bstr came from a Sys*String call.
USERPOLICY_PORT_EXPORT void SysFreeString(BSTR bstr);
// Length in characters (excluding the terminator); 0 for null.
USERPOLICY_PORT_EXPORT UINT SysStringLen(BSTR bstr);
// Length in bytes (excluding the terminator); 0 for null.
USERPOLICY_PORT_EXPORT UINT SysStringByteLen(BSTR bstr);

// VARIANT functions -----------------------------------------------------------
// A VARIANT owns its BSTR or SAFEARRAY (not what a VT_BYREF one points to).
// Callers synchronise access to one VARIANT; distinct VARIANTs are independent.
//
// Supported types: VT_EMPTY, VT_NULL, VT_I1, VT_I2, VT_I4, VT_I8, VT_UI1,
// VT_UI2, VT_UI4, VT_UI8, VT_INT, VT_UINT, VT_R4, VT_R8, VT_CY, VT_DATE,
// VT_BSTR, VT_ERROR, VT_BOOL; VT_ARRAY of those (not VT_EMPTY/VT_NULL) or of
// VT_VARIANT; VT_BYREF of any of those and of VT_VARIANT. Any other type is
// refused with DISP_E_BADVARTYPE.

// Sets vt to VT_EMPTY (and zeroes the value) without releasing anything.
USERPOLICY_PORT_EXPORT void VariantInit(VARIANTARG* pvarg);
// Releases what the variant owns and sets it to VT_EMPTY. Returns
// DISP_E_ARRAYISLOCKED, leaving the variant as it was, if it holds a locked
// array; DISP_E_BADVARTYPE for an unsupported type; E_INVALIDARG for null.
USERPOLICY_PORT_EXPORT HRESULT VariantClear(VARIANTARG* pvarg);
// Clears *pvargDest, then makes it a deep copy of *pvargSrc (strings and
// arrays duplicated; VT_BYREF copies the reference). On failure the
// destination is VT_EMPTY, except that nothing changes when the source type
// is unsupported or the destination cannot be cleared. Copying a variant onto
// itself does nothing.
USERPOLICY_PORT_EXPORT HRESULT VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc);
// Converts *pvarSrc to type `vt` into *pvargDest (which may be pvarSrc).
// Numbers, VT_BOOL, VT_CY, VT_DATE, VT_EMPTY and VT_BSTR convert to each other
// as on Windows: integers out of range and text that is not a number give
// DISP_E_OVERFLOW / DISP_E_TYPEMISMATCH; reals round half to even; VT_BOOL is
// -1/0 as a number and "-1"/"0" as text unless `wFlags` has VARIANT_ALPHABOOL
// or VARIANT_LOCALBOOL ("True"/"False"); text to VT_BOOL accepts "True" and
// "False" in any letter case and numbers. Arrays convert only to their own
// type. VT_DATE does not convert to or from text (DISP_E_TYPEMISMATCH).
// On failure the destination is unchanged.
USERPOLICY_PORT_EXPORT HRESULT VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, USHORT wFlags,
                          VARTYPE vt);
// As VariantChangeType; `lcid` is ignored (text is always C-locale decimal).
USERPOLICY_PORT_EXPORT HRESULT VariantChangeTypeEx(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, LCID lcid,
                            USHORT wFlags, VARTYPE vt);

// SAFEARRAY functions ---------------------------------------------------------
// Element types: VT_I1, VT_UI1, VT_I2, VT_UI2, VT_I4, VT_UI4, VT_INT, VT_UINT,
// VT_I8, VT_UI8, VT_R4, VT_R8, VT_CY, VT_DATE, VT_ERROR, VT_BOOL, VT_BSTR and
// VT_VARIANT. An array owns its BSTR and VARIANT elements. The lock count is
// atomic; everything else about one array is synchronised by the caller.
// Indices (rgIndices) list the dimensions in the order they were given to
// SafeArrayCreate; the first dimension varies fastest in memory.

// A zero-filled array; null for an unsupported type, zero dimensions, bounds
// whose upper end overflows LONG, or memory shortage.
USERPOLICY_PORT_EXPORT SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND* rgsabound);
USERPOLICY_PORT_EXPORT SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements);
// Releases the elements and the array. S_OK for null; DISP_E_ARRAYISLOCKED
// (nothing released) while locked.
USERPOLICY_PORT_EXPORT HRESULT SafeArrayDestroy(SAFEARRAY* psa);
// A deep copy into *ppsaOut (null for a null psa). E_INVALIDARG if ppsaOut is
// null, E_OUTOFMEMORY on shortage (then *ppsaOut is null).
USERPOLICY_PORT_EXPORT HRESULT SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** ppsaOut);
// Lock count. At most 65535 locks (E_UNEXPECTED beyond); unlocking an
// unlocked array gives E_UNEXPECTED.
USERPOLICY_PORT_EXPORT HRESULT SafeArrayLock(SAFEARRAY* psa);
USERPOLICY_PORT_EXPORT HRESULT SafeArrayUnlock(SAFEARRAY* psa);
// Locks the array and returns its data; pair with SafeArrayUnaccessData.
USERPOLICY_PORT_EXPORT HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData);
USERPOLICY_PORT_EXPORT HRESULT SafeArrayUnaccessData(SAFEARRAY* psa);
// Bounds of dimension nDim (1-based). DISP_E_BADINDEX for a bad nDim.
USERPOLICY_PORT_EXPORT HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound);
USERPOLICY_PORT_EXPORT HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound);
// Dimension count and element size; 0 for null.
USERPOLICY_PORT_EXPORT UINT SafeArrayGetDim(SAFEARRAY* psa);
USERPOLICY_PORT_EXPORT UINT SafeArrayGetElemsize(SAFEARRAY* psa);
USERPOLICY_PORT_EXPORT HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt);
// Address of an element without locking. DISP_E_BADINDEX out of bounds.
USERPOLICY_PORT_EXPORT HRESULT SafeArrayPtrOfIndex(SAFEARRAY* psa, LONG* rgIndices, void** ppvData);
// Copies an element out: for VT_BSTR `pv` is a BSTR* that receives a new copy,
// for VT_VARIANT a VARIANT* that receives a copy (its old content is NOT
// released), otherwise a pointer to a value of the element type.
USERPOLICY_PORT_EXPORT HRESULT SafeArrayGetElement(SAFEARRAY* psa, LONG* rgIndices, void* pv);
// Copies a value in, releasing the old element: for VT_BSTR `pv` is the BSTR
// itself, for VT_VARIANT a VARIANT*, otherwise a pointer to the value.
USERPOLICY_PORT_EXPORT HRESULT SafeArrayPutElement(SAFEARRAY* psa, LONG* rgIndices, void* pv);

// COM runtime -----------------------------------------------------------------
// For the module's own use; not exported from the shared library.

enum tagCOINIT {
  COINIT_APARTMENTTHREADED = 0x2,
  COINIT_MULTITHREADED = 0x0,
  COINIT_DISABLE_OLE1DDE = 0x4,
  COINIT_SPEED_OVER_MEMORY = 0x8
};
typedef tagCOINIT COINIT;

// Per-thread initialisation count. The first call on a thread returns S_OK,
// later ones S_FALSE; a call asking for the other concurrency model than the
// thread's first returns RPC_E_CHANGED_MODE and does not count. pvReserved
// must be null (E_INVALIDARG otherwise).
HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
HRESULT CoInitialize(LPVOID pvReserved);
// Undoes one successful CoInitialize(Ex) of this thread; extra calls are
// harmless.
void CoUninitialize();
// A random (version 4) GUID. E_INVALIDARG for null, E_FAIL if the system has
// no randomness to give.
HRESULT CoCreateGuid(GUID* pguid);
// Writes "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (upper-case hexadecimal) and
// returns the characters written including the terminator (39), or 0 if
// cchMax is smaller than that.
int StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax);
// malloc-like allocation for memory handed between components.
LPVOID CoTaskMemAlloc(SIZE_T cb);
void CoTaskMemFree(LPVOID pv);

// COM support classes ---------------------------------------------------------

class _bstr_t;
class _variant_t;

// Raises `hr` as a _com_error. Every failure of _bstr_t and _variant_t goes
// through here, as on Windows.
[[noreturn]] USERPOLICY_PORT_EXPORT void _com_issue_error(HRESULT hr);

// An HRESULT as an exception. Thrown by value by _com_issue_error; like the
// Windows class it derives from nothing (catch it by name). A value: copies
// are independent and may be used on any thread.
class USERPOLICY_PORT_EXPORT _com_error {
 public:
  explicit _com_error(HRESULT hr) noexcept;
  _com_error(const _com_error& that) noexcept = default;
  _com_error& operator=(const _com_error& that) noexcept = default;
  virtual ~_com_error() = default;

  HRESULT Error() const noexcept { return hr_; }
  // The IDispatch exception code for an HRESULT in 0x80040200..0x8004FFFF,
  // else 0.
  WORD WCode() const noexcept { return HRESULTToWCode(hr_); }
  // The system text for the code without trailing line break, e.g.
  // L"Unspecified error" for E_FAIL; L"IDispatch error #n" for WCode() n != 0;
  // L"Unknown error 0x8XXXXXXX" for a code without text. Valid while this
  // object lives.
  const wchar_t* ErrorMessage() const noexcept;
  // No rich error information exists here: both are null strings.
  _bstr_t Description() const;
  _bstr_t Source() const;

  static HRESULT WCodeToHRESULT(WORD wCode) noexcept;
  static WORD HRESULTToWCode(HRESULT hr) noexcept;

 private:
  static constexpr size_t kFormattedCapacity = 32;

  HRESULT hr_;
  const wchar_t* fixed_message_;              // static text, or null
  wchar_t formatted_[kFormattedCapacity];  // used when fixed_message_ is null
};

namespace _com_util {
// Raises hr through _com_issue_error if it is a failure code.
inline void CheckError(HRESULT hr) {
  if (FAILED(hr)) _com_issue_error(hr);
}
// A new BSTR holding the UTF-8 text `s` decoded (invalid sequences become
// U+FFFD); null for null. Raises E_OUTOFMEMORY through _com_issue_error.
BSTR ConvertStringToBSTR(const char* s);
}  // namespace _com_util

// A BSTR with shared, reference-counted ownership, as Microsoft's _bstr_t:
// copies share one BSTR (the count is atomic, so copies may be made and
// destroyed on different threads at once), copy() makes an independent BSTR.
// One _bstr_t object is not synchronised: do not modify it while another
// thread uses it. A default-constructed _bstr_t holds nothing; it compares
// equal to an empty string and converts to a null pointer.
// Narrow text is UTF-8 here (the system's ANSI code page on Windows).
// Allocation failure raises E_OUTOFMEMORY through _com_issue_error.
class USERPOLICY_PORT_EXPORT _bstr_t {
 public:
  _bstr_t() noexcept;
  _bstr_t(const _bstr_t& s) noexcept;
  _bstr_t(_bstr_t&& s) noexcept;
  _bstr_t(const char* s);     // NOLINT: implicit as on Windows
  _bstr_t(const wchar_t* s);  // NOLINT
  _bstr_t(const _variant_t& var);  // NOLINT: converts to VT_BSTR
  // fCopy: copy `bstr` (embedded zeros kept); otherwise take ownership of it.
  _bstr_t(BSTR bstr, bool fCopy);
  ~_bstr_t();

  _bstr_t& operator=(const _bstr_t& s) noexcept;
  _bstr_t& operator=(_bstr_t&& s) noexcept;
  _bstr_t& operator=(const char* s);
  _bstr_t& operator=(const wchar_t* s);
  _bstr_t& operator=(const _variant_t& var);

  // Concatenation makes a new BSTR; other copies keep the old text.
  _bstr_t& operator+=(const _bstr_t& s);
  _bstr_t operator+(const _bstr_t& s) const;
  friend _bstr_t operator+(const char* s1, const _bstr_t& s2);
  friend _bstr_t operator+(const wchar_t* s1, const _bstr_t& s2);

  // The shared BSTR (null if none). Writing through operator wchar_t* changes
  // every copy, as on Windows.
  operator const wchar_t*() const noexcept { return data_ ? data_->wide() : nullptr; }
  operator wchar_t*() const noexcept { return data_ ? data_->wide() : nullptr; }
  // A UTF-8 copy kept with the shared data (built on first use); null if
  // there is no BSTR. Valid until the last copy is destroyed or modified.
  operator const char*() const;
  operator char*() const;

  // True if there is no BSTR (an empty string is not "!").
  bool operator!() const noexcept;
  // Code-unit order with embedded zeros counted; null equals empty. Compare
  // _bstr_t with _bstr_t: mixed comparisons with pointers are ambiguous with
  // the Windows headers too.
  bool operator==(const _bstr_t& str) const noexcept;
  bool operator!=(const _bstr_t& str) const noexcept;
  bool operator<(const _bstr_t& str) const noexcept;
  bool operator>(const _bstr_t& str) const noexcept;
  bool operator<=(const _bstr_t& str) const noexcept;
  bool operator>=(const _bstr_t& str) const noexcept;

  // fCopy: a new BSTR the caller frees (null if none); otherwise the shared
  // BSTR itself, still owned by this object.
  BSTR copy(bool fCopy = true) const;
  unsigned int length() const noexcept;
  // Replaces the content by a copy of `s`, unless s already is our BSTR.
  void Assign(BSTR s);
  // The shared BSTR variable (created, null, if there is none): changing it
  // changes every copy. Drops the cached UTF-8 copy.
  BSTR& GetBSTR();
  // Releases the content and returns the address of a fresh null BSTR for an
  // out-parameter.
  BSTR* GetAddress();
  // Releases the content and takes ownership of `s`.
  // REQUIRES: s is not the BSTR this object already holds.
  void Attach(BSTR s);
  // Gives up the BSTR to the caller, leaving this empty. REQUIRES: no other
  // copy shares it (raises E_POINTER otherwise), as on Windows.
  BSTR Detach();

 private:
  // The part all copies share: the BSTR and its UTF-8 copy, built on first
  // use (atomically, so copies on different threads may ask at once).
  // Reached only through _bstr_t's members, so it stays hidden although the
  // class is exported.
  class __attribute__((visibility("hidden"))) Data {
   public:
    explicit Data(BSTR owned) noexcept : wide_(owned) {}
    Data(const Data&) = delete;
    Data& operator=(const Data&) = delete;
    ~Data();

    BSTR& wide() noexcept { return wide_; }
    // The UTF-8 copy; null if there is no BSTR. Raises E_OUTOFMEMORY.
    char* Narrow();
    // Forgets the UTF-8 copy (the BSTR is about to change).
    void DropNarrow() noexcept;

   private:
    BSTR wide_;
    std::atomic<char*> narrow_{nullptr};
  };

  // Wraps `owned` in new shared data; raises E_OUTOFMEMORY.
  __attribute__((visibility("hidden"))) static std::shared_ptr<Data> Wrap(BSTR owned);
  // Three-way comparison of the texts.
  __attribute__((visibility("hidden"))) int Compare(const _bstr_t& str) const noexcept;

  std::shared_ptr<Data> data_;
};

// The friends above, declared here too so that they are exported with the
// class (a friend declaration does not take the class's visibility).
USERPOLICY_PORT_EXPORT _bstr_t operator+(const char* s1, const _bstr_t& s2);
USERPOLICY_PORT_EXPORT _bstr_t operator+(const wchar_t* s1, const _bstr_t& s2);

// A VARIANT that releases its value when destroyed, as Microsoft's
// _variant_t. Copies are deep (VariantCopy). Constructors and assignments
// from a C++ value give the VARTYPE of that C++ type on 64-bit Windows:
//   short VT_I2, long VT_I4, unsigned long VT_UI4, int VT_INT,
//   unsigned int VT_UINT, __int64 (long long) VT_I8, unsigned __int64 VT_UI8,
//   float VT_R4, double VT_R8, bool VT_BOOL, BYTE VT_UI1, char VT_I1,
//   unsigned short VT_UI2, CY VT_CY, strings VT_BSTR.
// `long` and `unsigned long` are 32 bits on Windows: their low 32 bits are
// stored, as a Windows long would hold them. So pass 64-bit values as
// __int64 / long long (int64_t and size_t are `long` here).
// Extractors (operator short, long, ...) convert with VariantChangeType and
// raise its failure through _com_issue_error. Not synchronised.
class USERPOLICY_PORT_EXPORT _variant_t : public tagVARIANT {
 public:
  _variant_t() noexcept;
  _variant_t(const VARIANT& varSrc);   // NOLINT: implicit as on Windows
  _variant_t(const VARIANT* pSrc);     // NOLINT; null raises E_POINTER
  _variant_t(const _variant_t& varSrc);
  _variant_t(_variant_t&& varSrc) noexcept;  // leaves varSrc VT_EMPTY
  // fCopy: deep copy; otherwise take over varSrc, which becomes VT_EMPTY.
  _variant_t(VARIANT& varSrc, bool fCopy);
  // vtSrc: VT_I2 or VT_BOOL (anything else raises E_INVALIDARG).
  _variant_t(short sSrc, VARTYPE vtSrc = VT_I2);  // NOLINT
  // vtSrc: VT_I4, VT_ERROR or VT_BOOL.
  _variant_t(long lSrc, VARTYPE vtSrc = VT_I4);  // NOLINT
  _variant_t(float fltSrc) noexcept;             // NOLINT
  // vtSrc: VT_R8 or VT_DATE.
  _variant_t(double dblSrc, VARTYPE vtSrc = VT_R8);  // NOLINT
  _variant_t(const CY& cySrc) noexcept;              // NOLINT
  _variant_t(const _bstr_t& bstrSrc);                // NOLINT; copies the text
  _variant_t(const wchar_t* pSrc);                   // NOLINT; null: null BSTR
  _variant_t(const char* pSrc);                      // NOLINT; UTF-8
  _variant_t(bool boolSrc) noexcept;                 // NOLINT
  _variant_t(BYTE bSrc) noexcept;                    // NOLINT
  _variant_t(char cSrc) noexcept;                    // NOLINT
  _variant_t(unsigned short usSrc) noexcept;         // NOLINT
  _variant_t(unsigned long ulSrc) noexcept;          // NOLINT
  _variant_t(int iSrc) noexcept;                     // NOLINT
  _variant_t(unsigned int uiSrc) noexcept;           // NOLINT
  _variant_t(__int64 i8Src) noexcept;                // NOLINT
  _variant_t(unsigned __int64 ui8Src) noexcept;      // NOLINT
  ~_variant_t();

  _variant_t& operator=(const VARIANT& varSrc);
  _variant_t& operator=(const VARIANT* pSrc);
  _variant_t& operator=(const _variant_t& varSrc);
  _variant_t& operator=(_variant_t&& varSrc) noexcept;
  // short and long keep a current VT_BOOL (and long a VT_ERROR), double a
  // current VT_DATE, as on Windows; otherwise the type becomes the type of
  // the C++ value.
  _variant_t& operator=(short sSrc);
  _variant_t& operator=(long lSrc);
  _variant_t& operator=(float fltSrc);
  _variant_t& operator=(double dblSrc);
  _variant_t& operator=(const CY& cySrc);
  _variant_t& operator=(const _bstr_t& bstrSrc);
  _variant_t& operator=(const wchar_t* pSrc);
  _variant_t& operator=(const char* pSrc);
  _variant_t& operator=(bool boolSrc);
  _variant_t& operator=(BYTE bSrc);
  _variant_t& operator=(char cSrc);
  _variant_t& operator=(unsigned short usSrc);
  _variant_t& operator=(unsigned long ulSrc);
  _variant_t& operator=(int iSrc);
  _variant_t& operator=(unsigned int uiSrc);
  _variant_t& operator=(__int64 i8Src);
  _variant_t& operator=(unsigned __int64 ui8Src);

  // Same type and value. Strings compare by content (embedded zeros
  // included), arrays and VT_BYREF by pointer, reals with ==. The
  // _variant_t overloads keep `a == b` unambiguous under C++20's reversed
  // operator rules.
  bool operator==(const VARIANT& varSrc) const noexcept;
  bool operator==(const VARIANT* pSrc) const noexcept;
  bool operator==(const _variant_t& varSrc) const noexcept;
  bool operator!=(const VARIANT& varSrc) const noexcept;
  bool operator!=(const VARIANT* pSrc) const noexcept;
  bool operator!=(const _variant_t& varSrc) const noexcept;

  // Extractors: the value converted to the C++ type's VARTYPE (see above;
  // operator long goes through VT_I4).
  operator short() const;
  operator long() const;
  operator float() const;
  operator double() const;
  operator CY() const;
  operator _bstr_t() const;
  operator bool() const;
  operator BYTE() const;
  operator char() const;
  operator unsigned short() const;
  operator unsigned long() const;
  operator int() const;
  operator unsigned int() const;
  operator __int64() const;
  operator unsigned __int64() const;

  // Releases the value (VT_EMPTY); raises VariantClear's failure.
  void Clear();
  // Releases the value and takes over varSrc, which becomes VT_EMPTY.
  void Attach(VARIANT& varSrc);
  // Hands the value to the caller and leaves this VT_EMPTY.
  VARIANT Detach() noexcept;
  VARIANT& GetVARIANT() noexcept { return *this; }
  // Releases the value and returns this as an out-parameter.
  VARIANT* GetAddress();
  // Converts in place (pSrc null) or from *pSrc; raises the failure (this is
  // then unchanged).
  void ChangeType(VARTYPE vartype, const _variant_t* pSrc = nullptr);
  void SetString(const char* pSrc);

 private:
  // If vt is not `type`: releases the value (raising failures) and sets vt
  // to `type`.
  __attribute__((visibility("hidden"))) void Reset(VARTYPE type);
};

#endif  // USERPOLICY_PLATFORM_POSIX_COM_POSIX_H_
