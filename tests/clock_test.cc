// Wall-clock functions: calendar conversions against known values, and the
// fake clock moving every reader consistently.
#include "platform/clock.h"

#include <gtest/gtest.h>

#include <time.h>

#include <cstdint>
#include <cstdlib>
#include <future>

#include "platform/clock_testing.h"
#include "platform/sync.h"

namespace {

using platform::testing::ScopedFakeClock;

constexpr int64_t kUnixEpochTicks = 116'444'736'000'000'000;
constexpr __time64_t kNov14Of2023 = 1'700'000'000;  // 2023-11-14T22:13:20Z, a Tuesday

int64_t Ticks(const FILETIME& ft) {
  return static_cast<int64_t>((static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
}

FILETIME FromTicks(uint64_t ticks) {
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFu);
  ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return ft;
}

SYSTEMTIME Date(WORD year, WORD month, WORD day, WORD hour = 0, WORD minute = 0, WORD second = 0,
                WORD millis = 0) {
  SYSTEMTIME st{};
  st.wYear = year;
  st.wMonth = month;
  st.wDay = day;
  st.wHour = hour;
  st.wMinute = minute;
  st.wSecond = second;
  st.wMilliseconds = millis;
  return st;
}

void ExpectSystemTime(const SYSTEMTIME& st, WORD year, WORD month, WORD day, WORD hour,
                      WORD minute, WORD second, WORD millis, WORD day_of_week) {
  EXPECT_EQ(st.wYear, year);
  EXPECT_EQ(st.wMonth, month);
  EXPECT_EQ(st.wDay, day);
  EXPECT_EQ(st.wHour, hour);
  EXPECT_EQ(st.wMinute, minute);
  EXPECT_EQ(st.wSecond, second);
  EXPECT_EQ(st.wMilliseconds, millis);
  EXPECT_EQ(st.wDayOfWeek, day_of_week);
}

TEST(Calendar, ConvertsKnownDatesBothWays) {
  struct Case {
    SYSTEMTIME date;
    int64_t ticks;
    WORD day_of_week;  // 0 = Sunday
  } const kCases[] = {
      {Date(1601, 1, 1), 0, 1},
      {Date(1970, 1, 1), kUnixEpochTicks, 4},
      {Date(2000, 2, 29, 12, 34, 56, 789), 125'963'012'967'890'000, 2},
      {Date(2023, 11, 14, 22, 13, 20), kUnixEpochTicks + kNov14Of2023 * 10'000'000, 2},
      {Date(9999, 12, 31, 23, 59, 59, 999), 2'650'467'743'999'990'000, 5},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(testing::Message() << c.date.wYear << "-" << c.date.wMonth << "-" << c.date.wDay);
    FILETIME ft{};
    ASSERT_TRUE(SystemTimeToFileTime(&c.date, &ft));
    EXPECT_EQ(Ticks(ft), c.ticks);
    SYSTEMTIME back{};
    ASSERT_TRUE(FileTimeToSystemTime(&ft, &back));
    ExpectSystemTime(back, c.date.wYear, c.date.wMonth, c.date.wDay, c.date.wHour,
                     c.date.wMinute, c.date.wSecond, c.date.wMilliseconds, c.day_of_week);
  }
  // Sub-millisecond ticks are dropped, not rounded.
  const FILETIME almost = FromTicks(kUnixEpochTicks + 9'999);
  SYSTEMTIME st{};
  ASSERT_TRUE(FileTimeToSystemTime(&almost, &st));
  ExpectSystemTime(st, 1970, 1, 1, 0, 0, 0, 0, 4);
}

TEST(Calendar, RejectsInvalidDates) {
  const SYSTEMTIME kInvalid[] = {
      Date(1600, 12, 31),  Date(30828, 1, 1),          Date(2023, 0, 1),
      Date(2023, 13, 1),   Date(2023, 4, 0),           Date(2023, 4, 31),
      Date(2023, 2, 29),   Date(1900, 2, 29),          Date(2023, 1, 1, 24),
      Date(2023, 1, 1, 0, 60), Date(2023, 1, 1, 0, 0, 60), Date(2023, 1, 1, 0, 0, 0, 1000),
  };
  for (const SYSTEMTIME& date : kInvalid) {
    SCOPED_TRACE(testing::Message() << date.wYear << "-" << date.wMonth << "-" << date.wDay << " "
                                    << date.wHour << ":" << date.wMinute << ":" << date.wSecond
                                    << "." << date.wMilliseconds);
    FILETIME ft = FromTicks(12345);
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(SystemTimeToFileTime(&date, &ft));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  }
  const SYSTEMTIME leap_day_2000 = Date(2000, 2, 29);
  const SYSTEMTIME last_day = Date(30827, 12, 31, 23, 59, 59, 999);
  FILETIME ft{};
  EXPECT_TRUE(SystemTimeToFileTime(&leap_day_2000, &ft));
  EXPECT_TRUE(SystemTimeToFileTime(&last_day, &ft));

  const FILETIME negative = FromTicks(uint64_t{1} << 63);
  SYSTEMTIME st{};
  EXPECT_FALSE(FileTimeToSystemTime(&negative, &st));
}

TEST(FakeClock, MovesEveryReaderConsistently) {
  ScopedFakeClock clock(kNov14Of2023);
  __time64_t stored = 0;
  EXPECT_EQ(_time64(&stored), kNov14Of2023);
  EXPECT_EQ(stored, kNov14Of2023);
  SYSTEMTIME st{};
  GetSystemTime(&st);
  ExpectSystemTime(st, 2023, 11, 14, 22, 13, 20, 0, 2);

  clock.AdvanceMillis(1'500);
  EXPECT_EQ(_time64(nullptr), kNov14Of2023 + 1);
  GetSystemTime(&st);
  ExpectSystemTime(st, 2023, 11, 14, 22, 13, 21, 500, 2);
  FILETIME ft{};
  GetSystemTimeAsFileTime(&ft);
  EXPECT_EQ(Ticks(ft), kUnixEpochTicks + kNov14Of2023 * 10'000'000 + 15'000'000);

  clock.Advance(-3 * 3600);  // backwards, across no date change
  EXPECT_EQ(_time64(nullptr), kNov14Of2023 + 1 - 3 * 3600);
  GetSystemTime(&st);
  ExpectSystemTime(st, 2023, 11, 14, 19, 13, 21, 500, 2);

  clock.Advance(2 * 3600);  // forwards across midnight: 2023-11-15, Wednesday
  clock.Advance(3 * 3600);
  GetSystemTime(&st);
  ExpectSystemTime(st, 2023, 11, 15, 0, 13, 21, 500, 3);

  clock.Set(0);
  EXPECT_EQ(_time64(nullptr), 0);
  clock.AdvanceMillis(-1);  // just before 1970: time rounds down
  EXPECT_EQ(_time64(nullptr), -1);
  GetSystemTime(&st);
  ExpectSystemTime(st, 1969, 12, 31, 23, 59, 59, 999, 3);
}

TEST(FakeClock, IsSeenByOtherThreadsAndRestoredWhenDestroyed) {
  {
    ScopedFakeClock outer(kNov14Of2023);
    auto other = std::async(std::launch::async, [] { return _time64(nullptr); });
    EXPECT_EQ(other.get(), kNov14Of2023);
    {
      ScopedFakeClock inner(100);
      EXPECT_EQ(_time64(nullptr), 100);
    }
    EXPECT_EQ(_time64(nullptr), kNov14Of2023);
  }
  // The real clock again.
  const __time64_t real = _time64(nullptr);
  EXPECT_LE(std::llabs(real - static_cast<__time64_t>(::time(nullptr))), 2);
  FILETIME ft{};
  GetSystemTimeAsFileTime(&ft);
  EXPECT_LE(std::llabs((Ticks(ft) - kUnixEpochTicks) / 10'000'000 - real), 2);
}

TEST(RealClock, GetSystemTimeHasMillisecondResolution) {
  // The three readers agree (within the time the test takes to call them).
  FILETIME before{}, after{};
  SYSTEMTIME st{};
  GetSystemTimeAsFileTime(&before);
  GetSystemTime(&st);
  GetSystemTimeAsFileTime(&after);
  FILETIME from_system{};
  ASSERT_TRUE(SystemTimeToFileTime(&st, &from_system));
  EXPECT_EQ(Ticks(from_system) % 10'000, 0);
  EXPECT_GE(Ticks(from_system), Ticks(before) - Ticks(before) % 10'000);
  EXPECT_LE(Ticks(from_system), Ticks(after));
}

}  // namespace
