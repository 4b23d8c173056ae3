#include "testing/scoped_allocation_failure.h"

#include <atomic>

namespace capi::testing {
namespace {

std::atomic<int> g_failing{0};
std::atomic<int> g_allocations{0};

bool FailTheChosenOne() { return g_allocations.fetch_add(1, std::memory_order_relaxed) + 1 == g_failing.load(); }

hooks::AllocationFailureHook Install(int n) {
  g_failing.store(n);
  g_allocations.store(0);
  return hooks::SetAllocationFailureHook(&FailTheChosenOne);
}

}  // namespace

ScopedAllocationFailure::ScopedAllocationFailure(int n) : previous_(Install(n)) {}

ScopedAllocationFailure::~ScopedAllocationFailure() { hooks::SetAllocationFailureHook(previous_); }

int ScopedAllocationFailure::allocations() const { return g_allocations.load(); }

}  // namespace capi::testing
