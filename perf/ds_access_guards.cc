#include "perf/ds_access_guards.h"

#include "platform/clock.h"

namespace perf {

LONGLONG SystemTimeClock::NowTicks() {
  FILETIME ticks{0, 0};
  GetSystemTimeAsFileTime(&ticks);
  const auto now = static_cast<LONGLONG>((static_cast<ULONGLONG>(ticks.dwHighDateTime) << 32) |
                                         ticks.dwLowDateTime);
  return now - now % kTicksPerMillisecond;
}

}  // namespace perf
