// The operations of "platform/ldap_api_hook.h" implemented over
// OpenLDAP's libldap; they are the defaults of the operation table. Included
// only by the implementation and by nothing above the platform layer.
//
// Each function is thread-safe for distinct sessions; one session is used by
// one thread at a time. Those that write to the server (Connect, Bind,
// Search, Abandon, Close) block SIGPIPE on the calling thread while they
// run and discard the one a write to a reset connection raised: libldap
// writes with write(2), which would otherwise end the host process.
#ifndef USERPOLICY_PLATFORM_POSIX_LDAP_API_POSIX_H_
#define USERPOLICY_PLATFORM_POSIX_LDAP_API_POSIX_H_

#include <chrono>
#include <string>

#include "platform/ldap_api.h"

namespace platform::ldap::posix {

// libldap's process-wide set-up (once, before the first session),
// ldap_initialize, the session options (LDAPv3, no referral chasing,
// LDAP_OPT_NETWORK_TIMEOUT, LDAP_OPT_TIMEOUT and, with TLS, the CA file,
// LDAP_OPT_X_TLS_REQUIRE_CERT and a fresh LDAP_OPT_X_TLS_NEWCTX), then
// ldap_connect and, when asked for, ldap_start_tls_s.
Status Connect(const ConnectOptions& options, NativeSession** session);
// ldap_sasl_bind (simple) and ldap_result within `timeout`.
Status Bind(NativeSession* session, const std::string& dn, const std::string& password,
            std::chrono::milliseconds timeout);
// ldap_sasl_interactive_bind_s with GSSAPI: the request's credentials
// handed to the connection's SASL context (LDAP_OPT_X_SASL_GSS_CREDS), the
// service named from the URI's host (LDAP_OPT_X_SASL_NOCANON), the minimum
// strength set (LDAP_OPT_X_SASL_SSF_MIN); then the negotiated SSF and the
// SASL user name read back.
Status KerberosBind(NativeSession* session, const KerberosBindRequest& request, Authentication* established);
// ldap_search_ext with the request's server time limit, size limit and
// controls.
Status Search(NativeSession* session, const SearchRequest& request, int* message_id);
// ldap_result (one message) within `timeout`, the entry or result parsed.
Status NextResult(NativeSession* session, int message_id, std::chrono::milliseconds timeout, SearchItem* item);
// ldap_abandon_ext.
void Abandon(NativeSession* session, int message_id);
// poll(2) of the session's socket without waiting: readable, hung up or in
// error while no answer is due means the server closed the connection (or
// sent a notice of disconnection).
bool IsAlive(NativeSession* session);
// ldap_unbind_ext and release of the session.
void Close(NativeSession* session);

// The libldap code for one of ours, and ours for libldap's.
int ToNativeCode(int code);
int FromNativeCode(int native_code);

}  // namespace platform::ldap::posix

#endif  // USERPOLICY_PLATFORM_POSIX_LDAP_API_POSIX_H_
