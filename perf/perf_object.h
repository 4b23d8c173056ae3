// The header every performance object starts with.
//
// A performance object is a block of counters that the module updates and
// the performance monitor reads. The monitor's manager (CQuarnPerfMonManager,
// "perf/perf_mon_manager.h") allocates objects and fills in this header; code
// that updates counters never touches it. Concrete objects derive from
// CPerfObject and append their counters (see CDSAccessPerfObject).
//
// The header is 20 bytes of 32-bit little-endian fields, so that the first
// counter of a derived object starts at offset 20:
//
//   offset  size  field
//        0     4  m_nAllocSize         bytes of the allocation (object + name)
//        4     4  m_dwCategoryId       category the object belongs to
//        8     4  m_dwInstance         instance number (0 for a category
//                                      without instances)
//       12     4  m_nRefCount          CreateInstance calls not yet released
//       16     4  m_nInstanceNameOffset offset of the instance name from the
//                                      object start, 0 when there is none
//
// Objects live in memory another process maps, so they hold no pointers and
// no virtual functions.
#ifndef USERPOLICY_PERF_PERF_OBJECT_H_
#define USERPOLICY_PERF_PERF_OBJECT_H_

#include <cstddef>

#include "platform/types.h"

class CPerfObject {
 public:
  ULONG m_nAllocSize;
  DWORD m_dwCategoryId;
  DWORD m_dwInstance;
  ULONG m_nRefCount;
  ULONG m_nInstanceNameOffset;
};

static_assert(sizeof(CPerfObject) == 20, "the object header is 20 bytes");
static_assert(alignof(CPerfObject) == 4, "the header holds only 32-bit fields");
static_assert(offsetof(CPerfObject, m_nAllocSize) == 0);
static_assert(offsetof(CPerfObject, m_dwCategoryId) == 4);
static_assert(offsetof(CPerfObject, m_dwInstance) == 8);
static_assert(offsetof(CPerfObject, m_nRefCount) == 12);
static_assert(offsetof(CPerfObject, m_nInstanceNameOffset) == 16);

#endif  // USERPOLICY_PERF_PERF_OBJECT_H_
