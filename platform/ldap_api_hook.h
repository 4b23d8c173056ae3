// Hook of "platform/ldap_api.h": the table of operations through which
// every Connection reaches the LDAP library. Product code never replaces it.
//
// A test replaces entries of the table to make chosen calls slow, block or
// fail, or to answer from made-up data, and forwards the others to the
// defaults (the test-support library's testing/ldap_operations.h installs a
// table for a scope):
//
//   std::atomic<int> searches{0};
//   platform::ldap::Status FailSecondSearch(platform::ldap::NativeSession* s,
//                                           const platform::ldap::SearchRequest& r,
//                                           int* id) {
//     if (++searches == 2) return {platform::ldap::kServerDown, "down", "", false};
//     return platform::ldap::hooks::DefaultOperations().search(s, r, id);
//   }
//   ...
//   platform::ldap::Operations ops = platform::ldap::hooks::DefaultOperations();
//   ops.search = &FailSecondSearch;
//   platform::ldap::testing::ScopedOperations install(ops);
//
// The replacement functions are plain function pointers (keep their state in
// statics or globals). The table may be replaced while other threads use
// connections: every call reads the entry it needs once, atomically, so a
// call sees either the old or the new function. Restoring the table does
// not wait for calls still running in a replaced function; a test joins its
// threads (or lets blocked calls go) before its state goes away.
#ifndef USERPOLICY_PLATFORM_LDAP_API_HOOK_H_
#define USERPOLICY_PLATFORM_LDAP_API_HOOK_H_

#include <chrono>
#include <string>

#include "platform/ldap_api.h"

namespace platform::ldap {

// The operations. `session` is what `connect` produced; a replacement
// `connect` may produce any non-null pointer as long as the other
// replacements (at least `close`) know it.
struct Operations {
  // Opens a session to options.uri; on success *session is non-null.
  Status (*connect)(const ConnectOptions& options, NativeSession** session);
  // Simple bind within `timeout`.
  Status (*bind)(NativeSession* session, const std::string& dn, const std::string& password,
                 std::chrono::milliseconds timeout);
  // Kerberos bind (Connection::KerberosBind); on success fills the identity
  // and ssf of *established (the caller sets the rest).
  Status (*kerberos_bind)(NativeSession* session, const KerberosBindRequest& request, Authentication* established);
  // Sends a search; *message_id identifies it to next_result and abandon.
  Status (*search)(NativeSession* session, const SearchRequest& request, int* message_id);
  // Waits at most `timeout` for the next message of the search `message_id`
  // and stores it in *item; kTimeout when none came.
  Status (*next_result)(NativeSession* session, int message_id, std::chrono::milliseconds timeout, SearchItem* item);
  // Tells the server to stop the search `message_id`.
  void (*abandon)(NativeSession* session, int message_id);
  // False when the server closed the connection. No round trip.
  bool (*is_alive)(NativeSession* session);
  // Unbinds and releases the session.
  void (*close)(NativeSession* session);
};

namespace hooks {

// The table in effect, and the implementation's own functions.
Operations CurrentOperations();
Operations DefaultOperations();

// Makes `operations` the table in effect.
void SetOperations(const Operations& operations);

}  // namespace hooks
}  // namespace platform::ldap

#endif  // USERPOLICY_PLATFORM_LDAP_API_HOOK_H_
