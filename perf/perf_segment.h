// The layout of a process's counter segment: the shared memory through which
// the module publishes its performance objects to readers in other processes
// (the performance monitor, `upm perf`, a metrics exporter).
//
// Each process that publishes counters owns one segment, named
// "userpolicy-perf-<pid>" (on Linux the POSIX shared-memory object
// /dev/shm/userpolicy-perf-<pid>), created at its first CreateInstance and
// removed when the manager goes away at process exit. Readers map it
// read-only. A segment whose process is gone is stale and may be removed by
// anyone allowed to.
//
// Version 1 layout. All integers are little-endian; offsets are bytes from
// the start of the segment; strings are UTF-8, NUL-terminated, in fixed
// arrays.
//
//   SegmentHeader                    at 0, 64 bytes
//     0  u64 magic        "UPOLPERF" (bytes 55 50 4F 4C 50 45 52 46); stored
//                         last, so a reader that sees it sees the rest
//     8  u32 version      1
//    12  u32 header_size  64
//    16  u64 segment_size bytes of the whole segment
//    24  u32 owner_pid    the publishing process
//    28  u32 category_count, 32 u32 category_offset, 36 u32 category_size
//    40  u32 slot_count,     44 u32 slot_offset,     48 u32 slot_size
//    52  u32 created_low, 56 u32 created_high: the creation time as a
//                         FILETIME (100 ns ticks since 1601-01-01 UTC)
//    60  u32 reserved
//   CategoryRecord[category_count]   at category_offset, category_size each
//     0  u32 id  4 u32 flags (1: without instances)  8 u32 counter_count
//    12  u32 object_size  16 char name[64]  80 char help[176]
//   256  CounterRecord counters[16], 320 bytes each:
//          0 u32 offset (in the object)  4 u32 size (4 or 8)
//          8 u32 type (1 count: unsigned 32-bit; 2 milliseconds: signed
//            64-bit)  12 u32 reserved  16 char key[48]  64 char name[80]
//        144 char help[176]
//        A counter is identified by its key and type together: the count
//        and the time of one kind of lookup share a key.
//   SlotRecord[slot_count]           at slot_offset, slot_size each
//     0  u32 state (0 free, 1 in use; stored after the object is complete)
//     4  u32 reserved
//     8  the object (up to 144 bytes): the 20-byte header of
//        "perf/perf_object.h" followed by the counters
//
// Counters change while readers read: read each with one naturally aligned
// load. The manager serialises allocation in its own process; readers never
// write.
#ifndef USERPOLICY_PERF_PERF_SEGMENT_H_
#define USERPOLICY_PERF_PERF_SEGMENT_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/types.h"

namespace perf {

inline constexpr uint64_t kSegmentMagic = 0x46524550'4C4F5055ull;  // "UPOLPERF"
inline constexpr uint32_t kSegmentVersion = 1;
inline constexpr char kSegmentNamePrefix[] = "userpolicy-perf-";

inline constexpr uint32_t kCategoryWithoutInstances = 1;
inline constexpr uint32_t kSlotFree = 0;
inline constexpr uint32_t kSlotInUse = 1;

inline constexpr size_t kMaxCountersPerCategory = 16;
inline constexpr size_t kMaxObjectSize = 144;
inline constexpr size_t kCategoryNameSize = 64;
inline constexpr size_t kHelpSize = 176;
inline constexpr size_t kCounterKeySize = 48;
inline constexpr size_t kCounterNameSize = 80;

struct SegmentHeader {
  uint64_t magic;
  uint32_t version;
  uint32_t header_size;
  uint64_t segment_size;
  uint32_t owner_pid;
  uint32_t category_count;
  uint32_t category_offset;
  uint32_t category_size;
  uint32_t slot_count;
  uint32_t slot_offset;
  uint32_t slot_size;
  uint32_t created_low;  // FILETIME halves: a u64 at 52 would not be aligned
  uint32_t created_high;
  uint32_t reserved;
};

struct CounterRecord {
  uint32_t offset;
  uint32_t size;
  uint32_t type;
  uint32_t reserved;
  char key[kCounterKeySize];
  char name[kCounterNameSize];
  char help[kHelpSize];
};

struct CategoryRecord {
  uint32_t id;
  uint32_t flags;
  uint32_t counter_count;
  uint32_t object_size;
  char name[kCategoryNameSize];
  char help[kHelpSize];
  CounterRecord counters[kMaxCountersPerCategory];
};

struct SlotRecord {
  uint32_t state;
  uint32_t reserved;
  alignas(8) unsigned char object[kMaxObjectSize];
};

static_assert(sizeof(SegmentHeader) == 64);
static_assert(offsetof(SegmentHeader, segment_size) == 16);
static_assert(offsetof(SegmentHeader, owner_pid) == 24);
static_assert(offsetof(SegmentHeader, slot_count) == 40);
static_assert(offsetof(SegmentHeader, created_low) == 52);
static_assert(sizeof(CounterRecord) == 320);
static_assert(offsetof(CounterRecord, key) == 16);
static_assert(offsetof(CounterRecord, name) == 64);
static_assert(offsetof(CounterRecord, help) == 144);
static_assert(offsetof(CategoryRecord, name) == 16);
static_assert(offsetof(CategoryRecord, help) == 80);
static_assert(offsetof(CategoryRecord, counters) == 256);
static_assert(sizeof(CategoryRecord) == 256 + 16 * 320);
static_assert(offsetof(SlotRecord, object) == 8);
static_assert(sizeof(SlotRecord) == 152);

// The segment name of process `pid`: "userpolicy-perf-<pid>".
std::string SegmentNameForProcess(DWORD pid);

// The process id in a segment name, or false for a name of another form.
bool ProcessOfSegmentName(const std::string& name, DWORD* pid);

// One load of a value another process may be changing.
template <class T>
T LoadShared(const T* value) {
  return __atomic_load_n(value, __ATOMIC_ACQUIRE);
}

}  // namespace perf

#endif  // USERPOLICY_PERF_PERF_SEGMENT_H_
