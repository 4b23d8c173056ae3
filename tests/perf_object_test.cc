// The performance object's byte layout and reset, and the guards that count
// and time lookups into it.  (Concurrent updates: perf_mon_manager_test.
// Guards without an object: every resolution test runs without one, and
// bench/perf_guard_bench.cc measures what they cost.)
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "perf/ds_access_guards.h"
#include "perf/ds_access_perf_object.h"
#include "testing/fake_clock.h"

namespace {

// Every field of the object with the offset and size readers in other
// processes rely on, in field order: the five header fields, then the
// sixteen counters.
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
      FIELD(m_nAllocSize, 0),                FIELD(m_dwCategoryId, 4),
      FIELD(m_dwInstance, 8),                FIELD(m_nRefCount, 12),
      FIELD(m_nInstanceNameOffset, 16),      FIELD(m_nTotalDSAccess, 20),
      FIELD(m_nTotalDSAccessTime, 24),       FIELD(m_nTotalCacheAccess, 32),
      FIELD(m_nTotalCacheAccessTime, 40),    FIELD(m_nUserDSAccess, 48),
      FIELD(m_nUserDSAccessTime, 56),        FIELD(m_nUserCacheAccess, 64),
      FIELD(m_nUserCacheAccessTime, 72),     FIELD(m_nPGroupDSAccess, 80),
      FIELD(m_nPGroupDSAccessTime, 88),      FIELD(m_nPGroupCacheAccess, 96),
      FIELD(m_nPGroupCacheAccessTime, 104),  FIELD(m_nNGroupDSAccess, 112),
      FIELD(m_nNGroupDSAccessTime, 120),     FIELD(m_nNGroupCacheAccess, 128),
      FIELD(m_nNGroupCacheAccessTime, 136),
  };
  return fields;
}
#undef FIELD

constexpr size_t kHeaderFields = 5;
constexpr size_t kObjectBytes = 144;

// The little-endian value of `field` in the object's bytes, as another
// process reads it.
uint64_t ValueAt(const CDSAccessPerfObject& object, const Field& field) {
  unsigned char bytes[kObjectBytes];
  std::memcpy(bytes, &object, sizeof(bytes));
  uint64_t value = 0;
  for (size_t i = 0; i < field.size; ++i) value |= uint64_t{bytes[field.offset + i]} << (8 * i);
  return value;
}

TEST(PerfObject, EachFieldOwnsItsLittleEndianBytesAndResetKeepsTheHeader) {
  for (const Field& field : Fields()) {
    SCOPED_TRACE(field.name);
    CDSAccessPerfObject object{};
    // Distinct non-zero bytes, so a shifted or mis-sized field shows.
    const uint64_t marker = field.size == 4 ? 0x8A0B0C0Du : 0x8102030405060708ull;
    field.set(object, marker);
    EXPECT_EQ(ValueAt(object, field), marker);
    unsigned char bytes[kObjectBytes];
    std::memcpy(bytes, &object, sizeof(bytes));
    for (size_t i = 0; i < kObjectBytes; ++i) {
      if (i >= field.offset && i < field.offset + field.size) continue;
      ASSERT_EQ(bytes[i], 0) << "byte " << i;
    }
  }

  CDSAccessPerfObject object{};
  for (size_t i = 0; i < Fields().size(); ++i) Fields()[i].set(object, 0xF0F0F0F0F0F0F0F0ull + i);
  object.ResetCounters();
  for (size_t i = 0; i < Fields().size(); ++i) {
    const Field& field = Fields()[i];
    const uint64_t kept = field.size == 4 ? 0xF0F0F0F0u + i : 0xF0F0F0F0F0F0F0F0ull + i;
    EXPECT_EQ(ValueAt(object, field), i < kHeaderFields ? kept : 0) << field.name;
  }
}

// The sixteen counters in field order, as readers see them; a group's
// directory count, directory time, cache count and cache time follow its
// first index.
using Counters = std::array<uint64_t, 16>;
constexpr size_t kTotal = 0, kUser = 4, kPGroup = 8, kNGroup = 12;
constexpr size_t kDirectoryCount = 0, kDirectoryTime = 1, kCacheCount = 2, kCacheTime = 3;

Counters Snapshot(const CDSAccessPerfObject& object) {
  Counters counters;
  for (size_t i = 0; i < counters.size(); ++i) counters[i] = ValueAt(object, Fields()[kHeaderFields + i]);
  return counters;
}

// A lookup as the module runs it: the total guards and the group's guards
// around `body`, which gets a function setting the outcome on all four.
// (The Total group has only the total guards.)
using Lookup = std::function<void(const std::function<void(int)>&)>;

template <class CountGuard, class TimerGuard>
void GuardedLookup(CDSAccessPerfObject* object, const Lookup& body) {
  constexpr bool kTotalOnly = std::is_same_v<CountGuard, CDSTotalAccessCountGuard>;
  CDSTotalAccessCountGuard total_count(object);
  CDSTotalAccessTimerGuard total_time(object);
  CountGuard count(kTotalOnly ? nullptr : object);
  TimerGuard time(kTotalOnly ? nullptr : object);
  body([&](int outcome) {
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

TEST(PerfGuards, EachGroupCountsAndTimesOnlyItsOwnAndTheTotalCounters) {
  constexpr int kUnknownOutcome = 7;
  struct Case {
    const char* name;
    std::vector<int> outcomes;  // set in this order
    bool throws;
    int64_t elapsed_ms;
    size_t count;                // the count that goes up by one
    std::optional<size_t> time;  // the time that grows by elapsed_ms, if any
  };
  const Case cases[] = {
      {"directory", {kDSAccessFromDirectory}, false, 25, kDirectoryCount, kDirectoryTime},
      {"cache", {kDSAccessFromCache}, false, 25, kCacheCount, kCacheTime},
      {"the last outcome counts", {kDSAccessFromCache, kDSAccessFromDirectory}, false, 25, kDirectoryCount,
       kDirectoryTime},
      {"clock set back", {kDSAccessFromDirectory}, false, -1500, kDirectoryCount, kDirectoryTime},
      {"never set", {}, false, 25, kCacheCount, std::nullopt},
      {"exception", {}, true, 25, kCacheCount, std::nullopt},
      {"unknown outcome", {kUnknownOutcome}, false, 25, kCacheCount, std::nullopt},
  };
  for (const Group& group : kGroups) {
    for (const Case& test : cases) {
      SCOPED_TRACE(std::string(group.name) + ", " + test.name);
      platform::testing::ScopedFakeClock clock(1'700'000'000);
      CDSAccessPerfObject object{};
      try {
        group.run(&object, [&](const std::function<void(int)>& set_outcome) {
          clock.AdvanceMillis(test.elapsed_ms);
          for (int outcome : test.outcomes) set_outcome(outcome);
          if (test.throws) throw std::runtime_error("directory down");
        });
      } catch (const std::runtime_error&) {
        EXPECT_TRUE(test.throws);
      }
      Counters expected{};
      for (const size_t first : {kTotal, group.first}) {
        expected[first + test.count] = 1;
        if (test.time) expected[first + *test.time] = static_cast<uint64_t>(test.elapsed_ms);
      }
      EXPECT_EQ(Snapshot(object), expected);
    }
  }
}

TEST(PerfGuards, TimeCountsTheMillisecondBoundariesTheLookupCrosses) {
  // The guards time in whole milliseconds of the wall clock: what counts is
  // how many millisecond boundaries lie between start and end, not the
  // length of the lookup.
  constexpr int64_t kTicksPerMicrosecond = 10;
  constexpr int64_t kMs = platform::testing::ScopedFakeClock::kTicksPerMillisecond;
  struct Case {
    const char* name;
    int64_t start_offset_ticks;  // after a whole second
    int64_t duration_ticks;
    uint64_t expected_ms;
  };
  const Case cases[] = {
      {"within one millisecond", 0, kMs - 1, 0},
      {"1 us across a boundary", kMs - kTicksPerMicrosecond, kTicksPerMicrosecond, 1},
      {"1.15 ms across two boundaries", 9 * kMs / 10, 115 * kMs / 100, 2},
      {"1.9 ms across one boundary", 0, 19 * kMs / 10, 1},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    platform::testing::ScopedFakeClock clock(1'700'000'000);
    clock.AdvanceTicks(test.start_offset_ticks);
    CDSAccessPerfObject object{};
    kGroups[1].run(&object, [&](const std::function<void(int)>& set_outcome) {
      clock.AdvanceTicks(test.duration_ticks);
      set_outcome(kDSAccessFromCache);
    });
    EXPECT_EQ(static_cast<uint64_t>(object.m_nUserCacheAccessTime), test.expected_ms);
    EXPECT_EQ(static_cast<uint64_t>(object.m_nTotalCacheAccessTime), test.expected_ms);
    EXPECT_EQ(object.m_nUserCacheAccess, 1u);
  }
}

TEST(PerfGuards, CountsWrapAt32Bits) {
  CDSAccessPerfObject object{};
  object.m_nPGroupCacheAccess = 0xFFFFFFFFu;
  { CDSPGroupAccessCountGuard count(&object); }
  EXPECT_EQ(object.m_nPGroupCacheAccess, 0u) << "counts wrap at 2^32";
}

}  // namespace
