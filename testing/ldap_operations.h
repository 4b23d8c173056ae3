// Replaces the LDAP operation table of "platform/ldap_api_hook.h" for a
// scope, so that a test can make chosen LDAP calls slow, block or fail:
//
//   platform::ldap::Operations ops = platform::ldap::testing::DefaultOperations();
//   ops.search = &FailSecondSearch;
//   platform::ldap::testing::ScopedOperations install(ops);
//
// Restoring the table does not wait for calls still running in a replaced
// function; a test joins its threads (or lets blocked calls go) before the
// state those functions use goes away.
#ifndef USERPOLICY_TESTING_LDAP_OPERATIONS_H_
#define USERPOLICY_TESTING_LDAP_OPERATIONS_H_

#include "platform/ldap_api_hook.h"

namespace platform::ldap::testing {

using hooks::CurrentOperations;
using hooks::DefaultOperations;
using hooks::SetOperations;

// Installs a table for its lifetime and restores the previous one.
class ScopedOperations {
 public:
  explicit ScopedOperations(const Operations& operations) : previous_(CurrentOperations()) {
    SetOperations(operations);
  }
  ~ScopedOperations() { SetOperations(previous_); }
  ScopedOperations(const ScopedOperations&) = delete;
  ScopedOperations& operator=(const ScopedOperations&) = delete;

 private:
  const Operations previous_;
};

}  // namespace platform::ldap::testing

#endif  // USERPOLICY_TESTING_LDAP_OPERATIONS_H_
