// Guards that count and time one directory lookup into the module's
// performance object.
//
//   {
//     CDSTotalAccessCountGuard total_count(g_pDSAccessPerfObject);
//     CDSTotalAccessTimerGuard total_time(g_pDSAccessPerfObject);
//     CDSUserAccessCountGuard user_count(g_pDSAccessPerfObject);
//     CDSUserAccessTimerGuard user_time(g_pDSAccessPerfObject);
//     ... look the user up ...
//     const int outcome = from_cache ? kDSAccessFromCache : kDSAccessFromDirectory;
//     total_count.SetOutcome(outcome);   // and on the three others
//   }  // the counters change here
//
// Each of the four groups (Total, User, PGroup, NGroup) has a count guard
// and a timer guard; they differ only in the counters they touch, which are
// the group's "DS" counters for a lookup the directory answered and its
// "Cache" counters for one the cache answered.
//
// Count guard: on destruction adds 1 to the group's directory count when
// the outcome is kDSAccessFromDirectory, and to its cache count for any
// other outcome, including a lookup that never set one (an exception left
// the scope).
// Timer guard: reads the wall clock on construction and destruction
// (FILETIME ticks with whole milliseconds, see perf::SystemTimeClock) and
// adds the elapsed milliseconds, truncated toward zero, to the group's directory time for
// kDSAccessFromDirectory, to its cache time for kDSAccessFromCache, and
// nowhere when no outcome was set. A clock set back during the lookup adds a
// negative time.
//
// With a null object pointer a guard does nothing at all: no counter, no
// clock read. A guard costs no lock and no allocation: at most one
// Interlocked operation at destruction (none for a timer guard that measured
// 0 ms), and a timer guard two clock reads.
//
// Thread safety: a guard belongs to the thread that runs the lookup; any
// number of guards on any threads may update one object at once. The object
// must outlive the guard.
#ifndef USERPOLICY_PERF_DS_ACCESS_GUARDS_H_
#define USERPOLICY_PERF_DS_ACCESS_GUARDS_H_

#include "perf/ds_access_perf_object.h"
#include "platform/sync.h"
#include "platform/types.h"

// Outcomes of a lookup, for SetOutcome.
inline constexpr int kDSAccessNoOutcome = 0;
inline constexpr int kDSAccessFromDirectory = 1;
inline constexpr int kDSAccessFromCache = 2;

namespace perf {

// FILETIME ticks (100 ns) per millisecond.
inline constexpr LONGLONG kTicksPerMillisecond = 10'000;

// The clock of the timer guards: the current UTC time as the FILETIME that
// GetSystemTime followed by SystemTimeToFileTime gives, that is in 100 ns
// ticks but with whole milliseconds only. Read from the cheaper
// GetSystemTimeAsFileTime and cut to the millisecond, so that a lookup
// within one millisecond measures 0 and one that crosses a millisecond
// boundary measures 1, however short it is. Thread-safe.
struct SystemTimeClock {
  static LONGLONG NowTicks();
};

}  // namespace perf

template <ULONG CDSAccessPerfObject::*kDirectoryCount, ULONG CDSAccessPerfObject::*kCacheCount>
class CDSAccessCountGuard {
 public:
  // `object` may be null: the guard then does nothing.
  explicit CDSAccessCountGuard(CDSAccessPerfObject* object) : m_pPerfObject(object) {}
  CDSAccessCountGuard(const CDSAccessCountGuard&) = delete;
  CDSAccessCountGuard& operator=(const CDSAccessCountGuard&) = delete;

  ~CDSAccessCountGuard() {
    if (m_pPerfObject == nullptr) return;
    if (m_nOutcome == kDSAccessFromDirectory) {
      InterlockedIncrement(perf::InterlockedView(&(m_pPerfObject->*kDirectoryCount)));
    } else {
      m_nOutcome = kDSAccessFromCache;
      InterlockedIncrement(perf::InterlockedView(&(m_pPerfObject->*kCacheCount)));
    }
  }

  // kDSAccessFromDirectory or kDSAccessFromCache; the last call counts.
  void SetOutcome(int outcome) { m_nOutcome = outcome; }

 private:
  CDSAccessPerfObject* const m_pPerfObject;
  LONG m_nOutcome = kDSAccessNoOutcome;
};

template <LONGLONG CDSAccessPerfObject::*kDirectoryTime, LONGLONG CDSAccessPerfObject::*kCacheTime>
class CDSAccessTimerGuard {
 public:
  // Reads the clock unless `object` is null (the guard then does nothing).
  explicit CDSAccessTimerGuard(CDSAccessPerfObject* object)
      : m_pPerfObject(object), m_nStartTime(object != nullptr ? perf::SystemTimeClock::NowTicks() : 0) {}
  CDSAccessTimerGuard(const CDSAccessTimerGuard&) = delete;
  CDSAccessTimerGuard& operator=(const CDSAccessTimerGuard&) = delete;

  ~CDSAccessTimerGuard() {
    if (m_pPerfObject == nullptr) return;
    const LONGLONG elapsed_ms = (perf::SystemTimeClock::NowTicks() - m_nStartTime) / perf::kTicksPerMillisecond;
    // Most cache answers take under a millisecond; adding nothing needs no
    // atomic operation on the shared object.
    if (elapsed_ms == 0) return;
    if (m_nOutcome == kDSAccessFromDirectory) {
      InterlockedExchangeAdd64(perf::InterlockedView(&(m_pPerfObject->*kDirectoryTime)),
                               elapsed_ms);
    } else if (m_nOutcome == kDSAccessFromCache) {
      InterlockedExchangeAdd64(perf::InterlockedView(&(m_pPerfObject->*kCacheTime)), elapsed_ms);
    }
  }

  // kDSAccessFromDirectory or kDSAccessFromCache; the last call counts.
  void SetOutcome(int outcome) { m_nOutcome = outcome; }

 private:
  CDSAccessPerfObject* const m_pPerfObject;
  const LONGLONG m_nStartTime;
  LONG m_nOutcome = kDSAccessNoOutcome;
};

// The guards of the four groups.
using CDSTotalAccessCountGuard = CDSAccessCountGuard<&CDSAccessPerfObject::m_nTotalDSAccess,
                                                     &CDSAccessPerfObject::m_nTotalCacheAccess>;
using CDSTotalAccessTimerGuard = CDSAccessTimerGuard<&CDSAccessPerfObject::m_nTotalDSAccessTime,
                                                     &CDSAccessPerfObject::m_nTotalCacheAccessTime>;
using CDSUserAccessCountGuard = CDSAccessCountGuard<&CDSAccessPerfObject::m_nUserDSAccess,
                                                    &CDSAccessPerfObject::m_nUserCacheAccess>;
using CDSUserAccessTimerGuard = CDSAccessTimerGuard<&CDSAccessPerfObject::m_nUserDSAccessTime,
                                                    &CDSAccessPerfObject::m_nUserCacheAccessTime>;
using CDSPGroupAccessCountGuard = CDSAccessCountGuard<&CDSAccessPerfObject::m_nPGroupDSAccess,
                                                      &CDSAccessPerfObject::m_nPGroupCacheAccess>;
using CDSPGroupAccessTimerGuard =
    CDSAccessTimerGuard<&CDSAccessPerfObject::m_nPGroupDSAccessTime,
                        &CDSAccessPerfObject::m_nPGroupCacheAccessTime>;
using CDSNGroupAccessCountGuard = CDSAccessCountGuard<&CDSAccessPerfObject::m_nNGroupDSAccess,
                                                      &CDSAccessPerfObject::m_nNGroupCacheAccess>;
using CDSNGroupAccessTimerGuard =
    CDSAccessTimerGuard<&CDSAccessPerfObject::m_nNGroupDSAccessTime,
                        &CDSAccessPerfObject::m_nNGroupCacheAccessTime>;

#endif  // USERPOLICY_PERF_DS_ACCESS_GUARDS_H_
