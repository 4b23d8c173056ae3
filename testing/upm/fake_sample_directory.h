// A small directory in the test double (fake_userpolicy.h), shaped like
// testdata/sample.ldif: a chain, a diamond, a cycle, a group that is its
// own member, a primary group that is also in memberOf, a contact without
// a primary group, groups without a GUID, a self-cycle of such a group, a
// group whose GUID is spelled in two letter cases, and a group whose
// lookup fails. The users' expected GUID lists are worked out by hand in
// fake_sample_directory.cc, next to the data.
#ifndef USERPOLICY_TESTING_UPM_FAKE_SAMPLE_DIRECTORY_H_
#define USERPOLICY_TESTING_UPM_FAKE_SAMPLE_DIRECTORY_H_

#include <string>
#include <vector>

namespace upm_fake {

inline constexpr char kDomainSid[] = "S-1-5-21-1004336348-1177238915-682003330";

struct SampleUser {
  std::string sip;
  std::vector<std::string> guids;  // as up_get_guids would list them
  std::string email;               // "" when none
  bool walk_fails = false;         // a group lookup on its walk fails
};

// Resets the fake and loads the directory: records for the three managers,
// and the users' GUID lists and e-mail addresses for up_get_guids and
// up_get_email. Returns the users.
std::vector<SampleUser> LoadSampleDirectory();

// The GUID of the sample entry with the two leading bytes `hex4`
// ("1203" gives "12030000000000000000000000000000").
std::string SampleGuid(const std::string& hex4);

// The DN of the sample group `cn`.
std::string GroupDn(const std::string& cn);

}  // namespace upm_fake

#endif  // USERPOLICY_TESTING_UPM_FAKE_SAMPLE_DIRECTORY_H_
