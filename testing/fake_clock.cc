#include "testing/fake_clock.h"

#include "platform/clock.h"
#include "platform/clock_hook.h"

namespace platform::testing {
namespace {

// FILETIME ticks at 1970-01-01 00:00:00 UTC.
constexpr int64_t kUnixEpochTicks = 116'444'736'000'000'000;

std::atomic<int64_t>& FakeTicks() { return clock_hook::g_fake_ticks; }

int64_t CurrentTicks() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return static_cast<int64_t>((static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
}

void Store(int64_t ticks) { FakeTicks().store(ticks, std::memory_order_relaxed); }

}  // namespace

ScopedFakeClock::ScopedFakeClock() : previous_(FakeTicks().load()) { Store(CurrentTicks()); }

ScopedFakeClock::ScopedFakeClock(__time64_t unix_seconds) : previous_(FakeTicks().load()) { Set(unix_seconds); }

ScopedFakeClock::~ScopedFakeClock() { Store(previous_); }

void ScopedFakeClock::Set(__time64_t unix_seconds) { Store(kUnixEpochTicks + unix_seconds * kTicksPerSecond); }

void ScopedFakeClock::Advance(int64_t seconds) {
  FakeTicks().fetch_add(seconds * kTicksPerSecond, std::memory_order_relaxed);
}

void ScopedFakeClock::AdvanceMillis(int64_t milliseconds) {
  FakeTicks().fetch_add(milliseconds * kTicksPerMillisecond, std::memory_order_relaxed);
}

void ScopedFakeClock::AdvanceTicks(int64_t ticks) { FakeTicks().fetch_add(ticks, std::memory_order_relaxed); }

int64_t ScopedFakeClock::NowTicks() const { return FakeTicks().load(std::memory_order_relaxed); }

__time64_t ScopedFakeClock::NowUnixSeconds() const {
  const int64_t since_epoch = NowTicks() - kUnixEpochTicks;
  // Rounds towards minus infinity, also before 1970.
  int64_t seconds = since_epoch / kTicksPerSecond;
  if (since_epoch % kTicksPerSecond < 0) --seconds;
  return seconds;
}

}  // namespace platform::testing
