// CDirectoryHelper conversions against byte strings known independently of
// the code (well-known SIDs, a documented schema GUID), buffer limits (the
// text results share one copy-out, checked closely once), and the Global
// Catalog paths copied from the current backend.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "platform/directory.h"
#include "testing/memory_directory.h"

namespace {

constexpr HRESULT kInsufficientBuffer = HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
constexpr wchar_t kCanary = L'#';

// S-1-5-32-544, the builtin Administrators group, and its filter form.
const std::vector<uint8_t> kAdministratorsSid = {1, 2, 0, 0, 0, 0, 0, 5, 0x20, 0, 0, 0, 0x20, 2, 0, 0};
constexpr wchar_t kAdministratorsEscaped[] = L"\\01\\02\\00\\00\\00\\00\\00\\05\\20\\00\\00\\00\\20\\02\\00\\00";
// S-1-5-18, Local System.
const std::vector<uint8_t> kLocalSystemSid = {1, 1, 0, 0, 0, 0, 0, 5, 0x12, 0, 0, 0};

_variant_t ByteVariant(const std::vector<uint8_t>& bytes) {
  _variant_t value;
  value.parray = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
  value.vt = VT_ARRAY | VT_UI1;
  if (!bytes.empty()) std::memcpy(value.parray->pvData, bytes.data(), bytes.size());
  return value;
}

std::wstring SidSearchString(const wchar_t* sid, int group, HRESULT* hr) {
  wchar_t buffer[256];
  *hr = CDirectoryHelper::GetObjectSIDSearchStringByUserSIDAndPrimaryGroupID(sid, group, buffer, 256);
  return SUCCEEDED(*hr) ? std::wstring(buffer) : std::wstring();
}

TEST(SidSearchString, ReplacesTheLastSubAuthorityAndEscapesEveryByte) {
  HRESULT hr = E_FAIL;
  // Users (545) with 544 as the "primary group" gives Administrators.
  EXPECT_EQ(SidSearchString(L"S-1-5-32-545", 544, &hr), kAdministratorsEscaped);
  EXPECT_EQ(hr, S_OK);
  // A domain user's SID with Domain Users (513): 21 = 0x15, 513 = 0x0201.
  EXPECT_EQ(SidSearchString(L"s-1-5-21-1-2-3-1104", 513, &hr),
            L"\\01\\05\\00\\00\\00\\00\\00\\05\\15\\00\\00\\00\\01\\00\\00\\00"
            L"\\02\\00\\00\\00\\03\\00\\00\\00\\01\\02\\00\\00");
  // Sub-authorities use all 32 bits, little-endian; a hexadecimal authority is read.
  EXPECT_EQ(SidSearchString(L"S-1-0x000000000005-4294967295-1", 0x01020304, &hr),
            L"\\01\\02\\00\\00\\00\\00\\00\\05\\ff\\ff\\ff\\ff\\04\\03\\02\\01");
  EXPECT_EQ(SidSearchString(L"S-1-5-18", 7, &hr), L"\\01\\01\\00\\00\\00\\00\\00\\05\\07\\00\\00\\00");
  // Fifteen sub-authorities is the most a SID has.
  SidSearchString(L"S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15", 513, &hr);
  EXPECT_EQ(hr, S_OK);

  for (const wchar_t* sid :
       {L"", L"S-1", L"S-1-5", L"S-2-5-21-1", L"X-1-5-1", L"S-1-5-21-4294967296", L"S-1-5-21-1-", L"S-1-5--1",
        L"S-1-5-21-1 ", L"S-1-281474976710656-1", L"S-1-0x-1", L"S-1-0x1234567890123-1",
        L"S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15-16"}) {
    SidSearchString(sid, 513, &hr);
    EXPECT_EQ(hr, E_INVALIDARG) << ::testing::PrintToString(std::wstring(sid));
  }
  SidSearchString(L"S-1-5-21-1-2-3-1104", -1, &hr);
  EXPECT_EQ(hr, E_INVALIDARG);
  wchar_t small[8];
  EXPECT_EQ(CDirectoryHelper::GetObjectSIDSearchStringByUserSIDAndPrimaryGroupID(nullptr, 513, small, 8),
            E_INVALIDARG);
  EXPECT_EQ(CDirectoryHelper::GetObjectSIDSearchStringByUserSIDAndPrimaryGroupID(L"S-1-5-18", 1, nullptr, 8),
            E_INVALIDARG);

  // Never past the buffer: 16 bytes, three characters each, and the terminator.
  constexpr unsigned long kNeeded = 16 * 3 + 1;
  std::vector<wchar_t> out(kNeeded + 4, kCanary);
  EXPECT_EQ(CDirectoryHelper::GetObjectSIDSearchStringByUserSIDAndPrimaryGroupID(L"S-1-5-32-545", 544, out.data(),
                                                                                kNeeded - 1),
            kInsufficientBuffer);
  EXPECT_EQ(out[0], L'\0');
  for (size_t i = kNeeded - 1; i < out.size(); ++i) EXPECT_EQ(out[i], kCanary) << i;
  EXPECT_EQ(CDirectoryHelper::GetObjectSIDSearchStringByUserSIDAndPrimaryGroupID(L"S-1-5-32-545", 544, out.data(),
                                                                                kNeeded),
            S_OK);
  EXPECT_EQ(std::wstring(out.data()), kAdministratorsEscaped);
  EXPECT_EQ(out[kNeeded], kCanary);
}

TEST(SidFromVariant, FormatsWellKnownSidsAndRefusesWhatIsNotOne) {
  const std::pair<std::vector<uint8_t>, const wchar_t*> good[] = {
      {kAdministratorsSid, L"S-1-5-32-544"},
      {{1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0}, L"S-1-1-0"},  // Everyone
      {kLocalSystemSid, L"S-1-5-18"},
      {{1, 0, 0, 0, 0, 0, 0, 0}, L"S-1-0"},  // no sub-authority
      {{1, 1, 1, 2, 3, 4, 5, 6, 0xff, 0xff, 0xff, 0xff}, L"S-1-0x010203040506-4294967295"},
  };
  for (const auto& [bytes, expected] : good) {
    _variant_t value = ByteVariant(bytes);
    wchar_t text[64];
    EXPECT_EQ(CDirectoryHelper::GetSIDStringFromVariant(value, text, 64), S_OK) << expected;
    EXPECT_STREQ(text, expected);
  }

  std::vector<std::vector<uint8_t>> bad = {
      {},
      {1, 1, 0, 0, 0, 0, 0},                           // shorter than the header
      {2, 1, 0, 0, 0, 0, 0, 5, 0x12, 0, 0, 0},         // revision 2
      {1, 2, 0, 0, 0, 0, 0, 5, 0x12, 0, 0, 0},         // count says 2, holds 1
      {1, 1, 0, 0, 0, 0, 0, 5, 0x12, 0, 0, 0, 0},      // one byte too many
      std::vector<uint8_t>{1, 16, 0, 0, 0, 0, 0, 5},  // sixteen sub-authorities, below
  };
  bad.back().resize(8 + 4 * 16, 1);
  for (const std::vector<uint8_t>& bytes : bad) {
    _variant_t value = ByteVariant(bytes);
    wchar_t text[128];
    EXPECT_EQ(CDirectoryHelper::GetSIDStringFromVariant(value, text, 128), E_INVALIDARG) << bytes.size();
  }
  _variant_t text_value(L"S-1-5-18");
  wchar_t text[32];
  EXPECT_EQ(CDirectoryHelper::GetSIDStringFromVariant(text_value, text, 32), E_INVALIDARG);
}

TEST(VariantBytes, CopiesWithinTheCapacityAndRefusesOtherTypes) {
  _variant_t value = ByteVariant(kAdministratorsSid);
  std::vector<BYTE> bytes(20, 0xee);
  unsigned long size = 16;
  EXPECT_EQ(CDirectoryHelper::VariantArrayToBytesWithBuffer(value, bytes.data(), &size), S_OK);
  EXPECT_EQ(size, 16u);
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 16), kAdministratorsSid);
  EXPECT_EQ(bytes[16], 0xee);

  std::vector<BYTE> small(15, 0xee);
  size = 15;
  EXPECT_EQ(CDirectoryHelper::VariantArrayToBytesWithBuffer(value, small.data(), &size), kInsufficientBuffer);
  EXPECT_EQ(size, 16u);  // what it needs
  EXPECT_EQ(small, std::vector<BYTE>(15, 0xee));

  _variant_t text(L"abc");
  EXPECT_EQ(CDirectoryHelper::VariantArrayToBytesWithBuffer(text, bytes.data(), &size), E_INVALIDARG);
  _variant_t integers;
  integers.vt = VT_ARRAY | VT_I4;
  integers.parray = SafeArrayCreateVector(VT_I4, 0, 2);
  EXPECT_EQ(CDirectoryHelper::VariantArrayToBytesWithBuffer(integers, bytes.data(), &size), E_INVALIDARG);
  EXPECT_EQ(CDirectoryHelper::VariantArrayToBytesWithBuffer(value, bytes.data(), nullptr), E_INVALIDARG);
  size = 16;
  EXPECT_EQ(CDirectoryHelper::VariantArrayToBytesWithBuffer(value, nullptr, &size), E_INVALIDARG);
}

// Any lower bound, held or referenced: the bytes and their count are those
// of the array. An empty array whose lower bound is the lowest LONG has the
// highest as its upper bound; the count must not come from the two.
TEST(ByteArrayCopy, CountsTheElementsWhateverTheLowerBound) {
  const std::pair<LONG, std::vector<uint8_t>> cases[] = {
      {INT32_MIN, {}}, {INT32_MIN, {1, 2, 3}}, {-5, {0x28, 0x29}}, {1, {7}}, {INT32_MAX, {9}}, {INT32_MAX, {}},
  };
  for (const auto& [lower, bytes] : cases) {
    SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, lower, static_cast<ULONG>(bytes.size()));
    ASSERT_NE(array, nullptr) << lower;
    if (!bytes.empty()) std::memcpy(array->pvData, bytes.data(), bytes.size());
    _variant_t held;
    held.vt = VT_ARRAY | VT_UI1;
    held.parray = array;
    VARIANT referenced;
    referenced.vt = VT_BYREF | VT_ARRAY | VT_UI1;
    referenced.pparray = &array;
    for (VARIANT* value : {static_cast<VARIANT*>(&held), &referenced}) {
      std::vector<BYTE> out(4, 0xee);
      unsigned long size = static_cast<unsigned long>(out.size());
      EXPECT_EQ(CDirectoryHelper::VariantArrayToBytesWithBuffer(*value, out.data(), &size), S_OK) << lower;
      EXPECT_EQ(size, bytes.size()) << lower;
      EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(bytes.size())), bytes)
          << lower;
    }
  }
}

TEST(BindableGuid, IsTheStoredByteOrderInLowerCaseHex) {
  // The schemaIDGUID of the class "user", bf967aba-0de6-11d0-a285-00aa003049e2,
  // is stored as ba 7a 96 bf e6 0d d0 11 a2 85 00 aa 00 30 49 e2.
  GUID guid{0xbf967aba, 0x0de6, 0x11d0, {0xa2, 0x85, 0x00, 0xaa, 0x00, 0x30, 0x49, 0xe2}};
  wchar_t text[33];
  ASSERT_EQ(CDirectoryHelper::GUIDtoBindableString(&guid, text, 33), S_OK);
  EXPECT_STREQ(text, L"ba7a96bfe60dd011a28500aa003049e2");
  EXPECT_EQ(CDirectoryHelper::GUIDtoBindableString(nullptr, text, 33), E_INVALIDARG);
  EXPECT_EQ(CDirectoryHelper::GUIDtoBindableString(&guid, nullptr, 33), E_INVALIDARG);
}

TEST(GlobalCatalogPath, CopiesTheBackendAnswerWithSizeChecks) {
  directory::MemoryDirectory memory;
  directory::testing::ScopedBackend backend(&memory);
  memory.SetRootGCPath(S_OK, L"GC://gc1.example.test:3268");
  memory.SetGCFromRootDSE(S_OK, L"GC://dc1.example.test:3268");
  wchar_t path[64];
  EXPECT_EQ(CDirectoryHelper::GetRootGCPath(path, 64), S_OK);
  EXPECT_STREQ(path, L"GC://gc1.example.test:3268");
  EXPECT_EQ(CDirectoryHelper::GetGCFromRootDSE(path, 64), S_OK);
  EXPECT_STREQ(path, L"GC://dc1.example.test:3268");
  EXPECT_EQ(CDirectoryHelper::GetRootGCPath(path, 26), kInsufficientBuffer);  // 26 characters and the terminator
  memory.SetRootGCPath(E_FAIL, L"");
  EXPECT_EQ(CDirectoryHelper::GetRootGCPath(path, 64), E_FAIL);
  EXPECT_EQ(path[0], L'\0');
  EXPECT_EQ(CDirectoryHelper::GetRootGCPath(nullptr, 64), E_INVALIDARG);
  EXPECT_EQ(memory.GCPathCalls(), 4);  // the null buffer never reached the backend
}

}  // namespace
