// Records of the sample directory (testdata/sample.ldif) as the directory
// library reads them, for the tests of its LDAP backends on every system.
#ifndef USERPOLICY_TESTS_SUPPORT_SAMPLE_RECORDS_H_
#define USERPOLICY_TESTS_SUPPORT_SAMPLE_RECORDS_H_

#include <string>
#include <vector>

#include "platform/ldap_api.h"

namespace userpolicy::testing {

inline constexpr wchar_t kSampleAliceDn[] = L"cn=Alice Anderson,ou=People,dc=example,dc=test";

// The attributes SampleAliceValues answers, in an order unlike the
// server's, one of them in another case.
std::vector<std::wstring> SampleAliceAttributes();

// Alice read with SampleAliceAttributes, as DumpValues shows it: the
// server's order (as stored, the operational memberOf last), names as
// asked, typed from the schema; distinguishedName, which slapd does not
// store, comes last.
std::vector<std::string> SampleAliceValues();

// `count` base reads of objectGUID cycling through Alice, a group, and an
// entry that does not exist (every third, from the third on).
std::vector<platform::ldap::SearchRequest> EveryThirdMissingReads(size_t count);

// Checks that outcomes[i] answers reads[i] of EveryThirdMissingReads: no
// such object and no entry for every third, else success and the one entry
// asked for.
void ExpectEveryThirdMissingAnswered(const std::vector<platform::ldap::SearchRequest>& reads,
                                     const std::vector<platform::ldap::SearchOutcome>& outcomes);

}  // namespace userpolicy::testing

#endif  // USERPOLICY_TESTS_SUPPORT_SAMPLE_RECORDS_H_
