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
//   ConnectTimeoutMs = 5000
//   OperationTimeoutMs = 15000
//   PoolSize = 4                                # connections kept per server
//   SearchBase = ""                             # base of searches from a forest root
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

  static constexpr int kDefaultConnectTimeoutMs = 5000;
  static constexpr int kDefaultOperationTimeoutMs = 15000;
  static constexpr int kDefaultPoolSize = 4;

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
