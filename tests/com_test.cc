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

std::wstring Text(BSTR b) { return std::wstring(b, SysStringLen(b)); }

// A variant of type `vt` owning `array`.
_variant_t ArrayVariant(VARTYPE vt, SAFEARRAY* array) {
  VARIANT v{};
  v.vt = VT_ARRAY | vt;
  v.parray = array;
  return _variant_t(v, false);
}

_variant_t ByteArrayVariant(const std::vector<BYTE>& bytes) {
  SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
  std::memcpy(array->pvData, bytes.data(), bytes.size());
  return ArrayVariant(VT_UI1, array);
}

_variant_t NullVariant() {
  _variant_t v;
  v.vt = VT_NULL;
  return v;
}

template <class Action>
HRESULT ErrorOf(Action action) {
  try {
    action();
  } catch (const _com_error& e) {
    return e.Error();
  }
  return S_OK;
}

TEST(BstrTest, LengthPrefixCountsBytesAndKeepsEmbeddedZeros) {
  UniqueBstr abc(SysAllocString(L"abc"));
  uint32_t prefix = 0;
  std::memcpy(&prefix, reinterpret_cast<const char*>(abc.get()) - sizeof(prefix), sizeof(prefix));
  EXPECT_EQ(prefix, 3 * sizeof(OLECHAR));
  EXPECT_EQ(SysStringLen(abc.get()), 3u);
  EXPECT_EQ(abc.get()[3], L'\0');
  const OLECHAR zero_inside[] = {L'a', L'\0', L'b'};
  UniqueBstr counted(SysAllocStringLen(zero_inside, 3));
  EXPECT_EQ(Text(counted.get()), std::wstring(zero_inside, 3));
  EXPECT_EQ(counted.get()[3], L'\0');
  UniqueBstr blank(SysAllocStringLen(nullptr, 4));
  EXPECT_EQ(SysStringLen(blank.get()), 4u);
  EXPECT_EQ(blank.get()[4], L'\0');
  UniqueBstr odd(SysAllocStringByteLen("xyz", 3));  // byte counts need not be whole characters
  EXPECT_EQ(SysStringByteLen(odd.get()), 3u);
  EXPECT_EQ(SysStringLen(odd.get()), 3 / sizeof(OLECHAR));
  EXPECT_EQ(std::memcmp(odd.get(), "xyz", 3), 0);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  EXPECT_EQ(SysAllocStringLen(nullptr, UINT_MAX), nullptr);  // byte count overflows
}

TEST(VariantTest, CopiesAreDeepAndClearRespectsOwnership) {
  const OLECHAR text[] = {L'x', L'\0', L'y'};
  _variant_t source(_bstr_t(SysAllocStringLen(text, 3), false));
  _variant_t copy(L"old");  // released by VariantCopy
  ASSERT_EQ(VariantCopy(&copy, &source), S_OK);
  ASSERT_EQ(VariantClear(&source), S_OK);
  EXPECT_EQ(source.vt, VT_EMPTY);
  EXPECT_EQ(Text(copy.bstrVal), std::wstring(text, 3));

  // An array of variants holding a string and a byte array is copied all the way down.
  _variant_t original = ArrayVariant(VT_VARIANT, SafeArrayCreateVector(VT_VARIANT, 0, 2));
  VARIANT* elements = static_cast<VARIANT*>(original.parray->pvData);
  const _variant_t name(L"cn=user"), guid = ByteArrayVariant({0xAA, 0xBB});
  ASSERT_EQ(VariantCopy(&elements[0], &name), S_OK);
  ASSERT_EQ(VariantCopy(&elements[1], &guid), S_OK);
  _variant_t deep(original);
  ASSERT_NE(deep.parray, original.parray);
  static_cast<BYTE*>(elements[1].parray->pvData)[0] = 0;
  original.Clear();
  elements = static_cast<VARIANT*>(deep.parray->pvData);
  EXPECT_EQ(Text(elements[0].bstrVal), L"cn=user");
  ASSERT_EQ(elements[1].vt, VT_ARRAY | VT_UI1);
  ASSERT_EQ(elements[1].parray->rgsabound[0].cElements, 2u);
  EXPECT_EQ(static_cast<BYTE*>(elements[1].parray->pvData)[0], 0xAA);

  // Unsupported types are refused without touching the destination.
  VARIANT odd{};
  odd.vt = VT_DISPATCH;
  _variant_t kept(L"kept");
  EXPECT_EQ(VariantCopy(&kept, &odd), DISP_E_BADVARTYPE);
  EXPECT_EQ(VariantClear(&odd), DISP_E_BADVARTYPE);
  EXPECT_EQ(VariantChangeType(&kept, &kept, 0, VT_DECIMAL), DISP_E_BADVARTYPE);
  EXPECT_EQ(Text(kept.bstrVal), L"kept");

  // A locked array is neither released nor lost.
  _variant_t holder = ByteArrayVariant({7});
  SAFEARRAY* locked = holder.parray;
  ASSERT_EQ(SafeArrayLock(locked), S_OK);
  EXPECT_EQ(VariantClear(&holder), DISP_E_ARRAYISLOCKED);
  EXPECT_EQ(holder.vt, VT_ARRAY | VT_UI1);
  EXPECT_EQ(holder.parray, locked);
  ASSERT_EQ(SafeArrayUnlock(locked), S_OK);

  // A reference is copied and cleared, its target never released.
  UniqueBstr target(SysAllocString(L"owned elsewhere"));
  BSTR target_value = target.get();
  VARIANT ref{}, ref_copy{};
  ref.vt = VT_BYREF | VT_BSTR;
  ref.pbstrVal = &target_value;
  ASSERT_EQ(VariantCopy(&ref_copy, &ref), S_OK);
  EXPECT_EQ(ref_copy.pbstrVal, &target_value);
  EXPECT_EQ(VariantClear(&ref_copy), S_OK);
  EXPECT_EQ(VariantClear(&ref), S_OK);
  EXPECT_EQ(Text(target.get()), L"owned elsewhere");
}

TEST(VariantChangeTypeTest, ConvertsAsWindows) {
  const HRESULT kOk = S_OK, kOverflow = DISP_E_OVERFLOW, kMismatch = DISP_E_TYPEMISMATCH;
  const struct {
    const char* name;
    _variant_t from;
    VARTYPE to;
    HRESULT hr;
    _variant_t expected;  // when hr is S_OK
  } kCases[] = {
      {"I4 fits UI1", _variant_t(255L), VT_UI1, kOk, _variant_t(BYTE{255})},
      {"I4 above UI1", _variant_t(300L), VT_UI1, kOverflow, {}},
      {"negative to UI4", _variant_t(-1L), VT_UI4, kOverflow, {}},
      {"UI4 above I4", _variant_t(0xFFFFFFFFul), VT_I4, kOverflow, {}},
      {"real ties to even down", _variant_t(2.5), VT_I4, kOk, _variant_t(2L)},
      {"real ties to even up", _variant_t(3.5), VT_I4, kOk, _variant_t(4L)},
      {"NaN to integer", _variant_t(std::nan("")), VT_I4, kOverflow, {}},
      {"true to UI1 is all ones", _variant_t(true), VT_UI1, kOk, _variant_t(BYTE{255})},
      {"number to bool", _variant_t(7L), VT_BOOL, kOk, _variant_t(true)},
      {"null to I4", NullVariant(), VT_I4, kMismatch, {}},
      {"text with blanks", _variant_t(L" 42 "), VT_I4, kOk, _variant_t(42L)},
      {"text not a number", _variant_t(L"4x"), VT_I4, kMismatch, {}},
      {"text above I2", _variant_t(L"70000"), VT_I2, kOverflow, {}},
      {"negative text to UI8", _variant_t(L"-1"), VT_UI8, kOverflow, {}},
      {"beyond 64 bits", _variant_t(L"99999999999999999999"), VT_I8, kOverflow, {}},
      {"true as text", _variant_t(true), VT_BSTR, kOk, _variant_t(L"-1")},
      {"I1 as text", _variant_t(static_cast<char>(-5)), VT_BSTR, kOk, _variant_t(L"-5")},
      {"UI8 as text", _variant_t(ULLONG_MAX), VT_BSTR, kOk, _variant_t(L"18446744073709551615")},
      {"R8 as text", _variant_t(0.1), VT_BSTR, kOk, _variant_t(L"0.1")},
      {"R8 in exponent form", _variant_t(1e20), VT_BSTR, kOk, _variant_t(L"1E+20")},
      {"R4 as text", _variant_t(0.1f), VT_BSTR, kOk, _variant_t(L"0.1")},
      {"array to text", ByteArrayVariant({1}), VT_BSTR, kMismatch, {}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    _variant_t result(L"sentinel");
    EXPECT_EQ(VariantChangeType(&result, &c.from, 0, c.to), c.hr);
    if (c.hr == S_OK) {
      EXPECT_EQ(result.vt, c.to);
      EXPECT_TRUE(result == c.expected) << "got " << Text(_bstr_t(result));
    } else {
      EXPECT_EQ(Text(result.bstrVal), L"sentinel");  // unchanged on failure
    }
  }
  _variant_t text(L"12");
  ASSERT_EQ(VariantChangeType(&text, &text, 0, VT_I4), S_OK);  // the BSTR must not leak
  EXPECT_EQ(text.lVal, 12);
  _variant_t inner(L"3");  // the source is read through a reference
  VARIANT ref{};
  ref.vt = VT_BYREF | VT_VARIANT;
  ref.pvarVal = &inner;
  ASSERT_EQ(VariantChangeType(&text, &ref, 0, VT_I2), S_OK);
  EXPECT_EQ(text.iVal, 3);
}

TEST(SafeArrayTest, BoundsLayoutLocksAndRefusals) {
  UniqueArray vector(SafeArrayCreateVector(VT_I4, 5, 3));
  LONG lower = 0, upper = 0, value = -42, index = 6;
  EXPECT_EQ(SafeArrayGetLBound(vector.get(), 1, &lower), S_OK);
  EXPECT_EQ(SafeArrayGetUBound(vector.get(), 1, &upper), S_OK);
  EXPECT_EQ(std::make_pair(lower, upper), std::make_pair(5, 7));
  EXPECT_EQ(SafeArrayGetLBound(vector.get(), 2, &lower), DISP_E_BADINDEX);
  EXPECT_EQ(SafeArrayGetLBound(vector.get(), 0, &lower), DISP_E_BADINDEX);
  ASSERT_EQ(SafeArrayPutElement(vector.get(), &index, &value), S_OK);
  EXPECT_EQ(static_cast<LONG*>(vector->pvData)[1], -42);  // counted from the lower bound
  for (LONG outside : {4, 8}) {
    EXPECT_EQ(SafeArrayPutElement(vector.get(), &outside, &value), DISP_E_BADINDEX) << outside;
  }

  SAFEARRAYBOUND bounds[] = {{2, 0}, {3, 10}};  // dimension 1, dimension 2
  UniqueArray matrix(SafeArrayCreate(VT_I2, 2, bounds));
  EXPECT_EQ(SafeArrayGetDim(vector.get()), 1u);
  EXPECT_EQ(SafeArrayGetDim(matrix.get()), 2u);
  EXPECT_EQ(SafeArrayGetLBound(matrix.get(), 2, &lower), S_OK);
  EXPECT_EQ(SafeArrayGetUBound(matrix.get(), 2, &upper), S_OK);
  EXPECT_EQ(std::make_pair(lower, upper), std::make_pair(10, 12));
  EXPECT_EQ(matrix->rgsabound[0].cElements, 3u);  // stored last dimension first

  SAFEARRAY* bytes = SafeArrayCreateVector(VT_UI1, 0, 16);
  void* data = nullptr;
  ASSERT_EQ(SafeArrayAccessData(bytes, &data), S_OK);
  EXPECT_EQ(SafeArrayDestroy(bytes), DISP_E_ARRAYISLOCKED);
  ASSERT_EQ(SafeArrayUnaccessData(bytes), S_OK);
  EXPECT_EQ(SafeArrayUnlock(bytes), E_UNEXPECTED);
  EXPECT_EQ(SafeArrayDestroy(bytes), S_OK);

  EXPECT_EQ(SafeArrayGetElemsize(UniqueArray(SafeArrayCreateVector(VT_BOOL, 0, 1)).get()), 2u);
  EXPECT_EQ(SafeArrayGetElemsize(UniqueArray(SafeArrayCreateVector(VT_VARIANT, 0, 1)).get()), 24u);
  for (VARTYPE refused : {VT_EMPTY, VT_NULL, VT_DISPATCH, VT_DECIMAL, VT_RECORD}) {
    EXPECT_EQ(SafeArrayCreateVector(refused, 0, 1), nullptr) << refused;
  }
  SAFEARRAYBOUND too_high = {2, INT32_MAX};  // upper bound would overflow LONG
  EXPECT_EQ(SafeArrayCreate(VT_I4, 1, &too_high), nullptr);
  EXPECT_EQ(SafeArrayCreate(VT_I4, 0, &too_high), nullptr);
}

TEST(ComErrorTest, MessagesSurviveCopies) {
  EXPECT_STREQ(_com_error(E_FAIL).ErrorMessage(), L"Unspecified error");
  EXPECT_STREQ(_com_error(static_cast<HRESULT>(0x80040201)).ErrorMessage(), L"IDispatch error #1");
  auto original = std::make_unique<_com_error>(static_cast<HRESULT>(0x80001234));
  const _com_error copy(*original);
  original.reset();  // the copy's text must not point into the original
  EXPECT_STREQ(copy.ErrorMessage(), L"Unknown error 0x80001234");
}

TEST(BstrClassTest, SharingComparisonAndNarrowText) {
  _bstr_t a(L"shared");
  _bstr_t b(a);
  EXPECT_EQ(static_cast<const wchar_t*>(a), static_cast<const wchar_t*>(b));
  UniqueBstr independent(b.copy());
  EXPECT_NE(independent.get(), static_cast<const wchar_t*>(b));
  b += L"!";  // a new string for b only
  EXPECT_EQ(Text(a.GetBSTR()), L"shared");
  EXPECT_EQ(Text(b.GetBSTR()), L"shared!");
  const _bstr_t c(a);
  EXPECT_EQ(ErrorOf([&] { SysFreeString(a.Detach()); }), E_POINTER);  // still shared with c
  b = static_cast<const wchar_t*>(b) + 2;  // sources inside our own text
  b = static_cast<const char*>(b);
  EXPECT_EQ(Text(b.GetBSTR()), L"ared!");

  const _bstr_t none;
  const _bstr_t empty(L"");
  EXPECT_TRUE(none == empty);
  EXPECT_FALSE(none < empty);
  EXPECT_TRUE(!none);
  EXPECT_FALSE(!empty);
  const OLECHAR zero_inside[] = {L'a', L'\0', L'b'};
  const _bstr_t with_zero(SysAllocStringLen(zero_inside, 3), false);
  EXPECT_TRUE(with_zero > _bstr_t(L"a"));
  EXPECT_TRUE(_bstr_t(L"ab") < _bstr_t(L"b"));
  EXPECT_EQ(_bstr_t(_variant_t(with_zero)).length(), 3u);
  EXPECT_EQ(ErrorOf([] { _bstr_t failed{NullVariant()}; }), DISP_E_TYPEMISMATCH);

  const _bstr_t accented("h\xc3\xa9llo");  // narrow text is UTF-8
  EXPECT_EQ(Text(accented.copy(false)), L"h\u00e9llo");
  EXPECT_STREQ(static_cast<const char*>(accented), "h\xc3\xa9llo");
  EXPECT_STREQ(static_cast<const char*>("x" + _bstr_t(L"\u20ac")), "x\xe2\x82\xac");
}

TEST(BstrClassTest, ConcurrentCopiesKeepTheCountRight) {
  const _bstr_t source(L"CN=Shared,DC=example,DC=com");
  std::vector<std::thread> threads;
  std::vector<size_t> narrow_lengths(4);
  for (size_t t = 0; t < narrow_lengths.size(); ++t) {
    threads.emplace_back([&source, &narrow_lengths, t] {
      std::vector<_bstr_t> kept;
      for (int i = 0; i < 20000; ++i) {
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

TEST(VariantClassTest, WindowsTypesCopiesAndExtractors) {
  EXPECT_EQ(_variant_t(5L).vt, VT_I4);  // long is a 32-bit Windows long
  EXPECT_EQ(_variant_t(0x100000005L).lVal, 5);
  EXPECT_EQ(_variant_t(0x80000000L).lVal, INT32_MIN);
  EXPECT_EQ(_variant_t(0x1FFFFFFFFul).ulVal, 0xFFFFFFFFu);
  EXPECT_EQ(_variant_t(5).vt, VT_INT);
  EXPECT_EQ(_variant_t('5').vt, VT_I1);
  EXPECT_EQ(_variant_t(5LL).vt, VT_I8);
  EXPECT_EQ(_variant_t(short{5}, VT_BOOL).boolVal, VARIANT_TRUE);
  EXPECT_EQ(ErrorOf([] { _variant_t bad(short{1}, VT_I4); }), E_INVALIDARG);
  EXPECT_EQ(ErrorOf([] { _variant_t bad(static_cast<const VARIANT*>(nullptr)); }), E_POINTER);
  _variant_t flag(true);
  flag = 7L;  // assignment keeps VT_BOOL
  EXPECT_EQ(flag.vt, VT_BOOL);
  EXPECT_EQ(flag.boolVal, VARIANT_TRUE);
  flag = L"x";
  flag = 5u;  // the string is released
  EXPECT_EQ(flag.vt, VT_UINT);

  _variant_t a(L"text");
  _variant_t b(a);
  EXPECT_NE(a.bstrVal, b.bstrVal);
  a = L"changed";
  EXPECT_EQ(Text(b.bstrVal), L"text");
  a = static_cast<const wchar_t*>(a.bstrVal) + 1;  // source inside our own value
  EXPECT_EQ(Text(a.bstrVal), L"hanged");
  _variant_t moved(std::move(a));
  EXPECT_EQ(a.vt, VT_EMPTY);  // NOLINT: checking the moved-from state
  EXPECT_EQ(Text(moved.bstrVal), L"hanged");
  EXPECT_FALSE(_variant_t(5L) == _variant_t(5));  // VT_I4 vs VT_INT
  EXPECT_TRUE(_variant_t(L"a") == _variant_t("a"));
  const _variant_t bytes = ByteArrayVariant({1});
  EXPECT_TRUE(bytes == bytes);
  EXPECT_FALSE(bytes == _variant_t(bytes));  // arrays compare by pointer

  EXPECT_EQ(ErrorOf([] { static_cast<void>(static_cast<short>(_variant_t(70000L))); }),
            DISP_E_OVERFLOW);
  _variant_t word(L"word");
  EXPECT_EQ(ErrorOf([&] { word.ChangeType(VT_I4); }), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(Text(word.bstrVal), L"word");
  EXPECT_EQ(word.GetAddress()->vt, VT_EMPTY);  // "word" released, not leaked
}

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
}

}  // namespace
