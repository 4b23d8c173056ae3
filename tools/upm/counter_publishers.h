// Which processes publish performance counters, for `upm perf` without
// --pid. The C interface reads one process's counters (up_get_counters) but
// cannot list the processes that publish them, so upm looks for their
// shared-memory segments itself: "/dev/shm/userpolicy-perf-<pid>" on Linux.
//
// Thread safety: thread-safe.
#ifndef USERPOLICY_TOOLS_UPM_COUNTER_PUBLISHERS_H_
#define USERPOLICY_TOOLS_UPM_COUNTER_PUBLISHERS_H_

#include <string>
#include <vector>

namespace upm {

// The ids, ascending, of the running processes with a counter segment in
// `directory` (segments of processes that are gone are left out).
std::vector<int> LiveCounterPublishers(const std::string& directory = "/dev/shm");

// The process id a segment file name names ("userpolicy-perf-1234" gives
// 1234), or 0 when it is not such a name.
int PublisherOfSegmentName(const std::string& name);

}  // namespace upm

#endif  // USERPOLICY_TOOLS_UPM_COUNTER_PUBLISHERS_H_
