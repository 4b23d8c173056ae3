// From IPC_SERVER_Init to IPC_SERVER_Deinit against a real slapd holding the
// sample directory: every sample user's GUID list and e-mail address equal
// what the directory itself says, worked out here from ldapsearch output
// with a walk of our own, and the counters of a cold and a warm pass.
#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "module/module_entry.h"
#include "perf/ds_access_perf_object.h"
#include "platform/crt.h"
#include "resolve/policy_filter_ds_access_helper.h"
#include "resolve/proxy_address_ds_access_helper.h"
#include "tests/support/directory_truth.h"
#include "tests/support/scoped_settings_file.h"
#include "tests/support/slapd_server.h"

namespace {

using userpolicy::testing::DirectoryTruth;
using userpolicy::testing::ParseLdif;
using userpolicy::testing::ScopedSettingsFile;
using userpolicy::testing::SlapdServer;

constexpr char kSipAttribute[] = "msRTCSIP-PrimaryUserAddress";

class EndToEnd : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = SlapdServer::Start().release(); }
  static void TearDownTestSuite() { delete server_; }

  void SetUp() override {
    settings_ = std::make_unique<ScopedSettingsFile>(userpolicy::testing::DirectorySettings(
        server_->host_port(), server_->service_dn(), server_->service_password_file()));
  }

  static std::vector<std::string> SipAddresses() {
    std::vector<std::string> sips;
    for (const auto& entry : ParseLdif(
             server_->Search(server_->base_dn(), "(" + std::string(kSipAttribute) + "=*)", {kSipAttribute}))) {
      for (const std::string& sip : entry.Get(kSipAttribute)) sips.push_back(sip);
    }
    return sips;
  }

  static SlapdServer* server_;
  std::unique_ptr<ScopedSettingsFile> settings_;
};

SlapdServer* EndToEnd::server_ = nullptr;

TEST_F(EndToEnd, EverySampleUserResolvesAsTheDirectorySays) {
  ASSERT_EQ(IPC_SERVER_Init(), 0);
  const std::vector<std::string> sips = SipAddresses();
  ASSERT_GE(sips.size(), 5u);
  const DirectoryTruth truth(
      [](const std::string& base, const std::string& filter, const std::vector<std::string>& attributes,
         const std::string& scope) { return server_->Search(base, filter, attributes, scope); },
      server_->base_dn());
  userpolicy::testing::ExpectLibraryAgreesWithDirectory(truth, sips);
  EXPECT_EQ(IPC_SERVER_Deinit(), 0);
}

TEST_F(EndToEnd, ColdThenWarmPassCountsDirectoryThenCacheAnswers) {
  ASSERT_EQ(IPC_SERVER_Init(), 0);
  ASSERT_NE(g_pDSAccessPerfObject, nullptr);
  const std::vector<std::string> sips = SipAddresses();
  auto pass = [&] {
    for (const std::string& sip : sips) {
      const std::wstring key = platform::Utf8ToWide(sip);
      std::vector<_bstr_t> guids;
      CPolicyFilterDSAccessHelper::GetUserIdentityAndMembershipGuids(key.c_str(), guids);
    }
  };
  pass();
  const CDSAccessPerfObject cold = *g_pDSAccessPerfObject;
  EXPECT_EQ(cold.m_nUserDSAccess, sips.size());  // one read per address, found or not
  EXPECT_EQ(cold.m_nUserCacheAccess, 0u);
  EXPECT_GT(cold.m_nNGroupDSAccess, 0u);
  EXPECT_EQ(cold.m_nTotalDSAccess, cold.m_nUserDSAccess + cold.m_nPGroupDSAccess + cold.m_nNGroupDSAccess);
  EXPECT_EQ(cold.m_nTotalCacheAccess,
            cold.m_nUserCacheAccess + cold.m_nPGroupCacheAccess + cold.m_nNGroupCacheAccess);
  pass();
  const CDSAccessPerfObject warm = *g_pDSAccessPerfObject;
  // Nothing new was read: every lookup of the second pass hit a cache.
  EXPECT_EQ(warm.m_nTotalDSAccess, cold.m_nTotalDSAccess);
  EXPECT_EQ(warm.m_nTotalCacheAccess - cold.m_nTotalCacheAccess,
            cold.m_nTotalDSAccess + cold.m_nTotalCacheAccess);
  EXPECT_EQ(warm.m_nUserCacheAccess, sips.size());
  EXPECT_EQ(IPC_SERVER_Deinit(), 0);
}

}  // namespace
