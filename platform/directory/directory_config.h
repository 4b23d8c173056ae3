// Configuration of the directory-access library, read from the settings
// table [DirectoryAccess.DEFAULT] (platform/settings.h), separate from the
// module's cache settings:
//
//   [DirectoryAccess.DEFAULT]
//   GlobalCatalogServers = "gc1.example.test:3268, gc2.example.test"  # in order
//   DomainController = "dc1.example.test"       # rootDSE discovery
//   Forest = "example.test"                     # DNS SRV _gc._tcp.<forest>
//   BindMethod = "simple"                       # simple | gssapi
//   BindDN = "CN=svc-userpolicy,CN=Users,DC=example,DC=test"  # simple; empty: anonymous
//   PasswordFile = "/etc/userpolicy/bind-password"  # simple; first line is the password
//   KeytabFile = "/etc/userpolicy/service.keytab"   # gssapi: the service's keys (not on Windows)
//   Principal = "svc-userpolicy@EXAMPLE.TEST"       # gssapi; empty: the keytab's first (not on Windows)
//   MinimumSsf = 1                              # gssapi: 1 signing, 56 and more sealing
//   Tls = "none"                                # none | ldaps | starttls
//   CaFile = "/etc/userpolicy/ca.pem"
//   VerifyCertificate = true
//   ConnectTimeoutMs = 3000
//   OperationTimeoutMs = 5000
//   PoolSize = 4                                # connections kept per server
//   SearchBase = ""                             # base of searches from a forest root
//   FailureBackoffMs = 1000                     # a failed server is skipped this long,
//   MaxFailureBackoffMs = 30000                 #   doubling while it keeps failing
//   ReadAhead = true                            # a group walk reads a level at a time
//   SchemaCacheFile = "/var/cache/userpolicy/attribute-types"  # "": none
//
// The time-outs suit a login path: a Global Catalog answers in milliseconds,
// so one that has not answered in seconds is treated as failed, and the next
// server is tried. A server that failed is skipped for FailureBackoffMs;
// then one caller at a time probes it while the others skip it. Each failed
// probe doubles the period up to MaxFailureBackoffMs; an answer ends it.
// When every server is being skipped, a call fails at once with the last
// error instead of waiting for a time-out, so that an outage costs a login
// at most one time-out, however many lookups it makes.
//
// ReadAhead lets a walk up memberOf (the module's group resolution) have its
// groups read a level at a time, several requests outstanding on one
// connection, instead of one per round trip; what is read, found and failed
// stays the same (read_ahead.h). false reads one group per call.
//
// SchemaCacheFile keeps, between processes, the attribute type definitions
// read from each server (ldap_schema_cache.h), so that a new process (every
// run of upm) types values without asking the server for them again; they
// are used for a day after they were read. By default it is
// attribute-types in the account's cache folder (platform/private_file.h:
// ~/.cache/userpolicy on Linux, %LOCALAPPDATA%\userpolicy on Windows); ""
// keeps nothing. A file another account could have written is not read.
//
// A value of the wrong type or out of range is reported by one warning
// naming the key and its line in the file, and the default is kept. The
// bind settings are the exception: a wrong BindMethod, BindMethod "gssapi"
// without a KeytabFile, or a MinimumSsf outside 1..256 must not fall back
// to a weaker bind, so they leave the bind settings unusable (bind_problem)
// and every bind fails with that one error naming the key; CheckBindSettings
// then also reads the keytab.
//
// Kerberos (BindMethod = "gssapi"): the library binds with SASL GSSAPI as
// Principal with the keys of KeytabFile, and never with an unsigned
// connection (MinimumSsf 1 asks for every message to be signed; 56 and more
// for them to be sealed as well). BindDN and PasswordFile are not used. The
// realm's KDC comes from the system's Kerberos configuration (krb5.conf, or
// the file KRB5_CONFIG names). Servers must be named by host name, since
// the service ticket is for "ldap/<host>".
//
// On Windows "gssapi" binds through the system's Negotiate package as the
// account the service runs as (its domain account, or the computer's
// account for LocalSystem and NetworkService), with signing and sealing
// asked for; the system keeps that account's tickets. There is no keytab:
// KeytabFile and Principal are not needed, and either one set leaves the
// bind settings unusable with an error naming the key, since the identity
// it asks for is not the one the bind would use.
//
// A host may replace the configured Global Catalog servers without touching
// the file (OverrideGlobalCatalogServers): every later Load then returns the
// override's servers, whatever the file says or whether there is one. It
// may replace the bind method, keytab and principal likewise
// (OverrideBindSettings).
//
// Thread safety: Load and the override functions may be called from any
// thread.
#ifndef USERPOLICY_PLATFORM_DIRECTORY_DIRECTORY_CONFIG_H_
#define USERPOLICY_PLATFORM_DIRECTORY_DIRECTORY_CONFIG_H_

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace directory {

struct DirectoryConfig {
  enum class Tls { kNone, kLdaps, kStartTls };
  enum class BindMethod { kSimple, kGssapi };

  static constexpr int kDefaultConnectTimeoutMs = 3000;
  static constexpr int kDefaultOperationTimeoutMs = 5000;
  static constexpr int kDefaultPoolSize = 4;
  static constexpr int kDefaultFailureBackoffMs = 1000;
  static constexpr int kDefaultMaxFailureBackoffMs = 30000;
  static constexpr int kDefaultMinimumSsf = 1;  // signing
  static constexpr int kMaxMinimumSsf = 256;

  std::vector<std::wstring> global_catalog_servers;  // "host[:port]"
  std::wstring domain_controller;
  std::wstring forest;
  BindMethod bind_method = BindMethod::kSimple;
  std::wstring bind_dn;
  std::string password_file;  // the password itself is read when binding
  std::string keytab_file;
  std::string principal;  // UTF-8
  int minimum_ssf = kDefaultMinimumSsf;
  // Why the bind settings cannot be used, naming the key; empty when the
  // file shows no reason (CheckBindSettings looks further).
  std::wstring bind_problem;
  Tls tls = Tls::kNone;
  std::string ca_file;
  bool verify_certificate = true;
  int connect_timeout_ms = kDefaultConnectTimeoutMs;
  int operation_timeout_ms = kDefaultOperationTimeoutMs;
  int pool_size = kDefaultPoolSize;
  std::wstring search_base;
  int failure_backoff_ms = kDefaultFailureBackoffMs;
  int max_failure_backoff_ms = kDefaultMaxFailureBackoffMs;
  bool read_ahead = true;
  // Where definitions read from servers are kept between processes, UTF-8;
  // empty: nowhere. Load makes DefaultSchemaCacheFile() the default.
  std::string schema_cache_file;

  // Reads the settings table (the defaults when there is none), then
  // applies the Global Catalog override, if one is set.
  static DirectoryConfig Load();
};

// attribute-types in the account's cache folder (platform::UserCacheFile);
// empty when the account has none.
std::string DefaultSchemaCacheFile();

// Whether `server` is "host", "host:port" (port 1 to 65535) or "[v6]:port".
bool IsServerName(std::wstring_view server);

// Whether the bind settings of `config` can be used: no bind_problem and,
// for BindMethod "gssapi", a KeytabFile that can be read as a keytab and
// holds keys of the Principal (any principal when none is configured). On
// success *principal (when not null) is the principal to bind as, in full
// ("name@REALM"; the keytab's first when none is configured; empty for a
// simple bind). On failure false, with *problem one line that names the
// key and says why, never what the keytab holds. Reads the keytab; makes
// no network request. Thread-safe.
bool CheckBindSettings(const DirectoryConfig& config, std::string* principal, std::wstring* problem);

// What OverrideBindSettings puts in place of the file's BindMethod,
// KeytabFile and Principal; fields left empty keep the file's.
struct BindOverride {
  std::optional<DirectoryConfig::BindMethod> method;
  std::string keytab_file;
  std::string principal;  // UTF-8
};

// Makes every later Load use the fields `bind` sets instead of the file's
// (the file's own value for a field it sets is then neither read nor
// reported); a BindOverride with no field set removes the override.
void OverrideBindSettings(const BindOverride& bind);

// Makes every later Load return `servers` ("host[:port]" each, in the order
// to try) as global_catalog_servers; an empty list removes the override.
// Returns false and changes nothing when an entry is not a server name,
// with *rejected set to that entry (when rejected is not null).
bool OverrideGlobalCatalogServers(const std::vector<std::wstring>& servers, std::wstring* rejected);

}  // namespace directory

#endif  // USERPOLICY_PLATFORM_DIRECTORY_DIRECTORY_CONFIG_H_
