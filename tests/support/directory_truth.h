// What a directory says about a SIP user, worked out from ldapsearch output
// alone: the GUID list (user, primary group, then a depth-first walk of
// memberOf, each group once) and the e-mail address.  The end-to-end tests
// compare the library's answers with it.
#ifndef USERPOLICY_TESTS_SUPPORT_DIRECTORY_TRUTH_H_
#define USERPOLICY_TESTS_SUPPORT_DIRECTORY_TRUTH_H_

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "local_directories/directory_tools.h"

namespace userpolicy::testing {

// Runs one search (scope "base" or "sub") and returns ldapsearch's LDIF.
using LdapSearchFunction = std::function<std::string(const std::string& base, const std::string& filter,
                                                     const std::vector<std::string>& attributes,
                                                     const std::string& scope)>;

class DirectoryTruth {
 public:
  // Users are searched under `base`.
  DirectoryTruth(LdapSearchFunction search, std::string base);

  // The person or contact the library's user filter finds for `sip`.
  std::optional<local_directories::LdifEntry> User(const std::string& sip) const;
  // The GUID list of `user`, 32 lower-case hex digits each.
  std::vector<std::string> Guids(const local_directories::LdifEntry& user) const;
  // The primary SMTP: address, else the first smtp: one, else the first
  // mail value, else "".
  static std::string Email(const local_directories::LdifEntry& user);
  static std::string Hex(const std::string& bytes);

 private:
  void Walk(const std::string& dn, std::vector<std::string>* guids) const;

  LdapSearchFunction search_;
  std::string base_;
};

// The attribute that holds a user's SIP address.
inline constexpr char kSipAddressAttribute[] = "msRTCSIP-PrimaryUserAddress";

// Every SIP address `server` (a SlapdServer or SambaDomainController) holds
// below `base`, as ldapsearch shows them.
template <class Server>
std::vector<std::string> SipAddressesOf(const Server& server, const std::string& base) {
  std::vector<std::string> sips;
  const std::string filter = "(" + std::string(kSipAddressAttribute) + "=*)";
  for (const auto& entry : local_directories::ParseLdif(server.Search(base, filter, {kSipAddressAttribute}))) {
    for (const std::string& sip : entry.Get(kSipAddressAttribute)) sips.push_back(sip);
  }
  return sips;
}

// What `server` says, searched through its ldapsearch below its base DN.
// `server` must outlive the result.
template <class Server>
DirectoryTruth TruthOf(const Server& server) {
  return DirectoryTruth(
      [&server](const std::string& base, const std::string& filter, const std::vector<std::string>& attributes,
                const std::string& scope) { return server.Search(base, filter, attributes, scope); },
      server.base_dn());
}

// Resolves each of `sips` through the started module and records a failure
// for every GUID list or e-mail address that differs from `truth`; addresses
// of nobody must give an empty list and no e-mail address.
void ExpectLibraryAgreesWithDirectory(const DirectoryTruth& truth, const std::vector<std::string>& sips);

}  // namespace userpolicy::testing

#endif  // USERPOLICY_TESTS_SUPPORT_DIRECTORY_TRUTH_H_
