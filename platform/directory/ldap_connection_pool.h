// The bound connections to one LDAP server, reused across calls.
// Internal to the LDAP backend (ldap_backend.h): included only by the
// backend's own .cc files and their tests.
//
// A pool holds at most Settings::config.pool_size connections, idle and in
// use together, all made with the settings it was created with. A new
// connection is opened within the connect timeout and bound with Kerberos
// when the settings say so (ldap_kerberos_bind.h), else as BindDN with the
// first line of PasswordFile (anonymous when BindDN is empty). The password
// is read for each new connection, wiped from memory once the bind is
// sent, and never logged or put into an error. An idle connection whose
// Kerberos ticket has ended is closed instead of handed out.
//
// Thread safety: every member of ConnectionPool may be called from any number
// of threads. A Lease belongs to the one thread of its call.
#ifndef USERPOLICY_PLATFORM_DIRECTORY_LDAP_CONNECTION_POOL_H_
#define USERPOLICY_PLATFORM_DIRECTORY_LDAP_CONNECTION_POOL_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "platform/directory/ldap_server_settings.h"
#include "platform/ldap_api.h"
#include "platform/sync.h"
#include "platform/thread_annotations.h"

namespace directory::ldap_backend_internal {

using Clock = std::chrono::steady_clock;

// Raised by ConnectionPool::Acquire when a call gives up on the server's
// pool, so that it can try the next server instead: the server failed on
// another call since this one chose it, or the deadline passed while the
// pool was full (the calls in flight held every connection that long).
struct PoolWaitEnded {
  bool server_failed;  // false: the deadline passed
};

class ConnectionPool {
 public:
  // A pool for `endpoint` under `settings` (shared, kept alive by the pool).
  ConnectionPool(Endpoint endpoint, std::shared_ptr<const Settings> settings)
      : endpoint_(std::move(endpoint)), settings_(std::move(settings)) {}
  ConnectionPool(const ConnectionPool&) = delete;
  ConnectionPool& operator=(const ConnectionPool&) = delete;

  // A bound connection, never null: an idle one that is still alive (probed
  // only when it was idle for kProbeIdleAfter or more), else a new one while
  // fewer than the pool size are open, else the next one given back before
  // `deadline`. *reused tells whether it was idle in the pool. `failures`
  // counts the failures recorded for the server: when it differs from
  // `failures_seen` (read when the call chose the server), at the start or
  // after a wait (see WakeWaiters), Acquire gives up with
  // PoolWaitEnded{true}, since any connection it could get would lead to
  // the same failure or wait for a whole time-out again. A wait that
  // reaches `deadline` ends with PoolWaitEnded{false}. Raises ServerFailure
  // when a connection cannot be made or bound for a failure of the server,
  // and CDirectoryException for a refused connection or bind, unusable
  // bind settings and an unreadable password file (kDirectoryConfigError).
  // REQUIRES: every connection it returns is given back with Release.
  std::unique_ptr<ldap::Connection> Acquire(Clock::time_point deadline, const std::atomic<uint64_t>& failures,
                                            uint64_t failures_seen, bool* reused) EXCLUDES(mu_);

  // Makes every call waiting in Acquire look at `failures` again: called
  // after a failure of the server was recorded.
  void WakeWaiters() EXCLUDES(mu_);

  // Takes back a connection from Acquire (null is ignored): keeps it for the
  // next caller unless a connection failure happened on it.
  void Release(std::unique_ptr<ldap::Connection> connection) EXCLUDES(mu_);

  // Closes the idle connections: after one of them turned out dead, the
  // others most likely are too. Connections in use are not affected.
  void DiscardIdle() EXCLUDES(mu_);

 private:
  struct IdleConnection {
    std::unique_ptr<ldap::Connection> connection;
    Clock::time_point since;  // when it was given back
  };
  // Idle connections are probed for a close by the server only after this long.
  static constexpr std::chrono::milliseconds kProbeIdleAfter{1000};

  // Gives up one slot of open_ and wakes a waiter.
  void Forget() EXCLUDES(mu_);
  // Opens one connection for a slot already counted in open_; the slot is
  // given up when opening fails.
  std::unique_ptr<ldap::Connection> OpenCounted() EXCLUDES(mu_);
  // Connects and binds.
  std::unique_ptr<ldap::Connection> Open() const;

  const Endpoint endpoint_;
  const std::shared_ptr<const Settings> settings_;
  platform::Mutex mu_;
  platform::CondVar available_{&mu_};
  std::vector<IdleConnection> idle_ GUARDED_BY(mu_);
  int open_ GUARDED_BY(mu_) = 0;  // idle and in use
};

// A connection taken from a pool for one call; given back when destroyed,
// also when the call ends with an exception.
class Lease {
 public:
  explicit Lease(std::shared_ptr<ConnectionPool> pool) : pool_(std::move(pool)) {}
  ~Lease() { pool_->Release(std::move(connection_)); }
  Lease(const Lease&) = delete;
  Lease& operator=(const Lease&) = delete;

  // ConnectionPool::Acquire; the connection stays valid while this lease
  // lives. REQUIRES: called at most once.
  ldap::Connection& Acquire(Clock::time_point deadline, const std::atomic<uint64_t>& failures,
                            uint64_t failures_seen) {
    connection_ = pool_->Acquire(deadline, failures, failures_seen, &reused_);
    return *connection_;
  }
  // Whether the connection was idle in the pool (false before Acquire).
  bool reused() const { return reused_; }

 private:
  std::shared_ptr<ConnectionPool> pool_;
  std::unique_ptr<ldap::Connection> connection_;
  bool reused_ = false;
};

}  // namespace directory::ldap_backend_internal

#endif  // USERPOLICY_PLATFORM_DIRECTORY_LDAP_CONNECTION_POOL_H_
