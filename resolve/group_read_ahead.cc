#include "resolve/group_read_ahead.h"

#include "manager/attribute_conversion.h"
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
  const std::optional<std::wstring> sid = SidStringOf(*sid_value);
  if (!sid) return L"";
  wchar_t key[kKeyBufferLength] = {};
  if (FAILED(CDirectoryHelper::GetObjectSIDSearchStringByUserSIDAndPrimaryGroupID(sid->c_str(), group_id->intVal, key,
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
    // The walk stops at a group whose GUID, as the record holds it, is listed.
    const _variant_t* value = FirstValue(object, kObjectGuid);
    const std::optional<std::wstring> guid = value != nullptr ? BindableGuidOf(*value) : std::nullopt;
    return !guid || !ContainsGuid(guids_, guid->c_str());
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
