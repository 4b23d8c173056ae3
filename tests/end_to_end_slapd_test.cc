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
#include "tests/support/scoped_settings_file.h"
#include "tests/support/slapd_server.h"

namespace {

using userpolicy::testing::LdifEntry;
using userpolicy::testing::ParseLdif;
using userpolicy::testing::ScopedSettingsFile;
using userpolicy::testing::SlapdServer;

constexpr char kSipAttribute[] = "msRTCSIP-PrimaryUserAddress";

std::string Hex(const std::string& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : bytes) {
    hex += kDigits[c >> 4];
    hex += kDigits[c & 0x0f];
  }
  return hex;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// What the directory says, read with ldapsearch only.
class DirectoryTruth {
 public:
  explicit DirectoryTruth(const SlapdServer& server) : server_(server) {}

  const LdifEntry* User(const std::string& sip) {
    // The module's own user filter: people and contacts only.
    const std::string filter =
        "(&(|(&(objectClass=user)(objectCategory=person))(&(objectClass=contact)(objectCategory=person)))(" +
        std::string(kSipAttribute) + "=" + sip + "))";
    users_ = ParseLdif(server_.Search(server_.base_dn(), filter,
                                      {"objectGUID", "objectSid", "primaryGroupID", "memberOf", "proxyAddresses",
                                       "mail"}));
    return users_.size() == 1 ? &users_[0] : nullptr;
  }

  // The GUID list: user, primary group, then the depth-first walk of the
  // primary group's memberOf and the user's, each group once.
  std::vector<std::string> Guids(const LdifEntry& user) {
    std::vector<std::string> guids;
    guids.push_back(Hex(user.Get("objectGUID").at(0)));
    std::vector<std::string> primary_member_of;
    const auto sid = user.Get("objectSid");
    const auto group_id = user.Get("primaryGroupID");
    if (!sid.empty() && !group_id.empty()) {
      std::string group_sid = sid[0].substr(0, sid[0].size() - 4);
      const uint32_t rid = static_cast<uint32_t>(std::stoul(group_id[0]));
      for (int i = 0; i < 4; ++i) group_sid += static_cast<char>((rid >> (8 * i)) & 0xff);
      std::string filter = "(&(objectClass=group)(objectSid=";
      for (unsigned char c : group_sid) {
        static constexpr char kDigits[] = "0123456789abcdef";
        filter += '\\';
        filter += kDigits[c >> 4];
        filter += kDigits[c & 0x0f];
      }
      filter += "))";
      const auto groups = ParseLdif(server_.Search(server_.base_dn(), filter, {"objectGUID", "memberOf"}));
      if (groups.size() == 1) {
        guids.push_back(Hex(groups[0].Get("objectGUID").at(0)));
        primary_member_of = groups[0].Get("memberOf");
      }
    }
    for (const std::string& dn : primary_member_of) Walk(dn, &guids);
    for (const std::string& dn : user.Get("memberOf")) Walk(dn, &guids);
    return guids;
  }

  // The e-mail address: the first primary SMTP: value, else the first other
  // smtp: value, else the first mail value.
  static std::string Email(const LdifEntry& user) {
    std::string secondary;
    for (const std::string& value : user.Get("proxyAddresses")) {
      if (value.size() <= 5) continue;
      if (value.compare(0, 5, "SMTP:") == 0) return value.substr(5);
      if (secondary.empty() && Lower(value.substr(0, 5)) == "smtp:") secondary = value.substr(5);
    }
    if (!secondary.empty()) return secondary;
    const auto mail = user.Get("mail");
    return mail.empty() ? std::string() : mail[0];
  }

 private:
  void Walk(const std::string& dn, std::vector<std::string>* guids) {
    const auto group = ParseLdif(server_.Search(dn, "(objectClass=*)", {"objectGUID", "memberOf"}, "base")).at(0);
    const std::string guid = Hex(group.Get("objectGUID").at(0));
    if (std::find(guids->begin(), guids->end(), guid) != guids->end()) return;
    guids->push_back(guid);
    for (const std::string& parent : group.Get("memberOf")) Walk(parent, guids);
  }

  const SlapdServer& server_;
  std::vector<LdifEntry> users_;
};

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
  DirectoryTruth truth(*server_);
  const std::vector<std::string> sips = SipAddresses();
  ASSERT_GE(sips.size(), 5u);
  for (const std::string& sip : sips) {
    SCOPED_TRACE(sip);
    const LdifEntry* user = truth.User(sip);  // null: not a person or contact
    const std::wstring key = platform::Utf8ToWide(sip);

    std::vector<_bstr_t> guids;
    EXPECT_TRUE(CPolicyFilterDSAccessHelper::GetUserIdentityAndMembershipGuids(key.c_str(), guids));
    std::vector<std::string> got;
    for (const _bstr_t& guid : guids) got.push_back(platform::WideToUtf8(static_cast<const wchar_t*>(guid)));
    EXPECT_EQ(got, user != nullptr ? truth.Guids(*user) : std::vector<std::string>{});

    wchar_t email[256];
    std::fill(std::begin(email), std::end(email), L'#');
    const long hr = CProxyAddressDSAccessHelper::GetEMailAddressBySipAddress(key.c_str(), email, 256);
    const std::string expected_email = user != nullptr ? DirectoryTruth::Email(*user) : std::string();
    if (expected_email.empty()) {
      EXPECT_EQ(hr, E_FAIL);
      EXPECT_EQ(email[0], L'#');
    } else {
      EXPECT_EQ(hr, S_OK);
      EXPECT_EQ(platform::WideToUtf8(email), expected_email);
    }
  }
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
