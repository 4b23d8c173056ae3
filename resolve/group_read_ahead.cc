#include "resolve/group_read_ahead.h"

#include <cstring>

#include "manager/global_catalog_path.h"
#include "manager/lookup_key.h"
#include "manager/user_policy_manager_impl.h"
#include "module/manager_factories.h"
#include "platform/ascii.h"
#include "platform/directory.h"
#include "resolve/guid_list.h"

namespace {

constexpr wchar_t kObjectGuid[] = L"objectGUID";
constexpr wchar_t kObjectSid[] = L"objectSid";
constexpr wchar_t kPrimaryGroupId[] = L"primaryGroupID";
constexpr unsigned long kSidTextLength = 512;
constexpr size_t kGuidBytesBufferSize = 256;
constexpr size_t kGuidBytes = 16;
constexpr unsigned long kGuidTextLength = 260;

// The GUID string the manager's record holds for `object`'s objectGUID
// (its first value, converted as the manager converts it); empty when the
// record would hold none.
std::wstring GuidOf(const directory::DirectoryObject& object) {
  for (const directory::DirectoryAttribute& attribute : object.attributes) {
    if (!platform::EqualsIgnoringAsciiCase(attribute.name, kObjectGuid)) continue;
    if (attribute.values.empty()) return L"";
    _variant_t value = attribute.values.front();
    BYTE bytes[kGuidBytesBufferSize];
    unsigned long size = kGuidBytesBufferSize;
    if (FAILED(CDirectoryHelper::VariantArrayToBytesWithBuffer(value, bytes, &size)) || size < kGuidBytes) return L"";
    GUID guid;
    std::memcpy(&guid, bytes, kGuidBytes);
    wchar_t text[kGuidTextLength] = {};
    if (FAILED(CDirectoryHelper::GUIDtoBindableString(&guid, text, kGuidTextLength))) return L"";
    return text;
  }
  return L"";
}

// The first value of `name` in `object`, or null.
const _variant_t* FirstValue(const directory::DirectoryObject& object, const wchar_t* name) {
  for (const directory::DirectoryAttribute& attribute : object.attributes) {
    if (platform::EqualsIgnoringAsciiCase(attribute.name, name)) {
      return attribute.values.empty() ? nullptr : &attribute.values.front();
    }
  }
  return nullptr;
}

// The key the resolution looks the primary group of the user `object` up
// by: from the SID string the manager makes of objectSid and from
// primaryGroupID, as GetUserIdentityAndMembershipGuids makes it; empty when
// it makes none.
std::wstring PrimaryGroupKeyOf(const directory::DirectoryObject& object) {
  const _variant_t* sid_value = FirstValue(object, kObjectSid);
  const _variant_t* group_id = FirstValue(object, kPrimaryGroupId);
  if (sid_value == nullptr || group_id == nullptr || group_id->vt == VT_EMPTY) return L"";
  _variant_t sid_copy = *sid_value;
  wchar_t sid[kSidTextLength] = {};
  if (FAILED(CDirectoryHelper::GetSIDStringFromVariant(sid_copy, sid, kSidTextLength))) return L"";
  wchar_t key[kKeyBufferLength] = {};
  if (FAILED(CDirectoryHelper::GetObjectSIDSearchStringByUserSIDAndPrimaryGroupID(sid, group_id->intVal, key,
                                                                                 kKeyBufferLength))) {
    return L"";
  }
  return key;
}

}  // namespace

CUserPolicyManagerImpl* NestedGroupReadAhead::Manager() {
  if (!manager_ && !no_manager_) {
    try {
      manager_.emplace(UserPolicy_GetGroupMemeberShipManager());
    } catch (...) {
      no_manager_ = true;  // nothing is read ahead; the walk's own lookups report why
    }
  }
  return manager_ ? CUserPolicyManagerInspector::Impl(*manager_) : nullptr;
}

const std::vector<std::wstring>& NestedGroupReadAhead::GroupAttributes() {
  CUserPolicyManagerImpl* manager = Manager();
  return manager != nullptr ? manager->attributes().strings() : no_attributes_;
}

std::optional<std::wstring> NestedGroupReadAhead::PathToRead(std::wstring_view dn) {
  CUserPolicyManagerImpl* manager = Manager();
  if (manager == nullptr) return std::nullopt;
  try {
    return manager->PathToRead(std::wstring(dn).c_str());
  } catch (...) {
    return std::nullopt;  // not read ahead: the walk's own lookup meets the problem
  }
}

bool NestedGroupReadAhead::WalksAbove(const directory::DirectoryObject& object) {
  try {
    const std::wstring guid = GuidOf(object);
    return guid.empty() || !ContainsGuid(guids_, guid.c_str());
  } catch (...) {
    return false;
  }
}

std::optional<directory::GroupWalk::Search> NestedGroupReadAhead::SearchAfter(const directory::DirectoryObject& object) {
  try {
    const std::wstring key = PrimaryGroupKeyOf(object);
    if (key.empty()) return std::nullopt;
    if (!primary_group_manager_) primary_group_manager_.emplace(UserPolicy_GetPrimaryGroupIDTOGroupManager());
    CUserPolicyManagerImpl* manager = CUserPolicyManagerInspector::Impl(*primary_group_manager_);
    if (manager == nullptr) return std::nullopt;
    std::optional<std::wstring> filter = manager->FilterToSearch(key.c_str());
    if (!filter) return std::nullopt;
    return Search{g_wszGlobalCatalogPath, *std::move(filter), kDirectoryScopeSubtree, manager->attributes().strings()};
  } catch (...) {
    return std::nullopt;  // not read ahead: the walk's own lookup meets the problem
  }
}
