// _com_error, _com_issue_error, _bstr_t and _variant_t.
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "platform/com.h"
#include "platform/hex.h"
#include "platform/utf8.h"

namespace {

// IDispatch exception codes occupy this range of HRESULTs.
constexpr HRESULT kWCodeFirst = static_cast<HRESULT>(0x80040200);
constexpr HRESULT kWCodeLast = static_cast<HRESULT>(0x8004FFFF);
constexpr WORD kWCodeMax = 0xFE00;

struct ErrorText {
  HRESULT hr;
  const wchar_t* text;
};

// The system texts (without the trailing line break) of the codes the module
// can meet.
constexpr ErrorText kErrorTexts[] = {
    {S_OK, L"The operation completed successfully."},
    {S_FALSE, L"Incorrect function."},
    {E_UNEXPECTED, L"Catastrophic failure"},
    {E_NOTIMPL, L"Not implemented"},
    {E_OUTOFMEMORY, L"Not enough memory resources are available to complete this operation."},
    {E_INVALIDARG, L"The parameter is incorrect."},
    {E_NOINTERFACE, L"No such interface supported"},
    {E_POINTER, L"Invalid pointer"},
    {E_HANDLE, L"The handle is invalid."},
    {E_ABORT, L"Operation aborted"},
    {E_FAIL, L"Unspecified error"},
    {E_ACCESSDENIED, L"Access is denied."},
    {DISP_E_TYPEMISMATCH, L"Type mismatch."},
    {DISP_E_BADVARTYPE, L"Bad variable type."},
    {DISP_E_OVERFLOW, L"Out of present range."},
    {DISP_E_BADINDEX, L"Invalid index."},
    {DISP_E_ARRAYISLOCKED, L"Memory is locked."},
    {RPC_E_CHANGED_MODE, L"Cannot change thread mode after it is set."},
    {HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY),
     L"Not enough memory resources are available to process this command."},
    {HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER),
     L"The data area passed to a system call is too small."},
    {HRESULT_FROM_WIN32(ERROR_TIMEOUT),
     L"This operation returned because the timeout period expired."},
};

// Writes `prefix` followed by `digits` into `out` (capacity `capacity`).
void WriteMessage(wchar_t* out, size_t capacity, const wchar_t* prefix, const std::wstring& digits) {
  std::wstring text = prefix;
  text += digits;
  text.resize(std::min(text.size(), capacity - 1));
  std::wmemcpy(out, text.c_str(), text.size() + 1);
}

std::wstring UpperHex(uint32_t value) {
  std::wstring digits;
  do {
    digits.insert(digits.begin(), platform::UpperHexDigit<wchar_t>(value));
    value >>= 4;
  } while (value != 0);
  return digits;
}

// A malloc'ed zero-terminated UTF-8 copy of `length` wide characters (zeros
// included); null on memory shortage.
char* NarrowCopy(const wchar_t* text, size_t length) {
  std::string utf8;
  try {
    utf8 = platform::WideToUtf8(std::wstring_view(text, length));
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  char* out = static_cast<char*>(std::malloc(utf8.size() + 1));
  if (out == nullptr) return nullptr;
  std::memcpy(out, utf8.c_str(), utf8.size() + 1);
  return out;
}

BSTR CopyBstr(BSTR source) {
  if (source == nullptr) return nullptr;
  BSTR copy = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(source), SysStringByteLen(source));
  if (copy == nullptr) _com_issue_error(E_OUTOFMEMORY);
  return copy;
}

// The value of `v` converted to the non-text scalar type `vt`; raises the
// conversion failure.
VARIANT ConvertedScalar(const VARIANT& v, VARTYPE vt) {
  if (v.vt == vt) return v;
  VARIANT out;
  VariantInit(&out);
  _com_util::CheckError(VariantChangeType(&out, &v, 0, vt));
  return out;
}

}  // namespace

// _com_error ------------------------------------------------------------------

void _com_issue_error(HRESULT hr) { throw _com_error(hr); }

_com_error::_com_error(HRESULT hr) noexcept : hr_(hr), fixed_message_(nullptr), formatted_{} {
  const WORD wcode = HRESULTToWCode(hr);
  if (wcode != 0) {
    WriteMessage(formatted_, kFormattedCapacity, L"IDispatch error #", std::to_wstring(wcode));
    return;
  }
  for (const ErrorText& entry : kErrorTexts) {
    if (entry.hr == hr) {
      fixed_message_ = entry.text;
      return;
    }
  }
  WriteMessage(formatted_, kFormattedCapacity, L"Unknown error 0x",
               UpperHex(static_cast<uint32_t>(hr)));
}

const wchar_t* _com_error::ErrorMessage() const noexcept {
  return fixed_message_ != nullptr ? fixed_message_ : formatted_;
}

_bstr_t _com_error::Description() const { return _bstr_t(); }

_bstr_t _com_error::Source() const { return _bstr_t(); }

HRESULT _com_error::WCodeToHRESULT(WORD wCode) noexcept {
  return wCode >= kWCodeMax ? kWCodeLast : static_cast<HRESULT>(kWCodeFirst + wCode);
}

WORD _com_error::HRESULTToWCode(HRESULT hr) noexcept {
  return (hr >= kWCodeFirst && hr <= kWCodeLast) ? static_cast<WORD>(hr - kWCodeFirst) : 0;
}

BSTR _com_util::ConvertStringToBSTR(const char* s) {
  if (s == nullptr) return nullptr;
  const std::wstring wide = platform::Utf8ToWide(s);
  BSTR bstr = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
  if (bstr == nullptr) _com_issue_error(E_OUTOFMEMORY);
  return bstr;
}

// _bstr_t ---------------------------------------------------------------------

_bstr_t::Data::~Data() {
  SysFreeString(wide_);
  std::free(narrow_.load(std::memory_order_acquire));
}

char* _bstr_t::Data::Narrow() {
  char* cached = narrow_.load(std::memory_order_acquire);
  if (cached != nullptr || wide_ == nullptr) return cached;
  char* built = NarrowCopy(wide_, SysStringLen(wide_));
  if (built == nullptr) _com_issue_error(E_OUTOFMEMORY);
  if (narrow_.compare_exchange_strong(cached, built, std::memory_order_acq_rel, std::memory_order_acquire)) {
    return built;
  }
  std::free(built);  // another thread installed its copy first
  return cached;
}

void _bstr_t::Data::DropNarrow() noexcept { std::free(narrow_.exchange(nullptr, std::memory_order_acq_rel)); }

std::shared_ptr<_bstr_t::Data> _bstr_t::Wrap(BSTR owned) {
  try {
    return std::make_shared<Data>(owned);
  } catch (const std::bad_alloc&) {
    SysFreeString(owned);
    _com_issue_error(E_OUTOFMEMORY);
  }
}

_bstr_t::_bstr_t() noexcept = default;

_bstr_t::_bstr_t(const _bstr_t& s) noexcept = default;

_bstr_t::_bstr_t(_bstr_t&& s) noexcept = default;

_bstr_t::_bstr_t(const char* s) : data_(Wrap(_com_util::ConvertStringToBSTR(s))) {}

_bstr_t::_bstr_t(const wchar_t* s) {
  BSTR copy = SysAllocString(s);
  if (copy == nullptr && s != nullptr) _com_issue_error(E_OUTOFMEMORY);
  data_ = Wrap(copy);
}

_bstr_t::_bstr_t(const _variant_t& var) {
  if (var.vt == VT_BSTR) {
    data_ = Wrap(CopyBstr(var.bstrVal));
    return;
  }
  _variant_t text;
  text.ChangeType(VT_BSTR, &var);
  data_ = Wrap(text.bstrVal);
  text.bstrVal = nullptr;  // now owned by data_
  text.vt = VT_EMPTY;
}

_bstr_t::_bstr_t(BSTR bstr, bool fCopy) : data_(Wrap(fCopy ? CopyBstr(bstr) : bstr)) {}

_bstr_t::~_bstr_t() = default;

_bstr_t& _bstr_t::operator=(const _bstr_t& s) noexcept = default;

_bstr_t& _bstr_t::operator=(_bstr_t&& s) noexcept = default;

// Assignments build the new value first: the source may be our own text.
_bstr_t& _bstr_t::operator=(const char* s) { return *this = _bstr_t(s); }

_bstr_t& _bstr_t::operator=(const wchar_t* s) { return *this = _bstr_t(s); }

_bstr_t& _bstr_t::operator=(const _variant_t& var) { return *this = _bstr_t(var); }

_bstr_t& _bstr_t::operator+=(const _bstr_t& s) {
  const UINT left = length();
  const UINT right = s.length();
  UINT total;
  if (__builtin_add_overflow(left, right, &total)) _com_issue_error(E_OUTOFMEMORY);
  BSTR joined = SysAllocStringLen(nullptr, total);
  if (joined == nullptr) _com_issue_error(E_OUTOFMEMORY);
  if (left != 0) std::wmemcpy(joined, data_->wide(), left);
  if (right != 0) std::wmemcpy(joined + left, s.data_->wide(), right);
  data_ = Wrap(joined);
  return *this;
}

_bstr_t _bstr_t::operator+(const _bstr_t& s) const {
  _bstr_t result(*this);
  result += s;
  return result;
}

_bstr_t operator+(const char* s1, const _bstr_t& s2) {
  _bstr_t result(s1);
  result += s2;
  return result;
}

_bstr_t operator+(const wchar_t* s1, const _bstr_t& s2) {
  _bstr_t result(s1);
  result += s2;
  return result;
}

_bstr_t::operator const char*() const { return data_ ? data_->Narrow() : nullptr; }

_bstr_t::operator char*() const { return data_ ? data_->Narrow() : nullptr; }

bool _bstr_t::operator!() const noexcept { return !data_ || data_->wide() == nullptr; }

int _bstr_t::Compare(const _bstr_t& str) const noexcept {
  if (data_ == str.data_) return 0;
  const BSTR a = data_ ? data_->wide() : nullptr;
  const BSTR b = str.data_ ? str.data_->wide() : nullptr;
  const UINT la = SysStringLen(a);
  const UINT lb = SysStringLen(b);
  const UINT common = la < lb ? la : lb;
  for (UINT i = 0; i < common; ++i) {
    const uint32_t ca = static_cast<uint32_t>(a[i]);
    const uint32_t cb = static_cast<uint32_t>(b[i]);
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  return la < lb ? -1 : (la > lb ? 1 : 0);
}

bool _bstr_t::operator==(const _bstr_t& str) const noexcept { return Compare(str) == 0; }
bool _bstr_t::operator!=(const _bstr_t& str) const noexcept { return Compare(str) != 0; }
bool _bstr_t::operator<(const _bstr_t& str) const noexcept { return Compare(str) < 0; }
bool _bstr_t::operator>(const _bstr_t& str) const noexcept { return Compare(str) > 0; }
bool _bstr_t::operator<=(const _bstr_t& str) const noexcept { return Compare(str) <= 0; }
bool _bstr_t::operator>=(const _bstr_t& str) const noexcept { return Compare(str) >= 0; }

BSTR _bstr_t::copy(bool fCopy) const {
  if (!data_) return nullptr;
  return fCopy ? CopyBstr(data_->wide()) : data_->wide();
}

unsigned int _bstr_t::length() const noexcept { return data_ ? SysStringLen(data_->wide()) : 0; }

void _bstr_t::Assign(BSTR s) {
  if (s != nullptr && data_ && data_->wide() == s) return;
  *this = _bstr_t(s, true);
}

BSTR& _bstr_t::GetBSTR() {
  if (!data_) data_ = Wrap(nullptr);
  data_->DropNarrow();
  return data_->wide();
}

BSTR* _bstr_t::GetAddress() {
  Attach(nullptr);
  return &data_->wide();
}

void _bstr_t::Attach(BSTR s) { data_ = Wrap(s); }

BSTR _bstr_t::Detach() {
  if (!data_ || data_.use_count() != 1) _com_issue_error(E_POINTER);
  const BSTR detached = data_->wide();
  data_->wide() = nullptr;
  data_.reset();
  return detached;
}

// _variant_t ------------------------------------------------------------------

_variant_t::_variant_t() noexcept { VariantInit(this); }

_variant_t::_variant_t(const VARIANT& varSrc) {
  VariantInit(this);
  _com_util::CheckError(VariantCopy(this, &varSrc));
}

_variant_t::_variant_t(const VARIANT* pSrc) {
  VariantInit(this);
  if (pSrc == nullptr) _com_issue_error(E_POINTER);
  _com_util::CheckError(VariantCopy(this, pSrc));
}

_variant_t::_variant_t(const _variant_t& varSrc) : _variant_t(static_cast<const VARIANT&>(varSrc)) {}

_variant_t::_variant_t(_variant_t&& varSrc) noexcept : tagVARIANT(varSrc) { VariantInit(&varSrc); }

_variant_t::_variant_t(VARIANT& varSrc, bool fCopy) {
  VariantInit(this);
  if (fCopy) {
    _com_util::CheckError(VariantCopy(this, &varSrc));
  } else {
    static_cast<VARIANT&>(*this) = varSrc;
    VariantInit(&varSrc);
  }
}

_variant_t::_variant_t(short sSrc, VARTYPE vtSrc) {
  VariantInit(this);
  if (vtSrc == VT_I2) {
    iVal = sSrc;
  } else if (vtSrc == VT_BOOL) {
    boolVal = sSrc ? VARIANT_TRUE : VARIANT_FALSE;
  } else {
    _com_issue_error(E_INVALIDARG);
  }
  vt = vtSrc;
}

_variant_t::_variant_t(long lSrc, VARTYPE vtSrc) {
  VariantInit(this);
  if (vtSrc == VT_I4) {
    lVal = static_cast<LONG>(lSrc);  // the 32 bits a Windows long holds
  } else if (vtSrc == VT_ERROR) {
    scode = static_cast<SCODE>(lSrc);
  } else if (vtSrc == VT_BOOL) {
    boolVal = lSrc ? VARIANT_TRUE : VARIANT_FALSE;
  } else {
    _com_issue_error(E_INVALIDARG);
  }
  vt = vtSrc;
}

_variant_t::_variant_t(float fltSrc) noexcept {
  VariantInit(this);
  vt = VT_R4;
  fltVal = fltSrc;
}

_variant_t::_variant_t(double dblSrc, VARTYPE vtSrc) {
  VariantInit(this);
  if (vtSrc != VT_R8 && vtSrc != VT_DATE) _com_issue_error(E_INVALIDARG);
  vt = vtSrc;
  dblVal = dblSrc;  // DATE shares the representation
}

_variant_t::_variant_t(const CY& cySrc) noexcept {
  VariantInit(this);
  vt = VT_CY;
  cyVal = cySrc;
}

_variant_t::_variant_t(const _bstr_t& bstrSrc) {
  VariantInit(this);
  bstrVal = bstrSrc.copy();
  vt = VT_BSTR;
}

_variant_t::_variant_t(const wchar_t* pSrc) {
  VariantInit(this);
  bstrVal = SysAllocString(pSrc);
  if (bstrVal == nullptr && pSrc != nullptr) _com_issue_error(E_OUTOFMEMORY);
  vt = VT_BSTR;
}

_variant_t::_variant_t(const char* pSrc) {
  VariantInit(this);
  bstrVal = _com_util::ConvertStringToBSTR(pSrc);
  vt = VT_BSTR;
}

_variant_t::_variant_t(bool boolSrc) noexcept {
  VariantInit(this);
  vt = VT_BOOL;
  boolVal = boolSrc ? VARIANT_TRUE : VARIANT_FALSE;
}

_variant_t::_variant_t(BYTE bSrc) noexcept {
  VariantInit(this);
  vt = VT_UI1;
  bVal = bSrc;
}

_variant_t::_variant_t(char cSrc) noexcept {
  VariantInit(this);
  vt = VT_I1;
  cVal = cSrc;
}

_variant_t::_variant_t(unsigned short usSrc) noexcept {
  VariantInit(this);
  vt = VT_UI2;
  uiVal = usSrc;
}

_variant_t::_variant_t(unsigned long ulSrc) noexcept {
  VariantInit(this);
  vt = VT_UI4;
  ulVal = static_cast<ULONG>(ulSrc);  // the 32 bits a Windows unsigned long holds
}

_variant_t::_variant_t(int iSrc) noexcept {
  VariantInit(this);
  vt = VT_INT;
  intVal = iSrc;
}

_variant_t::_variant_t(unsigned int uiSrc) noexcept {
  VariantInit(this);
  vt = VT_UINT;
  uintVal = uiSrc;
}

_variant_t::_variant_t(__int64 i8Src) noexcept {
  VariantInit(this);
  vt = VT_I8;
  llVal = i8Src;
}

_variant_t::_variant_t(unsigned __int64 ui8Src) noexcept {
  VariantInit(this);
  vt = VT_UI8;
  ullVal = ui8Src;
}

_variant_t::~_variant_t() {
  // An empty variant (a default or moved-from one) owns nothing to release.
  if (vt != VT_EMPTY) VariantClear(this);
}

_variant_t& _variant_t::operator=(const VARIANT& varSrc) {
  _com_util::CheckError(VariantCopy(this, &varSrc));
  return *this;
}

_variant_t& _variant_t::operator=(const VARIANT* pSrc) {
  if (pSrc == nullptr) _com_issue_error(E_POINTER);
  return *this = *pSrc;
}

_variant_t& _variant_t::operator=(const _variant_t& varSrc) {
  return *this = static_cast<const VARIANT&>(varSrc);
}

_variant_t& _variant_t::operator=(_variant_t&& varSrc) noexcept {
  if (this == &varSrc) return *this;
  VARIANT old = *this;
  static_cast<VARIANT&>(*this) = varSrc;
  VariantInit(&varSrc);
  VariantClear(&old);
  return *this;
}

void _variant_t::Reset(VARTYPE type) {
  if (vt != type) {
    Clear();
    vt = type;
  }
}

_variant_t& _variant_t::operator=(short sSrc) {
  if (vt == VT_BOOL) {
    boolVal = sSrc ? VARIANT_TRUE : VARIANT_FALSE;
  } else {
    Reset(VT_I2);
    iVal = sSrc;
  }
  return *this;
}

_variant_t& _variant_t::operator=(long lSrc) {
  if (vt == VT_BOOL) {
    boolVal = lSrc ? VARIANT_TRUE : VARIANT_FALSE;
  } else if (vt == VT_ERROR) {
    scode = static_cast<SCODE>(lSrc);
  } else {
    Reset(VT_I4);
    lVal = static_cast<LONG>(lSrc);
  }
  return *this;
}

_variant_t& _variant_t::operator=(float fltSrc) {
  Reset(VT_R4);
  fltVal = fltSrc;
  return *this;
}

_variant_t& _variant_t::operator=(double dblSrc) {
  if (vt != VT_DATE) Reset(VT_R8);
  dblVal = dblSrc;
  return *this;
}

_variant_t& _variant_t::operator=(const CY& cySrc) {
  Reset(VT_CY);
  cyVal = cySrc;
  return *this;
}

// String assignments build the new value first: the source may be our text.
_variant_t& _variant_t::operator=(const _bstr_t& bstrSrc) {
  return *this = _variant_t(bstrSrc);
}

_variant_t& _variant_t::operator=(const wchar_t* pSrc) { return *this = _variant_t(pSrc); }

_variant_t& _variant_t::operator=(const char* pSrc) { return *this = _variant_t(pSrc); }

_variant_t& _variant_t::operator=(bool boolSrc) {
  Reset(VT_BOOL);
  boolVal = boolSrc ? VARIANT_TRUE : VARIANT_FALSE;
  return *this;
}

_variant_t& _variant_t::operator=(BYTE bSrc) {
  Reset(VT_UI1);
  bVal = bSrc;
  return *this;
}

_variant_t& _variant_t::operator=(char cSrc) {
  Reset(VT_I1);
  cVal = cSrc;
  return *this;
}

_variant_t& _variant_t::operator=(unsigned short usSrc) {
  Reset(VT_UI2);
  uiVal = usSrc;
  return *this;
}

_variant_t& _variant_t::operator=(unsigned long ulSrc) {
  Reset(VT_UI4);
  ulVal = static_cast<ULONG>(ulSrc);
  return *this;
}

_variant_t& _variant_t::operator=(int iSrc) {
  Reset(VT_INT);
  intVal = iSrc;
  return *this;
}

_variant_t& _variant_t::operator=(unsigned int uiSrc) {
  Reset(VT_UINT);
  uintVal = uiSrc;
  return *this;
}

_variant_t& _variant_t::operator=(__int64 i8Src) {
  Reset(VT_I8);
  llVal = i8Src;
  return *this;
}

_variant_t& _variant_t::operator=(unsigned __int64 ui8Src) {
  Reset(VT_UI8);
  ullVal = ui8Src;
  return *this;
}

bool _variant_t::operator==(const VARIANT& varSrc) const noexcept { return *this == &varSrc; }

bool _variant_t::operator==(const VARIANT* pSrc) const noexcept {
  if (pSrc == nullptr) return false;
  if (pSrc == this) return true;
  if (vt != pSrc->vt) return false;
  if (vt & (VT_ARRAY | VT_BYREF)) return byref == pSrc->byref;
  switch (vt) {
    case VT_EMPTY:
    case VT_NULL:
      return true;
    case VT_I1:
    case VT_UI1:
      return bVal == pSrc->bVal;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL:
      return iVal == pSrc->iVal;
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_ERROR:
      return lVal == pSrc->lVal;
    case VT_I8:
    case VT_UI8:
    case VT_CY:
      return llVal == pSrc->llVal;
    case VT_R4:
      return fltVal == pSrc->fltVal;
    case VT_R8:
    case VT_DATE:
      return dblVal == pSrc->dblVal;
    case VT_BSTR: {
      const UINT bytes = SysStringByteLen(bstrVal);
      return bytes == SysStringByteLen(pSrc->bstrVal) &&
             (bytes == 0 || std::memcmp(bstrVal, pSrc->bstrVal, bytes) == 0);
    }
    default:
      return false;
  }
}

bool _variant_t::operator==(const _variant_t& varSrc) const noexcept { return *this == &varSrc; }

bool _variant_t::operator!=(const VARIANT& varSrc) const noexcept { return !(*this == &varSrc); }

bool _variant_t::operator!=(const _variant_t& varSrc) const noexcept { return !(*this == &varSrc); }

bool _variant_t::operator!=(const VARIANT* pSrc) const noexcept { return !(*this == pSrc); }

_variant_t::operator short() const { return ConvertedScalar(*this, VT_I2).iVal; }

_variant_t::operator long() const { return ConvertedScalar(*this, VT_I4).lVal; }

_variant_t::operator float() const { return ConvertedScalar(*this, VT_R4).fltVal; }

_variant_t::operator double() const { return ConvertedScalar(*this, VT_R8).dblVal; }

_variant_t::operator CY() const { return ConvertedScalar(*this, VT_CY).cyVal; }

_variant_t::operator _bstr_t() const { return _bstr_t(*this); }

_variant_t::operator bool() const { return ConvertedScalar(*this, VT_BOOL).boolVal != VARIANT_FALSE; }

_variant_t::operator BYTE() const { return ConvertedScalar(*this, VT_UI1).bVal; }

_variant_t::operator char() const { return ConvertedScalar(*this, VT_I1).cVal; }

_variant_t::operator unsigned short() const { return ConvertedScalar(*this, VT_UI2).uiVal; }

_variant_t::operator unsigned long() const { return ConvertedScalar(*this, VT_UI4).ulVal; }

_variant_t::operator int() const { return ConvertedScalar(*this, VT_INT).intVal; }

_variant_t::operator unsigned int() const { return ConvertedScalar(*this, VT_UINT).uintVal; }

_variant_t::operator __int64() const { return ConvertedScalar(*this, VT_I8).llVal; }

_variant_t::operator unsigned __int64() const { return ConvertedScalar(*this, VT_UI8).ullVal; }

void _variant_t::Clear() { _com_util::CheckError(VariantClear(this)); }

void _variant_t::Attach(VARIANT& varSrc) {
  Clear();
  static_cast<VARIANT&>(*this) = varSrc;
  VariantInit(&varSrc);
}

VARIANT _variant_t::Detach() noexcept {
  VARIANT detached = *this;
  VariantInit(this);
  return detached;
}

VARIANT* _variant_t::GetAddress() {
  Clear();
  return this;
}

void _variant_t::ChangeType(VARTYPE vartype, const _variant_t* pSrc) {
  if (pSrc == nullptr) pSrc = this;
  if (pSrc != this || vartype != vt) {
    _com_util::CheckError(VariantChangeType(this, pSrc, 0, vartype));
  }
}

void _variant_t::SetString(const char* pSrc) { *this = pSrc; }
