// The LDAP client of "platform/ldap_api.h" over wldap32, Windows' own LDAP
// library: the default operations of the table in platform/ldap_api.cc.
//
// Every call is the wide (W) form; text crosses this file as UTF-8 on our
// side and UTF-16 on wldap32's. Values are read as bytes
// (ldap_get_values_len). wldap32's result codes are the classic ones our
// ResultCode carries, so they pass through unchanged; the code of a failed
// call is read back with LDAP_OPT_ERROR_NUMBER, the server's diagnostic with
// LDAP_OPT_SERVER_ERROR.
//
// TLS: wldap32 checks a server's certificate against the Windows store. With
// a CA file, the session's server-certificate callback decides instead: it
// accepts a certificate that chains to a certificate of that file (and to
// nothing else) and names the host connected to. Without certificate
// checking, the callback accepts any certificate.
//
// Kerberos: a Negotiate bind (ldap_bind_sW with LDAP_AUTH_NEGOTIATE and no
// credentials), so the system authenticates as the account the process runs
// as (platform/kerberos.h), with signing and sealing asked for beforehand.
// wldap32 tells whether the session signs and seals, and the security
// context its key size; it has no SASL user name to read back, so the
// identity reported is the account the credentials name. wldap32 names the
// service "ldap/<host>" from the host it was given, as written.
//
// Liveness: wldap32 keeps its socket to itself. A session is taken to be
// alive until an operation on it failed for the connection's sake, or until
// a zero-timeout ldap_result for any message reports the connection gone or
// hands over an unsolicited notice (the server's notice of disconnection).
#include <windows.h>
#include <wincrypt.h>
#include <winldap.h>
#include <winber.h>
#define SECURITY_WIN32
#include <security.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/ascii.h"
#include "platform/kerberos.h"
#include "platform/ldap_api.h"
#include "platform/ldap_api_hook.h"
#include "platform/ldap_wait.h"
#include "platform/utf8.h"
#include "platform/win/server_certificate_win.h"

namespace platform::ldap {

struct NativeSession {
  LDAP* ld = nullptr;
  std::wstring host;     // as connected to, for the certificate's name check
  std::string ca_file;   // PEM; empty: the Windows store decides
  bool verify_certificate = true;
  // Set by the certificate callback when it refused the server's certificate.
  bool certificate_refused = false;
  // Whether anything was ever received on the session (see Bind).
  bool answered = false;

  NativeSession() = default;
  NativeSession(const NativeSession&) = delete;
  NativeSession& operator=(const NativeSession&) = delete;
  ~NativeSession();
};

namespace {

constexpr ULONG kDefaultLdapPort = 389;
constexpr ULONG kDefaultLdapsPort = 636;
// ldap_result's "no message" and "failed" returns.
constexpr ULONG kResultTimedOut = 0;
constexpr ULONG kResultFailed = static_cast<ULONG>(-1);
// Message id 0 marks unsolicited notifications (RFC 4511, 4.4).
constexpr ULONG kUnsolicitedMessageId = 0;

// wine's wldap32 runs over OpenLDAP and may pass its client codes through
// unmapped: -1 (server down) to -17, in the order of the classic codes
// 0x51..0x61. Windows' wldap32 never reports negative codes.
constexpr LONG kLowestOpenLdapClientCode = -17;
constexpr ULONG kClassicClientBase = 0x50;

ULONG ClassicCode(ULONG code) {
  const auto value = static_cast<LONG>(code);
  if (value < 0 && value >= kLowestOpenLdapClientCode) return kClassicClientBase + static_cast<ULONG>(-value);
  return code;
}

std::string ErrorText(ULONG code) {
  const wchar_t* text = ldap_err2stringW(code);
  return text != nullptr ? WideToUtf8(text) : "LDAP error " + std::to_string(code);
}

Status MakeStatus(ULONG code, std::string diagnostic) {
  code = ClassicCode(code);
  Status status;
  status.code = static_cast<int>(code);
  status.text = ErrorText(code);
  status.diagnostic = std::move(diagnostic);
  return status;
}

// The code wldap32 recorded for the last failed call on `ld`.
ULONG LastCode(LDAP* ld) {
  ULONG code = LDAP_OTHER;
  if (ldap_get_optionW(ld, LDAP_OPT_ERROR_NUMBER, &code) != LDAP_SUCCESS) code = LDAP_OTHER;
  return ClassicCode(code);
}

// The server's diagnostic message of the last failed operation, or "".
std::string ServerDiagnostic(LDAP* ld) {
  wchar_t* message = nullptr;
  std::string text;
  if (ldap_get_optionW(ld, LDAP_OPT_SERVER_ERROR, &message) == LDAP_SUCCESS && message != nullptr) {
    text = WideToUtf8(message);
    ldap_memfreeW(message);
  }
  return text;
}

Status SessionStatus(LDAP* ld, ULONG code) { return MakeStatus(code, ServerDiagnostic(ld)); }

// The status of the last failed call on `ld`.
Status LastStatus(LDAP* ld) { return SessionStatus(ld, LastCode(ld)); }

struct MessageFree {
  void operator()(LDAPMessage* message) const { ldap_msgfree(message); }
};
using MessagePtr = std::unique_ptr<LDAPMessage, MessageFree>;

// The result of a finished operation (the message stays the caller's).
Status ParseResult(LDAP* ld, LDAPMessage* message) {
  ULONG code = LDAP_SUCCESS;
  wchar_t* diagnostic = nullptr;
  const ULONG rc = ldap_parse_resultW(ld, message, &code, nullptr, &diagnostic, nullptr, nullptr, FALSE);
  if (rc != LDAP_SUCCESS) return SessionStatus(ld, rc);
  Status status = MakeStatus(code, diagnostic != nullptr ? WideToUtf8(diagnostic) : "");
  if (diagnostic != nullptr) ldap_memfreeW(diagnostic);
  return status;
}

Status ParseEntry(LDAP* ld, LDAPMessage* message, Entry* entry) {
  wchar_t* dn = ldap_get_dnW(ld, message);
  if (dn == nullptr) return LastStatus(ld);
  entry->dn = WideToUtf8(dn);
  ldap_memfreeW(dn);
  BerElement* ber = nullptr;
  for (wchar_t* name = ldap_first_attributeW(ld, message, &ber); name != nullptr;
       name = ldap_next_attributeW(ld, message, ber)) {
    Attribute& attribute = entry->attributes.emplace_back();
    attribute.name = WideToUtf8(name);
    berval** values = ldap_get_values_lenW(ld, message, name);
    if (values != nullptr) {
      for (berval** value = values; *value != nullptr; ++value) {
        attribute.values.emplace_back((*value)->bv_val, (*value)->bv_len);
      }
      ldap_value_free_len(values);
    }
    ldap_memfreeW(name);
  }
  if (ber != nullptr) ber_free(ber, 0);
  return Status{};
}

// The parts of an "ldap://host:port" or "ldaps://host:port" address.
struct ServerAddress {
  bool ldaps = false;
  std::wstring host;  // an IPv6 address without its brackets
  ULONG port = 0;
};

bool ParseUri(const std::string& uri, ServerAddress* address) {
  std::string_view rest = uri;
  if (StartsWithIgnoringAsciiCase(rest, "ldaps://")) {
    address->ldaps = true;
    rest.remove_prefix(8);
  } else if (StartsWithIgnoringAsciiCase(rest, "ldap://")) {
    rest.remove_prefix(7);
  } else {
    return false;
  }
  if (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);
  std::string_view host = rest;
  std::string_view port;
  if (!rest.empty() && rest.front() == '[') {
    const size_t close = rest.find(']');
    if (close == std::string_view::npos) return false;
    host = rest.substr(1, close - 1);
    const std::string_view after = rest.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') return false;
      port = after.substr(1);
    }
  } else if (const size_t colon = rest.rfind(':'); colon != std::string_view::npos) {
    host = rest.substr(0, colon);
    port = rest.substr(colon + 1);
  }
  if (host.empty()) return false;
  address->host = Utf8ToWide(host);
  address->port = address->ldaps ? kDefaultLdapsPort : kDefaultLdapPort;
  if (!port.empty()) {
    ULONG value = 0;
    for (const char c : port) {
      if (c < '0' || c > '9' || value > 65535) return false;
      value = value * 10 + static_cast<ULONG>(c - '0');
    }
    if (value == 0 || value > 65535) return false;
    address->port = value;
  }
  return true;
}

// The sessions whose certificate callback is ours, by wldap32 handle: the
// callback receives the handle only.
class SessionRegistry {
 public:
  static SessionRegistry& Get() {
    static SessionRegistry* const registry = new SessionRegistry;  // never destroyed: used until exit
    return *registry;
  }
  void Add(LDAP* ld, NativeSession* session) {
    std::lock_guard<std::mutex> lock(mu_);
    sessions_[ld] = session;
  }
  void Remove(LDAP* ld) {
    std::lock_guard<std::mutex> lock(mu_);
    sessions_.erase(ld);
  }
  NativeSession* Find(LDAP* ld) {
    std::lock_guard<std::mutex> lock(mu_);
    const auto it = sessions_.find(ld);
    return it == sessions_.end() ? nullptr : it->second;
  }

 private:
  std::mutex mu_;
  std::map<LDAP*, NativeSession*> sessions_;
};

// The session's server-certificate callback (see the file comment). wldap32
// hands over a pointer to the certificate context, which the callback frees.
BOOLEAN __cdecl VerifyServerCertificate(LDAP* ld, PCCERT_CONTEXT* server_certificate) {
  const win::CertificatePtr certificate(server_certificate != nullptr ? *server_certificate : nullptr);
  NativeSession* session = SessionRegistry::Get().Find(ld);
  if (session == nullptr || certificate == nullptr) return FALSE;
  if (!session->verify_certificate) return TRUE;
  const bool trusted = win::IsTrustedByCaFile(certificate.get(), session->ca_file, session->host);
  if (!trusted) session->certificate_refused = true;
  return trusted ? TRUE : FALSE;
}

Status SetOption(LDAP* ld, int option, const void* value, const char* what, bool tls) {
  if (ldap_set_optionW(ld, option, value) == LDAP_SUCCESS) return Status{};
  Status status = MakeStatus(LDAP_LOCAL_ERROR, std::string("cannot set ") + what);
  status.tls = tls;
  return status;
}

Status TlsFailure(NativeSession* session, ULONG code, const char* what) {
  Status status = SessionStatus(session->ld, code);
  status.tls = true;
  status.code = kConnectError;
  status.text = ErrorText(LDAP_CONNECT_ERROR);
  status.diagnostic = std::string(what) + (session->certificate_refused
                                               ? " (the server's certificate is not trusted)"
                                               : " (certificate not trusted, or not TLS)");
  return status;
}

Status Connect(const ConnectOptions& options, NativeSession** out) {
  *out = nullptr;
  ServerAddress address;
  if (!ParseUri(options.uri, &address)) return MakeStatus(LDAP_PARAM_ERROR, "invalid server address");
  auto session = std::make_unique<NativeSession>();
  session->host = address.host;
  session->ca_file = options.ca_file;
  session->verify_certificate = options.verify_certificate;
  session->ld = address.ldaps ? ldap_sslinitW(address.host.data(), address.port, 1)
                              : ldap_initW(address.host.data(), address.port);
  if (session->ld == nullptr) return MakeStatus(LdapGetLastError(), "invalid server address");
  LDAP* ld = session->ld;

  const ULONG version = LDAP_VERSION3;
  Status status = SetOption(ld, LDAP_OPT_PROTOCOL_VERSION, &version, "the protocol version", false);
  if (status.ok()) status = SetOption(ld, LDAP_OPT_REFERRALS, LDAP_OPT_OFF, "referral chasing", false);
  // Bounds a request's sending to a server that stopped reading. Not every
  // wldap32 has it (wine's refuses it); the answer's wait is bounded anyway.
  const l_timeval send_timeout = ToTimeval<l_timeval>(options.operation_timeout);
  ldap_set_optionW(ld, LDAP_OPT_SEND_TIMEOUT, &send_timeout);
  const bool tls = address.ldaps || options.start_tls;
  if (status.ok() && tls && (!options.ca_file.empty() || !options.verify_certificate)) {
    SessionRegistry::Get().Add(ld, session.get());
    const bool callback_set = ldap_set_optionW(ld, LDAP_OPT_SERVER_CERTIFICATE,
                                               reinterpret_cast<const void*>(&VerifyServerCertificate)) == LDAP_SUCCESS;
    // Without the callback a CA file cannot be honoured: refuse rather than
    // trust whatever wldap32 trusts (wine's has no callback and checks
    // nothing). Unchecked TLS is then at least as strict as asked.
    if (!callback_set && options.verify_certificate) {
      status = MakeStatus(LDAP_CONNECT_ERROR,
                          "this wldap32 has no server-certificate callback: the CA file cannot be honoured");
      status.tls = true;
    }
  }
  if (!status.ok()) return status;

  l_timeval connect_timeout = ToTimeval<l_timeval>(options.connect_timeout);
  ULONG rc = ClassicCode(ldap_connect(ld, &connect_timeout));
  if (rc != LDAP_SUCCESS) {
    // With ldaps:// the handshake is part of the connect: anything but an
    // absent or silent server is TLS's failure.
    if (address.ldaps && rc != LDAP_SERVER_DOWN && rc != LDAP_TIMEOUT) {
      return TlsFailure(session.get(), rc, "TLS handshake failed");
    }
    return SessionStatus(ld, rc);
  }
  if (options.start_tls && !address.ldaps) {
    ULONG server_code = LDAP_SUCCESS;
    LDAPMessage* raw = nullptr;
    rc = ClassicCode(ldap_start_tls_sW(ld, &server_code, &raw, nullptr, nullptr));
    MessagePtr result(raw);
    if (rc != LDAP_SUCCESS) {
      if (rc == LDAP_SERVER_DOWN || rc == LDAP_TIMEOUT) return SessionStatus(ld, rc);
      return TlsFailure(session.get(), rc, "StartTLS failed");
    }
    session->answered = true;
  }
  *out = session.release();
  return Status{};
}

// A bind that could not be sent, or failed for the connection's sake, on a
// session that never received anything: the TCP connection itself failed.
// Windows' wldap32 reports that at ldap_connect; wine's ldap_connect
// succeeds against a closed port and the bind then fails with a socket or
// local error. Either way the caller sees what libldap reports on Linux:
// kServerDown, "can't contact the server".
Status NeverConnected(const Status& status) {
  return MakeStatus(LDAP_SERVER_DOWN, "cannot connect to the server (" + status.text + ")");
}

Status Bind(NativeSession* session, const std::string& dn, const std::string& password,
            std::chrono::milliseconds timeout) {
  LDAP* ld = session->ld;
  std::wstring wide_dn = Utf8ToWide(dn);
  std::wstring wide_password = Utf8ToWide(password);
  const bool anonymous = dn.empty() && password.empty();
  const ULONG message_id =
      ldap_simple_bindW(ld, anonymous ? nullptr : wide_dn.data(), anonymous ? nullptr : wide_password.data());
  SecureZeroMemory(wide_password.data(), wide_password.size() * sizeof(wchar_t));
  if (message_id == kResultFailed) {
    // Nothing was sent: on a session that never got an answer, the
    // connection was never made.
    const Status status = LastStatus(ld);
    return session->answered ? status : NeverConnected(status);
  }
  l_timeval tv = ToTimeval<l_timeval>(timeout);
  LDAPMessage* raw = nullptr;
  const ULONG rc = ldap_result(ld, message_id, LDAP_MSG_ALL, &tv, &raw);
  MessagePtr message(raw);
  if (rc == kResultTimedOut) {
    ldap_abandon(ld, message_id);
    return MakeStatus(LDAP_TIMEOUT, "no answer to the bind");
  }
  if (rc == kResultFailed || message == nullptr) {
    Status status = LastStatus(ld);
    if (status.code == LDAP_SUCCESS) status = MakeStatus(LDAP_SERVER_DOWN, "the connection ended during the bind");
    if (!session->answered && (IsConnectionFailure(status.code) || status.code == LDAP_LOCAL_ERROR)) {
      return NeverConnected(status);
    }
    return status;
  }
  session->answered = true;
  return ParseResult(ld, message.get());
}

// The strength of the session's security layer after a Negotiate bind, as
// a SASL security strength factor: the key's bits when messages are sealed
// (at least kLeastSealingSsf: the key size is read from the security
// context when wldap32 gives one), 1 when they are only signed, 0 when
// neither.
constexpr int kLeastSealingSsf = 56;

int NegotiatedSsf(LDAP* ld) {
  ULONG sealed = 0;
  ULONG signed_ = 0;
  if (ldap_get_optionW(ld, LDAP_OPT_ENCRYPT, &sealed) != LDAP_SUCCESS) sealed = 0;
  if (ldap_get_optionW(ld, LDAP_OPT_SIGN, &signed_) != LDAP_SUCCESS) signed_ = 0;
  if (sealed == 0) return signed_ != 0 ? KerberosBindRequest::kSigning : 0;
  int ssf = kLeastSealingSsf;
  CtxtHandle context{};
  SecPkgContext_KeyInfoW key{};
  if (ldap_get_optionW(ld, LDAP_OPT_SECURITY_CONTEXT, &context) == LDAP_SUCCESS &&
      QueryContextAttributesW(&context, SECPKG_ATTR_KEY_INFO, &key) == SEC_E_OK) {
    ssf = std::max(ssf, static_cast<int>(key.KeySize));
    if (key.sSignatureAlgorithmName != nullptr) FreeContextBuffer(key.sSignatureAlgorithmName);
    if (key.sEncryptAlgorithmName != nullptr) FreeContextBuffer(key.sEncryptAlgorithmName);
  }
  return ssf;
}

Status KerberosBind(NativeSession* session, const KerberosBindRequest& request, Authentication* established) {
  LDAP* ld = session->ld;
  if (request.credentials == nullptr) return MakeStatus(LDAP_PARAM_ERROR, "no credentials for the Kerberos bind");
  // A wldap32 that cannot be asked to sign (wine's answers
  // LDAP_NOT_SUPPORTED) could not tell either whether the bind signs: no
  // bind is made, rather than one that may be unsigned.
  const std::pair<int, const char*> layers[] = {{LDAP_OPT_SIGN, "LDAP_OPT_SIGN"}, {LDAP_OPT_ENCRYPT, "LDAP_OPT_ENCRYPT"}};
  for (const auto& [option, name] : layers) {
    const ULONG set = ClassicCode(ldap_set_optionW(ld, option, LDAP_OPT_ON));
    if (set != LDAP_SUCCESS) {
      return MakeStatus(LDAP_LOCAL_ERROR, std::string("this wldap32 cannot sign and seal a Negotiate bind (") + name +
                                              ": " + ErrorText(set) + ", code " + std::to_string(set) +
                                              "); no bind was made");
    }
  }
  // No name and no password: the account the process runs as.
  const ULONG rc = ClassicCode(ldap_bind_sW(ld, nullptr, nullptr, LDAP_AUTH_NEGOTIATE));
  if (rc != LDAP_SUCCESS) {
    const Status status = SessionStatus(ld, rc);
    if (!session->answered && IsConnectionFailure(status.code)) return NeverConnected(status);
    return status;
  }
  session->answered = true;
  established->ssf = NegotiatedSsf(ld);
  established->identity = request.credentials->principal();
  return Status{};
}

Status Search(NativeSession* session, const SearchRequest& request, int* message_id) {
  LDAP* ld = session->ld;
  std::wstring base = Utf8ToWide(request.base);
  std::wstring filter = Utf8ToWide(request.filter);
  std::vector<std::wstring> names;
  names.reserve(request.attributes.size());
  for (const std::string& name : request.attributes) names.push_back(Utf8ToWide(name));
  std::vector<wchar_t*> attributes;
  attributes.reserve(names.size() + 1);
  for (std::wstring& name : names) attributes.push_back(name.data());
  attributes.push_back(nullptr);
  // The server controls: wide OIDs, values as the bytes given.
  std::vector<std::wstring> oids;
  oids.reserve(request.controls.size());
  std::vector<LDAPControlW> controls(request.controls.size());
  std::vector<LDAPControlW*> control_list;
  control_list.reserve(controls.size() + 1);
  for (size_t i = 0; i < controls.size(); ++i) {
    const Control& control = request.controls[i];
    oids.push_back(Utf8ToWide(control.oid));
    controls[i].ldctl_oid = oids.back().data();
    controls[i].ldctl_value.bv_len = static_cast<ULONG>(control.value.size());
    controls[i].ldctl_value.bv_val = const_cast<char*>(control.value.data());
    controls[i].ldctl_iscritical = control.critical ? TRUE : FALSE;
    control_list.push_back(&controls[i]);
  }
  control_list.push_back(nullptr);
  ULONG id = 0;
  const ULONG rc = ldap_search_extW(ld, base.data(), static_cast<ULONG>(request.scope), filter.data(),
                                    names.empty() ? nullptr : attributes.data(), 0,
                                    controls.empty() ? nullptr : control_list.data(), nullptr,
                                    static_cast<ULONG>(TimeLimitSeconds(request.timeout)), static_cast<ULONG>(request.size_limit), &id);
  if (rc != LDAP_SUCCESS) return SessionStatus(ld, rc);
  *message_id = static_cast<int>(id);
  return Status{};
}

Status NextResult(NativeSession* session, int message_id, std::chrono::milliseconds timeout, SearchItem* item) {
  LDAP* ld = session->ld;
  l_timeval tv = ToTimeval<l_timeval>(timeout);
  LDAPMessage* raw = nullptr;
  const ULONG rc = ldap_result(ld, static_cast<ULONG>(message_id), LDAP_MSG_ONE, &tv, &raw);
  MessagePtr message(raw);
  if (rc == kResultTimedOut) return MakeStatus(LDAP_TIMEOUT, "no answer within the operation timeout");
  if (rc == kResultFailed || message == nullptr) {
    Status status = LastStatus(ld);
    if (status.code == LDAP_SUCCESS) status = MakeStatus(LDAP_SERVER_DOWN, "the connection ended during a search");
    return status;
  }
  session->answered = true;
  switch (rc) {
    case LDAP_RES_SEARCH_ENTRY:
      item->kind = SearchItem::Kind::kEntry;
      return ParseEntry(ld, message.get(), &item->entry);
    case LDAP_RES_REFERRAL:
      item->kind = SearchItem::Kind::kReference;
      return Status{};
    case LDAP_RES_SEARCH_RESULT:
      item->kind = SearchItem::Kind::kDone;
      item->result = ParseResult(ld, message.get());
      return Status{};
    default:
      return MakeStatus(LDAP_DECODING_ERROR, "unexpected message type in a search answer");
  }
}

void Abandon(NativeSession* session, int message_id) { ldap_abandon(session->ld, static_cast<ULONG>(message_id)); }

bool IsAlive(NativeSession* session) {
  l_timeval no_wait{0, 0};
  LDAPMessage* raw = nullptr;
  const ULONG rc = ldap_result(session->ld, LDAP_RES_ANY, LDAP_MSG_ONE, &no_wait, &raw);
  MessagePtr message(raw);
  if (rc == kResultTimedOut) return true;
  if (rc == kResultFailed) {
    // No request outstanding is not a failure of the connection.
    const ULONG code = LastCode(session->ld);
    return !IsConnectionFailure(static_cast<int>(code));
  }
  // A late answer to an abandoned request is harmless; an unsolicited
  // notification is the server's notice of disconnection.
  return message == nullptr || message->lm_msgid != kUnsolicitedMessageId;
}

void Close(NativeSession* session) { std::unique_ptr<NativeSession> owned(session); }

}  // namespace

NativeSession::~NativeSession() {
  if (ld != nullptr) {
    SessionRegistry::Get().Remove(ld);
    ldap_unbind(ld);
  }
}

namespace hooks {

Operations DefaultOperations() {
  return Operations{&Connect, &Bind, &KerberosBind, &Search, &NextResult, &Abandon, &IsAlive, &Close};
}

}  // namespace hooks

std::string ResultText(int code) { return ErrorText(static_cast<ULONG>(code)); }

void PrepareClientLibrary() {}

}  // namespace platform::ldap
