// The LDAP client of "platform/ldap_api.h" over OpenLDAP's libldap: the
// default operations of the table in platform/ldap_api.cc.
#include "platform/posix/ldap_api_posix.h"

#include <ldap.h>
#include <poll.h>
#include <pthread.h>
#include <sasl/sasl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "platform/ascii.h"
#include "platform/kerberos.h"
#include "platform/ldap_api_hook.h"
#include "platform/ldap_wait.h"
#include "platform/posix/kerberos_posix.h"
#include "platform/sync.h"
#include "platform/thread_annotations.h"

namespace platform::ldap {

// libldap --------------------------------------------------------------------

struct NativeSession {
  LDAP* ld = nullptr;
  // Set by libldap's connect callback once the TCP connection stands, so
  // that a failed ldaps:// connect can be told apart from an absent server.
  bool tcp_connected = false;
  ldap_conncb callbacks{};
  // The socket while libldap has it open (-1 otherwise), for the TLS
  // watchdog of Connect.
  platform::Mutex socket_mu;
  int socket GUARDED_BY(socket_mu) = -1;

  NativeSession() = default;
  NativeSession(const NativeSession&) = delete;
  NativeSession& operator=(const NativeSession&) = delete;
  ~NativeSession() {
    if (ld != nullptr) ldap_unbind_ext_s(ld, nullptr, nullptr);
  }
};

namespace posix {
namespace {

// libldap's client-side codes run from -1 (LDAP_SERVER_DOWN) down to -17
// (LDAP_REFERRAL_LIMIT_EXCEEDED) in the order of the classic codes 0x51..0x61.
constexpr int kClassicClientBase = 0x50;
constexpr int kLowestNativeClientCode = -17;
constexpr int kHighestClassicClientCode = kClassicClientBase - kLowestNativeClientCode;

std::string DiagnosticOf(LDAP* ld) {
  char* message = nullptr;
  std::string text;
  if (ldap_get_option(ld, LDAP_OPT_DIAGNOSTIC_MESSAGE, &message) == LDAP_OPT_SUCCESS && message != nullptr) {
    text = message;
    ldap_memfree(message);
  }
  return text;
}

Status MakeStatus(int native_code, std::string diagnostic) {
  Status status;
  status.code = FromNativeCode(native_code);
  status.text = ldap_err2string(native_code);
  status.diagnostic = std::move(diagnostic);
  return status;
}

// The status of the last failed call on `ld`.
Status SessionStatus(LDAP* ld, int native_code) { return MakeStatus(native_code, DiagnosticOf(ld)); }

// The error code libldap recorded on `ld` (after ldap_result returned -1).
int LastCode(LDAP* ld) {
  int code = LDAP_OTHER;
  ldap_get_option(ld, LDAP_OPT_RESULT_CODE, &code);
  return code;
}

// The result of a finished operation; frees `message` when `free_message`.
Status ParseResult(LDAP* ld, LDAPMessage* message, bool free_message) {
  int code = LDAP_SUCCESS;
  char* diagnostic = nullptr;
  const int rc = ldap_parse_result(ld, message, &code, nullptr, &diagnostic, nullptr, nullptr, free_message ? 1 : 0);
  if (rc != LDAP_SUCCESS) return SessionStatus(ld, rc);
  Status status = MakeStatus(code, diagnostic != nullptr ? diagnostic : "");
  if (diagnostic != nullptr) ldap_memfree(diagnostic);
  return status;
}

struct MessageFree {
  void operator()(LDAPMessage* message) const { ldap_msgfree(message); }
};
using MessagePtr = std::unique_ptr<LDAPMessage, MessageFree>;

Status ParseEntry(LDAP* ld, LDAPMessage* message, Entry* entry) {
  BerElement* ber = nullptr;
  berval name{};
  int rc = ldap_get_dn_ber(ld, message, &ber, &name);
  if (rc != LDAP_SUCCESS) {
    if (ber != nullptr) ber_free(ber, 0);
    return SessionStatus(ld, rc);
  }
  entry->dn.assign(name.bv_val, name.bv_len);
  berval* values = nullptr;
  for (;;) {
    rc = ldap_get_attribute_ber(ld, message, ber, &name, &values);
    if (rc != LDAP_SUCCESS || name.bv_val == nullptr) break;
    Attribute& attribute = entry->attributes.emplace_back();
    attribute.name.assign(name.bv_val, name.bv_len);
    if (values != nullptr) {
      for (const berval* value = values; value->bv_val != nullptr; ++value) {
        attribute.values.emplace_back(value->bv_val, value->bv_len);
      }
      ber_memfree(values);
      values = nullptr;
    }
  }
  ber_free(ber, 0);
  if (rc != LDAP_SUCCESS) return SessionStatus(ld, rc);
  return Status{};
}

int OnTcpConnected(LDAP*, Sockbuf* socket_buffer, LDAPURLDesc*, sockaddr*, ldap_conncb* callbacks) {
  auto* session = static_cast<NativeSession*>(callbacks->lc_arg);
  session->tcp_connected = true;
  int socket = -1;
  ber_sockbuf_ctrl(socket_buffer, LBER_SB_OPT_GET_FD, &socket);
  platform::MutexLock lock(&session->socket_mu);
  session->socket = socket;
  return 0;
}

// Called before libldap closes the socket (and, with a null buffer, before
// it frees the handle).
void OnTcpClosing(LDAP*, Sockbuf*, ldap_conncb* callbacks) {
  auto* session = static_cast<NativeSession*>(callbacks->lc_arg);
  platform::MutexLock lock(&session->socket_mu);
  session->socket = -1;
}

// Bounds the TLS set-up of Connect. libldap 2.5 does not apply
// LDAP_OPT_NETWORK_TIMEOUT to the TLS handshake: against a server that
// accepted the TCP connection but does not answer, ldap_connect would spin
// for ever. When `limit` passes before the watchdog is destroyed, it shuts
// the socket down, which makes the handshake fail at once.
class TlsWatchdog {
 public:
  TlsWatchdog(NativeSession* session, std::chrono::milliseconds limit)
      : session_(session), deadline_(std::chrono::steady_clock::now() + limit), thread_([this] { Watch(); }) {}
  ~TlsWatchdog() { Finish(); }
  TlsWatchdog(const TlsWatchdog&) = delete;
  TlsWatchdog& operator=(const TlsWatchdog&) = delete;

  // Stops watching; true when the watchdog cut the connection.
  bool Finish() {
    {
      platform::MutexLock lock(&mu_);
      done_ = true;
      wake_.Signal();
    }
    if (thread_.joinable()) thread_.join();
    return fired_.load(std::memory_order_acquire);
  }
  bool fired() const { return fired_.load(std::memory_order_acquire); }

 private:
  void Watch() {
    {
      platform::MutexLock lock(&mu_);
      while (!done_) {
        if (!wake_.WaitUntil(deadline_)) break;
      }
      if (done_) return;
    }
    // The session's lock keeps libldap from closing (and the system from
    // reusing) the descriptor while it is shut down.
    platform::MutexLock lock(&session_->socket_mu);
    if (session_->socket >= 0) {
      fired_.store(true, std::memory_order_release);
      shutdown(session_->socket, SHUT_RDWR);
    }
  }

  NativeSession* const session_;
  const std::chrono::steady_clock::time_point deadline_;
  platform::Mutex mu_;
  platform::CondVar wake_{&mu_};
  bool done_ GUARDED_BY(mu_) = false;
  std::atomic<bool> fired_{false};
  std::thread thread_;  // last: starts once the members above exist
};

// Keeps a write to a connection the server has reset from raising SIGPIPE,
// whose default action ends the process: libldap writes with write(2), not
// with MSG_NOSIGNAL, and a library must not depend on its host ignoring the
// signal. Blocks SIGPIPE on the calling thread while it lives and discards
// the one a write raised meanwhile (one that was pending before is left
// pending). Three system calls (four when the caller blocks SIGPIPE
// itself); used around the operations that write.
class SigpipeGuard {
 public:
  SigpipeGuard() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    blocked_ = pthread_sigmask(SIG_BLOCK, &pipe_, &previous_) == 0;
    // Unblocked until now, SIGPIPE cannot have been pending on this thread.
    was_pending_ = blocked_ && sigismember(&previous_, SIGPIPE) == 1 && Pending();
  }
  ~SigpipeGuard() {
    if (!blocked_) return;
    if (!was_pending_ && Pending()) {
      const timespec now{0, 0};
      while (sigtimedwait(&pipe_, nullptr, &now) < 0 && errno == EINTR) {
      }
    }
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }
  SigpipeGuard(const SigpipeGuard&) = delete;
  SigpipeGuard& operator=(const SigpipeGuard&) = delete;

 private:
  static bool Pending() {
    sigset_t pending;
    sigemptyset(&pending);
    return sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
  }

  sigset_t pipe_;
  sigset_t previous_;
  bool was_pending_ = false;
  bool blocked_ = false;
};

// libldap sets up its process-wide options on first use and marks them
// ready before it has finished (it still reads its configuration files), so
// a thread whose first call comes in that window copies options that another
// thread is still writing. Asking for a global option sets them up; done
// once, before any session is made.
void SetUpLibraryOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    int version = 0;
    ldap_get_option(nullptr, LDAP_OPT_PROTOCOL_VERSION, &version);
  });
}

Status TlsTimeout() { return MakeStatus(LDAP_TIMEOUT, "the TLS set-up did not finish within the timeout"); }

bool IsLdapsUri(const std::string& uri) { return platform::StartsWithIgnoringAsciiCase(uri, "ldaps://"); }

Status SetOption(LDAP* ld, int option, const void* value, const char* what, bool tls) {
  if (ldap_set_option(ld, option, value) == LDAP_OPT_SUCCESS) return Status{};
  Status status = MakeStatus(LDAP_LOCAL_ERROR, std::string("cannot set ") + what);
  status.tls = tls;
  return status;
}

}  // namespace

int ToNativeCode(int code) {
  if (code > kClassicClientBase && code <= kHighestClassicClientCode) return kClassicClientBase - code;
  return code;
}

int FromNativeCode(int native_code) {
  if (native_code < 0 && native_code >= kLowestNativeClientCode) return kClassicClientBase - native_code;
  return native_code;
}

Status Connect(const ConnectOptions& options, NativeSession** out) {
  const SigpipeGuard no_sigpipe;  // the TLS handshake and StartTLS write
  *out = nullptr;
  SetUpLibraryOnce();
  auto session = std::make_unique<NativeSession>();
  int rc = ldap_initialize(&session->ld, options.uri.c_str());
  if (rc != LDAP_SUCCESS || session->ld == nullptr) return MakeStatus(rc, "invalid server address");
  LDAP* ld = session->ld;

  const int version = LDAP_VERSION3;
  const timeval network_timeout = ToTimeval<timeval>(options.connect_timeout);
  const timeval operation_timeout = ToTimeval<timeval>(options.operation_timeout);
  Status status = SetOption(ld, LDAP_OPT_PROTOCOL_VERSION, &version, "the protocol version", false);
  if (status.ok()) status = SetOption(ld, LDAP_OPT_REFERRALS, LDAP_OPT_OFF, "referral chasing", false);
  if (status.ok()) status = SetOption(ld, LDAP_OPT_RESTART, LDAP_OPT_ON, "restart on signals", false);
  if (status.ok()) status = SetOption(ld, LDAP_OPT_NETWORK_TIMEOUT, &network_timeout, "the connect timeout", false);
  if (status.ok()) status = SetOption(ld, LDAP_OPT_TIMEOUT, &operation_timeout, "the operation timeout", false);
  session->callbacks.lc_add = &OnTcpConnected;
  session->callbacks.lc_del = &OnTcpClosing;
  session->callbacks.lc_arg = session.get();
  if (status.ok()) status = SetOption(ld, LDAP_OPT_CONNECT_CB, &session->callbacks, "the connect callback", false);

  const bool ldaps = IsLdapsUri(options.uri);
  if (status.ok() && (ldaps || options.start_tls)) {
    if (!options.ca_file.empty()) {
      status = SetOption(ld, LDAP_OPT_X_TLS_CACERTFILE, options.ca_file.c_str(), "the CA file", true);
    }
    const int require = options.verify_certificate ? LDAP_OPT_X_TLS_DEMAND : LDAP_OPT_X_TLS_NEVER;
    if (status.ok()) status = SetOption(ld, LDAP_OPT_X_TLS_REQUIRE_CERT, &require, "certificate checking", true);
    const int is_server = 0;
    if (status.ok()) status = SetOption(ld, LDAP_OPT_X_TLS_NEWCTX, &is_server, "a TLS context", true);
  }
  if (!status.ok()) return status;

  std::optional<TlsWatchdog> watchdog;
  if (ldaps || options.start_tls) {
    watchdog.emplace(session.get(), options.connect_timeout + (options.start_tls ? options.operation_timeout
                                                                                 : std::chrono::milliseconds::zero()));
  }

  rc = ldap_connect(ld);
  if (rc != LDAP_SUCCESS) {
    status = SessionStatus(ld, rc);
    if (watchdog && watchdog->fired()) return TlsTimeout();
    if (ldaps && session->tcp_connected) {
      // The TCP connection stood but did not become an ldaps session: the
      // TLS handshake or the certificate check failed.
      status.tls = true;
      status.code = kConnectError;
      status.text = ldap_err2string(LDAP_CONNECT_ERROR);
      status.diagnostic = "TLS handshake failed (certificate not trusted, or not TLS)";
    }
    return status;
  }
  if (options.start_tls && !ldaps) {
    rc = ldap_start_tls_s(ld, nullptr, nullptr);
    if (rc != LDAP_SUCCESS) {
      if (watchdog && watchdog->fired()) return TlsTimeout();
      status = SessionStatus(ld, rc);
      status.tls = rc != LDAP_SERVER_DOWN && rc != LDAP_TIMEOUT;
      if (status.tls) status.diagnostic = "StartTLS failed (certificate not trusted, or TLS refused)";
      return status;
    }
  }
  // Fired just as the set-up ended: the connection is cut.
  if (watchdog && watchdog->Finish()) return TlsTimeout();
  *out = session.release();
  return Status{};
}

Status Bind(NativeSession* session, const std::string& dn, const std::string& password,
            std::chrono::milliseconds timeout) {
  const SigpipeGuard no_sigpipe;
  LDAP* ld = session->ld;
  berval credentials{};
  credentials.bv_len = password.size();
  credentials.bv_val = const_cast<char*>(password.data());
  int message_id = 0;
  int rc = ldap_sasl_bind(ld, dn.empty() ? nullptr : dn.c_str(), LDAP_SASL_SIMPLE, &credentials, nullptr, nullptr,
                          &message_id);
  if (rc != LDAP_SUCCESS) return SessionStatus(ld, rc);
  timeval tv = ToTimeval<timeval>(timeout);
  LDAPMessage* raw = nullptr;
  rc = ldap_result(ld, message_id, LDAP_MSG_ALL, &tv, &raw);
  MessagePtr message(raw);
  if (rc == 0) {
    ldap_abandon_ext(ld, message_id, nullptr, nullptr);
    return MakeStatus(LDAP_TIMEOUT, "no answer to the bind");
  }
  if (rc < 0) return SessionStatus(ld, LastCode(ld));
  return ParseResult(ld, message.release(), /*free_message=*/true);
}

namespace {

constexpr char kGssapiMechanism[] = "GSSAPI";

// The SASL interaction of a Kerberos bind. libldap calls it when the
// mechanism asks for what it may prompt for: only the authorization
// identity, left empty (the service acts as itself). The connection's SASL
// context exists from then on, and the mechanism has not yet looked for
// credentials, so the library's own are handed over here
// (LDAP_OPT_X_SASL_GSS_CREDS needs that context).
struct KerberosInteraction {
  gss_cred_id_t credential = GSS_C_NO_CREDENTIAL;
  bool handed_over = false;
};

int InteractForKerberos(LDAP* ld, unsigned /*flags*/, void* defaults, void* prompts) {
  auto* interaction = static_cast<KerberosInteraction*>(defaults);
  if (!interaction->handed_over) {
    if (ldap_set_option(ld, LDAP_OPT_X_SASL_GSS_CREDS, interaction->credential) != LDAP_OPT_SUCCESS) {
      return LDAP_LOCAL_ERROR;
    }
    interaction->handed_over = true;
  }
  for (auto* prompt = static_cast<sasl_interact_t*>(prompts); prompt->id != SASL_CB_LIST_END; ++prompt) {
    prompt->result = "";
    prompt->len = 0;
  }
  return LDAP_SUCCESS;
}

}  // namespace

Status KerberosBind(NativeSession* session, const KerberosBindRequest& request, Authentication* established) {
  const SigpipeGuard no_sigpipe;
  LDAP* ld = session->ld;
  if (request.credentials == nullptr || request.credentials->native() == nullptr) {
    return MakeStatus(LDAP_PARAM_ERROR, "no credentials for the Kerberos bind");
  }
  // The service is named from the URI's host as written.
  Status status = SetOption(ld, LDAP_OPT_X_SASL_NOCANON, LDAP_OPT_ON, "the service name as written", false);
  ber_len_t minimum_ssf = static_cast<ber_len_t>(std::max(request.minimum_ssf, KerberosBindRequest::kSigning));
  if (status.ok()) status = SetOption(ld, LDAP_OPT_X_SASL_SSF_MIN, &minimum_ssf, "the least strength", false);
  if (!status.ok()) return status;
  KerberosInteraction interaction;
  interaction.credential = request.credentials->native()->credential;
  const int rc = ldap_sasl_interactive_bind_s(ld, nullptr, kGssapiMechanism, nullptr, nullptr, LDAP_SASL_QUIET,
                                              &InteractForKerberos, &interaction);
  if (rc != LDAP_SUCCESS) return SessionStatus(ld, rc);
  // Bound without them, the mechanism would have used the process's
  // default credentials: never accepted.
  if (!interaction.handed_over) {
    return MakeStatus(LDAP_LOCAL_ERROR, "the GSSAPI mechanism did not ask for the library's credentials");
  }
  ber_len_t ssf = 0;
  ldap_get_option(ld, LDAP_OPT_X_SASL_SSF, &ssf);
  established->ssf = static_cast<int>(ssf);
  char* user = nullptr;
  if (ldap_get_option(ld, LDAP_OPT_X_SASL_USERNAME, &user) == LDAP_OPT_SUCCESS && user != nullptr) {
    established->identity = user;
    ldap_memfree(user);
  }
  return Status{};
}

Status Search(NativeSession* session, const SearchRequest& request, int* message_id) {
  const SigpipeGuard no_sigpipe;
  LDAP* ld = session->ld;
  std::vector<char*> attributes;
  attributes.reserve(request.attributes.size() + 1);
  for (const std::string& name : request.attributes) attributes.push_back(const_cast<char*>(name.c_str()));
  attributes.push_back(nullptr);
  std::vector<LDAPControl> controls(request.controls.size());
  std::vector<LDAPControl*> control_list;
  control_list.reserve(controls.size() + 1);
  for (size_t i = 0; i < controls.size(); ++i) {
    controls[i].ldctl_oid = const_cast<char*>(request.controls[i].oid.c_str());
    controls[i].ldctl_value.bv_len = request.controls[i].value.size();
    controls[i].ldctl_value.bv_val = const_cast<char*>(request.controls[i].value.data());
    controls[i].ldctl_iscritical = request.controls[i].critical ? 1 : 0;
    control_list.push_back(&controls[i]);
  }
  control_list.push_back(nullptr);
  timeval limit{};
  limit.tv_sec = static_cast<time_t>(TimeLimitSeconds(request.timeout));
  const int rc = ldap_search_ext(ld, request.base.c_str(), static_cast<int>(request.scope), request.filter.c_str(),
                                 request.attributes.empty() ? nullptr : attributes.data(), 0,
                                 controls.empty() ? nullptr : control_list.data(), nullptr, &limit,
                                 request.size_limit, message_id);
  if (rc != LDAP_SUCCESS) return SessionStatus(ld, rc);
  return Status{};
}

Status NextResult(NativeSession* session, int message_id, std::chrono::milliseconds timeout, SearchItem* item) {
  LDAP* ld = session->ld;
  timeval tv = ToTimeval<timeval>(timeout);
  LDAPMessage* raw = nullptr;
  const int rc = ldap_result(ld, message_id, LDAP_MSG_ONE, &tv, &raw);
  MessagePtr message(raw);
  if (rc == 0) return MakeStatus(LDAP_TIMEOUT, "no answer within the operation timeout");
  if (rc < 0) return SessionStatus(ld, LastCode(ld));
  switch (rc) {
    case LDAP_RES_SEARCH_ENTRY:
      item->kind = SearchItem::Kind::kEntry;
      return ParseEntry(ld, message.get(), &item->entry);
    case LDAP_RES_SEARCH_REFERENCE:
      item->kind = SearchItem::Kind::kReference;
      return Status{};
    case LDAP_RES_SEARCH_RESULT:
      item->kind = SearchItem::Kind::kDone;
      item->result = ParseResult(ld, message.get(), /*free_message=*/false);
      return Status{};
    default:
      return MakeStatus(LDAP_DECODING_ERROR, "unexpected message type in a search answer");
  }
}

void Abandon(NativeSession* session, int message_id) {
  const SigpipeGuard no_sigpipe;
  ldap_abandon_ext(session->ld, message_id, nullptr, nullptr);
}

bool IsAlive(NativeSession* session) {
  int fd = -1;
  if (ldap_get_option(session->ld, LDAP_OPT_DESC, &fd) != LDAP_OPT_SUCCESS || fd < 0) return false;
  pollfd probe{};
  probe.fd = fd;
  probe.events = POLLIN | POLLRDHUP;
  const int ready = poll(&probe, 1, 0);
  if (ready < 0) return false;
  return ready == 0;
}

void Close(NativeSession* session) {
  const SigpipeGuard no_sigpipe;  // the unbind request
  std::unique_ptr<NativeSession> owned(session);
}

}  // namespace posix

namespace hooks {

Operations DefaultOperations() {
  return Operations{&posix::Connect,    &posix::Bind,    &posix::KerberosBind, &posix::Search,
                    &posix::NextResult, &posix::Abandon, &posix::IsAlive,      &posix::Close};
}

}  // namespace hooks

std::string ResultText(int code) { return ldap_err2string(posix::ToNativeCode(code)); }

void PrepareClientLibrary() { posix::SetUpLibraryOnce(); }

}  // namespace platform::ldap
