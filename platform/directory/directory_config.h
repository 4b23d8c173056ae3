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
#ifndef USERPOLICY_PLATFORM_DIRECTORY_DIRECTORY_CONFIG_H_
#define USERPOLICY_PLATFORM_DIRECTORY_DIRECTORY_CONFIG_H_

#include <string>
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

  // Reads the settings table; the defaults when there is none.
  static DirectoryConfig Load();
};

}  // namespace directory

#endif  // USERPOLICY_PLATFORM_DIRECTORY_DIRECTORY_CONFIG_H_
