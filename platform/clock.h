// Wall-clock time under the Windows names:
//
//   __time64_t _time64(__time64_t* out);         seconds since 1970-01-01 UTC
//   void GetSystemTime(LPSYSTEMTIME out);         UTC, millisecond fields
//   void GetSystemTimeAsFileTime(LPFILETIME out); 100 ns ticks since
//                                                 1601-01-01 UTC
//   BOOL SystemTimeToFileTime(const SYSTEMTIME*, LPFILETIME);
//   BOOL FileTimeToSystemTime(const FILETIME*, LPSYSTEMTIME);
//
// As on Windows, GetSystemTime and GetSystemTimeAsFileTime read the clock the
// system updates at its timer tick: both advance in steps of a few
// milliseconds (the tick, 1-4 ms on Linux, about 15.6 ms by default on
// Windows), never backwards unless the clock is set, and cost a few
// nanoseconds. All are thread-safe. SystemTimeToFileTime returns FALSE (GetLastError() ==
// ERROR_INVALID_PARAMETER) for a date Windows rejects: year outside
// 1601..30827, month outside 1..12, a day the month does not have, hour > 23,
// minute or second > 59, milliseconds > 999; wDayOfWeek is ignored.
// FileTimeToSystemTime returns FALSE for values above 0x7FFFFFFFFFFFFFFF and
// fills in wDayOfWeek (0 = Sunday).
//
// Tests move the clock through the hook of "platform/clock_hook.h" (the
// test-support library's fake clock sets it): while a fake time is set,
// _time64, GetSystemTime and GetSystemTimeAsFileTime report it. Outside
// tests the hook costs one relaxed atomic load per call.
//
// On Windows the conversions are the real ones from <windows.h>; the three
// clock readers are routed through the seam by the function-like macros
// below, so code above the platform layer calls `_time64(nullptr)` and
// `GetSystemTime(&st)` unchanged on both systems. The seam functions
// (platform/win/clock_win.cc) check the fake clock and otherwise call the
// real functions as `(::GetSystemTime)(st)`.
#ifndef USERPOLICY_PLATFORM_CLOCK_H_
#define USERPOLICY_PLATFORM_CLOCK_H_

#include "platform/types.h"

#if defined(_WIN32)
#include <time.h>
#include <windows.h>

namespace platform::clock_seam {
__time64_t Time64(__time64_t* out);
void SystemTime(LPSYSTEMTIME out);
void SystemTimeAsFileTime(LPFILETIME out);
}  // namespace platform::clock_seam

#define _time64(out) ::platform::clock_seam::Time64(out)
#define GetSystemTime(out) ::platform::clock_seam::SystemTime(out)
#define GetSystemTimeAsFileTime(out) ::platform::clock_seam::SystemTimeAsFileTime(out)

#else

__time64_t _time64(__time64_t* out);
void GetSystemTime(LPSYSTEMTIME out);
void GetSystemTimeAsFileTime(LPFILETIME out);
BOOL SystemTimeToFileTime(const SYSTEMTIME* system_time, LPFILETIME file_time);
BOOL FileTimeToSystemTime(const FILETIME* file_time, LPSYSTEMTIME system_time);

#endif

#endif  // USERPOLICY_PLATFORM_CLOCK_H_
