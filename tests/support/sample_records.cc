#include "tests/support/sample_records.h"

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

}  // namespace userpolicy::testing
