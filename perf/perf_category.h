// What the performance monitor needs to know about a kind of performance
// object: its category id, names and help texts, and where each counter sits
// in the object.
//
// The manager copies a definition into the header of its shared-memory
// segment (see "perf/perf_segment.h"), so that a reader in another process
// can name and interpret the counters without this code. Definitions are
// constant data with static storage; every member is safe to read from any
// thread.
#ifndef USERPOLICY_PERF_PERF_CATEGORY_H_
#define USERPOLICY_PERF_PERF_CATEGORY_H_

#include <cstdint>
#include <span>

#include "perf/perf_object.h"
#include "platform/types.h"

namespace perf {

// How a counter's value is stored and what it means. The numbers are part of
// the segment layout.
enum class CounterType : uint32_t {
  kCount = 1,         // unsigned 32-bit number of events
  kMilliseconds = 2,  // signed 64-bit sum of milliseconds
};

// Bytes a counter of `type` occupies in its object (4 or 8).
constexpr uint32_t CounterSize(CounterType type) {
  return type == CounterType::kCount ? sizeof(ULONG) : sizeof(LONGLONG);
}

struct CounterDefinition {
  uint32_t offset;  // byte offset of the value in the object
  CounterType type;
  const char* key;   // metric key: lower case, digits and '_' ("user_ds_access")
  const char* name;  // display name ("User DS Access")
  const char* help;  // one sentence
};

// A category without instances: a process has at most one object of it.
struct CategoryDefinition {
  DWORD id;
  const char* name;
  const char* help;
  uint32_t object_size;  // bytes of one object, header included
  std::span<const CounterDefinition> counters;
  // Starts the lifetime of a zeroed object of the category in `storage`
  // (object_size bytes, 8-byte aligned) and returns it.
  CPerfObject* (*construct)(void* storage);
};

}  // namespace perf

#endif  // USERPOLICY_PERF_PERF_CATEGORY_H_
