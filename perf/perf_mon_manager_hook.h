// Hooks of the performance-monitor manager, for tests of the failures that
// a running system seldom shows (the test-support library's
// testing/perf_manager_faults.h wraps them in scoped objects). Product code
// uses none of them.
#ifndef USERPOLICY_PERF_PERF_MON_MANAGER_HOOK_H_
#define USERPOLICY_PERF_PERF_MON_MANAGER_HOOK_H_

#include "perf/perf_mon_manager.h"
#include "platform/thread_annotations.h"
#include "platform/types.h"

namespace perf::hooks {

// From now on CreateInstance of every manager fails with `failure` and
// hands out no object (after checking its `object` argument); S_OK ends
// that. Returns the failure set before.
// REQUIRES: failure == S_OK || FAILED(failure).
HRESULT SetCreateFailure(HRESULT failure);

// Holds `manager`'s lock while alive, so that its CreateInstance and
// ReleaseInstance on other threads time out. The holding thread must not
// call them itself.
class SCOPED_CAPABILITY ManagerLockHold {
 public:
  explicit ManagerLockHold(CQuarnPerfMonManager* manager) ACQUIRE(manager->mu_) : manager_(manager) {
    manager_->mu_.Lock();
  }
  ~ManagerLockHold() RELEASE() { manager_->mu_.Unlock(); }
  ManagerLockHold(const ManagerLockHold&) = delete;
  ManagerLockHold& operator=(const ManagerLockHold&) = delete;

 private:
  CQuarnPerfMonManager* const manager_;
};

}  // namespace perf::hooks

#endif  // USERPOLICY_PERF_PERF_MON_MANAGER_HOOK_H_
