// VARIANT lifetime (VariantInit/Clear/Copy) and type conversion
// (VariantChangeType/Ex) with the Windows rules described in com_posix.h.
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstring>
#include <string>
#include <system_error>

#include "platform/ascii.h"
#include "platform/com.h"
#include "platform/posix/vartype_posix.h"

namespace {

using platform::com_internal::IsSupportedVariantType;
using platform::com_internal::ValueSize;

// VT_CY holds the amount times this.
constexpr int64_t kCurrencyScale = 10000;
// VT_DATE days (since 30 December 1899) of 1 January 100 and 31 December 9999;
// Windows refuses whole days beyond them.
constexpr double kDateMin = -657434.0;
constexpr double kDateMax = 2958465.0;
// Significant digits of VT_R8 and VT_R4 as text.
constexpr int kDoubleDigits = 15;
constexpr int kFloatDigits = 7;
// Room for any number as text.
constexpr size_t kNumberTextCapacity = 64;

// A numeric value read from a variant, before conversion to the target type.
struct Number {
  enum Kind { kSigned, kUnsigned, kReal, kCurrency };
  Kind kind = kSigned;
  int64_t i = 0;   // kSigned; kCurrency (scaled by kCurrencyScale)
  uint64_t u = 0;  // kUnsigned
  double d = 0;    // kReal
  // VT_BOOL source: Windows stores -1 into unsigned targets as all ones.
  bool from_bool = false;
};

Number Signed(int64_t value) {
  Number n;
  n.kind = Number::kSigned;
  n.i = value;
  return n;
}

Number Unsigned(uint64_t value) {
  Number n;
  n.kind = Number::kUnsigned;
  n.u = value;
  return n;
}

Number Real(double value) {
  Number n;
  n.kind = Number::kReal;
  n.d = value;
  return n;
}

// Rounds to the nearest integer, ties to even, as Windows rounds reals.
double RoundHalfEven(double x) {
  const double away = std::round(x);
  if (std::fabs(x - std::trunc(x)) != 0.5) return away;
  return 2.0 * std::round(x / 2.0);
}

// Divides by kCurrencyScale, ties to even.
int64_t CurrencyToInteger(int64_t scaled) {
  int64_t quotient = scaled / kCurrencyScale;
  const int64_t remainder = scaled % kCurrencyScale;
  const int64_t twice = 2 * (remainder < 0 ? -remainder : remainder);
  if (twice > kCurrencyScale || (twice == kCurrencyScale && quotient % 2 != 0)) {
    quotient += remainder < 0 ? -1 : 1;
  }
  return quotient;
}

bool IsBlank(wchar_t c) {
  return c == L' ' || c == L'\t' || c == L'\n' || c == L'\r' || c == L'\v' || c == L'\f';
}

bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

// The text of `bstr` without leading and trailing blanks.
std::wstring Trimmed(BSTR bstr) {
  const wchar_t* begin = bstr;
  const wchar_t* end = bstr == nullptr ? nullptr : bstr + SysStringLen(bstr);
  while (begin != end && IsBlank(*begin)) ++begin;
  while (end != begin && IsBlank(end[-1])) --end;
  return std::wstring(begin, end);
}

// Parses C-locale decimal text: [sign] digits [. digits] [e [sign] digits],
// at least one digit, blanks around. Integers stay exact when they fit 64
// bits.
HRESULT ParseNumber(BSTR bstr, Number* out) {
  const std::wstring text = Trimmed(bstr);
  std::string ascii;
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) {
    negative = text[i] == L'-';
    ++i;
  }
  if (negative) ascii += '-';
  size_t digits = 0;
  bool integral = true;
  for (; i < text.size() && IsDigit(text[i]); ++i, ++digits) ascii += static_cast<char>(text[i]);
  if (i < text.size() && text[i] == L'.') {
    integral = false;
    ascii += '.';
    for (++i; i < text.size() && IsDigit(text[i]); ++i, ++digits) {
      ascii += static_cast<char>(text[i]);
    }
  }
  if (digits == 0) return DISP_E_TYPEMISMATCH;
  if (i < text.size() && (text[i] == L'e' || text[i] == L'E')) {
    integral = false;
    ascii += 'e';
    ++i;
    if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) {
      ascii += static_cast<char>(text[i]);
      ++i;
    }
    size_t exponent_digits = 0;
    for (; i < text.size() && IsDigit(text[i]); ++i, ++exponent_digits) {
      ascii += static_cast<char>(text[i]);
    }
    if (exponent_digits == 0) return DISP_E_TYPEMISMATCH;
  }
  if (i != text.size()) return DISP_E_TYPEMISMATCH;

  const char* first = ascii.data();
  const char* last = ascii.data() + ascii.size();
  if (integral) {
    if (negative) {
      int64_t value;
      if (std::from_chars(first, last, value).ec == std::errc()) {
        *out = Signed(value);
        return S_OK;
      }
    } else {
      uint64_t value;
      if (std::from_chars(first, last, value).ec == std::errc()) {
        *out = Unsigned(value);
        return S_OK;
      }
    }
  }
  double value;
  const std::from_chars_result parsed = std::from_chars(first, last, value);
  if (parsed.ec == std::errc::result_out_of_range) return DISP_E_OVERFLOW;
  if (parsed.ec != std::errc() || parsed.ptr != last) return DISP_E_TYPEMISMATCH;
  *out = Real(value);
  return S_OK;
}

// Reads the value of a non-array, non-reference variant as a number.
HRESULT ReadNumber(const VARIANT& v, Number* out) {
  switch (v.vt) {
    case VT_EMPTY:
      *out = Signed(0);
      return S_OK;
    case VT_I1:
      *out = Signed(static_cast<signed char>(v.cVal));
      return S_OK;
    case VT_I2:
      *out = Signed(v.iVal);
      return S_OK;
    case VT_I4:
      *out = Signed(v.lVal);
      return S_OK;
    case VT_INT:
      *out = Signed(v.intVal);
      return S_OK;
    case VT_I8:
      *out = Signed(v.llVal);
      return S_OK;
    case VT_UI1:
      *out = Signed(v.bVal);
      return S_OK;
    case VT_UI2:
      *out = Signed(v.uiVal);
      return S_OK;
    case VT_UI4:
      *out = Signed(v.ulVal);
      return S_OK;
    case VT_UINT:
      *out = Signed(v.uintVal);
      return S_OK;
    case VT_UI8:
      *out = Unsigned(v.ullVal);
      return S_OK;
    case VT_R4:
      *out = Real(v.fltVal);
      return S_OK;
    case VT_R8:
      *out = Real(v.dblVal);
      return S_OK;
    case VT_DATE:
      *out = Real(v.date);
      return S_OK;
    case VT_CY:
      out->kind = Number::kCurrency;
      out->i = v.cyVal.int64;
      return S_OK;
    case VT_BOOL:
      *out = Signed(v.boolVal);
      out->from_bool = true;
      return S_OK;
    case VT_BSTR:
      return ParseNumber(v.bstrVal, out);
    default:
      return DISP_E_TYPEMISMATCH;
  }
}

// Width and signedness of an integer VARTYPE.
struct IntegerShape {
  int bits;
  bool is_signed;
};

bool ShapeOf(VARTYPE vt, IntegerShape* shape) {
  switch (vt) {
    case VT_I1: *shape = {8, true}; return true;
    case VT_UI1: *shape = {8, false}; return true;
    case VT_I2: *shape = {16, true}; return true;
    case VT_UI2: *shape = {16, false}; return true;
    case VT_I4:
    case VT_INT: *shape = {32, true}; return true;
    case VT_UI4:
    case VT_UINT: *shape = {32, false}; return true;
    case VT_I8: *shape = {64, true}; return true;
    case VT_UI8: *shape = {64, false}; return true;
    default: return false;
  }
}

// Converts `n` to an integer of `shape`; the result is the two's-complement
// bit pattern in 64 bits. DISP_E_OVERFLOW if it does not fit.
HRESULT ToIntegerBits(Number n, IntegerShape shape, uint64_t* bits) {
  const uint64_t mask = shape.bits == 64 ? UINT64_MAX : (uint64_t{1} << shape.bits) - 1;
  if (n.kind == Number::kCurrency) n = Signed(CurrencyToInteger(n.i));
  if (n.kind == Number::kReal) {
    if (std::isnan(n.d)) return DISP_E_OVERFLOW;
    const double r = RoundHalfEven(n.d);
    if (shape.is_signed) {
      const double limit = std::ldexp(1.0, shape.bits - 1);
      if (r < -limit || r >= limit) return DISP_E_OVERFLOW;
      *bits = static_cast<uint64_t>(static_cast<int64_t>(r));
    } else {
      if (r < 0 || r >= std::ldexp(1.0, shape.bits)) return DISP_E_OVERFLOW;
      *bits = static_cast<uint64_t>(r);
    }
    return S_OK;
  }
  if (n.kind == Number::kUnsigned) {
    const uint64_t max = shape.is_signed ? mask >> 1 : mask;
    if (n.u > max) return DISP_E_OVERFLOW;
    *bits = n.u;
    return S_OK;
  }
  // kSigned
  if (!shape.is_signed) {
    if (n.from_bool) {  // VARIANT_TRUE becomes all ones, as on Windows
      *bits = static_cast<uint64_t>(n.i) & mask;
      return S_OK;
    }
    if (n.i < 0 || static_cast<uint64_t>(n.i) > mask) return DISP_E_OVERFLOW;
  } else if (shape.bits < 64) {
    const int64_t limit = int64_t{1} << (shape.bits - 1);
    if (n.i < -limit || n.i >= limit) return DISP_E_OVERFLOW;
  }
  *bits = static_cast<uint64_t>(n.i);
  return S_OK;
}

void StoreInteger(VARTYPE vt, uint64_t bits, VARIANT* out) {
  switch (vt) {
    case VT_I1: out->cVal = static_cast<CHAR>(bits); break;
    case VT_UI1: out->bVal = static_cast<BYTE>(bits); break;
    case VT_I2: out->iVal = static_cast<SHORT>(bits); break;
    case VT_UI2: out->uiVal = static_cast<USHORT>(bits); break;
    case VT_I4: out->lVal = static_cast<LONG>(bits); break;
    case VT_INT: out->intVal = static_cast<INT>(bits); break;
    case VT_UI4: out->ulVal = static_cast<ULONG>(bits); break;
    case VT_UINT: out->uintVal = static_cast<UINT>(bits); break;
    case VT_I8: out->llVal = static_cast<LONGLONG>(bits); break;
    case VT_UI8: out->ullVal = bits; break;
    default: break;
  }
}

double ToDouble(const Number& n) {
  switch (n.kind) {
    case Number::kSigned: return static_cast<double>(n.i);
    case Number::kUnsigned: return static_cast<double>(n.u);
    case Number::kCurrency: return static_cast<double>(n.i) / kCurrencyScale;
    case Number::kReal: break;
  }
  return n.d;
}

bool IsNonZero(const Number& n) {
  switch (n.kind) {
    case Number::kSigned:
    case Number::kCurrency: return n.i != 0;
    case Number::kUnsigned: return n.u != 0;
    case Number::kReal: break;
  }
  return n.d != 0.0;  // NaN is true
}

HRESULT ToCurrency(const Number& n, int64_t* scaled) {
  const int64_t max_whole = INT64_MAX / kCurrencyScale;
  switch (n.kind) {
    case Number::kCurrency:
      *scaled = n.i;
      return S_OK;
    case Number::kSigned:
      if (n.i > max_whole || n.i < -max_whole) return DISP_E_OVERFLOW;
      *scaled = n.i * kCurrencyScale;
      return S_OK;
    case Number::kUnsigned:
      if (n.u > static_cast<uint64_t>(max_whole)) return DISP_E_OVERFLOW;
      *scaled = static_cast<int64_t>(n.u) * kCurrencyScale;
      return S_OK;
    case Number::kReal:
      break;
  }
  if (std::isnan(n.d)) return DISP_E_OVERFLOW;
  const double r = RoundHalfEven(n.d * kCurrencyScale);
  const double limit = std::ldexp(1.0, 63);
  if (r < -limit || r >= limit) return DISP_E_OVERFLOW;
  *scaled = static_cast<int64_t>(r);
  return S_OK;
}

// Stores `n` as a value of the non-text scalar type `vt` into `out` (VT_EMPTY).
HRESULT WriteNumber(const Number& n, VARTYPE vt, VARIANT* out) {
  IntegerShape shape;
  if (ShapeOf(vt, &shape)) {
    uint64_t bits = 0;
    const HRESULT hr = ToIntegerBits(n, shape, &bits);
    if (FAILED(hr)) return hr;
    StoreInteger(vt, bits, out);
    out->vt = vt;
    return S_OK;
  }
  switch (vt) {
    case VT_R4: {
      const double d = ToDouble(n);
      if (std::fabs(d) > FLT_MAX) return DISP_E_OVERFLOW;
      out->fltVal = static_cast<float>(d);
      break;
    }
    case VT_R8:
      out->dblVal = ToDouble(n);
      break;
    case VT_DATE: {
      const double d = ToDouble(n);
      if (std::isnan(d) || d <= kDateMin - 1.0 || d >= kDateMax + 1.0) return DISP_E_OVERFLOW;
      out->date = d;
      break;
    }
    case VT_CY: {
      int64_t scaled = 0;
      const HRESULT hr = ToCurrency(n, &scaled);
      if (FAILED(hr)) return hr;
      out->cyVal.int64 = scaled;
      break;
    }
    case VT_BOOL:
      out->boolVal = IsNonZero(n) ? VARIANT_TRUE : VARIANT_FALSE;
      break;
    default:
      return DISP_E_TYPEMISMATCH;
  }
  out->vt = vt;
  return S_OK;
}

BSTR AsciiToBstr(const char* text, size_t length) {
  BSTR bstr = SysAllocStringLen(nullptr, static_cast<UINT>(length));
  if (bstr == nullptr) return nullptr;
  for (size_t i = 0; i < length; ++i) bstr[i] = static_cast<unsigned char>(text[i]);
  return bstr;
}

template <typename Integer>
BSTR IntegerText(Integer value) {
  char text[kNumberTextCapacity];
  const std::to_chars_result r = std::to_chars(text, text + sizeof(text), value);
  return AsciiToBstr(text, static_cast<size_t>(r.ptr - text));
}

// `digits` significant digits, exponent form "1E+20" when the exponent is
// below -4 or at least `digits`, as Windows writes reals.
BSTR RealText(double value, int digits) {
  char text[kNumberTextCapacity];
  const std::to_chars_result r =
      std::to_chars(text, text + sizeof(text), value, std::chars_format::general, digits);
  for (char* p = text; p != r.ptr; ++p) {
    if (*p == 'e') *p = 'E';
  }
  return AsciiToBstr(text, static_cast<size_t>(r.ptr - text));
}

// Up to four decimals, trailing zeros dropped: "12", "-0.5", "3.1416".
BSTR CurrencyText(int64_t scaled) {
  const bool negative = scaled < 0;
  const uint64_t magnitude =
      negative ? uint64_t{0} - static_cast<uint64_t>(scaled) : static_cast<uint64_t>(scaled);
  std::string text = negative ? "-" : "";
  text += std::to_string(magnitude / kCurrencyScale);
  uint64_t fraction = magnitude % kCurrencyScale;
  if (fraction != 0) {
    std::string decimals = std::to_string(fraction + kCurrencyScale).substr(1);
    while (decimals.back() == '0') decimals.pop_back();
    text += '.';
    text += decimals;
  }
  return AsciiToBstr(text.data(), text.size());
}

// The text of a non-array, non-reference, non-text variant.
HRESULT ToText(const VARIANT& v, USHORT flags, BSTR* out) {
  BSTR text = nullptr;
  switch (v.vt) {
    case VT_EMPTY: text = SysAllocStringLen(nullptr, 0); break;
    case VT_BOOL:
      if (flags & (VARIANT_ALPHABOOL | VARIANT_LOCALBOOL)) {
        text = SysAllocString(v.boolVal ? L"True" : L"False");
      } else {
        text = IntegerText(int{v.boolVal});
      }
      break;
    case VT_I1: text = IntegerText(int{static_cast<signed char>(v.cVal)}); break;
    case VT_I2: text = IntegerText(v.iVal); break;
    case VT_I4: text = IntegerText(v.lVal); break;
    case VT_INT: text = IntegerText(v.intVal); break;
    case VT_I8: text = IntegerText(v.llVal); break;
    case VT_UI1: text = IntegerText(unsigned{v.bVal}); break;
    case VT_UI2: text = IntegerText(v.uiVal); break;
    case VT_UI4: text = IntegerText(v.ulVal); break;
    case VT_UINT: text = IntegerText(v.uintVal); break;
    case VT_UI8: text = IntegerText(v.ullVal); break;
    case VT_R4: text = RealText(v.fltVal, kFloatDigits); break;
    case VT_R8: text = RealText(v.dblVal, kDoubleDigits); break;
    case VT_CY: text = CurrencyText(v.cyVal.int64); break;
    default: return DISP_E_TYPEMISMATCH;  // VT_NULL, VT_ERROR, VT_DATE
  }
  if (text == nullptr) return E_OUTOFMEMORY;
  *out = text;
  return S_OK;
}

// Converts `from` (no VT_BYREF) into `out`, which is VT_EMPTY and stays so on
// failure.
HRESULT Coerce(const VARIANT& from, USHORT flags, VARTYPE vt, VARIANT* out) {
  if (from.vt == vt) return VariantCopy(out, &from);
  if (((from.vt | vt) & (VT_ARRAY | VT_BYREF)) != 0) return DISP_E_TYPEMISMATCH;
  const bool no_value = from.vt == VT_NULL || from.vt == VT_ERROR;
  switch (vt) {
    case VT_EMPTY:
      if (no_value) return DISP_E_TYPEMISMATCH;
      return S_OK;
    case VT_NULL:
      if (from.vt == VT_ERROR) return DISP_E_TYPEMISMATCH;
      out->vt = VT_NULL;
      return S_OK;
    case VT_BSTR: {
      BSTR text = nullptr;
      const HRESULT hr = ToText(from, flags, &text);
      if (FAILED(hr)) return hr;
      out->vt = VT_BSTR;
      out->bstrVal = text;
      return S_OK;
    }
    default:
      break;
  }
  if (no_value || vt == VT_ERROR) return DISP_E_TYPEMISMATCH;
  if (from.vt == VT_BSTR && vt == VT_DATE) return DISP_E_TYPEMISMATCH;  // no date parsing
  if (from.vt == VT_BSTR && vt == VT_BOOL) {
    const std::wstring word = Trimmed(from.bstrVal);
    if (platform::EqualsIgnoringAsciiCase(word, L"true") || platform::EqualsIgnoringAsciiCase(word, L"false")) {
      out->boolVal = platform::EqualsIgnoringAsciiCase(word, L"true") ? VARIANT_TRUE : VARIANT_FALSE;
      out->vt = VT_BOOL;
      return S_OK;
    }
  }
  Number n;
  const HRESULT hr = ReadNumber(from, &n);
  if (FAILED(hr)) return hr;
  return WriteNumber(n, vt, out);
}

// A non-owning view of what a VT_BYREF variant refers to; `v` itself when it
// is not a reference.
HRESULT Dereference(const VARIANT& v, VARIANT* view, const VARIANT** result) {
  if ((v.vt & VT_BYREF) == 0) {
    *result = &v;
    return S_OK;
  }
  if (v.byref == nullptr) return DISP_E_TYPEMISMATCH;
  const VARTYPE target = v.vt & ~VT_BYREF;
  if (target == VT_VARIANT) {
    if ((v.pvarVal->vt & VT_BYREF) != 0 || !IsSupportedVariantType(v.pvarVal->vt)) {
      return E_INVALIDARG;
    }
    *result = v.pvarVal;
    return S_OK;
  }
  VariantInit(view);
  view->vt = target;
  if (target & VT_ARRAY) {
    view->parray = *v.pparray;
  } else {
    std::memcpy(&view->llVal, v.byref, ValueSize(target));
  }
  *result = view;
  return S_OK;
}

}  // namespace

void VariantInit(VARIANTARG* pvarg) { std::memset(static_cast<void*>(pvarg), 0, sizeof(VARIANT)); }

HRESULT VariantClear(VARIANTARG* pvarg) {
  if (pvarg == nullptr) return E_INVALIDARG;
  if (!IsSupportedVariantType(pvarg->vt)) return DISP_E_BADVARTYPE;
  if ((pvarg->vt & VT_BYREF) == 0) {
    if (pvarg->vt & VT_ARRAY) {
      const HRESULT hr = SafeArrayDestroy(pvarg->parray);
      if (FAILED(hr)) return hr;
    } else if (pvarg->vt == VT_BSTR) {
      SysFreeString(pvarg->bstrVal);
    }
  }
  VariantInit(pvarg);
  return S_OK;
}

HRESULT VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc) {
  if (pvargDest == nullptr || pvargSrc == nullptr) return E_INVALIDARG;
  if (!IsSupportedVariantType(pvargSrc->vt)) return DISP_E_BADVARTYPE;
  if (pvargDest == pvargSrc) return S_OK;
  HRESULT hr = VariantClear(pvargDest);
  if (FAILED(hr)) return hr;
  if ((pvargSrc->vt & VT_BYREF) == 0 && (pvargSrc->vt & VT_ARRAY) != 0) {
    SAFEARRAY* copy = nullptr;
    hr = SafeArrayCopy(pvargSrc->parray, &copy);
    if (FAILED(hr)) return hr;
    *pvargDest = *pvargSrc;
    pvargDest->parray = copy;
  } else if (pvargSrc->vt == VT_BSTR && pvargSrc->bstrVal != nullptr) {
    BSTR copy = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(pvargSrc->bstrVal),
                                      SysStringByteLen(pvargSrc->bstrVal));
    if (copy == nullptr) return E_OUTOFMEMORY;
    *pvargDest = *pvargSrc;
    pvargDest->bstrVal = copy;
  } else {
    *pvargDest = *pvargSrc;
  }
  return S_OK;
}

HRESULT VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, USHORT wFlags,
                          VARTYPE vt) {
  return VariantChangeTypeEx(pvargDest, pvarSrc, LOCALE_USER_DEFAULT, wFlags, vt);
}

HRESULT VariantChangeTypeEx(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, LCID /*lcid*/,
                            USHORT wFlags, VARTYPE vt) {
  if (pvargDest == nullptr || pvarSrc == nullptr) return E_INVALIDARG;
  if (!IsSupportedVariantType(pvarSrc->vt) || !IsSupportedVariantType(vt)) {
    return DISP_E_BADVARTYPE;
  }
  VARIANT view;
  const VARIANT* from = nullptr;
  HRESULT hr = Dereference(*pvarSrc, &view, &from);
  if (FAILED(hr)) return hr;
  VARIANT result;
  VariantInit(&result);
  hr = Coerce(*from, wFlags, vt, &result);
  if (FAILED(hr)) return hr;
  hr = VariantClear(pvargDest);
  if (FAILED(hr)) {
    VariantClear(&result);
    return hr;
  }
  *pvargDest = result;
  return S_OK;
}
