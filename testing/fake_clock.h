// A fake wall clock for tests, over the hook of "platform/clock_hook.h".
//
//   platform::testing::ScopedFakeClock clock(1700000000);  // unix seconds
//   cache.Insert(...);
//   clock.Advance(121);          // no sleeping: expiry is immediate
//   EXPECT_FALSE(cache.Lookup(...));
//
// While a ScopedFakeClock is alive, _time64, GetSystemTime and
// GetSystemTimeAsFileTime report the fake time in every thread of the
// process; it moves only when the test moves it (forwards or backwards).
// Destroying it restores the clock that was in effect when it was created,
// so instances nest. Create and destroy it on one thread; Set/Advance may be
// called from any thread.
#ifndef USERPOLICY_TESTING_FAKE_CLOCK_H_
#define USERPOLICY_TESTING_FAKE_CLOCK_H_

#include <cstdint>

#include "platform/types.h"

namespace platform::testing {

class ScopedFakeClock {
 public:
  // FILETIME ticks per second and per millisecond.
  static constexpr int64_t kTicksPerSecond = 10'000'000;
  static constexpr int64_t kTicksPerMillisecond = 10'000;

  // Starts at the current time (the enclosing fake clock's, if any).
  ScopedFakeClock();
  // Starts at `unix_seconds` (seconds since 1970-01-01 UTC; may be negative).
  explicit ScopedFakeClock(__time64_t unix_seconds);
  ~ScopedFakeClock();
  ScopedFakeClock(const ScopedFakeClock&) = delete;
  ScopedFakeClock& operator=(const ScopedFakeClock&) = delete;

  // Sets the time to `unix_seconds` exactly (zero milliseconds).
  void Set(__time64_t unix_seconds);
  // Moves the time by `seconds` / `milliseconds` / FILETIME `ticks`
  // (100 ns); negative values go back.
  void Advance(int64_t seconds);
  void AdvanceMillis(int64_t milliseconds);
  void AdvanceTicks(int64_t ticks);

  // The fake time as FILETIME ticks and as unix seconds (rounded down).
  int64_t NowTicks() const;
  __time64_t NowUnixSeconds() const;

 private:
  const int64_t previous_;
};

}  // namespace platform::testing

#endif  // USERPOLICY_TESTING_FAKE_CLOCK_H_
