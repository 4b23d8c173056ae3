// Configuration of the directory-access library, read from the settings
// table [DirectoryAccess.DEFAULT] (platform/settings.h), separate from the
// module's cache settings:
//
//   [DirectoryAccess.DEFAULT]
//   GlobalCatalogServers = "gc1.example.test:3268, gc2.example.test"  # in order
//   DomainController = "dc1.example.test"       # rootDSE discovery
//   Forest = "example.test"                     # DNS SRV _gc._tcp.<forest>
//   BindDN = "CN=svc-userpolicy,CN=Users,DC=example,DC=test"  # empty: anonymous
//   PasswordFile = "/etc/userpolicy/bind-password"  # first line is the password
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
// A value of the wrong type or out of range is reported by one warning
// naming the key and its line in the file, and the default is kept.
//
// A host may replace the configured Global Catalog servers without touching
// the file (OverrideGlobalCatalogServers): every later Load then returns the
// override's servers, whatever the file says or whether there is one.
//
// Thread safety: Load and the override functions may be called from any
// thread.
#ifndef USERPOLICY_PLATFORM_DIRECTORY_DIRECTORY_CONFIG_H_
#define USERPOLICY_PLATFORM_DIRECTORY_DIRECTORY_CONFIG_H_

#include <string>
#include <string_view>
#include <vector>

namespace directory {

struct DirectoryConfig {
  enum class Tls { kNone, kLdaps, kStartTls };

  static constexpr int kDefaultConnectTimeoutMs = 3000;
  static constexpr int kDefaultOperationTimeoutMs = 5000;
  static constexpr int kDefaultPoolSize = 4;
  static constexpr int kDefaultFailureBackoffMs = 1000;
  static constexpr int kDefaultMaxFailureBackoffMs = 30000;

  std::vector<std::wstring> global_catalog_servers;  // "host[:port]"
  std::wstring domain_controller;
  std::wstring forest;
  std::wstring bind_dn;
  std::string password_file;  // the password itself is read when binding
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

  // Reads the settings table (the defaults when there is none), then
  // applies the Global Catalog override, if one is set.
  static DirectoryConfig Load();
};

// Whether `server` is "host", "host:port" (port 1 to 65535) or "[v6]:port".
bool IsServerName(std::wstring_view server);

// Makes every later Load return `servers` ("host[:port]" each, in the order
// to try) as global_catalog_servers; an empty list removes the override.
// Returns false and changes nothing when an entry is not a server name,
// with *rejected set to that entry (when rejected is not null).
bool OverrideGlobalCatalogServers(const std::vector<std::wstring>& servers, std::wstring* rejected);

}  // namespace directory

#endif  // USERPOLICY_PLATFORM_DIRECTORY_DIRECTORY_CONFIG_H_
