// The performance object's byte layout, its reset, and the guards that count
// and time lookups into it.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "perf/ds_access_guards.h"
#include "perf/ds_access_perf_object.h"
#include "platform/clock_testing.h"

namespace {

// The object as the bytes another process sees.
std::array<unsigned char, 144> Bytes(const CDSAccessPerfObject& object) {
  std::array<unsigned char, 144> bytes;
  std::memcpy(bytes.data(), &object, bytes.size());
  return bytes;
}

uint64_t LittleEndianAt(const std::array<unsigned char, 144>& bytes, size_t offset, size_t size) {
  uint64_t value = 0;
  for (size_t i = 0; i < size; ++i) value |= uint64_t{bytes[offset + i]} << (8 * i);
  return value;
}

// Every field of the object with the offset and size readers rely on.
struct Field {
  const char* name;
  size_t offset;
  size_t size;
  std::function<void(CDSAccessPerfObject&, uint64_t)> set;
};

template <auto kMember>
Field MakeField(const char* name, size_t offset) {
  using Value = std::remove_reference_t<decltype(std::declval<CDSAccessPerfObject&>().*kMember)>;
  return {name, offset, sizeof(Value),
          [](CDSAccessPerfObject& o, uint64_t v) { o.*kMember = static_cast<Value>(v); }};
}
#define FIELD(member, offset) MakeField<&CDSAccessPerfObject::member>(#member, offset)

const std::vector<Field>& Fields() {
  static const std::vector<Field> fields = {
      FIELD(m_nAllocSize, 0),
      FIELD(m_dwCategoryId, 4),
      FIELD(m_dwInstance, 8),
      FIELD(m_nRefCount, 12),
      FIELD(m_nInstanceNameOffset, 16),
      FIELD(m_nTotalDSAccess, 20),
      FIELD(m_nTotalDSAccessTime, 24),
      FIELD(m_nTotalCacheAccess, 32),
      FIELD(m_nTotalCacheAccessTime, 40),
      FIELD(m_nUserDSAccess, 48),
      FIELD(m_nUserDSAccessTime, 56),
      FIELD(m_nUserCacheAccess, 64),
      FIELD(m_nUserCacheAccessTime, 72),
      FIELD(m_nPGroupDSAccess, 80),
      FIELD(m_nPGroupDSAccessTime, 88),
      FIELD(m_nPGroupCacheAccess, 96),
      FIELD(m_nPGroupCacheAccessTime, 104),
      FIELD(m_nNGroupDSAccess, 112),
      FIELD(m_nNGroupDSAccessTime, 120),
      FIELD(m_nNGroupCacheAccess, 128),
      FIELD(m_nNGroupCacheAccessTime, 136),
  };
  return fields;
}
#undef FIELD

constexpr size_t kHeaderFields = 5;

TEST(PerfObjectLayout, EachFieldOccupiesExactlyItsLittleEndianBytes) {
  for (const Field& field : Fields()) {
    SCOPED_TRACE(field.name);
    CDSAccessPerfObject object{};
    // Distinct non-zero bytes, so a shifted or mis-sized field shows.
    const uint64_t marker = field.size == 4 ? 0x8A0B0C0Du : 0x8102030405060708ull;
    field.set(object, marker);
    const auto bytes = Bytes(object);
    EXPECT_EQ(LittleEndianAt(bytes, field.offset, field.size), marker);
    for (size_t i = 0; i < bytes.size(); ++i) {
      if (i >= field.offset && i < field.offset + field.size) continue;
      ASSERT_EQ(bytes[i], 0) << "byte " << i << " changed too";
    }
  }
}

TEST(PerfObjectLayout, FieldsAndPaddingTileTheObject) {
  // Every byte belongs to one field, or is one of the seven 4-byte pads.
  std::array<int, 144> owners{};
  for (const Field& field : Fields()) {
    for (size_t i = field.offset; i < field.offset + field.size; ++i) ++owners[i];
  }
  std::vector<size_t> unowned;
  for (size_t i = 0; i < owners.size(); ++i) {
    EXPECT_LE(owners[i], 1) << "byte " << i;
    if (owners[i] == 0) unowned.push_back(i);
  }
  std::vector<size_t> padding;
  for (const size_t pad : {36, 52, 68, 84, 100, 116, 132}) {
    for (size_t i = 0; i < 4; ++i) padding.push_back(pad + i);
  }
  EXPECT_EQ(unowned, padding);
}

TEST(PerfObjectReset, ZeroesEveryCounterAndKeepsTheHeader) {
  CDSAccessPerfObject object{};
  for (size_t i = 0; i < Fields().size(); ++i) Fields()[i].set(object, 0xF0F0F0F0F0F0F0F0ull + i);
  const auto before = Bytes(object);

  object.ResetCounters();

  const auto after = Bytes(object);
  for (size_t i = 0; i < Fields().size(); ++i) {
    const Field& field = Fields()[i];
    const uint64_t expected =
        i < kHeaderFields ? LittleEndianAt(before, field.offset, field.size) : 0;
    EXPECT_EQ(LittleEndianAt(after, field.offset, field.size), expected) << field.name;
  }
}

// The sixteen counters in field order, as one comparable value.
using Counters = std::array<int64_t, 16>;

Counters Snapshot(const CDSAccessPerfObject& o) {
  return {o.m_nTotalDSAccess,        o.m_nTotalDSAccessTime,   o.m_nTotalCacheAccess,
          o.m_nTotalCacheAccessTime, o.m_nUserDSAccess,        o.m_nUserDSAccessTime,
          o.m_nUserCacheAccess,      o.m_nUserCacheAccessTime, o.m_nPGroupDSAccess,
          o.m_nPGroupDSAccessTime,   o.m_nPGroupCacheAccess,   o.m_nPGroupCacheAccessTime,
          o.m_nNGroupDSAccess,       o.m_nNGroupDSAccessTime,  o.m_nNGroupCacheAccess,
          o.m_nNGroupCacheAccessTime};
}

// Index of a group's first counter in Counters; the group's directory count,
// directory time, cache count and cache time follow in that order.
constexpr size_t kTotal = 0, kUser = 4, kPGroup = 8, kNGroup = 12;
constexpr size_t kDirectoryCount = 0, kDirectoryTime = 1, kCacheCount = 2, kCacheTime = 3;

// Runs a lookup the way the module does: the total guards and the group's
// guards around it; `lookup` gets a function that sets the outcome on all.
// (The Total group's lookup has only the total guards.)
using Lookup = std::function<void(const std::function<void(int)>&)>;

template <class CountGuard, class TimerGuard>
void GuardedLookup(CDSAccessPerfObject* object, const Lookup& lookup) {
  CDSTotalAccessCountGuard total_count(object);
  CDSTotalAccessTimerGuard total_time(object);
  CountGuard count(std::is_same_v<CountGuard, CDSTotalAccessCountGuard> ? nullptr : object);
  TimerGuard time(std::is_same_v<TimerGuard, CDSTotalAccessTimerGuard> ? nullptr : object);
  lookup([&](int outcome) {
    total_count.SetOutcome(outcome);
    total_time.SetOutcome(outcome);
    count.SetOutcome(outcome);
    time.SetOutcome(outcome);
  });
}

struct Group {
  const char* name;
  size_t first;
  void (*run)(CDSAccessPerfObject*, const Lookup&);
};

const Group kGroups[] = {
    {"Total", kTotal, &GuardedLookup<CDSTotalAccessCountGuard, CDSTotalAccessTimerGuard>},
    {"User", kUser, &GuardedLookup<CDSUserAccessCountGuard, CDSUserAccessTimerGuard>},
    {"PGroup", kPGroup, &GuardedLookup<CDSPGroupAccessCountGuard, CDSPGroupAccessTimerGuard>},
    {"NGroup", kNGroup, &GuardedLookup<CDSNGroupAccessCountGuard, CDSNGroupAccessTimerGuard>},
};

enum class Ending { kDirectory, kCache, kNeverSet, kException };

TEST(PerfGuards, EachGroupTouchesOnlyItsOwnAndTheTotalCounters) {
  constexpr int64_t kLookupMs = 25;
  struct Case {
    Ending ending;
    size_t count;                // the count that goes up by one
    std::optional<size_t> time;  // the time that grows by kLookupMs, if any
  };
  const Case cases[] = {
      {Ending::kDirectory, kDirectoryCount, kDirectoryTime},
      {Ending::kCache, kCacheCount, kCacheTime},
      {Ending::kNeverSet, kCacheCount, std::nullopt},
      {Ending::kException, kCacheCount, std::nullopt},
  };
  for (const Group& group : kGroups) {
    for (const Case& test : cases) {
      SCOPED_TRACE(std::string(group.name) + " ending " +
                   std::to_string(static_cast<int>(test.ending)));
      platform::testing::ScopedFakeClock clock(1'700'000'000);
      CDSAccessPerfObject object{};
      try {
        group.run(&object, [&](const std::function<void(int)>& set_outcome) {
          clock.AdvanceMillis(kLookupMs);
          if (test.ending == Ending::kDirectory) set_outcome(kDSAccessFromDirectory);
          if (test.ending == Ending::kCache) set_outcome(kDSAccessFromCache);
          if (test.ending == Ending::kException) throw std::runtime_error("directory down");
        });
      } catch (const std::runtime_error&) {
        EXPECT_EQ(test.ending, Ending::kException);
      }
      Counters expected{};
      for (const size_t first : {kTotal, group.first}) {
        expected[first + test.count] = 1;
        if (test.time) expected[first + *test.time] = kLookupMs;
      }
      EXPECT_EQ(Snapshot(object), expected);
    }
  }
}

TEST(PerfGuards, TheLastOutcomeCountsAndUnknownOutcomesCountAsCacheWithoutTime) {
  platform::testing::ScopedFakeClock clock(1'700'000'000);
  CDSAccessPerfObject object{};
  {
    CDSUserAccessCountGuard count(&object);
    CDSUserAccessTimerGuard time(&object);
    count.SetOutcome(kDSAccessFromCache);
    time.SetOutcome(kDSAccessFromCache);
    clock.AdvanceMillis(3);
    count.SetOutcome(kDSAccessFromDirectory);
    time.SetOutcome(kDSAccessFromDirectory);
  }
  {
    CDSUserAccessCountGuard count(&object);
    CDSUserAccessTimerGuard time(&object);
    clock.AdvanceMillis(5);
    count.SetOutcome(7);
    time.SetOutcome(7);
  }
  Counters expected{};
  expected[kUser + kDirectoryCount] = 1;
  expected[kUser + kDirectoryTime] = 3;
  expected[kUser + kCacheCount] = 1;
  EXPECT_EQ(Snapshot(object), expected);
}

TEST(PerfGuards, ElapsedTimeFollowsTheWallClockEvenBackwards) {
  struct Case {
    const char* name;
    int64_t advance_ms;
    int64_t expected_ms;
  };
  const Case cases[] = {
      {"no time passed (a sub-millisecond lookup)", 0, 0},
      {"two seconds", 2000, 2000},
      {"clock set back", -1500, -1500},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    platform::testing::ScopedFakeClock clock(1'700'000'000);
    CDSAccessPerfObject object{};
    {
      CDSNGroupAccessCountGuard count(&object);
      CDSNGroupAccessTimerGuard time(&object);
      clock.AdvanceMillis(test.advance_ms);
      count.SetOutcome(kDSAccessFromDirectory);
      time.SetOutcome(kDSAccessFromDirectory);
    }
    EXPECT_EQ(object.m_nNGroupDSAccess, 1u) << "counted even when it took 0 ms";
    EXPECT_EQ(object.m_nNGroupDSAccessTime, test.expected_ms);
  }
}

// A clock the test moves by single ticks and that counts its reads.
struct TestClock {
  static inline std::atomic<LONGLONG> ticks{0};
  static inline std::atomic<int> reads{0};
  static LONGLONG NowTicks() {
    reads.fetch_add(1);
    return ticks.load();
  }
};
using TestTimerGuard = CDSAccessTimerGuard<&CDSAccessPerfObject::m_nUserDSAccessTime,
                                           &CDSAccessPerfObject::m_nUserCacheAccessTime, TestClock>;

TEST(PerfGuards, MillisecondsAreTruncatedTowardZero) {
  struct Case {
    LONGLONG elapsed_ticks;
    LONGLONG expected_ms;
  };
  const Case cases[] = {{9'999, 0},  {10'000, 1},   {25'000, 2},
                        {-9'999, 0}, {-10'000, -1}, {-15'000, -1}};
  for (const Case& test : cases) {
    SCOPED_TRACE(test.elapsed_ticks);
    CDSAccessPerfObject object{};
    TestClock::ticks = 1'000'000'000;
    {
      TestTimerGuard time(&object);
      TestClock::ticks += test.elapsed_ticks;
      time.SetOutcome(kDSAccessFromDirectory);
    }
    EXPECT_EQ(object.m_nUserDSAccessTime, test.expected_ms);
  }
}

TEST(PerfGuards, WithoutAnObjectNothingIsCountedAndTheClockIsNotRead) {
  TestClock::reads = 0;
  {
    TestTimerGuard time(nullptr);
    time.SetOutcome(kDSAccessFromDirectory);
  }
  EXPECT_EQ(TestClock::reads.load(), 0);

  CDSAccessPerfObject object{};
  {
    TestTimerGuard time(&object);
    time.SetOutcome(kDSAccessFromCache);
  }
  EXPECT_EQ(TestClock::reads.load(), 2) << "one read at each end with an object";

  // The module's guards with a null object leave an unrelated object alone
  // (and must not crash).
  const Counters before = Snapshot(object);
  {
    CDSTotalAccessCountGuard total_count(nullptr);
    CDSTotalAccessTimerGuard total_time(nullptr);
    CDSPGroupAccessCountGuard count(nullptr);
    CDSPGroupAccessTimerGuard time(nullptr);
    total_count.SetOutcome(kDSAccessFromDirectory);
    time.SetOutcome(kDSAccessFromDirectory);
  }
  EXPECT_EQ(Snapshot(object), before);
}

TEST(PerfGuards, ConcurrentLookupsLoseNoUpdate) {
  constexpr int kThreads = 4;
  constexpr int kLookups = 5000;
  platform::testing::ScopedFakeClock clock(1'700'000'000);  // every lookup takes 0 ms
  CDSAccessPerfObject object{};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&object, t] {
      for (int i = 0; i < kLookups; ++i) {
        CDSTotalAccessCountGuard total(&object);
        CDSUserAccessCountGuard user(&object);
        const int outcome = (i + t) % 2 == 0 ? kDSAccessFromDirectory : kDSAccessFromCache;
        total.SetOutcome(outcome);
        user.SetOutcome(outcome);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  constexpr ULONG kHalf = kThreads * kLookups / 2;
  EXPECT_EQ(object.m_nTotalDSAccess, kHalf);
  EXPECT_EQ(object.m_nTotalCacheAccess, kHalf);
  EXPECT_EQ(object.m_nUserDSAccess, kHalf);
  EXPECT_EQ(object.m_nUserCacheAccess, kHalf);
}

TEST(PerfGuards, CountsWrapAroundAtTwoToTheThirtyTwo) {
  CDSAccessPerfObject object{};
  object.m_nPGroupCacheAccess = 0xFFFFFFFFu;
  { CDSPGroupAccessCountGuard count(&object); }
  EXPECT_EQ(object.m_nPGroupCacheAccess, 0u);
}

}  // namespace
