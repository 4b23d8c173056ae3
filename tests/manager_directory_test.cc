// The cached lookup against a real slapd holding the sample directory: one
// manager of each lookup type returns the right object with typed values, and
// the user lookup by SIP address agrees with ldapsearch on the same server.
#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "manager/global_catalog_path.h"
#include "manager/user_policy_manager.h"
#include "module/directory_queries.h"
#include "platform/crt.h"
#include "platform/directory.h"
#include "tests/support/directory_truth.h"
#include "tests/support/scoped_settings_file.h"
#include "tests/support/slapd_server.h"

namespace {

using userpolicy::testing::ParseLdif;
using userpolicy::testing::ScopedSettingsFile;
using userpolicy::testing::SlapdServer;


class ManagerDirectory : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server_ = SlapdServer::Start().release();
    settings_ = new ScopedSettingsFile(userpolicy::testing::DirectorySettings(
        server_->host_port(), server_->service_dn(), server_->service_password_file()));
    const std::wstring gc = L"GC://" + platform::Utf8ToWide(server_->host_port());
    wcsncpy(g_wszGlobalCatalogPath, gc.c_str(), kGlobalCatalogPathLength);
  }
  static void TearDownTestSuite() {
    delete settings_;
    delete server_;
  }

  static std::string Narrow(const wchar_t* text) { return platform::WideToUtf8(text ? text : L""); }

  static std::vector<std::string> Strings(CDSObjectInfo& record, const wchar_t* name) {
    std::vector<std::string> values;
    CDSObjectProperty property = record.GetProperty(name);
    for (int i = 0; i < property.GetValueCount(); ++i) {
      const _variant_t& value = property.GetValue(i);
      values.push_back(value.vt == VT_BSTR ? Narrow(value.bstrVal) : "<type " + std::to_string(value.vt) + ">");
    }
    return values;
  }

  static SlapdServer* server_;
  static ScopedSettingsFile* settings_;
};

SlapdServer* ManagerDirectory::server_ = nullptr;
ScopedSettingsFile* ManagerDirectory::settings_ = nullptr;

TEST_F(ManagerDirectory, UserBySipAddressAgreesWithLdapsearch) {
  CUserPolicyManager users(kUserFilter, kUserAttributes, 8, true, 3600, 1000);
  for (const char* sip : {"sip:alice@example.test", "sip:bob@example.test", "sip:heidi.hall@example.test"}) {
    bool fetched = false;
    const std::wstring key = platform::Utf8ToWide(sip);
    CDSObjectInfo user = users.GetDSObjectInfo(key.c_str(), fetched);
    EXPECT_TRUE(fetched) << sip;

    const std::string filter = platform::WideToUtf8(kUserFilter).replace(
        platform::WideToUtf8(kUserFilter).find("%s"), 2, sip);
    const auto entries = ParseLdif(server_->Search(server_->base_dn(), filter,
                                                   {"objectGUID", "memberOf", "primaryGroupID", "mail", "name"}));
    ASSERT_EQ(entries.size(), 1u) << sip;
    const auto& expected = entries[0];

    ASSERT_EQ(Strings(user, L"objectGUID").size(), 1u) << sip;
    EXPECT_EQ(Strings(user, L"objectGUID")[0], userpolicy::testing::DirectoryTruth::Hex(expected.Get("objectGUID").at(0))) << sip;
    std::vector<std::string> member_of = Strings(user, L"memberOf");
    std::vector<std::string> expected_member_of = expected.Get("memberOf");
    std::sort(member_of.begin(), member_of.end());
    std::sort(expected_member_of.begin(), expected_member_of.end());
    EXPECT_EQ(member_of, expected_member_of) << sip;
    EXPECT_EQ(Strings(user, L"name"), expected.Get("name")) << sip;
    EXPECT_EQ(Strings(user, L"mail"), expected.Get("mail")) << sip;
    EXPECT_EQ(Strings(user, L"distinguishedName"), std::vector<std::string>{expected.dn}) << sip;
    CDSObjectProperty group_id = user.GetProperty(L"primaryGroupID");
    ASSERT_EQ(group_id.GetValueCount(), 1) << sip;
    EXPECT_EQ(group_id.GetValue(0).vt, VT_I4);
    EXPECT_EQ(std::to_string(group_id.GetValue(0).lVal), expected.Get("primaryGroupID").at(0));
    ASSERT_EQ(Strings(user, L"objectSid").size(), 1u);
    EXPECT_EQ(Strings(user, L"objectSid")[0].rfind("S-1-5-21-", 0), 0u) << Strings(user, L"objectSid")[0];
  }
}

TEST_F(ManagerDirectory, PrimaryGroupBySidSearchString) {
  CUserPolicyManager users(kUserFilter, kUserAttributes, 8, true, 3600, 1000);
  CUserPolicyManager primary_groups(kGroupBySidFilter, kGroupAttributes, 4, false, 86400, 50);
  bool fetched = false;
  CDSObjectInfo alice = users.GetDSObjectInfo(L"sip:alice@example.test", fetched);
  const _variant_t& sid = alice.GetProperty(L"objectSid").GetValue(0);
  wchar_t key[520] = {};
  ASSERT_EQ(CDirectoryHelper::GetObjectSIDSearchStringByUserSIDAndPrimaryGroupID(
                sid.bstrVal, alice.GetProperty(L"primaryGroupID").GetValue(0).lVal, key, 520),
            S_OK);
  CDSObjectInfo group = primary_groups.GetDSObjectInfo(key, fetched);
  EXPECT_TRUE(fetched);
  EXPECT_EQ(Strings(group, L"distinguishedName"),
            std::vector<std::string>{"cn=Domain Users,ou=Groups,dc=example,dc=test"});
  EXPECT_EQ(group.GetProperty(L"groupType").GetValue(0).vt, VT_I4);
  primary_groups.GetDSObjectInfo(key, fetched);
  EXPECT_FALSE(fetched);
}

TEST_F(ManagerDirectory, GroupsByDistinguishedNameGuidAndBarePath) {
  const wchar_t kDn[] = L"cn=Sales/Marketing (EMEA),ou=Groups,dc=example,dc=test";
  CUserPolicyManager by_dn(kLookupBindDistinguishedName, kGroupAttributes, 4, 3600, 1000);
  bool fetched = false;
  CDSObjectInfo group = by_dn.GetDSObjectInfo(kDn, fetched);
  EXPECT_TRUE(fetched);
  ASSERT_EQ(Strings(group, L"objectGUID").size(), 1u);
  const std::string guid = Strings(group, L"objectGUID")[0];
  const std::string expected_guid = userpolicy::testing::DirectoryTruth::Hex(
      ParseLdif(server_->Search(platform::WideToUtf8(L"cn=Sales\\2fMarketing \\28EMEA\\29,ou=Groups,dc=example,dc=test"),
                                "(objectClass=*)", {"objectGUID"}, "base"))
          .at(0)
          .Get("objectGUID")
          .at(0));
  EXPECT_EQ(guid, expected_guid);

  // The GUID manager gets the key upper-cased; the hex still binds.
  CUserPolicyManager by_guid(kLookupBindGuid, kGroupAttributes, 4, 3600, 1000);
  CDSObjectInfo same = by_guid.GetDSObjectInfo(platform::Utf8ToWide(guid).c_str(), fetched);
  EXPECT_TRUE(fetched);
  EXPECT_EQ(Strings(same, L"objectGUID"), std::vector<std::string>{guid});

  // A bare path goes through the configured servers.
  CUserPolicyManager by_path(kLookupBindPath, kGroupAttributes, 4, 3600, 1000);
  CDSObjectInfo again = by_path.GetDSObjectInfo(kDn, fetched);
  EXPECT_EQ(Strings(again, L"objectGUID"), std::vector<std::string>{guid});
}

}  // namespace
