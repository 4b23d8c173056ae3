// The cached lookup against the in-memory directory: key normalisation and
// escaping, the four lookup types, what is and is not cached, single flight
// with exact read counts, and the late-waiter race forced deterministically.
#include <atomic>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "dsobject/user_policy_manager_exception.h"
#include "manager/cs_lock.h"
#include "manager/global_catalog_path.h"
#include "manager/in_flight_table.h"
#include "manager/lookup_key.h"
#include "manager/user_policy_manager.h"
#include "module/directory_queries.h"
#include "platform/clock_testing.h"
#include "platform/crt.h"
#include "platform/directory/directory_backend.h"
#include "platform/directory/directory_error.h"
#include "platform/directory/memory_directory.h"
#include "platform/log_testing.h"

namespace {

using directory::MemoryDirectory;
using directory::MemoryObject;

constexpr wchar_t kGlobalCatalog[] = L"GC://127.0.0.1:3268";
const std::vector<uint8_t> kAliceGuid = {0xd4, 0xc3, 0xb0, 0x6b, 0x1e, 0x2a, 0x4f, 0x4c,
                                         0x9b, 0x7e, 0x5d, 0x2c, 0x1a, 0x0f, 0x9e, 0x8d};
const std::vector<uint8_t> kGroupGuid = {0xba, 0x7a, 0x96, 0xbf, 0xe6, 0x0d, 0xd0, 0x11,
                                         0xa2, 0x85, 0x00, 0xaa, 0x00, 0x30, 0x49, 0xe2};
// S-1-5-21-1004336348-1177238915-682003330-1104
const std::vector<uint8_t> kAliceSid = {0x01, 0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x15, 0x00,
                                        0x00, 0x00, 0xdc, 0xf4, 0xdc, 0x3b, 0x83, 0x3d, 0x2b, 0x46,
                                        0x82, 0x8b, 0xa6, 0x28, 0x50, 0x04, 0x00, 0x00};

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
    wcsncpy(g_wszGlobalCatalogPath, kGlobalCatalog, kGlobalCatalogPathLength);
    directory_.AddObject(MemoryObject(L"CN=Alice Anderson,OU=People,DC=example,DC=test")
                             .AddStrings(L"objectClass", {L"top", L"person", L"user"})
                             .AddString(L"objectCategory", L"person")
                             .AddString(L"msRTCSIP-PrimaryUserAddress", L"sip:alice@example.test")
                             .AddBinary(L"objectGUID", kAliceGuid)
                             .AddString(L"name", L"Alice Anderson")
                             .AddStrings(L"memberOf", {L"CN=A/B,OU=Groups,DC=example,DC=test",
                                                       L"CN=Engineering,OU=Groups,DC=example,DC=test"})
                             .AddInteger(L"primaryGroupID", 513)
                             .AddBinary(L"objectSid", kAliceSid)
                             .AddStrings(L"proxyAddresses", {L"SMTP:alice@example.test", L"sip:alice@example.test"})
                             .AddString(L"mail", L"alice@example.test"));
    directory_.AddObject(MemoryObject(L"CN=A\\2fB,OU=Groups,DC=example,DC=test")
                             .AddStrings(L"objectClass", {L"top", L"group"})
                             .AddBinary(L"objectGUID", kGroupGuid)
                             .AddInteger(L"groupType", -2147483646));
  }
  void TearDown() override {
    in_flight_testing::SetBeforeWaitHook(nullptr);
    in_flight_testing::SetFailEventCreation(false);
  }

  CUserPolicyManager UserManager(int maximum = 1000) {
    return CUserPolicyManager(kUserFilter, kUserAttributes, 8, true, 3600, maximum);
  }

  MemoryDirectory directory_;
  directory::testing::ScopedBackend backend_{&directory_};
  platform::testing::ScopedFakeClock clock_{1700000000};
};

TEST_F(UserPolicyManagerTest, UserSearchConvertsGuidAndSidAndKeepsOtherValues) {
  CUserPolicyManager manager = UserManager();
  bool fetched = false;
  CDSObjectInfo user = manager.GetDSObjectInfo(L"sip:alice@example.test", fetched);
  EXPECT_TRUE(fetched);
  CDSObjectProperty guid = user.GetProperty(L"objectGUID");
  ASSERT_EQ(guid.GetValueCount(), 1);
  EXPECT_EQ(guid.GetValue(0).vt, VT_BSTR);
  EXPECT_STREQ(guid.GetValue(0).bstrVal, L"d4c3b06b1e2a4f4c9b7e5d2c1a0f9e8d");
  CDSObjectProperty sid = user.GetProperty(L"objectSid");
  ASSERT_EQ(sid.GetValueCount(), 1);
  EXPECT_STREQ(sid.GetValue(0).bstrVal, L"S-1-5-21-1004336348-1177238915-682003330-1104");
  EXPECT_EQ(user.GetProperty(L"memberOf").GetValueCount(), 2);
  EXPECT_EQ(user.GetProperty(L"primaryGroupID").GetValue(0).vt, VT_I4);
  EXPECT_EQ(user.GetProperty(L"primaryGroupID").GetValue(0).lVal, 513);
  // The search went out with the key upper-cased and escaped.
  EXPECT_EQ(directory_.ReadCount(UserFilterFor(L"SIP:ALICE@EXAMPLE.TEST")), 1);
}

TEST_F(UserPolicyManagerTest, KeysDifferingInCaseShareOneEntryAndOneRead) {
  CUserPolicyManager manager = UserManager();
  bool fetched = false;
  manager.GetDSObjectInfo(L"sip:alice@example.test", fetched);
  EXPECT_TRUE(fetched);
  CDSObjectInfo again = manager.GetDSObjectInfo(L"SIP:Alice@Example.TEST", fetched);
  EXPECT_FALSE(fetched);
  EXPECT_EQ(again.GetProperty(L"name").GetValueCount(), 1);
  EXPECT_EQ(directory_.TotalCalls(), 1);
}

TEST_F(UserPolicyManagerTest, LongKeysAreCutTo519CharactersUpperCased) {
  CUserPolicyManager manager = UserManager();
  const std::wstring key(600, L'k');
  bool fetched = false;
  CDSObjectInfo record = manager.GetDSObjectInfo(key.c_str(), fetched);
  EXPECT_TRUE(fetched);
  EXPECT_EQ(record.GetPropertyCount(), 0);  // nothing matches: an empty record, found
  const std::wstring cut(kKeyBufferLength - 1, L'K');
  EXPECT_EQ(NormaliseKey(key.c_str()), cut);
  // A different key with the same first 519 characters is the same entry.
  const std::wstring other = cut + L"other-tail";
  manager.GetDSObjectInfo(other.c_str(), fetched);
  EXPECT_FALSE(fetched);
  EXPECT_EQ(directory_.TotalCalls(), 1);
}

TEST_F(UserPolicyManagerTest, FilterValuesAreEscapedOnlyWhenTheManagerSaysSo) {
  struct Case {
    const wchar_t* key;
    const wchar_t* in_filter;
  } cases[] = {
      {L"A*(B)\\C/D", L"A\\2A\\28B\\29\\5CC\\2fD"},  // every metacharacter
      {L"x\\2a", L"X\\5C2A"},                           // already-escaped text is escaped again
      {L"abc\\", L"ABC\\5C"},                           // a backslash at the end
      {L"*", L"\\2A"},
      {L"plain", L"PLAIN"},
  };
  CUserPolicyManager escaping = UserManager();
  CUserPolicyManager verbatim(kGroupBySidFilter, kGroupAttributes, 4, false, 86400, 50);
  for (const Case& c : cases) {
    bool fetched = false;
    escaping.GetDSObjectInfo(c.key, fetched);
    EXPECT_EQ(directory_.ReadCount(UserFilterFor(c.in_filter)), 1) << c.key;
    // Unescaped metacharacters make a malformed filter: the directory says so.
    ErrorCodeOf([&] { verbatim.GetDSObjectInfo(c.key, fetched); });
    const std::wstring upper = NormaliseKey(c.key);
    EXPECT_EQ(directory_.ReadCount(L"(&(objectClass=group)(objectSid=" + upper + L"))"), 1) << c.key;
  }
}

TEST_F(UserPolicyManagerTest, EscapeSlashesReplacesEverySlash) {
  struct Case {
    const wchar_t* text;
    size_t length;
    const wchar_t* expected;
  } cases[] = {{L"CN=A/B,DC=x", 11, L"CN=A\\2fB,DC=x"}, {L"//", 2, L"\\2f\\2f"}, {L"a/b", 1, L"a"}, {L"", 0, L""}};
  for (const Case& c : cases) {
    OS::x_wstring out(L"previous");
    EscapeSlashes(c.text, c.length, out);
    EXPECT_STREQ(out.c_str(), c.expected) << c.text;
  }
  OS::x_wstring untouched(L"previous");
  EscapeSlashes(nullptr, 3, untouched);
  EXPECT_STREQ(untouched.c_str(), L"");
}

TEST_F(UserPolicyManagerTest, BindByDistinguishedNameEscapesSlashesUnderTheGlobalCatalog) {
  CUserPolicyManager groups(kLookupBindDistinguishedName, kGroupAttributes, 4, 3600, 1000);
  bool fetched = false;
  CDSObjectInfo group = groups.GetDSObjectInfo(L"CN=A/B,OU=Groups,DC=example,DC=test", fetched);
  EXPECT_TRUE(fetched);
  EXPECT_STREQ(group.GetProperty(L"objectGUID").GetValue(0).bstrVal, L"ba7a96bfe60dd011a28500aa003049e2");
  EXPECT_EQ(group.GetProperty(L"groupType").GetValue(0).lVal, -2147483646);
  EXPECT_EQ(directory_.ReadCount(L"CN=A\\2fB,OU=GROUPS,DC=EXAMPLE,DC=TEST"), 1);
  groups.GetDSObjectInfo(L"cn=a/b,ou=groups,dc=example,dc=test", fetched);
  EXPECT_FALSE(fetched);
}

TEST_F(UserPolicyManagerTest, BindByGuidFormatsAGuidPath) {
  CUserPolicyManager by_guid(kLookupBindGuid, kGroupAttributes, 4, 3600, 1000);
  bool fetched = false;
  CDSObjectInfo group = by_guid.GetDSObjectInfo(L"ba7a96bfe60dd011a28500aa003049e2", fetched);
  EXPECT_TRUE(fetched);
  EXPECT_STREQ(group.GetProperty(L"distinguishedName").GetValue(0).bstrVal,
               L"CN=A\\2fB,OU=Groups,DC=example,DC=test");
}

TEST_F(UserPolicyManagerTest, AnObjectThatIsNotThereRaisesTheLibrarysErrorAndIsNotCached) {
  CUserPolicyManager groups(kLookupBindDistinguishedName, kGroupAttributes, 4, 3600, 1000);
  bool fetched = false;
  EXPECT_EQ(ErrorCodeOf([&] { groups.GetDSObjectInfo(L"CN=Nobody,DC=example,DC=test", fetched); }),
            kDirectoryNotFound);
  EXPECT_EQ(ErrorCodeOf([&] { groups.GetDSObjectInfo(L"CN=Nobody,DC=example,DC=test", fetched); }),
            kDirectoryNotFound);
  EXPECT_EQ(directory_.TotalCalls(), 2);
}

TEST_F(UserPolicyManagerTest, InvalidLookupTypeFailsEveryMissAndNullKeysAreRefused) {
  CUserPolicyManager invalid(7, kGroupAttributes, 4, 3600, 1000);
  bool fetched = false;
  EXPECT_EQ(ErrorCodeOf([&] { invalid.GetDSObjectInfo(L"anything", fetched); }),
            EX_USER_POLICY_MGR_INVALID_LOOKUP_TYPE);
  EXPECT_EQ(ErrorCodeOf([&] { invalid.GetDSObjectInfo(L"anything", fetched); }),
            EX_USER_POLICY_MGR_INVALID_LOOKUP_TYPE);
  EXPECT_EQ(ErrorCodeOf([&] { invalid.GetDSObjectInfo(nullptr, fetched); }), EX_USER_POLICY_MGR_NULL_KEY);
  EXPECT_EQ(directory_.TotalCalls(), 0);
}

TEST_F(UserPolicyManagerTest, EmptyResultsAreCachedFailuresAreNot) {
  CUserPolicyManager manager = UserManager();
  bool fetched = false;
  CDSObjectInfo nobody = manager.GetDSObjectInfo(L"sip:nobody@example.test", fetched);
  EXPECT_TRUE(fetched);
  EXPECT_EQ(nobody.GetPropertyCount(), 0);
  manager.GetDSObjectInfo(L"sip:nobody@example.test", fetched);
  EXPECT_FALSE(fetched);

  directory_.FailNthCall(1, kDirectoryServerDown);
  EXPECT_EQ(ErrorCodeOf([&] { manager.GetDSObjectInfo(L"sip:alice@example.test", fetched); }),
            kDirectoryServerDown);
  manager.GetDSObjectInfo(L"sip:alice@example.test", fetched);
  EXPECT_TRUE(fetched);
  EXPECT_EQ(directory_.TotalCalls(), 3);
}

TEST_F(UserPolicyManagerTest, CacheTimeoutAndMaximumComeFromTheConstructor) {
  CUserPolicyManager manager(kUserFilter, kUserAttributes, 8, true, 60, 1000);
  bool fetched = false;
  manager.GetDSObjectInfo(L"sip:alice@example.test", fetched);
  clock_.Advance(59);
  manager.GetDSObjectInfo(L"sip:alice@example.test", fetched);
  EXPECT_FALSE(fetched);
  clock_.Advance(1);
  manager.GetDSObjectInfo(L"sip:alice@example.test", fetched);
  EXPECT_TRUE(fetched);

  CUserPolicyManager evicting = UserManager(-1);  // evicts on every operation
  evicting.GetDSObjectInfo(L"sip:alice@example.test", fetched);
  evicting.GetDSObjectInfo(L"sip:alice@example.test", fetched);
  EXPECT_TRUE(fetched);
}

// Single flight -----------------------------------------------------------------

struct Outcome {
  bool fetched = false;
  int error = 0;
  CDSObjectInfo record;
};

// Starts `threads` lookups of `key` while reads are blocked, waits until the
// first read is parked and every other caller had time to find the key in
// flight, then releases the read.
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

TEST_F(UserPolicyManagerTest, ManyThreadsOnOneColdKeyCauseOneRead) {
  CUserPolicyManager manager = UserManager();
  std::vector<Outcome> outcomes = LookUpTogether(manager, directory_, L"sip:alice@example.test", 16);
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
  std::vector<Outcome> outcomes = LookUpTogether(manager, directory_, L"sip:alice@example.test", 8);
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
  manager.GetDSObjectInfo(L"sip:alice@example.test", fetched);
  EXPECT_TRUE(fetched);
}

TEST_F(UserPolicyManagerTest, WaitersWithoutAnEventReportNotFoundWithTheKeyAsPassed) {
  CUserPolicyManager manager = UserManager();
  in_flight_testing::SetFailEventCreation(true);
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
  EXPECT_TRUE(log.Contains(DBG::kLevelEnter, "_SyncGetDSObjectInfo(SIP:ALICE@EXAMPLE.TEST) type=0"));
  EXPECT_TRUE(log.Contains(DBG::kLevelLeave, "_SyncGetDSObjectInfo(), Result=1"));
  EXPECT_TRUE(log.Contains(DBG::kLevelLeave, "_SyncGetDSObjectInfo(), Result=0"));
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
  constexpr int kRounds = 100;
  for (int round = 0; round < kRounds; ++round) {
    CUserPolicyManager manager = UserManager();
    std::promise<void> done;
    LateWaiterScene scene{&directory_, done.get_future().share()};
    g_scene = &scene;
    in_flight_testing::SetBeforeWaitHook(&EndTheFetchBeforeTheWait);

    directory_.BlockReads();
    Outcome fetcher_outcome;
    std::thread fetcher([&] {
      fetcher_outcome.record = manager.GetDSObjectInfo(L"sip:alice@example.test", fetcher_outcome.fetched);
      done.set_value();
    });
    ASSERT_TRUE(directory_.WaitUntilBlocked(1));
    Outcome waiter_outcome;
    waiter_outcome.record = manager.GetDSObjectInfo(L"sip:alice@example.test", waiter_outcome.fetched);
    fetcher.join();
    in_flight_testing::SetBeforeWaitHook(nullptr);

    EXPECT_TRUE(fetcher_outcome.fetched);
    EXPECT_FALSE(waiter_outcome.fetched);
    EXPECT_EQ(waiter_outcome.record.GetPropertyCount(), 8);
    directory_.ResetCounts();
  }
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
