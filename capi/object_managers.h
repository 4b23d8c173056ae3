// The managers behind up_get_record's UP_MANAGER_GUID and UP_MANAGER_PATH:
// one binds any object by its GUID, the other by its path
// (module/manager_factories.h, CreateObjectManager). They belong to the C
// interface, not to the module: each is created at its first lookup after
// up_start, with the settings then in effect, and released at up_stop, so
// that the next start begins with empty caches as the module's own
// managers do.
//
// Thread safety: ObjectManager may be called from any number of threads
// inside the call gate; ReleaseObjectManagers only once the gate is closed
// and drained.
#ifndef USERPOLICY_CAPI_OBJECT_MANAGERS_H_
#define USERPOLICY_CAPI_OBJECT_MANAGERS_H_

#include "manager/user_policy_manager.h"

namespace capi {

// A handle of the manager of `lookup_type` (kLookupBindGuid or
// kLookupBindPath), created now when there is none. Errors of the creation
// pass to the caller and the next call tries again.
CUserPolicyManager ObjectManager(int lookup_type);

// Drops both managers and their caches.
void ReleaseObjectManagers();

}  // namespace capi

#endif  // USERPOLICY_CAPI_OBJECT_MANAGERS_H_
