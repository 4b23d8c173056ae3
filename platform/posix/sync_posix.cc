// Windows kernel synchronisation on POSIX threads.
#include "platform/sync.h"

#include <atomic>
#include <sched.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <new>
#include <thread>
#include <unordered_map>
#include <utility>

namespace {

thread_local DWORD t_last_error = ERROR_SUCCESS;

// Handle values start here and grow by kHandleStep (handles are multiples of
// four on Windows too); 2^62 handles would be needed to exhaust them, so a
// value is never handed out twice.
constexpr uintptr_t kFirstHandle = 0x1000;
constexpr uintptr_t kHandleStep = 4;

// The process-wide table of open handles. Lives until the process exits (it
// is never destroyed, so handles stay usable from static destructors).
class HandleTable {
 public:
  static HandleTable& Instance() {
    alignas(HandleTable) static unsigned char storage[sizeof(HandleTable)];
    static HandleTable* const table = ::new (storage) HandleTable();
    return *table;
  }

  HANDLE Add(std::shared_ptr<platform::KernelObject> object) EXCLUDES(mu_) {
    platform::MutexLock lock(&mu_);
    const uintptr_t value = next_;
    next_ += kHandleStep;
    objects_.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
  }

  std::shared_ptr<platform::KernelObject> Find(HANDLE handle) EXCLUDES(mu_) {
    platform::MutexLock lock(&mu_);
    auto it = objects_.find(reinterpret_cast<uintptr_t>(handle));
    if (it == objects_.end()) return nullptr;
    return it->second;
  }

  // Returns the object that was removed (destroyed by the caller, outside the
  // table lock), or null when the handle was not open.
  std::shared_ptr<platform::KernelObject> Remove(HANDLE handle) EXCLUDES(mu_) {
    platform::MutexLock lock(&mu_);
    auto it = objects_.find(reinterpret_cast<uintptr_t>(handle));
    if (it == objects_.end()) return nullptr;
    std::shared_ptr<platform::KernelObject> object = std::move(it->second);
    objects_.erase(it);
    return object;
  }

 private:
  HandleTable() = default;

  platform::Mutex mu_;
  std::unordered_map<uintptr_t, std::shared_ptr<platform::KernelObject>> objects_
      GUARDED_BY(mu_);
  uintptr_t next_ GUARDED_BY(mu_) = kFirstHandle;
};

// An event object. Auto-reset events count the releases SetEvent granted to
// threads already waiting, so two SetEvent calls release two waiters even
// when neither has run yet (as the Windows kernel does). Manual-reset events
// count SetEvent calls, so a SetEvent immediately followed by ResetEvent
// still releases every thread that was waiting at the time.
class Event final : public platform::KernelObject {
 public:
  Event(bool manual_reset, bool initial_state)
      : manual_reset_(manual_reset), signalled_(initial_state), signalled_word_(initial_state) {}

  DWORD Wait(DWORD milliseconds) override EXCLUDES(mu_) {
    if (manual_reset_ && milliseconds == INFINITE) return WaitForeverOnManualReset();
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    platform::MutexLock lock(&mu_);
    if (manual_reset_) {
      const uint64_t generation = generation_;
      while (!signalled_ && generation_ == generation) {
        if (!WaitOnce(milliseconds, deadline)) {
          if (signalled_ || generation_ != generation) break;
          return WAIT_TIMEOUT;
        }
      }
      return WAIT_OBJECT_0;
    }

    if (signalled_) {
      signalled_ = false;
      return WAIT_OBJECT_0;
    }
    ++waiting_;
    while (granted_ == 0) {
      if (!WaitOnce(milliseconds, deadline) && granted_ == 0) {
        --waiting_;
        return WAIT_TIMEOUT;
      }
    }
    --granted_;
    --waiting_;
    return WAIT_OBJECT_0;
  }

  void Set() EXCLUDES(mu_) {
    platform::MutexLock lock(&mu_);
    if (manual_reset_) {
      signalled_ = true;
      signalled_word_.store(true, std::memory_order_release);
      ++generation_;
      cv_.SignalAll();
      // Threads waiting without a time-out sleep on the wake word: every one
      // of them wakes at once, with no lock to take again afterwards.
      wake_word_.fetch_add(1, std::memory_order_acq_rel);
      wake_word_.notify_all();
    } else if (waiting_ > granted_) {
      ++granted_;  // released directly; the event stays non-signalled
      cv_.Signal();
    } else {
      signalled_ = true;
    }
  }

  void Reset() EXCLUDES(mu_) {
    platform::MutexLock lock(&mu_);
    signalled_ = false;
    signalled_word_.store(false, std::memory_order_release);
  }

 private:
  // A manual-reset wait without a time-out: returns once the event is
  // signalled, or once a SetEvent happened after the wait began (also when a
  // ResetEvent followed it at once).
  DWORD WaitForeverOnManualReset() {
    const uint32_t word = wake_word_.load(std::memory_order_acquire);
    if (signalled_word_.load(std::memory_order_acquire)) return WAIT_OBJECT_0;
    wake_word_.wait(word, std::memory_order_acquire);
    return WAIT_OBJECT_0;
  }

  // One wait on the condition variable; false when the deadline passed.
  bool WaitOnce(DWORD milliseconds, std::chrono::steady_clock::time_point deadline)
      REQUIRES(mu_) {
    if (milliseconds == INFINITE) {
      cv_.Wait();
      return true;
    }
    return cv_.WaitUntil(deadline);
  }

  platform::Mutex mu_;
  platform::CondVar cv_{&mu_};
  const bool manual_reset_;
  bool signalled_ GUARDED_BY(mu_);
  uint64_t generation_ GUARDED_BY(mu_) = 0;  // manual-reset: SetEvent calls
  uint64_t waiting_ GUARDED_BY(mu_) = 0;     // auto-reset: threads in Wait
  uint64_t granted_ GUARDED_BY(mu_) = 0;     // auto-reset: releases not yet taken
  // Manual-reset only: signalled_ readable without the lock, and a word that
  // every SetEvent advances, for waits without a time-out.
  std::atomic<bool> signalled_word_{false};
  std::atomic<uint32_t> wake_word_{0};
};

std::shared_ptr<Event> LookupEvent(HANDLE handle) {
  auto event = std::dynamic_pointer_cast<Event>(platform::LookupKernelObject(handle));
  if (event == nullptr) SetLastError(ERROR_INVALID_HANDLE);
  return event;
}

}  // namespace

DWORD GetLastError() { return t_last_error; }

void SetLastError(DWORD error) { t_last_error = error; }

DWORD GetCurrentThreadId() {
  // Cached per thread: gettid is a system call and the id never changes.
  thread_local const DWORD t_id = static_cast<DWORD>(::gettid());
  return t_id;
}

void Sleep(DWORD milliseconds) {
  if (milliseconds == 0) {
    ::sched_yield();
    return;
  }
  if (milliseconds == INFINITE) {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

// Recursion is handled by the critical section itself (see sync_posix.h)
// rather than by a recursive pthread mutex: the owner check is one relaxed
// load. The mutex underneath is glibc's adaptive kind: a thread that finds it
// taken spins briefly before it sleeps, as a Windows critical section does,
// so sections held for a map lookup rarely cost a futex call when contended.
void InitializeCriticalSection(LPCRITICAL_SECTION cs) {
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ADAPTIVE_NP);
  pthread_mutex_init(&cs->mutex, &attributes);
  pthread_mutexattr_destroy(&attributes);
  cs->owner = pthread_t{};
  cs->recursion = 0;
}

BOOL InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION cs, DWORD /*spin_count*/) {
  InitializeCriticalSection(cs);
  return TRUE;
}

void DeleteCriticalSection(LPCRITICAL_SECTION cs) { pthread_mutex_destroy(&cs->mutex); }

BOOL TryEnterCriticalSection(LPCRITICAL_SECTION cs) {
  const pthread_t self = pthread_self();
  if (__atomic_load_n(&cs->owner, __ATOMIC_RELAXED) == self) {
    ++cs->recursion;
    return TRUE;
  }
  if (pthread_mutex_trylock(&cs->mutex) != 0) return FALSE;
  __atomic_store_n(&cs->owner, self, __ATOMIC_RELAXED);
  cs->recursion = 1;
  return TRUE;
}

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES /*security*/, BOOL manual_reset, BOOL initial_state,
                    LPCWSTR name) {
  if (name != nullptr && name[0] != L'\0') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  HANDLE handle = platform::RegisterKernelObject(
      std::make_shared<Event>(manual_reset != FALSE, initial_state != FALSE));
  SetLastError(ERROR_SUCCESS);
  return handle;
}

BOOL SetEvent(HANDLE event) {
  std::shared_ptr<Event> object = LookupEvent(event);
  if (object == nullptr) return FALSE;
  object->Set();
  return TRUE;
}

BOOL ResetEvent(HANDLE event) {
  std::shared_ptr<Event> object = LookupEvent(event);
  if (object == nullptr) return FALSE;
  object->Reset();
  return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  std::shared_ptr<platform::KernelObject> object = platform::LookupKernelObject(handle);
  if (object == nullptr) return WAIT_FAILED;
  return object->Wait(milliseconds);
}

BOOL CloseHandle(HANDLE handle) {
  std::shared_ptr<platform::KernelObject> object = HandleTable::Instance().Remove(handle);
  if (object == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

namespace platform {

KernelObject::~KernelObject() = default;

DWORD KernelObject::Wait(DWORD /*milliseconds*/) {
  SetLastError(ERROR_INVALID_HANDLE);
  return WAIT_FAILED;
}

HANDLE RegisterKernelObject(std::shared_ptr<KernelObject> object) {
  return HandleTable::Instance().Add(std::move(object));
}

std::shared_ptr<KernelObject> LookupKernelObject(HANDLE handle) {
  std::shared_ptr<KernelObject> object = HandleTable::Instance().Find(handle);
  if (object == nullptr) SetLastError(ERROR_INVALID_HANDLE);
  return object;
}

}  // namespace platform
