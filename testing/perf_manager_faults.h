// Failures of the performance-monitor manager made to happen in tests:
//
//   {
//     perf::testing::ScopedCreateFailure fail(E_ACCESSDENIED);
//     EXPECT_EQ(manager.CreateInstance(7, 0, nullptr, &object), E_ACCESSDENIED);
//   }
#ifndef USERPOLICY_TESTING_PERF_MANAGER_FAULTS_H_
#define USERPOLICY_TESTING_PERF_MANAGER_FAULTS_H_

#include "perf/perf_mon_manager_hook.h"
#include "platform/types.h"

namespace perf::testing {

// While alive, CreateInstance of every manager fails with `failure` and
// hands out no object. Destruction restores the failure set before, so
// instances nest. Create and destroy on one thread.
// REQUIRES: FAILED(failure).
class ScopedCreateFailure {
 public:
  explicit ScopedCreateFailure(HRESULT failure) : previous_(hooks::SetCreateFailure(failure)) {}
  ~ScopedCreateFailure() { hooks::SetCreateFailure(previous_); }
  ScopedCreateFailure(const ScopedCreateFailure&) = delete;
  ScopedCreateFailure& operator=(const ScopedCreateFailure&) = delete;

 private:
  const HRESULT previous_;
};

// Holds a manager's lock for a scope (see hooks::ManagerLockHold).
using ScopedManagerLock = hooks::ManagerLockHold;

}  // namespace perf::testing

#endif  // USERPOLICY_TESTING_PERF_MANAGER_FAULTS_H_
