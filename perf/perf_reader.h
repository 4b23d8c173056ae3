// Reads the counters another process publishes (see "perf/perf_segment.h")
// and formats them for people and for metrics collectors.
//
//   perf::CounterSample sample;
//   std::string error;
//   if (FAILED(perf::ReadCounters(pid, CDSAccessPerfObject::kCategoryId, &sample, &error)))
//     std::cerr << error << "\n";
//   else
//     std::cout << perf::FormatTable(sample);
//
// The reader maps the segment read-only, never changes it and trusts none of
// it: every size, offset and string is checked before use.
//
// Thread safety: every function is thread-safe.
#ifndef USERPOLICY_PERF_PERF_READER_H_
#define USERPOLICY_PERF_PERF_READER_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "perf/perf_category.h"
#include "platform/types.h"

namespace perf {

// Results of the read functions besides S_OK. A segment that does not exist
// gives platform::kSharedMemoryNotFound, one the reader may not open
// E_ACCESSDENIED.
inline constexpr HRESULT kSegmentInvalid = static_cast<HRESULT>(0x80040201u);
inline constexpr HRESULT kSegmentNotReady = static_cast<HRESULT>(0x80040202u);
inline constexpr HRESULT kCategoryNotPublished = static_cast<HRESULT>(0x80040203u);

struct CounterValue {
  std::string key;   // metric key; with `type` unique within the sample
  std::string name;  // display name
  std::string help;
  CounterType type = CounterType::kCount;
  // A kCount value is 0..4294967295 (and wraps), a kMilliseconds value any
  // signed 64-bit number.
  int64_t value = 0;
};

struct CounterSample {
  DWORD pid = 0;  // the publishing process, as its segment records it
  DWORD category_id = 0;
  std::string category_name;
  std::string category_help;
  std::vector<CounterValue> counters;  // in the order the segment lists them
};

// Reads the counters of category `category_id` that process `pid`
// publishes. Returns S_OK with *sample filled in, or a failure with *error
// set to one line for a person:
//   platform::kSharedMemoryNotFound  the process publishes nothing (no
//                                    segment: not running, or no counters)
//   E_ACCESSDENIED                   the segment may not be read
//   kSegmentNotReady                 the process is still setting it up
//   kSegmentInvalid                  not a segment this reader understands
//   kCategoryNotPublished            no live object of the category
HRESULT ReadCounters(DWORD pid, DWORD category_id, CounterSample* sample, std::string* error);

// As ReadCounters, for the segment named `segment_name`.
HRESULT ReadCountersFromSegment(const std::string& segment_name, DWORD category_id,
                                CounterSample* sample, std::string* error);

// As ReadCounters, for a copy or mapping of a segment: `size` bytes at
// `data` (8-byte aligned).
HRESULT ParseSegment(const void* data, size_t size, DWORD category_id, CounterSample* sample,
                     std::string* error);

// The ids of the processes that have a counter segment, ascending,
// including processes that are gone (see RemoveStaleSegments).
std::vector<DWORD> ListPublishingProcesses();

// Removes the counter segments of processes that no longer exist and
// returns how many it removed.
int RemoveStaleSegments();

// A table of the sample: a title line, then one line per counter with its
// display name and value.
std::string FormatTable(const CounterSample& sample);

// As FormatTable with a third column, the change per second from `previous`
// to `current`, taken `seconds` apart. Counts wrap at 2^32, so a count that
// went down wrapped; times may go down (a clock set back). A counter missing
// from `previous`, or seconds <= 0, shows "-".
std::string FormatWatch(const CounterSample& previous, const CounterSample& current,
                        double seconds);

// The sample in the Prometheus text exposition format (version 0.0.4): per
// counter a HELP line, a TYPE line (counter) and the value with a label
// pid="<pid>". Names are "userpolicy_<key>_total" for counts and
// "userpolicy_<key>_milliseconds_total" for times.
std::string FormatPrometheus(const CounterSample& sample);

}  // namespace perf

#endif  // USERPOLICY_PERF_PERF_READER_H_
