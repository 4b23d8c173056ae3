// `upm perf`'s forms of the sixteen performance counters (up_counters): a
// table, a table with the change per second since the previous sample
// (--watch), the Prometheus text exposition format (version 0.0.4) and a
// JSON document. Names, keys and help texts are the library's own
// (up_counter_info_at), in its order, so the Prometheus names are those of
// any other reader of the counters: "userpolicy_<key>_total" for counts,
// "userpolicy_<key>_milliseconds_total" for times, each with the label
// pid="<pid>"; the JSON keys are the up_counters members.
//
// Thread safety: every function is thread-safe.
#ifndef USERPOLICY_TOOLS_UPM_COUNTERS_FORMAT_H_
#define USERPOLICY_TOOLS_UPM_COUNTERS_FORMAT_H_

#include <cstdint>
#include <string>

#include "capi/userpolicy.h"

namespace upm {

// A title line, then per counter its display name and value.
std::string FormatCounterTable(int pid, const up_counters& counters);

// As FormatCounterTable with a "per second" column: the change from
// `previous` to `current`, taken `seconds` apart ("-" when seconds <= 0).
// Counts are 32-bit and wrap, so a count that went down wrapped; times are
// signed and may go down.
std::string FormatCounterWatch(int pid, const up_counters& previous, const up_counters& current, double seconds);

std::string FormatCounterPrometheus(int pid, const up_counters& counters);

// {"pid": N, "counters": {"total_ds_access": n, "total_ds_access_time_ms": n,
// ...}}, with `previous` (may be null) also "seconds" and "per_second"
// with the same keys. One line, no trailing newline.
std::string CountersJson(int pid, const up_counters& counters, const up_counters* previous, double seconds);

}  // namespace upm

#endif  // USERPOLICY_TOOLS_UPM_COUNTERS_FORMAT_H_
