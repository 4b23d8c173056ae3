// Start and stop of the module, its three managers and their settings, with
// the in-memory directory and the log captured.
#include <atomic>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "manager/global_catalog_path.h"
#include "manager/user_policy_manager.h"
#include "manager/user_policy_manager_impl.h"
#include "module/manager_factories.h"
#include "module/module_entry.h"
#include "perf/ds_access_perf_object.h"
#include "testing/perf_manager_faults.h"
#include "platform/directory/directory_backend.h"
#include "testing/memory_directory.h"
#include "platform/exception.h"
#include "testing/log_capture.h"
#include "tests/support/scoped_settings_file.h"

namespace {

using directory::MemoryDirectory;
using directory::MemoryObject;
using userpolicy::testing::ScopedSettingsFile;

// A manager's cache timeout and maximum.
using CacheSettings = std::pair<int, int>;

CacheSettings SettingsOf(const CUserPolicyManager& manager) {
  CDSObjectCache& cache = CUserPolicyManagerInspector::Impl(manager)->cache();
  return {cache.timeout_seconds(), cache.maximum()};
}

class ModuleLifecycle : public ::testing::Test {
 protected:
  void SetUp() override {
    directory_.AddObject(MemoryObject(L"CN=Alice,OU=People,DC=example,DC=test")
                             .AddStrings(L"objectClass", {L"top", L"person", L"user"})
                             .AddString(L"objectCategory", L"person")
                             .AddString(L"msRTCSIP-PrimaryUserAddress", L"sip:alice@example.test")
                             .AddString(L"mail", L"alice@example.test"));
  }
  void TearDown() override {
    IPC_SERVER_Deinit();
    DropRetiredManagers();
  }

  static bool LookUpAlice(bool* fetched) {
    CUserPolicyManager users = UserPolicy_GetUserIdentityManager();
    return users.GetDSObjectInfo(L"sip:alice@example.test", *fetched).GetPropertyCount() > 0;
  }

  MemoryDirectory directory_;
  directory::testing::ScopedBackend backend_{&directory_};
};

TEST_F(ModuleLifecycle, StartAndStopLogTheirLinesAndTheirPerformanceObjectMayBeRefused) {
  DBG::testing::ScopedLogCapture log(DBG::Severity::kTrace);
  ASSERT_EQ(IPC_SERVER_Init(), 0);
  EXPECT_STREQ(g_wszGlobalCatalogPath, L"GC://127.0.0.1:3268");
  EXPECT_NE(g_pDSAccessPerfObject, nullptr);
  ASSERT_EQ(IPC_SERVER_Deinit(), 0);
  EXPECT_EQ(g_pDSAccessPerfObject, nullptr);

  std::vector<std::pair<int, std::string>> lines;
  for (const DBG::LogRecord& record : log.Snapshot()) {
    if (record.source == "servUserPolicyManager") lines.emplace_back(record.level, record.message);
  }
  const std::vector<std::pair<int, std::string>> expected = {
      {DBG::kLevelEnter, "IPC_SERVER_Init()"},  {DBG::kLevelData, " == Global Catalog = GC://127.0.0.1:3268"},
      {DBG::kLevelLeave, "IPC_SERVER_Init()"},  {DBG::kLevelEnter, "IPC_SERVER_Deinit()"},
      {DBG::kLevelLeave, "IPC_SERVER_Deinit()"},
  };
  EXPECT_EQ(lines, expected);

  // A refused performance object is logged; the module starts without it
  // (and stops without releasing it).
  perf::testing::ScopedCreateFailure refuse(E_ACCESSDENIED);
  EXPECT_EQ(IPC_SERVER_Init(), 0);
  EXPECT_EQ(g_pDSAccessPerfObject, nullptr);
  EXPECT_TRUE(log.Contains(
      DBG::kLevelWarning,
      "CQuarnPerfMonManager::Instance()->CreateInstance(g_pDSAccessPerfObject) fail. hr = 0x80070005"));
  EXPECT_EQ(IPC_SERVER_Deinit(), 0);

  IPC_SERVER_Free(nullptr);
  IPC_SERVER_Free(new char[16]);  // ASan reports a mismatch or a leak otherwise
}

TEST_F(ModuleLifecycle, GlobalCatalogFromTheSecondDiscoveryOrNoneStillStarts) {
  directory_.SetRootGCPath(E_FAIL, L"");
  directory_.SetGCFromRootDSE(S_OK, L"GC://dc1.example.test:3268");
  EXPECT_EQ(IPC_SERVER_Init(), 0);
  EXPECT_STREQ(g_wszGlobalCatalogPath, L"GC://dc1.example.test:3268");
  EXPECT_EQ(IPC_SERVER_Deinit(), 0);

  directory_.SetGCFromRootDSE(E_FAIL, L"");
  DBG::testing::ScopedLogCapture log(DBG::Severity::kTrace);
  EXPECT_EQ(IPC_SERVER_Init(), 0);
  EXPECT_TRUE(log.Contains(DBG::kLevelFailure, "UserPolicyManagerInitialize fail. GC not available"));
  EXPECT_EQ(directory_.GCPathCalls(), 4);
  EXPECT_STREQ(g_wszGlobalCatalogPath, L"");  // not the path of the earlier start
  // The first factory call creates the manager later; with no Global
  // Catalog its lookups fail with the library's error, not a crash.
  bool fetched = false;
  EXPECT_THROW(LookUpAlice(&fetched), OS::CException);
}

TEST_F(ModuleLifecycle, RestartBuildsNewManagersWithEmptyCaches) {
  ASSERT_EQ(IPC_SERVER_Init(), 0);
  CUserPolicyManager before = UserPolicy_GetUserIdentityManager();
  bool fetched = false;
  LookUpAlice(&fetched);
  ASSERT_EQ(IPC_SERVER_Deinit(), 0);

  ASSERT_EQ(IPC_SERVER_Init(), 0);
  EXPECT_NE(CUserPolicyManagerInspector::Impl(UserPolicy_GetUserIdentityManager()),
            CUserPolicyManagerInspector::Impl(before));
  LookUpAlice(&fetched);
  EXPECT_TRUE(fetched);
  // A handle kept from before the stop still works, on its own cache.
  before.GetDSObjectInfo(L"sip:alice@example.test", fetched);
  EXPECT_FALSE(fetched);
}

TEST_F(ModuleLifecycle, FactoriesTakeOnlyThe32BitIntegerSettingsElseTheDefaults) {
  const std::pair<const char*, std::vector<CacheSettings>> cases[] = {
      {"# no table\n", {{3600, 1000}, {86400, 50}, {3600, 1000}}},
      {R"([QV_DSAccess.DEFAULT]
UserIdentityCacheTimeout = { type = "VT_UI4", value = 120 }
UserIdentityCacheMaximum = { type = "VT_UI4", value = 4294967295 }
PrimaryGroupCacheTimeout = { type = "VT_INT", value = 7 }
PrimaryGroupCacheMaximum = { type = "VT_UINT", value = 9 }
NestedGroupCacheTimeout = "600"
NestedGroupCacheMaximum = { type = "VT_I2", value = 5 }
)",
       {{120, -1}, {7, 9}, {3600, 1000}}},
  };
  for (const auto& [text, expected] : cases) {
    ScopedSettingsFile settings(text);
    ReleaseManagers();
    const std::vector<CacheSettings> got = {SettingsOf(UserPolicy_GetUserIdentityManager()),
                                            SettingsOf(UserPolicy_GetPrimaryGroupIDTOGroupManager()),
                                            SettingsOf(UserPolicy_GetGroupMemeberShipManager())};
    EXPECT_EQ(got, expected) << text;
  }
}

TEST_F(ModuleLifecycle, WaitersShareFetchFailuresOnlyWhereTheSettingsSaySo) {
  const std::pair<const char*, bool> cases[] = {
      {"# no table\n", false},
      {"[QV_DSAccess.DEFAULT]\nShareFetchFailuresWithWaiters = false\n", false},
      {"[QV_DSAccess.DEFAULT]\nShareFetchFailuresWithWaiters = true\n", true},
      {"[QV_DSAccess.DEFAULT]\nShareFetchFailuresWithWaiters = 1\n", true},
  };
  for (const auto& [text, expected] : cases) {
    ScopedSettingsFile settings(text);
    ReleaseManagers();
    for (const CUserPolicyManager& manager : {UserPolicy_GetUserIdentityManager(),
                                              UserPolicy_GetPrimaryGroupIDTOGroupManager(),
                                              UserPolicy_GetGroupMemeberShipManager()}) {
      EXPECT_EQ(CUserPolicyManagerInspector::Impl(manager)->waiters_share_failures(), expected) << text;
    }
  }
}

TEST_F(ModuleLifecycle, TwoThreadsCreatingOneManagerShareIt) {
  for (int round = 0; round < 50; ++round) {
    ReleaseManagers();
    std::atomic<bool> go{false};
    CUserPolicyManagerImpl* seen[2] = {nullptr, nullptr};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
      threads.emplace_back([&, t] {
        while (!go.load()) std::this_thread::yield();
        CUserPolicyManager manager = UserPolicy_GetGroupMemeberShipManager();
        seen[t] = CUserPolicyManagerInspector::Impl(manager);
      });
    }
    go = true;
    for (auto& thread : threads) thread.join();
    ASSERT_NE(seen[0], nullptr);
    EXPECT_EQ(seen[0], seen[1]) << round;
  }
}

}  // namespace
