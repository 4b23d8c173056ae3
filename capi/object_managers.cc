#include "capi/object_managers.h"

#include <optional>

#include "module/manager_factories.h"
#include "platform/sync.h"
#include "platform/thread_annotations.h"

namespace capi {
namespace {

struct Managers {
  platform::Mutex mu;
  std::optional<CUserPolicyManager> by_guid GUARDED_BY(mu);
  std::optional<CUserPolicyManager> by_path GUARDED_BY(mu);
};

Managers& TheManagers() {
  static Managers managers;
  return managers;
}

}  // namespace

CUserPolicyManager ObjectManager(int lookup_type) {
  Managers& managers = TheManagers();
  platform::MutexLock lock(&managers.mu);
  std::optional<CUserPolicyManager>& slot = lookup_type == kLookupBindGuid ? managers.by_guid : managers.by_path;
  // Creation reads the settings, not the directory.
  if (!slot.has_value()) slot.emplace(CreateObjectManager(lookup_type));
  return *slot;
}

void ReleaseObjectManagers() {
  std::optional<CUserPolicyManager> by_guid, by_path;
  {
    Managers& managers = TheManagers();
    platform::MutexLock lock(&managers.mu);
    by_guid.swap(managers.by_guid);
    by_path.swap(managers.by_path);
  }
  // The last handles go here, outside the lock, with their caches.
}

}  // namespace capi
