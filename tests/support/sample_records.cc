#include "tests/support/sample_records.h"

#include <gtest/gtest.h>

#include "platform/ascii.h"
#include "platform/utf8.h"

namespace userpolicy::testing {

std::vector<std::wstring> SampleAliceAttributes() {
  return {L"objectGUID", L"name",      L"distinguishedName", L"memberOf",
          L"PrimaryGroupID", L"objectSid", L"proxyAddresses", L"MAIL"};
}

std::vector<std::string> SampleAliceValues() {
  return {"name BSTR:Alice Anderson",
          "objectGUID BYTES:01010000000000000000000000000000",
          "objectSid BYTES:010500000000000515000000dcf4dc3b833d2b46828ba6284d040000",
          "PrimaryGroupID I4:513",
          "MAIL BSTR:alice@example.test",
          "proxyAddresses BSTR:SMTP:alice@example.test",
          "proxyAddresses BSTR:smtp:alice.anderson@example.test",
          "proxyAddresses BSTR:smtp:aa@example.test",
          "proxyAddresses BSTR:SIP:alice@example.test",
          "proxyAddresses BSTR:X500:/o=Example/ou=First Administrative Group/cn=Recipients/cn=alice",
          "memberOf BSTR:cn=Engineering Backend,ou=Groups,dc=example,dc=test",
          "distinguishedName BSTR:" + platform::WideToUtf8(kSampleAliceDn)};
}

std::vector<platform::ldap::SearchRequest> EveryThirdMissingReads(size_t count) {
  const std::wstring dns[] = {kSampleAliceDn, L"cn=Engineering,ou=Groups,dc=example,dc=test",
                              L"cn=Nobody,ou=People,dc=example,dc=test"};
  std::vector<platform::ldap::SearchRequest> requests;
  for (size_t i = 0; i < count; ++i) {
    platform::ldap::SearchRequest request;
    request.base = platform::WideToUtf8(dns[i % 3]);
    request.attributes = {"objectGUID"};
    requests.push_back(request);
  }
  return requests;
}

void ExpectEveryThirdMissingAnswered(const std::vector<platform::ldap::SearchRequest>& reads,
                                     const std::vector<platform::ldap::SearchOutcome>& outcomes) {
  ASSERT_EQ(outcomes.size(), reads.size());
  for (size_t i = 0; i < outcomes.size(); ++i) {
    const platform::ldap::SearchOutcome& outcome = outcomes[i];
    if (i % 3 == 2) {
      EXPECT_EQ(outcome.status.code, platform::ldap::kNoSuchObject) << i;
      EXPECT_TRUE(outcome.entries.empty()) << i;
    } else {
      ASSERT_TRUE(outcome.status.ok()) << i << " " << outcome.status.text;
      ASSERT_EQ(outcome.entries.size(), 1u) << i;
      EXPECT_TRUE(platform::EqualsIgnoringAsciiCase(outcome.entries.front().dn, reads[i].base)) << i;
    }
  }
}

}  // namespace userpolicy::testing
