// Test seam of the C interface's allocator (capi/result_memory.h): before
// each allocation of something the C interface hands out, the hook installed
// here (if any) is asked whether that allocation should fail as if memory
// had run out. Tests use it through testing/scoped_allocation_failure.h to
// prove that every such failure gives UP_OUT_OF_MEMORY and leaves nothing
// allocated; product code never installs one.
//
// Thread safety: installing and calling are atomic; the hook itself is
// called from whichever thread allocates.
#ifndef USERPOLICY_CAPI_ALLOCATION_HOOK_H_
#define USERPOLICY_CAPI_ALLOCATION_HOOK_H_

namespace capi::hooks {

// Returns true when the allocation about to be made should fail.
using AllocationFailureHook = bool (*)();

// Installs `hook` (null: none) and returns the one it replaces.
AllocationFailureHook SetAllocationFailureHook(AllocationFailureHook hook);

}  // namespace capi::hooks

#endif  // USERPOLICY_CAPI_ALLOCATION_HOOK_H_
