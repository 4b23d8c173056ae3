// CDirectoryHelper conversions against byte strings known independently of
// the code (well-known SIDs, a documented schema GUID), buffer limits, and
// the Global Catalog paths copied from the current backend.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/directory.h"
#include "platform/directory/directory_path.h"
#include "platform/directory/memory_directory.h"

namespace {

constexpr HRESULT kInsufficientBuffer = HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
constexpr wchar_t kCanary = L'#';

// S-1-5-32-544, the builtin Administrators group.
const std::vector<uint8_t> kAdministratorsSid = {0x01, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05,
                                                 0x20, 0x00, 0x00, 0x00, 0x20, 0x02, 0x00, 0x00};
// S-1-1-0, Everyone.
const std::vector<uint8_t> kEveryoneSid = {0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00};
// S-1-5-18, Local System.
const std::vector<uint8_t> kLocalSystemSid = {0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x12, 0x00, 0x00, 0x00};

// The schemaIDGUID of the class "user": bf967aba-0de6-11d0-a285-00aa003049e2,
// stored as ba 7a 96 bf e6 0d d0 11 a2 85 00 aa 00 30 49 e2.
GUID UserClassGuid() {
  return GUID{0xbf967aba, 0x0de6, 0x11d0, {0xa2, 0x85, 0x00, 0xaa, 0x00, 0x30, 0x49, 0xe2}};
}

_variant_t ByteVariant(const std::vector<uint8_t>& bytes) {
  _variant_t value;
  SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
  if (!bytes.empty()) std::memcpy(array->pvData, bytes.data(), bytes.size());
  value.vt = VT_ARRAY | VT_UI1;
  value.parray = array;
  return value;
}

std::wstring Escaped(const std::vector<uint8_t>& bytes) {
  static const wchar_t kHex[] = L"0123456789abcdef";
  std::wstring text;
  for (uint8_t b : bytes) {
    text += L'\\';
    text += kHex[b >> 4];
    text += kHex[b & 0x0f];
  }
  return text;
}

std::wstring SidSearchString(const wchar_t* sid, int group, HRESULT* hr) {
  wchar_t buffer[256];
  *hr = CDirectoryHelper::GetObjectSIDSearchStringByUserSIDAndPrimaryGroupID(sid, group, buffer, 256);
  return SUCCEEDED(*hr) ? std::wstring(buffer) : std::wstring();
}

TEST(SidSearchString, ReplacesTheLastSubAuthorityAndEscapesEveryByte) {
  HRESULT hr = E_FAIL;
  // Users (545) with 544 as the "primary group" gives Administrators.
  EXPECT_EQ(SidSearchString(L"S-1-5-32-545", 544, &hr), Escaped(kAdministratorsSid));
  EXPECT_EQ(hr, S_OK);

  // A domain user's SID with Domain Users (513): 21 = 0x15, 513 = 0x0201.
  const std::vector<uint8_t> domain_users = {0x01, 0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x15, 0x00,
                                             0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00,
                                             0x03, 0x00, 0x00, 0x00, 0x01, 0x02, 0x00, 0x00};
  EXPECT_EQ(SidSearchString(L"S-1-5-21-1-2-3-1104", 513, &hr), Escaped(domain_users));
  EXPECT_EQ(SidSearchString(L"s-1-5-21-1-2-3-1104", 513, &hr), Escaped(domain_users));

  // Sub-authorities use all 32 bits, little-endian; a hexadecimal authority is read.
  EXPECT_EQ(SidSearchString(L"S-1-0x000000000005-4294967295-1", 0x01020304, &hr),
            L"\\01\\02\\00\\00\\00\\00\\00\\05\\ff\\ff\\ff\\ff\\04\\03\\02\\01");
  EXPECT_EQ(SidSearchString(L"S-1-5-18", 7, &hr), L"\\01\\01\\00\\00\\00\\00\\00\\05\\07\\00\\00\\00");
}

TEST(SidSearchString, RefusesMalformedSids) {
  for (const wchar_t* sid :
       {L"", L"S-", L"S-1", L"S-1-5", L"S-2-5-21-1", L"X-1-5-1", L"S-1-5-21-4294967296", L"S-1-5-21-1-",
        L"S-1-5--1", L"S-1-5-21-1 ", L"S-1-281474976710656-1", L"S-1-0x-1", L"S-1-0x1234567890123-1",
        L"S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15-16", L"S-01x-5-1", L"S-1-5-+1"}) {
    HRESULT hr = S_OK;
    SidSearchString(sid, 513, &hr);
    EXPECT_EQ(hr, E_INVALIDARG) << ::testing::PrintToString(std::wstring(sid));
  }
  HRESULT hr = S_OK;
  // Fifteen sub-authorities is the most a SID has.
  SidSearchString(L"S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15", 513, &hr);
  EXPECT_EQ(hr, S_OK);
  SidSearchString(L"S-1-5-21-1-2-3-1104", -1, &hr);
  EXPECT_EQ(hr, E_INVALIDARG);
  wchar_t buffer[8];
  EXPECT_EQ(CDirectoryHelper::GetObjectSIDSearchStringByUserSIDAndPrimaryGroupID(nullptr, 513, buffer, 8),
            E_INVALIDARG);
  EXPECT_EQ(CDirectoryHelper::GetObjectSIDSearchStringByUserSIDAndPrimaryGroupID(L"S-1-5-18", 1, nullptr, 8),
            E_INVALIDARG);
}

TEST(SidSearchString, NeverWritesPastTheBuffer) {
  // 16 bytes, three characters each, and the terminator.
  constexpr unsigned long kNeeded = 16 * 3 + 1;
  std::vector<wchar_t> buffer(kNeeded + 4, kCanary);
  EXPECT_EQ(CDirectoryHelper::GetObjectSIDSearchStringByUserSIDAndPrimaryGroupID(L"S-1-5-32-545", 544,
                                                                                buffer.data(), kNeeded - 1),
            kInsufficientBuffer);
  EXPECT_EQ(buffer[0], L'\0');
  for (size_t i = kNeeded - 1; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], kCanary) << i;

  EXPECT_EQ(CDirectoryHelper::GetObjectSIDSearchStringByUserSIDAndPrimaryGroupID(L"S-1-5-32-545", 544,
                                                                                buffer.data(), kNeeded),
            S_OK);
  EXPECT_EQ(std::wstring(buffer.data()), Escaped(kAdministratorsSid));
  EXPECT_EQ(buffer[kNeeded], kCanary);
}

TEST(SidFromVariant, FormatsWellKnownSids) {
  struct Case {
    std::vector<uint8_t> bytes;
    const wchar_t* text;
  };
  const Case cases[] = {
      {kAdministratorsSid, L"S-1-5-32-544"},
      {kEveryoneSid, L"S-1-1-0"},
      {kLocalSystemSid, L"S-1-5-18"},
      {{0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, L"S-1-0"},  // no sub-authority
      {{0x01, 0x01, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0xff, 0xff, 0xff, 0xff}, L"S-1-0x010203040506-4294967295"},
  };
  for (const Case& c : cases) {
    _variant_t value = ByteVariant(c.bytes);
    wchar_t text[64];
    EXPECT_EQ(CDirectoryHelper::GetSIDStringFromVariant(value, text, 64), S_OK) << c.text;
    EXPECT_STREQ(text, c.text);
  }
}

TEST(SidFromVariant, RefusesWhatIsNotASid) {
  std::vector<std::vector<uint8_t>> bad = {
      {},
      {0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00},                                // shorter than the header
      {0x02, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x12, 0x00, 0x00, 0x00},  // revision 2
      {0x01, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x12, 0x00, 0x00, 0x00},  // count says 2, holds 1
      {0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x12, 0x00, 0x00, 0x00, 0x00},  // one byte too many
  };
  std::vector<uint8_t> sixteen = {0x01, 16, 0, 0, 0, 0, 0, 5};
  sixteen.resize(8 + 4 * 16, 0x01);
  bad.push_back(sixteen);
  for (const std::vector<uint8_t>& bytes : bad) {
    _variant_t value = ByteVariant(bytes);
    wchar_t text[128];
    EXPECT_EQ(CDirectoryHelper::GetSIDStringFromVariant(value, text, 128), E_INVALIDARG) << bytes.size();
  }
  _variant_t text_value(L"S-1-5-18");
  wchar_t text[32];
  EXPECT_EQ(CDirectoryHelper::GetSIDStringFromVariant(text_value, text, 32), E_INVALIDARG);

  _variant_t system = ByteVariant(kLocalSystemSid);
  std::vector<wchar_t> small(12, kCanary);
  EXPECT_EQ(CDirectoryHelper::GetSIDStringFromVariant(system, small.data(), 8), kInsufficientBuffer);  // needs 9
  EXPECT_EQ(small[0], L'\0');
  EXPECT_EQ(small[8], kCanary);
  EXPECT_EQ(CDirectoryHelper::GetSIDStringFromVariant(system, small.data(), 9), S_OK);
  EXPECT_STREQ(small.data(), L"S-1-5-18");
}

TEST(SidFromVariant, AgreesWithTheSearchStringOfTheSameSid) {
  HRESULT hr = E_FAIL;
  const std::wstring escaped = SidSearchString(L"S-1-5-21-3623811015-3361044348-30300820-1013", 513, &hr);
  ASSERT_EQ(hr, S_OK);
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i + 2 < escaped.size(); i += 3) bytes.push_back(std::stoi(escaped.substr(i + 1, 2), nullptr, 16));
  _variant_t value = ByteVariant(bytes);
  wchar_t text[128];
  ASSERT_EQ(CDirectoryHelper::GetSIDStringFromVariant(value, text, 128), S_OK);
  EXPECT_STREQ(text, L"S-1-5-21-3623811015-3361044348-30300820-513");
}

TEST(VariantBytes, CopiesWithinTheCapacityAndReportsTheSize) {
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

  // A reference to an array reads the array.
  SAFEARRAY* array = value.parray;
  VARIANT reference;
  VariantInit(&reference);
  reference.vt = VT_BYREF | VT_ARRAY | VT_UI1;
  reference.pparray = &array;
  size = 16;
  EXPECT_EQ(CDirectoryHelper::VariantArrayToBytesWithBuffer(reference, bytes.data(), &size), S_OK);
  EXPECT_EQ(size, 16u);

  _variant_t empty = ByteVariant({});
  size = 4;
  EXPECT_EQ(CDirectoryHelper::VariantArrayToBytesWithBuffer(empty, bytes.data(), &size), S_OK);
  EXPECT_EQ(size, 0u);
}

TEST(VariantBytes, RefusesOtherTypes) {
  BYTE bytes[8];
  unsigned long size = sizeof(bytes);
  _variant_t text(L"abc");
  EXPECT_EQ(CDirectoryHelper::VariantArrayToBytesWithBuffer(text, bytes, &size), E_INVALIDARG);
  _variant_t integers;
  integers.vt = VT_ARRAY | VT_I4;
  integers.parray = SafeArrayCreateVector(VT_I4, 0, 2);
  EXPECT_EQ(CDirectoryHelper::VariantArrayToBytesWithBuffer(integers, bytes, &size), E_INVALIDARG);
  _variant_t value = ByteVariant(kEveryoneSid);
  EXPECT_EQ(CDirectoryHelper::VariantArrayToBytesWithBuffer(value, bytes, nullptr), E_INVALIDARG);
  size = 16;
  EXPECT_EQ(CDirectoryHelper::VariantArrayToBytesWithBuffer(value, nullptr, &size), E_INVALIDARG);
}

TEST(BindableGuid, IsTheStoredByteOrderInLowerCaseHex) {
  GUID guid = UserClassGuid();
  wchar_t text[33];
  ASSERT_EQ(CDirectoryHelper::GUIDtoBindableString(&guid, text, 33), S_OK);
  EXPECT_STREQ(text, L"ba7a96bfe60dd011a28500aa003049e2");

  // The text binds: <GUID=...> of a path reads back the objectGUID bytes.
  const directory::DirectoryPath path = directory::DirectoryPath::Parse(std::wstring(L"GC://h/<GUID=") + text + L">");
  const std::array<uint8_t, 16> expected = {0xba, 0x7a, 0x96, 0xbf, 0xe6, 0x0d, 0xd0, 0x11,
                                            0xa2, 0x85, 0x00, 0xaa, 0x00, 0x30, 0x49, 0xe2};
  EXPECT_EQ(path.guid, expected);

  std::vector<wchar_t> small(34, kCanary);
  EXPECT_EQ(CDirectoryHelper::GUIDtoBindableString(&guid, small.data(), 32), kInsufficientBuffer);
  EXPECT_EQ(small[32], kCanary);
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

  constexpr unsigned long kExact = 27;  // 26 characters and the terminator
  std::vector<wchar_t> small(kExact + 2, kCanary);
  EXPECT_EQ(CDirectoryHelper::GetRootGCPath(small.data(), kExact - 1), kInsufficientBuffer);
  EXPECT_EQ(small[0], L'\0');
  EXPECT_EQ(small[kExact - 1], kCanary);
  EXPECT_EQ(CDirectoryHelper::GetRootGCPath(small.data(), kExact), S_OK);
  EXPECT_EQ(small[kExact], kCanary);

  memory.SetRootGCPath(E_FAIL, L"");
  EXPECT_EQ(CDirectoryHelper::GetRootGCPath(path, 64), E_FAIL);
  EXPECT_EQ(path[0], L'\0');
  EXPECT_EQ(CDirectoryHelper::GetRootGCPath(nullptr, 64), E_INVALIDARG);
  EXPECT_EQ(memory.GCPathCalls(), 5);  // the null buffer never reached the backend
}

}  // namespace
