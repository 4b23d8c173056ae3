#include "tests/support/resolve_fixture.h"

#include "manager/global_catalog_path.h"
#include "manager/in_flight_table.h"
#include "module/manager_factories.h"
#include "platform/crt.h"

namespace userpolicy::testing {
namespace {

constexpr size_t kGuidByteCount = 16;
constexpr wchar_t kLowerHex[] = L"0123456789abcdef";

// Fresh managers: the module's handles retired and destroyed.
void ResetManagers() {
  ReleaseManagers();
  DropRetiredManagers();
}

}  // namespace

std::vector<uint8_t> GuidBytes(int id) {
  std::vector<uint8_t> bytes(kGuidByteCount);
  const uint32_t value = static_cast<uint32_t>(id);
  for (size_t i = 0; i < kGuidByteCount; ++i) {
    // The id in the first four bytes, a fixed pattern mixed with it after.
    bytes[i] = i < 4 ? static_cast<uint8_t>(value >> (8 * i)) : static_cast<uint8_t>(0xA0 + i * 7 + value);
  }
  return bytes;
}

std::wstring GuidText(int id) {
  std::wstring text;
  for (uint8_t byte : GuidBytes(id)) {
    text += kLowerHex[byte >> 4];
    text += kLowerHex[byte & 0x0f];
  }
  return text;
}

directory::MemoryObject UserObject(const std::wstring& dn, const std::wstring& sip) {
  directory::MemoryObject user(dn);
  user.AddStrings(L"objectClass", {L"top", L"person", L"organizationalPerson", L"user"})
      .AddString(L"objectCategory", L"person")
      .AddString(L"msRTCSIP-PrimaryUserAddress", sip);
  return user;
}

LogLines LinesOf(const DBG::testing::ScopedLogCapture& capture, std::string_view source) {
  LogLines lines;
  for (const DBG::LogRecord& record : capture.Snapshot()) {
    if (record.source == source) lines.emplace_back(record.level, record.message);
  }
  return lines;
}

std::string Narrow(std::wstring_view text) { return platform::WideToUtf8(text); }

ScopedPerfObject::ScopedPerfObject() : previous_(g_pDSAccessPerfObject) { g_pDSAccessPerfObject = &object_; }

ScopedPerfObject::~ScopedPerfObject() { g_pDSAccessPerfObject = previous_; }

ResolveDirectory::ResolveDirectory() {
  wcsncpy(g_wszGlobalCatalogPath, kTestGlobalCatalogPath, kGlobalCatalogPathLength);
  ResetManagers();
}

ResolveDirectory::~ResolveDirectory() {
  in_flight_testing::SetFailEventCreation(false);
  in_flight_testing::SetBeforeWaitHook(nullptr);
  ResetManagers();
}

}  // namespace userpolicy::testing
