// Windows kernel synchronisation for non-Windows builds. Included only
// through "platform/sync.h"; the contract of each function is the one Windows
// documents, with the differences noted here.
#ifndef USERPOLICY_PLATFORM_POSIX_SYNC_POSIX_H_
#define USERPOLICY_PLATFORM_POSIX_SYNC_POSIX_H_

#include <pthread.h>

#include <memory>

#include "platform/posix/types_posix.h"

#ifndef INFINITE
#define INFINITE 0xFFFFFFFFu
#endif
#ifndef WAIT_OBJECT_0
#define WAIT_OBJECT_0 0x00000000u
#endif
#ifndef WAIT_ABANDONED
#define WAIT_ABANDONED 0x00000080u
#endif
#ifndef WAIT_TIMEOUT
#define WAIT_TIMEOUT 0x00000102u
#endif
#ifndef WAIT_FAILED
#define WAIT_FAILED 0xFFFFFFFFu
#endif
#ifndef INVALID_HANDLE_VALUE
#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)
#endif

struct SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
};
typedef SECURITY_ATTRIBUTES* PSECURITY_ATTRIBUTES;
typedef SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;

// Thread error code -----------------------------------------------------------

// The calling thread's last error code (thread-local, 0 in a new thread).
DWORD GetLastError();
void SetLastError(DWORD error);

// The kernel id of the calling thread (gettid); unique among live threads.
// Cached per thread, so a child process created by fork() without exec must
// not rely on it in the forking thread.
DWORD GetCurrentThreadId();

// Suspends the calling thread for at least `milliseconds`. Sleep(0) yields
// the processor; Sleep(INFINITE) never returns.
void Sleep(DWORD milliseconds);

// Critical sections ----------------------------------------------------------

// A process-local lock, recursive for the owning thread: a thread may enter a
// critical section it already owns and must leave it as many times as it
// entered. The members are private to the implementation (a plain mutex,
// the owner, read atomically, and the owner's recursion depth). A critical
// section must not be copied or moved after InitializeCriticalSection.
struct CRITICAL_SECTION {
  pthread_mutex_t mutex;
  pthread_t owner;  // 0 when free
  LONG recursion;   // touched only by the owner
};
typedef CRITICAL_SECTION* LPCRITICAL_SECTION;
typedef CRITICAL_SECTION* PCRITICAL_SECTION;

void InitializeCriticalSection(LPCRITICAL_SECTION cs);
// The spin count is ignored (the lock spins briefly by itself); always TRUE.
BOOL InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION cs, DWORD spin_count);
// REQUIRES: `cs` initialised and not owned by any thread.
void DeleteCriticalSection(LPCRITICAL_SECTION cs);
// Returns TRUE when the calling thread now owns `cs` (also when it already
// did), FALSE when another thread owns it. Never blocks.
BOOL TryEnterCriticalSection(LPCRITICAL_SECTION cs);

// Enter and Leave are inline so that the uncontended path costs what a
// plain mutex lock and unlock cost. Only the owning thread ever stores its
// own id in `owner`, so reading it back means the caller owns the lock.
inline void EnterCriticalSection(LPCRITICAL_SECTION cs) {
  const pthread_t self = pthread_self();
  if (__atomic_load_n(&cs->owner, __ATOMIC_RELAXED) == self) {
    ++cs->recursion;
    return;
  }
  pthread_mutex_lock(&cs->mutex);
  __atomic_store_n(&cs->owner, self, __ATOMIC_RELAXED);
  cs->recursion = 1;
}

// REQUIRES: the calling thread owns `cs`.
inline void LeaveCriticalSection(LPCRITICAL_SECTION cs) {
  if (--cs->recursion > 0) return;
  __atomic_store_n(&cs->owner, pthread_t{}, __ATOMIC_RELAXED);
  pthread_mutex_unlock(&cs->mutex);
}

// Handles and events ---------------------------------------------------------
//
// Handles are entries of a process-wide table of kernel objects. Handle
// values are never reused, so a stale handle is always detected: waiting on,
// setting or closing a handle that was closed (or never valid, including
// NULL and INVALID_HANDLE_VALUE) fails with WAIT_FAILED / FALSE and
// GetLastError() == ERROR_INVALID_HANDLE. A thread waiting on an object keeps
// it alive when another thread closes the handle meanwhile; the wait then
// ends as it would have without the close (signal or timeout).

// Creates an event. `security` is ignored. A manual-reset event stays
// signalled until ResetEvent and releases every waiter, including ones that
// arrive while it is signalled; an auto-reset event releases exactly one
// waiter per SetEvent and is reset by that release.
// Named events are not supported: a non-empty `name` returns NULL with
// GetLastError() == ERROR_INVALID_PARAMETER. Never returns
// INVALID_HANDLE_VALUE.
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES security, BOOL manual_reset, BOOL initial_state,
                    LPCWSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);

// Waits until the object is signalled (WAIT_OBJECT_0) or `milliseconds`
// elapsed (WAIT_TIMEOUT); INFINITE waits forever, 0 only tests the state.
// Returns WAIT_FAILED with ERROR_INVALID_HANDLE for an invalid handle.
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);

// Closes the handle; the object is destroyed once no waiter uses it.
BOOL CloseHandle(HANDLE handle);

namespace platform {

// Base of the objects the handle table holds. Other parts of the platform
// layer that hand out handles (threads, processes) derive from it.
class KernelObject {
 public:
  KernelObject() = default;
  KernelObject(const KernelObject&) = delete;
  KernelObject& operator=(const KernelObject&) = delete;
  virtual ~KernelObject();

  // Waits as WaitForSingleObject does. The default, for objects that cannot
  // be waited on, fails with ERROR_INVALID_HANDLE.
  virtual DWORD Wait(DWORD milliseconds);
};

// Adds `object` to the handle table and returns its new, never before used
// handle. Thread-safe.
HANDLE RegisterKernelObject(std::shared_ptr<KernelObject> object);

// The object behind `handle`, or null (with SetLastError(ERROR_INVALID_HANDLE))
// when the handle is not open. Thread-safe.
std::shared_ptr<KernelObject> LookupKernelObject(HANDLE handle);

}  // namespace platform

// Interlocked operations -----------------------------------------------------
//
// Each is atomic and a full (sequentially consistent) barrier, as on Windows.
// Arithmetic wraps around in two's complement. The return values are the
// Windows ones: Increment/Decrement return the NEW value, Exchange,
// ExchangeAdd and CompareExchange the value BEFORE the operation.

inline LONG InterlockedIncrement(LONG volatile* addend) {
  return __atomic_add_fetch(addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedDecrement(LONG volatile* addend) {
  return __atomic_sub_fetch(addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchange(LONG volatile* target, LONG value) {
  return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchangeAdd(LONG volatile* addend, LONG value) {
  return __atomic_fetch_add(addend, value, __ATOMIC_SEQ_CST);
}
// Stores `exchange` when *destination == comparand.
inline LONG InterlockedCompareExchange(LONG volatile* destination, LONG exchange,
                                       LONG comparand) {
  __atomic_compare_exchange_n(destination, &comparand, exchange, /*weak=*/false,
                              __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return comparand;  // on failure the builtin stored the value it saw
}

inline LONG64 InterlockedIncrement64(LONG64 volatile* addend) {
  return __atomic_add_fetch(addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG64 InterlockedDecrement64(LONG64 volatile* addend) {
  return __atomic_sub_fetch(addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG64 InterlockedExchange64(LONG64 volatile* target, LONG64 value) {
  return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
inline LONG64 InterlockedExchangeAdd64(LONG64 volatile* addend, LONG64 value) {
  return __atomic_fetch_add(addend, value, __ATOMIC_SEQ_CST);
}
inline LONG64 InterlockedCompareExchange64(LONG64 volatile* destination, LONG64 exchange,
                                           LONG64 comparand) {
  __atomic_compare_exchange_n(destination, &comparand, exchange, /*weak=*/false,
                              __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return comparand;
}

inline PVOID InterlockedExchangePointer(PVOID volatile* target, PVOID value) {
  return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
inline PVOID InterlockedCompareExchangePointer(PVOID volatile* destination, PVOID exchange,
                                               PVOID comparand) {
  __atomic_compare_exchange_n(destination, &comparand, exchange, /*weak=*/false,
                              __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return comparand;
}

#endif  // USERPOLICY_PLATFORM_POSIX_SYNC_POSIX_H_
