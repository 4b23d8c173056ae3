// Hook of the wall clock of "platform/clock.h": the fake time that tests set
// through the fake clock of the test-support library (testing/fake_clock.h).
// Product code never writes it.
//
// While g_fake_ticks holds anything but kRealClock, _time64, GetSystemTime
// and GetSystemTimeAsFileTime report that time (FILETIME ticks) in every
// thread of the process. The clock functions read it with one relaxed load.
#ifndef USERPOLICY_PLATFORM_CLOCK_HOOK_H_
#define USERPOLICY_PLATFORM_CLOCK_HOOK_H_

#include <atomic>
#include <cstdint>

namespace platform::clock_hook {

inline constexpr int64_t kRealClock = INT64_MIN;
extern std::atomic<int64_t> g_fake_ticks;

}  // namespace platform::clock_hook

#endif  // USERPOLICY_PLATFORM_CLOCK_HOOK_H_
