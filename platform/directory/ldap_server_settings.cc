#include "platform/directory/ldap_server_settings.h"

#include <utility>

#include "platform/crt.h"
#include "platform/directory/gc_discovery.h"
#include "platform/directory/ldap_kerberos_bind.h"
#include "platform/utf8.h"

namespace directory::ldap_backend_internal {

std::optional<ServerSpec> ParseServerSpec(std::wstring_view text) {
  const std::optional<DirectoryPath> server = DirectoryPath::ParseServer(text);
  if (!server) return std::nullopt;
  return ServerSpec{server->host, server->port};
}

Endpoint MakeEndpoint(const std::wstring& host, int port, bool ldaps) {
  Endpoint endpoint;
  endpoint.host = host;
  endpoint.port = port;
  std::wstring authority = (host.find(L':') != std::wstring::npos ? L"[" + host + L"]" : host) + L":";
  platform::AppendDecimal(&authority, static_cast<unsigned>(port));
  endpoint.name = authority;
  endpoint.uri = (ldaps ? "ldaps://" : "ldap://") + platform::WideToUtf8(authority);
  return endpoint;
}

int Settings::PortFor(const ServerSpec& server_spec, DirectoryPath::Scheme scheme) const {
  const bool standard = server_spec.port == 0 || server_spec.port == DirectoryPath::kGlobalCatalogPort ||
                        server_spec.port == kGlobalCatalogTlsPort || server_spec.port == DirectoryPath::kLdapPort ||
                        server_spec.port == kLdapTlsPort;
  if (!standard) return server_spec.port;
  if (scheme == DirectoryPath::Scheme::kGlobalCatalog) {
    const bool default_port = server_spec.port == DirectoryPath::kGlobalCatalogPort || server_spec.port == 0;
    return default_port ? GlobalCatalogPort() : server_spec.port;
  }
  const bool default_port = server_spec.port == DirectoryPath::kLdapPort || server_spec.port == 0;
  return default_port ? LdapPort() : server_spec.port;
}

std::vector<ServerSpec> Settings::GlobalCatalogs() const {
  if (!global_catalogs.empty()) return global_catalogs;
  platform::MutexLock lock(&discovery_mu);
  if (!discovered) {
    std::vector<std::wstring> names;
    std::vector<ServerSpec> specs;
    if (SUCCEEDED(DiscoverGlobalCatalogServers(config, &names))) {
      for (const std::wstring& name : names) {
        if (std::optional<ServerSpec> server_spec = ParseServerSpec(name)) specs.push_back(std::move(*server_spec));
      }
    }
    discovered = std::move(specs);
  }
  return *discovered;
}

std::shared_ptr<const Settings> MakeSettings(DirectoryConfig config) {
  auto settings = std::make_shared<Settings>();
  settings->ldaps = config.tls == DirectoryConfig::Tls::kLdaps;
  settings->search_base = platform::WideToUtf8(config.search_base);
  for (const std::wstring& server : config.global_catalog_servers) {
    if (std::optional<ServerSpec> server_spec = ParseServerSpec(server)) {
      settings->global_catalogs.push_back(*server_spec);
    }
  }
  if (!config.domain_controller.empty()) settings->domain_controller = ParseServerSpec(config.domain_controller);
  settings->connect.start_tls = config.tls == DirectoryConfig::Tls::kStartTls;
  settings->connect.ca_file = config.ca_file;
  settings->connect.verify_certificate = config.verify_certificate;
  settings->connect.connect_timeout = std::chrono::milliseconds(config.connect_timeout_ms);
  settings->connect.operation_timeout = std::chrono::milliseconds(config.operation_timeout_ms);
  settings->operation_timeout = settings->connect.operation_timeout;
  settings->failure_backoff = std::chrono::milliseconds(config.failure_backoff_ms);
  settings->max_failure_backoff = std::chrono::milliseconds(config.max_failure_backoff_ms);
  // Unusable bind settings are reported by every call, and once at
  // start-up (LdapBackend).
  std::string principal;
  if (CheckBindSettings(config, &principal, &settings->bind_problem) &&
      config.bind_method == DirectoryConfig::BindMethod::kGssapi) {
    settings->kerberos = std::make_shared<KerberosLogin>(config.keytab_file, principal, config.minimum_ssf);
  }
  settings->connection_key = std::to_wstring(static_cast<int>(config.tls)) + L"|" +
                             platform::Utf8ToWide(config.ca_file) + L"|" + (config.verify_certificate ? L"v" : L"-") +
                             L"|" + std::to_wstring(config.connect_timeout_ms) + L"|" +
                             std::to_wstring(config.operation_timeout_ms) + L"|" + std::to_wstring(config.pool_size) +
                             L"|" + std::to_wstring(static_cast<int>(config.bind_method)) + L"|" + config.bind_dn +
                             L"|" + platform::Utf8ToWide(config.password_file) + L"|" +
                             platform::Utf8ToWide(config.keytab_file) + L"|" + platform::Utf8ToWide(principal) +
                             L"|" + std::to_wstring(config.minimum_ssf) + L"|" + settings->bind_problem;
  settings->config = std::move(config);
  return settings;
}

}  // namespace directory::ldap_backend_internal
