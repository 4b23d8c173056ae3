// The module's performance object: sixteen counters about directory lookups,
// category 7.
//
// Lookups fall into four groups: all of them ("Total"), user identity
// lookups ("User"), primary-group lookups ("PGroup") and nested-group
// membership lookups ("NGroup"). Each group counts the lookups the directory
// answered ("DS") and those the cache answered ("Cache"), and sums the
// milliseconds each kind took. The guards of "perf/ds_access_guards.h"
// update the counters; nothing else should.
//
// Layout (144 bytes, little-endian; checked field by field below):
//
//   offset  size  field                       offset  size  field
//        0    20  CPerfObject header
//       20     4  m_nTotalDSAccess                24     8  m_nTotalDSAccessTime
//       32     4  m_nTotalCacheAccess             40     8  m_nTotalCacheAccessTime
//       48     4  m_nUserDSAccess                 56     8  m_nUserDSAccessTime
//       64     4  m_nUserCacheAccess              72     8  m_nUserCacheAccessTime
//       80     4  m_nPGroupDSAccess               88     8  m_nPGroupDSAccessTime
//       96     4  m_nPGroupCacheAccess           104     8  m_nPGroupCacheAccessTime
//      112     4  m_nNGroupDSAccess              120     8  m_nNGroupDSAccessTime
//      128     4  m_nNGroupCacheAccess           136     8  m_nNGroupCacheAccessTime
//
// Counts are unsigned 32-bit (they wrap), times signed 64-bit milliseconds.
// The 4 bytes after each count other than the first are padding, named
// below so that every compiler (also for 64-bit Windows) lays the object out
// the same way.
//
// Thread safety: counters are changed only by Interlocked operations and may
// be updated from any number of threads (and read by other processes) at
// once.
#ifndef USERPOLICY_PERF_DS_ACCESS_PERF_OBJECT_H_
#define USERPOLICY_PERF_DS_ACCESS_PERF_OBJECT_H_

#include <cstddef>

#include "perf/perf_category.h"
#include "perf/perf_object.h"
#include "platform/types.h"

class CDSAccessPerfObject : public CPerfObject {
 public:
  // The category of the object: a category without instances.
  static constexpr DWORD kCategoryId = 7;

  // Sets each of the sixteen counters to 0, in field order, each with one
  // atomic exchange. The header is left alone. Counters updated while the
  // reset runs may keep their update or lose it.
  void ResetCounters();

  // The category definition the manager registers for these objects.
  static const perf::CategoryDefinition& Category();

  ULONG m_nTotalDSAccess;
  LONGLONG m_nTotalDSAccessTime;
  ULONG m_nTotalCacheAccess;
  ULONG m_nReserved1;
  LONGLONG m_nTotalCacheAccessTime;

  ULONG m_nUserDSAccess;
  ULONG m_nReserved2;
  LONGLONG m_nUserDSAccessTime;
  ULONG m_nUserCacheAccess;
  ULONG m_nReserved3;
  LONGLONG m_nUserCacheAccessTime;

  ULONG m_nPGroupDSAccess;
  ULONG m_nReserved4;
  LONGLONG m_nPGroupDSAccessTime;
  ULONG m_nPGroupCacheAccess;
  ULONG m_nReserved5;
  LONGLONG m_nPGroupCacheAccessTime;

  ULONG m_nNGroupDSAccess;
  ULONG m_nReserved6;
  LONGLONG m_nNGroupDSAccessTime;
  ULONG m_nNGroupCacheAccess;
  ULONG m_nReserved7;
  LONGLONG m_nNGroupCacheAccessTime;
};

// The layout above, field by field. offsetof on a derived class is
// conditionally supported; GCC and Clang (all our compilers) support it and
// only warn that the standard does not promise it.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
static_assert(offsetof(CDSAccessPerfObject, m_nAllocSize) == 0);
static_assert(offsetof(CDSAccessPerfObject, m_dwCategoryId) == 4);
static_assert(offsetof(CDSAccessPerfObject, m_dwInstance) == 8);
static_assert(offsetof(CDSAccessPerfObject, m_nRefCount) == 12);
static_assert(offsetof(CDSAccessPerfObject, m_nInstanceNameOffset) == 16);
static_assert(offsetof(CDSAccessPerfObject, m_nTotalDSAccess) == 20);
static_assert(offsetof(CDSAccessPerfObject, m_nTotalDSAccessTime) == 24);
static_assert(offsetof(CDSAccessPerfObject, m_nTotalCacheAccess) == 32);
static_assert(offsetof(CDSAccessPerfObject, m_nReserved1) == 36);
static_assert(offsetof(CDSAccessPerfObject, m_nTotalCacheAccessTime) == 40);
static_assert(offsetof(CDSAccessPerfObject, m_nUserDSAccess) == 48);
static_assert(offsetof(CDSAccessPerfObject, m_nReserved2) == 52);
static_assert(offsetof(CDSAccessPerfObject, m_nUserDSAccessTime) == 56);
static_assert(offsetof(CDSAccessPerfObject, m_nUserCacheAccess) == 64);
static_assert(offsetof(CDSAccessPerfObject, m_nReserved3) == 68);
static_assert(offsetof(CDSAccessPerfObject, m_nUserCacheAccessTime) == 72);
static_assert(offsetof(CDSAccessPerfObject, m_nPGroupDSAccess) == 80);
static_assert(offsetof(CDSAccessPerfObject, m_nReserved4) == 84);
static_assert(offsetof(CDSAccessPerfObject, m_nPGroupDSAccessTime) == 88);
static_assert(offsetof(CDSAccessPerfObject, m_nPGroupCacheAccess) == 96);
static_assert(offsetof(CDSAccessPerfObject, m_nReserved5) == 100);
static_assert(offsetof(CDSAccessPerfObject, m_nPGroupCacheAccessTime) == 104);
static_assert(offsetof(CDSAccessPerfObject, m_nNGroupDSAccess) == 112);
static_assert(offsetof(CDSAccessPerfObject, m_nReserved6) == 116);
static_assert(offsetof(CDSAccessPerfObject, m_nNGroupDSAccessTime) == 120);
static_assert(offsetof(CDSAccessPerfObject, m_nNGroupCacheAccess) == 128);
static_assert(offsetof(CDSAccessPerfObject, m_nReserved7) == 132);
static_assert(offsetof(CDSAccessPerfObject, m_nNGroupCacheAccessTime) == 136);
#pragma GCC diagnostic pop
static_assert(sizeof(CDSAccessPerfObject) == 144, "the object is 144 bytes");
static_assert(alignof(CDSAccessPerfObject) == 8);
static_assert(sizeof(ULONG) == 4 && sizeof(LONGLONG) == 8);

namespace perf {

// A counter as the Interlocked functions take it. (Signed and unsigned
// variants of one integer type may alias.)
inline LONG volatile* InterlockedView(ULONG* counter) {
  return reinterpret_cast<LONG volatile*>(counter);
}
inline LONG64 volatile* InterlockedView(LONGLONG* counter) { return counter; }

}  // namespace perf

// The module's object, or null when there is none (the performance monitor
// is unavailable or the module has not started). Set and cleared by the
// module's start and stop, while no lookup runs; lookups only read it.
extern CDSAccessPerfObject* g_pDSAccessPerfObject;

#endif  // USERPOLICY_PERF_DS_ACCESS_PERF_OBJECT_H_
