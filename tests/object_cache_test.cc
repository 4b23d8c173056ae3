// The object cache: the N+1 rule and insertion-order eviction walked step by
// step, odd maximums and timeouts, expiry at the boundary second and a clock
// that moves backwards and forwards.
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "manager/object_cache.h"
#include "platform/clock_testing.h"

namespace {

using Keys = std::vector<std::wstring>;
constexpr __time64_t kStart = 1700000000;

CDSObjectInfo RecordNamed(const wchar_t* name) {
  CDSObjectInfo record;
  CDSObjectProperty property(name);
  record.AddProperty(property);
  return record;
}

bool Hit(CDSObjectCache& cache, const wchar_t* key) {
  std::optional<CDSObjectInfo> record;
  return cache.Lookup(key, record);
}

void Insert(CDSObjectCache& cache, const wchar_t* key) {
  CDSObjectInfo record = RecordNamed(key);
  cache.Update(key, record);
}

class ObjectCache : public ::testing::Test {
 protected:
  platform::testing::ScopedFakeClock clock_{kStart};
};

TEST_F(ObjectCache, MaximumTwoWalkedStepByStep) {
  CDSObjectCache cache(3600, 2);
  Insert(cache, L"A");
  Insert(cache, L"B");
  Insert(cache, L"C");  // fills the cache to 3: eviction happens before an insertion
  EXPECT_EQ(cache.KeysNewestFirst(), (Keys{L"C", L"B", L"A"}));
  Insert(cache, L"D");  // A, the oldest, goes first
  EXPECT_EQ(cache.KeysNewestFirst(), (Keys{L"D", L"C", L"B"}));
  // The lookup first brings the cache back to 2 by evicting B, then misses.
  EXPECT_FALSE(Hit(cache, L"B"));
  EXPECT_EQ(cache.KeysNewestFirst(), (Keys{L"D", L"C"}));
  EXPECT_TRUE(Hit(cache, L"C"));
  EXPECT_TRUE(Hit(cache, L"D"));
}

TEST_F(ObjectCache, HitDoesNotPromoteTheOldestEntry) {
  CDSObjectCache cache(3600, 2);
  Insert(cache, L"A");
  Insert(cache, L"B");
  EXPECT_TRUE(Hit(cache, L"A"));
  Insert(cache, L"C");
  Insert(cache, L"D");  // evicts A although it was just used
  EXPECT_EQ(cache.KeysNewestFirst(), (Keys{L"D", L"C", L"B"}));
}

TEST_F(ObjectCache, UpdateOfAnExistingKeyRefreshesAndMovesItToTheHead) {
  CDSObjectCache cache(100, 10);
  Insert(cache, L"A");
  Insert(cache, L"B");
  clock_.Advance(60);
  CDSObjectInfo newer = RecordNamed(L"newer");
  cache.Update(L"A", newer);
  EXPECT_EQ(cache.KeysNewestFirst(), (Keys{L"A", L"B"}));
  EXPECT_EQ(cache.Size(), 2u);
  clock_.Advance(50);  // B is 110 s old, A only 50 s
  EXPECT_FALSE(Hit(cache, L"B"));
  std::optional<CDSObjectInfo> record;
  ASSERT_TRUE(cache.Lookup(L"A", record));
  EXPECT_STREQ(record->GetProperty(0).GetName(), L"newer");
}

TEST_F(ObjectCache, ZeroAndNegativeMaximumsNeverAnswer) {
  for (int maximum : {0, -1}) {
    CDSObjectCache cache(3600, maximum);
    Insert(cache, L"A");
    EXPECT_EQ(cache.Size(), 1u) << maximum;  // the single entry an insertion leaves
    EXPECT_FALSE(Hit(cache, L"A")) << maximum;
    EXPECT_EQ(cache.Size(), 0u) << maximum;
    Insert(cache, L"A");
    Insert(cache, L"B");  // evicts A before inserting
    EXPECT_EQ(cache.KeysNewestFirst(), (Keys{L"B"})) << maximum;
  }
}

TEST_F(ObjectCache, ZeroTimeoutNeverAnswers) {
  CDSObjectCache cache(0, 1000);
  Insert(cache, L"A");
  EXPECT_FALSE(Hit(cache, L"A"));
  EXPECT_EQ(cache.Size(), 0u);  // the expired entry was removed by its lookup
}

TEST_F(ObjectCache, EntryExpiresExactlyAtTheTimeout) {
  CDSObjectCache cache(60, 1000);
  Insert(cache, L"A");
  Insert(cache, L"B");
  clock_.Advance(59);
  EXPECT_TRUE(Hit(cache, L"A"));
  clock_.Advance(1);
  EXPECT_FALSE(Hit(cache, L"A"));
  // Expiry is checked only for the key looked up: B, as old, stays.
  EXPECT_EQ(cache.KeysNewestFirst(), (Keys{L"B"}));
}

TEST_F(ObjectCache, ClockSetBackKeepsEntriesAndForwardExpiresThem) {
  CDSObjectCache cache(60, 1000);
  Insert(cache, L"A");
  clock_.Set(kStart - 86400);  // negative age: still live
  EXPECT_TRUE(Hit(cache, L"A"));
  clock_.Set(kStart + 86400);
  EXPECT_FALSE(Hit(cache, L"A"));
}

TEST_F(ObjectCache, HitSharesTheCachedRecord) {
  CDSObjectCache cache(60, 10);
  CDSObjectInfo stored = RecordNamed(L"x");
  cache.Update(L"K", stored);
  CDSObjectProperty later(L"added-later");
  stored.AddProperty(later);
  std::optional<CDSObjectInfo> record;
  ASSERT_TRUE(cache.Lookup(L"K", record));
  EXPECT_EQ(record->GetPropertyCount(), 2);
}

}  // namespace
