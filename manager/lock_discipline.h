// Checks of the module's lock discipline: no thread ever holds two module
// locks at once (re-entering the one it holds is fine), and no thread holds a
// module lock while it reads the directory or waits for another thread's
// read. Every CSLock reports to it.
//
// The checks run when the build defines USERPOLICY_LOCK_CHECKS=1 (debug and
// sanitizer builds do); otherwise every function here is an empty inline
// function. A violation calls the installed handler; the default one logs the
// violation at the failure level and aborts, so that a test fails at once.
#ifndef USERPOLICY_MANAGER_LOCK_DISCIPLINE_H_
#define USERPOLICY_MANAGER_LOCK_DISCIPLINE_H_

#ifndef USERPOLICY_LOCK_CHECKS
#define USERPOLICY_LOCK_CHECKS 0
#endif

namespace lock_discipline {

inline constexpr bool kEnabled = USERPOLICY_LOCK_CHECKS != 0;

// Receives a description of the violation. Must be thread-safe.
using ViolationHandler = void (*)(const char* description);

// Installs `handler` (null: the default) and returns the previous one.
ViolationHandler SetViolationHandler(ViolationHandler handler);

namespace internal {
void NoteAcquired(const void* lock);
void NoteReleased(const void* lock);
void CheckNoLockHeld(const char* operation);
}  // namespace internal

// Called by CSLock after it locked / before it unlocks.
inline void NoteAcquired(const void* lock) {
  if constexpr (kEnabled) internal::NoteAcquired(lock);
}
inline void NoteReleased(const void* lock) {
  if constexpr (kEnabled) internal::NoteReleased(lock);
}
// Called before an operation that must run without any module lock held
// (a directory read, a wait on another thread's read).
inline void CheckNoLockHeld(const char* operation) {
  if constexpr (kEnabled) internal::CheckNoLockHeld(operation);
}

}  // namespace lock_discipline

#endif  // USERPOLICY_MANAGER_LOCK_DISCIPLINE_H_
