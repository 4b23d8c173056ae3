// The clock seam of "platform/clock.h" on Windows: the fake time of
// "platform/clock_hook.h" while a test sets one, else the system's own
// functions, called by their parenthesised names so that the macros of
// clock.h do not apply.
#include <cstdint>

#include "platform/clock.h"
#include "platform/clock_hook.h"

namespace platform::clock_seam {
namespace {

constexpr int64_t kTicksPerSecond = 10'000'000;
// FILETIME ticks at 1970-01-01 00:00:00 UTC.
constexpr int64_t kUnixEpochTicks = 116'444'736'000'000'000;

FILETIME ToFileTime(int64_t ticks) {
  FILETIME out;
  out.dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks) & 0xFFFFFFFFu);
  out.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks) >> 32);
  return out;
}

int64_t FakeTicks() { return clock_hook::g_fake_ticks.load(std::memory_order_relaxed); }

}  // namespace

__time64_t Time64(__time64_t* out) {
  const int64_t fake = FakeTicks();
  if (fake == clock_hook::kRealClock) return (::_time64)(out);
  const int64_t since_epoch = fake - kUnixEpochTicks;
  const __time64_t now = since_epoch / kTicksPerSecond - (since_epoch % kTicksPerSecond < 0 ? 1 : 0);
  if (out != nullptr) *out = now;
  return now;
}

void SystemTime(LPSYSTEMTIME out) {
  const int64_t fake = FakeTicks();
  if (fake == clock_hook::kRealClock) {
    (::GetSystemTime)(out);
    return;
  }
  // A fake time before 1601 cannot be expressed; it reads as 1601-01-01.
  const FILETIME file_time = ToFileTime(fake < 0 ? 0 : fake);
  (::FileTimeToSystemTime)(&file_time, out);
}

void SystemTimeAsFileTime(LPFILETIME out) {
  const int64_t fake = FakeTicks();
  if (fake == clock_hook::kRealClock) {
    (::GetSystemTimeAsFileTime)(out);
    return;
  }
  *out = ToFileTime(fake);
}

}  // namespace platform::clock_seam
