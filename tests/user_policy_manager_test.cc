// The cached lookup: the object cache's eviction and expiry rules, then a
// manager against the in-memory directory: key normalisation and escaping,
// the lookup types, what is cached, single flight with exact read counts,
// the late-waiter race forced deterministically, and the lock-discipline
// checks.
#include <atomic>
#include <functional>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "dsobject/user_policy_manager_exception.h"
#include "manager/cs_lock.h"
#include "manager/global_catalog_path.h"
#include "manager/in_flight_hooks.h"
#include "manager/in_flight_table.h"
#include "manager/lookup_key.h"
#include "manager/object_cache.h"
#include "manager/user_policy_manager.h"
#include "manager/user_policy_manager_impl.h"
#include "module/directory_queries.h"
#include "testing/fake_clock.h"
#include "platform/crt.h"
#include "platform/directory/directory_backend.h"
#include "platform/directory/directory_error.h"
#include "testing/memory_directory.h"
#include "testing/log_capture.h"

namespace {

using directory::MemoryDirectory;
using directory::MemoryObject;
using Keys = std::vector<std::wstring>;

constexpr __time64_t kStart = 1700000000;

// The object cache ----------------------------------------------------------------

CDSObjectInfo RecordNamed(const wchar_t* name) {
  CDSObjectInfo record;
  CDSObjectProperty property(name);
  record.AddProperty(property);
  return record;
}

void Insert(CDSObjectCache& cache, const wchar_t* key) {
  CDSObjectInfo record = RecordNamed(key);
  cache.Update(key, record);
}

bool Hit(CDSObjectCache& cache, const wchar_t* key) {
  std::optional<CDSObjectInfo> record;
  return cache.Lookup(key, record);
}

TEST(ObjectCache, EvictsInInsertionOrderOneEntryPerOperation) {
  platform::testing::ScopedFakeClock clock(kStart);
  CDSObjectCache cache(3600, 2);
  Insert(cache, L"A");
  Insert(cache, L"B");
  EXPECT_TRUE(Hit(cache, L"A"));  // a hit does not promote A
  Insert(cache, L"C");            // eviction comes before the insertion: 3 entries
  EXPECT_EQ(cache.KeysNewestFirst(), (Keys{L"C", L"B", L"A"}));
  Insert(cache, L"D");
  EXPECT_EQ(cache.KeysNewestFirst(), (Keys{L"D", L"C", L"B"}));
  // The lookup first brings the cache back to 2 by evicting B, then misses.
  EXPECT_FALSE(Hit(cache, L"B"));
  EXPECT_EQ(cache.KeysNewestFirst(), (Keys{L"D", L"C"}));
  EXPECT_TRUE(Hit(cache, L"C"));

  for (int maximum : {0, -1}) {
    CDSObjectCache tiny(3600, maximum);
    Insert(tiny, L"A");
    EXPECT_EQ(tiny.Size(), 1u) << maximum;  // the single entry an insertion leaves
    EXPECT_FALSE(Hit(tiny, L"A")) << maximum;
    EXPECT_EQ(tiny.Size(), 0u) << maximum;
    Insert(tiny, L"A");
    Insert(tiny, L"B");  // evicts A before inserting
    EXPECT_EQ(tiny.KeysNewestFirst(), (Keys{L"B"})) << maximum;
  }
}

TEST(ObjectCache, ExpiresByWallClockAgeOfTheKeyLookedUpOnly) {
  platform::testing::ScopedFakeClock clock(kStart);
  CDSObjectCache cache(60, 1000);
  Insert(cache, L"A");
  Insert(cache, L"B");
  Insert(cache, L"C");
  clock.Advance(59);
  EXPECT_TRUE(Hit(cache, L"A"));
  clock.Advance(1);
  EXPECT_FALSE(Hit(cache, L"A"));  // exactly at the timeout
  EXPECT_EQ(cache.KeysNewestFirst(), (Keys{L"C", L"B"}));  // as old, but not looked up

  // Updating a key refreshes its time stamp and record and moves it to the head.
  CDSObjectInfo newer = RecordNamed(L"newer");
  cache.Update(L"B", newer);
  EXPECT_EQ(cache.KeysNewestFirst(), (Keys{L"B", L"C"}));
  clock.Advance(59);
  EXPECT_FALSE(Hit(cache, L"C"));
  std::optional<CDSObjectInfo> record;
  ASSERT_TRUE(cache.Lookup(L"B", record));
  CDSObjectProperty later(L"added-later");
  newer.AddProperty(later);
  EXPECT_EQ(record->GetPropertyCount(), 2);  // the hit shares the stored record
  EXPECT_STREQ(record->GetProperty(0).GetName(), L"newer");

  clock.Set(kStart - 86400);  // set back: a negative age keeps the entry
  EXPECT_TRUE(Hit(cache, L"B"));
  clock.Set(kStart + 86400);  // set forward: it expires early
  EXPECT_FALSE(Hit(cache, L"B"));

  CDSObjectCache no_timeout(0, 1000);
  Insert(no_timeout, L"A");
  EXPECT_FALSE(Hit(no_timeout, L"A"));
  EXPECT_EQ(no_timeout.Size(), 0u);  // the expired entry was removed by its lookup
}

// The manager -----------------------------------------------------------------------

constexpr wchar_t kAliceSip[] = L"sip:alice@example.test";
const std::vector<uint8_t> kGroupGuid = {0xba, 0x7a, 0x96, 0xbf, 0xe6, 0x0d, 0xd0, 0x11,
                                         0xa2, 0x85, 0x00, 0xaa, 0x00, 0x30, 0x49, 0xe2};
constexpr wchar_t kGroupDn[] = L"CN=A/B,OU=Groups,DC=example,DC=test";
constexpr wchar_t kGroupGuidText[] = L"ba7a96bfe60dd011a28500aa003049e2";

std::wstring UserFilterFor(const std::wstring& value) {
  wchar_t filter[kFilterBufferLength];
  _snwprintf(filter, kFilterBufferLength, kUserFilter, value.c_str());
  filter[kFilterBufferLength - 1] = L'\0';
  return filter;
}

int ErrorCodeOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const OS::CException& e) {
    return e.GetErrorCode();
  }
  return 0;
}

class UserPolicyManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wcsncpy(g_wszGlobalCatalogPath, L"GC://127.0.0.1:3268", kGlobalCatalogPathLength);
    directory_.AddObject(MemoryObject(L"CN=Alice Anderson,OU=People,DC=example,DC=test")
                             .AddStrings(L"objectClass", {L"top", L"person", L"user"})
                             .AddString(L"objectCategory", L"person")
                             .AddString(L"msRTCSIP-PrimaryUserAddress", kAliceSip)
                             .AddBinary(L"objectGUID", std::vector<uint8_t>(16, 0xa1))
                             .AddString(L"name", L"Alice Anderson")
                             .AddStrings(L"memberOf", {kGroupDn, L"CN=Engineering,OU=Groups,DC=example,DC=test"})
                             .AddInteger(L"primaryGroupID", 513)
                             .AddBinary(L"objectSid", {1, 1, 0, 0, 0, 0, 0, 5, 21, 0, 0, 0})  // S-1-5-21
                             .AddStrings(L"proxyAddresses", {L"SMTP:alice@example.test", kAliceSip})
                             .AddString(L"mail", L"alice@example.test"));
    directory_.AddObject(MemoryObject(L"CN=A\\2fB,OU=Groups,DC=example,DC=test")
                             .AddStrings(L"objectClass", {L"top", L"group"})
                             .AddBinary(L"objectGUID", kGroupGuid));
  }
  void TearDown() override {
    in_flight_hooks::SetBeforeWaitHook(nullptr);
    in_flight_hooks::SetFailEventCreation(false);
  }

  static CUserPolicyManager UserManager() {
    return CUserPolicyManager(kUserFilter, kUserAttributes, 8, true, 3600, 1000);
  }
  static CUserPolicyManager GroupManager(int lookup_type) {
    return CUserPolicyManager(lookup_type, kGroupAttributes, 4, 3600, 1000);
  }

  MemoryDirectory directory_;
  directory::testing::ScopedBackend backend_{&directory_};
};

TEST_F(UserPolicyManagerTest, KeysAreCutAndUpperCasedAndEmptyResultsCached) {
  CUserPolicyManager manager = UserManager();
  bool fetched = false;
  EXPECT_EQ(manager.GetDSObjectInfo(kAliceSip, fetched).GetPropertyCount(), 8);
  EXPECT_TRUE(fetched);
  EXPECT_EQ(directory_.ReadCount(UserFilterFor(L"SIP:ALICE@EXAMPLE.TEST")), 1);
  // A key differing in case is the same entry.
  EXPECT_EQ(manager.GetDSObjectInfo(L"SIP:Alice@Example.TEST", fetched).GetPropertyCount(), 8);
  EXPECT_FALSE(fetched);

  // Long keys are cut to 519 characters; nothing matches: an empty record,
  // found and cached.
  const std::wstring cut(kKeyBufferLength - 1, L'K');
  CDSObjectInfo none = manager.GetDSObjectInfo(std::wstring(600, L'k').c_str(), fetched);
  EXPECT_TRUE(fetched);
  EXPECT_EQ(none.GetPropertyCount(), 0);
  EXPECT_EQ(directory_.ReadCount(UserFilterFor(cut)), 1);
  manager.GetDSObjectInfo((cut + L"other-tail").c_str(), fetched);
  EXPECT_FALSE(fetched);
  EXPECT_EQ(directory_.TotalCalls(), 2);
}

TEST_F(UserPolicyManagerTest, FilterValuesAreEscapedOnlyWhenTheManagerSaysSoAndSlashesInPaths) {
  struct Case {
    const wchar_t* key;
    const wchar_t* in_filter;
  } cases[] = {
      {L"A*(B)\\C/D", L"A\\2A\\28B\\29\\5CC\\2fD"},  // every metacharacter
      {L"x\\2a", L"X\\5C2A"},                           // already-escaped text is escaped again
      {L"abc\\", L"ABC\\5C"},                           // a backslash at the end
      {L"zo\u00eb", L"ZO\u00eb"},                       // only ASCII letters are upper-cased
  };
  CUserPolicyManager escaping = UserManager();
  CUserPolicyManager verbatim(kGroupBySidFilter, kGroupAttributes, 4, false, 86400, 50);
  for (const Case& c : cases) {
    bool fetched = false;
    escaping.GetDSObjectInfo(c.key, fetched);
    EXPECT_EQ(directory_.ReadCount(UserFilterFor(c.in_filter)), 1) << c.key;
    // Unescaped metacharacters make a malformed filter: the directory says so.
    ErrorCodeOf([&] { verbatim.GetDSObjectInfo(c.key, fetched); });
    EXPECT_EQ(directory_.ReadCount(L"(&(objectClass=group)(objectSid=" + NormaliseKey(c.key) + L"))"), 1) << c.key;
  }

  // A key that is not valid Unicode would reach the server with U+FFFD in
  // its place, one search for many keys: it is refused before any read.
  const int reads = directory_.TotalCalls();
  // (The third is a unit beyond U+10FFFF where wchar_t holds UTF-32, a
  // reversed surrogate pair where it holds UTF-16.)
  const std::wstring beyond = std::wstring(L"sip:a") +
                              static_cast<wchar_t>(sizeof(wchar_t) == 4 ? 0x110000 : 0xDC00) +
                              (sizeof(wchar_t) == 4 ? L"" : L"\xD800") + L"@example.test";
  for (const wchar_t* key : {L"sip:a\xD800@example.test", L"sip:a\xDFFF@example.test", beyond.c_str()}) {
    bool fetched = false;
    EXPECT_EQ(ErrorCodeOf([&] { escaping.GetDSObjectInfo(key, fetched); }), kDirectoryInvalidArgument);
    EXPECT_EQ(ErrorCodeOf([&] { GroupManager(kLookupBindDistinguishedName).GetDSObjectInfo(key, fetched); }),
              kDirectoryInvalidArgument);
  }
  EXPECT_EQ(directory_.TotalCalls(), reads);

  // Paths escape every slash (one in a DN: the lookup types below).
  OS::x_wstring path;
  EscapeSlashes(L"CN=a//b/", 8, path);
  EXPECT_STREQ(path.c_str(), L"CN=a\\2f\\2fb\\2f");
}

TEST_F(UserPolicyManagerTest, EachLookupTypeBindsItsPathMissingObjectsAreNotCachedAndAnInvalidTypeNeverReads) {
  bool fetched = false;
  // 3: "<Global Catalog>/<key with slashes escaped>".
  CUserPolicyManager by_dn = GroupManager(kLookupBindDistinguishedName);
  CDSObjectInfo group = by_dn.GetDSObjectInfo(kGroupDn, fetched);
  EXPECT_TRUE(fetched);
  EXPECT_STREQ(group.GetProperty(L"objectGUID").GetValue(0).bstrVal, kGroupGuidText);
  EXPECT_EQ(directory_.ReadCount(L"CN=A\\2fB,OU=GROUPS,DC=EXAMPLE,DC=TEST"), 1);
  by_dn.GetDSObjectInfo(L"cn=a/b,ou=groups,dc=example,dc=test", fetched);
  EXPECT_FALSE(fetched);
  for (int attempt = 0; attempt < 2; ++attempt) {  // a missing object is read again
    EXPECT_EQ(ErrorCodeOf([&] { by_dn.GetDSObjectInfo(L"CN=Nobody,DC=example,DC=test", fetched); }),
              kDirectoryNotFound);
  }
  EXPECT_EQ(directory_.ReadCount(L"CN=NOBODY,DC=EXAMPLE,DC=TEST"), 2);
  // 1: the key itself as the path, slashes escaped.
  CDSObjectInfo same = GroupManager(kLookupBindPath).GetDSObjectInfo(kGroupDn, fetched);
  EXPECT_TRUE(fetched);
  EXPECT_STREQ(same.GetProperty(L"objectGUID").GetValue(0).bstrVal, kGroupGuidText);
  // 2: "<Global Catalog>/<GUID=key>".
  CDSObjectInfo by_guid = GroupManager(kLookupBindGuid).GetDSObjectInfo(kGroupGuidText, fetched);
  EXPECT_TRUE(fetched);
  EXPECT_STREQ(by_guid.GetProperty(L"distinguishedName").GetValue(0).bstrVal,
               L"CN=A\\2fB,OU=Groups,DC=example,DC=test");
  EXPECT_EQ(directory_.TotalCalls(), 5);

  CUserPolicyManager invalid = GroupManager(7);
  for (int attempt = 0; attempt < 2; ++attempt) {  // nothing cached for a failure
    EXPECT_EQ(ErrorCodeOf([&] { invalid.GetDSObjectInfo(L"anything", fetched); }),
              EX_USER_POLICY_MGR_INVALID_LOOKUP_TYPE);
  }
  EXPECT_EQ(ErrorCodeOf([&] { invalid.GetDSObjectInfo(nullptr, fetched); }), EX_USER_POLICY_MGR_NULL_KEY);
  EXPECT_EQ(directory_.TotalCalls(), 5);
}

// Single flight -----------------------------------------------------------------------

struct Outcome {
  bool fetched = false;
  int error = 0;
  CDSObjectInfo record;
};

// Starts `threads` lookups of `key` while reads are blocked, waits until the
// first read is parked and every caller has started, then releases the read.
std::vector<Outcome> LookUpTogether(CUserPolicyManager& manager, MemoryDirectory& directory, const wchar_t* key,
                                    int threads) {
  std::vector<Outcome> outcomes(threads);
  std::vector<std::thread> workers;
  directory.BlockReads();
  std::atomic<int> started{0};
  for (int i = 0; i < threads; ++i) {
    workers.emplace_back([&, i] {
      started.fetch_add(1);
      try {
        outcomes[i].record = manager.GetDSObjectInfo(key, outcomes[i].fetched);
      } catch (const OS::CException& e) {
        outcomes[i].error = e.GetErrorCode();
      }
    });
  }
  EXPECT_TRUE(directory.WaitUntilBlocked(1));
  while (started.load() < threads) std::this_thread::yield();
  // Give the other callers time to reach their wait; whether they are
  // already waiting or arrive after the release, they must share the read.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  directory.ReleaseReads();
  for (auto& worker : workers) worker.join();
  return outcomes;
}

TEST_F(UserPolicyManagerTest, ManyThreadsOnOneColdKeyCauseOneReadAndShareItsRecord) {
  CUserPolicyManager manager = UserManager();
  std::vector<Outcome> outcomes = LookUpTogether(manager, directory_, kAliceSip, 16);
  int fetchers = 0;
  const wchar_t* shared_name = nullptr;
  for (Outcome& outcome : outcomes) {
    EXPECT_EQ(outcome.error, 0);
    if (outcome.fetched) ++fetchers;
    ASSERT_EQ(outcome.record.GetPropertyCount(), 8);
    // One implementation: every record hands out the very same name buffer.
    const wchar_t* name = outcome.record.GetProperty(0).GetName();
    if (shared_name == nullptr) shared_name = name;
    EXPECT_EQ(name, shared_name);
  }
  EXPECT_EQ(fetchers, 1);
  EXPECT_EQ(directory_.TotalCalls(), 1);
}

TEST_F(UserPolicyManagerTest, AFailedReadReleasesEveryWaiterWithTheRecordAsLeft) {
  CUserPolicyManager manager = UserManager();
  directory_.FailNthCall(1, kDirectoryTimeout);
  std::vector<Outcome> outcomes = LookUpTogether(manager, directory_, kAliceSip, 8);
  int failed = 0;
  for (Outcome& outcome : outcomes) {
    if (outcome.error != 0) {
      EXPECT_EQ(outcome.error, kDirectoryTimeout);
      ++failed;
    } else {
      EXPECT_FALSE(outcome.fetched);
      EXPECT_EQ(outcome.record.GetPropertyCount(), 0);  // the fetch left it empty
    }
  }
  EXPECT_EQ(failed, 1);
  // Nothing was cached and the key left the table: the next lookup reads.
  bool fetched = false;
  manager.GetDSObjectInfo(kAliceSip, fetched);
  EXPECT_TRUE(fetched);
}

TEST_F(UserPolicyManagerTest, WaitersShareTheReadsFailureWhenTheManagerIsSetSo) {
  CUserPolicyManager manager = UserManager();
  CUserPolicyManagerInspector::Impl(manager)->set_waiters_share_failures(true);
  directory_.FailNthCall(1, kDirectoryTimeout);
  std::vector<Outcome> outcomes = LookUpTogether(manager, directory_, kAliceSip, 8);
  for (const Outcome& outcome : outcomes) EXPECT_EQ(outcome.error, kDirectoryTimeout);
  EXPECT_EQ(directory_.TotalCalls(), 1);

  // A read that succeeds is shared as before.
  outcomes = LookUpTogether(manager, directory_, kAliceSip, 8);
  int read = 0;
  for (Outcome& outcome : outcomes) {
    EXPECT_EQ(outcome.error, 0);
    EXPECT_EQ(outcome.record.GetPropertyCount(), 8);
    read += outcome.fetched ? 1 : 0;
  }
  EXPECT_EQ(read, 1);
}

TEST_F(UserPolicyManagerTest, WaitersWithoutAnEventReportNotFoundWithTheKeyAsPassed) {
  CUserPolicyManager manager = UserManager();
  in_flight_hooks::SetFailEventCreation(true);
  DBG::testing::ScopedLogCapture log(DBG::Severity::kTrace);
  std::vector<Outcome> outcomes = LookUpTogether(manager, directory_, L"sip:Alice@example.test", 4);
  int not_found = 0;
  for (const Outcome& outcome : outcomes) {
    if (outcome.error == EX_USER_POLICY_MGR_DSOBJECT_NOT_FOUND) ++not_found;
  }
  EXPECT_EQ(not_found, 3);
  EXPECT_TRUE(log.Contains(DBG::kLevelFailure,
                           "CUserPolicyManager->GetDSObjectInfo(sip:Alice@example.test) "
                           "EX_USER_POLICY_MGR_DSOBJECT_NOT_FOUND "));
}

// The late waiter: the fetch ends, and its entry goes, after a waiter found
// the key in flight but before the waiter starts to wait.
struct LateWaiterScene {
  MemoryDirectory* directory = nullptr;
  std::shared_future<void> fetch_done;
};
LateWaiterScene* g_scene = nullptr;

void EndTheFetchBeforeTheWait(const std::wstring&) {
  g_scene->directory->ReleaseReads();
  g_scene->fetch_done.wait();
}

TEST_F(UserPolicyManagerTest, LateWaiterIsReleasedWhenTheFetchEndedBeforeItsWait) {
  for (int round = 0; round < 100; ++round) {
    CUserPolicyManager manager = UserManager();
    std::promise<void> done;
    LateWaiterScene scene{&directory_, done.get_future().share()};
    g_scene = &scene;
    in_flight_hooks::SetBeforeWaitHook(&EndTheFetchBeforeTheWait);

    directory_.BlockReads();
    Outcome fetcher_outcome;
    std::thread fetcher([&] {
      fetcher_outcome.record = manager.GetDSObjectInfo(kAliceSip, fetcher_outcome.fetched);
      done.set_value();
    });
    ASSERT_TRUE(directory_.WaitUntilBlocked(1));
    Outcome waiter_outcome;
    waiter_outcome.record = manager.GetDSObjectInfo(kAliceSip, waiter_outcome.fetched);
    fetcher.join();
    in_flight_hooks::SetBeforeWaitHook(nullptr);

    EXPECT_TRUE(fetcher_outcome.fetched);
    EXPECT_FALSE(waiter_outcome.fetched);
    EXPECT_EQ(waiter_outcome.record.GetPropertyCount(), 8);
  }
  EXPECT_EQ(directory_.TotalCalls(), 100);
}

// Takes locks in ways the compile-time analysis rejects on purpose: the
// run-time check must catch them.
void TakeLocksBadly(std::atomic<int>& violations) NO_THREAD_SAFETY_ANALYSIS {
  CSLock first;
  CSLock second;
  {
    Guard<CSLock> a(first);
    Guard<CSLock> again(first);  // re-entering the lock one holds is fine
    EXPECT_EQ(violations.load(), 0);
    Guard<CSLock> b(second);
    EXPECT_EQ(violations.load(), 1);
  }
  {
    Guard<CSLock> a(first);
    lock_discipline::CheckNoLockHeld("directory read");
    EXPECT_EQ(violations.load(), 2);
  }
  lock_discipline::CheckNoLockHeld("directory read");
  EXPECT_EQ(violations.load(), 2);
}

std::atomic<int> g_violations{0};

TEST(LockDiscipline, SecondModuleLockAndReadsUnderALockAreReported) {
  if (!lock_discipline::kEnabled) GTEST_SKIP() << "lock checks are compiled in debug and sanitizer builds only";
  auto previous = lock_discipline::SetViolationHandler([](const char*) { g_violations.fetch_add(1); });
  TakeLocksBadly(g_violations);
  lock_discipline::SetViolationHandler(previous);
}

}  // namespace
