// Windows wall-clock functions on clock_gettime, with the test seam of
// "platform/clock_hook.h".
#include <time.h>

#include <cstdint>

#include "platform/clock.h"
#include "platform/clock_hook.h"
#include "platform/sync.h"

namespace {

constexpr int64_t kTicksPerMillisecond = 10'000;
constexpr int64_t kTicksPerSecond = 10'000'000;
constexpr int64_t kNanosecondsPerTick = 100;
constexpr int64_t kMillisecondsPerDay = 86'400'000;
constexpr int64_t kSecondsPerDay = 86'400;
// FILETIME ticks at 1970-01-01 00:00:00 UTC, and days from 1601-01-01 to it.
constexpr int64_t kUnixEpochTicks = 116'444'736'000'000'000;
constexpr int64_t kDaysFrom1601To1970 = 134'774;
// 1601-01-01 was a Monday; day 0 of the week is Sunday.
constexpr int64_t kWeekdayOf1601 = 1;
constexpr int kMinYear = 1601;
constexpr int kMaxYear = 30827;

// Days from 1970-01-01 to the given date of the proleptic Gregorian calendar
// (H. Hinnant's algorithm).
int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day) {
  year -= month <= 2;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const unsigned year_of_era = static_cast<unsigned>(year - era * 400);
  const unsigned day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + static_cast<int64_t>(day_of_era) - 719468;
}

// The inverse of DaysFromCivil.
void CivilFromDays(int64_t days, int64_t* year, unsigned* month, unsigned* day) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const unsigned day_of_era = static_cast<unsigned>(days - era * 146097);
  const unsigned year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const unsigned day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const unsigned mp = (5 * day_of_year + 2) / 153;
  *day = day_of_year - (153 * mp + 2) / 5 + 1;
  *month = mp < 10 ? mp + 3 : mp - 9;
  *year = static_cast<int64_t>(year_of_era) + era * 400 + (*month <= 2);
}

bool IsLeapYear(unsigned year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

unsigned DaysInMonth(unsigned year, unsigned month) {
  static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// The current time in FILETIME ticks, fake or real.
int64_t NowTicks() {
  const int64_t fake = platform::clock_hook::g_fake_ticks.load(std::memory_order_relaxed);
  if (fake != platform::clock_hook::kRealClock) return fake;
  // The clock as of the last timer tick: what Windows reports too, and a
  // fraction of the cost of the precise clock.
  timespec now;
  clock_gettime(CLOCK_REALTIME_COARSE, &now);
  return kUnixEpochTicks + now.tv_sec * kTicksPerSecond + now.tv_nsec / kNanosecondsPerTick;
}

// REQUIRES: ticks >= 0.
void TicksToSystemTime(int64_t ticks, SYSTEMTIME* out) {
  const int64_t milliseconds = ticks / kTicksPerMillisecond;
  const int64_t days = milliseconds / kMillisecondsPerDay;
  int64_t of_day = milliseconds % kMillisecondsPerDay;
  int64_t year;
  unsigned month, day;
  CivilFromDays(days - kDaysFrom1601To1970, &year, &month, &day);
  out->wYear = static_cast<WORD>(year);
  out->wMonth = static_cast<WORD>(month);
  out->wDay = static_cast<WORD>(day);
  out->wDayOfWeek = static_cast<WORD>((days + kWeekdayOf1601) % 7);
  out->wMilliseconds = static_cast<WORD>(of_day % 1000);
  of_day /= 1000;
  out->wSecond = static_cast<WORD>(of_day % 60);
  of_day /= 60;
  out->wMinute = static_cast<WORD>(of_day % 60);
  out->wHour = static_cast<WORD>(of_day / 60);
}

void StoreTicks(int64_t ticks, FILETIME* out) {
  out->dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks) & 0xFFFFFFFFu);
  out->dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks) >> 32);
}

}  // namespace

__time64_t _time64(__time64_t* out) {
  const int64_t fake = platform::clock_hook::g_fake_ticks.load(std::memory_order_relaxed);
  __time64_t now;
  if (fake == platform::clock_hook::kRealClock) {
    now = time(nullptr);
  } else {
    const int64_t since_epoch = fake - kUnixEpochTicks;
    now = since_epoch / kTicksPerSecond - (since_epoch % kTicksPerSecond < 0 ? 1 : 0);
  }
  if (out != nullptr) *out = now;
  return now;
}

void GetSystemTime(LPSYSTEMTIME out) {
  // A fake time before 1601 cannot be expressed; it reads as 1601-01-01.
  const int64_t ticks = NowTicks();
  TicksToSystemTime(ticks < 0 ? 0 : ticks, out);
}

void GetSystemTimeAsFileTime(LPFILETIME out) { StoreTicks(NowTicks(), out); }

BOOL SystemTimeToFileTime(const SYSTEMTIME* in, LPFILETIME out) {
  if (in == nullptr || out == nullptr || in->wYear < kMinYear || in->wYear > kMaxYear ||
      in->wMonth < 1 || in->wMonth > 12 || in->wDay < 1 ||
      in->wDay > DaysInMonth(in->wYear, in->wMonth) || in->wHour > 23 || in->wMinute > 59 ||
      in->wSecond > 59 || in->wMilliseconds > 999) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const int64_t days = DaysFromCivil(in->wYear, in->wMonth, in->wDay) + kDaysFrom1601To1970;
  const int64_t seconds =
      days * kSecondsPerDay + in->wHour * 3600 + in->wMinute * 60 + in->wSecond;
  StoreTicks(seconds * kTicksPerSecond + in->wMilliseconds * kTicksPerMillisecond, out);
  return TRUE;
}

BOOL FileTimeToSystemTime(const FILETIME* in, LPSYSTEMTIME out) {
  if (in == nullptr || out == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const uint64_t ticks = (static_cast<uint64_t>(in->dwHighDateTime) << 32) | in->dwLowDateTime;
  if (ticks > static_cast<uint64_t>(INT64_MAX)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  TicksToSystemTime(static_cast<int64_t>(ticks), out);
  return TRUE;
}
