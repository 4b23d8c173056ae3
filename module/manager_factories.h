// The module's three managers and their factories.
//
// The module owns exactly three CUserPolicyManager objects, one per kind of
// key: users by SIP address, primary groups by SID search string, and groups
// by distinguished name. Each factory creates its manager on first use,
// reading the manager's cache timeout and maximum from the settings class
// QV_DSAccess, instance "DEFAULT":
//
//   factory                                   timeout key (default)             maximum key (default)
//   UserPolicy_GetUserIdentityManager         UserIdentityCacheTimeout (3600)   UserIdentityCacheMaximum (1000)
//   UserPolicy_GetPrimaryGroupIDTOGroupManager PrimaryGroupCacheTimeout (86400) PrimaryGroupCacheMaximum (50)
//   UserPolicy_GetGroupMemeberShipManager     NestedGroupCacheTimeout (3600)    NestedGroupCacheMaximum (1000)
//
// A value is taken only when its variant type is VT_I4, VT_UI4, VT_INT or
// VT_UINT; its 32 bits are passed on as a signed number (so a VT_UI4
// 4294967295 is -1). Anything else keeps the default, silently.
//
// Every factory returns a copy of the module's handle (one more reference);
// callers may keep, copy and destroy it freely. After creation a factory
// costs one atomic pointer read and one interlocked increment; creation is
// serialised by the module-wide factory lock, which is never taken inside a
// lookup. Errors while a manager is built leave it uncreated and pass to the
// caller; the next call tries again.
#ifndef USERPOLICY_MODULE_MANAGER_FACTORIES_H_
#define USERPOLICY_MODULE_MANAGER_FACTORIES_H_

#include "manager/user_policy_manager.h"
#include "platform/export.h"

USERPOLICY_EXPORT CUserPolicyManager UserPolicy_GetUserIdentityManager();
USERPOLICY_EXPORT CUserPolicyManager UserPolicy_GetPrimaryGroupIDTOGroupManager();
USERPOLICY_EXPORT CUserPolicyManager UserPolicy_GetGroupMemeberShipManager();

// A new manager that binds any object (user, group, contact) by GUID
// (kLookupBindGuid) or by path (kLookupBindPath), loading the user's and
// the group's attributes (kObjectAttributes), with the nested-group
// manager's cache settings read now. Not one of the module's three: the
// caller keeps the only handle. Raises -91006 for another lookup type.
CUserPolicyManager CreateObjectManager(int lookup_type);

// Takes the module's handles of the three managers out of use (nested-group,
// then primary-group, then user-identity) under the factory lock: the next
// factory call creates a new manager, and handles callers hold stay usable.
// A factory call racing with this may still be copying a handle it read just
// before, so the taken handles are destroyed only by DropRetiredManagers (at
// the next start, or when the library is unloaded), never under such a copy.
void ReleaseManagers();

// Destroys the handles ReleaseManagers took out of use; a manager's
// implementation and cache go with the last handle.
void DropRetiredManagers();

#endif  // USERPOLICY_MODULE_MANAGER_FACTORIES_H_
