// Test seams of the performance-monitor manager.
//
//   {
//     perf::testing::ScopedCreateFailure fail(E_ACCESSDENIED);
//     EXPECT_EQ(manager.CreateInstance(7, 0, nullptr, &object), E_ACCESSDENIED);
//   }
#ifndef USERPOLICY_PERF_PERF_MON_MANAGER_TESTING_H_
#define USERPOLICY_PERF_PERF_MON_MANAGER_TESTING_H_

#include "perf/perf_mon_manager.h"
#include "platform/thread_annotations.h"
#include "platform/types.h"

namespace perf::testing {

// While alive, CreateInstance of every manager fails with `failure` and
// hands out no object (after checking its `object` argument). Destruction
// restores the seam as it was, so instances nest. Create and destroy on one
// thread.
// REQUIRES: FAILED(failure).
class ScopedCreateFailure {
 public:
  explicit ScopedCreateFailure(HRESULT failure);
  ~ScopedCreateFailure();
  ScopedCreateFailure(const ScopedCreateFailure&) = delete;
  ScopedCreateFailure& operator=(const ScopedCreateFailure&) = delete;

 private:
  const HRESULT previous_;
};

// Holds `manager`'s lock while alive, so that its CreateInstance and
// ReleaseInstance on other threads time out. The holding thread must not
// call them itself.
class SCOPED_CAPABILITY ScopedManagerLock {
 public:
  explicit ScopedManagerLock(CQuarnPerfMonManager* manager) ACQUIRE(manager->mu_)
      : manager_(manager) {
    manager_->mu_.Lock();
  }
  ~ScopedManagerLock() RELEASE() { manager_->mu_.Unlock(); }
  ScopedManagerLock(const ScopedManagerLock&) = delete;
  ScopedManagerLock& operator=(const ScopedManagerLock&) = delete;

 private:
  CQuarnPerfMonManager* const manager_;
};

}  // namespace perf::testing

#endif  // USERPOLICY_PERF_PERF_MON_MANAGER_TESTING_H_
