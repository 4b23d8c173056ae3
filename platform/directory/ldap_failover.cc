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

  return servers;
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

void ServerState::RecordFailure(const ServerFailure& failure, const Settings& settings) {
  const int64_t now = std::max<int64_t>(Clock::now().time_since_epoch().count(), 1);
  platform::MutexLock lock(&failure_mu);
  backoff = backoff.count() == 0 ? settings.failure_backoff : std::min(2 * backoff, settings.max_failure_backoff);
  last_failure = failure;
  failed_at = now;
  retry_at.store(now + std::chrono::duration_cast<Clock::duration>(backoff).count(), std::memory_order_relaxed);
  failures.fetch_add(1, std::memory_order_release);
}

ServerFailure Failover::PoolTimeout(const Endpoint& endpoint) {
  const ldap::Status status{ldap::kTimeout, ldap::ResultText(ldap::kTimeout),
                            "no pooled connection became free within the operation timeout", false};
  return ServerFailure{status, L"wait for a connection", endpoint.name};
}

std::wstring Failover::SkippedNote(const SkippedServers& skipped) {
  if (skipped.empty()) return L"";
  std::wstring note = L"; skipped ";
  for (size_t i = 0; i < skipped.size(); ++i) {
    if (i > 0) note += L", ";
    note += skipped[i].first->name;
  }
  return note + L" (failed lately)";
}

void Failover::ThrowAllSkipped(const SkippedServers& skipped, const std::wstring& operation,
                               const std::wstring& target, const Settings& settings) {
  // The most recent failure among the skipped servers speaks for them all.
  const Endpoint* server = nullptr;
  std::optional<ServerFailure> failure;
  int64_t failed_at = 0;
  int64_t retry_at = 0;
  for (const auto& [endpoint, state] : skipped) {
    platform::MutexLock lock(&state->failure_mu);
    if (state->last_failure && (server == nullptr || state->failed_at > failed_at)) {
      server = endpoint;
      failure = state->last_failure;
      failed_at = state->failed_at;
    }
    const int64_t next = state->retry_at.load(std::memory_order_relaxed);
    if (next != 0 && (retry_at == 0 || next < retry_at)) retry_at = next;
  }
  if (server == nullptr) {
    // Every server answered meanwhile: the caller's next call will use them.
    DirectoryErrorContext context;
    context.operation = operation;
    context.target = target;
    DIRECTORY_THROW(kDirectoryServerDown, L"every directory server was being probed by other calls", context);
  }
  const int64_t now = Clock::now().time_since_epoch().count();
  const auto to_ms = [](int64_t ticks) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::duration(std::max<int64_t>(ticks, 0))).count();
  };
  std::wstring note = L"; not tried: it failed " + std::to_wstring(to_ms(now - failed_at)) + L" ms ago";
  if (skipped.size() > 1) note = L"; not tried: every server failed lately, " + server->name + L" " +
                                 std::to_wstring(to_ms(now - failed_at)) + L" ms ago";
  note += L", next try in " + std::to_wstring(to_ms(retry_at - now)) + L" ms";
  std::vector<Endpoint> servers;
  for (const auto& entry : skipped) servers.push_back(*entry.first);
  ThrowAllFailed(servers, *server, *failure, L"", operation, settings, note);
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
                              const Settings& settings, const std::wstring& note) {
  const std::wstring step = failure.operation == operation ? operation : failure.operation + L" (" + operation + L")";
  const DirectoryErrorContext context = ErrorContextOf(last_server, step, failure.target, failure.status);
  std::wstring where = servers.size() > 1 && !tried.empty() ? L" (tried " + tried + L")" : L"";
  if (!note.empty()) where += L" (" + note.substr(2) + L")";
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
    if (!failure.connected) {
      DIRECTORY_THROW(kDirectoryServerDown, L"cannot reach the directory server " + last_server.name + where, context);
    }
    // Closed or reset by the server (or on the way) after it was reached.
    DIRECTORY_THROW(kDirectoryServerDown,
                    L"lost the connection to the directory server " + last_server.name + L" during the " +
                        failure.operation + where,
                    context);
  }
  if (failure.status.code == ldap::kDecodingError) {
    DIRECTORY_THROW(kDirectoryServerDown,
                    L"the directory server " + last_server.name + L" answered the " + failure.operation +
                        L" with something that is not LDAP" + where,
                    context);
  }
  // It answered, but not with service: busy, unavailable or refusing.
  DIRECTORY_THROW(kDirectoryServerDown,
                  L"the directory server " + last_server.name + L" cannot answer now (" +
                      platform::Utf8ToWide(failure.status.text) + L")" + where,
                  context);
}

}  // namespace directory::ldap_backend_internal
