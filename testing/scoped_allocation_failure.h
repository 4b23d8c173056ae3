// Makes one allocation of the C interface's results fail, as if memory had
// run out (capi/allocation_hook.h).
//
//   for (int n = 1;; ++n) {
//     capi::testing::ScopedAllocationFailure fail(n);
//     if (up_get_guids(sip, &guids, &error) == UP_OK) break;  // fewer than n allocations
//     ... expect UP_OUT_OF_MEMORY and nothing handed out ...
//   }
#ifndef USERPOLICY_TESTING_SCOPED_ALLOCATION_FAILURE_H_
#define USERPOLICY_TESTING_SCOPED_ALLOCATION_FAILURE_H_

#include "capi/allocation_hook.h"

namespace capi::testing {

// While alive, the `n`th allocation (counted from 1, on any thread) fails;
// the others succeed. One at a time: not nestable.
class ScopedAllocationFailure {
 public:
  explicit ScopedAllocationFailure(int n);
  ~ScopedAllocationFailure();
  ScopedAllocationFailure(const ScopedAllocationFailure&) = delete;
  ScopedAllocationFailure& operator=(const ScopedAllocationFailure&) = delete;

  // How many allocations were asked for so far.
  int allocations() const;

 private:
  const hooks::AllocationFailureHook previous_;
};

}  // namespace capi::testing

#endif  // USERPOLICY_TESTING_SCOPED_ALLOCATION_FAILURE_H_
