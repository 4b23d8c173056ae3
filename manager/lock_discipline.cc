#include "manager/lock_discipline.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "platform/log.h"
#include "platform/module.h"

namespace lock_discipline {
namespace {

constexpr char kSource[] = "serv_UserPolicyManager";

void AbortOnViolation(const char* description) {
  DBG::DebugLogEx(platform::CurrentModuleHandle(), DBG::kLevelFailure, kSource, __LINE__,
                  L"lock discipline violated: %S", description);
  std::fprintf(stderr, "userpolicy: lock discipline violated: %s\n", description);
  std::abort();
}

std::atomic<ViolationHandler> g_handler{&AbortOnViolation};

// The module lock this thread holds and how often it entered it.
struct HeldLock {
  const void* lock = nullptr;
  int depth = 0;
};
thread_local HeldLock t_held;

void Report(const char* description) { g_handler.load(std::memory_order_acquire)(description); }

}  // namespace

ViolationHandler SetViolationHandler(ViolationHandler handler) {
  return g_handler.exchange(handler != nullptr ? handler : &AbortOnViolation, std::memory_order_acq_rel);
}

namespace internal {

void NoteAcquired(const void* lock) {
  if (t_held.lock == nullptr) {
    t_held.lock = lock;
    t_held.depth = 1;
  } else if (t_held.lock == lock) {
    ++t_held.depth;
  } else {
    Report("a second module lock was taken while one is held");
  }
}

void NoteReleased(const void* lock) {
  if (t_held.lock == lock && --t_held.depth == 0) t_held.lock = nullptr;
}

void CheckNoLockHeld(const char* operation) {
  if (t_held.lock != nullptr) Report(operation);
}

}  // namespace internal
}  // namespace lock_discipline
