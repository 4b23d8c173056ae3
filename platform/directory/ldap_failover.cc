#include "platform/directory/ldap_failover.h"

#include "platform/ascii.h"
#include "platform/directory/directory_error.h"
#include "platform/log.h"
#include "platform/utf8.h"

namespace directory::ldap_backend_internal {
namespace {

constexpr char kSource[] = "ldap_backend";

// The servers for `path` in configured order: its host first, then (LDAP)
// the domain controller, then the Global Catalogs; duplicates dropped.
std::vector<Endpoint> ConfiguredServers(const DirectoryPath& path, const Settings& settings) {
  std::vector<Endpoint> servers;
  auto add = [&](const std::wstring& host, int port) {
    Endpoint endpoint = MakeEndpoint(host, port, settings.ldaps);
    for (const Endpoint& known : servers) {
      if (platform::EqualsIgnoringAsciiCase(known.name, endpoint.name)) return;
    }
    servers.push_back(std::move(endpoint));
  };
  if (!path.host.empty()) {
    const ServerSpec server_spec{path.host, path.port};
    add(path.host, path.port != 0 ? path.port : settings.PortFor(server_spec, path.scheme));
  }
  if (path.scheme == DirectoryPath::Scheme::kLdap && settings.domain_controller) {
    add(settings.domain_controller->host, settings.PortFor(*settings.domain_controller, path.scheme));
  }
  for (const ServerSpec& server_spec : settings.GlobalCatalogs()) {
    add(server_spec.host, settings.PortFor(server_spec, path.scheme));
  }
  return servers;
}

}  // namespace

void Failover::Reconfigure(std::shared_ptr<const Settings> settings) {
  std::map<std::wstring, std::shared_ptr<ConnectionPool>> dropped;
  platform::MutexLock lock(&mu_);
  if (settings_ == nullptr || settings_->connection_key != settings->connection_key) dropped.swap(pools_);
  settings_ = std::move(settings);
  // `dropped` goes after the lock: connections in use close when released.
}

std::shared_ptr<const Settings> Failover::CurrentSettings() const {
  platform::MutexLock lock(&mu_);
  return settings_;
}

std::shared_ptr<const std::vector<Endpoint>> Failover::ServersFor(const DirectoryPath& path,
                                                                  const Settings& settings) {
  std::shared_ptr<const std::vector<Endpoint>> servers;
  if (path.host.empty()) {
    // Host-less paths are the common case: their list is made once.
    const size_t slot = path.scheme == DirectoryPath::Scheme::kGlobalCatalog ? 0 : 1;
    {
      platform::MutexLock lock(&settings.discovery_mu);
      servers = settings.default_servers[slot];
    }
    if (servers == nullptr) {
      servers = std::make_shared<const std::vector<Endpoint>>(ConfiguredServers(path, settings));
      platform::MutexLock lock(&settings.discovery_mu);
      settings.default_servers[slot] = servers;
    }
  } else {
    {
      platform::MutexLock lock(&settings.discovery_mu);
      if (settings.last_host_servers.servers != nullptr && settings.last_host_servers.scheme == path.scheme &&
          settings.last_host_servers.port == path.port && settings.last_host_servers.host == path.host) {
        servers = settings.last_host_servers.servers;
      }
    }
    if (servers == nullptr) {
      servers = std::make_shared<const std::vector<Endpoint>>(ConfiguredServers(path, settings));
      platform::MutexLock lock(&settings.discovery_mu);
      settings.last_host_servers = Settings::HostServers{path.scheme, path.host, path.port, servers};
    }
  }

  // Servers that failed lately go last, in their configured order.
  const int64_t now = Clock::now().time_since_epoch().count();
  const int64_t hold_off = std::chrono::duration_cast<Clock::duration>(hold_off_).count();
  std::vector<bool> held_off(servers->size(), false);
  bool any_held_off = false;
  for (size_t i = 0; i < servers->size(); ++i) {
    const int64_t failed = StateFor((*servers)[i])->last_failure.load(std::memory_order_relaxed);
    held_off[i] = failed != 0 && now - failed < hold_off;
    any_held_off = any_held_off || held_off[i];
  }
  if (!any_held_off) return servers;
  auto ordered = std::make_shared<std::vector<Endpoint>>();
  ordered->reserve(servers->size());
  for (bool late : {false, true}) {
    for (size_t i = 0; i < servers->size(); ++i) {
      if (held_off[i] == late) ordered->push_back((*servers)[i]);
    }
  }
  return ordered;
}

std::shared_ptr<ConnectionPool> Failover::PoolFor(const Endpoint& endpoint,
                                                  const std::shared_ptr<const Settings>& settings) {
  platform::MutexLock lock(&mu_);
  if (settings_ != settings && settings_->connection_key != settings->connection_key) {
    // Settings changed while this call started: a pool of its own, closed
    // when the call ends.
    return std::make_shared<ConnectionPool>(endpoint, settings);
  }
  std::shared_ptr<ConnectionPool>& pool = pools_[endpoint.name];
  if (pool == nullptr) pool = std::make_shared<ConnectionPool>(endpoint, settings);
  return pool;
}

std::shared_ptr<ServerState> Failover::StateFor(const Endpoint& endpoint) {
  platform::MutexLock lock(&mu_);
  std::shared_ptr<ServerState>& state = servers_[endpoint.name];
  if (state == nullptr) state = std::make_shared<ServerState>();
  return state;
}

void Failover::ThrowNoServer(const std::wstring& operation, const std::wstring& target) {
  DirectoryErrorContext context;
  context.operation = operation;
  context.target = target;
  DIRECTORY_THROW(kDirectoryNoServer, L"no directory server is configured or can be discovered", context);
}

void Failover::LogRetry(const Endpoint& endpoint, const ServerFailure& failure) {
  DBG::DebugLogEx(nullptr, DBG::kLevelData, kSource, __LINE__,
                  L"a pooled connection to %s was dead (%S); retrying on a new one", endpoint.name.c_str(),
                  failure.status.text.c_str());
}

void Failover::LogFailover(const Endpoint& endpoint, const ServerFailure& failure) {
  DBG::DebugLogEx(nullptr, DBG::kLevelWarning, kSource, __LINE__, L"%s on %s failed (%S: %S); trying the next server",
                  failure.operation.c_str(), endpoint.name.c_str(), failure.status.text.c_str(),
                  failure.status.diagnostic.c_str());
}

void Failover::ThrowAllFailed(const std::vector<Endpoint>& servers, const Endpoint& last_server,
                              const ServerFailure& failure, const std::wstring& tried, const std::wstring& operation,
                              const Settings& settings) {
  const std::wstring step = failure.operation == operation ? operation : failure.operation + L" (" + operation + L")";
  const DirectoryErrorContext context = ErrorContextOf(last_server, step, failure.target, failure.status);
  const std::wstring where = servers.size() > 1 ? L" (tried " + tried + L")" : L"";
  if (failure.status.tls) {
    DIRECTORY_THROW(kDirectoryTlsFailed, L"TLS with the directory server " + last_server.name + L" failed" + where,
                    context);
  }
  if (failure.status.code == ldap::kTimeout) {
    DIRECTORY_THROW(kDirectoryTimeout,
                    L"the directory server " + last_server.name + L" did not answer in time (connect timeout " +
                        std::to_wstring(settings.config.connect_timeout_ms) + L" ms, operation timeout " +
                        std::to_wstring(settings.config.operation_timeout_ms) + L" ms)" + where,
                    context);
  }
  if (failure.status.code == ldap::kServerDown || failure.status.code == ldap::kConnectError) {
    DIRECTORY_THROW(kDirectoryServerDown, L"cannot reach the directory server " + last_server.name + where, context);
  }
  // It answered, but not with service: busy, unavailable, refusing, or
  // with something that is not LDAP.
  DIRECTORY_THROW(kDirectoryServerDown,
                  L"the directory server " + last_server.name + L" cannot answer now (" +
                      platform::Utf8ToWide(failure.status.text) + L")" + where,
                  context);
}

}  // namespace directory::ldap_backend_internal
