// Which server a call of the LDAP backend talks to, and what happens when it
// fails.
// Internal to the LDAP backend (ldap_backend.h): included only by the
// backend's own .cc files and their tests.
//
// Order. A path's host is tried first; then, for LDAP:// paths, the domain
// controller; then the Global Catalogs, configured or discovered (on the
// LDAP port for LDAP:// paths). Duplicates are dropped.
//
// Back-off. A server that failed is skipped by every call for the settings'
// failure back-off; after that, one call at a time probes it (tries it in
// its place) while the others keep skipping it. A failed probe doubles the
// period, up to the settings' maximum; any answer ends the back-off. When
// every server is being skipped, Run fails at once with the most recent of
// their failures (the same error code it had). A call waits for one probe
// at most: once a probe failed after a wait (half an operation timeout or
// more: the server did not answer), the call goes on only to servers in
// good standing and skips the others, even those whose back-off is over;
// probes that fail at once (refused, reset) do not count. So when every
// server has failed once, an outage costs a caller at most one time-out,
// and most callers none.
//
// Retry and failover. Run takes a connection from the server's pool and runs
// the call's work on it. A call that finds the pool full waits for a
// connection at most the operation timeout, and stops waiting as soon as
// another call records a failure of the server: it then treats the server
// as skipped (it failed lately). A wait that outlasts the operation timeout
// moves on to the next server too, without marking this one as failed (the
// calls holding its connections will, if it failed); so a call spends at
// most about one operation timeout on a server that does not answer,
// however many calls share its pool. When the work fails with a ServerFailure on a
// connection that was idle in the pool (the server dropped it or
// restarted), the pool's idle connections are closed and the work runs once
// more on a fresh connection, unless the failure was a timeout. Any other
// ServerFailure moves on to the next server, with a warning naming the
// failed one. When every server failed, Run raises CDirectoryException:
// kDirectoryTlsFailed, kDirectoryTimeout or kDirectoryServerDown after the
// last failure, naming every server tried, its message saying what
// happened: the server could not be reached, the connection was lost during
// a step, the server answered with something that is not LDAP, did not
// answer in time, or refused service; kDirectoryNoServer when there was
// none to try. Other exceptions of the work pass through unchanged.
//
// Run is a template in this header so that the work of each call inlines
// into it; what runs only on failure is out of line.
//
// Thread safety: every member of Failover may be called from any number of
// threads. A Session belongs to the thread of its call.
#ifndef USERPOLICY_PLATFORM_DIRECTORY_LDAP_FAILOVER_H_
#define USERPOLICY_PLATFORM_DIRECTORY_LDAP_FAILOVER_H_

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/directory/directory_path.h"
#include "platform/directory/ldap_connection_pool.h"
#include "platform/directory/ldap_request_errors.h"
#include "platform/directory/ldap_schema_reader.h"
#include "platform/directory/ldap_server_settings.h"
#include "platform/directory/ldap_value_typing.h"
#include "platform/ldap_api.h"
#include "platform/sync.h"
#include "platform/thread_annotations.h"

namespace directory::ldap_backend_internal {

// The filter that matches any entry, for reads of one entry by its DN.
inline constexpr char kAnyObjectFilter[] = "(objectClass=*)";

// What the backend remembers about one server for its whole life.
struct ServerState {
  enum GuidForm : int { kGuidFormUnknown, kGuidFormExtendedDn, kGuidFormSearch };

  platform::Mutex mu;
  std::shared_ptr<const Schema> schema GUARDED_BY(mu);  // the types read so far; null until the first read
  platform::Mutex schema_load_mu;                       // one reader of the schema at a time
  SchemaSource schema_source GUARDED_BY(schema_load_mu);  // where the definitions are (ldap_schema_reader.h)
  // When the oldest of the definitions held was read (seconds since 1970);
  // 0 until some are read or taken from the schema cache.
  int64_t schema_read_at GUARDED_BY(schema_load_mu) = 0;
  std::atomic<int> guid_form{kGuidFormUnknown};         // how <GUID=...> paths are read

  // Back-off. Until `retry_at` (steady-clock ticks; 0: the server is in
  // good standing) calls skip the server; after it, the one caller that
  // sets `probing` tries it while the others still skip it.
  std::atomic<int64_t> retry_at{0};
  std::atomic<bool> probing{false};
  // Failures recorded so far: a call waiting for a pooled connection stops
  // when it changes (ConnectionPool::Acquire).
  std::atomic<uint64_t> failures{0};
  platform::Mutex failure_mu;
  std::chrono::milliseconds backoff GUARDED_BY(failure_mu){0};  // the period last set
  std::optional<ServerFailure> last_failure GUARDED_BY(failure_mu);
  int64_t failed_at GUARDED_BY(failure_mu) = 0;  // steady-clock ticks of last_failure

  // Starts or lengthens the back-off after `failure` (the first period is
  // settings.failure_backoff, each further one twice the last, at most
  // settings.max_failure_backoff).
  void RecordFailure(const ServerFailure& failure, const Settings& settings) EXCLUDES(failure_mu);
  // Ends the back-off after an answer. Cheap when there is none.
  void RecordSuccess() EXCLUDES(failure_mu) {
    if (retry_at.load(std::memory_order_relaxed) == 0) return;
    platform::MutexLock lock(&failure_mu);
    retry_at.store(0, std::memory_order_relaxed);
    backoff = std::chrono::milliseconds(0);
    last_failure.reset();
  }
};

// One call's view of the server it is talking to, valid during the work
// Failover::Run runs.
struct Session {
  ldap::Connection* connection;
  ServerState* server;
  const Endpoint* endpoint;
  const Settings* settings;

  // Runs `request` and appends its entries to *entries. Raises ServerFailure
  // (naming `operation` and `target`) for a server failure; returns the
  // status otherwise: success, or a refusal the caller interprets.
  ldap::Status Search(const ldap::SearchRequest& request, std::vector<ldap::Entry>* entries,
                      const std::wstring& operation, const std::wstring& target) const {
    const ldap::Status status = connection->Search(request, entries);
    if (IsServerFailure(status, FailedStep::kRequest)) throw ServerFailure{status, operation, target};
    return status;
  }

  // A request bounded by the operation timeout.
  ldap::SearchRequest Request(std::string base, ldap::Scope scope, std::string filter,
                              std::vector<std::string> attributes, int size_limit) const {
    ldap::SearchRequest request;
    request.base = std::move(base);
    request.scope = scope;
    request.filter = std::move(filter);
    request.attributes = std::move(attributes);
    request.size_limit = size_limit;
    request.timeout = settings->operation_timeout;
    return request;
  }
};

// The servers of one backend under its current settings: a connection pool
// and a ServerState per server, the order to try them in, and the loop that
// runs a call on the first that answers.
class Failover {
 public:
  Failover() = default;
  Failover(const Failover&) = delete;
  Failover& operator=(const Failover&) = delete;

  // Makes `settings` (not null) those of the calls that start from now on.
  // When the connection settings differ from the current ones, the pools
  // are dropped: idle connections close now, those in use when released.
  void Reconfigure(std::shared_ptr<const Settings> settings) EXCLUDES(mu_);

  // The current settings; null before the first Reconfigure.
  std::shared_ptr<const Settings> CurrentSettings() const EXCLUDES(mu_);

  // The servers to try for `path` under `settings`, best first (see the top
  // of this file). May be empty. The list of host-less paths and of the
  // last path with a host is kept in `settings`, so that a read does not
  // build it again.
  std::shared_ptr<const std::vector<Endpoint>> ServersFor(const DirectoryPath& path, const Settings& settings)
      EXCLUDES(mu_);

  // Runs `work(const Session&)` on the first of `servers` that answers, with
  // the retries and failover described at the top of this file, and returns
  // its result. `operation` and `target` name the call in errors.
  //
  // `failed_on` (optional) is a server that already failed this very call
  // in the way a server fails (a read made ahead of it that got no answer in
  // time): when the call reaches that server and would try it, the failure
  // counts as that try's, as if the call had made it, and the call goes on
  // to the next server without asking the failed one again.
  template <typename Work>
  auto Run(const std::vector<Endpoint>& servers, const std::shared_ptr<const Settings>& settings,
           const std::wstring& operation, const std::wstring& target, Work&& work,
           const std::pair<std::wstring, ServerFailure>* failed_on = nullptr)
      -> decltype(work(std::declval<const Session&>()));

 private:
  // The pool of `endpoint`: the shared one, or one of the call's own when
  // the connection settings changed since the call began.
  std::shared_ptr<ConnectionPool> PoolFor(const Endpoint& endpoint, const std::shared_ptr<const Settings>& settings)
      EXCLUDES(mu_);
  std::shared_ptr<ServerState> StateFor(const Endpoint& endpoint) EXCLUDES(mu_);

  // Whether this call may try a server: yes when the server is in good
  // standing, or when its back-off is over and no other call probes it (this
  // call then probes it until the claim goes out of scope).
  class ProbeClaim {
   public:
    explicit ProbeClaim(ServerState* state) {
      const int64_t retry_at = state->retry_at.load(std::memory_order_relaxed);
      if (retry_at == 0) return;
      if (Clock::now().time_since_epoch().count() < retry_at) {
        may_try_ = false;
        return;
      }
      bool idle = false;
      may_try_ = state->probing.compare_exchange_strong(idle, true, std::memory_order_acq_rel);
      if (may_try_) probing_ = state;
    }
    // Whether this call probes the server (it was not in good standing).
    bool probing() const { return probing_ != nullptr; }
    ~ProbeClaim() {
      if (probing_ != nullptr) probing_->probing.store(false, std::memory_order_release);
    }
    ProbeClaim(const ProbeClaim&) = delete;
    ProbeClaim& operator=(const ProbeClaim&) = delete;
    bool may_try() const { return may_try_; }

   private:
    bool may_try_ = true;
    ServerState* probing_ = nullptr;
  };

  using SkippedServers = std::vector<std::pair<const Endpoint*, std::shared_ptr<ServerState>>>;

  // The cold paths of Run.
  // The failure of a call whose wait for a pooled connection of `endpoint`
  // reached the operation timeout.
  static ServerFailure PoolTimeout(const Endpoint& endpoint);
  [[noreturn]] static void ThrowNoServer(const std::wstring& operation, const std::wstring& target);
  // Every server is being skipped: fails at once with the latest of their
  // failures, saying when the next probe may happen.
  [[noreturn]] static void ThrowAllSkipped(const SkippedServers& skipped, const std::wstring& operation,
                                           const std::wstring& target, const Settings& settings);
  // "; skipped a, b (failed lately)" or nothing.
  static std::wstring SkippedNote(const SkippedServers& skipped);
  static void LogRetry(const Endpoint& endpoint, const ServerFailure& failure);
  static void LogFailover(const Endpoint& endpoint, const ServerFailure& failure);
  // `tried` lists the servers tried; `note` ("; ...") adds what was skipped.
  [[noreturn]] static void ThrowAllFailed(const std::vector<Endpoint>& servers, const Endpoint& last_server,
                                          const ServerFailure& failure, const std::wstring& tried,
                                          const std::wstring& operation, const Settings& settings,
                                          const std::wstring& note = L"");

  mutable platform::Mutex mu_;
  std::shared_ptr<const Settings> settings_ GUARDED_BY(mu_);
  std::map<std::wstring, std::shared_ptr<ConnectionPool>> pools_ GUARDED_BY(mu_);
  std::map<std::wstring, std::shared_ptr<ServerState>> servers_ GUARDED_BY(mu_);
};

template <typename Work>
auto Failover::Run(const std::vector<Endpoint>& servers, const std::shared_ptr<const Settings>& settings,
                   const std::wstring& operation, const std::wstring& target, Work&& work,
                   const std::pair<std::wstring, ServerFailure>* failed_on)
    -> decltype(work(std::declval<const Session&>())) {
  if (servers.empty()) ThrowNoServer(operation, target);
  std::optional<ServerFailure> last_failure;
  const Endpoint* last_server = nullptr;
  std::wstring tried;
  std::vector<std::pair<const Endpoint*, std::shared_ptr<ServerState>>> skipped;
  bool waited_for_a_probe = false;
  for (const Endpoint& endpoint : servers) {
    const std::shared_ptr<ServerState> state = StateFor(endpoint);
    // Read before the claim: a failure recorded after it ends a wait for the pool.
    const uint64_t failures = state->failures.load(std::memory_order_acquire);
    if (waited_for_a_probe && state->retry_at.load(std::memory_order_relaxed) != 0) {
      skipped.emplace_back(&endpoint, state);  // one probe's wait per call
      continue;
    }
    ProbeClaim probe(state.get());
    if (!probe.may_try()) {
      skipped.emplace_back(&endpoint, state);
      continue;
    }
    const std::shared_ptr<ConnectionPool> pool = PoolFor(endpoint, settings);
    if (failed_on != nullptr && failed_on->first == endpoint.name) {
      state->RecordFailure(failed_on->second, *settings);
      pool->WakeWaiters();
      last_failure = failed_on->second;
      last_server = &endpoint;
      if (!tried.empty()) tried += L", ";
      tried += endpoint.name;
      if (&endpoint != &servers.back()) LogFailover(endpoint, *last_failure);
      continue;
    }
    const Clock::time_point probed_at = probe.probing() ? Clock::now() : Clock::time_point();
    bool failed_meanwhile = false;
    constexpr int kAttempts = 2;  // the second only after a dead reused connection
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
      Lease lease(pool);
      try {
        ldap::Connection& connection =
            lease.Acquire(Clock::now() + settings->operation_timeout, state->failures, failures);
        const Session session{&connection, state.get(), &endpoint, settings.get()};
        auto result = work(session);
        state->RecordSuccess();
        return result;
      } catch (const ServerFailure& failure) {
        if (attempt + 1 < kAttempts && lease.reused() && failure.status.code != ldap::kTimeout) {
          LogRetry(endpoint, failure);
          pool->DiscardIdle();
          continue;
        }
        state->RecordFailure(failure, *settings);
        pool->WakeWaiters();
        if (probe.probing() && Clock::now() - probed_at >= settings->operation_timeout / 2) waited_for_a_probe = true;
        last_failure = failure;
        last_server = &endpoint;
        break;
      } catch (const PoolWaitEnded& ended) {
        failed_meanwhile = ended.server_failed;
        if (!failed_meanwhile) {
          last_failure = PoolTimeout(endpoint);
          last_server = &endpoint;
        }
        break;
      }
    }
    if (failed_meanwhile) {
      skipped.emplace_back(&endpoint, state);
      continue;
    }
    if (!tried.empty()) tried += L", ";
    tried += endpoint.name;
    if (&endpoint != &servers.back()) LogFailover(endpoint, *last_failure);
  }
  if (last_server == nullptr) ThrowAllSkipped(skipped, operation, target, *settings);
  ThrowAllFailed(servers, *last_server, *last_failure, tried, operation, *settings, SkippedNote(skipped));
}

}  // namespace directory::ldap_backend_internal

#endif  // USERPOLICY_PLATFORM_DIRECTORY_LDAP_FAILOVER_H_
