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
// A value of the wrong type or out of range is reported by one warning
// naming the key and its line in the file, and the default is kept.
#ifndef USERPOLICY_PLATFORM_DIRECTORY_DIRECTORY_CONFIG_H_
#define USERPOLICY_PLATFORM_DIRECTORY_DIRECTORY_CONFIG_H_

#include <string>
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

  // Reads the settings table; the defaults when there is none.
  static DirectoryConfig Load();
};

}  // namespace directory

#endif  // USERPOLICY_PLATFORM_DIRECTORY_DIRECTORY_CONFIG_H_
