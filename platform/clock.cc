// The fake-clock seam, shared by every system's clock implementation.
#include "platform/clock.h"

#include "platform/clock_testing.h"

namespace platform {
namespace clock_internal {

std::atomic<int64_t> g_fake_ticks{kRealClock};

}  // namespace clock_internal

namespace testing {
namespace {

// FILETIME ticks at 1970-01-01 00:00:00 UTC.
constexpr int64_t kUnixEpochTicks = 116'444'736'000'000'000;

int64_t CurrentTicks() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return static_cast<int64_t>((static_cast<uint64_t>(now.dwHighDateTime) << 32) |
                              now.dwLowDateTime);
}

void Store(int64_t ticks) {
  clock_internal::g_fake_ticks.store(ticks, std::memory_order_relaxed);
}

}  // namespace

ScopedFakeClock::ScopedFakeClock() : previous_(clock_internal::g_fake_ticks.load()) {
  Store(CurrentTicks());
}

ScopedFakeClock::ScopedFakeClock(__time64_t unix_seconds)
    : previous_(clock_internal::g_fake_ticks.load()) {
  Set(unix_seconds);
}

ScopedFakeClock::~ScopedFakeClock() { Store(previous_); }

void ScopedFakeClock::Set(__time64_t unix_seconds) {
  Store(kUnixEpochTicks + unix_seconds * kTicksPerSecond);
}

void ScopedFakeClock::Advance(int64_t seconds) {
  clock_internal::g_fake_ticks.fetch_add(seconds * kTicksPerSecond, std::memory_order_relaxed);
}

void ScopedFakeClock::AdvanceMillis(int64_t milliseconds) {
  clock_internal::g_fake_ticks.fetch_add(milliseconds * kTicksPerMillisecond,
                                         std::memory_order_relaxed);
}

int64_t ScopedFakeClock::NowTicks() const {
  return clock_internal::g_fake_ticks.load(std::memory_order_relaxed);
}

__time64_t ScopedFakeClock::NowUnixSeconds() const {
  const int64_t since_epoch = NowTicks() - kUnixEpochTicks;
  // Rounds towards minus infinity, also before 1970.
  int64_t seconds = since_epoch / kTicksPerSecond;
  if (since_epoch % kTicksPerSecond < 0) --seconds;
  return seconds;
}

}  // namespace testing
}  // namespace platform
