#include "perf/ds_access_guards.h"

#include "platform/clock.h"

namespace perf {

LONGLONG SystemTimeClock::NowTicks() {
  SYSTEMTIME now;
  GetSystemTime(&now);
  FILETIME ticks{0, 0};
  // Cannot fail for a time GetSystemTime produced.
  SystemTimeToFileTime(&now, &ticks);
  return static_cast<LONGLONG>((static_cast<ULONGLONG>(ticks.dwHighDateTime) << 32) |
                               ticks.dwLowDateTime);
}

}  // namespace perf
