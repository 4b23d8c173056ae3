// The lookups of the C interface: the GUID list and the e-mail address of a
// SIP user through the resolution helpers, one manager's record for a key
// (the module's three, or the C interface's own by GUID and by path), and
// the primary group's key. Each lookup passes the call gate, so that it
// runs only while the module is started and a stop waits for it.
#include <cwchar>
#include <new>
#include <string>
#include <vector>

#include "capi/call_errors.h"
#include "capi/call_gate.h"
#include "capi/object_managers.h"
#include "capi/result_conversion.h"
#include "capi/result_memory.h"
#include "capi/userpolicy.h"
#include "dsobject/user_policy_manager_exception.h"
#include "manager/lookup_key.h"
#include "manager/user_policy_manager.h"
#include "module/manager_factories.h"
#include "perf/ds_access_guards.h"
#include "platform/com.h"
#include "platform/directory.h"
#include "platform/hex.h"
#include "platform/utf8.h"
#include "resolve/lookup_failure_recorder.h"
#include "resolve/measured_lookup.h"
#include "resolve/policy_filter_ds_access_helper.h"
#include "resolve/proxy_address_ds_access_helper.h"

namespace capi {
namespace {

// E-mail addresses are read into a buffer of this many characters first;
// one that fills it is read again into a larger one, up to the maximum.
constexpr unsigned long kEmailBufferLength = 512;
constexpr unsigned long kMaxEmailBufferLength = 1 << 20;

// A key or address as the C++ interface takes it. Raises CallError
// UP_INVALID_ARGUMENT for null, empty or malformed UTF-8 text.
std::wstring CheckedKey(const char* key, const char* name) {
  if (key == nullptr) throw CallError(UP_INVALID_ARGUMENT, 0, std::string(name) + " is null");
  if (key[0] == '\0') throw CallError(UP_INVALID_ARGUMENT, 0, std::string(name) + " is empty");
  if (!platform::IsValidUtf8(key)) throw CallError(UP_INVALID_ARGUMENT, 0, std::string(name) + " is not UTF-8");
  return platform::Utf8ToWide(key);
}

void RequireOut(const void* out, const char* name) {
  if (out == nullptr) throw CallError(UP_INVALID_ARGUMENT, 0, std::string(name) + " is null");
}

[[noreturn]] void ThrowNotStarted() {
  throw CallError(UP_NOT_STARTED, 0, "the module is not started (up_start first)");
}

// A failure the helpers caught counts against the whole call unless it
// only says that an object is not there: a memberOf value naming a group
// the Global Catalog does not hold is passed over by the walk, as by the
// C++ interface.
bool CountsAgainstTheCall(const OS::CException& failure) {
  return StatusOfCode(failure.GetErrorCode()) != UP_NOT_FOUND;
}

void ThrowIfFailed(const LookupFailureRecorder& recorder) {
  if (!recorder.failed()) return;
  if (const OS::CException* failure = recorder.first_failure()) throw CallErrorOf(*failure);
  throw std::bad_alloc();  // the failure could not even be copied
}

// Whether the directory holds a user or contact for `sip`: the user
// manager's record, from its cache when the helper has just read it. Not
// counted in the performance counters (the helper's lookup was).
bool UserExists(const std::wstring& sip) {
  CUserPolicyManager users = UserPolicy_GetUserIdentityManager();
  bool fetched = false;
  return users.GetDSObjectInfo(sip.c_str(), fetched).GetPropertyCount() > 0;
}

constexpr size_t kGuidHexDigits = 32;

// Raises CallError UP_INVALID_ARGUMENT unless `key` suits `manager`: 32
// hex digits for the GUID manager, no server for the path manager (whose
// slashes are part of names, so "GC://host/..." could never be bound).
void CheckKeyOf(int manager, const std::wstring& key) {
  if (manager == UP_MANAGER_GUID) {
    bool hex = key.size() == kGuidHexDigits;
    for (wchar_t c : key) hex = hex && platform::HexValue(c) >= 0;
    if (!hex) throw CallError(UP_INVALID_ARGUMENT, 0, "key is not a GUID (32 hex digits)");
  } else if (manager == UP_MANAGER_PATH && key.find(L"://") != std::wstring::npos) {
    throw CallError(UP_INVALID_ARGUMENT, 0,
                    "key names a server; start the library with that server and pass the object "
                    "(a distinguished name or <GUID=...>)");
  }
}

// A lookup of the GUID or path manager: counted in the totals only.
CDSObjectInfo MeasuredObjectLookup(CUserPolicyManager& manager, const std::wstring& key, bool& fetched) {
  CDSTotalAccessCountGuard total_count(g_pDSAccessPerfObject);
  CDSTotalAccessTimerGuard total_timer(g_pDSAccessPerfObject);
  CDSObjectInfo record = manager.GetDSObjectInfo(key.c_str(), fetched);
  const int outcome = fetched ? kDSAccessFromDirectory : kDSAccessFromCache;
  total_count.SetOutcome(outcome);
  total_timer.SetOutcome(outcome);
  return record;
}

CDSObjectInfo LookUp(int manager, const std::wstring& key, bool& fetched) {
  switch (manager) {
    case UP_MANAGER_USER: {
      CUserPolicyManager users = UserPolicy_GetUserIdentityManager();
      return MeasuredLookup<CDSUserAccessCountGuard, CDSUserAccessTimerGuard>(users, key.c_str(), fetched);
    }
    case UP_MANAGER_PRIMARY_GROUP: {
      CUserPolicyManager groups = UserPolicy_GetPrimaryGroupIDTOGroupManager();
      return MeasuredLookup<CDSPGroupAccessCountGuard, CDSPGroupAccessTimerGuard>(groups, key.c_str(), fetched);
    }
    case UP_MANAGER_GROUP: {
      CUserPolicyManager groups = UserPolicy_GetGroupMemeberShipManager();
      return MeasuredLookup<CDSNGroupAccessCountGuard, CDSNGroupAccessTimerGuard>(groups, key.c_str(), fetched);
    }
    case UP_MANAGER_GUID: {
      CUserPolicyManager objects = ObjectManager(kLookupBindGuid);
      return MeasuredObjectLookup(objects, key, fetched);
    }
    case UP_MANAGER_PATH: {
      CUserPolicyManager objects = ObjectManager(kLookupBindPath);
      return MeasuredObjectLookup(objects, key, fetched);
    }
    default:
      throw CallError(UP_INVALID_ARGUMENT, 0, "manager " + std::to_string(manager) + " is not 0 to 4");
  }
}

}  // namespace
}  // namespace capi

using capi::CallError;

int up_get_guids(const char* sip_address, up_string_list** guids, up_error** error) {
  if (guids != nullptr) *guids = nullptr;
  return capi::RunCall("up_get_guids", [&] { return capi::Quoted(sip_address); }, error, [&]() -> int {
    const std::wstring sip = capi::CheckedKey(sip_address, "sip_address");
    capi::RequireOut(guids, "guids");
    capi::GatePass pass;
    if (!pass.entered()) capi::ThrowNotStarted();
    std::vector<_bstr_t> found;
    LookupFailureRecorder recorder(&capi::CountsAgainstTheCall);
    CPolicyFilterDSAccessHelper::GetUserIdentityAndMembershipGuids(sip.c_str(), found);
    capi::ThrowIfFailed(recorder);
    if (found.empty()) {
      throw CallError(UP_NOT_FOUND, EX_USER_POLICY_MGR_DSOBJECT_NOT_FOUND,
                      "the directory holds no user or contact with this SIP address");
    }
    *guids = capi::ToStringList(found).release();
    return UP_OK;
  });
}

int up_get_email(const char* sip_address, char** email, up_error** error) {
  if (email != nullptr) *email = nullptr;
  return capi::RunCall("up_get_email", [&] { return capi::Quoted(sip_address); }, error, [&]() -> int {
    const std::wstring sip = capi::CheckedKey(sip_address, "sip_address");
    capi::RequireOut(email, "email");
    capi::GatePass pass;
    if (!pass.entered()) capi::ThrowNotStarted();
    std::vector<wchar_t> buffer(capi::kEmailBufferLength, L'\0');
    for (;;) {
      LookupFailureRecorder recorder(&capi::CountsAgainstTheCall);
      const long hr = CProxyAddressDSAccessHelper::GetEMailAddressBySipAddress(
          sip.c_str(), buffer.data(), static_cast<unsigned long>(buffer.size()));
      capi::ThrowIfFailed(recorder);
      if (FAILED(hr)) {
        if (!capi::UserExists(sip)) {
          throw CallError(UP_NOT_FOUND, EX_USER_POLICY_MGR_DSOBJECT_NOT_FOUND,
                          "the directory holds no user or contact with this SIP address");
        }
        throw CallError(UP_NOT_FOUND, 0, "the user has no SMTP address in proxyAddresses and no mail");
      }
      // An address that fills the buffer may have been cut: read it again
      // into a larger one.
      if (std::wcslen(buffer.data()) + 1 < buffer.size() || buffer.size() >= capi::kMaxEmailBufferLength) break;
      buffer.assign(buffer.size() * 16, L'\0');
    }
    *email = capi::CopyString(platform::WideToUtf8(buffer.data()));
    return UP_OK;
  });
}

int up_get_record(int manager, const char* key, up_record** record, int* from_directory, up_error** error) {
  if (record != nullptr) *record = nullptr;
  if (from_directory != nullptr) *from_directory = 0;
  const auto subject = [&] { return std::to_string(manager) + ", " + capi::Quoted(key); };
  return capi::RunCall("up_get_record", subject, error, [&]() -> int {
    const std::wstring checked = capi::CheckedKey(key, "key");
    capi::RequireOut(record, "record");
    if (manager < UP_MANAGER_USER || manager > UP_MANAGER_PATH) {
      throw CallError(UP_INVALID_ARGUMENT, 0, "manager " + std::to_string(manager) + " is not 0 to 4");
    }
    capi::CheckKeyOf(manager, checked);
    capi::GatePass pass;
    if (!pass.entered()) capi::ThrowNotStarted();
    bool fetched = false;
    CDSObjectInfo found = capi::LookUp(manager, checked, fetched);
    capi::RecordOwner converted = capi::ToRecord(found);
    *record = converted.release();
    if (from_directory != nullptr) *from_directory = fetched ? 1 : 0;
    return UP_OK;
  });
}

int up_primary_group_key(const char* user_sid, int32_t primary_group_id, char** key, up_error** error) {
  if (key != nullptr) *key = nullptr;
  return capi::RunCall(
      "up_primary_group_key", [&] { return capi::Quoted(user_sid) + ", " + std::to_string(primary_group_id); }, error,
      [&]() -> int {
    const std::wstring sid = capi::CheckedKey(user_sid, "user_sid");
    capi::RequireOut(key, "key");
    if (primary_group_id < 0) throw CallError(UP_INVALID_ARGUMENT, 0, "primary_group_id is negative");
    wchar_t text[kKeyBufferLength] = {};
    const HRESULT hr = CDirectoryHelper::GetObjectSIDSearchStringByUserSIDAndPrimaryGroupID(
        sid.c_str(), primary_group_id, text, kKeyBufferLength);
    if (hr == E_INVALIDARG) throw CallError(UP_INVALID_ARGUMENT, hr, "user_sid is not a SID (S-1-5-21-...)");
    if (hr == E_OUTOFMEMORY) throw std::bad_alloc();
    if (FAILED(hr)) throw CallError(UP_INTERNAL_ERROR, hr, "the SID search string could not be built");
    *key = capi::CopyString(platform::WideToUtf8(text));
    return UP_OK;
  });
}
