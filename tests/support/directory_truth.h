// What a directory says about a SIP user, worked out from ldapsearch output
// only, independently of the library: the GUID list (user, primary group,
// then a depth-first walk of memberOf, each group once) and the e-mail
// address. End-to-end tests compare the library's answers with it.
#ifndef USERPOLICY_TESTS_SUPPORT_DIRECTORY_TRUTH_H_
#define USERPOLICY_TESTS_SUPPORT_DIRECTORY_TRUTH_H_

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/slapd_server.h"

namespace userpolicy::testing {

// Runs one search (base, filter, attributes, scope "base" or "sub") and
// returns ldapsearch's LDIF.
using LdapSearchFunction = std::function<std::string(const std::string& base, const std::string& filter,
                                                     const std::vector<std::string>& attributes,
                                                     const std::string& scope)>;

class DirectoryTruth {
 public:
  // `base` is where users are searched.
  DirectoryTruth(LdapSearchFunction search, std::string base);

  // The person or contact whose SIP address is `sip`, as the library's user
  // filter finds it; nullopt when there is none.
  std::optional<LdifEntry> User(const std::string& sip) const;
  // The GUID list of `user`, as 32 lower-case hex digits each.
  std::vector<std::string> Guids(const LdifEntry& user) const;
  // The primary SMTP: address, else the first other smtp: one, else the
  // first mail value; empty when there is none.
  static std::string Email(const LdifEntry& user);

  static std::string Hex(const std::string& bytes);

 private:
  void Walk(const std::string& dn, std::vector<std::string>* guids) const;

  LdapSearchFunction search_;
  std::string base_;
};

// Resolves every address in `sips` through the started module
// (CPolicyFilterDSAccessHelper, CProxyAddressDSAccessHelper) and records a
// test failure for every GUID list or e-mail address that differs from what
// `truth` says. Addresses the user filter does not find must resolve to an
// empty list and no e-mail address.
void ExpectLibraryAgreesWithDirectory(const DirectoryTruth& truth, const std::vector<std::string>& sips);

}  // namespace userpolicy::testing

#endif  // USERPOLICY_TESTS_SUPPORT_DIRECTORY_TRUTH_H_
