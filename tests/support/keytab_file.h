// Keytab files for tests of the Kerberos settings that need no KDC: each
// principal gets one AES-256 key of random bytes (which no KDC knows).
#ifndef USERPOLICY_TESTS_SUPPORT_KEYTAB_FILE_H_
#define USERPOLICY_TESTS_SUPPORT_KEYTAB_FILE_H_

#include <string>
#include <vector>

namespace userpolicy::testing {

// Writes the keytab `path` (mode 0600) with a key of each of `principals`
// ("name@REALM"), in order. Throws std::runtime_error on failure.
void WriteKeytab(const std::string& path, const std::vector<std::string>& principals);

// The key bytes of every entry of the keytab `path`, for checks that none
// of them leaks. Throws std::runtime_error when it cannot be read.
std::vector<std::string> KeytabKeys(const std::string& path);

}  // namespace userpolicy::testing

#endif  // USERPOLICY_TESTS_SUPPORT_KEYTAB_FILE_H_
