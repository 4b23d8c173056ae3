// A small LDAP client: one connection to one server, opened with a URI,
// timeouts and TLS options, bound with a simple bind, with Kerberos (SASL
// GSSAPI, with signing or sealing) or not at all (anonymous access), that
// runs searches and hands back the entries with every value as bytes.
//
// The rest of the library speaks LDAP only through this header and never
// includes <ldap.h>. Connection and the operation table are the same on
// every system (platform/ldap_api.cc); the operations themselves are
// OpenLDAP's libldap on POSIX systems (platform/posix/ldap_api_posix.cc) and
// wldap32 on Windows (platform/win/ldap_api_win.cc).
//
// Every call into the LDAP library goes through a table of operations
// (connect, bind, Kerberos bind, search, next result, abandon, liveness,
// close) that a test
// may replace to slow down, block or fail chosen calls, or to answer with
// made-up entries: see platform/ldap_api_hook.h.
//
// Signals: no call raises SIGPIPE, also on a connection the server has
// reset, so that the host need not ignore the signal.
//
// Thread safety: one Connection is used by one thread at a time; distinct
// connections may be used on distinct threads at once. The free functions
// are thread-safe.
#ifndef USERPOLICY_PLATFORM_LDAP_API_H_
#define USERPOLICY_PLATFORM_LDAP_API_H_

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform::kerberos {
class ClientCredentials;
}  // namespace platform::kerberos

namespace platform::ldap {

// Result codes. The server's are those of RFC 4511; the client's carry the
// numbers of the classic LDAP C API (RFC 1823, also wldap32's), so that the
// code reported in errors is the same on every system. Codes not listed
// keep their RFC 4511 number.
enum ResultCode : int {
  kSuccess = 0,
  kOperationsError = 1,
  kProtocolError = 2,
  kTimeLimitExceeded = 3,
  kSizeLimitExceeded = 4,
  kAuthMethodNotSupported = 7,
  kStrongerAuthRequired = 8,
  kAdminLimitExceeded = 11,
  kConfidentialityRequired = 13,
  kNoSuchAttribute = 16,
  kUndefinedAttributeType = 17,
  kNoSuchObject = 32,
  kInvalidDnSyntax = 34,
  kInappropriateAuthentication = 48,
  kInvalidCredentials = 49,
  kInsufficientAccessRights = 50,
  kBusy = 51,
  kUnavailable = 52,
  kUnwillingToPerform = 53,
  kOther = 80,
  // Client side.
  kServerDown = 0x51,  // the connection could not be made or was lost
  kLocalError = 0x52,
  kEncodingError = 0x53,
  kDecodingError = 0x54,
  kTimeout = 0x55,  // no answer within the timeout
  kAuthUnknown = 0x56,
  kFilterError = 0x57,  // the filter does not parse
  kUserCancelled = 0x58,
  kParamError = 0x59,
  kNoMemory = 0x5a,
  kConnectError = 0x5b,  // connected, but the session could not be set up
};

// The outcome of one operation.
struct Status {
  int code = kSuccess;     // a ResultCode (other server codes pass through)
  std::string text;        // the library's text for the code
  std::string diagnostic;  // the server's diagnostic message, or local detail
  bool tls = false;        // the failure happened while setting up TLS

  bool ok() const { return code == kSuccess; }
};

// True for the codes that mean the connection itself is unusable (lost,
// never made, not answering, or carrying answers that cannot be decoded, so
// that nothing after them can be trusted), as opposed to a refused request.
bool IsConnectionFailure(int code);

// The library's text for `code` ("Can't contact LDAP server").
std::string ResultText(int code);

// Sets the system's LDAP client library up for the process, once: libldap
// reads its configuration files and initialises SASL, which loads every
// SASL plugin installed (milliseconds; most of a new process's first
// lookup). Opening the first connection does it otherwise; a module calls
// it at start so that its first lookup does not wait for it. Thread-safe;
// later calls return at once. wldap32 needs nothing.
void PrepareClientLibrary();

// How to reach a server.
struct ConnectOptions {
  static constexpr std::chrono::milliseconds kDefaultTimeout{15000};

  std::string uri;                 // "ldap://host:port" or "ldaps://host:port"
  bool start_tls = false;          // StartTLS after connecting (ldap:// only)
  std::string ca_file;             // PEM CA certificates; empty: system default
  bool verify_certificate = true;  // refuse servers whose certificate fails
  std::chrono::milliseconds connect_timeout = kDefaultTimeout;
  std::chrono::milliseconds operation_timeout = kDefaultTimeout;
};

enum class Scope : int { kBase = 0, kOneLevel = 1, kSubtree = 2 };

// A control sent with a request (RFC 4511 4.1.11). A server that does not
// know a control that is not critical ignores it.
struct Control {
  std::string oid;
  std::string value;  // the control's value, BER-encoded as the control defines it
  bool critical = false;
};

struct SearchRequest {
  std::string base;  // UTF-8 DN, passed as written
  Scope scope = Scope::kBase;
  std::string filter = "(objectClass=*)";
  std::vector<std::string> attributes;  // empty: the server's default set
  int size_limit = 0;                   // entries wanted; 0: no limit
  // Time the server may spend (rounded up to whole seconds) and the client
  // waits for the whole answer; the request is abandoned after it.
  std::chrono::milliseconds timeout = ConnectOptions::kDefaultTimeout;
  std::vector<Control> controls;  // sent with the request
};

// One attribute of an entry as the server returned it: the name as the
// server spelled it (with options such as ";range=0-1499") and every value
// as bytes.
struct Attribute {
  std::string name;
  std::vector<std::string> values;
};

struct Entry {
  std::string dn;  // UTF-8, as the server returned it
  std::vector<Attribute> attributes;
};

// One message of a search's answer.
struct SearchItem {
  enum class Kind { kEntry, kReference, kDone };
  Kind kind = Kind::kDone;
  Entry entry;    // kEntry
  Status result;  // kDone: the search's final result
};

// The answer to one of several searches outstanding at once
// (Connection::SearchAll).
struct SearchOutcome {
  Status status;               // as Connection::Search returns it
  std::vector<Entry> entries;  // the entries, also when the status is a failure
};

// A Kerberos bind: SASL GSSAPI with the given credentials, the service
// named "ldap/<host>" from the host name of the connection's URI as
// written (no reverse lookup: a URI holding an address names no service a
// directory knows), and a security layer of at least `minimum_ssf`.
struct KerberosBindRequest {
  // Minimum security strength factors: 1 is integrity (every message
  // signed); above 1, confidentiality too (sealed; the cipher's key bits).
  static constexpr int kSigning = 1;

  const kerberos::ClientCredentials* credentials = nullptr;  // required; used during the bind only
  int minimum_ssf = kSigning;                                 // at least kSigning
};

// How a connection is authenticated: what its last successful bind
// established (before any bind: anonymous).
struct Authentication {
  enum class Method { kAnonymous, kSimple, kKerberos };

  Method method = Method::kAnonymous;
  std::string identity;     // the bind DN, or the principal the bind authenticated as
  int ssf = 0;              // the security layer's strength factor (Kerberos); 0: none
  int64_t valid_until = 0;  // Kerberos: when its ticket ends (seconds since 1970,
                            // the library's clock); 0: no end
};

// The library's state of one connection; defined by the implementation.
struct NativeSession;

class Connection {
 public:
  // Connects to options.uri (TCP within the connect timeout, then TLS for
  // ldaps:// or StartTLS). On success *connection holds the open, not yet
  // bound, connection; on failure it is null and the status says why.
  static Status Open(const ConnectOptions& options, std::unique_ptr<Connection>* connection);

  // Unbinds and closes.
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Simple bind; an empty dn and password bind anonymously. The password is
  // only passed to the server, never kept or logged.
  Status SimpleBind(const std::string& dn, const std::string& password);

  // Kerberos bind (see KerberosBindRequest), each round trip bounded by the
  // operation timeout. Fails with the server's result, or with kLocalError
  // and the Kerberos reason as the diagnostic (no ticket for the service,
  // an expired ticket, no KDC), kAuthUnknown when the system has no GSSAPI
  // mechanism, or kLocalError when the strength negotiated is below
  // request.minimum_ssf. On success authentication() describes the
  // identity, strength and ticket end. A failed bind may be repeated on the
  // same connection.
  Status KerberosBind(const KerberosBindRequest& request);

  // What the last successful bind established.
  const Authentication& authentication() const { return authentication_; }

  // Runs `request` and appends the entries it returns to *entries (search
  // continuation references are skipped). Waits at most request.timeout for
  // the whole answer, then abandons the request and returns kTimeout.
  // A size limit reached with entries in hand is success.
  Status Search(const SearchRequest& request, std::vector<Entry>* entries);

  // Runs every request of `requests` as Search does, with up to
  // kMaxOutstanding of them sent before their answers are read (one round
  // trip for them all, not one each), and stores the answer to requests[i]
  // in (*outcomes)[i]. Each request waits at most its timeout from the
  // moment it was sent. After a connection failure the requests not yet
  // answered get that failure, without being sent.
  static constexpr size_t kMaxOutstanding = 32;
  void SearchAll(const std::vector<SearchRequest>& requests, std::vector<SearchOutcome>* outcomes);

  // False when the connection is known to be unusable: a connection failure
  // happened on it, or the server closed it. Cheap (no round trip).
  bool IsAlive();
  // True once a connection failure happened on it. No system call.
  bool broken() const { return broken_; }

  const ConnectOptions& options() const { return options_; }

 private:
  struct PrivateTag {};
  using CloseFunction = void (*)(NativeSession*);

 public:
  // For Open only (through std::make_unique).
  Connection(PrivateTag, ConnectOptions options, NativeSession* session, CloseFunction close);

 private:
  ConnectOptions options_;
  NativeSession* session_;  // owned; released with close_
  CloseFunction close_;     // the close operation in effect when it opened
  bool broken_ = false;
  Authentication authentication_;
};

}  // namespace platform::ldap

#endif  // USERPOLICY_PLATFORM_LDAP_API_H_
