// The servers the LDAP backend may talk to and how, as worked out once from
// a DirectoryConfig.
// Internal to the LDAP backend (ldap_backend.h): included only by the
// backend's own .cc files and their tests.
//
// A server is named "host", "host:port", "[v6]" or "[v6]:port". Default
// ports: GC 3268 (3269 with Tls = ldaps), LDAP 389 (636). A configured
// server with a port other than those keeps it for both schemes (a test
// server that answers on one port).
//
// Thread safety: Settings is immutable once MakeSettings returns it, except
// for the lists it works out on first use, which its discovery_mu guards;
// every member may be called from any number of threads. The rest are
// values and pure functions.
#ifndef USERPOLICY_PLATFORM_DIRECTORY_LDAP_SERVER_SETTINGS_H_
#define USERPOLICY_PLATFORM_DIRECTORY_LDAP_SERVER_SETTINGS_H_

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/directory/directory_config.h"
#include "platform/directory/directory_path.h"
#include "platform/ldap_api.h"
#include "platform/sync.h"
#include "platform/thread_annotations.h"

namespace directory::ldap_backend_internal {

namespace ldap = platform::ldap;

inline constexpr int kGlobalCatalogTlsPort = 3269;
inline constexpr int kLdapTlsPort = 636;

// A server as configured: "host", "host:port", "[v6]" or "[v6]:port".
struct ServerSpec {
  std::wstring host;
  int port = 0;  // 0: none given
};

// `text` parsed as DirectoryPath::ParseServer reads a server, or nullopt
// when it is not one.
std::optional<ServerSpec> ParseServerSpec(std::wstring_view text);

class KerberosLogin;  // ldap_kerberos_bind.h

// One server to talk to.
struct Endpoint {
  std::wstring host;
  int port = 0;
  std::wstring name;  // "host:port" ("[v6]:port"), for messages and as the key of its state
  std::string uri;    // "ldap://host:port" or "ldaps://host:port"
};

Endpoint MakeEndpoint(const std::wstring& host, int port, bool ldaps);

// The configuration and what follows from it.
struct Settings {
  DirectoryConfig config;
  bool ldaps = false;
  std::string search_base;  // UTF-8
  std::vector<ServerSpec> global_catalogs;
  std::optional<ServerSpec> domain_controller;
  ldap::ConnectOptions connect;  // everything but the URI
  std::chrono::milliseconds operation_timeout{0};
  // How long a failed server is skipped at first, and at most.
  std::chrono::milliseconds failure_backoff{0};
  std::chrono::milliseconds max_failure_backoff{0};
  // What pooled connections depend on; pools of another key are closed.
  std::wstring connection_key;
  // How new connections bind: with Kerberos when the config says gssapi
  // (one login shared by every pool made with these settings), else simply.
  // `bind_problem` (naming the key) when the bind settings cannot be used
  // (CheckBindSettings): then no connection is made and every call fails
  // with it.
  std::shared_ptr<KerberosLogin> kerberos;
  std::wstring bind_problem;

  // Global Catalogs found by DNS when none is configured, looked up once,
  // and the servers of host-less paths by scheme, worked out once by
  // Failover::ServersFor.
  mutable platform::Mutex discovery_mu;
  mutable std::optional<std::vector<ServerSpec>> discovered GUARDED_BY(discovery_mu);
  mutable std::shared_ptr<const std::vector<Endpoint>> default_servers[2] GUARDED_BY(discovery_mu);
  // The servers of the last path with a host: the module names its Global
  // Catalog in every path, so this is the list of nearly every read.
  struct HostServers {
    DirectoryPath::Scheme scheme = DirectoryPath::Scheme::kGlobalCatalog;
    std::wstring host;
    int port = 0;
    std::shared_ptr<const std::vector<Endpoint>> servers;
  };
  mutable HostServers last_host_servers GUARDED_BY(discovery_mu);

  int GlobalCatalogPort() const { return ldaps ? kGlobalCatalogTlsPort : DirectoryPath::kGlobalCatalogPort; }
  int LdapPort() const { return ldaps ? kLdapTlsPort : DirectoryPath::kLdapPort; }
  // The port a configured server is reached on for `scheme`: its own when
  // it is not one of the standard ports (a test server), else the scheme's.
  int PortFor(const ServerSpec& server_spec, DirectoryPath::Scheme scheme) const;

  // The configured Global Catalogs or, when none is configured, the ones
  // DNS SRV discovery finds (asked once; empty when it finds none).
  std::vector<ServerSpec> GlobalCatalogs() const;
};

// The settings `config` gives; servers that do not parse are left out.
// Checks the bind settings (reads the keytab for gssapi) but makes no
// network request.
std::shared_ptr<const Settings> MakeSettings(DirectoryConfig config);

}  // namespace directory::ldap_backend_internal

#endif  // USERPOLICY_PLATFORM_DIRECTORY_LDAP_SERVER_SETTINGS_H_
