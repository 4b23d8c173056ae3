// Kernel synchronisation under the Windows names: critical sections, events
// and handles, Interlocked* operations, the thread's last error code,
// GetCurrentThreadId and Sleep.
//
// On Windows this is <windows.h>. Elsewhere "platform/posix/sync_posix.h"
// implements the same functions with the Windows semantics; read it for the
// per-function contracts and the (few, documented) differences.
//
// The header also offers platform::Mutex, platform::MutexLock and
// platform::CondVar: a plain (non-recursive) mutex that carries the clang
// thread-safety annotations, for new code that wants GUARDED_BY checking.
// The Win32 functions carry no annotations (their Windows declarations have
// none either).
#ifndef USERPOLICY_PLATFORM_SYNC_H_
#define USERPOLICY_PLATFORM_SYNC_H_

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/thread_annotations.h"
#include "platform/types.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include "platform/posix/sync_posix.h"
#endif

namespace platform {

// A non-recursive mutex. Thread-safe; not copyable.
class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock() ACQUIRE() { mu_.lock(); }
  void Unlock() RELEASE() { mu_.unlock(); }
  // Returns true when the lock was acquired; never blocks.
  bool TryLock() TRY_ACQUIRE(true) { return mu_.try_lock(); }
  // Tells the analysis the caller holds the lock (no runtime check).
  void AssertHeld() ASSERT_CAPABILITY(this) {}

 private:
  friend class CondVar;
  std::mutex mu_;
};

// Holds `mu` from construction to destruction.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex* mu) ACQUIRE(mu) : mu_(mu) { mu_->Lock(); }
  ~MutexLock() RELEASE() { mu_->Unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex* const mu_;
};

// A condition variable bound to one Mutex for its whole life.
class CondVar {
 public:
  // `mu` must outlive the CondVar.
  explicit CondVar(Mutex* mu) : mu_(mu) {}
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;

  // Atomically releases the mutex and waits for a signal (or a spurious
  // wake-up); holds the mutex again on return. REQUIRES: the caller holds
  // the mutex. (Not annotated: the analysis cannot see that the CondVar's
  // mutex is the caller's, so an annotation would only produce false
  // warnings; the same holds for WaitUntil.)
  void Wait() {
    std::unique_lock<std::mutex> lock(mu_->mu_, std::adopt_lock);
    cv_.wait(lock);
    lock.release();
  }
  // As Wait, but returns false when `deadline` passed without a signal.
  bool WaitUntil(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mu_->mu_, std::adopt_lock);
    const bool signalled = cv_.wait_until(lock, deadline) == std::cv_status::no_timeout;
    lock.release();
    return signalled;
  }
  void Signal() { cv_.notify_one(); }
  void SignalAll() { cv_.notify_all(); }

 private:
  Mutex* const mu_;
  std::condition_variable cv_;
};

}  // namespace platform

#endif  // USERPOLICY_PLATFORM_SYNC_H_
