#include "module/manager_factories.h"

#include <atomic>
#include <memory>
#include <new>
#include <vector>

#include "dsobject/user_policy_manager_exception.h"
#include "manager/cs_lock.h"
#include "manager/user_policy_manager_impl.h"
#include "module/directory_queries.h"
#include "platform/com.h"
#include "platform/settings.h"

namespace {

constexpr char kSource[] = "servUserPolicyManager";
constexpr wchar_t kSettingsClass[] = L"QV_DSAccess";
constexpr wchar_t kSettingsInstance[] = L"DEFAULT";
// Off by default: threads that waited for another thread's read of their
// key then get the record as that read left it (empty when it failed).
constexpr wchar_t kShareFailuresKey[] = L"ShareFetchFailuresWithWaiters";

// One row of the factory table.
struct ManagerRecipe {
  int lookup_type;           // kLookupSearch: the first constructor form
  const wchar_t* filter;     // search managers only
  bool escape_filter_value;  // search managers only
  const wchar_t** attributes;
  int attribute_count;
  const wchar_t* timeout_key;
  int default_timeout;
  const wchar_t* maximum_key;
  int default_maximum;
};

constexpr ManagerRecipe kUserIdentity = {kLookupSearch, kUserFilter, true, kUserAttributes, kUserAttributeCount,
                                         L"UserIdentityCacheTimeout", 3600, L"UserIdentityCacheMaximum", 1000};
constexpr ManagerRecipe kPrimaryGroup = {kLookupSearch, kGroupBySidFilter, false, kGroupAttributes,
                                         kGroupAttributeCount, L"PrimaryGroupCacheTimeout", 86400,
                                         L"PrimaryGroupCacheMaximum", 50};
constexpr ManagerRecipe kNestedGroup = {kLookupBindDistinguishedName, nullptr, false, kGroupAttributes,
                                        kGroupAttributeCount, L"NestedGroupCacheTimeout", 3600,
                                        L"NestedGroupCacheMaximum", 1000};
// The managers that bind any object by GUID or by path: the nested-group
// manager's cache settings, the user's and the group's attributes.
constexpr ManagerRecipe ObjectRecipe(int lookup_type) {
  ManagerRecipe recipe = kNestedGroup;
  recipe.lookup_type = lookup_type;
  recipe.attributes = kObjectAttributes;
  recipe.attribute_count = kObjectAttributeCount;
  return recipe;
}

// The module-wide factory lock: constructed when the library is loaded.
CSLock g_factoryLock;

// Each points to a heap handle (not to its implementation); published with
// release ordering after construction, read with acquire ordering.
std::atomic<CUserPolicyManager*> g_userIdentityManager{nullptr};
std::atomic<CUserPolicyManager*> g_primaryGroupManager{nullptr};
std::atomic<CUserPolicyManager*> g_nestedGroupManager{nullptr};

// Replaces `*value` with the setting `key` when it is stored as one of the
// four 32-bit integer variant types.
void ReadIntegerSetting(CMgmtObject& settings, const wchar_t* key, int* value) {
  const _variant_t* stored = settings.GetPropertyValue(key);
  if (stored == nullptr) return;
  switch (stored->vt) {
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
      *value = static_cast<int>(stored->lVal);
      break;
    default:
      break;
  }
}

// Replaces `*value` with the setting `key` when it is a VT_BOOL, or an
// integer (non-zero: true).
void ReadBooleanSetting(CMgmtObject& settings, const wchar_t* key, bool* value) {
  const _variant_t* stored = settings.GetPropertyValue(key);
  if (stored == nullptr) return;
  if (stored->vt == VT_BOOL) *value = stored->boolVal != VARIANT_FALSE;
  if (stored->vt == VT_I4 || stored->vt == VT_UI4 || stored->vt == VT_INT || stored->vt == VT_UINT) {
    *value = stored->lVal != 0;
  }
}

// A new manager of `recipe` with the settings read now; the handle is
// allocated on the heap and raises -91009 when it cannot be.
std::unique_ptr<CUserPolicyManager> NewManager(const ManagerRecipe& recipe) {
  int timeout = recipe.default_timeout;
  int maximum = recipe.default_maximum;
  bool share_failures = false;
  {
    CMgmtObject settings(kSettingsClass, kSettingsInstance, nullptr);
    if (settings.Get()) {
      ReadIntegerSetting(settings, recipe.timeout_key, &timeout);
      ReadIntegerSetting(settings, recipe.maximum_key, &maximum);
      ReadBooleanSetting(settings, kShareFailuresKey, &share_failures);
    }
  }
  // The unique_ptr frees the handle if construction throws.
  std::unique_ptr<CUserPolicyManager> created;
  if (recipe.lookup_type == kLookupSearch) {
    created.reset(new (std::nothrow) CUserPolicyManager(recipe.filter, recipe.attributes, recipe.attribute_count,
                                                        recipe.escape_filter_value, timeout, maximum));
  } else {
    created.reset(new (std::nothrow) CUserPolicyManager(recipe.lookup_type, recipe.attributes,
                                                        recipe.attribute_count, timeout, maximum));
  }
  if (created == nullptr) {
    throw CUserPolicyManagerException(EX_USER_POLICY_MGR_FACTORY_OUT_OF_MEMORY, kSource, __LINE__);
  }
  if (share_failures) CUserPolicyManagerInspector::Impl(*created)->set_waiters_share_failures(true);
  return created;
}

CUserPolicyManager GetOrCreate(std::atomic<CUserPolicyManager*>& slot, const ManagerRecipe& recipe) {
  CUserPolicyManager* manager = slot.load(std::memory_order_acquire);
  if (manager == nullptr) {
    Guard<CSLock> guard(g_factoryLock);
    manager = slot.load(std::memory_order_acquire);
    if (manager == nullptr) {
      // The module's own handle lives on the heap until shut-down.
      manager = NewManager(recipe).release();
      slot.store(manager, std::memory_order_release);
    }
  }
  return *manager;
}

// Handles taken out of use and not yet destroyed; guarded by the factory
// lock. Destroyed when the library is unloaded, at the latest.
std::vector<std::unique_ptr<CUserPolicyManager>>& RetiredManagers() {
  static std::vector<std::unique_ptr<CUserPolicyManager>> retired;
  return retired;
}

void RetireManager(std::atomic<CUserPolicyManager*>& slot) {
  std::unique_ptr<CUserPolicyManager> owned(slot.exchange(nullptr, std::memory_order_acq_rel));
  if (owned != nullptr) RetiredManagers().push_back(std::move(owned));
}

}  // namespace

CUserPolicyManager UserPolicy_GetUserIdentityManager() { return GetOrCreate(g_userIdentityManager, kUserIdentity); }

CUserPolicyManager UserPolicy_GetPrimaryGroupIDTOGroupManager() {
  return GetOrCreate(g_primaryGroupManager, kPrimaryGroup);
}

CUserPolicyManager UserPolicy_GetGroupMemeberShipManager() {
  return GetOrCreate(g_nestedGroupManager, kNestedGroup);
}

CUserPolicyManager CreateObjectManager(int lookup_type) {
  if (lookup_type != kLookupBindGuid && lookup_type != kLookupBindPath) {
    throw CUserPolicyManagerException(EX_USER_POLICY_MGR_INVALID_LOOKUP_TYPE, kSource, __LINE__);
  }
  return *NewManager(ObjectRecipe(lookup_type));
}

void ReleaseManagers() {
  Guard<CSLock> guard(g_factoryLock);
  RetireManager(g_nestedGroupManager);
  RetireManager(g_primaryGroupManager);
  RetireManager(g_userIdentityManager);
}

void DropRetiredManagers() {
  std::vector<std::unique_ptr<CUserPolicyManager>> dropped;
  {
    Guard<CSLock> guard(g_factoryLock);
    dropped.swap(RetiredManagers());
  }
  // Destroyed outside the lock: the last reference frees a whole cache.
}
