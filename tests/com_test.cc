// BSTR, VARIANT, SAFEARRAY, the COM support classes and COM initialisation.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/com.h"

namespace {

struct BstrFree {
  void operator()(OLECHAR* b) const { SysFreeString(b); }
};
using UniqueBstr = std::unique_ptr<OLECHAR, BstrFree>;

struct ArrayDestroy {
  void operator()(SAFEARRAY* a) const { SafeArrayDestroy(a); }
};
using UniqueArray = std::unique_ptr<SAFEARRAY, ArrayDestroy>;

uint32_t LengthPrefix(BSTR b) {
  uint32_t prefix;
  std::memcpy(&prefix, reinterpret_cast<const char*>(b) - sizeof(prefix), sizeof(prefix));
  return prefix;
}

std::wstring Text(BSTR b) { return std::wstring(b, SysStringLen(b)); }

// A VT_ARRAY | VT_UI1 variant holding `bytes`.
_variant_t ByteArrayVariant(const std::vector<BYTE>& bytes) {
  SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
  EXPECT_NE(array, nullptr);
  void* data = nullptr;
  EXPECT_EQ(SafeArrayAccessData(array, &data), S_OK);
  std::memcpy(data, bytes.data(), bytes.size());
  EXPECT_EQ(SafeArrayUnaccessData(array), S_OK);
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_ARRAY | VT_UI1;
  v.parray = array;
  return _variant_t(v, false);
}

std::vector<BYTE> BytesOf(const VARIANT& v) {
  EXPECT_EQ(v.vt, VT_ARRAY | VT_UI1);
  LONG lower = 0, upper = -1;
  EXPECT_EQ(SafeArrayGetLBound(v.parray, 1, &lower), S_OK);
  EXPECT_EQ(SafeArrayGetUBound(v.parray, 1, &upper), S_OK);
  const BYTE* data = static_cast<const BYTE*>(v.parray->pvData);
  return std::vector<BYTE>(data, data + (upper - lower + 1));
}

HRESULT ErrorOf(void (*action)()) {
  try {
    action();
  } catch (const _com_error& e) {
    return e.Error();
  }
  return S_OK;
}

// BSTR ------------------------------------------------------------------------

TEST(BstrTest, LengthPrefixCountsBytesAndTextIsTerminated) {
  UniqueBstr b(SysAllocString(L"abc"));
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(SysStringLen(b.get()), 3u);
  EXPECT_EQ(SysStringByteLen(b.get()), 3 * sizeof(OLECHAR));
  EXPECT_EQ(LengthPrefix(b.get()), 3 * sizeof(OLECHAR));
  EXPECT_EQ(b.get()[3], L'\0');
  EXPECT_EQ(std::wstring(b.get()), L"abc");
}

TEST(BstrTest, EmbeddedZerosAndUninitialisedSource) {
  const OLECHAR source[] = {L'a', L'\0', L'b'};
  UniqueBstr b(SysAllocStringLen(source, 3));
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(SysStringLen(b.get()), 3u);
  EXPECT_EQ(Text(b.get()), std::wstring(source, 3));
  EXPECT_EQ(b.get()[3], L'\0');

  UniqueBstr blank(SysAllocStringLen(nullptr, 4));
  ASSERT_NE(blank, nullptr);
  EXPECT_EQ(SysStringLen(blank.get()), 4u);
  EXPECT_EQ(blank.get()[4], L'\0');
}

TEST(BstrTest, ByteLengthStringsKeepOddByteCounts) {
  UniqueBstr b(SysAllocStringByteLen("xyz", 3));
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(SysStringByteLen(b.get()), 3u);
  EXPECT_EQ(SysStringLen(b.get()), 3 / sizeof(OLECHAR));
  EXPECT_EQ(std::memcmp(b.get(), "xyz", 3), 0);
}

TEST(BstrTest, NullIsAnEmptyString) {
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  EXPECT_EQ(SysStringByteLen(nullptr), 0u);
  SysFreeString(nullptr);
  EXPECT_EQ(SysAllocStringLen(nullptr, UINT_MAX), nullptr);  // byte count overflows
}

TEST(BstrTest, ReallocateFromOwnText) {
  BSTR b = SysAllocString(L"prefix-tail");
  ASSERT_TRUE(SysReAllocString(&b, b + 7));  // the source is freed only after copying
  EXPECT_EQ(Text(b), L"tail");
  ASSERT_TRUE(SysReAllocStringLen(&b, b, 2));
  EXPECT_EQ(Text(b), L"ta");
  EXPECT_FALSE(SysReAllocString(nullptr, L"x"));
  SysFreeString(b);
}

// VARIANT lifetime ------------------------------------------------------------

TEST(VariantTest, CopyOfStringIsDeep) {
  VARIANT source;
  VariantInit(&source);
  const OLECHAR text[] = {L'x', L'\0', L'y'};
  source.vt = VT_BSTR;
  source.bstrVal = SysAllocStringLen(text, 3);
  VARIANT copy;
  VariantInit(&copy);
  copy.vt = VT_BSTR;
  copy.bstrVal = SysAllocString(L"old");  // released by the copy
  ASSERT_EQ(VariantCopy(&copy, &source), S_OK);
  EXPECT_NE(copy.bstrVal, source.bstrVal);
  ASSERT_EQ(VariantClear(&source), S_OK);
  EXPECT_EQ(source.vt, VT_EMPTY);
  EXPECT_EQ(Text(copy.bstrVal), std::wstring(text, 3));
  EXPECT_EQ(VariantClear(&copy), S_OK);
}

TEST(VariantTest, CopyOfByteArrayIsDeep) {
  _variant_t original = ByteArrayVariant({1, 2, 3, 4});
  _variant_t copy(original);
  ASSERT_NE(copy.parray, original.parray);
  static_cast<BYTE*>(original.parray->pvData)[0] = 99;
  original.Clear();
  EXPECT_EQ(BytesOf(copy), (std::vector<BYTE>{1, 2, 3, 4}));
}

TEST(VariantTest, CopyOfVariantArrayCopiesNestedValues) {
  UniqueArray array(SafeArrayCreateVector(VT_VARIANT, 0, 2));
  ASSERT_NE(array, nullptr);
  LONG index = 0;
  _variant_t name(L"cn=user");
  ASSERT_EQ(SafeArrayPutElement(array.get(), &index, &name), S_OK);
  index = 1;
  _variant_t guid = ByteArrayVariant({0xAA, 0xBB});
  ASSERT_EQ(SafeArrayPutElement(array.get(), &index, &guid), S_OK);
  VARIANT multi;
  VariantInit(&multi);
  multi.vt = VT_ARRAY | VT_VARIANT;
  multi.parray = array.release();
  _variant_t original(multi, false);

  _variant_t copy(original);
  original.Clear();
  const VARIANT* elements = static_cast<const VARIANT*>(copy.parray->pvData);
  EXPECT_EQ(Text(elements[0].bstrVal), L"cn=user");
  EXPECT_EQ(BytesOf(elements[1]), (std::vector<BYTE>{0xAA, 0xBB}));
}

TEST(VariantTest, UnsupportedTypesAreRefusedWithoutSideEffects) {
  VARIANT odd;
  VariantInit(&odd);
  odd.vt = VT_DISPATCH;
  _variant_t target(L"kept");
  EXPECT_EQ(VariantCopy(&target, &odd), DISP_E_BADVARTYPE);
  EXPECT_EQ(Text(target.bstrVal), L"kept");
  EXPECT_EQ(VariantClear(&odd), DISP_E_BADVARTYPE);
  EXPECT_EQ(VariantChangeType(&target, &target, 0, VT_DECIMAL), DISP_E_BADVARTYPE);
}

TEST(VariantTest, ClearRefusesLockedArrayAndKeepsIt) {
  _variant_t holder = ByteArrayVariant({7});
  SAFEARRAY* array = holder.parray;
  ASSERT_EQ(SafeArrayLock(array), S_OK);
  EXPECT_EQ(VariantClear(&holder), DISP_E_ARRAYISLOCKED);
  EXPECT_EQ(holder.vt, VT_ARRAY | VT_UI1);
  EXPECT_EQ(holder.parray, array);
  ASSERT_EQ(SafeArrayUnlock(array), S_OK);
  EXPECT_EQ(VariantClear(&holder), S_OK);
}

TEST(VariantTest, ReferencesAreNeverReleased) {
  BSTR target = SysAllocString(L"owned elsewhere");
  VARIANT ref;
  VariantInit(&ref);
  ref.vt = VT_BYREF | VT_BSTR;
  ref.pbstrVal = &target;
  VARIANT copy;
  VariantInit(&copy);
  ASSERT_EQ(VariantCopy(&copy, &ref), S_OK);
  EXPECT_EQ(copy.pbstrVal, &target);
  EXPECT_EQ(VariantClear(&copy), S_OK);
  EXPECT_EQ(VariantClear(&ref), S_OK);
  EXPECT_EQ(Text(target), L"owned elsewhere");
  SysFreeString(target);
}

// VariantChangeType -----------------------------------------------------------

VARIANT NullVariant() {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_NULL;
  return v;
}

CY Currency(LONGLONG scaled) {
  CY cy;
  cy.int64 = scaled;
  return cy;
}

struct ConversionCase {
  const char* name;
  _variant_t from;
  VARTYPE to;
  USHORT flags;
  HRESULT hr;
  _variant_t expected;  // when hr is S_OK
};

TEST(VariantChangeTypeTest, ConvertsAsWindows) {
  const double nan = std::nan("");
  const std::vector<ConversionCase> cases = {
      {"I4 fits UI1", _variant_t(255L), VT_UI1, 0, S_OK, _variant_t(BYTE{255})},
      {"I4 above UI1", _variant_t(300L), VT_UI1, 0, DISP_E_OVERFLOW, {}},
      {"negative to UI4", _variant_t(-1L), VT_UI4, 0, DISP_E_OVERFLOW, {}},
      {"UI4 above I4", _variant_t(0xFFFFFFFFul), VT_I4, 0, DISP_E_OVERFLOW, {}},
      {"I8 min to I4", _variant_t(LLONG_MIN), VT_I4, 0, DISP_E_OVERFLOW, {}},
      {"UI8 max to I8", _variant_t(ULLONG_MAX), VT_I8, 0, DISP_E_OVERFLOW, {}},
      {"real ties to even down", _variant_t(2.5), VT_I4, 0, S_OK, _variant_t(2L)},
      {"real ties to even up", _variant_t(3.5), VT_I4, 0, S_OK, _variant_t(4L)},
      {"negative tie", _variant_t(-2.5), VT_I2, 0, S_OK, _variant_t(short{-2})},
      {"real too big for I4", _variant_t(3e9), VT_I4, 0, DISP_E_OVERFLOW, {}},
      {"NaN to integer", _variant_t(nan), VT_I4, 0, DISP_E_OVERFLOW, {}},
      {"real too big for R4", _variant_t(1e300), VT_R4, 0, DISP_E_OVERFLOW, {}},
      {"currency ties to even", _variant_t(Currency(25000)), VT_I4, 0, S_OK, _variant_t(2L)},
      {"real to currency", _variant_t(1.23456), VT_CY, 0, S_OK, _variant_t(Currency(12346))},
      {"true to I2", _variant_t(true), VT_I2, 0, S_OK, _variant_t(short{-1})},
      {"true to UI1 is all ones", _variant_t(true), VT_UI1, 0, S_OK, _variant_t(BYTE{255})},
      {"number to bool", _variant_t(7L), VT_BOOL, 0, S_OK, _variant_t(true)},
      {"zero to bool", _variant_t(0.0), VT_BOOL, 0, S_OK, _variant_t(false)},
      {"empty to I4", _variant_t(), VT_I4, 0, S_OK, _variant_t(0L)},
      {"empty to text", _variant_t(), VT_BSTR, 0, S_OK, _variant_t(L"")},
      {"null to I4", _variant_t(NullVariant()), VT_I4, 0, DISP_E_TYPEMISMATCH, {}},
      {"null to empty", _variant_t(NullVariant()), VT_EMPTY, 0, DISP_E_TYPEMISMATCH, {}},
      {"error to I4", _variant_t(5L, VT_ERROR), VT_I4, 0, DISP_E_TYPEMISMATCH, {}},
      {"I4 to error", _variant_t(5L), VT_ERROR, 0, DISP_E_TYPEMISMATCH, {}},
      {"int to I4", _variant_t(9), VT_I4, 0, S_OK, _variant_t(9L)},
      {"text with blanks", _variant_t(L" 42 "), VT_I4, 0, S_OK, _variant_t(42L)},
      {"text with fraction", _variant_t(L"2.5"), VT_I4, 0, S_OK, _variant_t(2L)},
      {"text with exponent", _variant_t(L"-1.5e2"), VT_R8, 0, S_OK, _variant_t(-150.0)},
      {"text leading point", _variant_t(L".5"), VT_R8, 0, S_OK, _variant_t(0.5)},
      {"text not a number", _variant_t(L"4x"), VT_I4, 0, DISP_E_TYPEMISMATCH, {}},
      {"empty text", _variant_t(L""), VT_I4, 0, DISP_E_TYPEMISMATCH, {}},
      {"sign only", _variant_t(L"-"), VT_I4, 0, DISP_E_TYPEMISMATCH, {}},
      {"exponent without digits", _variant_t(L"1e"), VT_R8, 0, DISP_E_TYPEMISMATCH, {}},
      {"text above I2", _variant_t(L"70000"), VT_I2, 0, DISP_E_OVERFLOW, {}},
      {"negative text to UI8", _variant_t(L"-1"), VT_UI8, 0, DISP_E_OVERFLOW, {}},
      {"UI8 max text", _variant_t(L"18446744073709551615"), VT_UI8, 0, S_OK, _variant_t(ULLONG_MAX)},
      {"I8 min text", _variant_t(L"-9223372036854775808"), VT_I8, 0, S_OK, _variant_t(LLONG_MIN)},
      {"beyond 64 bits", _variant_t(L"99999999999999999999"), VT_I8, 0, DISP_E_OVERFLOW, {}},
      {"text True", _variant_t(L"True"), VT_BOOL, 0, S_OK, _variant_t(true)},
      {"text FALSE", _variant_t(L" FALSE "), VT_BOOL, 0, S_OK, _variant_t(false)},
      {"numeric text to bool", _variant_t(L"0"), VT_BOOL, 0, S_OK, _variant_t(false)},
      {"yes is no bool", _variant_t(L"yes"), VT_BOOL, 0, DISP_E_TYPEMISMATCH, {}},
      {"text to date", _variant_t(L"2020-01-01"), VT_DATE, 0, DISP_E_TYPEMISMATCH, {}},
      {"true as text", _variant_t(true), VT_BSTR, 0, S_OK, _variant_t(L"-1")},
      {"true alphabetic", _variant_t(true), VT_BSTR, VARIANT_ALPHABOOL, S_OK, _variant_t(L"True")},
      {"false alphabetic", _variant_t(false), VT_BSTR, VARIANT_ALPHABOOL, S_OK, _variant_t(L"False")},
      {"I4 as text", _variant_t(-123L), VT_BSTR, 0, S_OK, _variant_t(L"-123")},
      {"I1 as text", _variant_t(static_cast<char>(-5)), VT_BSTR, 0, S_OK, _variant_t(L"-5")},
      {"UI8 as text", _variant_t(ULLONG_MAX), VT_BSTR, 0, S_OK, _variant_t(L"18446744073709551615")},
      {"R8 as text", _variant_t(0.1), VT_BSTR, 0, S_OK, _variant_t(L"0.1")},
      {"R8 in exponent form", _variant_t(1e20), VT_BSTR, 0, S_OK, _variant_t(L"1E+20")},
      {"R8 small", _variant_t(0.00001), VT_BSTR, 0, S_OK, _variant_t(L"1E-05")},
      {"R4 as text", _variant_t(0.1f), VT_BSTR, 0, S_OK, _variant_t(L"0.1")},
      {"currency as text", _variant_t(Currency(-15000)), VT_BSTR, 0, S_OK, _variant_t(L"-1.5")},
      {"date as text", _variant_t(1.0, VT_DATE), VT_BSTR, 0, DISP_E_TYPEMISMATCH, {}},
      {"date range", _variant_t(1e7), VT_DATE, 0, DISP_E_OVERFLOW, {}},
      {"array to text", ByteArrayVariant({1}), VT_BSTR, 0, DISP_E_TYPEMISMATCH, {}},
  };
  for (const ConversionCase& c : cases) {
    SCOPED_TRACE(c.name);
    _variant_t result(L"sentinel");
    const HRESULT hr = VariantChangeType(&result, &c.from, c.flags, c.to);
    EXPECT_EQ(hr, c.hr);
    if (c.hr == S_OK) {
      EXPECT_EQ(result.vt, c.to);
      EXPECT_TRUE(result == c.expected) << "got " << Text(_bstr_t(result));
    } else {
      EXPECT_EQ(result.vt, VT_BSTR);  // unchanged on failure
      EXPECT_EQ(Text(result.bstrVal), L"sentinel");
    }
  }
}

TEST(VariantChangeTypeTest, InPlaceConversionReleasesTheOldValue) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(L"12");
  ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_I4), S_OK);  // the BSTR must not leak
  EXPECT_EQ(v.vt, VT_I4);
  EXPECT_EQ(v.lVal, 12);
}

TEST(VariantChangeTypeTest, ReadsThroughReferences) {
  LONG value = 17;
  VARIANT ref;
  VariantInit(&ref);
  ref.vt = VT_BYREF | VT_I4;
  ref.plVal = &value;
  _variant_t text;
  ASSERT_EQ(VariantChangeType(&text, &ref, 0, VT_BSTR), S_OK);
  EXPECT_EQ(Text(text.bstrVal), L"17");

  _variant_t inner(L"3");
  ref.vt = VT_BYREF | VT_VARIANT;
  ref.pvarVal = &inner;
  _variant_t number;
  ASSERT_EQ(VariantChangeType(&number, &ref, 0, VT_I2), S_OK);
  EXPECT_EQ(number.iVal, 3);
}

// SAFEARRAY -------------------------------------------------------------------

TEST(SafeArrayTest, VectorBoundsAndElements) {
  UniqueArray array(SafeArrayCreateVector(VT_I4, 5, 3));
  ASSERT_NE(array, nullptr);
  LONG lower = 0, upper = 0;
  EXPECT_EQ(SafeArrayGetLBound(array.get(), 1, &lower), S_OK);
  EXPECT_EQ(SafeArrayGetUBound(array.get(), 1, &upper), S_OK);
  EXPECT_EQ(lower, 5);
  EXPECT_EQ(upper, 7);
  EXPECT_EQ(SafeArrayGetDim(array.get()), 1u);
  EXPECT_EQ(SafeArrayGetLBound(array.get(), 2, &lower), DISP_E_BADINDEX);
  EXPECT_EQ(SafeArrayGetLBound(array.get(), 0, &lower), DISP_E_BADINDEX);

  LONG index = 7;
  LONG value = -42;
  ASSERT_EQ(SafeArrayPutElement(array.get(), &index, &value), S_OK);
  LONG read = 0;
  ASSERT_EQ(SafeArrayGetElement(array.get(), &index, &read), S_OK);
  EXPECT_EQ(read, -42);
  EXPECT_EQ(static_cast<LONG*>(array->pvData)[2], -42);
  for (LONG outside : {4, 8}) {
    EXPECT_EQ(SafeArrayPutElement(array.get(), &outside, &value), DISP_E_BADINDEX);
    EXPECT_EQ(SafeArrayGetElement(array.get(), &outside, &read), DISP_E_BADINDEX);
  }
}

TEST(SafeArrayTest, TwoDimensionsKeepWindowsBoundOrderAndLayout) {
  SAFEARRAYBOUND bounds[] = {{2, 0}, {3, 10}};  // dimension 1, dimension 2
  UniqueArray array(SafeArrayCreate(VT_I2, 2, bounds));
  ASSERT_NE(array, nullptr);
  LONG lower = 0, upper = 0;
  EXPECT_EQ(SafeArrayGetLBound(array.get(), 2, &lower), S_OK);
  EXPECT_EQ(SafeArrayGetUBound(array.get(), 2, &upper), S_OK);
  EXPECT_EQ(lower, 10);
  EXPECT_EQ(upper, 12);
  EXPECT_EQ(array->rgsabound[0].cElements, 3u);  // stored last dimension first
  SHORT value = 5;
  LONG index[] = {1, 11};  // dimension 1 varies fastest: cell 1 + 1 * 2
  ASSERT_EQ(SafeArrayPutElement(array.get(), index, &value), S_OK);
  EXPECT_EQ(static_cast<SHORT*>(array->pvData)[3], 5);
}

TEST(SafeArrayTest, LockedArrayCannotBeDestroyed) {
  SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, 16);
  ASSERT_NE(array, nullptr);
  void* data = nullptr;
  ASSERT_EQ(SafeArrayAccessData(array, &data), S_OK);
  EXPECT_EQ(data, array->pvData);
  EXPECT_EQ(array->cLocks, 1u);
  EXPECT_EQ(SafeArrayDestroy(array), DISP_E_ARRAYISLOCKED);
  ASSERT_EQ(SafeArrayUnaccessData(array), S_OK);
  EXPECT_EQ(SafeArrayUnlock(array), E_UNEXPECTED);
  EXPECT_EQ(SafeArrayDestroy(array), S_OK);
  EXPECT_EQ(SafeArrayDestroy(nullptr), S_OK);
}

TEST(SafeArrayTest, StringElementsAreCopiedInAndOut) {
  UniqueArray array(SafeArrayCreateVector(VT_BSTR, 0, 2));
  ASSERT_NE(array, nullptr);
  LONG index = 1;
  {
    UniqueBstr value(SysAllocString(L"first"));
    ASSERT_EQ(SafeArrayPutElement(array.get(), &index, value.get()), S_OK);
  }
  UniqueBstr replacement(SysAllocString(L"second"));
  ASSERT_EQ(SafeArrayPutElement(array.get(), &index, replacement.get()), S_OK);  // frees "first"
  BSTR out = nullptr;
  ASSERT_EQ(SafeArrayGetElement(array.get(), &index, &out), S_OK);
  UniqueBstr owned(out);
  EXPECT_NE(out, static_cast<BSTR*>(array->pvData)[1]);
  EXPECT_EQ(Text(out), L"second");
  VARTYPE vt = VT_EMPTY;
  EXPECT_EQ(SafeArrayGetVartype(array.get(), &vt), S_OK);
  EXPECT_EQ(vt, VT_BSTR);
}

TEST(SafeArrayTest, ElementTypesAndSizes) {
  const struct {
    VARTYPE vt;
    UINT size;
  } kTypes[] = {{VT_UI1, 1}, {VT_I1, 1},  {VT_I2, 2},   {VT_UI2, 2},   {VT_I4, 4},
                {VT_UI4, 4}, {VT_INT, 4}, {VT_UINT, 4}, {VT_I8, 8},    {VT_UI8, 8},
                {VT_R4, 4},  {VT_R8, 8},  {VT_BOOL, 2}, {VT_BSTR, 8},  {VT_VARIANT, 24},
                {VT_CY, 8},  {VT_DATE, 8}, {VT_ERROR, 4}};
  for (const auto& type : kTypes) {
    SCOPED_TRACE(type.vt);
    UniqueArray array(SafeArrayCreateVector(type.vt, 0, 2));
    ASSERT_NE(array, nullptr);
    EXPECT_EQ(SafeArrayGetElemsize(array.get()), type.size);
    VARTYPE vt = VT_EMPTY;
    EXPECT_EQ(SafeArrayGetVartype(array.get(), &vt), S_OK);
    EXPECT_EQ(vt, type.vt);
  }
  for (VARTYPE refused : {VT_EMPTY, VT_NULL, VT_DISPATCH, VT_UNKNOWN, VT_DECIMAL, VT_RECORD}) {
    EXPECT_EQ(SafeArrayCreateVector(refused, 0, 1), nullptr) << refused;
  }
  SAFEARRAYBOUND too_high = {2, INT32_MAX};  // upper bound would overflow LONG
  EXPECT_EQ(SafeArrayCreate(VT_I4, 1, &too_high), nullptr);
  EXPECT_EQ(SafeArrayCreate(VT_I4, 0, &too_high), nullptr);
}

TEST(SafeArrayTest, CopyIsDeepAndNullCopiesToNull) {
  UniqueArray array(SafeArrayCreateVector(VT_VARIANT, 0, 1));
  LONG index = 0;
  _variant_t text(L"value");
  ASSERT_EQ(SafeArrayPutElement(array.get(), &index, &text), S_OK);
  SAFEARRAY* raw_copy = nullptr;
  ASSERT_EQ(SafeArrayCopy(array.get(), &raw_copy), S_OK);
  UniqueArray copy(raw_copy);
  const VARIANT& original_element = static_cast<VARIANT*>(array->pvData)[0];
  const VARIANT& copied_element = static_cast<VARIANT*>(copy->pvData)[0];
  EXPECT_NE(copied_element.bstrVal, original_element.bstrVal);
  array.reset();
  EXPECT_EQ(Text(copied_element.bstrVal), L"value");

  raw_copy = copy.get();
  EXPECT_EQ(SafeArrayCopy(nullptr, &raw_copy), S_OK);
  EXPECT_EQ(raw_copy, nullptr);
  EXPECT_EQ(SafeArrayCopy(copy.get(), nullptr), E_INVALIDARG);
}

// _com_error ------------------------------------------------------------------

TEST(ComErrorTest, MessagesAndCopies) {
  EXPECT_STREQ(_com_error(E_FAIL).ErrorMessage(), L"Unspecified error");
  EXPECT_STREQ(_com_error(E_OUTOFMEMORY).ErrorMessage(),
               L"Not enough memory resources are available to complete this operation.");
  EXPECT_STREQ(_com_error(DISP_E_TYPEMISMATCH).ErrorMessage(), L"Type mismatch.");
  EXPECT_STREQ(_com_error(static_cast<HRESULT>(0x80040201)).ErrorMessage(), L"IDispatch error #1");
  EXPECT_EQ(_com_error(static_cast<HRESULT>(0x80040201)).WCode(), 1);
  EXPECT_EQ(_com_error::WCodeToHRESULT(1), static_cast<HRESULT>(0x80040201));

  std::unique_ptr<_com_error> original =
      std::make_unique<_com_error>(static_cast<HRESULT>(0x80001234));
  const _com_error copy(*original);
  original.reset();  // the copy's text must not point into the original
  EXPECT_STREQ(copy.ErrorMessage(), L"Unknown error 0x80001234");
  EXPECT_EQ(copy.Error(), static_cast<HRESULT>(0x80001234));
  EXPECT_TRUE(!copy.Description());
}

TEST(ComErrorTest, IssueErrorThrowsTheCode) {
  EXPECT_EQ(ErrorOf([] { _com_issue_error(E_ACCESSDENIED); }), E_ACCESSDENIED);
}

// _bstr_t ---------------------------------------------------------------------

TEST(BstrClassTest, CopiesShareOneStringUntilChanged) {
  _bstr_t a(L"shared");
  _bstr_t b(a);
  EXPECT_EQ(static_cast<const wchar_t*>(a), static_cast<const wchar_t*>(b));
  UniqueBstr independent(b.copy());
  EXPECT_NE(independent.get(), static_cast<const wchar_t*>(b));
  EXPECT_EQ(Text(independent.get()), L"shared");

  b += L"!";  // a new string for b only
  EXPECT_EQ(Text(a.GetBSTR()), L"shared");
  EXPECT_EQ(Text(b.GetBSTR()), L"shared!");
  b = L"other";
  EXPECT_EQ(Text(a.GetBSTR()), L"shared");
  EXPECT_EQ(b.length(), 5u);
}

TEST(BstrClassTest, SelfReferencingAssignments) {
  _bstr_t s(L"abcdef");
  s = static_cast<const wchar_t*>(s) + 2;
  EXPECT_EQ(Text(s.GetBSTR()), L"cdef");
  s = static_cast<const char*>(s);
  EXPECT_EQ(Text(s.GetBSTR()), L"cdef");
  s.Assign(s.GetBSTR());
  EXPECT_EQ(Text(s.GetBSTR()), L"cdef");
}

TEST(BstrClassTest, ConcurrentCopiesKeepTheCountRight) {
  const _bstr_t source(L"CN=Shared,DC=example,DC=com");
  constexpr int kThreads = 4;
  constexpr int kCopies = 20000;
  std::vector<std::thread> threads;
  std::vector<size_t> narrow_lengths(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&source, &narrow_lengths, t] {
      std::vector<_bstr_t> kept;
      for (int i = 0; i < kCopies; ++i) {
        _bstr_t copy(source);
        if (i % 64 == 0) kept.push_back(copy);
        if (i % 1024 == 0) narrow_lengths[t] = std::strlen(static_cast<const char*>(copy));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (size_t length : narrow_lengths) EXPECT_EQ(length, 27u);
  EXPECT_EQ(Text(_bstr_t(source).copy(false)), L"CN=Shared,DC=example,DC=com");
}

TEST(BstrClassTest, ComparisonsTreatNullAsEmpty) {
  const _bstr_t none;
  const _bstr_t null_text(static_cast<const wchar_t*>(nullptr));
  const _bstr_t empty(L"");
  EXPECT_TRUE(none == empty);
  EXPECT_TRUE(null_text == empty);
  EXPECT_FALSE(none < empty);
  EXPECT_TRUE(!none);
  EXPECT_TRUE(!null_text);
  EXPECT_FALSE(!empty);
  EXPECT_EQ(none.length(), 0u);
  EXPECT_EQ(static_cast<const wchar_t*>(none), nullptr);

  const OLECHAR zero_inside[] = {L'a', L'\0', L'b'};
  const _bstr_t with_zero(SysAllocStringLen(zero_inside, 3), false);
  const _bstr_t a(L"a");
  EXPECT_TRUE(with_zero != a);
  EXPECT_TRUE(with_zero > a);
  EXPECT_TRUE(_bstr_t(L"a") < _bstr_t(L"ab"));
  EXPECT_TRUE(_bstr_t(L"ab") < _bstr_t(L"b"));
  EXPECT_TRUE(_bstr_t(L"b") >= _bstr_t(L"ab"));
  EXPECT_TRUE(_bstr_t(L"x") <= _bstr_t(L"x"));
}

TEST(BstrClassTest, NarrowTextIsUtf8) {
  const _bstr_t accented("h\xc3\xa9llo");
  EXPECT_EQ(Text(accented.copy(false)), L"h\u00e9llo");
  EXPECT_STREQ(static_cast<const char*>(accented), "h\xc3\xa9llo");
  EXPECT_EQ(Text(_bstr_t("a\xff" "b").copy(false)), L"a\ufffdb");
  EXPECT_EQ(Text(_bstr_t("\xe2\x82").copy(false)), L"\ufffd");  // truncated sequence
  const _bstr_t joined = "x" + _bstr_t(L"\u20ac");
  EXPECT_STREQ(static_cast<const char*>(joined), "x\xe2\x82\xac");
}

TEST(BstrClassTest, OwnershipTransfer) {
  _bstr_t s;
  BSTR* slot = s.GetAddress();
  ASSERT_NE(slot, nullptr);
  EXPECT_EQ(*slot, nullptr);
  *slot = SysAllocString(L"filled");
  EXPECT_EQ(s.length(), 6u);

  _bstr_t sharer(s);
  EXPECT_EQ(ErrorOf([] {
              _bstr_t one(L"x");
              _bstr_t two(one);
              SysFreeString(one.Detach());
            }),
            E_POINTER);
  sharer = _bstr_t();
  BSTR detached = s.Detach();
  EXPECT_EQ(Text(detached), L"filled");
  EXPECT_EQ(s.length(), 0u);
  s.Attach(detached);
  EXPECT_EQ(Text(s.GetBSTR()), L"filled");
}

TEST(BstrClassTest, FromVariants) {
  EXPECT_TRUE(_bstr_t(_variant_t(42L)) == _bstr_t(L"42"));
  EXPECT_TRUE(_bstr_t(_variant_t(true)) == _bstr_t(L"-1"));
  const OLECHAR zero_inside[] = {L'p', L'\0', L'q'};
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocStringLen(zero_inside, 3);
  const _variant_t holder(v, false);
  EXPECT_EQ(_bstr_t(holder).length(), 3u);
  EXPECT_EQ(ErrorOf([] { _bstr_t failed{_variant_t(NullVariant())}; }), DISP_E_TYPEMISMATCH);
}

// _variant_t ------------------------------------------------------------------

struct VariantTypeCase {
  const char* name;
  _variant_t value;
  VARTYPE vt;
};

TEST(VariantClassTest, ConstructorsGiveTheWindowsType) {
  CY cy;
  cy.int64 = 1;
  const std::vector<VariantTypeCase> cases = {
      {"long", _variant_t(5L), VT_I4},
      {"long as error", _variant_t(5L, VT_ERROR), VT_ERROR},
      {"long as bool", _variant_t(5L, VT_BOOL), VT_BOOL},
      {"unsigned long", _variant_t(5ul), VT_UI4},
      {"int", _variant_t(5), VT_INT},
      {"unsigned int", _variant_t(5u), VT_UINT},
      {"short", _variant_t(short{5}), VT_I2},
      {"short as bool", _variant_t(short{5}, VT_BOOL), VT_BOOL},
      {"unsigned short", _variant_t(static_cast<unsigned short>(5)), VT_UI2},
      {"BYTE", _variant_t(BYTE{5}), VT_UI1},
      {"char", _variant_t('5'), VT_I1},
      {"long long", _variant_t(5LL), VT_I8},
      {"__int64", _variant_t(static_cast<__int64>(5)), VT_I8},
      {"unsigned __int64", _variant_t(static_cast<unsigned __int64>(5)), VT_UI8},
      {"float", _variant_t(5.0f), VT_R4},
      {"double", _variant_t(5.0), VT_R8},
      {"date", _variant_t(5.0, VT_DATE), VT_DATE},
      {"bool", _variant_t(true), VT_BOOL},
      {"currency", _variant_t(cy), VT_CY},
      {"wide text", _variant_t(L"x"), VT_BSTR},
      {"narrow text", _variant_t("x"), VT_BSTR},
      {"_bstr_t", _variant_t(_bstr_t(L"x")), VT_BSTR},
  };
  for (const VariantTypeCase& c : cases) {
    EXPECT_EQ(c.value.vt, c.vt) << c.name;
  }
}

TEST(VariantClassTest, LongKeepsTheLow32BitsAsOnWindows) {
  EXPECT_EQ(_variant_t(0x100000005L).lVal, 5);
  EXPECT_EQ(_variant_t(-1L).lVal, -1);
  EXPECT_EQ(_variant_t(0x80000000L).lVal, INT32_MIN);
  EXPECT_EQ(_variant_t(0x1FFFFFFFFul).ulVal, 0xFFFFFFFFu);
  EXPECT_EQ(_variant_t(true).boolVal, VARIANT_TRUE);
  EXPECT_EQ(_variant_t(short{0}, VT_BOOL).boolVal, VARIANT_FALSE);
  EXPECT_EQ(_variant_t(LLONG_MIN).llVal, LLONG_MIN);
  EXPECT_EQ(ErrorOf([] { _variant_t bad(short{1}, VT_I4); }), E_INVALIDARG);
  EXPECT_EQ(ErrorOf([] { _variant_t bad(1L, VT_I2); }), E_INVALIDARG);
  EXPECT_EQ(ErrorOf([] { _variant_t bad(1.0, VT_R4); }), E_INVALIDARG);
  EXPECT_EQ(ErrorOf([] { _variant_t bad(static_cast<const VARIANT*>(nullptr)); }), E_POINTER);
}

TEST(VariantClassTest, CopiesAreDeepAndIndependent) {
  _variant_t a(L"text");
  _variant_t b(a);
  EXPECT_NE(a.bstrVal, b.bstrVal);
  EXPECT_TRUE(a == b);
  a = L"changed";
  EXPECT_EQ(Text(b.bstrVal), L"text");
  b = a;
  EXPECT_TRUE(a == b);
  a = static_cast<const wchar_t*>(a.bstrVal) + 1;  // source inside our own value
  EXPECT_EQ(Text(a.bstrVal), L"hanged");

  _variant_t moved(std::move(b));
  EXPECT_EQ(b.vt, VT_EMPTY);  // NOLINT: checking the moved-from state
  EXPECT_EQ(Text(moved.bstrVal), L"changed");
  moved = _variant_t(3L);
  EXPECT_EQ(moved.vt, VT_I4);
}

TEST(VariantClassTest, AssignmentsKeepBoolErrorAndDate) {
  _variant_t flag(true);
  flag = short{0};
  EXPECT_EQ(flag.vt, VT_BOOL);
  EXPECT_EQ(flag.boolVal, VARIANT_FALSE);
  flag = 7L;
  EXPECT_EQ(flag.boolVal, VARIANT_TRUE);

  _variant_t code(1L, VT_ERROR);
  code = 0x80004005L;
  EXPECT_EQ(code.vt, VT_ERROR);
  EXPECT_EQ(code.scode, E_FAIL);

  _variant_t when(1.0, VT_DATE);
  when = 2.5;
  EXPECT_EQ(when.vt, VT_DATE);
  EXPECT_EQ(when.date, 2.5);

  _variant_t text(L"x");
  text = 5u;  // the string is released
  EXPECT_EQ(text.vt, VT_UINT);
  text = 6LL;
  EXPECT_EQ(text.vt, VT_I8);
}

TEST(VariantClassTest, ExtractorsConvertOrThrow) {
  EXPECT_EQ(static_cast<long>(_variant_t(L"123")), 123);
  EXPECT_EQ(static_cast<int>(_variant_t(2.5)), 2);
  EXPECT_EQ(static_cast<__int64>(_variant_t(L"-9000000000")), -9000000000LL);
  EXPECT_EQ(static_cast<unsigned __int64>(_variant_t(7L)), 7u);
  EXPECT_EQ(static_cast<double>(_variant_t(short{3})), 3.0);
  EXPECT_TRUE(static_cast<bool>(_variant_t(L"true")));
  EXPECT_EQ(static_cast<BYTE>(_variant_t(200)), 200);
  EXPECT_TRUE(static_cast<_bstr_t>(_variant_t(1.5)) == _bstr_t(L"1.5"));
  try {
    const short tooBig = _variant_t(70000L);
    ADD_FAILURE() << "converted to " << tooBig;
  } catch (const _com_error& e) {
    EXPECT_EQ(e.Error(), DISP_E_OVERFLOW);
    EXPECT_STREQ(e.ErrorMessage(), L"Out of present range.");
  }
  EXPECT_EQ(ErrorOf([] { static_cast<void>(static_cast<long>(_variant_t(L"abc"))); }),
            DISP_E_TYPEMISMATCH);
}

TEST(VariantClassTest, EqualityNeedsSameTypeAndValue) {
  EXPECT_TRUE(_variant_t(5L) == _variant_t(5L));
  EXPECT_FALSE(_variant_t(5L) == _variant_t(5));  // VT_I4 vs VT_INT
  EXPECT_TRUE(_variant_t(5L) != _variant_t(6L));
  EXPECT_TRUE(_variant_t(L"a") == _variant_t("a"));
  EXPECT_FALSE(_variant_t(L"a") == _variant_t(L"ab"));
  const _variant_t bytes = ByteArrayVariant({1});
  const _variant_t same_bytes(bytes);
  EXPECT_TRUE(bytes == bytes);
  EXPECT_FALSE(bytes == same_bytes);  // arrays compare by pointer
}

TEST(VariantClassTest, AttachDetachAndChangeType) {
  _variant_t holder;
  VARIANT raw;
  VariantInit(&raw);
  raw.vt = VT_BSTR;
  raw.bstrVal = SysAllocString(L"9");
  holder.Attach(raw);
  EXPECT_EQ(raw.vt, VT_EMPTY);
  holder.ChangeType(VT_I4);
  EXPECT_EQ(holder.vt, VT_I4);
  EXPECT_EQ(holder.lVal, 9);

  _variant_t text(L"word");
  EXPECT_EQ(ErrorOf([] {
              _variant_t failing(L"word");
              failing.ChangeType(VT_I4);
            }),
            DISP_E_TYPEMISMATCH);
  text.ChangeType(VT_BSTR);  // same type: nothing to do
  VARIANT detached = text.Detach();
  EXPECT_EQ(text.vt, VT_EMPTY);
  EXPECT_EQ(Text(detached.bstrVal), L"word");
  EXPECT_EQ(VariantClear(&detached), S_OK);

  _variant_t out(L"old");
  VARIANT* slot = out.GetAddress();
  EXPECT_EQ(slot->vt, VT_EMPTY);
}

// COM runtime -----------------------------------------------------------------

TEST(ComRuntimeTest, InitialisationIsCountedPerThread) {
  ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), RPC_E_CHANGED_MODE);
  HRESULT other_thread_first = E_FAIL;
  std::thread([&other_thread_first] {
    other_thread_first = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    CoUninitialize();
  }).join();
  EXPECT_EQ(other_thread_first, S_OK);
  CoUninitialize();
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);  // still one left
  CoUninitialize();
  CoUninitialize();
  CoUninitialize();  // extra calls are harmless
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
  CoUninitialize();
  int reserved = 0;
  EXPECT_EQ(CoInitializeEx(&reserved, COINIT_MULTITHREADED), E_INVALIDARG);
}

TEST(ComRuntimeTest, GuidsAreRandomVersion4AndPrintLikeWindows) {
  GUID a{}, b{};
  ASSERT_EQ(CoCreateGuid(&a), S_OK);
  ASSERT_EQ(CoCreateGuid(&b), S_OK);
  EXPECT_NE(std::memcmp(&a, &b, sizeof(GUID)), 0);
  EXPECT_EQ(a.Data3 >> 12, 4);
  EXPECT_EQ(a.Data4[0] & 0xC0, 0x80);

  const GUID known = {0x0123ABCD, 0x4567, 0x89EF, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};
  wchar_t text[39];
  EXPECT_EQ(StringFromGUID2(known, text, 39), 39);
  EXPECT_STREQ(text, L"{0123ABCD-4567-89EF-0123-456789ABCDEF}");
  EXPECT_EQ(StringFromGUID2(known, text, 38), 0);
}

}  // namespace
