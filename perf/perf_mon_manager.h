// The performance-monitor manager: allocates the module's performance
// objects where the monitor can read them.
//
//   CQuarnPerfMonManager* manager = CQuarnPerfMonManager::Instance();
//   if (FAILED(manager->CreateInstance(7, 0, nullptr, &g_pDSAccessPerfObject)))
//     g_pDSAccessPerfObject = nullptr;            // run without counters
//   ...
//   manager->ReleaseInstance(g_pDSAccessPerfObject);
//   g_pDSAccessPerfObject = nullptr;
//
// The manager keeps its objects in a named shared-memory segment of its own
// (layout and name: "perf/perf_segment.h"), created at the first
// CreateInstance and removed when the manager is destroyed; the process-wide
// manager of Instance() is destroyed at process exit (or when the library is
// unloaded). The segment's header registers the categories the manager
// knows, today only category 7 (CDSAccessPerfObject), a category without
// instances: a process has at most one object of it, and CreateInstance for
// an object that exists hands the same object out again with its reference
// count raised. ReleaseInstance lowers the count and frees the object at 0.
//
// A child process made by fork() does not share the parent's objects: its
// first CreateInstance creates a segment for the child.
//
// Thread safety: every member is thread-safe. CreateInstance and
// ReleaseInstance are serialised by the manager's own lock; a call that
// cannot take it within the lock timeout fails rather than hang. The
// objects themselves are updated without the lock (see
// "perf/ds_access_guards.h").
#ifndef USERPOLICY_PERF_PERF_MON_MANAGER_H_
#define USERPOLICY_PERF_PERF_MON_MANAGER_H_

#include <chrono>
#include <concepts>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "perf/ds_access_perf_object.h"
#include "perf/perf_category.h"
#include "perf/perf_object.h"
#include "platform/shared_memory.h"
#include "platform/thread_annotations.h"
#include "platform/types.h"

namespace perf {

// Result of a call that could not take the manager's lock in time:
// HRESULT_FROM_WIN32(ERROR_TIMEOUT).
inline constexpr HRESULT kManagerLockTimeout = static_cast<HRESULT>(0x800705B4u);

struct PerfMonManagerOptions {
  // Name of the segment (see platform::SharedMemory for the allowed
  // characters). Empty: "userpolicy-perf-<pid>" of the process that creates
  // the segment, the name readers look for.
  std::string segment_name;
  // Objects the segment has room for.
  uint32_t slot_count = 8;
  // How long CreateInstance and ReleaseInstance wait for the manager's lock.
  std::chrono::milliseconds lock_timeout{10'000};
};

namespace hooks {
class ManagerLockHold;
}  // namespace hooks

namespace internal {
// A non-recursive lock whose acquisition can time out. (A flag under a
// mutex and condition variable rather than std::timed_mutex, whose timed
// lock the thread sanitizer of our compilers does not understand.)
class CAPABILITY("mutex") TimedMutex {
 public:
  void Lock() ACQUIRE() {
    std::unique_lock<std::mutex> lock(mu_);
    released_.wait(lock, [this] { return !locked_; });
    locked_ = true;
  }
  bool TryLockFor(std::chrono::milliseconds timeout) TRY_ACQUIRE(true) {
    std::unique_lock<std::mutex> lock(mu_);
    if (!released_.wait_for(lock, timeout, [this] { return !locked_; })) return false;
    locked_ = true;
    return true;
  }
  void Unlock() RELEASE() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      locked_ = false;
    }
    released_.notify_one();
  }

 private:
  std::mutex mu_;
  std::condition_variable released_;
  bool locked_ = false;
};
}  // namespace internal

}  // namespace perf

class CQuarnPerfMonManager {
 public:
  // The process-wide manager (segment "userpolicy-perf-<pid>"). Never null.
  static CQuarnPerfMonManager* Instance();

  CQuarnPerfMonManager();
  explicit CQuarnPerfMonManager(perf::PerfMonManagerOptions options);
  // Removes the segment (when this process created it). Objects still handed
  // out stay mapped, so that late users do not fault; they are just no
  // longer published.
  ~CQuarnPerfMonManager();
  CQuarnPerfMonManager(const CQuarnPerfMonManager&) = delete;
  CQuarnPerfMonManager& operator=(const CQuarnPerfMonManager&) = delete;

  // Hands out the object of category `category_id` in *object: a new,
  // zeroed one with reference count 1, or the existing one with its count
  // raised by 1.
  // REQUIRES: `instance` 0 and `instance_name` null or empty (registered
  // categories have no instances).
  // Returns S_OK, or a negative HRESULT with *object null:
  //   E_POINTER            `object` is null
  //   E_INVALIDARG         unregistered category, or an instance was named
  //   kManagerLockTimeout  the manager's lock was not free in time
  //   E_OUTOFMEMORY        no free slot in the segment
  //   others               the segment could not be created (see
  //                        platform::SharedMemory::Create)
  //   any                  injected through perf/perf_mon_manager_hook.h
  HRESULT CreateInstance(DWORD category_id, DWORD instance, LPCWSTR instance_name,
                         CPerfObject** object);

  // As above, typed: fails with E_INVALIDARG when `category_id` is not T's.
  template <class T>
    requires(std::derived_from<T, CPerfObject> && !std::same_as<T, CPerfObject>)
  HRESULT CreateInstance(DWORD category_id, DWORD instance, LPCWSTR instance_name, T** object) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (category_id != T::kCategoryId) return E_INVALIDARG;
    CPerfObject* created = nullptr;
    const HRESULT hr = CreateInstance(category_id, instance, instance_name, &created);
    if (SUCCEEDED(hr)) *object = static_cast<T*>(created);
    return hr;
  }

  // Lowers the reference count of `object`, which CreateInstance of this
  // manager handed out; at 0 the object is freed (its memory zeroed, its
  // slot reusable) and must no longer be used.
  // Returns S_OK, E_POINTER for null, E_INVALIDARG for an object this
  // manager does not hold (never handed out, or freed already), or
  // kManagerLockTimeout.
  HRESULT ReleaseInstance(CPerfObject* object);

  // The name of the segment, empty before the first successful
  // CreateInstance.
  std::string SegmentName();

 private:
  friend class perf::hooks::ManagerLockHold;

  HRESULT CreateLocked(const perf::CategoryDefinition& category, CPerfObject** object)
      REQUIRES(mu_);
  HRESULT ReleaseLocked(CPerfObject* object) REQUIRES(mu_);
  // Creates and initialises the segment unless this process has one.
  HRESULT EnsureSegmentLocked() REQUIRES(mu_);

  const perf::PerfMonManagerOptions options_;
  perf::internal::TimedMutex mu_;
  std::unique_ptr<platform::SharedMemory> segment_ GUARDED_BY(mu_);
  // The process that created segment_ (differs from ours after fork()).
  DWORD segment_pid_ GUARDED_BY(mu_) = 0;
  // Per slot: the object living in it, null when the slot is free.
  std::vector<CPerfObject*> slot_objects_ GUARDED_BY(mu_);
};

#endif  // USERPOLICY_PERF_PERF_MON_MANAGER_H_
