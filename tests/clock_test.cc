// Wall-clock functions: calendar conversions against known values, the fake
// clock moving every reader consistently, and millisecond resolution.
#include "platform/clock.h"

#include <gtest/gtest.h>

#include <time.h>

#include <cstdint>
#include <cstdlib>
#include <future>
#include <tuple>

#include "testing/fake_clock.h"

namespace {

using platform::testing::ScopedFakeClock;

constexpr int64_t kUnixEpochTicks = 116'444'736'000'000'000;
constexpr __time64_t kNov14Of2023 = 1'700'000'000;  // 2023-11-14T22:13:20Z, a Tuesday

int64_t Ticks(const FILETIME& ft) {
  return static_cast<int64_t>((static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
}

FILETIME FromTicks(uint64_t ticks) {
  return FILETIME{static_cast<DWORD>(ticks & 0xFFFFFFFFu), static_cast<DWORD>(ticks >> 32)};
}

// A date; day_of_week (0 = Sunday) matters only when compared with Fields.
SYSTEMTIME Date(WORD year, WORD month, WORD day, WORD hour = 0, WORD minute = 0, WORD second = 0,
                WORD millis = 0, WORD day_of_week = 0) {
  return SYSTEMTIME{year, month, day_of_week, day, hour, minute, second, millis};
}

auto Fields(const SYSTEMTIME& st) {
  return std::make_tuple(st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond,
                         st.wMilliseconds, st.wDayOfWeek);
}

SYSTEMTIME Now() {
  SYSTEMTIME st{};
  GetSystemTime(&st);
  return st;
}

TEST(Calendar, ConvertsKnownDatesBothWays) {
  const struct {
    SYSTEMTIME date;
    int64_t ticks;
  } kCases[] = {
      {Date(1601, 1, 1, 0, 0, 0, 0, 1), 0},
      {Date(1970, 1, 1, 0, 0, 0, 0, 4), kUnixEpochTicks},
      {Date(2000, 2, 29, 12, 34, 56, 789, 2), 125'963'012'967'890'000},
      {Date(9999, 12, 31, 23, 59, 59, 999, 5), 2'650'467'743'999'990'000},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.date.wYear);
    FILETIME ft{};
    ASSERT_TRUE(SystemTimeToFileTime(&c.date, &ft));
    EXPECT_EQ(Ticks(ft), c.ticks);
    SYSTEMTIME back{};
    ASSERT_TRUE(FileTimeToSystemTime(&ft, &back));
    EXPECT_EQ(Fields(back), Fields(c.date));
  }
  const FILETIME almost = FromTicks(kUnixEpochTicks + 9'999);  // sub-millisecond ticks drop
  SYSTEMTIME st{};
  ASSERT_TRUE(FileTimeToSystemTime(&almost, &st));
  EXPECT_EQ(Fields(st), Fields(Date(1970, 1, 1, 0, 0, 0, 0, 4)));
  const FILETIME negative = FromTicks(uint64_t{1} << 63);
  EXPECT_FALSE(FileTimeToSystemTime(&negative, &st));
}

TEST(FakeClock, MovesEveryReaderInEveryThreadAndNests) {
  {
    ScopedFakeClock clock(kNov14Of2023);
    __time64_t stored = 0;
    EXPECT_EQ(_time64(&stored), kNov14Of2023);
    EXPECT_EQ(stored, kNov14Of2023);
    EXPECT_EQ(std::async(std::launch::async, [] { return _time64(nullptr); }).get(), kNov14Of2023);
    clock.AdvanceMillis(1'500);
    EXPECT_EQ(_time64(nullptr), kNov14Of2023 + 1);
    EXPECT_EQ(Fields(Now()), Fields(Date(2023, 11, 14, 22, 13, 21, 500, 2)));
    FILETIME ft{};
    GetSystemTimeAsFileTime(&ft);
    EXPECT_EQ(Ticks(ft), kUnixEpochTicks + kNov14Of2023 * 10'000'000 + 15'000'000);
    clock.Advance(-3 * 3600);  // backwards
    EXPECT_EQ(Fields(Now()), Fields(Date(2023, 11, 14, 19, 13, 21, 500, 2)));
    clock.Advance(5 * 3600);  // forwards across midnight: Wednesday
    EXPECT_EQ(Fields(Now()), Fields(Date(2023, 11, 15, 0, 13, 21, 500, 3)));
    {
      ScopedFakeClock inner(0);
      inner.AdvanceMillis(-1);  // just before 1970: time rounds down
      EXPECT_EQ(_time64(nullptr), -1);
      EXPECT_EQ(Fields(Now()), Fields(Date(1969, 12, 31, 23, 59, 59, 999, 3)));
    }
    EXPECT_EQ(Fields(Now()), Fields(Date(2023, 11, 15, 0, 13, 21, 500, 3)));
  }
  // The real clock again.
  const __time64_t real = _time64(nullptr);
  EXPECT_LE(std::llabs(real - static_cast<__time64_t>(::time(nullptr))), 2);
}

TEST(RealClock, ReadersAgreeWithMillisecondResolution) {
  FILETIME before{}, after{}, from_system{};
  GetSystemTimeAsFileTime(&before);
  const SYSTEMTIME st = Now();
  GetSystemTimeAsFileTime(&after);
  ASSERT_TRUE(SystemTimeToFileTime(&st, &from_system));
  EXPECT_EQ(Ticks(from_system) % 10'000, 0);
  EXPECT_GE(Ticks(from_system), Ticks(before) - Ticks(before) % 10'000);
  EXPECT_LE(Ticks(from_system), Ticks(after));
  EXPECT_LE(std::llabs((Ticks(after) - kUnixEpochTicks) / 10'000'000 - _time64(nullptr)), 2);
}

}  // namespace
