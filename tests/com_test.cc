// BSTR, VARIANT, SAFEARRAY and the COM support classes, as far as the
// library relies on them.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/com.h"
#include "tests/support/target_system.h"

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
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  EXPECT_EQ(SysAllocStringLen(nullptr, UINT_MAX), nullptr);  // byte count overflows
}

// Freed strings' blocks are kept for reuse: a string made in a block that
// held a longer one, of any length around the block sizes (odd byte counts
// included), reads exactly its own bytes, then zeros up to the next whole
// character and a zero character; and blocks freed on another thread serve
// that thread.
TEST(BstrTest, ReusedBlocksHoldOnlyTheirNewString) {
  const UINT byte_lengths[] = {0, 1, 2, 3, 40, 45, 46, 47, 48, 100, 109, 110, 111, 112,
                               237, 238, 239, 240, 493, 494, 495, 496, 497, 1000};
  const auto check = [](BSTR b, UINT bytes, char fill) {
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(SysStringByteLen(b), bytes);
    const auto* raw = reinterpret_cast<const unsigned char*>(b);
    for (UINT i = 0; i < bytes; ++i) ASSERT_EQ(raw[i], static_cast<unsigned char>(fill)) << bytes << " at " << i;
    const UINT padded = (bytes + 1) / 2 * 2 + 2;
    for (UINT i = bytes; i < padded; ++i) ASSERT_EQ(raw[i], 0) << bytes << " after, at " << i;
  };
  for (UINT bytes : byte_lengths) {
    // Fill the blocks of every size with a longer string of another byte.
    std::vector<BSTR> dirty;
    for (UINT other : byte_lengths) {
      const std::string ones(other + 7, '\x7f');
      dirty.push_back(SysAllocStringByteLen(ones.data(), other + 7));
    }
    for (BSTR b : dirty) SysFreeString(b);
    const std::string text(bytes, 'a');
    UniqueBstr made(SysAllocStringByteLen(text.data(), bytes));
    check(made.get(), bytes, 'a');
    UniqueBstr zeros(SysAllocStringByteLen(nullptr, bytes));
    check(zeros.get(), bytes, '\0');
  }
  std::vector<BSTR> elsewhere;
  std::thread([&elsewhere, &byte_lengths] {
    for (UINT bytes : byte_lengths) elsewhere.push_back(SysAllocStringLen(nullptr, bytes / 2));
  }).join();
  std::thread([&elsewhere] {
    for (BSTR b : elsewhere) SysFreeString(b);
    for (int round = 0; round < 3; ++round) {
      UniqueBstr again(SysAllocString(L"reused"));
      EXPECT_EQ(Text(again.get()), L"reused");
      EXPECT_EQ(again.get()[6], L'\0');
    }
  }).join();
}

TEST(VariantTest, CopiesAreDeepAllTheWayDown) {
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
  _variant_t name(L"cn=user"), guid = ByteArrayVariant({0xAA, 0xBB});
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
}

// The filter evaluator compares the values it has no other rule for as text.
TEST(VariantChangeTypeTest, NumbersBecomeTextAsWindowsWritesThem) {
  // Not const: some SDKs (mingw-w64's) take the source as non-const.
  struct {
    const char* name;
    _variant_t from;
    HRESULT hr;
    const wchar_t* expected;  // when hr is S_OK
  } cases[] = {
      {"UI8 beyond I8", _variant_t(ULLONG_MAX), S_OK, L"18446744073709551615"},
      {"R8", _variant_t(0.1), S_OK, L"0.1"},
      {"R8 in exponent form", _variant_t(1e20), S_OK, L"1E+20"},
      {"R4", _variant_t(0.1f), S_OK, L"0.1"},
      // Windows turns a byte array into a string of those bytes (one byte is
      // no whole character); the POSIX layer refuses arrays.
      {"array", ByteArrayVariant({1}), userpolicy::testing::OnWindows() ? S_OK : DISP_E_TYPEMISMATCH, L""},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    _variant_t result(L"sentinel");
    EXPECT_EQ(VariantChangeType(&result, &c.from, 0, VT_BSTR), c.hr);
    ASSERT_EQ(result.vt, VT_BSTR);
    EXPECT_EQ(Text(result.bstrVal), c.hr == S_OK ? c.expected : L"sentinel");  // unchanged on failure
  }
}

TEST(SafeArrayTest, BoundsAndLocks) {
  UniqueArray vector(SafeArrayCreateVector(VT_I4, 5, 3));
  LONG lower = 0, upper = 0;
  EXPECT_EQ(SafeArrayGetLBound(vector.get(), 1, &lower), S_OK);
  EXPECT_EQ(SafeArrayGetUBound(vector.get(), 1, &upper), S_OK);
  EXPECT_EQ(std::make_pair(lower, upper), std::make_pair(LONG{5}, LONG{7}));
  EXPECT_EQ(SafeArrayGetDim(vector.get()), 1u);

  SAFEARRAY* bytes = SafeArrayCreateVector(VT_UI1, 0, 16);
  void* data = nullptr;
  ASSERT_EQ(SafeArrayAccessData(bytes, &data), S_OK);
  EXPECT_EQ(SafeArrayDestroy(bytes), DISP_E_ARRAYISLOCKED);
  ASSERT_EQ(SafeArrayUnaccessData(bytes), S_OK);
  EXPECT_EQ(SafeArrayUnlock(bytes), E_UNEXPECTED);
  EXPECT_EQ(SafeArrayDestroy(bytes), S_OK);
}

TEST(ComErrorTest, MessagesSurviveCopies) {
  // Windows' text comes from FormatMessage (and differs between versions).
  const std::wstring known = _com_error(E_FAIL).ErrorMessage();
  if (userpolicy::testing::OnWindows()) {
    EXPECT_FALSE(known.empty() || known.starts_with(L"Unknown error")) << known;
  } else {
    EXPECT_EQ(known, L"Unspecified error");
  }
  auto original = std::make_unique<_com_error>(static_cast<HRESULT>(0x80001234));
  const _com_error copy(*original);
  original.reset();  // the copy's text must not point into the original
  EXPECT_STREQ(copy.ErrorMessage(), L"Unknown error 0x80001234");
}

TEST(BstrClassTest, CopiesShareTheTextAndCountConcurrently) {
  _bstr_t a(L"shared");
  _bstr_t b(a);
  EXPECT_EQ(static_cast<const wchar_t*>(a), static_cast<const wchar_t*>(b));
  b = L"other";  // a new string for b only
  EXPECT_EQ(Text(a.GetBSTR()), L"shared");
  EXPECT_EQ(Text(b.GetBSTR()), L"other");

  const _bstr_t source(L"CN=Shared,DC=example,DC=com");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&source] {
      std::vector<_bstr_t> kept;
      for (int i = 0; i < 20000; ++i) {
        _bstr_t copy(source);
        if (i % 64 == 0) kept.push_back(copy);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(Text(_bstr_t(source).GetBSTR()), L"CN=Shared,DC=example,DC=com");
}

TEST(VariantClassTest, WindowsTypesCopiesAndMoves) {
  EXPECT_EQ(_variant_t(5L).vt, VT_I4);  // long is a 32-bit Windows long
  EXPECT_EQ(_variant_t(0x100000005L).lVal, 5);
  EXPECT_EQ(_variant_t(0x80000000L).lVal, INT32_MIN);
  EXPECT_EQ(_variant_t(5LL).vt, VT_I8);  // __int64
  EXPECT_FALSE(_variant_t(5L) == _variant_t(5));  // VT_I4 vs VT_INT
  _variant_t flag(true);
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
  _variant_t moved(std::move(a));
  // Our _variant_t moves; Windows' comutil has no move constructor and copies.
  EXPECT_EQ(a.vt, userpolicy::testing::OnWindows() ? VT_BSTR : VT_EMPTY);  // NOLINT: the moved-from state
  EXPECT_EQ(Text(moved.bstrVal), L"changed");
}

}  // namespace
